// File choice, comment, header and log files.
#include "app/principale.h"

std::array<uint8_t, TAILLE_HEADER> serialise(const type_header_file &) { return {}; }
type_header_file deserialise(const std::array<uint8_t, TAILLE_HEADER> &) { return {}; }

void Principale::ecrit_log() {}
bool Principale::ouvre_fichiers(const QString &) { return false; }
void Principale::ferme_fichiers(bool) {}
void Principale::button_Fichier_Click() {}
void Principale::button_Comment_Click() {}
void Principale::checkBox_Record_CheckedChanged() {}
