// Export to WAV through libsndfile: one channel per exported channel, 32-bit PCM or float,
// RF64 when the file passes the 4 GiB that WAV sizes can count.
#include "reading/sink.h"

#include <sndfile.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <stdexcept>

namespace reading {

namespace {

class Wav : public Sink {
public:
    Wav(const std::string &path, const ExportDescription &d, uint64_t frames, SampleType type)
        : channels_(sf_count_t(d.parts.front().columns.size()))
    {
        SF_INFO info{};
        info.samplerate = int(d.sample_freq);
        info.channels = int(channels_);
        const bool rf64 = wav_needs_rf64(frames * uint64_t(channels_) * 4);
        info.format = (rf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAV) |
                      (type == SampleType::Float32 ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_32);
        if (!sf_format_check(&info))
            throw std::runtime_error("WAV: " + std::to_string(info.channels) + " channels at " +
                                     std::to_string(info.samplerate) + " Hz cannot be written");
        // The file is created here, so that its failure gives the system's reason.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0)
            throw std::runtime_error(std::string("WAV: cannot create the file: ") + std::strerror(errno));
        file_ = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
        if (!file_) {
            ::close(fd);
            throw std::runtime_error(std::string("WAV: cannot create the file: ") + sf_strerror(nullptr));
        }
        sf_set_string(file_, SF_STR_SOFTWARE, "viz256-run");
        sf_set_string(file_, SF_STR_DATE, d.date.c_str());
        if (!d.comment.empty())
            sf_set_string(file_, SF_STR_COMMENT, d.comment.substr(0, 1000).c_str());
    }

    ~Wav() override
    {
        if (file_)
            sf_close(file_);
    }

    void write(size_t, const void *rows, size_t n) override
    {
        // The rows are already the file's little-endian 32-bit samples: written as they are,
        // in one call, rather than through libsndfile's small conversion buffer.
        static_assert(std::endian::native == std::endian::little);
        const sf_count_t octets = sf_count_t(n) * channels_ * 4;
        errno = 0;
        if (sf_write_raw(file_, rows, octets) != octets)
            throw std::runtime_error(std::string("WAV: cannot write: ") + (errno ? std::strerror(errno) : sf_strerror(file_)));
    }

    void finish(const std::vector<Gap> &, uint64_t) override
    {
        SNDFILE *f = file_;
        file_ = nullptr;
        errno = 0;
        if (sf_close(f) != 0)
            throw std::runtime_error(std::string("WAV: cannot close the file: ") + (errno ? std::strerror(errno) : "libsndfile gives no reason"));
    }

private:
    sf_count_t channels_;
    SNDFILE *file_ = nullptr;
};

} // namespace

std::unique_ptr<Sink> open_wav(const std::string &path, const ExportDescription &d, uint64_t frames, SampleType type)
{
    return std::make_unique<Wav>(path, d, frames, type);
}

} // namespace reading
