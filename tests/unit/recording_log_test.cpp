#include <gtest/gtest.h>

#include "recording/commentaire.h"
#include "recording/log_text.h"
#include "tests/unit/recording_exemple.h"

#include <QLocale>

namespace {
const QLocale francais(QLocale::French, QLocale::France);

// The lines of a log, split on CR LF (the bare LFs of the section titles stay in the lines).
QStringList lignes(const QByteArray &log)
{
    QStringList l = QString::fromUtf8(log).split(QStringLiteral("\r\n"));
    EXPECT_EQ(l.last(), QString()) << "the log must end with CR LF";
    l.removeLast();
    return l;
}
} // namespace

TEST(RecordingLog, ExampleRunWholeText)
{
    QByteArray attendu =
        "[DEFAULT]\n\r\n"
        "[Date]\r\n"
        "Date = 07/12/2022     ;jour mois ann\xC3\xA9" "e\r\n"
        "Heure = 14:05:09\r\n"
        "\n[Voies]\r\n"
        "Nb_faisceaux = 32\r\n"
        "Nb_voies = 17\r\n"
        "Nb_micros_actifs = 16\r\n"
        "Nb_voies_analogiques = 0\r\n"
        "Nb_compteurs = 1\r\n"
        "\n[Micros actifs]\r\n"
        "Faisceau_000  1  1  1  1  1  1  1  1\r\n"
        "Faisceau_001  1  1  1  1  1  1  1  1\r\n";
    for (int b = 2; b < 128; ++b)
        attendu += QByteArray("Faisceau_") + QByteArray::number(b).rightJustified(3, '0') + "  0  0  0  0  0  0  0  0\r\n";
    attendu +=
        "\n[VA actives]\r\n"
        "Bloc_A =   0  0  0  0\r\n"
        "Bloc_B =   0  0  0  0\r\n"
        "Bloc_C =   0  0  0  0\r\n"
        "Bloc_D =   0  0  0  0\r\n"
        "\n[Compteurs actifs]\r\n"
        "Compteurs =   1  0  0  0\r\n"
        "\n[Acquisition]\r\n"
        "Freq = 50000      ; (Hz)\r\n"
        "Duree = 5,0       ; (s)\r\n"
        "Nb_ech = 250000\r\n"
        "Type = float32\r\n"
        "\n\n[OPTIONNAL]\r\n"
        "\r\n";
    const QByteArray log = texte_log(exemple_run(), 17, 16, std::nullopt, francais);
    EXPECT_EQ(log.toStdString(), attendu.toStdString());
    EXPECT_FALSE(log.startsWith("\xEF\xBB\xBF"));
}

// Status channel and 8 microphones: the status word has no flag, so Nb_voies exceeds the
// other counts by one. Analogue flags and counters are summed from the record.
TEST(RecordingLog, CountsComeFromTheRecordAndTheRun)
{
    type_header_file h = exemple_run();
    std::memset(h.micros_actifs, 0, sizeof h.micros_actifs);
    std::memset(h.compteurs_actifs, 0, sizeof h.compteurs_actifs);
    for (int m = 0; m < 8; ++m)
        h.micros_actifs[31][m] = 1;
    h.type_float = 0;
    QStringList l = lignes(texte_log(h, 9, 8, std::nullopt, francais));
    ASSERT_EQ(l.size(), 153);
    EXPECT_EQ(l[6], QStringLiteral("Nb_voies = 9"));
    EXPECT_EQ(l[7], QStringLiteral("Nb_micros_actifs = 8"));
    EXPECT_EQ(l[8], QStringLiteral("Nb_voies_analogiques = 0"));
    EXPECT_EQ(l[9], QStringLiteral("Nb_compteurs = 0"));
    EXPECT_EQ(l[11 + 31], QStringLiteral("Faisceau_031  1  1  1  1  1  1  1  1"));
    EXPECT_EQ(l[150], QStringLiteral("Type = int32"));

    h.va_actives[0][0] = h.va_actives[0][2] = h.va_actives[0][3] = 1;
    h.compteurs_actifs[0] = 1;
    l = lignes(texte_log(h, 13, 8, std::nullopt, francais));
    EXPECT_EQ(l[8], QStringLiteral("Nb_voies_analogiques = 3"));
    EXPECT_EQ(l[9], QStringLiteral("Nb_compteurs = 1"));
    EXPECT_EQ(l[140], QStringLiteral("Bloc_A =   1  0  1  1"));
    EXPECT_EQ(l[145], QStringLiteral("Compteurs =   1  0  0  0"));
}

// Whole-number frequencies print without decimals (500000 / 12 truncates to 41666); the
// duration keeps one decimal, grouped, in the locale given.
TEST(RecordingLog, FrequencyAndDurationForms)
{
    type_header_file h = exemple_run();
    h.freq = static_cast<float>(500000 / 12);
    h.duree_acquise = 12345.67f;
    QStringList l = lignes(texte_log(h, 17, 16, std::nullopt, francais));
    EXPECT_EQ(l[147], QStringLiteral("Freq = 41666      ; (Hz)"));
    EXPECT_EQ(l[148], QStringLiteral("Duree = 12") + francais.groupSeparator() + QStringLiteral("345,7       ; (s)"));

    h.duree_acquise = 0.04f;
    l = lignes(texte_log(h, 17, 16, std::nullopt, QLocale::c()));
    EXPECT_EQ(l[148], QStringLiteral("Duree = 0.0       ; (s)"));
    EXPECT_EQ(forme_courte(2000.0f, QLocale::c()), QStringLiteral("2000"));
    EXPECT_EQ(forme_courte(2.5f, francais), QStringLiteral("2,5"));
}

// The comment is the last line, as padded, in UTF-8; its line breaks are CR LF.
TEST(RecordingLog, CommentIsTheLastLine)
{
    const QString c = commentaire_complete(QStringLiteral("Essai é\n€"));
    const QByteArray log = texte_log(exemple_run(), 17, 16, c, francais);
    const QByteArray fin = QByteArray("\n\n[OPTIONNAL]\r\nEssai \xC3\xA9\r\n\xE2\x82\xAC") + QByteArray(1023 - 10, ' ') + "\r\n";
    EXPECT_TRUE(log.endsWith(fin)) << log.right(60).toStdString();
}
