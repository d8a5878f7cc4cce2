// The record switch and the comment box, through the real window.
#include "tests/support/fenetre.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>

#include <cstring>
#include <vector>

namespace {

class RecordingCommentBox : public Fenetre {
protected:
    std::vector<uint8_t> champ() const
    {
        const auto &c = w->moteur.diagnostic().entete.texte_commentaire;
        return {c, c + sizeof c};
    }
    static bool tout(bool valeur)
    {
        for (bool e : Principale::enabled)
            if (e != valeur)
                return false;
        return true;
    }
};

TEST_F(RecordingCommentBox, RecordBoxShowsAndHidesFileAndCommentButtons)
{
    auto *fichier = ctrl<QPushButton>("button_Fichier");
    auto *comment = ctrl<QPushButton>("button_Comment");
    auto *boite = ctrl<QCheckBox>("checkBox_Record");
    ASSERT_TRUE(fichier && comment && boite);
    EXPECT_TRUE(fichier->isVisible());
    EXPECT_TRUE(comment->isVisible());
    w->applique_etat_repos();

    clic(boite);
    EXPECT_TRUE(w->moteur.diagnostic().record);
    EXPECT_TRUE(fichier->isVisible());
    EXPECT_TRUE(comment->isVisible());
    clic(boite);
    EXPECT_FALSE(w->moteur.diagnostic().record);
    EXPECT_FALSE(fichier->isVisible());
    EXPECT_FALSE(comment->isVisible());
}

TEST_F(RecordingCommentBox, OpeningAndClosingTheBox)
{
    auto *bouton = ctrl<QPushButton>("button_Comment");
    auto *groupe = ctrl<QGroupBox>("groupBox_Comment");
    auto *texte = ctrl<QPlainTextEdit>("textBox_Comment");
    auto *stop = ctrl<QPushButton>("button_Stop");
    ASSERT_TRUE(bouton && groupe && texte && stop);
    w->applique_etat_repos();
    Principale::enabled[10] = true; // whatever the state before, closing enables everything
    w->enable();
    stop->show();
    const QFont avant = bouton->font();
    EXPECT_EQ(champ(), std::vector<uint8_t>(1024, ' '));

    clic(bouton);
    EXPECT_TRUE(w->commentaires);
    EXPECT_TRUE(groupe->isVisible());
    EXPECT_EQ(bouton->text(), QStringLiteral("Ferme Comment."));
    EXPECT_EQ(bouton->font().pointSize(), 12);
    EXPECT_EQ(bouton->font().family(), avant.family());
    EXPECT_EQ(bouton->font().bold(), avant.bold());
    EXPECT_TRUE(tout(false));
    EXPECT_TRUE(bouton->isEnabled());
    EXPECT_FALSE(ctrl<QPushButton>("button_Fichier")->isEnabled());
    EXPECT_FALSE(stop->isVisible());

    texte->setPlainText(QStringLiteral("Essai é\n€Ω"));
    clic(bouton);
    EXPECT_FALSE(w->commentaires);
    EXPECT_FALSE(groupe->isVisible());
    EXPECT_EQ(bouton->text(), QStringLiteral("Commentaires"));
    EXPECT_EQ(bouton->font().pointSize(), 15);
    EXPECT_EQ(bouton->font().family(), avant.family());
    EXPECT_TRUE(tout(true));
    EXPECT_TRUE(ctrl<QPushButton>("button_Fichier")->isEnabled());

    ASSERT_TRUE(w->moteur.diagnostic().commentaire.has_value());
    EXPECT_EQ(*w->moteur.diagnostic().commentaire, QStringLiteral("Essai é\r\n€Ω") + QString(1023 - 11, QLatin1Char(' ')));
    std::vector<uint8_t> attendu = {'E', 's', 's', 'a', 'i', ' ', 0xE9, '\r', '\n', 0x80, '?'};
    attendu.resize(1023, ' ');
    attendu.push_back(0);
    EXPECT_EQ(champ(), attendu);
    // The box keeps its text for the next opening.
    EXPECT_EQ(texte->toPlainText(), QStringLiteral("Essai é\n€Ω"));
}

TEST_F(RecordingCommentBox, ClosingWithoutTypingStillReplacesTheBlanks)
{
    auto *bouton = ctrl<QPushButton>("button_Comment");
    ASSERT_TRUE(bouton);
    w->applique_etat_repos();
    clic(bouton);
    clic(bouton);
    std::vector<uint8_t> attendu(1023, ' ');
    attendu.push_back(0);
    EXPECT_EQ(champ(), attendu);
    EXPECT_EQ(w->moteur.diagnostic().commentaire, QString(1023, QLatin1Char(' ')));
}

} // namespace
