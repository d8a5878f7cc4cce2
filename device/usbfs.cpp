#include "device/usbfs.h"

#include "recording/console_format.h"

#include <cstdio>

namespace usbfs {

namespace {
constexpr uint64_t MIO = 1048576;
constexpr uint64_t ENREGISTREMENTS = 512;   // the kernel's records of one transfer, rounded up
constexpr uint64_t MORCEAU_SG = 16384;      // one scatter-gather entry per 16 KiB of buffer
constexpr uint64_t ENTREE_SG = 32;
constexpr uint64_t REQUETE_MAX = 8 + 16;    // setup packet and the longest command
} // namespace

uint32_t lit_limite_mo(const char *chemin)
{
    FILE *f = std::fopen(chemin, "r");
    if (!f)
        return 0;
    unsigned long v = 0;
    const bool lu = std::fscanf(f, "%lu", &v) == 1;
    std::fclose(f);
    return lu && v <= UINT32_MAX ? static_cast<uint32_t>(v) : 0;
}

uint64_t octets_transfert(uint64_t longueur, bool bulk)
{
    uint64_t o = longueur + ENREGISTREMENTS;
    if (bulk && longueur > MORCEAU_SG)
        o += (longueur + MORCEAU_SG - 1) / MORCEAU_SG * ENTREE_SG;
    return o;
}

uint32_t besoin_mo(int nb, uint64_t longueur)
{
    const uint64_t octets = uint64_t(nb) * octets_transfert(longueur, true) + octets_transfert(REQUETE_MAX, false);
    return static_cast<uint32_t>((octets + MIO - 1) / MIO);
}

bool suffit(uint32_t limite_mo, uint32_t besoin)
{
    return limite_mo == 0 || limite_mo >= besoin;
}

QString message(uint32_t limite_mo, uint32_t besoin)
{
    const QString b = fmt_G(int64_t(besoin)), l = fmt_G(int64_t(limite_mo));
    if (limite_mo == 0) // no cap: the kernel itself is short of memory
        return QStringLiteral("Le système refuse la mémoire des transferts USB (une acquisition en demande %1 Mo) : "
                              "mémoire insuffisante.\r\n").arg(b);
    QString m = suffit(limite_mo, besoin)
                    ? QStringLiteral("La mémoire des transferts USB en cours (limite usbfs_memory_mb : %1 Mo) est déjà prise en partie "
                                     "par d'autres programmes ou d'autres enregistreurs ; une acquisition en demande %2 Mo : les fermer, "
                                     "ou relever la limite.\r\nLa limite vaut pour tous les appareils USB et tous les programmes "
                                     "ensemble ; acquisitions possibles à la fois sous cette limite : %3.\r\n")
                    : QStringLiteral("Le système limite la mémoire des transferts USB en cours à %1 Mo (usbfs_memory_mb) ; "
                                     "une acquisition en demande %2 Mo : elle ne peut pas démarrer.\r\n");
    m = suffit(limite_mo, besoin) ? m.arg(l, b, fmt_G(int64_t(besoin ? limite_mo / besoin : 0))) : m.arg(l, b);
    m += QStringLiteral("Correction durable : installer la règle udev de viz256 (sudo cmake --install build, ou copier "
                        "packaging/60-viz256.rules dans /etc/udev/rules.d/), puis sudo udevadm control --reload-rules "
                        "et rebrancher le Velmarix.\r\n"
                        "Correction jusqu'au prochain démarrage : echo %1 | sudo tee %2\r\n")
             .arg(fmt_G(int64_t(LIMITE_REGLE_MO)), QString::fromLatin1(CHEMIN_LIMITE));
    return m;
}

QString message_en_cours(uint32_t limite_mo, uint32_t besoin)
{
    QString cause;
    if (limite_mo == 0)
        cause = QStringLiteral("le système manque de mémoire");
    else if (suffit(limite_mo, besoin))
        cause = QStringLiteral("d'autres programmes ont pris une partie de la mémoire des transferts USB (limite usbfs_memory_mb : "
                               "%1 Mo, une acquisition en demande %2 Mo)");
    else
        cause = QStringLiteral("la limite de la mémoire des transferts USB a été abaissée à %1 Mo (usbfs_memory_mb), une "
                               "acquisition en demande %2 Mo");
    if (limite_mo != 0)
        cause = cause.arg(fmt_G(int64_t(limite_mo)), fmt_G(int64_t(besoin)));
    return QStringLiteral("\r\nTransferts USB refusés en cours d'acquisition : %1. Arrêt de l'acquisition ; les données "
                          "reçues sont conservées.\r\n")
        .arg(cause);
}

std::optional<QString> verifie(int nb, uint64_t longueur)
{
    const uint32_t limite = lit_limite_mo();
    const uint32_t besoin = besoin_mo(nb, longueur);
    if (suffit(limite, besoin))
        return std::nullopt;
    return message(limite, besoin);
}

QString message_refus(int nb, uint64_t longueur)
{
    return message(lit_limite_mo(), besoin_mo(nb, longueur));
}

} // namespace usbfs
