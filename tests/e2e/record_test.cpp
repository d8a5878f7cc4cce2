// viz256-record's work (tools/record_run.h, all of the program but its main) against the
// emulated recorder: bad usage refused before anything is sent or created, the same files as
// the window's, the signals acting as Stop and Abort, the list of recorders.
#include "tests/support/emule.h"
#include "acquisition/ecrivain.h"
#include "acquisition/moteur.h"
#include "reading/run.h"
#include "tools/record_run.h"

#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <functional>
#include <memory>
#include <thread>
#include <unistd.h>

namespace {

QByteArray lit(const QString &chemin)
{
    QFile f(chemin);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Sortie {
    int code = -1;
    QString erreur, sortie;
};

// Runs viz256-record's work in this process, its stdout and stderr caught. Meanwhile `signal`
// is asked now and then, with the stderr written so far, which signal to send this process (0:
// none yet); the run's own handler takes it.
Sortie record(const QStringList &args, const std::function<int(const QString &erreur)> &signal = {})
{
    QTemporaryDir d;
    const QByteArray so = QFile::encodeName(d.filePath("out")), se = QFile::encodeName(d.filePath("err"));
    std::fflush(stdout);
    std::fflush(stderr);
    const int avant[2] = {::dup(1), ::dup(2)};
    ::dup2(::open(so.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), 1);
    ::dup2(::open(se.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), 2);
    std::atomic<bool> fini{false};
    std::thread guet([&] {
        while (signal && !fini) {
            if (const int sig = signal(QString::fromUtf8(lit(d.filePath("err")))))
                ::kill(::getpid(), sig);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    Sortie s;
    s.code = record_cli::execute(args);
    fini = true;
    guet.join();
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(avant[0], 1);
    ::dup2(avant[1], 2);
    ::close(avant[0]);
    ::close(avant[1]);
    s.sortie = QString::fromUtf8(lit(d.filePath("out")));
    s.erreur = QString::fromUtf8(lit(d.filePath("err")));
    return s;
}

// SIGINT once, when `quand` first holds.
std::function<int(const QString &)> sigint_quand(std::function<bool()> quand)
{
    return [quand, envoye = std::make_shared<bool>(false)](const QString &) {
        if (*envoye || !quand())
            return 0;
        *envoye = true;
        return SIGINT;
    };
}

// The run's files agree: the header counts the whole frames of the data file.
void fichiers_entiers(const QString &dat)
{
    const reading::Run run = reading::open_run(QFile::encodeName(dat).toStdString());
    ASSERT_TRUE(run.header.has_value()) << dat.toStdString();
    EXPECT_EQ(uint64_t(run.header->nb_ech), run.frames()) << dat.toStdString();
    EXPECT_GT(run.frames(), 0u) << dat.toStdString();
}

} // namespace

class Record : public FenetreEmulee {};

TEST_F(Record, BadUsageGetsOneLineAndStatus2BeforeAnythingIsSentOrCreated)
{
    const QString neuf = chemin("neuf.dat"), ancien = chemin("ancien.dat");
    QFile(chemin("ancien.Vlx")).open(QIODevice::WriteOnly);
    ASSERT_EQ(::mkfifo(QFile::encodeName(chemin("tube.dat")).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(chemin("absent/x.dat"), chemin("lien.dat")));
    const QStringList avant = QDir(dossier.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    const struct {
        QStringList args;
        const char *ligne;
    } cas[] = {
        {{}, "--out FILE.dat or --no-record is needed"},
        {{"--out", neuf, "--bogus"}, "unknown option --bogus"},
        {{"--out", neuf, "--frequency", "44100"}, "--frequency 44100: not one of"},
        {{"--out", neuf, "--duration", "5.55"}, "--duration: Durée refusée"},
        {{"--out", neuf, "--duration", "2", "--stop-trigger", "trig1"}, "--stop-trigger: "},
        {{"--out", neuf, "--comment-file", chemin("absent.txt")}, "--comment-file "},
        {{"--out", ancien}, "--out: "},
        {{"--no-record", "--device", ""}, "--device needs"},
        {{"--list", "--no-record"}, "--list takes no --no-record"},
        {{"--out", neuf, "--duration", "0"}, "--duration 0: a run of no length; for an open-ended run, leave --duration out"},
        {{"--out", chemin("tube.dat"), "--force"}, "tube.dat n'est pas un fichier ordinaire"},
        {{"--out", "/dev/full", "--force"}, "--out: /dev/full n'est pas un fichier ordinaire"},
        {{"--out", chemin("absent/x.dat")}, "absent n'existe pas"},
        {{"--out", chemin("lien.dat")}, "lien.dat est un lien vers "},
        {{"--out", chemin("lien.dat"), "--force"}, "qui n'existe pas"},
    };
    for (const auto &c : cas) {
        rec->clear_requests();
        const Sortie s = record(c.args);
        const QString quoi = c.args.join(' ');
        EXPECT_EQ(s.code, 2) << quoi.toStdString();
        EXPECT_TRUE(s.erreur.startsWith(QStringLiteral("viz256-record: ")) && s.erreur.count(u'\n') == 1 &&
                    s.erreur.endsWith(u'\n') && s.erreur.contains(QString::fromUtf8(c.ligne)))
            << quoi.toStdString() << ": " << s.erreur.toStdString();
        EXPECT_TRUE(s.sortie.isEmpty()) << quoi.toStdString();
        EXPECT_TRUE(rec->requests().empty()) << quoi.toStdString();
        EXPECT_EQ(QDir(dossier.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), avant) << quoi.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/dev/full.Vlx")) || QFileInfo::exists(QStringLiteral("/dev/full.log")));
}

// A disk without room for the run: one line, status 4, nothing sent, nothing left behind.
TEST_F(Record, NoRoomOnTheDiskIsSaidBeforeAnythingIsSent)
{
    moteur::Moteur::espace_libre_hook = [](const QString &) { return 1000000000ull + 300ull * 1048576; };
    rec->clear_requests();
    const Sortie s = record({"--out", chemin("plein.dat"), "--duration", "20"});
    moteur::Moteur::espace_libre_hook = nullptr;
    EXPECT_EQ(s.code, 4);
    EXPECT_EQ(s.erreur.toStdString(), "viz256-record: --out: Pas suffisamment de place sur le disque ! "
                                      "300 Mo disponibles sur le disque, soit 6,1 s\n"); // the test locale: French
    EXPECT_TRUE(rec->requests().empty());
    EXPECT_TRUE(QDir(dossier.path()).isEmpty());
}

// The usbfs memory taken by another program mid-run: the ring's transfers and the stop itself
// are refused. The run is ended here all the same, its files whole, and the summary says why.
TEST_F(Record, ARecorderThatCannotBeToldToStopEndsTheRunWithItsFiles)
{
    rec->set_paced(true);
    const QString dat = chemin("refus.dat");
    const Sortie s = record({"--out", dat, "--frequency", "25000", "--duration", "8", "--json"}, [&](const QString &) {
        if (QFileInfo(dat).size() > 0)
            rec->set_usbfs_memory_mb(16);
        return 0;
    });
    EXPECT_EQ(s.code, 3) << s.erreur.toStdString();
    EXPECT_TRUE(s.erreur.contains(QStringLiteral("Le Velmarix n'a pas pu être arrêté"))) << s.erreur.toStdString();
    EXPECT_LE(s.erreur.count(QStringLiteral("Erreur lancement transfert")), 1) << s.erreur.toStdString();
    EXPECT_TRUE(s.sortie.contains(QStringLiteral("\"data_lost\": true"))) << s.sortie.toStdString();
    EXPECT_TRUE(s.sortie.contains(QStringLiteral("\"usbfs_refused\": true"))) << s.sortie.toStdString();
    EXPECT_LT(QFileInfo(dat).size(), 25000ll * 8 * 257 * 4); // not the whole duration
    fichiers_entiers(dat);
}

// A disk that takes nothing after the stream: said with how long, and a second signal gives up
// the write-out (the files keep and describe what was written; data lost).
TEST_F(Record, AWriteOutThatNeverEndsIsSaidAndGivenUpByASecondSignal)
{
    std::atomic<bool> lache{false};
    Ecrivain::avant_ecriture = [&lache](uint64_t position) {
        for (int i = 0; position > 0 && !lache && i < 3000; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    const QString dat = chemin("lent.dat");
    int envoyes = 0;
    const Sortie s = record({"--out", dat, "--frequency", "25000", "--duration", "1", "--json"}, [&](const QString &e) {
        if (e.contains(QStringLiteral("Écriture abandonnée")))
            lache = true;
        if ((envoyes == 0 && e.contains(QStringLiteral("Attente du disque : 5 s, "))) ||
            (envoyes == 1 && e.contains(QStringLiteral("a second signal gives it up"))))
            return ++envoyes, SIGINT;
        return 0;
    });
    Ecrivain::avant_ecriture = nullptr;
    EXPECT_EQ(s.code, 1) << s.erreur.toStdString();
    EXPECT_TRUE(s.erreur.contains(QStringLiteral(" Mo reçus ne sont pas écrits dans "))) << s.erreur.toStdString();
    EXPECT_TRUE(s.sortie.contains(QStringLiteral("\"data_lost\": true"))) << s.sortie.toStdString();
    fichiers_entiers(dat);
}

// The same configuration from the command line and from the window: the same three files, apart
// from the date (the header's first 16 bytes, the log's Date and Heure lines).
TEST_F(Record, SameFilesAsTheWindow)
{
    const QString commentaire = QStringLiteral("Soufflerie, série 3 : « pale n°2 »");
    rec->reset();
    const Sortie s = record({"--out", chemin("ligne.dat"), "--frequency", "25000", "--channels", "mics,counter,status",
                             "--float", "--duration", "1.5", "--comment", commentaire});
    ASSERT_EQ(s.code, 0) << s.erreur.toStdString();

    rec->reset();
    initialise_ok();
    choisit_frequence(7);
    clic(w->checkBox_Status);
    clic(w->radioButton_Float);
    w->checkBox_Definie->setChecked(true);
    w->numericUpDown_Duree->setValue(1.5);
    w->checkBox_Record->setChecked(true);
    clic(w->button_Comment);
    w->textBox_Comment->insertPlainText(commentaire);
    clic(w->button_Comment);
    chemin_choisi = chemin("fenetre.dat");
    clic(w->button_Start);
    ASSERT_TRUE(alertes.isEmpty()) << alertes.join('|').toStdString();

    const auto sans_date = [](QByteArray b, const char *ext) {
        if (QByteArray(ext) == ".Vlx")
            return b.mid(16);
        return QString::fromUtf8(b).remove(QRegularExpression(QStringLiteral("(Date|Heure) = [^\r\n]*"))).toUtf8();
    };
    for (const char *ext : {".dat", ".Vlx", ".log"}) {
        const QByteArray l = lit(chemin("ligne") + QString::fromLatin1(ext)), f = lit(chemin("fenetre") + QString::fromLatin1(ext));
        EXPECT_GT(f.size(), 0) << ext;
        EXPECT_TRUE(sans_date(l, ext) == sans_date(f, ext)) << ext << ": " << l.size() << " bytes against the window's " << f.size();
    }
    EXPECT_EQ(lit(chemin("fenetre.dat")).size(), 37500 * 258 * 4);
}

// SIGINT as Stop while streaming (the files complete and clean, status 0) and as Abort while the
// run waits for its trigger; --json reports on the way and sums up at the end.
TEST_F(Record, SigintStopsAStreamingRunAndAbortsATriggerWait)
{
    rec->set_paced(true);
    const QString dat = chemin("arret.dat");
    Sortie s = record({"--out", dat, "--channels", "beam_0,counter", "--json"},
                      sigint_quand([&dat] { return QFileInfo(dat).size() > 0; })); // the writer's first block
    EXPECT_EQ(s.code, 0) << s.erreur.toStdString();
    EXPECT_TRUE(s.sortie.contains(QStringLiteral("{\"state\": \"streaming\", \"frames\": "))) << s.sortie.toStdString();
    EXPECT_TRUE(s.sortie.contains(QRegularExpression(QStringLiteral("\"state\": \"ended\", \"status\": 0, \"started\": true, \"aborted\": false, \"stopped\": true.*\"data_lost\": false"))))
        << s.sortie.toStdString();
    EXPECT_GT(lit(dat).size(), 0); // at least the writer's first block (one transfer of about 100 ms)
    QProcess check;
    check.start(QStringLiteral(VIZ256_RUN), {"check", dat});
    ASSERT_TRUE(check.waitForFinished(60000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAll().toStdString();

    s = record({"--no-record", "--start-trigger", "trig1", "--json"}, sigint_quand([this] { return rec->waiting_for_trigger(); }));
    EXPECT_EQ(s.code, 0) << s.erreur.toStdString();
    EXPECT_TRUE(s.sortie.contains(QStringLiteral("\"aborted\": true"))) << s.sortie.toStdString();
    // Abandoned by the signal, not by the wait's 30 s limit, which ends it alike.
    EXPECT_FALSE(s.erreur.contains(QStringLiteral("Temps d'attente dépassé"))) << s.erreur.toStdString();
    EXPECT_FALSE(rec->streaming());
}

// --list sees the recorder through its own libusb context, and sees it held while the window has it.
TEST_F(Record, ListShowsTheRecorderAndWhetherItIsHeld)
{
    const QRegularExpression un(QStringLiteral("^\\[\\{\"port\": \"[0-9][-0-9.]*\", \"serial\": (null|\"[^\"]*\"), \"busy\": %1\\}\\]\n$"));
    Sortie s = record({"--list", "--json"});
    EXPECT_EQ(s.code, 0);
    EXPECT_TRUE(QRegularExpression(un.pattern().arg("false")).match(s.sortie).hasMatch()) << s.sortie.toStdString();
    initialise_ok();
    s = record({"--list", "--json"});
    EXPECT_TRUE(QRegularExpression(un.pattern().arg("true")).match(s.sortie).hasMatch()) << s.sortie.toStdString();
    EXPECT_TRUE(record({"--list"}).sortie.contains(QStringLiteral(" busy (another program holds it)\n")));
    s = record({"--no-record", "--json"});
    EXPECT_EQ(s.code, 3);
    EXPECT_TRUE(s.erreur.contains(QStringLiteral("fermer cet autre programme, puis relancer viz256-record.\n"))) << s.erreur.toStdString();
    EXPECT_TRUE(s.sortie.startsWith(QStringLiteral("{\"event\": \"device_busy\", \"a\": 0, \"b\": 0}\n"))) << s.sortie.toStdString();
}

// A report a script acts on comes as a line of its own, its reason by name: a counter gap (the
// run stops by itself, every gap counted) without reading the French console.
TEST_F(Record, CounterGapIsAnEventLineOfItsOwn)
{
    rec->fault_counter_jump_at_frame(30000, 500);
    const Sortie s = record({"--no-record", "--channels", "beam_0,counter", "--duration", "2", "--json"});
    rec->fault_counter_jump_at_frame(UINT64_MAX, 0);
    EXPECT_NE(s.code, 0);
    EXPECT_EQ(s.sortie.count(QStringLiteral("{\"event\": \"counter_gap\", \"a\": ")), 1) << s.sortie.toStdString();
    // The initialisation and the frequency are reported alike, before the run.
    const qsizetype pret = s.sortie.indexOf(QStringLiteral("{\"event\": \"device_ready\", \"a\": 0, \"b\": 0}\n"));
    EXPECT_GE(pret, 0) << s.sortie.toStdString();
    EXPECT_GT(s.sortie.indexOf(QStringLiteral("{\"event\": \"frequency_set\", \"a\": 50000, \"b\": 0}\n")), pret) << s.sortie.toStdString();
    EXPECT_TRUE(s.sortie.contains(QStringLiteral("\"counter_gaps\": 1,"))) << s.sortie.toStdString();
    EXPECT_TRUE(s.erreur.contains(QStringLiteral("Erreur sur le compteur paquet"))) << s.erreur.toStdString();
}
