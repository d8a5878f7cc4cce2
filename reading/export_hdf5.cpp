// Export to HDF5: the dataset /time_data (frames x microphones), chunked along time, with the
// attribute sample_freq (float64) that beamforming tools read and the run's description;
// /analog (frames x analogue channels), /counter and /status (frames, uint32) beside it.
#include "reading/sink.h"

#include <hdf5.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace reading {

namespace {

// Why the last HDF5 call failed: the system's reason when a system call failed under it
// (the library puts "errno = N" in its message), else the library's innermost message.
std::string raison_hdf5()
{
    struct Recherche {
        int err = 0;
        std::string interne;
    } r;
    H5Ewalk2(
        H5E_DEFAULT, H5E_WALK_UPWARD,
        [](unsigned, const H5E_error2_t *e, void *donnees) -> herr_t {
            auto &r = *static_cast<Recherche *>(donnees);
            if (!e->desc)
                return 0;
            if (r.interne.empty())
                r.interne = e->desc;
            if (const char *p = std::strstr(e->desc, "errno = "); p && r.err == 0)
                r.err = std::atoi(p + 8);
            return 0;
        },
        &r);
    H5Eclear2(H5E_DEFAULT);
    if (r.err > 0)
        return std::strerror(r.err);
    return r.interne.empty() ? std::string("no reason given") : r.interne;
}

class Hdf5 : public Sink {
public:
    Hdf5(const std::string &path, const ExportDescription &d, uint64_t frames, SampleType type)
    {
        // The library's exit handler closes again a file whose close failed (a full disk) and
        // crashes in it (HDF5 1.10): it is never installed, as every file is closed here. This
        // must come before any other call of the library.
        static const bool sans_atexit = (H5dont_atexit(), true);
        (void)sans_atexit;
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); // errors are ours to report, not the library's to print
        memtype_ = type == SampleType::Float32 ? H5T_NATIVE_FLOAT : H5T_NATIVE_INT32;
        // A failure part-way leaves nothing open: the destructor does not run for a constructor
        // that throws.
        try {
            file_ = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
            verifie(file_, "create the file");
            for (const ExportPart &p : d.parts)
                cree(p, frames, d.chunk_rows, type);
            data_ = parts_.front().id; // /time_data carries the description

            attribut_nombre("sample_freq", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &d.sample_freq);
            attribut_textes(data_, "channel_names", d.parts.front().channel_names);
            // The recorded microphone channel of each column, so that a tool pairs column i with
            // the position of its channel, whatever was left out of the run.
            if (d.parts.front().dataset == "time_data") {
                const hsize_t n[1] = {d.mic_channels.size()};
                attribut(data_, "channels", H5T_STD_I32LE, H5T_NATIVE_INT, H5Screate_simple(1, n, nullptr), d.mic_channels.data());
            }
            if (!d.positions.empty())
                positions(d);
            attribut_texte("date", d.date);
            attribut_texte("comment", d.comment);
            attribut_texte("sample_type", d.source_type);
            attribut_textes(data_, "sources", d.sources);
            attribut_nombre("first_frame", H5T_STD_U64LE, H5T_NATIVE_UINT64, &d.first_frame);
            for (size_t k = 1; k < d.parts.size(); ++k)
                if (!d.parts[k].uint32)
                    attribut_textes(parts_[k].id, "channel_names", d.parts[k].channel_names);
        } catch (...) {
            ferme();
            throw;
        }
    }

    ~Hdf5() override { ferme(); }

    void write(size_t part, const void *rows, size_t n) override
    {
        Partie &p = parts_.at(part);
        if (n == 0 || p.colonnes == 0)
            return;
        const hid_t espace = H5Dget_space(p.id);
        const hsize_t debut[2] = {p.ecrites, 0}, taille[2] = {n, p.colonnes};
        H5Sselect_hyperslab(espace, H5S_SELECT_SET, debut, nullptr, taille, nullptr);
        const hid_t memoire = H5Screate_simple(p.rang, taille, nullptr);
        const herr_t r = H5Dwrite(p.id, p.memtype, memoire, espace, H5P_DEFAULT, rows);
        const std::string pourquoi = r < 0 ? raison_hdf5() : "";
        H5Sclose(memoire);
        H5Sclose(espace);
        echoue(r, "write /" + p.nom, pourquoi);
        p.ecrites += n;
    }

