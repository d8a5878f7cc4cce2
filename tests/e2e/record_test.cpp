// viz256-record's work (tools/record_run.h, all of the program but its main) against the
// emulated recorder: bad usage refused before anything is sent or created, the same files as
// the window's, the signals acting as Stop and Abort, the list of recorders.
#include "tests/support/emule.h"
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
#include <functional>
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

// Runs viz256-record's work in this process, its stdout and stderr caught; once `quand` holds,
// sends this process `sig` (once), which the run's own handler takes.
Sortie record(const QStringList &args, const std::function<bool()> &quand = {}, int sig = SIGINT)
{
    QTemporaryDir d;
    const QByteArray so = QFile::encodeName(d.filePath("out")), se = QFile::encodeName(d.filePath("err"));
    std::fflush(stdout);
    std::fflush(stderr);
    const int avant[2] = {::dup(1), ::dup(2)};
    ::dup2(::open(so.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), 1);
    ::dup2(::open(se.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600), 2);
    std::atomic<bool> fini{false}, envoye{false};
    std::thread guet([&] {
        while (quand && !fini && !envoye) {
            if (quand()) {
                ::kill(::getpid(), sig);
                envoye = true;
            }
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
    EXPECT_TRUE(!quand || envoye) << args.join(' ').toStdString() << ": the signal was never sent";
    s.sortie = QString::fromUtf8(lit(d.filePath("out")));
    s.erreur = QString::fromUtf8(lit(d.filePath("err")));
    return s;
}

} // namespace

class Record : public FenetreEmulee {};

TEST_F(Record, BadUsageGetsOneLineAndStatus2BeforeAnythingIsSentOrCreated)
{
    const QString neuf = chemin("neuf.dat"), ancien = chemin("ancien.dat");
    QFile(chemin("ancien.Vlx")).open(QIODevice::WriteOnly);
    const QStringList avant = QDir(dossier.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
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
        EXPECT_EQ(QDir(dossier.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), avant) << quoi.toStdString();
    }
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
                      [&dat] { return QFileInfo(dat).size() > 0; }); // the writer's first block
    EXPECT_EQ(s.code, 0) << s.erreur.toStdString();
    EXPECT_TRUE(s.sortie.contains(QStringLiteral("{\"state\": \"streaming\", \"frames\": "))) << s.sortie.toStdString();
    EXPECT_TRUE(s.sortie.contains(QRegularExpression(QStringLiteral("\"state\": \"ended\", \"status\": 0, \"started\": true, \"aborted\": false, \"stopped\": true.*\"data_lost\": false"))))
        << s.sortie.toStdString();
    EXPECT_GT(lit(dat).size(), 0); // at least the writer's first block (one transfer of about 100 ms)
    QProcess check;
    check.start(QStringLiteral(VIZ256_RUN), {"check", dat});
    ASSERT_TRUE(check.waitForFinished(60000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAll().toStdString();

    s = record({"--no-record", "--start-trigger", "trig1", "--json"}, [this] { return rec->waiting_for_trigger(); });
    EXPECT_EQ(s.code, 0) << s.erreur.toStdString();
    EXPECT_TRUE(s.sortie.contains(QStringLiteral("\"aborted\": true"))) << s.sortie.toStdString();
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
    EXPECT_TRUE(s.sortie.contains(QStringLiteral("\"counter_gaps\": 1,"))) << s.sortie.toStdString();
    EXPECT_TRUE(s.erreur.contains(QStringLiteral("Erreur sur le compteur paquet"))) << s.erreur.toStdString();
}
