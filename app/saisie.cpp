#include "app/saisie.h"

#include <QPlainTextEdit>
#include <QPointer>
#include <QTextCursor>
#include <QTextDocument>

namespace saisie {

namespace {

constexpr const char *PROPRIETE_PROGRAMME = "ecritureProgramme";

// Cuts every insertion of the operator to what the limit leaves room for. The range of an
// edit is known when it happens; the cut waits until the text box has taken the edit in.
class Limite : public QObject {
public:
    Limite(QPlainTextEdit *t, qsizetype maximum, qsizetype (*longueur)(QStringView))
        : QObject(t), t_(t), maximum_(maximum), longueur_(longueur)
    {
        connect(t->document(), &QTextDocument::contentsChange, this, [this](int pos, int, int ajoutes) {
            if (ajoutes > 0 && !t_->property(PROPRIETE_PROGRAMME).toBool()) {
                debut_ = pos;
                ajoutes_ = ajoutes;
            }
        });
        connect(t, &QPlainTextEdit::textChanged, this, &Limite::coupe);
    }

private:
    void coupe()
    {
        if (ajoutes_ <= 0)
            return;
        const int debut = debut_;
        int ajoutes = ajoutes_;
        ajoutes_ = 0;
        const QString texte = t_->document()->toPlainText();
        const qsizetype total = longueur_(texte);
        if (total <= maximum_)
            return;
        ajoutes = std::min<int>(ajoutes, int(texte.size()) - debut);
        const QStringView insere = QStringView(texte).mid(debut, ajoutes);
        const qsizetype place = maximum_ - (total - longueur_(insere));
        const qsizetype garde = prefixe_admis(insere, place, longueur_);
        QTextCursor c(t_->document());
        c.setPosition(debut + int(garde));
        c.setPosition(debut + ajoutes, QTextCursor::KeepAnchor);
        c.removeSelectedText();
    }

    QPlainTextEdit *t_;
    qsizetype maximum_;
    qsizetype (*longueur_)(QStringView);
    int debut_ = 0;
    int ajoutes_ = 0;
};

} // namespace

qsizetype prefixe_admis(QStringView insere, qsizetype place, qsizetype (*longueur)(QStringView))
{
    if (place <= 0)
        return 0;
    qsizetype bas = 0, haut = insere.size(); // longueur(insere.left(bas)) <= place always
    while (bas < haut) {
        const qsizetype milieu = (bas + haut + 1) / 2;
        if (longueur(insere.left(milieu)) <= place)
            bas = milieu;
        else
            haut = milieu - 1;
    }
    if (bas > 0 && bas < insere.size() && insere[bas - 1].isHighSurrogate() && insere[bas].isLowSurrogate())
        --bas;
    return bas;
}

void limite(QPlainTextEdit *t, qsizetype maximum, qsizetype (*longueur)(QStringView))
{
    new Limite(t, maximum, longueur);
}

EcritureProgramme::EcritureProgramme(QPlainTextEdit *t)
    : t_(t)
{
    if (t_)
        t_->setProperty(PROPRIETE_PROGRAMME, true);
}

EcritureProgramme::~EcritureProgramme()
{
    if (t_)
        t_->setProperty(PROPRIETE_PROGRAMME, false);
}

QValidator::State SpinDecimal::validate(QString &texte, int &) const
{
    const std::optional<double> v = lit_decimal(texte, decimals());
    if (v && *v >= minimum() && *v <= maximum())
        return QValidator::Acceptable;
    return QValidator::Intermediate; // kept as typed; judged when the operator validates it
}

double SpinDecimal::valueFromText(const QString &texte) const
{
    return lit_decimal(texte, decimals()).value_or(value());
}

// Called by the spinner only for a text it cannot take: say so, and let the previous value
// come back.
void SpinDecimal::fixup(QString &texte) const
{
    if (refus)
        refus(texte);
}

} // namespace saisie
