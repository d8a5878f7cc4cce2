#pragma once
// Fixture for tests that drive the real window against the emulated recorder.
#include "emulator/recorder.h"
#include "tests/support/fenetre.h"

#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>

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

// The disk is full past `octets` for this process (a file-size limit) while the object lives.
class DisquePlein {
public:
    explicit DisquePlein(uint64_t octets);
    ~DisquePlein();

private:
    uint64_t avant_cur = 0;
};
