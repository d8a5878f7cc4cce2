// Export to HDF5: the dataset /time_data (frames x channels), chunked along time, with the
// attribute sample_freq (float64) that beamforming tools read, and the run's description.
#include "reading/sink.h"

#include <hdf5.h>

#include <algorithm>
#include <stdexcept>

namespace reading {

namespace {

class Hdf5 : public Sink {
public:
    Hdf5(const std::string &path, const ExportDescription &d, uint64_t frames, SampleType type)
        : path_(path), channels_(d.channel_names.size()), memtype_(type == SampleType::Float32 ? H5T_NATIVE_FLOAT : H5T_NATIVE_INT32)
    {
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); // errors are ours to report, not the library's to print
        // A failure part-way leaves nothing open: the destructor does not run for a constructor
        // that throws.
        try {
            file_ = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
            verifie(file_, "create");
            const hsize_t dims[2] = {frames, channels_};
            const hsize_t maxdims[2] = {H5S_UNLIMITED, channels_};
            const hid_t espace = H5Screate_simple(2, dims, maxdims);
            const hid_t proprietes = H5Pcreate(H5P_DATASET_CREATE);
            const hsize_t chunk[2] = {std::min<hsize_t>(chunk_rows(channels_), std::max<hsize_t>(1, frames)), channels_};
            H5Pset_chunk(proprietes, 2, chunk);
            // Whole chunks are written at once: no chunk cache, so they go straight to the file.
            const hid_t acces = H5Pcreate(H5P_DATASET_ACCESS);
            H5Pset_chunk_cache(acces, 0, 0, H5D_CHUNK_CACHE_W0_DEFAULT);
            data_ = H5Dcreate2(file_, "time_data", type == SampleType::Float32 ? H5T_IEEE_F32LE : H5T_STD_I32LE, espace,
                               H5P_DEFAULT, proprietes, acces);
            H5Pclose(acces);
            H5Pclose(proprietes);
            H5Sclose(espace);
            verifie(data_, "create /time_data");

            attribut_nombre("sample_freq", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &d.sample_freq);
            attribut_textes("channel_names", d.channel_names);
            attribut_texte("date", d.date);
            attribut_texte("comment", d.comment);
            attribut_texte("sample_type", d.source_type);
            attribut_textes("sources", d.sources);
            attribut_nombre("first_frame", H5T_STD_U64LE, H5T_NATIVE_UINT64, &d.first_frame);
        
        } catch (...) {
            ferme();
            throw;
        }
    }

    ~Hdf5() override { ferme(); }

    void write(const void *rows, size_t n) override
    {
        if (n == 0)
            return;
        const hid_t espace = H5Dget_space(data_);
        const hsize_t debut[2] = {written_, 0}, taille[2] = {n, channels_};
        H5Sselect_hyperslab(espace, H5S_SELECT_SET, debut, nullptr, taille, nullptr);
        const hid_t memoire = H5Screate_simple(2, taille, nullptr);
        const herr_t r = H5Dwrite(data_, memtype_, memoire, espace, H5P_DEFAULT, rows);
        H5Sclose(memoire);
        H5Sclose(espace);
        verifie(r, "write /time_data");
        written_ += n;
    }

    void finish(const std::vector<Gap> &gaps, uint64_t gap_count) override
    {
        attribut_nombre("counter_gaps", H5T_STD_U64LE, H5T_NATIVE_UINT64, &gap_count);
        if (!gaps.empty()) {
            // Where each gap is (frame of the run) and how many frames it lacks.
            std::vector<uint64_t> trames;
            std::vector<int64_t> manquent;
            for (const Gap &g : gaps) {
                trames.push_back(g.frame);
                manquent.push_back(g.missing());
            }
            attribut_tableau("counter_gap_frames", H5T_STD_U64LE, H5T_NATIVE_UINT64, trames.data(), trames.size());
            attribut_tableau("counter_gap_missing", H5T_STD_I64LE, H5T_NATIVE_INT64, manquent.data(), manquent.size());
        }
        verifie(H5Fflush(file_, H5F_SCOPE_LOCAL), "flush");
        const bool ok = ferme();
        if (!ok)
            throw std::runtime_error(path_ + ": HDF5: the file could not be closed");
    }

private:
    bool ferme()
    {
        bool ok = true;
        if (data_ >= 0)
            ok = H5Dclose(data_) >= 0 && ok;
        if (file_ >= 0)
            ok = H5Fclose(file_) >= 0 && ok;
        data_ = file_ = -1;
        return ok;
    }

    void verifie(long long r, const char *quoi)
    {
        if (r < 0)
            throw std::runtime_error(path_ + ": HDF5: cannot " + quoi);
    }

    // Writes one attribute of /time_data; takes the data space.
    void attribut(const char *nom, hid_t type_fichier, hid_t type_memoire, hid_t espace, const void *v)
    {
        const hid_t a = H5Acreate2(data_, nom, type_fichier, espace, H5P_DEFAULT, H5P_DEFAULT);
        const herr_t r = a >= 0 ? H5Awrite(a, type_memoire, v) : -1;
        if (a >= 0)
            H5Aclose(a);
        H5Sclose(espace);
        verifie(r, nom);
    }

    void attribut_tableau(const char *nom, hid_t type_fichier, hid_t type_memoire, const void *v, size_t n)
    {
        const hsize_t dims[1] = {n};
        attribut(nom, type_fichier, type_memoire, H5Screate_simple(1, dims, nullptr), v);
    }

    void attribut_nombre(const char *nom, hid_t type_fichier, hid_t type_memoire, const void *v)
    {
        attribut(nom, type_fichier, type_memoire, H5Screate(H5S_SCALAR), v);
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
        attribut(nom, t, t, H5Screate(H5S_SCALAR), tampon.data());
        H5Tclose(t);
    }

    void attribut_textes(const char *nom, const std::vector<std::string> &v)
    {
        size_t longueur = 1;
        for (const std::string &s : v)
            longueur = std::max(longueur, s.size());
        std::string tampon(longueur * v.size(), '\0');
        for (size_t i = 0; i < v.size(); ++i)
            tampon.replace(i * longueur, v[i].size(), v[i]);
        const hid_t t = type_texte(longueur);
        attribut_tableau(nom, t, t, tampon.data(), v.size());
        H5Tclose(t);
    }

    std::string path_;
    hsize_t channels_;
    hid_t memtype_;
    hid_t file_ = -1, data_ = -1;
    hsize_t written_ = 0;
};

} // namespace

std::unique_ptr<Sink> open_hdf5(const std::string &path, const ExportDescription &d, uint64_t frames, SampleType type)
{
    return std::make_unique<Hdf5>(path, d, frames, type);
}

} // namespace reading
