// The program ended from outside during a recorded run: killed outright, or asked to end by a
// signal. The real program runs in a child process (viz256-emulated, unattended) against its
// own emulated recorder, recording an open-ended run at 50 kHz x 257 words in real time.
#include "app/signaux.h"
#include "recording/header_record.h"
#include "recording/log_text.h"
#include "tests/support/emule.h"

#include <QDialog>
#include <QDir>
#include <QTimer>

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <vector>

namespace {

constexpr int NB_VOIES = 257; // the window's default selection: 256 microphones and the counter
constexpr qint64 TRAME = NB_VOIES * 4;

QByteArray lit(const QString &chemin)
{
    QFile f(chemin);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The program in a child process, with a temporary folder of its own. With `dat`, it records
// into that file from the start; with `nohup`, it starts with SIGHUP ignored.
class Programme {
public:
    explicit Programme(const QString &dat, bool nohup = false)
    {
        if (nohup)
            p.setChildProcessModifier([] { ::signal(SIGHUP, SIG_IGN); });
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("fr_FR.UTF-8")); // the log's decimal comma
        env.remove(QStringLiteral("UMOCKDEV_DIR"));                          // the child makes its own testbed
        env.insert(QStringLiteral("TMPDIR"), tmp.path());
        if (!dat.isEmpty())
            env.insert(QStringLiteral("VIZ256_EMU_RUN"), dat);
        p.setProcessEnvironment(env);
        lance = QDateTime::currentDateTime();
        p.start(QStringLiteral(VIZ256_LANCEUR_EMULE), {});
        EXPECT_TRUE(p.waitForStarted(30000)) << p.errorString().toStdString();
    }
    ~Programme()
    {
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
    // The program has its signal handlers in place.
    bool attrape(int sig) const
    {
        const QByteArray s = lit(QStringLiteral("/proc/%1/status").arg(p.processId()));
        const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("SigCgt:\\s*([0-9a-f]+)")).match(QString::fromLatin1(s));
        return m.hasMatch() && (m.captured(1).toULongLong(nullptr, 16) >> (sig - 1) & 1);
    }
    // Never kill(0, ...): a process that has ended has no id, and 0 would be this whole group.
    void envoie(int sig)
    {
        if (p.processId() > 0)
            ::kill(pid_t(p.processId()), sig);
    }
    // Once it has ended: its umockdev testbeds still there after the watcher that removes
    // them has had 10 s to do it.
    QStringList bancs() const
    {
        QElapsedTimer t;
        t.start();
        QStringList v;
        for (;;) {
            v = QDir(tmp.path()).entryList({QStringLiteral("umockdev.*")}, QDir::AllEntries | QDir::Hidden);
            if (v.isEmpty() || t.elapsed() > 10000)
                return v;
            QThread::msleep(20);
        }
    }
    bool termine(int ms) { return p.waitForFinished(ms); }
    QString sortie() { return QString::fromLocal8Bit(p.readAllStandardOutput()); }
    QString erreurs() { return QString::fromLocal8Bit(p.readAllStandardError()); }

    QTemporaryDir tmp;
    QProcess p;
    QDateTime lance;
};

struct Releve {
    qint64 ms;
    qint64 taille;
};

// Watches the data file grow until it has streamed for `duree_ms`; the sizes seen, in order.
std::vector<Releve> enregistre_pendant(Programme &prog, const QString &dat, qint64 duree_ms)
{
    std::vector<Releve> v;
    QElapsedTimer t;
    t.start();
    qint64 debut = -1;
    while (t.elapsed() < 90000 && prog.p.state() == QProcess::Running) {
        const qint64 taille = QFileInfo(dat).size();
        v.push_back({t.elapsed(), taille});
        if (taille > 0 && debut < 0)
            debut = t.elapsed();
        if (debut >= 0 && t.elapsed() - debut >= duree_ms)
            return v;
        QThread::msleep(20);
    }
    ADD_FAILURE() << "the run did not stream: " << prog.erreurs().toStdString();
    return v;
}

// The three files of the run, the header and log parsed; checks that hold however it ended.
struct Fichiers {
    qint64 taille_dat = 0;
    type_header_file h;
    QByteArray log;
};

Fichiers verifie_fichiers(const QString &base, const Programme &prog)
{
    Fichiers f;
    f.taille_dat = QFileInfo(base + QStringLiteral(".dat")).size();
    const QByteArray vlx = lit(base + QStringLiteral(".Vlx"));
    f.log = lit(base + QStringLiteral(".log"));
    EXPECT_EQ(vlx.size(), TAILLE_HEADER);
    if (vlx.size() != TAILLE_HEADER)
        return f;
    std::array<uint8_t, TAILLE_HEADER> b{};
    std::memcpy(b.data(), vlx.constData(), TAILLE_HEADER);
    f.h = deserialise(b);

    // The run's configuration: every microphone of beams 0-31, the counter, 50 kHz, integers,
    // started between the launch and now.
    const type_header_file &h = f.h;
    for (int b = 0; b < 128; ++b)
        for (int m = 0; m < 8; ++m)
            EXPECT_EQ(h.micros_actifs[b][m], b < 32 ? 1 : 0) << "beam " << b << " microphone " << m;
    EXPECT_EQ(h.compteurs_actifs[0], 1);
    EXPECT_EQ(h.freq, 50000.0f);
    EXPECT_EQ(h.type_float, 0);
    const SystemTime &d = h.date_heure;
    const QDateTime debut(QDate(d.wYear, d.wMonth, d.wDay), QTime(d.wHour, d.wMinute, d.wSecond, d.wMilliseconds));
    EXPECT_GE(debut.msecsTo(QDateTime::currentDateTime()), 0);
    EXPECT_GE(prog.lance.msecsTo(debut), -1000);

    // Whole frames only, and the log says what the header says.
    EXPECT_LE(qint64(h.nb_ech) * TRAME, f.taille_dat);
    EXPECT_EQ(h.duree_acquise, float(h.nb_ech) / 50000.0f);
    EXPECT_EQ(f.log, texte_log(h, NB_VOIES, 256, std::nullopt)) << "log and header disagree";
    return f;
}

} // namespace

