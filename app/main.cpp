// Process entry: one main window, the event loop, exit code 0 (3 when there is no display). Reads no option, variable or file.
// SIGINT, SIGTERM and SIGHUP close the window as the operator would (app/signaux.h).
#include <QApplication>

#include "app/lancement.h"

#include <cstdio>

int main(int argc, char **argv)
{
    // Without a display Qt would end the process on its own (status 134, its plugin list).
    if (!lancement::affichage_present()) {
        std::fputs("viz256: no display found (DISPLAY and WAYLAND_DISPLAY are unset): start it in a graphical session, "
                   "or record with viz256-record\n",
                   stderr);
        return lancement::SANS_AFFICHAGE;
    }
    QApplication app(argc, argv);
    return lancement::fenetre();
}
