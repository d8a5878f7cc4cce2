// A scene for the emulated recorder: sound sources in front of an array of known geometry, heard
// by every microphone in free field, plus faults of single microphones. Chosen with
// VIZ256_EMU_SCENE=FILE (viz256-emulated also takes --scene FILE); without one the recorder's
// signals are its built-in ones (frames.h).
//
// The file is JSON:
//   {"geometry": "array.xml", "speed_of_sound": 343.0, "noise_db": -60,
//    "sources": [{"x": 0.1, "y": -0.2, "z": 1.0, "signal": "noise", "band": [1000, 8000], "level_db": -20},
//                {"x": -0.3, "y": 0.1, "z": 1.0, "signal": "tone", "freq": 2000, "level_db": -26}],
//    "faults": [{"channel": 37, "kind": "dead"}, {"channel": 90, "kind": "clipped"},
//               {"channel": 151, "kind": "reversed"}, {"channel": 200, "kind": "noisy"}]}
// geometry: the MicArray XML layout, relative to the scene file's folder; microphone channel c is
// its (c+1)-th position, channels past its last position are not connected (digital zero). A
// layout of more than 256 positions covers several recorders: recorder i (port 1-(i+1)) hears
// positions 256 i + 1 to 256 i + 256 on its channels 0 to 255, and a fault's channel is the
// layout's (256 i + c). Several recorders play the scene on their shared clock, so runs started
// by one trigger hold the same instant of it.
// Positions in metres. Levels in dB re full scale (2^31 counts; float samples carry the same
// values as floats): a source's level is its RMS at 1 m, noise_db the RMS of the independent
// noise of each microphone. speed_of_sound defaults to 343 m/s, noise_db to -60, both lists to
// empty.
//
// Synthesis. Per sampling frequency fs, each microphone's sum of sources is one period of P = 2^16
// samples of a band-limited periodic signal, built in the frequency domain: source s has the
// spectrum S_s[k] (a flat band with random phases, or one bin for a tone: its frequency is the
// nearest multiple of fs / P), and microphone m hears sum_s S_s[k] exp(-2 pi j k fs r_ms / (c P)) / r_ms.
// For a periodic band-limited signal the phase ramp is an exact delay by r/c, whatever its
// fraction of a sample. Components at or above fs / 2 are not recorded (the recorder's
// anti-aliasing filter). The independent noise is a counter-based hash of (frame, channel),
// so it never repeats. Both are read by the absolute frame index: packets and successive runs
// at one frequency join without a seam.
//
// Faults change only their microphone: dead = digital zero; reversed = its output negated;
// clipped = amplified to an RMS of -1 dB re full scale, then clipped at full scale; noisy =
// independent noise 20 dB above its normal level added (at most -16 dB re full scale, so that it
// never clips: with louder sources it stands out less).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace emu {

struct SceneError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct SceneSource {
    double x = 0, y = 0, z = 0;
    bool tone = false;
    double f1 = 0, f2 = 0;     // noise: the band, Hz
    double freq = 0;           // tone, Hz
    double level_db = 0;
};

enum class FaultKind { Dead, Clipped, Reversed, Noisy };

struct SceneFault {
    int channel = 0;
    FaultKind kind = FaultKind::Dead;
};

class SceneSignals;

class Scene {
public:
    static constexpr int kChannels = 256;        // of one recorder
    static constexpr int kMaxPositions = 16 * kChannels;
    static constexpr double kFullScale = 2147483648.0;

    // Reads a scene file; throws SceneError "FILE: what is wrong" (with the line for bad JSON).
    static std::shared_ptr<const Scene> load(const std::string &path);

    std::string path;
    std::vector<double> mic_x, mic_y, mic_z;   // the connected microphones, in the layout's order
    double speed_of_sound = 343.0;
    double noise_db = -60.0;
    std::vector<SceneSource> sources;
    std::vector<SceneFault> faults;

    // The signals of one recorder at one sampling frequency, built on first use (a fraction of a
    // second) and kept for the two frequencies used last. Thread-safe.
    std::shared_ptr<const SceneSignals> at_rate(double fs, int recorder = 0) const;

private:
    mutable std::mutex mu_;
    mutable std::vector<std::pair<std::pair<double, int>, std::shared_ptr<const SceneSignals>>> cache_;
};

class SceneSignals {
public:
    static constexpr int kPeriodLog2 = 16;
    static constexpr uint64_t kPeriod = uint64_t(1) << kPeriodLog2;

    SceneSignals(const Scene &scene, double fs, int recorder = 0);

    // The value of microphone channel c at absolute frame n, in counts (before conversion).
    double value(uint64_t n, int c) const;
    // Writes the words of channels mics[0..count) at absolute frame n to out (int32 or float32).
    void write(uint64_t n, const int *mics, size_t count, bool floats, uint8_t *out) const;

private:
    struct Mic {
        float gain = 1;      // on signal and noise together (0 dead, -1 reversed)
        float noise = 0;     // RMS of its independent noise, counts
    };
    // Floats in 2 MiB pages: a 64 MiB table touched 4 KiB at a time costs tenths of a second of
    // page faults on some virtual machines.
    struct Floats {
        explicit Floats(size_t n);
        float *data;
        struct Free { void operator()(float *p) const; };
        std::unique_ptr<float, Free> owner;
    };
    Floats table_;   // kPeriod rows of kChannels: the sources as each microphone hears them
    Mic mic_[Scene::kChannels];
    uint64_t noise_seed_ = 0;   // the recorder's: every position has noise of its own
};

} // namespace emu
