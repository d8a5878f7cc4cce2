// Signals that end the program, turned into a close of the window.
#include "app/signaux.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
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
    // Once the window has gone, the program is ending: the signal changes nothing.
    if (fd_ecriture < 0)
        return;
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
    if (fenetre)
        fenetre->installEventFilter(this);
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

// The handler stays in place to the very end: a second signal (a logout sends SIGTERM, then
// SIGINT or SIGHUP) that came after this object but before the window's teardown would end
// the process at once, the recorder neither reset nor released. The pipe stays open too, so
// the handler never writes to a descriptor that has been closed and reused.
ArretParSignal::~ArretParSignal()
{
    fd_ecriture = -1;
    if (fenetre)
        fenetre->removeEventFilter(this);
}

// Once a signal has closed the window, the program ends whatever dialog or box a handler
// opens next: every event loop, the nested ones and the main one, ends at once.
bool ArretParSignal::eventFilter(QObject *objet, QEvent *e)
{
    if (signal_recu && objet == fenetre && e->type() == QEvent::Hide)
        QCoreApplication::exit(0);
    return false;
}

void ArretParSignal::recu()
{
    unsigned char octets[64];
    while (::read(tube[0], octets, sizeof octets) > 0) {
    }
    signal_recu = true;
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
    if (!fenetre || !fenetre->isVisible())
        QCoreApplication::exit(0);
}
