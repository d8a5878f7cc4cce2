// The command line of viz256-record: what it reads into a run's settings, and the one line it
// gives for each bad option or value, before anything is sent or created.
#include "tools/record_options.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

std::variant<record_cli::Options, QString> lit(const QStringList &args)
{
    return record_cli::analyse(args);
}

void ecrit(const QString &chemin, const QByteArray &octets)
{
    QFile f(chemin);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(octets);
}

} // namespace

TEST(RecordOptions, EachBadOptionOrValueGetsItsLineAndNothingIsCreated)
{
    QTemporaryDir d;
    const QString ancien = d.filePath("ancien.dat"), neuf = d.filePath("neuf.dat");
    ecrit(d.filePath("ancien.log"), "");
    ecrit(d.filePath("latin1.txt"), "d\xe9j\xe0");
    const QStringList avant = QDir(d.path()).entryList(QDir::AllEntries | QDir::Hidden);
    QString long_commentaire(1024, u'x');
    long_commentaire[10] = u'\n'; // a line break is stored as two characters: 1025
    const struct {
        QStringList args;
        QString ligne; // a part of it
    } cas[] = {
        {{"--no-record", "--bogus"}, "unknown option --bogus"},
        {{"--no-record", "stray"}, "unexpected argument stray"},
        {{"--no-record", "--float", "--float"}, "--float is given twice"},
        {{"--no-record", "--float=1"}, "--float takes no value"},
        {{"--no-record", "--duration"}, "--duration needs a value"},
        {{}, "--out FILE.dat or --no-record is needed"},
        {{"--no-record", "--out", neuf}, "--out and --no-record exclude each other"},
        {{"--no-record", "--force"}, "--force goes with --out"},
        {{"--list", "--out", neuf}, "--list takes no --out"},
        {{"--no-record", "--frequency", "44100"}, "--frequency 44100: not one of the recorder's 17 frequencies"},
        {{"--no-record", "--frequency", "5e4"}, "--frequency 5e4: not one of"},
        {{"--no-record", "--channels", "beam_32"}, "--channels: the recorder has no channel \"beam_32\""},
        {{"--no-record", "--channels", "mic_3_8"}, "--channels: the recorder has no channel \"mic_3_8\""},
        {{"--no-record", "--channels", " , "}, "--channels: no channel to record"},
        {{"--no-record", "--channels="}, "--channels: no channel to record"},
        {{"--no-record", "--duration", "5.55"}, "--duration: Durée refusée : « 5.55 » ; de 0 à 85"},
        {{"--no-record", "--duration", "-1"}, "--duration: Durée refusée : « -1 »"},
        {{"--no-record", "--duration", "1e3"}, "--duration: Durée refusée : « 1e3 »"},
        {{"--no-record", "--duration", "85899.4"}, "--duration: Durée refusée : « 85899.4 »"},
        {{"--no-record", "--frequency", "2000", "--duration", "2147483.8"}, "Durée refusée : « 2147483.8 » ; de 0 à 2"},
        {{"--no-record", "--start-trigger", "soft:rising"}, "--start-trigger soft:rising: soft, trig1 or trig2"},
        {{"--no-record", "--stop-trigger", "trig3"}, "--stop-trigger trig3: soft, trig1 or trig2"},
        {{"--no-record", "--start-trigger", "trig1:up"}, "--start-trigger trig1:up: soft, trig1 or trig2"},
        {{"--no-record", "--duration", "5", "--stop-trigger", "trig1"}, "--stop-trigger: Une durée définie"},
        {{"--no-record", "--delay", "17"}, "--delay: Delay refusé : 17 ; de 0 à 16"},
        {{"--no-record", "--delay", "-1"}, "--delay -1: a whole number from 0 to 16"},
        {{"--out", ancien}, "--out: Le fichier " + d.filePath("ancien.log") + " existe déjà"},
        {{"--out", d.path()}, "--out: " + d.path() + " est un dossier"},
        {{"--out", ""}, "--out: Pas de fichier choisi"},
        {{"--no-record", "--channels", "status,counter", "--comment", "x"}, "--comment: Le commentaire n'est gardé qu'avec"},
        {{"--out", neuf, "--comment", long_commentaire}, "--comment: Commentaire trop long : 1025 caractères"},
        {{"--out", neuf, "--comment-file", d.filePath("absent")}, "--comment-file " + d.filePath("absent") + ": No such file"},
        {{"--out", neuf, "--comment-file", d.path()}, ": a folder, not a file"},
        {{"--out", neuf, "--comment-file", d.filePath("latin1.txt")}, "latin1.txt: not UTF-8 text"},
        {{"--out", neuf, "--comment", "a", "--comment-file", "b"}, "--comment and --comment-file exclude each other"},
        {{"--no-record", "--device", ""}, "--device needs a port path or a serial number"},
    };
    for (const auto &c : cas) {
        const auto r = lit(c.args);
        const QString *ligne = std::get_if<QString>(&r);
        ASSERT_NE(ligne, nullptr) << c.args.join(' ').toStdString();
        EXPECT_TRUE(ligne->contains(c.ligne)) << ligne->toStdString() << "\n  expected: " << c.ligne.toStdString();
        EXPECT_FALSE(ligne->contains(u'\n') || ligne->contains(u'\r')) << ligne->toStdString();
    }
    EXPECT_EQ(QDir(d.path()).entryList(QDir::AllEntries | QDir::Hidden), avant);
}