// SIGKILL cannot be caught: what is on disk then is what the run keeps.
TEST(FinDeProgramme, KilledWhileRecordingLeavesADescriptionOfWhatTheDataFileHolds)
{
    QTemporaryDir dossier;
    ASSERT_TRUE(dossier.isValid());
    const QString base = dossier.filePath(QStringLiteral("essai"));
    Programme prog(base + QStringLiteral(".dat"));
    const std::vector<Releve> releves = enregistre_pendant(prog, base + QStringLiteral(".dat"), 2500);
    ASSERT_FALSE(releves.empty());
    const qint64 tue_ms = releves.back().ms;
    prog.envoie(SIGKILL);
    ASSERT_TRUE(prog.termine(10000));
    EXPECT_EQ(prog.p.exitStatus(), QProcess::CrashExit);
    EXPECT_EQ(prog.bancs(), QStringList()) << "the emulator's testbed outlives the program";

    const Fichiers f = verifie_fichiers(base, prog);
    // At least every frame the data file held one second before the kill is described.
    qint64 une_seconde_avant = 0;
    for (const Releve &r : releves)
        if (r.ms <= tue_ms - 1000)
            une_seconde_avant = r.taille;
    EXPECT_GT(une_seconde_avant, 0);
    EXPECT_GE(qint64(f.h.nb_ech), une_seconde_avant / TRAME) << "the description on disk is more than a second old";
}

// SIGTERM, SIGINT and SIGHUP end the program as closing its window does: the run stops, the
// files are those of a Stop, the exit status is 0. Idle, the window just closes.
TEST(FinDeProgramme, SignalsEndTheProgramLikeClosingItsWindow)
{
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        QTemporaryDir dossier;
        ASSERT_TRUE(dossier.isValid());
        const QString base = dossier.filePath(QStringLiteral("essai"));
        Programme prog(base + QStringLiteral(".dat"));
        enregistre_pendant(prog, base + QStringLiteral(".dat"), 1500);
        prog.envoie(sig);
        ASSERT_TRUE(prog.termine(30000)) << "still running after the signal";
        EXPECT_EQ(prog.p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(prog.p.exitCode(), 0) << prog.erreurs().toStdString();
        EXPECT_EQ(prog.bancs(), QStringList());

        const Fichiers f = verifie_fichiers(base, prog);
        EXPECT_EQ(qint64(f.h.nb_ech), f.taille_dat / TRAME) << "not every whole frame is described";
        EXPECT_GT(f.h.nb_ech, 50000u);
        // The console's account is the header's.
        const QString console = prog.sortie();
        EXPECT_TRUE(console.contains(QStringLiteral(" soit %1 échantillons\r\n").arg(QLocale().toString(qulonglong(f.h.nb_ech)))))
            << console.toStdString();
    }

    // Idle and started under nohup: SIGHUP stays ignored. A logout's SIGTERM, then SIGINTs in
    // quick succession: the program still ends with status 0, its teardown done.
    Programme repos({}, true);
    QElapsedTimer t;
    t.start();
    while (!repos.attrape(SIGTERM) && t.elapsed() < 30000)
        QThread::msleep(20);
    EXPECT_FALSE(repos.attrape(SIGHUP));
    repos.envoie(SIGHUP);
    EXPECT_FALSE(repos.termine(500)) << "SIGHUP, ignored at start, ended the program";
    repos.envoie(SIGTERM);
    for (t.restart(); repos.p.state() != QProcess::NotRunning && t.elapsed() < 30000; repos.termine(2))
        repos.envoie(SIGINT);
    EXPECT_EQ(repos.p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(repos.p.exitCode(), 0);
    EXPECT_EQ(repos.bancs(), QStringList());
}

// A signal while a dialog is open (the save dialog that Start opens when no file was chosen,
// then the alert box "Pas de fichier choisi") still ends the program's event loop.
TEST_F(FenetreEmulee, ASignalEndsTheProgramWhateverDialogIsOpen)
{
    initialise_ok();
    ArretParSignal signaux(w.get());
    Principale::alert_hook = nullptr; // the real box
    Principale::save_dialog_hook = [] {
        QDialog dialogue; // in place of the save dialog
        QTimer::singleShot(100, [] { ::raise(SIGTERM); });
        dialogue.exec();
        return QString();
    };
    w->checkBox_Record->setChecked(true);
    QTimer::singleShot(0, w->button_Start, &QPushButton::click);
    QTimer garde;
    QObject::connect(&garde, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    garde.start(15000);
    EXPECT_EQ(QApplication::exec(), 0) << "the program lives on after its window closed";
    EXPECT_FALSE(w->isVisible());
}
