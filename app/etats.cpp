// Control states: which groups of controls the operator may use at each stage.
#include "app/principale.h"

#include <QPlainTextEdit>
#include <QPushButton>

void Principale::enable()
{
    if (button_Init)
        button_Init->setEnabled(enabled[0]);
    if (textBox_Info)
        textBox_Info->setEnabled(enabled[11]);
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

void Principale::checkBox_Test_CheckedChanged() {}
