// File choice, the three files of a recorded run, and the comment box.
#include "recording/fichiers.h"

#include "app/principale.h"
#include "recording/commentaire.h"
#include "recording/companions.h"
#include "recording/description.h"
#include "recording/log_text.h"

#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QFont>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>

#include <cerrno>
#include <cstring>

NomsCompagnons noms_compagnons(const QString &chemin_donnees)
{
    const CompanionPaths p = companion_paths(QFile::encodeName(chemin_donnees).toStdString());
    return {QFile::decodeName(QByteArray::fromStdString(p.header)), QFile::decodeName(QByteArray::fromStdString(p.log))};
}

namespace {

QString raison_systeme(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// Writes the whole block over the file, in place, and cuts the file to it; on failure, says
// why on the console.
void ecrit_tout(QFile *f, const QByteArray &octets)
{
    QString raison;
    if (description::ecrit_en_place(*f, octets, true, &raison))
        return;
    Principale::call_verb(QStringLiteral("Erreur d'écriture du fichier %1 : %2\r\n").arg(f->fileName(), raison), 0);
}

} // namespace

// Header file, then log file, from the record of the run that just ended.
void Principale::ecrit_log()
{
    const auto image = serialise(header_file);
    ecrit_tout(Mu, QByteArray(reinterpret_cast<const char *>(image.data()), TAILLE_HEADER));
    ecrit_tout(log, texte_log(header_file, nb_voies, nb_micros, commentaire));
}

// Creates (or empties) the data file and its two companions. On failure nothing stays open.
bool Principale::ouvre_fichiers(const QString &chemin)
{
    ferme_fichiers(false);
    const NomsCompagnons noms = noms_compagnons(chemin);

    if (!anneau.ouvre_donnees(chemin)) {
        call_verb(QStringLiteral("Impossible de créer le fichier %1 : %2\r\n").arg(chemin, raison_systeme(errno)), 1);
        return false;
    }

    const auto ouvre = [this](QFile *&f, const QString &nom) {
        f = new QFile(nom);
        if (f->open(QIODevice::WriteOnly | QIODevice::Truncate))
            return true;
        call_verb(QStringLiteral("Impossible de créer le fichier %1 : %2\r\n").arg(nom, f->errorString()), 1);
        return false;
    };
    if (!ouvre(Mu, noms.entete) || !ouvre(log, noms.log)) {
        // The choice fails as a whole: the files it did create, still empty, go again.
        const bool entete_cree = Mu->isOpen();
        ferme_fichiers(false);
        QFile::remove(chemin);
        if (entete_cree)
            QFile::remove(noms.entete);
        return false;
    }
    return true;
}

// Closes the data file, then (with `ecrire`) writes the header and log files, and closes
// them. Does nothing for files that are not open.
void Principale::ferme_fichiers(bool ecrire)
{
    if (anneau.Filep && !anneau.ferme_donnees())
        call_verb(QStringLiteral("Erreur d'écriture du fichier %1 : %2\r\n").arg(acqui_name, raison_systeme(errno)), 0);
    if (ecrire && Mu && log && Mu->isOpen() && log->isOpen())
        ecrit_log();
    delete log; // QFile closes on destruction
    log = nullptr;
    delete Mu;
    Mu = nullptr;
    file_open = false;
}

void Principale::button_Fichier_Click()
{
    // Files of an earlier choice that no run used are closed, so the same names can be chosen again.
    ferme_fichiers(false);

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

    acqui_name = chemin;
    call_verb(QStringLiteral("Nom du fichier d'acquisition : ") + acqui_name + QStringLiteral("\r\n"), 0);
    file_open = ouvre_fichiers(acqui_name);
}

void Principale::checkBox_Record_CheckedChanged()
{
    record = checkBox_Record->isChecked();
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
    commentaire = commentaire_complete(textBox_Comment->toPlainText());
    const auto champ = champ_commentaire(*commentaire);
    std::memcpy(header_file.texte_commentaire, champ.data(), champ.size());
    for (bool &e : enabled)
        e = true;
    enable();
}
