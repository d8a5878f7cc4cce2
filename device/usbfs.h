#pragma once
// Linux caps the memory of in-flight usbfs transfers, for all devices and programs together
// (usbfs_memory_mb, in MiB; 16 by default, 0 for no cap). The ring of transfers needs more than
// the default: this is how much it needs, how to read the cap, and what to tell the operator.
#include <QString>

#include <cstdint>
#include <optional>

namespace usbfs {

constexpr const char *CHEMIN_LIMITE = "/sys/module/usbcore/parameters/usbfs_memory_mb";
// The value packaging/60-viz256.rules sets when the recorder is plugged (a larger cap, or none,
// is left alone): the ring's need with room for other USB devices.
constexpr uint32_t LIMITE_REGLE_MO = 256;

// The cap in MiB; 0 (no cap) when the file is missing or holds no number.
uint32_t lit_limite_mo(const char *chemin = CHEMIN_LIMITE);

// What the kernel charges a transfer of `longueur` bytes: the buffer, its records and, for a
// bulk transfer, its scatter-gather list; the records are counted with a margin.
uint64_t octets_transfert(uint64_t longueur, bool bulk);

// MiB needed by `nb` bulk transfers of `longueur` bytes in flight together with one vendor
// request (the start or stop command sent while they are queued).
uint32_t besoin_mo(int nb, uint64_t longueur);

// No cap, or a cap that holds the need.
bool suffit(uint32_t limite_mo, uint32_t besoin);

// The console text: the cap, the need, and the fix (the udev rule, or the command that raises
// the cap until the next boot).
QString message(uint32_t limite_mo, uint32_t besoin);

// The console text when a transfer of a running acquisition could not go out again: the
// transfers were refused, and the run stops.
QString message_en_cours(uint32_t limite_mo, uint32_t besoin);

// Reads the cap before a ring of `nb` transfers is queued; when they cannot all be in flight,
// the text to alert with (none when they can).
std::optional<QString> verifie(int nb, uint64_t longueur);
// A submission was refused for lack of usbfs memory all the same: the same text, with the cap
// read now (the caller alerts with it; the completion routine writes it with flag 0).
QString message_refus(int nb, uint64_t longueur);

} // namespace usbfs