TEST(RecordOptions, GoodOptionsGiveTheSettingsTheWindowWouldSend)
{
    auto r = lit({"--no-record"});
    ASSERT_TRUE(std::holds_alternative<record_cli::Options>(r)) << std::get<QString>(r).toStdString();
    const reglages::Reglages defaut = std::get<record_cli::Options>(r).reglages;
    EXPECT_EQ(defaut.entree_frequence, 0);
    EXPECT_EQ(defaut.voies, reglages::Voies::fenetre());
    EXPECT_EQ(defaut.voies.choix().nb_voies, 257);
    EXPECT_EQ(defaut.delai_envoye(), 10);
    EXPECT_EQ(defaut.nb_echantillons(), 0u);
    EXPECT_FALSE(defaut.flottant || defaut.duree || defaut.fichier || defaut.commentaire || defaut.start.externe());

    QTemporaryDir d;
    ecrit(d.filePath("c.txt"), "\xef\xbb\xbf" "Essai \xc3\xa9t\xc3\xa9\r\nligne 2\n\n");
    r = lit({"--out", d.filePath("m.dat"), "--frequency", "41667", "--channels", "beam_3, va,counter,5", "--float",
             "--duration", "2,5", "--start-trigger", "trig2:low", "--delay=3", "--comment-file", d.filePath("c.txt")});
    ASSERT_TRUE(std::holds_alternative<record_cli::Options>(r)) << std::get<QString>(r).toStdString();
    const reglages::Reglages g = std::get<record_cli::Options>(r).reglages;
    EXPECT_EQ(g.entree_frequence, 2);
    EXPECT_FLOAT_EQ(g.frequence(), 41666.0f);
    const selection::Choix ch = g.voies.choix();
    EXPECT_EQ(ch.nb_voies, 1 + 9 + 4);
    EXPECT_EQ(ch.masques[0], 0x20);
    EXPECT_EQ(ch.masques[3], 0xFF);
    EXPECT_EQ(ch.masque_aux, 0x80 | 0x0F);
    EXPECT_TRUE(g.flottant);
    EXPECT_EQ(g.nb_echantillons(), 104165u); // floor(25 x 41 666 / 10)
    EXPECT_EQ(g.start.octet(), 0xC2);
    EXPECT_EQ(g.delai_envoye(), 3);
    EXPECT_EQ(g.commentaire, QStringLiteral("Essai été\r\nligne 2"));
    EXPECT_EQ(g.fichier, d.filePath("m.dat"));
    EXPECT_TRUE(QDir(d.path()).entryList(QDir::Files) == QStringList{"c.txt"});

    ecrit(d.filePath("m.dat"), "");
    r = lit({"--out", d.filePath("m.dat"), "--force", "--device=1-2", "--stop-trigger", "trig1:falling"});
    ASSERT_TRUE(std::holds_alternative<record_cli::Options>(r)) << std::get<QString>(r).toStdString();
    const record_cli::Options o = std::get<record_cli::Options>(r);
    EXPECT_TRUE(o.remplacer);
    EXPECT_EQ(o.appareil, QStringLiteral("1-2"));
    EXPECT_EQ(o.reglages.stop.octet(), 0x41);

    r = lit({"--no-record", "--delay", "16"}); // the largest delay setting
    ASSERT_TRUE(std::holds_alternative<record_cli::Options>(r)) << std::get<QString>(r).toStdString();
    EXPECT_EQ(std::get<record_cli::Options>(r).reglages.delai_envoye(), 16);

    r = lit({"--list", "--json"});
    ASSERT_TRUE(std::holds_alternative<record_cli::Options>(r));
    EXPECT_TRUE(std::get<record_cli::Options>(r).liste && std::get<record_cli::Options>(r).json);
    r = lit({"--out", "x.dat", "-h"});
    EXPECT_TRUE(std::holds_alternative<record_cli::Options>(r) && std::get<record_cli::Options>(r).aide);
}
