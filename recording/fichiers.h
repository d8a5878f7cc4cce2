#pragma once
// Names of the three files of a recorded run.
#include <QString>

struct NomsCompagnons {
    QString entete; // header record, ".Vlx"
    QString log;    // readable description, ".log"
};

// The header and log names that go with a data file, as the reader finds them again
// (`companion_paths`, recording/companions.h).
NomsCompagnons noms_compagnons(const QString &chemin_donnees);
