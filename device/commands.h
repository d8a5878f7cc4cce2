#pragma once
// The recorder's vendor protocol: command codes, request codes and the framing of a command.
//
// Every request is a host-to-device vendor control transfer (bmRequestType 0x40, wValue 0,
// wIndex 0). A framed command with n argument bytes goes out as request 0xB0 + n carrying the
// code byte followed by the n arguments, so the recorder learns the argument count from the
// request itself. The two controller resets 0xC0 and 0xC4 carry no data stage.
#include <array>
#include <cstdint>

namespace cmd {

constexpr uint8_t RESET_MICROS = 0x00; // resets the microphone acquisition logic
constexpr uint8_t HORLOGE = 0x01;      // clock division - 1
constexpr uint8_t START = 0x02;        // start, with the trigger byte
constexpr uint8_t STOP = 0x03;         // stop, with the trigger byte
constexpr uint8_t NB_ECH = 0x04;       // sample count, 4 bytes little-endian, 0 = until stopped
constexpr uint8_t VOIES = 0x05;        // channel activation: 0, group, mask
constexpr uint8_t DELAI = 0x07;        // delay setting
constexpr uint8_t TYPE = 0x09;         // 1 float samples, 0 integer samples

constexpr uint8_t REQ_FRAME = 0xB0;    // framed command base; + number of argument bytes
constexpr uint8_t REQ_RESET_FX3 = 0xC0;
constexpr uint8_t REQ_RESET_PH = 0xC4;

constexpr uint8_t TYPE_REQUETE = 0x40; // host to device, vendor, device recipient

constexpr uint8_t GROUPE_AUX = 0xFF;   // channel activation group of counter, status, analogue
constexpr uint8_t MASQUE_COMPTEUR = 0x80;
constexpr uint8_t MASQUE_STATUS = 0x40;

// Request code of a framed command with nb_arg argument bytes.
constexpr int requete_commande(int nb_arg) { return (REQ_FRAME + nb_arg) & 0xFF; }
// Data-stage length of a framed command with nb_arg argument bytes.
constexpr int longueur_commande(int nb_arg) { return nb_arg + 1; }

// One vendor request as it goes out: its request code and its data stage.
struct Requete {
    uint8_t code = 0;
    std::array<uint8_t, 5> donnees{}; // the command code, then its arguments
    uint8_t longueur = 0;             // bytes of `donnees` sent (0: no data stage)
    bool operator==(const Requete &) const = default;
};

// The recorder's commands, each encoded as the recorder reads it.
Requete reset_micros();                             // 00: resets the microphone acquisition logic
Requete horloge(uint8_t division_moins_un);         // 01: the sampling clock's division - 1
Requete start(uint8_t declenchement);               // 02: start, with its trigger byte
Requete stop(uint8_t declenchement);                // 03: stop, with its trigger byte
Requete nb_echantillons(uint32_t n);                // 04: frames to send, little-endian; 0 = until stopped
Requete voies(uint8_t groupe, uint8_t masque);      // 05: a beam's (0..31) or the auxiliary group's mask
Requete delai(uint8_t reglage);                     // 07: the delay setting
Requete type_echantillons(bool flottant);           // 09: float32 (1) or int32 (0) samples
Requete reset_fx3();                                // C0, no data: the USB controller's reset
Requete reset_ph();                                 // C4, no data: configuration back to power-on values

// The 8 setup bytes of a vendor request as they appear on the wire.
std::array<uint8_t, 8> setup(int request, int length);

// Trigger byte of the start and stop commands.
// source: 0 software, 1 input Trig1, 2 input Trig2.
// condition (external sources only): 0 rising edge, 1 falling edge, 2 high level, 3 low level.
constexpr uint8_t octet_declenchement(int source, int condition)
{
    if (source == 0)
        return 0;
    return static_cast<uint8_t>((source & 0x03) | ((condition & 0x03) << 6));
}

} // namespace cmd
