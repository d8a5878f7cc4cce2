// The example run written through the window's own file routines, to a folder an outside
// reader can inspect: $VIZ256_EXAMPLE_OUT when set (the files are kept), else a temporary
// folder. tests/scripts/test_header_python.sh reads the files back with Python.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "app/principale.h"
#include "recording/frame_layout.h"
#include "recording/log_text.h"
#include "tests/unit/recording_exemple.h"

namespace {
QByteArray contenu(const QString &chemin)
{
    QFile f(chemin);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << chemin.toStdString();
    return f.readAll();
}
} // namespace

TEST(RecordingExport, ExampleRunFiles)
{
    QTemporaryDir tmp;
    const QByteArray dehors = qgetenv("VIZ256_EXAMPLE_OUT");
    const QString dossier = dehors.isEmpty() ? tmp.path() : QString::fromLocal8Bit(dehors);
    ASSERT_TRUE(QDir().mkpath(dossier));
    const QString dat = dossier + QStringLiteral("/exemple.dat");

    Principale::alert_hook = [](const QString &t) { ADD_FAILURE() << t.toStdString(); };
    {
        Principale w;
        ASSERT_TRUE(w.moteur.choisit_fichier(dat));
        FrameLayout disposition; // the counter and sixteen microphones: 17 words
        disposition.counter = true;
        for (int c = 0; c < 16; ++c)
            disposition.mics.push_back(c);
        w.moteur.decrit(exemple_run(), disposition);
        EXPECT_FALSE(w.moteur.diagnostic().commentaire.has_value());
        const char trame[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        QFile donnees(dat); // the engine's data file, written beside it
        ASSERT_TRUE(donnees.open(QIODevice::WriteOnly | QIODevice::Append));
        ASSERT_EQ(donnees.write(trame, sizeof trame), qint64(sizeof trame));
        donnees.close();
        w.moteur.ferme_fichiers(true);
        EXPECT_FALSE(w.moteur.diagnostic().donnees_ouvert);
        EXPECT_FALSE(w.moteur.diagnostic().entete_ouvert);
        EXPECT_FALSE(w.moteur.diagnostic().log_ouvert);
        EXPECT_FALSE(w.moteur.diagnostic().fichiers_ouverts);
    }
    Principale::alert_hook = nullptr;

    EXPECT_EQ(contenu(dat), QByteArray("\1\2\3\4\5\6\7\x08"));
    const auto image = serialise(exemple_run());
    EXPECT_EQ(contenu(dossier + QStringLiteral("/exemple.Vlx")),
              QByteArray(reinterpret_cast<const char *>(image.data()), TAILLE_HEADER));
    EXPECT_EQ(contenu(dossier + QStringLiteral("/exemple.log")),
              texte_log(exemple_run(), 17, 16, std::nullopt, QLocale(QLocale::French, QLocale::France)));
}
