// Process entry: one main window, the event loop, exit code 0. Reads no option, variable or file.
#include <QApplication>

#include "app/principale.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    Principale fenetre;
    fenetre.show();
    app.exec();
    return 0;
}
