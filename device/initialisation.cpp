#include "app/principale.h"
void Principale::button_Init_Click() {}
int32_t Principale::initialise() { return -1; }
int32_t Principale::test_boitier() { return -1; }
int32_t Principale::reset_micros() { return -1; }
void Principale::button_Reset_FX3_Click() {}
void Principale::button_Reset_PH_Click() {}
void Principale::button_Reset_Micros_Click() {}
void Principale::numericUpDown_Delay_ValueChanged() {}
void Principale::radioButton_Start_Soft_CheckedChanged() {}
void Principale::radioButton_Stop_Soft_CheckedChanged() {}
void Principale::listBox_Freq_Click() {}
