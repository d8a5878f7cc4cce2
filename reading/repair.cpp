// Repair of a cut run's header and log.
#include "reading/repair.h"

#include "recording/header_record.h"
#include "recording/log_text.h"

#include <QLocale>
#include <QString>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace reading {

namespace {

std::string nom(const std::string &chemin)
{
    return std::filesystem::path(chemin).filename().string();
}

std::string octets(const std::array<uint8_t, TAILLE_HEADER> &image)
{
    return std::string(reinterpret_cast<const char *>(image.data()), image.size());
}

std::string nombre(double v)
{
    char t[64];
    std::snprintf(t, sizeof t, "%.6g", v);
    return t;
}

// The locale that writes the duration as the log already does: the operator's when its
// decimal point is the log's, else one that has it.
QLocale locale_du_log(const LogRecord &l)
{
    const QString point = QString::fromStdU32String(l.decimal_point);
    if (QLocale().decimalPoint() == point)
        return QLocale();
    if (point == QStringLiteral(","))
        return QLocale(QLocale::French, QLocale::France);
    return QLocale(QLocale::English, QLocale::UnitedStates);
}

// The log text with the values of its "Duree" and "Nb_ech" lines replaced.
std::string log_modifie(std::string texte, const std::string &duree, const std::string &nb_ech, bool &trouve)
{
    int lignes = 0;
    const auto remplace = [&](const std::string &cle, const std::string &valeur) {
        size_t pos = 0;
        while ((pos = texte.find(cle, pos)) != std::string::npos) {
            if (pos == 0 || texte[pos - 1] == '\n') {
                const size_t debut = pos + cle.size();
                size_t fin = texte.find_first_of("\r\n", debut);
                if (fin == std::string::npos)
                    fin = texte.size();
                // The value runs to the blanks before the ';' of the unit, when there is one.
                const size_t pv = texte.find(';', debut);
                if (pv != std::string::npos && pv < fin) {
                    fin = pv;
                    while (fin > debut && texte[fin - 1] == ' ')
                        --fin;
                }
                texte.replace(debut, fin - debut, valeur);
                ++lignes;
                return;
            }
            pos += cle.size();
        }
    };
    remplace("Duree = ", duree);
    remplace("Nb_ech = ", nb_ech);
    trouve = lignes == 2;
    return texte;
}

} // namespace

RepairPlan plan_repair(const Run &run)
{
    RepairPlan plan;
    const uint64_t frames = run.frames();
    if (frames > UINT32_MAX)
        throw ReadError(run.paths.dat, "nb_ech", std::to_string(frames) + " whole frames, more than the header can count");
    type_header_file rec = run.rec;
    fixe_totaux(rec, frames * run.frame_bytes(), run.nb_voies(), rec.freq);

    // The header.
    const auto image = serialise(rec);
    if (!run.header) {
        plan.changes.push_back({run.paths.header, octets(image), nom(run.paths.header) + ": " + run.header_problem + "; rebuilt from the log (" +
                               "start time to the second: the log has no milliseconds), nb_ech " +
                               std::to_string(rec.nb_ech) + ", duree_acquise " + nombre(rec.duree_acquise) + " s"});
    } else if (serialise(*run.header) != image) {
        plan.changes.push_back({run.paths.header, octets(image), nom(run.paths.header) + ": nb_ech " + std::to_string(run.header->nb_ech) + " -> " +
                               std::to_string(rec.nb_ech) + ", duree_acquise " + nombre(run.header->duree_acquise) +
                               " -> " + nombre(rec.duree_acquise) + " s"});
    }

    // The log: its two lines edited in place when it is readable, else written whole.
    if (run.log) {
        const LogRecord &l = *run.log;
        const QLocale loc = locale_du_log(l);
        const std::string duree = loc.toString(double(rec.duree_acquise), 'f', 1).toStdString();
        if (l.rec.nb_ech != rec.nb_ech || l.duree_text != duree) {
            bool trouve = false;
            const auto texte = read_small_file(run.paths.log);
            std::string nouveau = log_modifie(texte.value_or(std::string()), duree, std::to_string(rec.nb_ech), trouve);
            if (!trouve)
                throw ReadError(run.paths.log, "Duree", "line not found where the log was read");
            plan.changes.push_back({run.paths.log, std::move(nouveau), nom(run.paths.log) + ": Nb_ech " + std::to_string(l.rec.nb_ech) + " -> " +
                                   std::to_string(rec.nb_ech) + ", Duree " + l.duree_text + " -> " + duree});
        }
    } else {
        const std::string commentaire = comment_utf8(rec);
        const std::optional<QString> c =
            commentaire.empty() ? std::nullopt : std::optional<QString>(QString::fromStdString(commentaire));
        const QByteArray t =
            texte_log(rec, int32_t(run.layout.words()), int32_t(counts(rec).mics), c, QLocale());
        plan.changes.push_back({run.paths.log, t.toStdString(), nom(run.paths.log) + ": " + run.log_problem + "; written from the header, Nb_ech " +
                               std::to_string(rec.nb_ech) + (run.status_note.empty() ? "" : "; status word: " + run.status_note)});
    }
    return plan;
}

void write_in_place(const std::string &path, const std::string &bytes)
{
    const auto faute = [&](int err) { throw ReadError(path, "", "cannot write: " + std::string(std::strerror(err))); };
    // Through a symbolic link, to its target; a missing file is created as the program does.
    // Anything but a regular file (a folder, a FIFO, a device a link points to) is never opened
    // for writing, and checked again once open.
    struct stat st{};
    const auto pas_fichier = [&] { throw ReadError(path, "", "cannot write: not a regular file"); };
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        pas_fichier();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        faute(errno);
    int err = ::fstat(fd, &st) != 0 ? errno : 0;
    if (err == 0 && !S_ISREG(st.st_mode)) {
        ::close(fd);
        pas_fichier();
    }
    size_t fait = 0;
    while (err == 0 && fait < bytes.size()) {
        const ssize_t w = ::pwrite(fd, bytes.data() + fait, bytes.size() - fait, off_t(fait));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            err = w < 0 ? errno : EIO;
        else
            fait += size_t(w);
    }
    if (err == 0 && ::ftruncate(fd, off_t(bytes.size())) != 0)
        err = errno;
    if (err == 0 && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err != 0)
        faute(err);
}

void apply_repair(const RepairPlan &plan, const std::function<void(const RepairChange &)> &written)
{
    for (const RepairChange &c : plan.changes) {
        write_in_place(c.path, c.bytes);
        if (written)
            written(c);
    }
}

} // namespace reading
