// The console's French line of each typed report.
#include "acquisition/evenements.h"

#include "device/usbfs.h"
#include "recording/console_format.h"

#include <cstring>

namespace moteur {

QString texte(const Evenement &e)
{
    switch (e.raison) {
    case Raison::SautCompteur:
        return QStringLiteral("\r\nErreur sur le compteur paquet : %1\r\n").arg(fmt_N0(uint64_t(e.a)));
    case Raison::ReserveMoitie:
        return QStringLiteral("\r\nLe disque est plus lent que l'enregistreur : la réserve en mémoire est à moitié pleine "
                              "(%1 Mo en attente d'écriture)\r\n")
            .arg(fmt_N0(uint64_t(e.a)));
    case Raison::ReservePleine:
        return QStringLiteral("\r\nRéserve en mémoire pleine à 90 % : le disque ne suit pas, arrêt de l'acquisition. "
                              "Toutes les données reçues seront écrites.\r\n");
    case Raison::EcritureDonnees:
        return QStringLiteral("Erreur d'écriture du fichier de données %1 (%2) : arrêt de l'acquisition\r\n")
            .arg(e.objet, QString::fromLocal8Bit(std::strerror(int(e.a))));
    case Raison::PlafondTrames:
        return QStringLiteral("\r\nNombre maximal d'échantillons d'un fichier (%1) bientôt atteint : arrêt de l'acquisition\r\n")
            .arg(fmt_N0(uint64_t(e.a)));
    case Raison::RefusUsbfs:
        return usbfs::message_en_cours(uint32_t(e.a), uint32_t(e.b));
    case Raison::TransfertExpire:
        return QStringLiteral("TIMEOUT lors du transfert du paquet %1\r\n").arg(fmt_N0(uint64_t(e.a)));
    case Raison::TransfertEchoue:
        return QStringLiteral("Erreur lors du transfert du paquet %1 status %2\r\n").arg(fmt_N0(uint64_t(e.a)), fmt_G(e.b));
    case Raison::MotCoupe:
        return QStringLiteral("\r\nPaquet %1 incomplet : %2 octets, pas un nombre entier de mots. Données conservées, "
                              "contrôle du compteur suspendu pour cette acquisition\r\n")
            .arg(fmt_N0(uint64_t(e.a)), fmt_N0(uint64_t(e.b)));
    case Raison::AppareilDisparu:
        return QStringLiteral("Le Velmarix a disparu du bus USB : vérifier le câble et l'alimentation, puis %1.\r\n")
            .arg(e.objet.isEmpty() ? QStringLiteral("appuyer sur Init") : e.objet);
    case Raison::AppareilMuet:
        return QStringLiteral("Le Velmarix ne répond plus : acquisition interrompue, les données reçues sont conservées. "
                              "Il sera réinitialisé au prochain Start.\r\n");
    case Raison::OctetsManquants:
        return QStringLiteral("Manquent %1 octets dans l'acquisition !\r\n").arg(fmt_G(e.a));
    case Raison::DeclenchementAbsent:
        return QStringLiteral("Temps d'attente dépassé...    ");
    }
    return {};
}

} // namespace moteur
