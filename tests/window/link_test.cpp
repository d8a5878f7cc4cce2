// The window and the USB link with no recorder on the bus.
#include "tests/support/fenetre.h"

#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

TEST_F(Fenetre, NoRecorderAlertsOnceAndKeepsTheLinkClosed)
{
    EXPECT_FALSE(w->moteur.ouvre_lien());
    ASSERT_EQ(alertes.size(), 1);
    EXPECT_EQ(alertes[0], QStringLiteral("Alerte : Pas de détection de Velmarix !\r\n"));
    EXPECT_EQ(console(), QStringLiteral("Pas de détection de Velmarix !\r\n"));
    EXPECT_FALSE(w->moteur.diagnostic().lien);

    // Init without a recorder: one alert, only Init usable afterwards.
    alertes.clear();
    clic(w->button_Init);
    EXPECT_EQ(alertes.size(), 1);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(Principale::enabled[i], i == 0) << i;
    EXPECT_TRUE(w->button_Init->isEnabled());

    // Reset FX3 tries to open the link and alerts again; Reset Micros does nothing.
    alertes.clear();
    w->button_Reset_FX3_Click();
    EXPECT_EQ(alertes.size(), 1);
    w->button_Reset_Micros_Click();
    EXPECT_EQ(alertes.size(), 1);
}

TEST_F(Fenetre, ConsoleAppendsExactlyAndAlertsOnlyWithFlagOne)
{
    Principale::call_verb(QStringLiteral("a"), 0);
    Principale::call_verb(QStringLiteral("b\r\n"), 2);
    EXPECT_EQ(console(), QStringLiteral("ab\r\n"));
    EXPECT_TRUE(alertes.isEmpty());
    EXPECT_EQ(w->textBox_Info->toPlainText(), QStringLiteral("ab\n"));
    Principale::call_verb(QStringLiteral("x\r\n"), 1);
    ASSERT_EQ(alertes.size(), 1);
    EXPECT_EQ(alertes[0], QStringLiteral("Alerte : x\r\n"));
    EXPECT_EQ(console(), QStringLiteral("ab\r\nx\r\n"));
}

TEST(FenetreSansHook, AlertBoxIsModalWarningTitledErreur)
{
    Principale::console_text.clear();
    auto w = std::make_unique<Principale>();
    QString titre, texte;
    bool avertissement = false;
    int boutons = 0;
    QTimer::singleShot(50, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        titre = box->windowTitle();
        texte = box->text();
        avertissement = box->icon() == QMessageBox::Warning;
        boutons = box->buttons().size();
        box->button(QMessageBox::Ok)->click();
    });
    Principale::call_verb(QStringLiteral("Pas de fichier choisi\r\n"), 1);
    EXPECT_EQ(titre, QStringLiteral("Erreur"));
    EXPECT_EQ(texte, QStringLiteral("Alerte : Pas de fichier choisi\r\n"));
    EXPECT_TRUE(avertissement);
    EXPECT_EQ(boutons, 1);
}
