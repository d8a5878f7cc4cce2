#pragma once
// The three files of a recorded run against what the run counted: the data file holds the
// bytes written, the header and the log count its whole frames, the log ends with the comment.
#include <QString>

#include <cstdint>
#include <optional>

struct CompteRun {
    uint64_t ecrits = 0;  // bytes the run wrote to the data file
    uint64_t recus = 0;   // bytes it received
    int32_t nb_voies = 0;
    std::optional<QString> commentaire;
    bool tout_ecrit = true; // every byte received was written
};

void verifie_fichiers_run(const QString &dat, const CompteRun &c);
