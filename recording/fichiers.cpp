// Names of the three files of a recorded run.
#include "recording/fichiers.h"

#include "recording/companions.h"

#include <QFile>

NomsCompagnons noms_compagnons(const QString &chemin_donnees)
{
    const CompanionPaths p = companion_paths(QFile::encodeName(chemin_donnees).toStdString());
    return {QFile::decodeName(QByteArray::fromStdString(p.header)), QFile::decodeName(QByteArray::fromStdString(p.log))};
}
