// What the whole-run benchmarks share (bench_run.cpp): the CPU of every thread of the process,
// the real window driven through a run against the emulated recorder, and the plain write the
// recording is compared with.
#pragma once

#include "app/principale.h"
#include "emulator/recorder.h"

#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>

#include <cmath>
#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace bench {

[[noreturn]] void echec(const std::string &m);
// The test suite's smoke run (bench/run.sh with VIZ256_BENCH_SMOKE): every measurement once
// and short, to show it still runs.
bool fumee();
double maintenant_s();

// ------------------------------------------------------------------ per-thread CPU
struct Fil {
    std::string nom;
    double cpu_s = 0; // user + system
};
// CPU time of every thread of this process (entry 0: the whole process, ended threads included).
std::map<int, Fil> fils();
extern std::set<int> fils_emulateur; // threads present right after the recorder started
// Prints the CPU of each thread between two snapshots over `duree_s` seconds, as a percentage
// of one core, and the sums for the program and the emulator.
void rapporte_cpu(const std::string &prefixe, const std::map<int, Fil> &avant, const std::map<int, Fil> &apres, double duree_s);
long statut_kb(const char *cle);   // a field of /proc/self/status, in kB

// ------------------------------------------------------------------ the window
struct Banc {
    Principale *w = nullptr;
    QStringList alertes;
    QString fichier;
    emu::Recorder *rec = nullptr;

    void ouvre()
    {
        Principale::alert_hook = [this](const QString &t) { alertes << t; };
        Principale::save_dialog_hook = [this]() { return fichier; };
        w = new Principale;
        w->show();
        QApplication::processEvents();
        w->button_Init->click();
        if (!Principale::console_text.contains(QStringLiteral("détecté")) || !alertes.isEmpty())
            echec("Init failed: " + alertes.join('|').toStdString());
    }

    // Entry of the frequency list (0: 50 kHz ... 16: 2 kHz), a fixed duration, 256
    // microphones and the counter (the window's default selection), applied before Start so
    // that Start itself only sends the channels, the data type and the start.
    void regle(int entree, double secondes, bool enregistre)
    {
        QListWidget *l = w->listBox_Freq;
        l->scrollToItem(l->item(entree), QAbstractItemView::PositionAtTop);
        QApplication::processEvents();
        if (w->entree_frequence() != entree)
            echec("cannot choose frequency entry " + std::to_string(entree));
        w->listBox_Freq_Click();
        w->checkBox_Definie->setChecked(true);
        w->numericUpDown_Duree->setValue(secondes);
        if (std::abs(w->numericUpDown_Duree->value() - secondes) > 1e-6)
            echec("duration refused by the window");
        w->calcul_count();
        w->checkBox_Record->setChecked(enregistre);
        w->radioButton_Integer->setChecked(true);
    }

    bool vides() const { return alertes.isEmpty(); }
    void verifie(const char *quoi)
    {
        if (!alertes.isEmpty())
            echec(std::string(quoi) + ": alert " + alertes.join('|').toStdString());
        if (Principale::console_text.contains(QStringLiteral("Manquent")) ||
            Principale::console_text.contains(QStringLiteral("Erreur")))
            echec(std::string(quoi) + ": the run reported an error:\n" + Principale::console_text.right(600).toStdString());
    }
};

// Removes a run's three files.
void efface(const QString &dat);
// A plain sequential write of `octets` bytes in 8 MiB blocks with O_DIRECT from an aligned
// buffer (the page cache where the file system refuses it); seconds taken (file closed).
extern bool reference_directe;
double ecriture_simple(const QString &chemin, uint64_t octets);

// The CPU of the data path's thread and of the data-file writer's over a run that has ended
// (each keeps its own figure), in % of one core: "PREFIX_cpu_datapath_pct", "..._writer_pct".
void rapporte_fils_run(const char *prefixe, Banc &b, double duree_s);

// The live tap through the whole program (bench_run_tap.cpp): `n` reader processes forked
// before anything else starts (they attach once Init has made the tap), then the paced
// recorded run at the peak they follow, into `dossier` (or not recorded when empty).
void lance_lecteurs_tap(int n, double limite_s);
int mesure_tap(Banc &b, const QString &dossier, double secondes);

} // namespace bench
