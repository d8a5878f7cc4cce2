// The log file parsed and validated, in any locale.
#include "reading/log.h"

#include "reading/header.h"
#include "recording/cp1252.h"

#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

namespace reading {

namespace {

// Zero of each run of ten decimal digits that a locale may print.
constexpr char32_t zeros[] = {0x30,  0x660, 0x6F0, 0x7C0, 0x966, 0x9E6,  0xA66,  0xAE6,  0xB66,  0xBE6, 0xC66,
                              0xCE6, 0xD66, 0xDE6, 0xE50, 0xED0, 0xF20, 0x1040, 0x1090, 0x17E0, 0x1810, 0xFF10};

int chiffre(char32_t c)
{
    for (char32_t z : zeros)
        if (c >= z && c <= z + 9)
            return int(c - z);
    return -1;
}

// A grouping or decimal separator: anything printable that is neither a digit, a letter nor
// a sign.
bool separateur(char32_t c)
{
    if (c < 0x20 || c == 0x7F || c == 0xFFFD || (c >= 0x80 && c < 0xA0))
        return false;
    if (c < 0x80)
        return !std::isalnum(int(c)) && c != '-' && c != '+';
    return c != 0x2212; // minus sign
}

std::string utf8(std::u32string_view v)
{
    std::string s;
    for (char32_t c : v)
        append_utf8(s, c);
    return s;
}

std::u32string_view sans_blancs(std::u32string_view v)
{
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
        v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
        v.remove_suffix(1);
    return v;
}

uint64_t entier(std::u32string_view v, uint64_t max, const std::string &file, const std::string &key)
{
    v = sans_blancs(v);
    if (v.empty())
        throw ReadError(file, key, "no value");
    uint64_t n = 0;
    for (char32_t c : v) {
        const int d = chiffre(c);
        if (d < 0)
            throw ReadError(file, key, "\"" + utf8(v) + "\" is not a whole number");
        n = n * 10 + uint64_t(d);
        if (n > max)
            throw ReadError(file, key, utf8(v) + " is more than " + std::to_string(max));
    }
    return n;
}

std::vector<std::u32string_view> mots(std::u32string_view v)
{
    std::vector<std::u32string_view> out;
    size_t i = 0;
    while (i < v.size()) {
        while (i < v.size() && (v[i] == ' ' || v[i] == '\t'))
            ++i;
        const size_t debut = i;
        while (i < v.size() && v[i] != ' ' && v[i] != '\t')
            ++i;
        if (i > debut)
            out.push_back(v.substr(debut, i - debut));
    }
    return out;
}

// The flags of one line: `n` words, each 0 or 1.
void drapeaux(std::u32string_view v, int8_t *out, int n, const std::string &file, const std::string &key)
{
    const auto m = mots(v);
    if (int(m.size()) != n)
        throw ReadError(file, key, std::to_string(m.size()) + " flags, expected " + std::to_string(n));
    for (int i = 0; i < n; ++i)
        out[i] = int8_t(entier(m[i], 1, file, key));
}

// Three whole numbers separated by `sep` ("07/12/2022", "14:05:09"), each at most its bound.
std::array<uint16_t, 3> trois(std::u32string_view v, char32_t sep, std::array<uint64_t, 3> max, const std::string &file,
                              const std::string &key, const char *forme)
{
    const auto p1 = v.find(sep), p2 = v.rfind(sep);
    if (p1 == std::u32string_view::npos || p1 == p2)
        throw ReadError(file, key, "\"" + utf8(v) + "\" is not " + forme);
    return {uint16_t(entier(v.substr(0, p1), max[0], file, key)),
            uint16_t(entier(v.substr(p1 + 1, p2 - p1 - 1), max[1], file, key)),
            uint16_t(entier(v.substr(p2 + 1), max[2], file, key))};
}

} // namespace

int day_of_week(int y, int m, int d)
{
    static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3)
        y -= 1;
    return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}

double parse_locale_number(std::u32string_view v, int decimals, const std::string &file, const std::string &key)
{
    v = sans_blancs(v);
    const std::string texte = "\"" + utf8(v) + "\"";
    if (v.empty())
        throw ReadError(file, key, "no value");
    if (chiffre(v.front()) < 0 || chiffre(v.back()) < 0)
        throw ReadError(file, key, texte + " is not a number");
    // The decimal separator: the last separator when decimals are expected after it.
    size_t point = std::u32string_view::npos;
    for (size_t i = v.size(); i-- > 0;)
        if (chiffre(v[i]) < 0) {
            point = i;
            break;
        }
    if (decimals > 0 && (point == std::u32string_view::npos || v.size() - point - 1 != size_t(decimals)))
        throw ReadError(file, key, texte + " has not exactly " + std::to_string(decimals) + " decimal");
    if (decimals == -1 && point != std::u32string_view::npos) {
        // The frequency: digits, at most one separator, digits.
        for (size_t i = 0; i < point; ++i)
            if (chiffre(v[i]) < 0)
                throw ReadError(file, key, texte + " is not a number");
    }
    if (decimals == 0)
        point = std::u32string_view::npos;
    double entiere = 0, fraction = 0, echelle = 1;
    bool avant_separateur = false;
    for (size_t i = 0; i < v.size(); ++i) {
        const int d = chiffre(v[i]);
        if (d < 0) {
            if (!separateur(v[i]) || avant_separateur)
                throw ReadError(file, key, texte + " is not a number");
            avant_separateur = true; // two separators in a row are no number
            continue;
        }
        avant_separateur = false;
        if (point != std::u32string_view::npos && i > point) {
            echelle /= 10;
            fraction += d * echelle;
        } else {
            entiere = entiere * 10 + d;
        }
    }
    if (entiere > 1e15)
        throw ReadError(file, key, texte + " is out of range");
    return entiere + fraction;
}

