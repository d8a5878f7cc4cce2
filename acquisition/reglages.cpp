#include "acquisition/reglages.h"

#include "acquisition/planning.h"
#include "recording/console_format.h"
#include "device/commands.h"
#include "device/horloge.h"
#include "recording/commentaire.h"
#include "recording/fichiers.h"

#include <QFile>
#include <QFileInfo>

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <cmath>

namespace reglages {

namespace {

bool entree_valide(int e)
{
    return e >= 0 && e < horloge::NB_ENTREES;
}

Refus refus_duree(const QString &texte, int entree)
{
    return {Champ::Duree, QStringLiteral("Durée refusée : « %1 » ; de 0 à %2 s, une décimale au plus (« , » ou « . »)")
                              .arg(texte, fmt_N1(planning::duree_max(horloge::frequence_entree(entree))))};
}

// A whole number of tenths of a second, as the duration box holds it.
bool en_dixiemes(double d)
{
    return std::isfinite(d) && std::abs(d * 10.0 - std::round(d * 10.0)) < 1e-6;
}

} // namespace

uint8_t Declenchement::octet() const
{
    return cmd::octet_declenchement(static_cast<int>(source), static_cast<int>(condition));
}

Voies Voies::fenetre()
{
    Voies v;
    v.micros = selection::Grille::pleine().micros;
    v.compteur = true;
    return v;
}

float Reglages::frequence() const
{
    return horloge::frequence_entree(entree_frequence);
}

int Reglages::delai_envoye() const
{
    return delai.value_or(horloge::DELAIS[static_cast<size_t>(entree_frequence)]);
}

uint32_t Reglages::nb_echantillons() const
{
    return planning::nb_echantillons(duree.value_or(0.0), frequence(), duree.has_value());
}

std::optional<double> lit_duree(QStringView texte, int entree_frequence, Refus *refus)
{
    const std::optional<double> v = saisie::lit_decimal(texte, 1);
    if (v && entree_valide(entree_frequence) && *v <= planning::duree_max(horloge::frequence_entree(entree_frequence)))
        return v;
    if (refus)
        *refus = refus_duree(texte.toString(), entree_valide(entree_frequence) ? entree_frequence : 0);
    return std::nullopt;
}

std::optional<Refus> verifie(const Reglages &r)
{
    if (!entree_valide(r.entree_frequence))
        return Refus{Champ::Frequence, QStringLiteral("Fréquence inconnue : entrée %1 de la liste, de 0 à %2")
                                           .arg(r.entree_frequence)
                                           .arg(horloge::NB_ENTREES - 1)};
    if (r.voies.choix().nb_voies == 0)
        return Refus{Champ::Voies, QStringLiteral("Pas de voie choisie !")};
    if (r.duree) {
        const double d = *r.duree;
        if (!en_dixiemes(d) || d < 0.0 || d > planning::duree_max(r.frequence()))
            return refus_duree(std::isfinite(d) ? QString::number(d, 'g', 17) : QStringLiteral("?"), r.entree_frequence);
        if (r.stop.externe())
            return Refus{Champ::Declenchement,
                         QStringLiteral("Une durée définie arrête l'acquisition d'elle-même : l'arrêt sur Trig1 ou Trig2 "
                                        "n'est offert que sans durée définie")};
    }
    if (r.delai && (*r.delai < horloge::DELAI_MIN || *r.delai > horloge::DELAI_MAX))
        return Refus{Champ::Delai, QStringLiteral("Delay refusé : %1 ; de %2 à %3")
                                       .arg(*r.delai)
                                       .arg(horloge::DELAI_MIN)
                                       .arg(horloge::DELAI_MAX)};
    if (r.fichier && r.fichier->isEmpty())
        return Refus{Champ::Fichier, QStringLiteral("Pas de fichier choisi")};
    if (r.commentaire) {
        if (!r.fichier)
            return Refus{Champ::Commentaire, QStringLiteral("Le commentaire n'est gardé qu'avec les fichiers de l'acquisition")};
        const qsizetype n = longueur_stockee(*r.commentaire);
        if (n > TAILLE_COMMENTAIRE)
            return Refus{Champ::Commentaire, QStringLiteral("Commentaire trop long : %1 caractères une fois enregistré "
                                                            "(un saut de ligne en compte deux), au plus %2")
                                                 .arg(n)
                                                 .arg(TAILLE_COMMENTAIRE)};
    }
    return std::nullopt;
}

std::optional<Refus> verifie_fichiers(const QString &chemin, bool remplacer)
{
    const auto refus = [](const QString &m) { return Refus{Champ::Fichier, m}; };
    const auto systeme = [] { return QString::fromLocal8Bit(std::strerror(errno)); };
    // The folder must be there and take new files.
    const QString dossier = QFileInfo(chemin).absolutePath();
    if (!QFileInfo(dossier).isDir())
        return refus(QStringLiteral("Le dossier %1 n'existe pas").arg(dossier));
    if (::access(QFile::encodeName(dossier).constData(), W_OK | X_OK) != 0)
        return refus(QStringLiteral("Le dossier %1 n'accepte pas de nouveau fichier : %2").arg(dossier, systeme()));
    const NomsCompagnons noms = noms_compagnons(chemin);
    for (const QString &nom : {chemin, noms.entete, noms.log}) {
        const QFileInfo f(nom);
        if (f.isDir())
            return refus(QStringLiteral("%1 est un dossier").arg(nom));
        // A link to nothing would create its target elsewhere, wherever it points.
        if (f.isSymLink() && !f.exists())
            return refus(QStringLiteral("%1 est un lien vers %2, qui n'existe pas").arg(nom, f.symLinkTarget()));
        // A FIFO, a device or a socket: no run's file, and its companions would land beside it.
        if (f.exists() && !f.isFile())
            return refus(QStringLiteral("%1 n'est pas un fichier ordinaire").arg(nom));
        if (!remplacer && f.exists())
            return refus(QStringLiteral("Le fichier %1 existe déjà : l'acquisition qu'il tient serait écrasée").arg(nom));
        if (f.exists() && ::access(QFile::encodeName(nom).constData(), W_OK) != 0)
            return refus(QStringLiteral("Le fichier %1 ne peut pas être remplacé : %2").arg(nom, systeme()));
    }
    return std::nullopt;
}

} // namespace reglages
