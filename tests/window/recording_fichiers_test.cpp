// File choice and the three files of a recorded run, through the real window.
#include "tests/support/fenetre.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QTimer>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>

namespace {

class RecordingFiles : public Fenetre {
protected:
    QString chemin(const QString &nom) const { return dossier.path() + QLatin1Char('/') + nom; }
    qint64 taille(const QString &nom) const
    {
        const QFileInfo f(chemin(nom));
        return f.exists() ? f.size() : -1;
    }
    // Bytes added to the end of a file, beside the engine's own handle on it.
    bool ajoute(const QString &nom, const QByteArray &octets) const
    {
        QFile f(chemin(nom));
        return f.open(QIODevice::WriteOnly | QIODevice::Append) && f.write(octets) == octets.size();
    }
    void rien_d_ouvert()
    {
        EXPECT_FALSE(w->moteur.diagnostic().fichiers_ouverts);
        EXPECT_FALSE(w->moteur.diagnostic().donnees_ouvert);
        EXPECT_FALSE(w->moteur.diagnostic().entete_ouvert);
        EXPECT_FALSE(w->moteur.diagnostic().log_ouvert);
    }
    QTemporaryDir dossier;
};

TEST_F(RecordingFiles, ChoiceCreatesThreeEmptyFiles)
{
    {
        QFile ancien(chemin(QStringLiteral("essai.Vlx")));
        ASSERT_TRUE(ancien.open(QIODevice::WriteOnly));
        ancien.write("earlier content");
    }
    chemin_choisi = chemin(QStringLiteral("essai.dat"));
    const qsizetype marque = console().size();
    w->button_Fichier_Click();

    EXPECT_EQ(dialogues, 1);
    EXPECT_TRUE(alertes.isEmpty()) << alertes.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(w->moteur.diagnostic().fichiers_ouverts);
    EXPECT_EQ(w->moteur.diagnostic().nom_fichier, chemin_choisi);
    EXPECT_EQ(console_depuis(marque), QStringLiteral("Nom du fichier d'acquisition : ") + chemin_choisi + QStringLiteral("\r\n"));
    EXPECT_TRUE(w->moteur.diagnostic().donnees_ouvert);
    for (const char *nom : {"essai.dat", "essai.Vlx", "essai.log"})
        EXPECT_EQ(taille(QString::fromLatin1(nom)), 0) << nom;
    EXPECT_EQ(QDir(dossier.path()).entryList(QDir::Files).size(), 3);

    // The abort path closes them untouched: they stay on disk, empty.
    w->moteur.ferme_fichiers(false);
    rien_d_ouvert();
    for (const char *nom : {"essai.dat", "essai.Vlx", "essai.log"})
        EXPECT_EQ(taille(QString::fromLatin1(nom)), 0) << nom;
}

TEST_F(RecordingFiles, CancelledDialogForgetsAnEarlierChoice)
{
    chemin_choisi = chemin(QStringLiteral("essai.dat"));
    w->button_Fichier_Click();
    ASSERT_TRUE(w->moteur.diagnostic().fichiers_ouverts);
    chemin_choisi.clear();
    const qsizetype marque = console().size();
    w->button_Fichier_Click();
    EXPECT_EQ(dialogues, 2);
    rien_d_ouvert();
    EXPECT_EQ(console_depuis(marque), QString());
}

TEST_F(RecordingFiles, SameNamesChosenTwice)
{
    chemin_choisi = chemin(QStringLiteral("essai.dat"));
    w->button_Fichier_Click();
    ASSERT_TRUE(w->moteur.diagnostic().fichiers_ouverts);
    ASSERT_TRUE(w->moteur.diagnostic().donnees_ouvert);
    ASSERT_TRUE(ajoute(QStringLiteral("essai.dat"), "abcd"));
    const auto descripteurs = [] { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(); };
    const qsizetype avant = descripteurs();
    w->button_Fichier_Click();
    EXPECT_EQ(descripteurs(), avant) << "the files of the first choice were not closed";
    EXPECT_TRUE(alertes.isEmpty()) << alertes.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(w->moteur.diagnostic().fichiers_ouverts);
    EXPECT_EQ(taille(QStringLiteral("essai.dat")), 0);
    ASSERT_TRUE(w->moteur.diagnostic().donnees_ouvert);
    ASSERT_TRUE(ajoute(QStringLiteral("essai.dat"), "xy"));
    w->moteur.ferme_fichiers(true);
    EXPECT_EQ(taille(QStringLiteral("essai.dat")), 2);
    EXPECT_EQ(taille(QStringLiteral("essai.Vlx")), 2097);
}

TEST_F(RecordingFiles, MissingFolderAlertsAndOpensNothing)
{
    chemin_choisi = chemin(QStringLiteral("absent/essai.dat"));
    w->button_Fichier_Click();
    ASSERT_EQ(alertes.size(), 1);
    EXPECT_TRUE(alertes[0].startsWith(QStringLiteral("Alerte : ")));
    EXPECT_TRUE(alertes[0].contains(chemin_choisi)) << alertes[0].toStdString();
    EXPECT_TRUE(alertes[0].contains(QString::fromLocal8Bit(std::strerror(ENOENT)))) << alertes[0].toStdString();
    rien_d_ouvert();
}

// A companion that cannot be created fails the choice as a whole: nothing stays open, and
// the files it did create are removed again (a folder in the way of the log; a 255-byte name
// that is not ".dat", so that the companions' names are too long).
TEST_F(RecordingFiles, CompanionThatCannotBeCreatedUndoesTheChoice)
{
    const QString long_nom = QString(250, QLatin1Char('n')) + QStringLiteral(".data");
    const struct {
        QString nom, fautif;
        QStringList reste; // what the folder holds afterwards
    } cas[] = {{QStringLiteral("essai.dat"), QStringLiteral("essai.log"), {QStringLiteral("essai.log")}},
               {long_nom, long_nom + QStringLiteral(".Vlx"), {}}};
    for (const auto &c : cas) {
        SCOPED_TRACE(c.nom.left(20).toStdString());
        QTemporaryDir d;
        dossier.swap(d);
        alertes.clear();
        if (!c.reste.isEmpty()) {
            ASSERT_TRUE(QDir(dossier.path()).mkdir(c.reste[0]));
        }
        chemin_choisi = chemin(c.nom);
        w->button_Fichier_Click();
        ASSERT_EQ(alertes.size(), 1);
        EXPECT_TRUE(alertes[0].contains(chemin(c.fautif))) << alertes[0].toStdString();
        rien_d_ouvert();
        EXPECT_EQ(QDir(dossier.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), c.reste);
    }
}

TEST_F(RecordingFiles, FailedWriteIsReportedAndBothFilesClosed)
{
    chemin_choisi = chemin(QStringLiteral("plein.dat"));
    // The log goes to a device that takes nothing.
    moteur::Moteur::compagnon_hook = [](const QString &nom) { return nom.endsWith(QStringLiteral(".log")) ? QStringLiteral("/dev/full") : nom; };
    w->button_Fichier_Click();
    moteur::Moteur::compagnon_hook = nullptr;
    ASSERT_TRUE(w->moteur.diagnostic().fichiers_ouverts);
    ASSERT_TRUE(w->moteur.diagnostic().log_ouvert);

    const qsizetype marque = console().size();
    w->moteur.ferme_fichiers(true);
    const QString texte = console_depuis(marque);
    EXPECT_TRUE(texte.startsWith(QStringLiteral("Erreur d'écriture du fichier /dev/full : "))) << texte.toStdString();
    EXPECT_TRUE(texte.endsWith(QStringLiteral("\r\n")));
    EXPECT_EQ(taille(QStringLiteral("plein.Vlx")), 2097);
    rien_d_ouvert();
}

// The real save dialog: one "data" filter, ".dat" appended to a bare name, overwrite prompt on.
TEST_F(RecordingFiles, SaveDialogAppendsDatToABareName)
{
    Principale::save_dialog_hook = nullptr;
    bool vu = false;
    QTimer::singleShot(0, [&] {
        auto *d = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        ASSERT_NE(d, nullptr);
        vu = true;
        EXPECT_EQ(d->acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(d->nameFilters(), QStringList{QStringLiteral("data (*.dat)")});
        EXPECT_EQ(d->defaultSuffix(), QStringLiteral("dat"));
        EXPECT_FALSE(d->testOption(QFileDialog::DontConfirmOverwrite));
        d->setDirectory(dossier.path());
        d->selectFile(QStringLiteral("mesure"));
        static_cast<QDialog *>(d)->accept(); // as the Save button does
    });
    w->button_Fichier_Click();
    ASSERT_TRUE(vu);
    EXPECT_TRUE(w->moteur.diagnostic().fichiers_ouverts);
    EXPECT_EQ(w->moteur.diagnostic().nom_fichier, chemin(QStringLiteral("mesure.dat")));
    for (const char *nom : {"mesure.dat", "mesure.Vlx", "mesure.log"})
        EXPECT_EQ(taille(QString::fromLatin1(nom)), 0) << nom;
}

} // namespace
