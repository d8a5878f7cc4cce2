#pragma once
// The window's process once its QApplication exists: the main window, the signals that close
// it as the operator would (app/signaux.h), and the event loop. Shared by the program's entry
// and by the launcher of the emulated program.
#include <QString>

namespace lancement {

// Shows the window and runs the event loop until it closes; returns the process's status (0).
// With `run_sans_surveillance` (a data file's path) nobody sits at the window: Init, then an
// open-ended recorded run into that file that lasts until the window is closed or the process
// gets SIGINT, SIGTERM or SIGHUP; alert texts go to stderr instead of a box, and the whole
// console is printed on stdout at the end.
int fenetre(const QString &run_sans_surveillance = {});

// Whether the window has a display to go to: a platform chosen by QT_QPA_PLATFORM, or an X or
// Wayland display in the environment.
bool affichage_present();
constexpr int SANS_AFFICHAGE = 3; // the process's status when there is none

} // namespace lancement
