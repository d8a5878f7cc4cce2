// The program ended from outside during a recorded run: killed outright, or asked to end by a
// signal. The real program runs in a child process (viz256-emulated, unattended) against its
// own emulated recorder, recording an open-ended run at 50 kHz x 257 words in real time.
#include "app/principale.h"
#include "app/signaux.h"
#include "device/usbfs.h"
#include "emulator/recorder.h"
#include "recording/header_record.h"
#include "recording/log_text.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QPushButton>
#include <QTimer>

#include <QByteArray>
#include <QStringList>
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

// Some cases need the program's real save dialog and alert box, which the unattended launcher
// answers itself: this test binary then runs as the program, as app/main.cpp does, with an
// emulated recorder of its own. Init, "Enregistrement" ticked and no file chosen, Start: the
// save dialog opens, and "dialogue" is said on stdout.
int programme_avec_dialogues()
{
    emu::Options o;
    o.paced = true;
    o.usbfs_memory_mb = usbfs::LIMITE_REGLE_MO;
    emu::Recorder::start(o);
    int argc = 1;
    char nom[] = "viz256";
    char *argv[] = {nom, nullptr};
    QApplication app(argc, argv);
    Principale fenetre;
    ArretParSignal signaux(&fenetre);
    fenetre.show();
    QTimer::singleShot(0, &fenetre, [&fenetre] {
        fenetre.button_Init->click();
        fenetre.checkBox_Record->setChecked(true);
        fenetre.button_Start->click();
    });
    QTimer guet;
    QObject::connect(&guet, &QTimer::timeout, [&guet] {
        if (qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            std::puts("dialogue");
            std::fflush(stdout);
            guet.stop();
        }
    });
    guet.start(50);
    app.exec();
    return 0;
}
[[maybe_unused]] const bool enfant = std::getenv("VIZ256_PROGRAMME_ENFANT") && (std::exit(programme_avec_dialogues()), true);

constexpr int NB_VOIES = 257; // the window's default selection: 256 microphones and the counter
constexpr qint64 TRAME = NB_VOIES * 4;

QByteArray lit(const QString &chemin)
{
    QFile f(chemin);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The program in a child process, its temporary folder its own. With `dat`, it records into
// that file from the start; with `sighup_ignore`, it starts with SIGHUP ignored (as under nohup).
// `programme` is the launcher, or this binary as the program with its dialogs.
class Programme {
public:
    explicit Programme(const QString &dat, bool sighup_ignore = false, const QString &programme = QStringLiteral(VIZ256_LANCEUR_EMULE))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("fr_FR.UTF-8")); // the log's decimal comma
        env.remove(QStringLiteral("UMOCKDEV_DIR"));                          // the child makes its own testbed
        env.insert(QStringLiteral("TMPDIR"), tmp.path());
        if (!dat.isEmpty())
            env.insert(QStringLiteral("VIZ256_EMU_RUN"), dat);
        if (programme != QStringLiteral(VIZ256_LANCEUR_EMULE))
            env.insert(QStringLiteral("VIZ256_PROGRAMME_ENFANT"), QStringLiteral("1"));
        p.setProcessEnvironment(env);
        if (sighup_ignore)
            p.setChildProcessModifier([] { ::signal(SIGHUP, SIG_IGN); });
        lance = QDateTime::currentDateTime();
        p.start(programme, {});
        EXPECT_TRUE(p.waitForStarted(30000)) << p.errorString().toStdString();
    }
    // Once the program has ended: a umockdev testbed still in its temporary folder after `ms`.
    QStringList bancs_restants(int ms) const
    {
        QElapsedTimer t;
        t.start();
        QStringList l;
        do {
            l = QDir(tmp.path()).entryList({QStringLiteral("umockdev.*")}, QDir::AllEntries | QDir::Hidden);
            if (l.isEmpty())
                break;
            QThread::msleep(50);
        } while (t.elapsed() < ms);
        return l;
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
        if (const qint64 pid = p.processId(); pid > 0)
            ::kill(pid_t(pid), sig);
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
    EXPECT_EQ(prog.bancs_restants(5000), QStringList()) << "the emulator's testbed outlives the program";

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
        EXPECT_EQ(prog.bancs_restants(5000), QStringList());

        const Fichiers f = verifie_fichiers(base, prog);
        EXPECT_EQ(qint64(f.h.nb_ech), f.taille_dat / TRAME) << "not every whole frame is described";
        EXPECT_GT(f.h.nb_ech, 50000u);
        // The console's account is the header's.
        const QString console = prog.sortie();
        EXPECT_TRUE(console.contains(QStringLiteral(" soit %1 échantillons\r\n").arg(QLocale().toString(qulonglong(f.h.nb_ech)))))
            << console.toStdString();
    }

    // Idle, started under nohup: SIGHUP stays ignored. Then a logout's SIGTERM followed by
    // SIGINTs in quick succession: the handler stays until the end, so the program still ends
    // with status 0, its teardown (recorder reset and release) done.
    Programme repos({}, true);
    QElapsedTimer t;
    t.start();
    while (!repos.attrape(SIGTERM) && t.elapsed() < 30000)
        QThread::msleep(20);
    EXPECT_FALSE(repos.attrape(SIGHUP));
    repos.envoie(SIGHUP);
    EXPECT_FALSE(repos.termine(500)) << "SIGHUP, ignored at start, ended the program";
    repos.envoie(SIGTERM);
    for (t.restart(); repos.p.state() != QProcess::NotRunning && t.elapsed() < 30000;) {
        repos.envoie(SIGINT);
        repos.termine(2);
    }
    ASSERT_EQ(repos.p.state(), QProcess::NotRunning);
    EXPECT_EQ(repos.p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(repos.p.exitCode(), 0);
    EXPECT_EQ(repos.bancs_restants(5000), QStringList());
}

// A signal while a dialog of the program is open (the save dialog that Start opens when no file
// was chosen, then the alert "Pas de fichier choisi") still ends the program, with status 0.
TEST(FinDeProgramme, ASignalEndsTheProgramWhateverDialogIsOpen)
{
    for (const int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(sig));
        Programme prog({}, false, QCoreApplication::applicationFilePath());
        QElapsedTimer t;
        t.start();
        QByteArray sortie;
        while (!sortie.contains("dialogue") && t.elapsed() < 30000 && prog.p.state() == QProcess::Running) {
            prog.p.waitForReadyRead(100);
            sortie += prog.p.readAllStandardOutput();
        }
        ASSERT_TRUE(sortie.contains("dialogue")) << prog.erreurs().toStdString();
        prog.envoie(sig);
        ASSERT_TRUE(prog.termine(15000)) << "the program lives on after its window closed";
        EXPECT_EQ(prog.p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(prog.p.exitCode(), 0);
    }
}
