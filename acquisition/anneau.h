#pragma once
// The ring of eight bulk transfers on endpoint 0x81, shared by the device probe and every run.
// Each slot owns a transfer record and an 8 MiB buffer; the transfer's user data is its slot
// index. The completion routine is Principale::fn_callback.
struct libusb_device_handle;

namespace anneau {

// Allocates and fills the eight transfers (bulk IN 0x81, time-out in ms). False, with every
// allocation undone, when memory is short.
bool prepare(libusb_device_handle *handle, unsigned int timeout_ms);
// Resets the ring's counters and submits slots 0 to 7 in order. A failed submission is
// reported and leaves its slot finished. Returns libusb's result of the first failed
// submission, 0 when all went out.
int soumet();
// One bounded wait for USB events (completions run inside it). Returns libusb's result.
int service(int timeout_ms);
// Services events until every submitted transfer has come back. When event handling fails,
// or a transfer stays out long after being cancelled again, the transfers still out are left
// to the library, which frees each of them (and its buffer) when it comes back.
enum class Vidange { complete, echec_usb, delai_depasse };
Vidange vidange();
// Frees the records and buffers of the slots whose transfers have come back.
void libere();
// Cancels every slot that is not finished yet.
void annule_tout(bool verbeux);
// True when every slot is finished.
bool tous_finis();

} // namespace anneau

namespace anneau {
// The recorder ended the stream with a short transfer during this use of the ring.
bool flux_termine();
// A transfer came back with "no device": the recorder left the bus.
bool appareil_perdu();
// The system's error number of the data-file write that failed in this use of the ring, 0
// when none did.
int echec_ecriture();
} // namespace anneau
