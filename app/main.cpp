// Process entry: one main window, the event loop, exit code 0. Reads no option, variable or file.
// SIGINT, SIGTERM and SIGHUP close the window as the operator would (app/signaux.h).
#include <QApplication>

#include "app/lancement.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    return lancement::fenetre();
}
