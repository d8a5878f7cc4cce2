// Integrity of a recorded run.
#include "reading/check.h"

#include <cmath>
#include <cstring>
#include <filesystem>

namespace reading {

namespace {

std::string nom(const std::string &chemin)
{
    return std::filesystem::path(chemin).filename().string();
}

std::string date_texte(const SystemTime &d)
{
    char t[48];
    std::snprintf(t, sizeof t, "%04u-%02u-%02u %02u:%02u:%02u", d.wYear, d.wMonth, d.wDay, d.wHour, d.wMinute,
                  d.wSecond);
    return t;
}

// The frame count of a description against the data file's whole frames.
void compare_nb_ech(std::vector<std::string> &p, const std::string &file, const char *champ, uint64_t nb_ech,
                    uint64_t frames, bool partial)
{
    if (nb_ech == frames)
        return;
    p.push_back(nom(file) + ": " + champ + ": " + std::to_string(nb_ech) + " frames, the data file holds " +
                std::to_string(frames) +
                (nb_ech < frames ? " (behind: the run was cut; `viz256-run repair` brings it to the data)"
                 : nb_ech == frames + 1 && partial ? " (ahead: it counts the partial frame at the end of the data file)"
                                                   : " (ahead: frames are missing from the data file)"));
}

} // namespace

std::string describe(const Gap &g)
{
    const int64_t m = g.missing();
    return "frame " + std::to_string(g.frame) + ": " +
           (m >= 0 ? std::to_string(m) + " frame" + (m == 1 ? "" : "s") + " missing"
                   : "the counter goes back by " + std::to_string(-m - 1) + (m == -1 ? " (repeated)" : "")) +
           " (counter " + std::to_string(g.before) + " then " + std::to_string(g.after) + ")";
}

std::string partial_frame_note(const Run &run)
{
    const uint64_t t = run.trailing_bytes();
    if (t == 0)
        return {};
    const bool compte = (run.header && run.header->nb_ech > run.frames()) || (run.log && run.log->rec.nb_ech > run.frames());
    if (compte)
        return {}; // "ahead" says what is wrong
    return "the last " + std::to_string(t) + " byte" + (t == 1 ? "" : "s") + " of " + nom(run.paths.dat) +
           " are a partial frame, not counted by the header";
}

std::vector<std::string> description_problems(const Run &run)
{
    std::vector<std::string> p;
    if (!run.header)
        p.push_back(run.header_problem == "missing" ? nom(run.paths.header) + ": missing" : run.header_problem);
    if (!run.log)
        p.push_back(run.log_problem == "missing" ? nom(run.paths.log) + ": missing" : run.log_problem);

    const float freq = run.rec.freq;
    if (run.header) {
        const type_header_file &h = *run.header;
        compare_nb_ech(p, run.paths.header, "nb_ech", h.nb_ech, run.frames(), run.trailing_bytes() != 0);
        const float attendue = float(h.nb_ech) / freq;
        if (std::fabs(h.duree_acquise - attendue) > 1e-6f * std::max(1.0f, attendue))
            p.push_back(nom(run.paths.header) + ": duree_acquise: " + std::to_string(h.duree_acquise) +
                        " s, nb_ech / freq gives " + std::to_string(attendue));
    }
    if (run.log) {
        const LogRecord &l = *run.log;
        compare_nb_ech(p, run.paths.log, "Nb_ech", l.rec.nb_ech, run.frames(), run.trailing_bytes() != 0);
        const double attendue = double(l.rec.nb_ech) / double(l.rec.freq);
        if (std::fabs(l.duree - attendue) > 0.05 + 1e-6 * std::max(1.0, attendue))
            p.push_back(nom(run.paths.log) + ": Duree: " + l.duree_text + ", Nb_ech / Freq gives " +
                        std::to_string(attendue));
    }
    if (run.header && run.log) {
        const type_header_file &h = *run.header, &l = run.log->rec;
        const std::string logn = nom(run.paths.log) + ": ";
        const auto differe = [&](const std::string &cle, const std::string &dans_log, const std::string &dans_entete) {
            p.push_back(logn + cle + ": " + dans_log + ", the header says " + dans_entete);
        };
        SystemTime dh = h.date_heure, dl = l.date_heure;
        dh.wMilliseconds = dl.wMilliseconds = 0;
        dh.wDayOfWeek = dl.wDayOfWeek = 0;
        if (std::memcmp(&dh, &dl, sizeof dh) != 0)
            differe("Date", date_texte(dl), date_texte(dh));
        if (std::memcmp(h.micros_actifs, l.micros_actifs, sizeof h.micros_actifs) != 0)
            differe("Micros actifs", "microphone flags", "others");
        if (std::memcmp(h.va_actives, l.va_actives, sizeof h.va_actives) != 0)
            differe("VA actives", "analogue flags", "others");
        if (std::memcmp(h.compteurs_actifs, l.compteurs_actifs, sizeof h.compteurs_actifs) != 0)
            differe("Compteurs", "counter flags", "others");
        const int base = counts(h).words();
        if (run.log->nb_voies != base && run.log->nb_voies != base + 1)
            differe("Nb_voies", std::to_string(run.log->nb_voies), std::to_string(base) + " words (or one more with the status word)");
        if (l.freq != h.freq)
            differe("Freq", run.log->freq_text, std::to_string(h.freq));
        if (l.nb_ech != h.nb_ech)
            differe("Nb_ech", std::to_string(l.nb_ech), std::to_string(h.nb_ech));
        if (l.type_float != h.type_float)
            differe("Type", l.type_float ? "float32" : "int32", h.type_float ? "float32" : "int32");
        if (std::memcmp(h.texte_commentaire, l.texte_commentaire, sizeof h.texte_commentaire) != 0)
            differe("[OPTIONNAL]", "a comment", "another");
    }
    return p;
}

CheckReport check_run(const Run &run, const Progress &progress)
{
    CheckReport r;
    r.problems = description_problems(run);
    if (const std::string n = partial_frame_note(run); !n.empty())
        r.notes.push_back(n);
    if (!run.status_note.empty())
        r.notes.push_back("status word: " + run.status_note);
    if (!run.layout.counter()) {
        r.notes.push_back("no counter recorded: the continuity of the frames cannot be checked");
        return r;
    }
    CounterTrack t;
    const uint64_t total = run.frames() * run.frame_bytes();
    read_frames(run, 0, run.frames(), [&](const uint8_t *f, size_t n, uint64_t first) {
        t.feed(f, n, run.frame_bytes(), first);
        if (progress)
            progress((first + n) * run.frame_bytes(), total);
        return true;
    });
    r.counter_checked = true;
    r.gaps = t.gaps();
    r.gap_count = t.gap_count();
    return r;
}

} // namespace reading
