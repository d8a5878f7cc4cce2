#pragma once
// Names of the three files of a recorded run.
#include <QString>

struct NomsCompagnons {
    QString entete; // header record, ".Vlx"
    QString log;    // readable description, ".log"
};

// The header and log names that go with a data file: its final ".dat" extension (any case)
// replaced by ".Vlx" and ".log", or those appended when the file name has no ".dat"
// extension. Folder names are never touched, so the three names always differ.
NomsCompagnons noms_compagnons(const QString &chemin_donnees);
