#pragma once
// The settings of one run as a plain value: what the window's controls hold today, and what
// a command line gives. Validated in one place (`verifie`) by the same rules the window
// applies, so that a run configured from either never differs.
#include "channels/selection.h"

#include <QString>
#include <QStringView>

#include <array>
#include <cstdint>
#include <optional>

namespace reglages {

// Trigger of the start (command 02) or of the stop (command 03).
enum class Source { Soft, Trig1, Trig2 };
enum class Condition { FrontMontant, FrontDescendant, EtatHaut, EtatBas };

struct Declenchement {
    Source source = Source::Soft;
    Condition condition = Condition::FrontMontant; // looked at for Trig1 and Trig2 only
    bool externe() const { return source != Source::Soft; }
    uint8_t octet() const; // the trigger byte of the start or stop command
    bool operator==(const Declenchement &) const = default;
};

// The channels of a frame: microphones per beam, counter, status word, analogue channels.
struct Voies {
    selection::Micros micros{};
    bool compteur = false;
    bool status = false;
    std::array<bool, selection::NB_VA> va{};

    // What the window shows when it opens: every microphone and the counter.
    static Voies fenetre();
    selection::Choix choix() const { return selection::calcule_choix(micros, compteur, status, va); }
    bool operator==(const Voies &) const = default;
};

struct Reglages {
    int entree_frequence = 0;          // 0..16, the frequency list's entry (horloge::DIVISIONS)
    Voies voies = Voies::fenetre();
    bool flottant = false;             // float32 samples, else int32
    std::optional<double> duree;       // seconds, a whole number of tenths; none: open-ended
    Declenchement start, stop;
    std::optional<int> delai;          // none: the entry's default (horloge::DELAIS)
    std::optional<QString> fichier;    // data file of a recorded run; none: not recorded
    std::optional<QString> commentaire; // as typed (stored through commentaire_complete)

    float frequence() const;           // the host's frequency of the entry
    int delai_envoye() const;          // the delay setting sent after the clock command
    uint32_t nb_echantillons() const;  // frames requested (0: no fixed count)
};

// What is refused, and which setting it belongs to (so a host can name its own control or option).
enum class Champ { Frequence, Voies, Duree, Declenchement, Delai, Fichier, Commentaire };
struct Refus {
    Champ champ;
    QString message; // one line, without line end
};

// A duration as the window's duration box takes it: '.' or ',' as the decimal mark, one
// decimal at most, blanks around, from 0 to the longest the entry's frequency allows
// (planning::duree_max). Refused with the window's own text otherwise.
std::optional<double> lit_duree(QStringView texte, int entree_frequence, Refus *refus);

// Every rule a run's settings must meet before anything is sent to the recorder: an entry of
// the list, at least one channel, a duration within the window's bounds, no stop trigger on a
// fixed duration (the window offers the stop triggers only to open-ended runs), a delay the
// recorder takes, a data file that is no folder, a comment that fits the header's field.
std::optional<Refus> verifie(const Reglages &r);

// The data file and its companions: refused when their folder is missing or takes no new file,
// when one of them already exists (an earlier run would be overwritten) unless `remplacer`, or
// when one is a folder, a FIFO, a device, a link to nothing, or a file that cannot be written.
// Creates nothing.
std::optional<Refus> verifie_fichiers(const QString &chemin, bool remplacer);

} // namespace reglages
