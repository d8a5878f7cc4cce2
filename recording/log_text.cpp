// The log file text.
#include "recording/log_text.h"

#include "recording/console_format.h"

#include <charconv>

QString forme_courte(float v, const QLocale &locale)
{
    char tampon[64];
    const auto r = std::to_chars(tampon, tampon + sizeof tampon, v, std::chars_format::fixed);
    QString s = QString::fromLatin1(tampon, r.ptr - tampon);
    s.replace(QLatin1Char('.'), locale.decimalPoint());
    return s;
}

QByteArray texte_log(const type_header_file &h, int32_t nb_voies, int32_t nb_micros,
                     const std::optional<QString> &commentaire, const QLocale &locale)
{
    QString t;
    const auto ligne = [&t](const QString &s) {
        t += s;
        t += QLatin1String("\r\n");
    };
    const auto drapeaux = [](const int8_t *d, int n) {
        QString s;
        for (int i = 0; i < n; ++i)
            s += QLatin1String("  ") + QString::number(d[i]);
        return s;
    };

    int va = 0;
    for (const auto &bloc : h.va_actives)
        for (int8_t f : bloc)
            va += f;
    int compteurs = 0;
    for (int8_t f : h.compteurs_actifs)
        compteurs += f;

    const SystemTime &d = h.date_heure;
    ligne(QStringLiteral("[DEFAULT]\n"));
    ligne(QStringLiteral("[Date]"));
    ligne(QStringLiteral("Date = %1/%2/%3     ;jour mois année")
              .arg(fmt_D(d.wDay, 2), fmt_D(d.wMonth, 2), fmt_D(d.wYear, 4)));
    ligne(QStringLiteral("Heure = %1:%2:%3").arg(fmt_D(d.wHour, 2), fmt_D(d.wMinute, 2), fmt_D(d.wSecond, 2)));

    ligne(QStringLiteral("\n[Voies]"));
    ligne(QStringLiteral("Nb_faisceaux = 32"));
    ligne(QStringLiteral("Nb_voies = %1").arg(nb_voies));
    ligne(QStringLiteral("Nb_micros_actifs = %1").arg(nb_micros));
    ligne(QStringLiteral("Nb_voies_analogiques = %1").arg(va));
    ligne(QStringLiteral("Nb_compteurs = %1").arg(compteurs));

    ligne(QStringLiteral("\n[Micros actifs]"));
    for (int f = 0; f < 128; ++f)
        ligne(QStringLiteral("Faisceau_") + fmt_D(f, 3) + drapeaux(h.micros_actifs[f], 8));

    ligne(QStringLiteral("\n[VA actives]"));
    for (int n = 0; n < 4; ++n)
        ligne(QStringLiteral("Bloc_") + QChar(u'A' + n) + QStringLiteral(" = ") + drapeaux(h.va_actives[n], 4));

    ligne(QStringLiteral("\n[Compteurs actifs]"));
    ligne(QStringLiteral("Compteurs = ") + drapeaux(h.compteurs_actifs, 4));

    ligne(QStringLiteral("\n[Acquisition]"));
    ligne(QStringLiteral("Freq = %1      ; (Hz)").arg(forme_courte(h.freq, locale)));
    ligne(QStringLiteral("Duree = %1       ; (s)").arg(locale.toString(double(h.duree_acquise), 'f', 1)));
    ligne(QStringLiteral("Nb_ech = %1").arg(h.nb_ech));
    ligne(h.type_float != 0 ? QStringLiteral("Type = float32") : QStringLiteral("Type = int32"));
    ligne(QStringLiteral("\n\n[OPTIONNAL]"));
    ligne(commentaire.value_or(QString()));
    return t.toUtf8();
}
