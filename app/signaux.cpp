// Signals that end the program, turned into a close of the window.
#include "app/signaux.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int SIGNAUX[] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t fd_ecriture = -1; // the only thing the handler touches

void gestionnaire(int sig)
{
    const int e = errno;
    const unsigned char octet = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(fd_ecriture, &octet, 1);
    errno = e;
}

} // namespace

ArretParSignal::ArretParSignal(QWidget *f)
    : fenetre(f)
{
    if (::pipe2(tube, O_CLOEXEC | O_NONBLOCK) != 0) {
        tube[0] = tube[1] = -1;
        return;
    }
    fd_ecriture = tube[1];
    veille = new QSocketNotifier(tube[0], QSocketNotifier::Read, this);
    connect(veille, &QSocketNotifier::activated, this, &ArretParSignal::recu);

    struct sigaction sa {};
    sa.sa_handler = gestionnaire;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART; // reads and writes interrupted by the signal go on by themselves
    for (int s : SIGNAUX) {
        struct sigaction avant {};
        if (::sigaction(s, nullptr, &avant) == 0 && avant.sa_handler == SIG_IGN)
            continue;
        ::sigaction(s, &sa, nullptr);
    }
}

ArretParSignal::~ArretParSignal()
{
    if (tube[1] < 0)
        return;
    struct sigaction sa {};
    for (int s : SIGNAUX)
        if (::sigaction(s, nullptr, &sa) == 0 && sa.sa_handler == gestionnaire)
            ::signal(s, SIG_DFL);
    fd_ecriture = -1;
    ::close(tube[0]);
    ::close(tube[1]);
}

void ArretParSignal::recu()
{
    unsigned char octets[64];
    while (::read(tube[0], octets, sizeof octets) > 0) {
    }
    // A box or a dialog waiting for the operator is answered "no" first, so the handler that
    // opened it can go on to the end of the run.
    if (QWidget *m = QApplication::activeModalWidget()) {
        if (auto *d = qobject_cast<QDialog *>(m))
            d->reject();
        else
            m->close();
    }
    if (fenetre)
        fenetre->close();
}