    void finish(const std::vector<Gap> &gaps, uint64_t gap_count) override
    {
        attribut_nombre("counter_gaps", H5T_STD_U64LE, H5T_NATIVE_UINT64, &gap_count);
        if (!gaps.empty()) {
            // Where each gap is (frame of the run) and how many frames it lacks: datasets, as
            // a damaged run may have more than an attribute's 64 KiB can list.
            std::vector<uint64_t> trames;
            std::vector<int64_t> manquent;
            for (const Gap &g : gaps) {
                trames.push_back(g.frame);
                manquent.push_back(g.missing());
            }
            tableau("counter_gap_frames", H5T_STD_U64LE, H5T_NATIVE_UINT64, trames.data(), trames.size());
            tableau("counter_gap_missing", H5T_STD_I64LE, H5T_NATIVE_INT64, manquent.data(), manquent.size());
        }
        verifie(H5Fflush(file_, H5F_SCOPE_LOCAL), "write the file");
        std::string pourquoi;
        if (!ferme(&pourquoi))
            throw std::runtime_error("HDF5: cannot close the file: " + pourquoi);
    }

private:
    struct Partie {
        std::string nom;
        hid_t id = -1;
        hid_t memtype;
        int rang;
        hsize_t colonnes;
        hsize_t ecrites = 0;
    };

    // A 2-D dataset (frames x columns) of samples, or a 1-D one (frames) of uint32 words,
    // chunked along time; a 2-D one of no column is contiguous (no chunk can be empty).
    void cree(const ExportPart &p, uint64_t frames, size_t chunk_rows, SampleType type)
    {
        Partie q{p.dataset, -1, p.uint32 ? H5T_NATIVE_UINT32 : memtype_, p.uint32 ? 1 : 2, p.columns.size()};
        const hsize_t dims[2] = {frames, q.colonnes};
        const hsize_t maxdims[2] = {q.colonnes ? H5S_UNLIMITED : frames, q.colonnes};
        const hid_t espace = H5Screate_simple(q.rang, dims, maxdims);
        const hid_t proprietes = H5Pcreate(H5P_DATASET_CREATE);
        if (q.colonnes) {
            const hsize_t chunk[2] = {std::min<hsize_t>(chunk_rows, std::max<hsize_t>(1, frames)), q.colonnes};
            H5Pset_chunk(proprietes, q.rang, chunk);
        }
        // Whole chunks are written at once: no chunk cache, so they go straight to the file.
        const hid_t acces = H5Pcreate(H5P_DATASET_ACCESS);
        H5Pset_chunk_cache(acces, 0, 0, H5D_CHUNK_CACHE_W0_DEFAULT);
        const hid_t fichier = p.uint32 ? H5T_STD_U32LE : type == SampleType::Float32 ? H5T_IEEE_F32LE : H5T_STD_I32LE;
        q.id = H5Dcreate2(file_, p.dataset.c_str(), fichier, espace, H5P_DEFAULT, proprietes, acces);
        const std::string pourquoi = q.id < 0 ? raison_hdf5() : "";
        H5Pclose(acces);
        H5Pclose(proprietes);
        H5Sclose(espace);
        echoue(q.id, "create /" + p.dataset, pourquoi);
        parts_.push_back(q);
    }

    bool ferme(std::string *pourquoi = nullptr)
    {
        bool ok = true;
        const auto note = [&](herr_t r) {
            if (r < 0 && ok && pourquoi)
                *pourquoi = raison_hdf5();
            ok = ok && r >= 0;
        };
        for (Partie &p : parts_)
            if (p.id >= 0)
                note(H5Dclose(p.id));
        parts_.clear();
        data_ = -1;
        if (file_ >= 0)
            note(H5Fclose(file_));
        file_ = -1;
        return ok;
    }

    // The library clears its error stack at each call: the reason is taken right after the
    // call that failed, before any clean-up.
    void verifie(long long r, const char *quoi)
    {
        if (r < 0)
            echoue(r, quoi, raison_hdf5());
    }
    static void echoue(long long r, const std::string &quoi, const std::string &pourquoi)
    {
        if (r < 0)
            throw std::runtime_error("HDF5: cannot " + quoi + ": " + pourquoi);
    }

