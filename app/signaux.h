#pragma once
// SIGINT (Ctrl+C in the terminal), SIGTERM (logout, shutdown, kill) and SIGHUP (the terminal
// closed) end the program the way closing its window does: a run is stopped, or abandoned
// while it waits for its trigger, and its files are written before the window closes; the
// program then exits with status 0. A signal ignored when the program started (nohup) stays
// ignored.
//
// The handler only writes the signal's number to a pipe; the pipe is watched on the window's
// thread, where the window is asked to close; once it has closed, the program ends even when
// a handler still has a dialog or a box to show. The handler stays in place until the process
// ends. One instance per process.
#include <QObject>
#include <QPointer>
#include <QWidget>

class QSocketNotifier;

class ArretParSignal : public QObject {
public:
    explicit ArretParSignal(QWidget *fenetre);
    ~ArretParSignal() override;

protected:
    bool eventFilter(QObject *objet, QEvent *e) override;

private:
    void recu();

    bool signal_recu = false;
    QPointer<QWidget> fenetre;
    QSocketNotifier *veille = nullptr;
    int tube[2] = {-1, -1};
};
