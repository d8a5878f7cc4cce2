// The disk space of a recorded run: the free space of its folder, the console's line for it,
// and the check a host makes before the recorder is opened.
#include "acquisition/moteur_impl.h"

#include "acquisition/planning.h"
#include "recording/console_format.h"

#include <QFile>
#include <QFileInfo>

#include <filesystem>

namespace moteur {

uint64_t Moteur::Impl::espace_libre(const QString &chemin)
{
    if (moteur::Moteur::espace_libre_hook)
        return moteur::Moteur::espace_libre_hook(chemin);
    std::error_code ec;
    const std::filesystem::path dossier(QFile::encodeName(QFileInfo(chemin).absolutePath()).toStdString());
    const std::filesystem::space_info si = std::filesystem::space(dossier, ec);
    if (ec)
        return 0;
    return si.available;
}

std::optional<reglages::Refus> refus_espace(const reglages::Reglages &r)
{
    const int32_t voies = r.voies.choix().nb_voies;
    const uint64_t utilisable = planning::espace_utilisable(Moteur::Impl::espace_libre(*r.fichier));
    if (!planning::place_insuffisante(r.nb_echantillons(), uint64_t(voies) * 4 * r.nb_echantillons(), utilisable))
        return std::nullopt;
    return reglages::Refus{reglages::Champ::Fichier, QStringLiteral("Pas suffisamment de place sur le disque ! ") +
                                                         ligne_espace(utilisable, double(voies) * 4.0 * double(r.frequence()))};
}

} // namespace moteur
