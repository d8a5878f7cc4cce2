#pragma once
// What the operator types: the duration spinner that reads either decimal mark, and the
// length limit of the multi-line text boxes.
#include "recording/console_format.h"

#include <QDoubleSpinBox>
#include <QString>
#include <QStringView>

#include <functional>
#include <optional>

class QPlainTextEdit;

namespace saisie {

// Longest start of `insere` whose length (as `longueur` counts it) is at most `place`,
// never cutting a character in two.
qsizetype prefixe_admis(QStringView insere, qsizetype place, qsizetype (*longueur)(QStringView));

// Keeps what the operator types or pastes into `t` within `maximum` (the whole text as
// `longueur` counts it): the part of an insertion that does not fit is removed again. Text
// that the program itself writes inside an EcritureProgramme is never cut.
void limite(QPlainTextEdit *t, qsizetype maximum, qsizetype (*longueur)(QStringView));

// While it lives, what is written into the text box is the program's own text.
class EcritureProgramme {
public:
    explicit EcritureProgramme(QPlainTextEdit *t);
    ~EcritureProgramme();
    EcritureProgramme(const EcritureProgramme &) = delete;
    EcritureProgramme &operator=(const EcritureProgramme &) = delete;

private:
    QPlainTextEdit *t_;
};

// A decimal spinner that reads '.' and ',' alike. A text it cannot take (unreadable, too
// many decimals, out of range) is not silently cut or corrected while it is typed: when the
// operator validates it, `refus` is told the text and the previous value comes back.
class SpinDecimal : public QDoubleSpinBox {
public:
    using QDoubleSpinBox::QDoubleSpinBox;
    std::function<void(const QString &texte)> refus;

    QValidator::State validate(QString &texte, int &pos) const override;
    double valueFromText(const QString &texte) const override;
    void fixup(QString &texte) const override;
};

} // namespace saisie
