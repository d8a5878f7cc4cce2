#pragma once
// Export of a run's frames to HDF5 (the /time_data layout that beamforming tools read) or to
// WAV, streamed block by block, written under a temporary name renamed at the end.
#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "reading/check.h"

namespace reading {

enum class Format { Hdf5, Wav };
enum class SampleType { Float32, Int32 };

// ".h5"/".hdf5"/".hdf" or ".wav" (any case); throws std::invalid_argument otherwise.
Format format_of(const std::string &target);

// The frame's words to export, in frame order, from a list such as "mics,va_0,counter":
// channel names ("mic_3_1", "va_2", "counter", "status"), microphone channel numbers ("25"),
// beams ("beam_3"), and the groups "mics", "va", "all". Empty: the microphones and the
// analogue channels. Throws std::invalid_argument naming what the run does not have (the
// recorder, for a list of channels to record: `owner` and `purpose` name them in the message).
std::vector<int> select_channels(const Layout &layout, const std::string &list, const std::string &owner = "the run",
                                 const std::string &purpose = "export");

// The frames [first, first + count) from a start and a duration in seconds (both optional),
// within the whole frames of the run. Throws std::invalid_argument when the start is out of
// the run; a duration past the end is cut to it, and `cut` says so.
struct FrameRange {
    uint64_t first = 0, count = 0;
    bool cut = false;
};
FrameRange frame_range(const Run &run, std::optional<double> start_s, std::optional<double> duration_s);

// How one exported column is made from its word.
enum class Conversion { Raw, IntToFloat, UintToFloat };
struct Column {
    int word = 0;
    Conversion conversion = Conversion::Raw;
};
// The columns of the chosen words for the output type. Throws std::invalid_argument for
// int32 out of a run of float samples.
std::vector<Column> columns_for(const Run &run, const std::vector<int> &words, SampleType type);
// n frames of `frame_words` words to n rows of the columns (4-byte values, native order).
void convert_frames(const uint8_t *frames, size_t n, size_t frame_words, const std::vector<Column> &cols, void *out);

// A WAV file's sizes are 32-bit: past them the file is RF64.
bool wav_needs_rf64(uint64_t data_bytes);

// One dataset of an HDF5 export, or the whole of a WAV file.
struct ExportPart {
    std::string dataset;                     // "time_data", "analog", "counter", "status"; WAV: ""
    std::vector<Column> columns;
    std::vector<std::string> channel_names;
    bool uint32 = false;                     // the counter or the status word, exact, one column
};
// HDF5: /time_data holds the chosen microphones only (its columns match an array geometry,
// none when no microphone is chosen), /analog the analogue channels, /counter and /status the
// words of their name as uint32 (frames,), each present when chosen. WAV: one part, every
// chosen channel in frame order. Throws std::invalid_argument as columns_for.
std::vector<ExportPart> export_parts(const Run &run, const std::vector<int> &words, Format format, SampleType type);

// The channel list of an export when none is given: every channel to HDF5 (the counter and
// status word have datasets of their own), the microphones and analogue channels to WAV.
std::string default_channels(Format format);

struct ExportOptions {
    std::string target;
    std::vector<int> words;            // from select_channels
    FrameRange range;
    std::optional<SampleType> type;    // default: float32 to HDF5; the run's own to WAV
    bool force = false;                // replace an existing target (never one of the run's files)
    // HDF5: the positions (metres, x y z a row) of the exported microphones, in column order,
    // written as /positions; empty: none (no geometry given).
    std::vector<double> positions;
    std::string geometry;              // where they come from, an attribute of /positions
};

// Refuses a target that is one of the run's three files (same device and inode, whatever the
// names), a folder, or, unless `force`, any existing file. Throws std::invalid_argument.
void check_target(const Run &run, const std::string &target, bool force);

struct ExportResult {
    uint64_t frames = 0;
    SampleType type = SampleType::Float32;
    bool rf64 = false;
    bool counter_checked = false;
    std::vector<Gap> gaps;
    uint64_t gap_count = 0;
};

// An export stopped by `stop` (an interrupt): nothing is left under the target name.
class Interrupted : public std::runtime_error {
public:
    Interrupted() : std::runtime_error("interrupted") {}
};

// Throws ReadError (the run's files) / std::runtime_error (the target, named as given, with the
// system's reason) on failure, Interrupted when `stop` was set; in every such case the
// temporary file is removed and the target is left as it was.
ExportResult export_run(const Run &run, const ExportOptions &options, const Progress &progress = {},
                        const std::atomic<bool> *stop = nullptr);

// The start of the run as ISO 8601 local time, "2022-12-07T14:05:09.250".
std::string iso_date(const SystemTime &d);

} // namespace reading
