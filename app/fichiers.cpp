// File choice, the recording switch and the comment box of the window.
#include "app/principale.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFont>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>

void Principale::button_Fichier_Click()
{
    // Files of an earlier choice that no run used are closed, so the same names can be chosen again.
    moteur.ferme_fichiers(false);

    QString chemin;
    if (save_dialog_hook) {
        chemin = save_dialog_hook();
    } else {
        QFileDialog dialogue(this, QStringLiteral("Enregistrer sous"));
        dialogue.setObjectName(QStringLiteral("saveFileDialog_Data"));
        dialogue.setAcceptMode(QFileDialog::AcceptSave);
        dialogue.setFileMode(QFileDialog::AnyFile);
        dialogue.setNameFilter(QStringLiteral("data (*.dat)"));
        dialogue.setDefaultSuffix(QStringLiteral("dat"));
        dialogue.setOption(QFileDialog::DontConfirmOverwrite, false);
        if (dialogue.exec() == QDialog::Accepted && !dialogue.selectedFiles().isEmpty())
            chemin = dialogue.selectedFiles().constFirst();
    }
    if (chemin.isEmpty())
        return;

    moteur.choisit_fichier(chemin);
}

void Principale::checkBox_Record_CheckedChanged()
{
    const bool record = checkBox_Record->isChecked();
    moteur.enregistrement(record);
    button_Fichier->setVisible(record);
    button_Comment->setVisible(record);
}

void Principale::button_Comment_Click()
{
    commentaires = !commentaires;
    QFont police = button_Comment->font();
    if (commentaires) {
        groupBox_Comment->show();
        button_Comment->setText(QStringLiteral("Ferme Comment."));
        police.setPointSize(12);
        button_Comment->setFont(police);
        for (bool &e : enabled)
            e = false;
        enable();
        button_Comment->setEnabled(true);
        button_Stop->hide();
        textBox_Comment->setFocus(); // the operator types at once
        return;
    }
    button_Comment->setText(QStringLiteral("Commentaires"));
    police.setPointSize(15);
    button_Comment->setFont(police);
    groupBox_Comment->hide();
    moteur.commente(textBox_Comment->toPlainText());
    for (bool &e : enabled)
        e = true;
    enable();
}
