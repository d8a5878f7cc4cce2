// Export of a run's frames to a file: the writers (HDF5, WAV) fed block by block. Apart from
// the rest of the export code, so that what only chooses channels needs neither HDF5 nor
// libsndfile.
#include "reading/export.h"

#include "reading/sink.h"

#include <algorithm>
#include <filesystem>
#include <unistd.h>

namespace reading {

ExportResult export_run(const Run &run, const ExportOptions &o, const Progress &progress, const std::atomic<bool> *stop)
{
    const Format format = format_of(o.target);
    check_target(run, o.target, o.force);
    ExportResult res;
    res.type = o.type.value_or(format == Format::Hdf5 || run.floats() ? SampleType::Float32 : SampleType::Int32);
    if (o.range.first > run.frames() || o.range.count > run.frames() - o.range.first)
        throw std::invalid_argument("frames asked beyond the run");

    ExportDescription d;
    d.sample_freq = run.rec.freq;
    d.parts = export_parts(run, o.words, format, res.type);
    d.date = iso_date(run.rec.date_heure);
    d.comment = comment_trimmed(run.rec);
    d.source_type = run.floats() ? "float32" : "int32";
    for (const std::string *p : {&run.paths.dat, &run.paths.header, &run.paths.log})
        d.sources.push_back(std::filesystem::path(*p).filename().string());
    d.first_frame = o.range.first;
    d.chunk_rows = chunk_rows(o.words.size());
    if (!d.parts.empty() && d.parts.front().dataset == "time_data")
        for (const Column &c : d.parts.front().columns)
            d.mic_channels.push_back(run.layout.channels[size_t(c.word)].number);
    if (!o.positions.empty() && o.positions.size() != 3 * d.mic_channels.size())
        throw std::invalid_argument("one position per exported microphone");
    d.positions = o.positions;
    d.geometry = o.geometry;

    // The temporary name: hidden, beside the target, so the rename stays on one file system.
    const std::filesystem::path cible(o.target);
    std::string nom_tmp = ".";
    nom_tmp += cible.filename().string();
    nom_tmp += ".part-" + std::to_string(::getpid());
    const std::filesystem::path tmp = cible.parent_path() / nom_tmp;
    res.frames = o.range.count;
    res.rf64 = format == Format::Wav && wav_needs_rf64(res.frames * o.words.size() * 4);
    try {
        std::unique_ptr<Sink> sink = format == Format::Hdf5 ? open_hdf5(tmp.string(), d, res.frames, res.type)
                                                            : open_wav(tmp.string(), d, res.frames, res.type);
        CounterTrack compteur;
        res.counter_checked = run.layout.counter();
        std::vector<std::vector<uint32_t>> lignes(d.parts.size());
        const uint64_t total = res.frames * run.frame_bytes();
        // Blocks of whole chunks, about 8 MiB of frames read at a time.
        const size_t par_chunk = d.chunk_rows;
        const size_t bloc = std::max<size_t>(1, (8u << 20) / run.frame_bytes() / par_chunk) * par_chunk;
        read_frames(
            run, o.range.first, res.frames,
            [&](const uint8_t *f, size_t n, uint64_t premiere) {
                if (stop && stop->load())
                    throw Interrupted();
                if (res.counter_checked)
                    compteur.feed(f, n, run.frame_bytes(), premiere);
                for (size_t k = 0; k < d.parts.size(); ++k) {
                    const std::vector<Column> &cols = d.parts[k].columns;
                    if (cols.empty())
                        continue;
                    lignes[k].resize(n * cols.size());
                    convert_frames(f, n, size_t(run.layout.words()), cols, lignes[k].data());
                    sink->write(k, lignes[k].data(), n);
                }
                if (progress)
                    progress((premiere + n - o.range.first) * run.frame_bytes(), total);
                return true;
            },
            bloc * run.frame_bytes());
        if (stop && stop->load())
            throw Interrupted();
        res.gaps = compteur.gaps();
        res.gap_count = compteur.gap_count();
        sink->finish(res.gaps, res.gap_count);
        sink.reset();
        std::error_code ec;
        std::filesystem::rename(tmp, cible, ec);
        if (ec)
            throw std::runtime_error("cannot rename the finished file to its name: " + ec.message());
    } catch (const Interrupted &) {
        std::error_code ec;
        std::filesystem::remove(tmp, ec);
        throw;
    } catch (const ReadError &) { // the run's own files: named already
        std::error_code ec;
        std::filesystem::remove(tmp, ec);
        throw;
    } catch (const std::runtime_error &e) { // the target's: named as the caller gave it
        std::error_code ec;
        std::filesystem::remove(tmp, ec);
        throw std::runtime_error(o.target + ": " + e.what());
    } catch (...) {
        std::error_code ec;
        std::filesystem::remove(tmp, ec);
        throw;
    }
    return res;
}

} // namespace reading
