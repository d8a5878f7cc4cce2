#pragma once
// viz256-record: one run of a recorder from the command line, without a window. The engine
// (acquisition/moteur.h) does the run; this host reads the options, reports on stderr what the
// window's console shows (alerts included: there is no box) and, with --json, the run's
// progress on stdout once a second and its summary at the end.
//
// SIGINT, SIGTERM and SIGHUP act as the window's Stop button (Abort while the run waits for its
// start trigger): the handler only sets a flag, which the host acts on in the engine's pump, so
// the files are completed as after a Stop and the status is that of the run. A signal ignored
// when the program started (nohup) stays ignored. The handlers are those of the call's time.
#include <QStringList>

namespace record_cli {

// Exit statuses.
enum Statut { PROPRE = 0, PERTES = 1, USAGE_ERRONE = 2, APPAREIL = 3, FICHIER = 4 };

// The arguments after the program's name; returns the exit status: 0 a clean run (or --help,
// --list), 1 a run that finished with data lost, 2 bad usage (one line on stderr, nothing sent
// to a recorder, no file created), 3 the recorder absent, busy or the usbfs limit too low, 4 a
// file or disk error.
int execute(const QStringList &arguments);

} // namespace record_cli
