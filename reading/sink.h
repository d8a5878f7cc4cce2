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
    std::vector<std::string> channel_names;
    std::string date, comment, source_type;
    std::vector<std::string> sources;
    uint64_t first_frame = 0;
};

class Sink {
public:
    virtual ~Sink() = default;
    // n rows of 4-byte values (float or int32 as the sink was opened).
    virtual void write(const void *rows, size_t n) = 0;
    // Ends the file; the gaps of the counter go into it where the format has room.
    virtual void finish(const std::vector<Gap> &gaps, uint64_t gap_count) = 0;
};

// Both create `path` (a temporary name) for `frames` rows of the description's channels.
std::unique_ptr<Sink> open_hdf5(const std::string &path, const ExportDescription &d, uint64_t frames, SampleType type);
std::unique_ptr<Sink> open_wav(const std::string &path, const ExportDescription &d, uint64_t frames, SampleType type);

// Rows per block: whole HDF5 chunks of about 1 MiB.
size_t chunk_rows(size_t channels);

} // namespace reading
