// Initialisation of the recorder: resets, the probe, the delay setting, trigger-mode groups.
#include "app/console_format.h"
#include "app/principale.h"
#include "device/commands.h"
#include "device/usbfs.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QRadioButton>
#include <QSpinBox>
#include <QThread>

#include <libusb.h>

namespace {
constexpr unsigned int TIMEOUT_SONDE_MS = 500;
constexpr uint64_t OCTETS_SONDE = 255 * 8 * 4; // 255 frames of one beam of 8 microphones
} // namespace

void Principale::button_Init_Click()
{
    for (bool &e : enabled)
        e = false;
    enable();
    if (init_USB() == -1 || initialise() == -1) {
        applique_etat_verrouille();
        return;
    }
    applique_etat_repos();
}

int32_t Principale::initialise()
{
    button_Reset_FX3_Click();
    if (!initialisation_FX3)
        return -1;
    QThread::msleep(10);
    button_Reset_PH_Click();
    QThread::msleep(10);
    button_Reset_Micros_Click();
    QThread::msleep(10);
    button_Reset_PH_Click();
    QThread::msleep(10);
    button_Reset_FX3_Click();
    QThread::msleep(10);

    if (const int32_t r = test_boitier(); r != 0) {
        if (r == -1) // -2: the probe's ring could not be queued, and the alert said why
            call_verb(QStringLiteral("Velmarix 256 ne répond pas ! \r\nVérifier l'alimentation !\r\n"), 1);
        return -1;
    }
    test = checkBox_Test && checkBox_Test->isChecked();
    call_verb(QStringLiteral("Velmarix 256 détecté `\r\n\r\n"), 0);
    clock_def = false;
    num_freq = -1;
    count_def = false;
    started = false;
    stopped = false;
    // The files of an earlier choice are abandoned (left empty on disk) and closed.
    ferme_fichiers(false);
    record = checkBox_Record && checkBox_Record->isChecked();
    return 0;
}

// The probe: 255 frames of beam 0 at 50 000 Hz must come back as exactly 8160 bytes.
// -2 when its ring cannot all be in flight under the usbfs cap (the alert has been shown).
int32_t Principale::test_boitier()
{
    if (!usbfs::verifie(NB_SLOTS, TAILLE_PAQUET))
        return -2;
    compteur = false;
    record = false;

    buf[0] = cmd::HORLOGE;
    buf[1] = 9;
    commande(1);
    buf[0] = cmd::NB_ECH;
    buf[1] = 0xFF;
    buf[2] = 0;
    buf[3] = 0;
    buf[4] = 0;
    commande(4);
    buf[0] = cmd::VOIES;
    buf[1] = 0;
    buf[2] = 0;
    buf[3] = 0xFF;
    commande(3);
    buf[3] = 0;
    for (int b = 1; b < 32; ++b) {
        buf[2] = static_cast<unsigned char>(b);
        commande(3);
    }
    buf[2] = cmd::GROUPE_AUX;
    commande(3);

    bool ok = anneau.prepare(handle, TIMEOUT_SONDE_MS, parametres_anneau(true));
    bool refus = false; // a submission refused for lack of usbfs memory: no start, no probe
    if (ok) {
        refus = anneau.soumet() == LIBUSB_ERROR_NO_MEM;
        if (refus) {
            anneau.annule_tout(false);
        } else {
            buf[0] = cmd::START;
            buf[1] = 0;
            commande(1);
            while (anneau.en_vol > 0) {
                QThread::msleep(1);
                if (Anneau::service(100) != 0)
                    break;
            }
        }
        anneau.vidange(TimeOut);
        anneau.libere();
    }

    compteur = true;
    record = checkBox_Record && checkBox_Record->isChecked();
    if (refus) {
        usbfs::alerte_refus(NB_SLOTS, TAILLE_PAQUET);
        return -2;
    }
    if (!ok || anneau.err_timeout || anneau.ntr != OCTETS_SONDE)
        return -1;
    return 0;
}

int32_t Principale::reset_micros()
{
    if (!initialisation_FX3)
        init_USB();
    if (!initialisation_FX3)
        return -1;
    buf[0] = cmd::RESET_MICROS;
    if (test)
        call_verb(QStringLiteral("\r\nReset B0\r\n"), 0);
    const int r = commande(0);
    initialisation = true;
    clock_def = false;
    count_def = false;
    started = false;
    return r == 1 ? 0 : -1;
}

// The two controller resets: open the link if needed, then one request without data.
void Principale::envoie_reset(int requete, const QString &message)
{
    if (!initialisation_FX3)
        init_USB();
    if (!initialisation_FX3)
        return;
    write_command(handle, requete, buf, 0);
    if (test)
        call_verb(message, 0);
}

void Principale::button_Reset_FX3_Click()
{
    envoie_reset(cmd::REQ_RESET_FX3, QStringLiteral("Reset FX3\r\n"));
}

void Principale::button_Reset_PH_Click()
{
    envoie_reset(cmd::REQ_RESET_PH, QStringLiteral("Reset Pseudo Hard (C4)\r\n"));
}

void Principale::button_Reset_Micros_Click()
{
    if (!initialisation_FX3)
        return;
    reset_micros();
}

void Principale::numericUpDown_Delay_ValueChanged()
{
    if (!handle)
        return; // nothing to configure before the link is open
    buf[0] = cmd::DELAI;
    if (test) {
        const int v = numericUpDown_Delay ? numericUpDown_Delay->value() : 0;
        buf[1] = static_cast<unsigned char>(v);
        call_verb(QStringLiteral("N_DELAY : %1  \r\n").arg(fmt_G(int64_t(v))), 0);
    } else {
        buf[1] = static_cast<unsigned char>(DELAY[entree_frequence()]);
    }
    commande(1);
}

void Principale::radioButton_Start_Soft_CheckedChanged()
{
    if (groupBox_Start_Trig_Mode && radioButton_Start_Soft)
        groupBox_Start_Trig_Mode->setVisible(!radioButton_Start_Soft->isChecked());
}

void Principale::radioButton_Stop_Soft_CheckedChanged()
{
    if (groupBox_Stop_Trig_Mode && radioButton_Stop_Soft)
        groupBox_Stop_Trig_Mode->setVisible(!radioButton_Stop_Soft->isChecked());
}