LogRecord parse_log(std::string_view text, const std::string &file)
{
    if (text.empty())
        throw ReadError(file, "", "the file is empty (the run did not end normally?)");
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3); // the byte-order mark that Windows editors put before UTF-8
    const std::u32string tout = decode_utf8(text);
    const std::u32string_view t = tout;
    static const std::u32string optionnal = U"[OPTIONNAL]";
    const size_t pos_opt = t.find(optionnal);
    if (pos_opt == std::u32string_view::npos)
        throw ReadError(file, "[OPTIONNAL]", "missing: the file is cut or is no log of a run");

    LogRecord r;
    std::memset(r.rec.texte_commentaire, ' ', sizeof r.rec.texte_commentaire);
    std::map<std::string, std::u32string_view> valeurs;
    std::vector<bool> faisceau_vu(128, false);
    const std::u32string_view tete = t.substr(0, pos_opt);
    size_t i = 0;
    while (i < tete.size()) {
        size_t fin = tete.find(U'\n', i);
        if (fin == std::u32string_view::npos)
            fin = tete.size();
        std::u32string_view ligne = tete.substr(i, fin - i);
        i = fin + 1;
        if (!ligne.empty() && ligne.back() == U'\r')
            ligne.remove_suffix(1);
        ligne = sans_blancs(ligne);
        if (ligne.empty() || ligne.front() == U'[')
            continue;
        if (ligne.substr(0, 9) == U"Faisceau_") {
            const auto m = mots(ligne);
            const std::string cle = utf8(m[0]);
            const int b = int(entier(m[0].substr(9), 127, file, cle));
            if (faisceau_vu[b])
                throw ReadError(file, cle, "given twice");
            faisceau_vu[b] = true;
            drapeaux(ligne.substr(m[0].size()), r.rec.micros_actifs[b], 8, file, cle);
            continue;
        }
        const size_t egal = ligne.find(U'=');
        if (egal == std::u32string_view::npos)
            throw ReadError(file, utf8(ligne.substr(0, 40)), "a line that is neither a title nor \"key = value\"");
        const std::string cle = utf8(sans_blancs(ligne.substr(0, egal)));
        std::u32string_view valeur = ligne.substr(egal + 1);
        if (const size_t pv = valeur.find(U';'); pv != std::u32string_view::npos)
            valeur = valeur.substr(0, pv);
        if (!valeurs.emplace(cle, valeur).second)
            throw ReadError(file, cle, "given twice");
    }

    const auto exige = [&](const char *cle) {
        const auto it = valeurs.find(cle);
        if (it == valeurs.end())
            throw ReadError(file, cle, "missing");
        const auto v = it->second;
        valeurs.erase(it);
        return v;
    };
    for (int b = 0; b < 128; ++b)
        if (!faisceau_vu[b]) {
            char cle[16];
            std::snprintf(cle, sizeof cle, "Faisceau_%03d", b);
            throw ReadError(file, cle, "missing");
        }

    // [Date]
    SystemTime &d = r.rec.date_heure;
    const auto jour = trois(sans_blancs(exige("Date")), U'/', {31, 12, 30827}, file, "Date", "day/month/year");
    d.wDay = jour[0];
    d.wMonth = jour[1];
    d.wYear = jour[2];
    if (d.wYear < 1601 || !day_exists(d.wYear, d.wMonth, d.wDay))
        throw ReadError(file, "Date", std::to_string(d.wDay) + "/" + std::to_string(d.wMonth) + "/" +
                                          std::to_string(d.wYear) + " is no date");
    d.wDayOfWeek = uint16_t(day_of_week(d.wYear, d.wMonth, d.wDay));
    const auto heure = trois(sans_blancs(exige("Heure")), U':', {23, 59, 59}, file, "Heure", "hour:minute:second");
    d.wHour = heure[0];
    d.wMinute = heure[1];
    d.wSecond = heure[2];

    // [Voies] and the flags.
    if (entier(exige("Nb_faisceaux"), 1000, file, "Nb_faisceaux") != 32)
        throw ReadError(file, "Nb_faisceaux", "the recorder has 32 beams");
    r.nb_voies = int(entier(exige("Nb_voies"), 262, file, "Nb_voies"));
    r.nb_micros = int(entier(exige("Nb_micros_actifs"), 256, file, "Nb_micros_actifs"));
    const int nb_va = int(entier(exige("Nb_voies_analogiques"), 16, file, "Nb_voies_analogiques"));
    const int nb_compteurs = int(entier(exige("Nb_compteurs"), 4, file, "Nb_compteurs"));
    for (int n = 0; n < 4; ++n) {
        const std::string cle = std::string("Bloc_") + char('A' + n);
        drapeaux(exige(cle.c_str()), r.rec.va_actives[n], 4, file, cle);
    }
    drapeaux(exige("Compteurs"), r.rec.compteurs_actifs, 4, file, "Compteurs");
    for (int b = 32; b < 128; ++b)
        for (int8_t f : r.rec.micros_actifs[b])
            if (f) {
                char cle[16];
                std::snprintf(cle, sizeof cle, "Faisceau_%03d", b);
                throw ReadError(file, cle, "flag set, but the recorder has 32 beams");
            }
    for (int n = 1; n < 4; ++n)
        for (int8_t f : r.rec.va_actives[n])
            if (f)
                throw ReadError(file, std::string("Bloc_") + char('A' + n), "flag set, but the recorder has only block A");
    for (int k = 1; k < 4; ++k)
        if (r.rec.compteurs_actifs[k])
            throw ReadError(file, "Compteurs", "flag set, but the recorder has one counter");
    const HeaderCounts c = counts(r.rec);
    if (c.mics != r.nb_micros)
        throw ReadError(file, "Nb_micros_actifs", std::to_string(r.nb_micros) + ", but " + std::to_string(c.mics) +
                                                     " microphone flags are set");
    if (c.analog != nb_va)
        throw ReadError(file, "Nb_voies_analogiques",
                        std::to_string(nb_va) + ", but " + std::to_string(c.analog) + " analogue flags are set");
    if (c.counters != nb_compteurs)
        throw ReadError(file, "Nb_compteurs",
                        std::to_string(nb_compteurs) + ", but " + std::to_string(c.counters) + " counter flags are set");
    if (r.nb_voies != c.words() && r.nb_voies != c.words() + 1)
        throw ReadError(file, "Nb_voies", std::to_string(r.nb_voies) + ", but the flags give " + std::to_string(c.words()) +
                                             " words (one more with the status word)");
    if (r.nb_voies == 0)
        throw ReadError(file, "Nb_voies", "0: a frame of no word");
    r.status = r.nb_voies == c.words() + 1;

    // [Acquisition]
    {
        const auto v = sans_blancs(exige("Freq"));
        r.freq_text = utf8(v);
        const double f = parse_locale_number(v, -1, file, "Freq");
        if (!(f >= 1) || f > 500000)
            throw ReadError(file, "Freq", r.freq_text + " is not a sampling frequency (1 to 500000 Hz)");
        r.rec.freq = float(f);
    }
    {
        const auto v = sans_blancs(exige("Duree"));
        r.duree_text = utf8(v);
        r.duree = parse_locale_number(v, 1, file, "Duree");
        size_t k = v.size() - 2;
        r.decimal_point = std::u32string(v.substr(k, 1));
        r.rec.duree_acquise = float(r.duree);
    }
    r.rec.nb_ech = uint32_t(entier(exige("Nb_ech"), UINT32_MAX, file, "Nb_ech"));
    {
        const std::string type = utf8(sans_blancs(exige("Type")));
        if (type != "float32" && type != "int32")
            throw ReadError(file, "Type", "\"" + type + "\", the sample type is int32 or float32");
        r.rec.type_float = type == "float32";
    }
    if (!valeurs.empty())
        throw ReadError(file, valeurs.begin()->first, "unknown key");

    // [OPTIONNAL]: the comment, the rest of the file less its last line end.
    std::u32string_view reste = t.substr(pos_opt + optionnal.size());
    if (reste.substr(0, 2) == U"\r\n")
        reste.remove_prefix(2);
    else if (reste.substr(0, 1) == U"\n")
        reste.remove_prefix(1);
    if (reste.size() >= 2 && reste.substr(reste.size() - 2) == U"\r\n")
        reste.remove_suffix(2);
    else if (!reste.empty() && reste.back() == U'\n')
        reste.remove_suffix(1);
    r.has_comment = !reste.empty();
    r.comment = utf8(reste);
    if (r.has_comment) {
        // The header's field: the comment in the code page, then a zero byte when it fits.
        size_t n = 0;
        for (; n < reste.size() && n < sizeof r.rec.texte_commentaire; ++n)
            r.rec.texte_commentaire[n] = octet_cp1252(reste[n]);
        if (n < sizeof r.rec.texte_commentaire) {
            r.rec.texte_commentaire[n] = 0;
            for (size_t k = n + 1; k < sizeof r.rec.texte_commentaire; ++k)
                r.rec.texte_commentaire[k] = 0;
        }
    }
    return r;
}

} // namespace reading
