// Colour map and live level display.
#include "app/principale.h"

void Principale::init_colorbar() {}
void Principale::affiche_cases(bool) {}
void Principale::passe_niveaux() {}
