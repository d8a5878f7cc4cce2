#include "app/principale.h"
void Principale::fn_callback(libusb_transfer *) {}
void Principale::calcul_count() {}
void Principale::arret() {}
void Principale::button_Start_Click() {}
void Principale::button_Stop_Click() {}
void Principale::button_Abort_Click() {}
void Principale::numericUpDown_Duree_ValueChanged() {}
void Principale::checkBox_Definie_CheckedChanged() {}
