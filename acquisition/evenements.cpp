// The console's French line of each typed report.
#include "acquisition/evenements.h"

#include "acquisition/planning.h"
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
    case Raison::AppareilAbsent:
        return QStringLiteral("Pas de détection de Velmarix !\r\n");
    case Raison::AppareilOccupe:
        return QStringLiteral("Le Velmarix est déjà utilisé par un autre programme : fermer cet autre programme, puis %1.\r\n")
            .arg(e.objet.isEmpty() ? QStringLiteral("appuyer sur Init") : e.objet);
    case Raison::AppareilSilencieux:
        return QStringLiteral("Velmarix 256 ne répond pas ! \r\nVérifier l'alimentation !\r\n");
    case Raison::AppareilDetecte:
        return QStringLiteral("Velmarix 256 détecté `\r\n\r\n");
    case Raison::LimiteUsbfs:
        return usbfs::message(uint32_t(e.a), uint32_t(e.b));
    case Raison::Frequence:
        return QStringLiteral("Fréquence : %1 Hz.  Durée max d'acquisition (si le disque le supporte) : %2 s \r\n")
            .arg(fmt_N0(double(e.a)), fmt_N1(planning::duree_max(float(e.a))));
    case Raison::DureeTropLongue:
        return QStringLiteral("Durée trop longue : %1 s, au plus %2 s à %3 Hz\r\n")
            .arg(fmt_N1(double(e.a) / 10.0), fmt_N1(planning::duree_max(float(e.b))), fmt_N0(double(e.b)));
    case Raison::PasDeVoie:
        return QStringLiteral("Pas de voie choisie !\r\n");
    case Raison::PasDeFichier:
        return QStringLiteral("Pas de fichier choisi\r\n");
    case Raison::FichierDisparu:
        return QStringLiteral("Le fichier %1 n'existe plus : choisir un nouveau fichier\r\n").arg(e.objet);
    case Raison::PlaceInsuffisante:
        return QStringLiteral("Pas suffisamment de place sur le disque !\r\n");
    case Raison::EspaceDisque:
        return ligne_espace(uint64_t(e.a), double(e.b)) + QStringLiteral("\r\n");
    case Raison::MemoireTampons:
        return QStringLiteral("Mémoire insuffisante pour les tampons d'acquisition\r\n");
    }
    return {};
}

QString ligne_espace(uint64_t utilisable, double octets_par_s)
{
    const bool go = utilisable >= 1073741824u;
    return QStringLiteral("%1 %2 disponibles sur le disque, soit %3 s")
        .arg(fmt_N0(go ? utilisable / 1073741824u : utilisable / 1048576u), go ? QStringLiteral("Go") : QStringLiteral("Mo"),
             fmt_N1(octets_par_s > 0 ? double(utilisable) / octets_par_s : 0.0));
}

} // namespace moteur
