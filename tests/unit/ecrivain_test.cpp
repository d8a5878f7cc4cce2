// The data-file writer alone: what reaches the file is exactly what was handed over, in order,
// whether the file system takes direct writes (the test folder) or refuses them (a seam plays
// such a file system), and on tmpfs.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "acquisition/ecrivain.h"

TEST(Ecrivain, FileHoldsExactlyThePacketsHandedOver)
{
    QTemporaryDir ici;
    QTemporaryDir shm(QStringLiteral("/dev/shm/viz256-XXXXXX"));
    for (const auto &[d, refuse_direct] : {std::pair{&ici, false}, {&ici, true}, {&shm, false}}) {
        if (!d->isValid())
            continue;
        SCOPED_TRACE(d->path().toStdString() + (refuse_direct ? " refusing O_DIRECT" : ""));
        bool demande = false;
        if (refuse_direct)
            Ecrivain::fixe_drapeaux = [&demande](int, int drapeaux) {
                demande = drapeaux & O_DIRECT;
                return errno = EINVAL, -1;
            };
        const QString chemin = d->filePath(QStringLiteral("essai.dat"));
        FILE *f = std::fopen(QFile::encodeName(chemin).constData(), "wb+");
        ASSERT_NE(f, nullptr);
        Ecrivain e;
        e.dimensionne(4, 4);
        e.demarre(fileno(f));
        Ecrivain::fixe_drapeaux = nullptr;
        EXPECT_EQ(demande, refuse_direct);
        EXPECT_TRUE(!refuse_direct || !e.direct.load()) << "the page cache should take the writes";
        // Full packets, then lengths off any block boundary, as after an odd transfer.
        QByteArray attendu;
        uint8_t valeur = 0;
        for (uint32_t len : {Ecrivain::TAILLE_TAMPON, Ecrivain::TAILLE_TAMPON, 1000001u, 4096u, 12u, 0u, 3000000u}) {
            unsigned char *p = e.prend();
            while (!p) { // all four out: wait for the writer to give one back
                usleep(1000);
                p = e.prend();
            }
            for (uint32_t i = 0; i < len; ++i)
                p[i] = valeur++;
            attendu.append(reinterpret_cast<const char *>(p), len);
            e.depose(p, len);
        }
        e.arrete();
        EXPECT_LE(e.tampons_faits(), 4u); // the pool never passes its size
        EXPECT_FALSE(e.erreur.load());
        EXPECT_EQ(e.ecrits.load(), uint64_t(attendu.size()));
        EXPECT_EQ(std::fclose(f), 0);
        QFile lu(chemin);
        ASSERT_TRUE(lu.open(QIODevice::ReadOnly));
        EXPECT_TRUE(lu.readAll() == attendu);
    }
}
