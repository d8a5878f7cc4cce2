// Control states: which groups of controls the operator may use at each stage.
//
// The table `enabled` has twelve entries, each governing a fixed group of controls; the
// handlers that move the workflow forward write the whole table, then call enable().
#include "app/principale.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

#include <utility>

void Principale::enable()
{
    const std::pair<int, QWidget *> groupes[] = {
        {0, button_Init},
        {1, panel_Init},
        {2, panel_Duree},
        {2, checkBox_Definie},
        {3, checkBox_Compteur},
        {4, groupBox_Data_Type},
        {5, checkBox_Record},
        {6, button_Fichier},
        {6, button_Comment},
        {7, groupBox_Micros},
        {7, groupBox_VA},
        {8, checkBox_Test},
        {8, groupBox_Test},
        {9, button_Start},
        {9, panel_Start},
        {10, panel_Stop},
        {10, button_Stop},
        {11, textBox_Info}, // greyed when off, but still receives the console text
    };
    for (const auto &[entree, controle] : groupes)
        if (controle)
            controle->setEnabled(enabled[entree]);
}

void Principale::applique_etat_verrouille()
{
    for (bool &e : enabled)
        e = false;
    enabled[0] = true;
    enable();
}

void Principale::applique_etat_repos()
{
    for (bool &e : enabled)
        e = true;
    enabled[10] = false;
    enable();
}

// "Mode avancé": verbose console and own delay value; shows the advanced group. Leaving the
// mode drops the status channel; the counter, data type and delay keep their values.
void Principale::checkBox_Test_CheckedChanged()
{
    const bool test = checkBox_Test->isChecked();
    moteur.mode_avance(test);
    groupBox_Test->setVisible(test);
    if (!test)
        checkBox_Status->setChecked(false);
}