    // Writes one attribute of `objet`; takes the data space.
    void attribut(hid_t objet, const char *nom, hid_t type_fichier, hid_t type_memoire, hid_t espace, const void *v)
    {
        const hid_t a = H5Acreate2(objet, nom, type_fichier, espace, H5P_DEFAULT, H5P_DEFAULT);
        const herr_t r = a >= 0 ? H5Awrite(a, type_memoire, v) : -1;
        const std::string pourquoi = r < 0 ? raison_hdf5() : "";
        if (a >= 0)
            H5Aclose(a);
        H5Sclose(espace);
        echoue(r, std::string("write the attribute ") + nom, pourquoi);
    }

    // /positions (columns x 3, metres) with the attribute geometry: where they come from.
    void positions(const ExportDescription &d)
    {
        const hsize_t dims[2] = {d.mic_channels.size(), 3};
        const hid_t espace = H5Screate_simple(2, dims, nullptr);
        const hid_t ds = H5Dcreate2(file_, "positions", H5T_IEEE_F64LE, espace, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        const herr_t r = ds >= 0 ? H5Dwrite(ds, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, d.positions.data()) : -1;
        const std::string pourquoi = r < 0 ? raison_hdf5() : "";
        H5Sclose(espace);
        try {
            echoue(r, "write /positions", pourquoi);
            const hid_t t = type_texte(d.geometry.size());
            std::string tampon = d.geometry;
            tampon.resize(std::max<size_t>(1, d.geometry.size()), '\0');
            attribut(ds, "geometry", t, t, H5Screate(H5S_SCALAR), tampon.data());
            H5Tclose(t);
        } catch (...) {
            if (ds >= 0)
                H5Dclose(ds);
            throw;
        }
        H5Dclose(ds);
    }

    // A 1-D dataset at the root, written whole.
    void tableau(const char *nom, hid_t type_fichier, hid_t type_memoire, const void *v, size_t n)
    {
        const hsize_t dims[1] = {n};
        const hid_t espace = H5Screate_simple(1, dims, nullptr);
        const hid_t ds = H5Dcreate2(file_, nom, type_fichier, espace, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        const herr_t r = ds >= 0 ? H5Dwrite(ds, type_memoire, H5S_ALL, H5S_ALL, H5P_DEFAULT, v) : -1;
        const std::string pourquoi = r < 0 ? raison_hdf5() : "";
        if (ds >= 0)
            H5Dclose(ds);
        H5Sclose(espace);
        echoue(r, std::string("write /") + nom, pourquoi);
    }

    void attribut_nombre(const char *nom, hid_t type_fichier, hid_t type_memoire, const void *v)
    {
        attribut(data_, nom, type_fichier, type_memoire, H5Screate(H5S_SCALAR), v);
    }

    // Strings of fixed length, UTF-8: PyTables, h5py and MATLAB all read them.
    hid_t type_texte(size_t longueur)
    {
        const hid_t t = H5Tcopy(H5T_C_S1);
        H5Tset_size(t, std::max<size_t>(1, longueur));
        H5Tset_strpad(t, H5T_STR_NULLPAD);
        H5Tset_cset(t, H5T_CSET_UTF8);
        return t;
    }

    void attribut_texte(const char *nom, const std::string &v)
    {
        const hid_t t = type_texte(v.size());
        std::string tampon = v;
        tampon.resize(std::max<size_t>(1, v.size()), '\0');
        attribut(data_, nom, t, t, H5Screate(H5S_SCALAR), tampon.data());
        H5Tclose(t);
    }

    void attribut_textes(hid_t objet, const char *nom, const std::vector<std::string> &v)
    {
        size_t longueur = 1;
        for (const std::string &s : v)
            longueur = std::max(longueur, s.size());
        std::string tampon(longueur * std::max<size_t>(1, v.size()), '\0');
        for (size_t i = 0; i < v.size(); ++i)
            tampon.replace(i * longueur, v[i].size(), v[i]);
        const hid_t t = type_texte(longueur);
        const hsize_t dims[1] = {v.size()};
        attribut(objet, nom, t, t, H5Screate_simple(1, dims, nullptr), tampon.data());
        H5Tclose(t);
    }

    hid_t memtype_ = -1;
    hid_t file_ = -1, data_ = -1;
    std::vector<Partie> parts_;
};

} // namespace

std::unique_ptr<Sink> open_hdf5(const std::string &path, const ExportDescription &d, uint64_t frames, SampleType type)
{
    return std::make_unique<Hdf5>(path, d, frames, type);
}

} // namespace reading
