// The header and log rewritten in place during a run, and the log's reserved room.
#include "recording/description.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {
qint64 octets_sur_disque(const QFile &f)
{
    struct stat st {};
    return ::fstat(f.handle(), &st) == 0 ? qint64(st.st_blocks) * 512 : -1;
}
} // namespace

TEST(RecordingDescription, RewrittenInPlaceAndCutAtTheEnd)
{
    QTemporaryDir dossier;
    QFile f(dossier.filePath(QStringLiteral("essai.log")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    const QByteArray debut(5000, 'a');
    ASSERT_TRUE(description::ecrit_en_place(f, debut, false, nullptr));
    const qint64 bloc_texte = octets_sur_disque(f);
    const bool reserve = description::reserve(f, debut.size() + description::MARGE_LOG);
    if (reserve) {
        EXPECT_GE(octets_sur_disque(f), debut.size() + description::MARGE_LOG);
    }
    EXPECT_EQ(f.size(), debut.size()) << "the reservation lengthened the file";

    // Grows (as during a run: the room is kept), then shrinks: the file holds exactly the
    // last text.
    for (const qsizetype n : {5010, 4990}) {
        const QByteArray texte(n, char('0' + n % 10));
        ASSERT_TRUE(description::ecrit_en_place(f, texte, false, nullptr));
        QFile l(f.fileName());
        ASSERT_TRUE(l.open(QIODevice::ReadOnly));
        EXPECT_EQ(l.readAll(), texte);
        if (reserve && n > debut.size()) {
            EXPECT_GE(octets_sur_disque(f), debut.size() + description::MARGE_LOG) << "a rewrite gave the reserved room back";
        }
    }

    // The end of the run cuts the file to its text and gives back the room beyond it.
    ASSERT_TRUE(description::ecrit_en_place(f, QByteArray(5005, 'z'), true, nullptr));
    EXPECT_EQ(f.size(), 5005);
    EXPECT_LE(octets_sur_disque(f), bloc_texte);
}
