// Control states of the main window: which groups the operator may use at each stage.
#include "tests/support/fenetre.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {

// Controls of each entry of the table, by name.
const std::vector<std::vector<const char *>> GROUPES = {
    {"button_Init"},
    {"panel_Init"},
    {"panel_Duree", "checkBox_Definie"},
    {"checkBox_Compteur"},
    {"groupBox_Data_Type"},
    {"checkBox_Record"},
    {"button_Fichier", "button_Comment"},
    {"groupBox_Micros", "groupBox_VA"},
    {"checkBox_Test", "groupBox_Test"},
    {"button_Start", "panel_Start"},
    {"panel_Stop", "button_Stop"},
    {"textBox_Info"},
};

} // namespace

// Each entry switches exactly its own controls (their own enabled flag: the counter and data
// type lie inside the advanced group), and a disabled container disables its contents.
TEST_F(Fenetre, ChaqueEntreeGouverneSesControles)
{
    for (int e = 0; e < 12; ++e) {
        SCOPED_TRACE(e);
        for (bool &x : Principale::enabled)
            x = false;
        Principale::enabled[e] = true;
        w->enable();
        for (int g = 0; g < 12; ++g)
            for (const char *nom : GROUPES[g])
                EXPECT_EQ(!ctrl<QWidget>(nom)->testAttribute(Qt::WA_ForceDisabled), g == e) << nom;
    }
    Principale::enabled[3] = true; // counter alone, with its container greyed
    Principale::enabled[8] = false;
    w->enable();
    EXPECT_FALSE(w->checkBox_Compteur->isEnabled());
}

TEST_F(Fenetre, OuvertureSeulInitUtilisable)
{
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(Principale::enabled[i], i == 0) << i;
    EXPECT_TRUE(w->button_Init->isEnabled());
    EXPECT_FALSE(w->textBox_Info->isEnabled());
    EXPECT_FALSE(w->listBox_Freq->isEnabled());
    EXPECT_FALSE(w->grid[0][0]->isEnabled());
    EXPECT_FALSE(w->grid_VA[2]->isEnabled());
    EXPECT_FALSE(w->button_Start->isEnabled());
    EXPECT_FALSE(w->radioButton_Start_Trig1->isEnabled());
    // Greyed, the console still receives text.
    Principale::call_verb(QStringLiteral("texte\r\n"), 0);
    EXPECT_EQ(w->textBox_Info->toPlainText(), QStringLiteral("texte\n"));
}

TEST_F(Fenetre, ReposToutSaufLesControlesDArret)
{
    w->applique_etat_repos();
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(Principale::enabled[i], i != 10) << i;
    const QWidget *utilisables[] = {
             w->button_Init, w->listBox_Freq, w->numericUpDown_Duree, w->checkBox_Definie, w->checkBox_Record,
             w->button_Fichier, w->button_Comment, w->grid[31][7], w->paq_T, w->grid_VA[0], w->checkBox_Test,
             w->checkBox_Compteur, w->radioButton_Float, w->button_Start, w->radioButton_Start_Trig2,
             w->textBox_Info};
    for (const QWidget *c : utilisables)
        EXPECT_TRUE(c->isEnabled()) << c->objectName().toStdString();
    EXPECT_FALSE(w->button_Stop->isEnabled());
    EXPECT_FALSE(w->radioButton_Stop_Trig1->isEnabled());

    w->applique_etat_verrouille();
    EXPECT_TRUE(w->button_Init->isEnabled());
    EXPECT_FALSE(w->button_Start->isEnabled());
    EXPECT_FALSE(w->textBox_Info->isEnabled());
}

TEST_F(Fenetre, ModeAvanceMontreSonGroupeEtLacheLeStatus)
{
    w->applique_etat_repos();
    clic(w->checkBox_Test);
    EXPECT_TRUE(w->moteur.diagnostic().test);
    EXPECT_TRUE(w->groupBox_Test->isVisible());

    clic(w->checkBox_Status);
    clic(w->radioButton_Float);
    clic(w->checkBox_Compteur);
    ASSERT_TRUE(w->checkBox_Status->isChecked());
    ASSERT_FALSE(w->checkBox_Compteur->isChecked());

    clic(w->checkBox_Test);
    EXPECT_FALSE(w->moteur.diagnostic().test);
    EXPECT_FALSE(w->groupBox_Test->isVisible());
    EXPECT_FALSE(w->checkBox_Status->isChecked());
    // The other advanced choices stay in force while the group is hidden.
    EXPECT_TRUE(w->radioButton_Float->isChecked());
    EXPECT_FALSE(w->checkBox_Compteur->isChecked());
}

TEST_F(Fenetre, DureeDefinieImposeLArretSoft)
{
    w->applique_etat_repos();
    clic(w->checkBox_Definie); // untick: the duration panel goes
    EXPECT_FALSE(w->panel_Duree->isVisible());
    w->radioButton_Stop_Trig1->setChecked(true);
    ASSERT_FALSE(w->groupBox_Stop_Trig_Mode->isHidden());

    clic(w->checkBox_Definie);
    EXPECT_TRUE(w->panel_Duree->isVisible());
    EXPECT_TRUE(w->radioButton_Stop_Soft->isChecked());
    EXPECT_TRUE(w->groupBox_Stop_Trig_Mode->isHidden());
}
