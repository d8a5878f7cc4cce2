#pragma once
// What one frame of a run holds, the one description of it for the engine, the files, the
// live tap, the readers and the emulated recorder: the counter word first (when recorded), the
// selected microphones in channel order (channel = 8 x beam + microphone), the status word
// (when recorded), the selected analogue channels in order. Every word is 32 bits,
// little-endian; microphone and analogue samples are int32 or float32 (the counter and the
// status word are always integers).
#include <cstdint>
#include <string>
#include <vector>

struct type_header_file;

struct FrameLayout {
    static constexpr int kMicrophones = 256;
    static constexpr int kBeams = 32;
    static constexpr int kAnalog = 4;
    // The auxiliary activation mask: the counter, the status word, analogue channels 0..3.
    static constexpr uint8_t kAuxCounter = 0x80;
    static constexpr uint8_t kAuxStatus = 0x40;

    bool counter = false;
    std::vector<int> mics;   // microphone channels, increasing, 0..255
    bool status = false;
    std::vector<int> analog; // analogue channels, increasing, 0..3
    bool floats = false;     // samples as float32, else int32
    double frequency = 0;    // frames per second (0: not known)

    int words() const { return int(counter) + int(mics.size()) + int(status) + int(analog.size()); }
    uint32_t frame_bytes() const { return uint32_t(words()) * 4u; }
    int mic_word(int i) const { return int(counter) + i; }    // word of the i-th microphone
    int status_word() const { return status ? int(counter) + int(mics.size()) : -1; }
    int analog_word(int i) const { return int(counter) + int(mics.size()) + int(status) + i; }
    // Index in `mics` of microphone channel c, -1 when it is not recorded.
    int mic_index(int channel) const;

    // From the recorder's activation masks (32 beam masks, bit m = microphone m; the aux mask).
    static FrameLayout from_masks(const uint8_t beams[kBeams], uint8_t aux, bool floats, double frequency = 0);
    void masks(uint8_t beams[kBeams], uint8_t &aux) const;
    // From a header record's flags; the header does not say whether the status word was
    // recorded: the caller knows it (the log, or the data file's size).
    static FrameLayout from_header(const type_header_file &h, bool status);

    // Whether it can be a frame of this recorder (channels in range, increasing, at least one
    // word); why not otherwise.
    bool valid(std::string *why = nullptr) const;

    bool operator==(const FrameLayout &) const = default;
};
