// Selection grid and its click rules.
#include "app/principale.h"

void Principale::creation_cases() {}
void Principale::creation_cases_VA() {}
void Principale::micro_valide(int, int) {}
void Principale::faisceaux_valide(int) {}
void Principale::blocs_valide(int) {}
void Principale::tout_valide() {}
void Principale::choix_micros() {}
