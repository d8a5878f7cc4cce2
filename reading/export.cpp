// Export of a run's frames: channel choice, conversion, streaming to a writer.
#include "reading/export.h"

#include "reading/sink.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace reading {

namespace {

bool finit_par(std::string s, std::string ext)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s.size() > ext.size() && s.compare(s.size() - ext.size(), ext.size(), ext) == 0;
}

// n words of type T (any alignment) to floats.
template <class T> void vers_float(const uint8_t *src, uint32_t *dst, size_t n)
{
    for (size_t k = 0; k < n; ++k) {
        T v;
        std::memcpy(&v, src + 4 * k, 4);
        const float f = float(v);
        std::memcpy(dst + k, &f, 4);
    }
}

bool entier(const std::string &s, int &v)
{
    if (s.empty() || s.size() > 4 || !std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    v = std::stoi(s);
    return true;
}

} // namespace

Format format_of(const std::string &target)
{
    if (finit_par(target, ".h5") || finit_par(target, ".hdf5") || finit_par(target, ".hdf"))
        return Format::Hdf5;
    if (finit_par(target, ".wav"))
        return Format::Wav;
    throw std::invalid_argument("--to " + target + ": the name must end in .h5 (HDF5) or .wav");
}

std::vector<int> select_channels(const Layout &layout, const std::string &list, const std::string &owner,
                                 const std::string &purpose)
{
    std::vector<bool> pris(size_t(layout.words()), false);
    const auto genre = [&](Kind k) {
        for (int w : layout.of(k))
            pris[size_t(w)] = true;
    };
    if (list.empty()) {
        genre(Kind::Microphone);
        genre(Kind::Analog);
    }
    size_t i = 0;
    while (i < list.size()) {
        size_t fin = list.find(',', i);
        if (fin == std::string::npos)
            fin = list.size();
        std::string item = list.substr(i, fin - i);
        i = fin + 1;
        item.erase(0, item.find_first_not_of(' '));
        item.erase(item.find_last_not_of(' ') + 1);
        if (item.empty())
            continue;
        int n = 0;
        bool trouve = false;
        if (item == "all") {
            std::fill(pris.begin(), pris.end(), true);
            trouve = true;
        } else if (item == "mics" || item == "va") {
            const Kind k = item == "mics" ? Kind::Microphone : Kind::Analog;
            trouve = !layout.of(k).empty();
            genre(k);
        } else if (item.rfind("beam_", 0) == 0 && entier(item.substr(5), n)) {
            for (const Channel &c : layout.channels)
                if (c.kind == Kind::Microphone && c.number / 8 == n)
                    pris[size_t(c.word)] = trouve = true;
        } else if (entier(item, n)) {
            for (const Channel &c : layout.channels)
                if (c.kind == Kind::Microphone && c.number == n)
                    pris[size_t(c.word)] = trouve = true;
        } else {
            for (const Channel &c : layout.channels)
                if (c.name == item)
                    pris[size_t(c.word)] = trouve = true;
        }
        if (!trouve)
            throw std::invalid_argument("--channels: " + owner + " has no channel \"" + item + "\"");
    }
    std::vector<int> mots;
    for (size_t w = 0; w < pris.size(); ++w)
        if (pris[w])
            mots.push_back(int(w));
    if (mots.empty())
        throw std::invalid_argument("--channels: no channel to " + purpose);
    return mots;
}

std::vector<Column> columns_for(const Run &run, const std::vector<int> &words, SampleType type)
{
    std::vector<Column> cols;
    for (int w : words) {
        const Channel &c = run.layout.channels.at(size_t(w));
        const bool compte = c.kind == Kind::Counter || c.kind == Kind::Status; // integers in every run
        Conversion conv = Conversion::Raw;
        if (type == SampleType::Float32) {
            if (compte)
                conv = Conversion::UintToFloat;
            else if (!run.floats())
                conv = Conversion::IntToFloat;
        } else if (!compte && run.floats()) {
            throw std::invalid_argument("--type int32: the run's samples are float32; export them as float32");
        }
        cols.push_back({w, conv});
    }
    return cols;
}

