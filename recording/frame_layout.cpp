#include "recording/frame_layout.h"

#include "recording/header_record.h"

#include <algorithm>

int FrameLayout::mic_index(int channel) const
{
    const auto it = std::lower_bound(mics.begin(), mics.end(), channel);
    return it != mics.end() && *it == channel ? int(it - mics.begin()) : -1;
}

FrameLayout FrameLayout::from_masks(const uint8_t beams[kBeams], uint8_t aux, bool floats, double frequency)
{
    FrameLayout l;
    l.floats = floats;
    l.frequency = frequency;
    l.counter = aux & kAuxCounter;
    l.status = aux & kAuxStatus;
    for (int b = 0; b < kBeams; ++b)
        for (int m = 0; m < 8; ++m)
            if (beams[b] & (1u << m))
                l.mics.push_back(8 * b + m);
    for (int n = 0; n < kAnalog; ++n)
        if (aux & (1u << n))
            l.analog.push_back(n);
    return l;
}

void FrameLayout::masks(uint8_t beams[kBeams], uint8_t &aux) const
{
    std::fill(beams, beams + kBeams, uint8_t(0));
    for (int c : mics)
        if (c >= 0 && c < kMicrophones)
            beams[c / 8] |= uint8_t(1u << (c % 8));
    aux = uint8_t((counter ? kAuxCounter : 0) | (status ? kAuxStatus : 0));
    for (int n : analog)
        if (n >= 0 && n < kAnalog)
            aux |= uint8_t(1u << n);
}

FrameLayout FrameLayout::from_header(const type_header_file &h, bool status)
{
    FrameLayout l;
    l.counter = h.compteurs_actifs[0] != 0;
    for (int b = 0; b < kBeams; ++b)
        for (int m = 0; m < 8; ++m)
            if (h.micros_actifs[b][m])
                l.mics.push_back(8 * b + m);
    l.status = status;
    for (int n = 0; n < kAnalog; ++n)
        if (h.va_actives[0][n])
            l.analog.push_back(n);
    l.floats = h.type_float != 0;
    l.frequency = h.freq;
    return l;
}

bool FrameLayout::valid(std::string *why) const
{
    const auto non = [why](const char *texte) {
        if (why)
            *why = texte;
        return false;
    };
    if (words() == 0)
        return non("a frame of no word");
    for (size_t i = 0; i < mics.size(); ++i) {
        if (mics[i] < 0 || mics[i] >= kMicrophones)
            return non("a microphone channel outside 0..255");
        if (i && mics[i] <= mics[i - 1])
            return non("microphone channels not increasing");
    }
    for (size_t i = 0; i < analog.size(); ++i) {
        if (analog[i] < 0 || analog[i] >= kAnalog)
            return non("an analogue channel outside 0..3");
        if (i && analog[i] <= analog[i - 1])
            return non("analogue channels not increasing");
    }
    if (!(frequency >= 0) || frequency > 1e6)
        return non("a frequency out of range");
    return true;
}
