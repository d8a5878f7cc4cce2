#pragma once
// Writers of exported frames (inside the reading library).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "reading/export.h"

namespace reading {

// What an export file says of its frames besides the samples.
struct ExportDescription {
    double sample_freq = 0;
    std::vector<ExportPart> parts;
    size_t chunk_rows = 1;      // rows of every HDF5 chunk, so each block written fills whole ones
    std::string date, comment, source_type;
    std::vector<std::string> sources;
    uint64_t first_frame = 0;
    std::vector<int> mic_channels;   // the microphone channel of each column of /time_data
    std::vector<double> positions;   // their positions, 3 a column (metres); empty: unknown
    std::string geometry;
};

class Sink {
public:
    virtual ~Sink() = default;
    // n rows of 4-byte values of one part (float or int32 as the sink was opened, uint32 for
    // a part of that kind).
    virtual void write(size_t part, const void *rows, size_t n) = 0;
    // Ends the file; the gaps of the counter go into it where the format has room.
    virtual void finish(const std::vector<Gap> &gaps, uint64_t gap_count) = 0;
};

// Both create `path` (a temporary name) for `frames` rows of the description's parts. Their
// errors (std::runtime_error) give what failed and the system's reason, not the path: the
// export names its target.
std::unique_ptr<Sink> open_hdf5(const std::string &path, const ExportDescription &d, uint64_t frames, SampleType type);
std::unique_ptr<Sink> open_wav(const std::string &path, const ExportDescription &d, uint64_t frames, SampleType type);

// Rows per block: whole HDF5 chunks of about 1 MiB.
size_t chunk_rows(size_t channels);

} // namespace reading
