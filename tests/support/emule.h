#pragma once
// Fixture for tests that drive the real window against the emulated recorder.
#include "emulator/recorder.h"
#include "tests/support/fenetre.h"

#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>

#include <QByteArray>
#include <QDir>
#include <QTemporaryDir>

#include <string>
#include <vector>

class FenetreEmulee : public Fenetre {
protected:
    void SetUp() override;
    void TearDown() override;

    // Requests received by the recorder, as "B1:01 09" strings (request, then data bytes).
    std::vector<std::string> requetes() const;
    // Presses Init and expects the recorder to be detected.
    void initialise_ok();
    // Path of a file in the test's own temporary folder.
    QString chemin(const QString &nom) const { return dossier.filePath(nom); }
    // Chooses the frequency-list entry (scrolls it to the top) and clicks it.
    void choisit_frequence(int entree);
    // Runs the pending window events for at least `ms` milliseconds.
    static void attend(int ms);

    emu::Recorder *rec = nullptr;
    QTemporaryDir dossier;
};

std::string en_texte(const emu::Request &r);

// A disk that holds `octets` bytes for every file in the folder `dossier` while the object
// lives: a tmpfs mounted there where this process may mount (root, CAP_SYS_ADMIN), else a
// file-size limit (the header and log could still grow). A run's start finds room all the same.
class DisquePlein {
public:
    DisquePlein(uint64_t octets, const QString &dossier);
    ~DisquePlein();
    bool monte() const { return !point.isEmpty(); }

private:
    QByteArray point;
    uint64_t avant_cur = 0;
};