std::vector<ExportPart> export_parts(const Run &run, const std::vector<int> &words, Format format, SampleType type)
{
    const auto nom = [&](int w) { return run.layout.channels.at(size_t(w)).name; };
    if (format == Format::Wav) {
        ExportPart p;
        p.columns = columns_for(run, words, type);
        for (int w : words)
            p.channel_names.push_back(nom(w));
        return {p};
    }
    std::vector<ExportPart> parts;
    const auto partie = [&](const char *dataset, Kind kind, bool toujours) {
        ExportPart p;
        p.dataset = dataset;
        p.uint32 = kind == Kind::Counter || kind == Kind::Status;
        std::vector<int> choisis;
        for (int w : words)
            if (run.layout.channels.at(size_t(w)).kind == kind)
                choisis.push_back(w);
        if (p.uint32) {
            for (int w : choisis)
                p.columns.push_back({w, Conversion::Raw});
        } else {
            p.columns = columns_for(run, choisis, type);
        }
        for (int w : choisis)
            p.channel_names.push_back(nom(w));
        if (toujours || !choisis.empty())
            parts.push_back(std::move(p));
    };
    partie("time_data", Kind::Microphone, true);
    partie("analog", Kind::Analog, false);
    partie("counter", Kind::Counter, false);
    partie("status", Kind::Status, false);
    return parts;
}

std::string default_channels(Format format)
{
    return format == Format::Hdf5 ? "all" : "";
}

void check_target(const Run &run, const std::string &target, bool force)
{
    struct stat cible{};
    if (::lstat(target.c_str(), &cible) != 0)
        return; // nothing there: the export creates it
    struct stat suivie = cible;
    const bool suit = ::stat(target.c_str(), &suivie) == 0;
    for (const std::string *f : {&run.paths.dat, &run.paths.header, &run.paths.log}) {
        struct stat st{};
        if (suit && ::stat(f->c_str(), &st) == 0 && st.st_dev == suivie.st_dev && st.st_ino == suivie.st_ino)
            throw std::invalid_argument("--to " + target + ": that is " + std::filesystem::path(*f).filename().string() +
                                        ", a file of the run being exported; choose another name");
    }
    if (suit && S_ISDIR(suivie.st_mode))
        throw std::invalid_argument("--to " + target + ": that is a folder; give a file name");
    if (!force)
        throw std::invalid_argument("--to " + target + ": the file exists; --force replaces it");
}

void convert_frames(const uint8_t *frames, size_t n, size_t frame_words, const std::vector<Column> &cols, void *out)
{
    auto *o = static_cast<uint32_t *>(out);
    const size_t nc = cols.size();
    // Runs of consecutive words with one conversion go through tight loops.
    struct Suite {
        size_t debut, col, longueur;
        Conversion conv;
    };
    std::vector<Suite> suites;
    for (size_t k = 0; k < nc; ++k) {
        if (!suites.empty() && suites.back().conv == cols[k].conversion &&
            size_t(cols[k].word) == suites.back().debut + suites.back().longueur)
            ++suites.back().longueur;
        else
            suites.push_back({size_t(cols[k].word), k, 1, cols[k].conversion});
    }
    for (size_t i = 0; i < n; ++i) {
        const uint8_t *trame = frames + i * frame_words * 4;
        uint32_t *ligne = o + i * nc;
        for (const Suite &s : suites) {
            const uint8_t *src = trame + s.debut * 4;
            uint32_t *dst = ligne + s.col;
            switch (s.conv) {
            case Conversion::Raw:
                std::memcpy(dst, src, s.longueur * 4);
                break;
            case Conversion::IntToFloat:
                vers_float<int32_t>(src, dst, s.longueur);
                break;
            case Conversion::UintToFloat:
                vers_float<uint32_t>(src, dst, s.longueur);
                break;
            }
        }
    }
}

bool wav_needs_rf64(uint64_t data_bytes)
{
    // The RIFF size counts the data and some 80 bytes of header in 32 bits.
    return data_bytes > 0xFFFFFFFFull - 4096;
}

size_t chunk_rows(size_t channels)
{
    return std::max<size_t>(1, (size_t(1) << 20) / (std::max<size_t>(1, channels) * 4));
}

} // namespace reading
