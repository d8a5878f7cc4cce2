#include "tests/support/emule.h"

#include "device/usbfs.h"

#include <QElapsedTimer>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <cstdio>
#include <sys/resource.h>

std::string en_texte(const emu::Request &r)
{
    char tmp[8];
    std::snprintf(tmp, sizeof tmp, "%02X", r.bRequest);
    std::string s = tmp;
    s += ':';
    for (size_t i = 0; i < r.data.size(); ++i) {
        std::snprintf(tmp, sizeof tmp, i ? " %02X" : "%02X", r.data[i]);
        s += tmp;
    }
    return s;
}

void FenetreEmulee::SetUp()
{
    rec = &emu::Recorder::start();
    rec->set_usbfs_memory_mb(usbfs::LIMITE_REGLE_MO); // a set-up workstation
    Fenetre::SetUp();
    ASSERT_TRUE(dossier.isValid());
}

void FenetreEmulee::TearDown()
{
    Fenetre::TearDown();
}

std::vector<std::string> FenetreEmulee::requetes() const
{
    std::vector<std::string> v;
    for (const emu::Request &r : rec->requests())
        v.push_back(en_texte(r));
    return v;
}

void FenetreEmulee::initialise_ok()
{
    clic(w->button_Init);
    ASSERT_TRUE(console().contains(QStringLiteral("Velmarix 256 détecté `\r\n\r\n"))) << console().toStdString();
    ASSERT_TRUE(alertes.isEmpty()) << alertes.join("|").toStdString();
}

void FenetreEmulee::choisit_frequence(int entree)
{
    QListWidget *l = w->listBox_Freq;
    ASSERT_NE(l, nullptr);
    l->scrollToItem(l->item(entree), QAbstractItemView::PositionAtTop);
    QApplication::processEvents();
    ASSERT_EQ(w->entree_frequence(), entree);
    w->listBox_Freq_Click();
}

void FenetreEmulee::attend(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

DisquePlein::DisquePlein(uint64_t octets, const QString &dossier)
{
    moteur::Moteur::espace_libre_hook = [](const QString &) { return uint64_t(100) << 30; };
    QDir().mkpath(dossier);
    const QByteArray chemin = QFile::encodeName(dossier);
    const QByteArray options = "size=" + QByteArray::number(qulonglong(octets));
    if (::mount("tmpfs", chemin.constData(), "tmpfs", 0, options.constData()) == 0) {
        point = chemin;
        return;
    }
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{};
    getrlimit(RLIMIT_FSIZE, &lim);
    avant_cur = lim.rlim_cur;
    lim.rlim_cur = octets;
    setrlimit(RLIMIT_FSIZE, &lim);
}

DisquePlein::~DisquePlein()
{
    moteur::Moteur::espace_libre_hook = nullptr;
    if (monte()) {
        ::umount2(point.constData(), MNT_DETACH);
        return;
    }
    rlimit lim{};
    getrlimit(RLIMIT_FSIZE, &lim);
    lim.rlim_cur = avant_cur;
    setrlimit(RLIMIT_FSIZE, &lim);
}
