// The example run written through the window's own file routines, to a folder an outside
// reader can inspect: $VIZ256_EXAMPLE_OUT when set (the files are kept), else a temporary
// folder. tests/scripts/test_header_python.sh reads the files back with Python.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "app/principale.h"
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
        ASSERT_TRUE(w.run.ouvre_fichiers(dat));
        w.run.header_file = exemple_run();
        w.run.nb_voies = 17;
        w.run.nb_micros = 16;
        w.run.commentaire.reset();
        const char trame[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        ASSERT_EQ(std::fwrite(trame, 1, sizeof trame, w.anneau.Filep), sizeof trame);
        w.moteur.ferme_fichiers(true);
        EXPECT_EQ(w.anneau.Filep, nullptr);
        EXPECT_EQ(w.run.Mu, nullptr);
        EXPECT_EQ(w.run.log, nullptr);
        EXPECT_FALSE(w.run.file_open);
    }
    Principale::alert_hook = nullptr;

    EXPECT_EQ(contenu(dat), QByteArray("\1\2\3\4\5\6\7\x08"));
    const auto image = serialise(exemple_run());
    EXPECT_EQ(contenu(dossier + QStringLiteral("/exemple.Vlx")),
              QByteArray(reinterpret_cast<const char *>(image.data()), TAILLE_HEADER));
    EXPECT_EQ(contenu(dossier + QStringLiteral("/exemple.log")),
              texte_log(exemple_run(), 17, 16, std::nullopt, QLocale(QLocale::French, QLocale::France)));
}
