#include "tests/faults/fichiers_run.h"

#include "recording/fichiers.h"
#include "recording/header_record.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {
QByteArray contenu(const QString &chemin)
{
    QFile f(chemin);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

void verifie_fichiers_run(const QString &dat, const CompteRun &c)
{
    const NomsCompagnons noms = noms_compagnons(dat);
    EXPECT_EQ(QFileInfo(dat).size(), qint64(c.ecrits));
    if (c.tout_ecrit) {
        EXPECT_EQ(c.ecrits, c.recus);
    }
    const uint64_t trames = c.nb_voies > 0 ? c.ecrits / 4 / uint64_t(c.nb_voies) : 0;
    const QByteArray h = contenu(noms.entete);
    EXPECT_EQ(h.size(), TAILLE_HEADER);
    if (h.size() == TAILLE_HEADER) {
        std::array<uint8_t, TAILLE_HEADER> b{};
        std::memcpy(b.data(), h.constData(), TAILLE_HEADER);
        EXPECT_EQ(deserialise(b).nb_ech, uint32_t(trames));
    }
    const QByteArray log = contenu(noms.log);
    const QString texte = QString::fromUtf8(log);
    EXPECT_EQ(texte.toUtf8(), log) << "the log is not valid UTF-8";
    EXPECT_TRUE(texte.contains(QStringLiteral("\r\nNb_ech = %1\r\n").arg(trames)));
    const QString fin = QStringLiteral("\n[OPTIONNAL]\r\n") + c.commentaire.value_or(QString()) + QStringLiteral("\r\n");
    EXPECT_TRUE(texte.endsWith(fin)) << "log incomplete: ..." << texte.right(200).toStdString();
}
