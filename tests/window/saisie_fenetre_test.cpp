// What the operator types into the window: the duration, the comment, the console; and the
// keyboard's way through the text boxes.
#include "tests/support/fenetre.h"

#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include "recording/commentaire.h"

namespace {

class Saisie : public Fenetre {
protected:
    // Types the text over the spinner's whole text, then Enter.
    void tape(QDoubleSpinBox *d, const QString &texte)
    {
        d->setFocus();
        d->findChild<QLineEdit *>()->selectAll();
        QTest::keyClicks(d, texte);
        QTest::keyClick(d, Qt::Key_Return);
    }
    void montre_entree(int entree)
    {
        w->listBox_Freq->verticalScrollBar()->setValue(entree);
        QApplication::processEvents();
    }
};

// The spinner's maximum is the one of the entry the list shows, from the moment the window
// opens, and follows the list as it scrolls; a longer duration is brought down and said so.
TEST_F(Saisie, DurationMaximumFollowsTheShownEntry)
{
    w->applique_etat_repos();
    QDoubleSpinBox *d = w->numericUpDown_Duree;
    EXPECT_DOUBLE_EQ(d->maximum(), 85899.3);
    tape(d, QStringLiteral("600"));
    EXPECT_DOUBLE_EQ(d->value(), 600.0);

    montre_entree(16);
    EXPECT_DOUBLE_EQ(d->maximum(), 2147483.6);
    d->setValue(1000000.0);
    const qsizetype marque = console().size();
    montre_entree(2);
    EXPECT_DOUBLE_EQ(d->maximum(), 103080.8);
    EXPECT_DOUBLE_EQ(d->value(), 103080.8);
    const QString g = QLocale().groupSeparator();
    EXPECT_EQ(console_depuis(marque), QStringLiteral("Durée ramenée à 103") + g + QStringLiteral("080,8 s, la plus longue à 41") + g + QStringLiteral("666 Hz\r\n"));
}

// '.' and ',' are both the decimal mark in any locale; what the spinner cannot take is refused
// on the console and the previous value stays.
TEST_F(Saisie, DurationReadsEitherDecimalMarkAndRefusesVisibly)
{
    w->applique_etat_repos();
    QDoubleSpinBox *d = w->numericUpDown_Duree;
    const struct {
        QLocale::Language langue;
        const char *texte;
        double valeur; // -1: refused
    } cas[] = {
        {QLocale::French, "2.5", 2.5},   {QLocale::French, "3,5", 3.5},    {QLocale::English, "4,5", 4.5},
        {QLocale::English, "5.5", 5.5},  {QLocale::French, "1.000", -1},   {QLocale::English, "1,000", -1},
        {QLocale::French, "2,55", -1},   {QLocale::French, "abc", -1},     {QLocale::French, "90000", -1},
        {QLocale::French, "85899,3", 85899.3}, {QLocale::English, "85899.4", -1}, // the maximum at 50 kHz, exactly
    };
    for (const auto &c : cas) {
        SCOPED_TRACE(c.texte);
        d->setLocale(QLocale(c.langue));
        d->setValue(1.0);
        const qsizetype marque = console().size();
        tape(d, QString::fromLatin1(c.texte));
        if (c.valeur >= 0) {
            EXPECT_DOUBLE_EQ(d->value(), c.valeur);
            EXPECT_EQ(console_depuis(marque), QString());
        } else {
            EXPECT_DOUBLE_EQ(d->value(), 1.0);
            EXPECT_TRUE(console_depuis(marque).startsWith(QStringLiteral("Durée refusée : « %1 » ; de 0 à ").arg(QString::fromLatin1(c.texte))))
                << console_depuis(marque).toStdString();
        }
    }
}

// The comment box counts what the header field will hold: with line breaks stored CR LF, a
// full box still fits the 1024-byte field whole.
TEST_F(Saisie, CommentLimitCountsStoredLineBreaks)
{
    w->applique_etat_repos();
    clic(w->button_Comment);
    QPlainTextEdit *c = w->textBox_Comment;
    c->insertPlainText(QString(1000, QLatin1Char('a')) + QString(30, QLatin1Char('\n')));
    EXPECT_EQ(c->toPlainText(), QString(1000, QLatin1Char('a')) + QString(12, QLatin1Char('\n')));
    c->insertPlainText(QStringLiteral("b"));
    EXPECT_EQ(longueur_stockee(c->toPlainText()), 1024);
    clic(w->button_Comment);
    ASSERT_TRUE(w->moteur.diagnostic().commentaire.has_value());
    const QByteArray champ(reinterpret_cast<const char *>(w->moteur.diagnostic().entete.texte_commentaire), 1024);
    EXPECT_EQ(champ, vers_cp1252(*w->moteur.diagnostic().commentaire));
}

// The console takes at most 60 000 characters from the operator; the program's own messages
// are still appended after that.
TEST_F(Saisie, ConsoleLimitBoundsOnlyTheOperator)
{
    w->applique_etat_repos();
    QPlainTextEdit *t = w->textBox_Info;
    Principale::call_verb(QStringLiteral("Début\r\n"), 0);
    const qsizetype avant = t->toPlainText().size();
    t->moveCursor(QTextCursor::End);
    t->insertPlainText(QString(70000, QLatin1Char('x')));
    EXPECT_EQ(t->toPlainText().size(), 60000);
    EXPECT_EQ(t->toPlainText().count(QLatin1Char('x')), 60000 - avant);
    Principale::call_verb(QString(5000, QLatin1Char('m')), 0);
    EXPECT_EQ(t->toPlainText().size(), 65000);
    t->insertPlainText(QStringLiteral("y"));
    EXPECT_EQ(t->toPlainText().size(), 65000);
}

// Tab moves the focus on from the console and the comment box instead of inserting a tab.
TEST_F(Saisie, TabLeavesTheTextBoxes)
{
    w->applique_etat_repos();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    clic(w->button_Comment);
    for (QPlainTextEdit *t : {w->textBox_Comment, w->textBox_Info}) {
        SCOPED_TRACE(t->objectName().toStdString());
        t->setEnabled(true);
        t->setFocus();
        ASSERT_TRUE(t->hasFocus());
        QTest::keyClick(t, Qt::Key_Tab);
        EXPECT_FALSE(t->hasFocus());
        EXPECT_FALSE(t->toPlainText().contains(QLatin1Char('\t')));
    }
}

} // namespace
