// The usbfs cap: reading it, what the ring needs of it, and the operator's message.
#include <gtest/gtest.h>

#include "device/usbfs.h"

#include <QFile>
#include <QTemporaryDir>

using namespace usbfs;

TEST(Usbfs, ReadsTheCapAndTakesAnythingElseForNoCap)
{
    QTemporaryDir d;
    ASSERT_TRUE(d.isValid());
    const struct {
        const char *contenu; // nullptr: no file
        uint32_t attendu;
    } cas[] = {{"16\n", 16}, {"256", 256}, {"0\n", 0}, {"", 0}, {"abc\n", 0}, {nullptr, 0}};
    int n = 0;
    for (const auto &c : cas) {
        const QString chemin = d.filePath(QString::number(n++));
        if (c.contenu) {
            QFile f(chemin);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.contenu);
        }
        EXPECT_EQ(lit_limite_mo(QFile::encodeName(chemin).constData()), c.attendu) << (c.contenu ? c.contenu : "(no file)");
    }
}

TEST(Usbfs, TheRingNeeds65MiBAndEveryCapBelowRefusesIt)
{
    // Eight 8 MiB buffers are 64 MiB; the kernel's records and scatter-gather lists take the
    // ring past it.
    const uint32_t besoin = besoin_mo(8, 8388608);
    EXPECT_EQ(besoin, 65u);
    EXPECT_GT(8 * octets_transfert(8388608, true), 8ull * 8388608);
    EXPECT_EQ(octets_transfert(24, false) - 24, octets_transfert(16384, true) - 16384) << "no list up to 16 KiB";
    for (const auto &[limite, ok] : {std::pair{16u, false}, {64u, false}, {65u, true}, {LIMITE_REGLE_MO, true}, {0u, true}})
        EXPECT_EQ(suffit(limite, besoin), ok) << limite;
}

TEST(Usbfs, MessageGivesTheCapTheNeedAndTheFix)
{
    const QString fix = QStringLiteral("echo %1 | sudo tee /sys/module/usbcore/parameters/usbfs_memory_mb\r\n").arg(LIMITE_REGLE_MO);
    const QString bas = message(16, 65);
    EXPECT_TRUE(bas.contains(QStringLiteral("à 16 Mo (usbfs_memory_mb) ; une acquisition en demande 65 Mo"))) << bas.toStdString();
    EXPECT_TRUE(bas.contains(QStringLiteral("60-viz256.rules")));
    EXPECT_TRUE(bas.endsWith(fix)) << bas.toStdString();
    // Refused under a cap that holds the need: other programs hold the memory.
    // The cap is one budget for every device and program: how many runs it holds at once.
    const QString pris = message(65, 65);
    EXPECT_TRUE(pris.contains(QStringLiteral("d'autres programmes"))) << pris.toStdString();
    EXPECT_TRUE(message(256, 65).contains(QStringLiteral("acquisitions possibles à la fois sous cette limite : 3.")));
    EXPECT_TRUE(pris.endsWith(fix));
    // No cap at all: raising it cannot help.
    EXPECT_FALSE(message(0, 65).contains(QStringLiteral("sudo")));
}
