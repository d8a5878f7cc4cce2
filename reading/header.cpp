// The names of a run's files and its header record, validated.
#include "reading/header.h"

#include "recording/companions.h"
#include "recording/cp1252.h"
#include "recording/frame_layout.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>

namespace reading {

namespace {

std::string sans_chemin(const std::string &file)
{
    return std::filesystem::path(file).filename().string();
}

bool finit_par(const std::string &s, std::string_view ext)
{
    if (s.size() < ext.size())
        return false;
    return std::equal(ext.begin(), ext.end(), s.end() - ext.size(),
                      [](char a, char b) { return std::tolower((unsigned char)a) == std::tolower((unsigned char)b); });
}

} // namespace

ReadError::ReadError(const std::string &file, const std::string &field, const std::string &what)
    : std::runtime_error(sans_chemin(file) + ": " + (field.empty() ? "" : field + ": ") + what), file_(file),
      field_(field)
{
}

RunPaths run_paths(const std::string &name)
{
    namespace fs = std::filesystem;
    const size_t debut_nom = name.find_last_of('/') == std::string::npos ? 0 : name.find_last_of('/') + 1;
    const auto compagnon = [&](std::string_view ext) {
        return name.size() - debut_nom > ext.size() && finit_par(name, ext);
    };
    std::string dat = name;
    if (compagnon(".vlx") || compagnon(".log")) {
        // "x.Vlx" belongs to "x.dat", or to "x" when only that one exists.
        const std::string base = name.substr(0, name.size() - 4);
        dat = base + ".dat";
        std::error_code ec;
        if (!fs::exists(dat, ec) && fs::is_regular_file(base, ec))
            dat = base;
    }
    const CompanionPaths c = companion_paths(dat);
    return {dat, c.header, c.log};
}

bool day_exists(int year, int month, int day)
{
    static const int jours[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > jours[month - 1])
        return false;
    return month != 2 || day != 29 || (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

HeaderCounts counts(const type_header_file &h)
{
    const FrameLayout l = FrameLayout::from_header(h, false);
    return {int(l.mics.size()), int(l.analog.size()), int(l.counter)};
}

type_header_file parse_header(std::span<const uint8_t> bytes, const std::string &file)
{
    if (bytes.size() != size_t(TAILLE_HEADER))
        throw ReadError(file, "size",
                        bytes.empty() ? std::string("the file is empty (the run did not end normally?)")
                                      : std::to_string(bytes.size()) + " bytes, a header has " +
                                            std::to_string(TAILLE_HEADER));
    std::array<uint8_t, TAILLE_HEADER> image;
    std::copy(bytes.begin(), bytes.end(), image.begin());
    const type_header_file h = deserialise(image);
    const auto faute = [&](const std::string &champ, const std::string &quoi) { throw ReadError(file, champ, quoi); };

    const SystemTime &d = h.date_heure;
    struct Borne {
        const char *nom;
        uint16_t valeur, min, max;
    };
    const Borne bornes[] = {
        {"date_heure.year", d.wYear, 1601, 30827}, {"date_heure.month", d.wMonth, 1, 12},
        {"date_heure.day_of_week", d.wDayOfWeek, 0, 6}, {"date_heure.day", d.wDay, 1, 31},
        {"date_heure.hour", d.wHour, 0, 23}, {"date_heure.minute", d.wMinute, 0, 59},
        {"date_heure.second", d.wSecond, 0, 59}, {"date_heure.milliseconds", d.wMilliseconds, 0, 999},
    };
    for (const Borne &b : bornes)
        if (b.valeur < b.min || b.valeur > b.max)
            faute(b.nom, std::to_string(b.valeur) + " is out of " + std::to_string(b.min) + ".." + std::to_string(b.max));
    if (!day_exists(d.wYear, d.wMonth, d.wDay))
        faute("date_heure.day", std::to_string(d.wDay) + "/" + std::to_string(d.wMonth) + "/" + std::to_string(d.wYear) +
                                    " is no date");

    const auto drapeau = [&](int8_t f, const std::string &champ, bool existe) {
        if (f != 0 && f != 1)
            faute(champ, "flag " + std::to_string(f) + ", a flag is 0 or 1");
        if (f != 0 && !existe)
            faute(champ, "set, but the recorder has no such channel");
    };
    for (int b = 0; b < 128; ++b)
        for (int m = 0; m < 8; ++m)
            drapeau(h.micros_actifs[b][m],
                    "micros_actifs[" + std::to_string(b) + "][" + std::to_string(m) + "]", b < 32);
    for (int n = 0; n < 4; ++n)
        for (int k = 0; k < 4; ++k)
            drapeau(h.va_actives[n][k], "va_actives[" + std::to_string(n) + "][" + std::to_string(k) + "]", n == 0);
    for (int k = 0; k < 4; ++k)
        drapeau(h.compteurs_actifs[k], "compteurs_actifs[" + std::to_string(k) + "]", k == 0);
    if (counts(h).words() == 0)
        faute("micros_actifs", "no channel recorded: no microphone, analogue channel or counter flag is set");

    // The recorder divides 500 kHz by an integer; below 1 Hz no WAV rate could say it.
    if (!std::isfinite(h.freq) || h.freq < 1.0f || h.freq > 500000.0f)
        faute("freq", (std::isnan(h.freq) ? std::string("NaN") : std::to_string(h.freq)) +
                          " is not a sampling frequency (1 to 500000 Hz)");
    if (!std::isfinite(h.duree_acquise) || h.duree_acquise < 0.0f)
        faute("duree_acquise", (std::isnan(h.duree_acquise) ? std::string("NaN") : std::to_string(h.duree_acquise)) +
                                   " is not a duration");
    if (h.type_float > 1)
        faute("type_float", std::to_string(h.type_float) + ", the sample type is 0 (int32) or 1 (float32)");
    return h;
}

void append_utf8(std::string &s, char32_t c)
{
    if (c < 0x80) {
        s += char(c);
    } else if (c < 0x800) {
        s += char(0xC0 | (c >> 6));
        s += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += char(0xE0 | (c >> 12));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    } else {
        s += char(0xF0 | (c >> 18));
        s += char(0x80 | ((c >> 12) & 0x3F));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    }
}

std::u32string decode_utf8(std::string_view s)
{
    std::u32string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const int n = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
        char32_t c = n == 0 ? b : n == 1 ? (b & 0x1F) : n == 2 ? (b & 0x0F) : (b & 0x07);
        bool ok = n >= 0;
        for (int k = 1; ok && k <= n; ++k) {
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                ok = false;
            else
                c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        if (ok && (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out += char32_t(0xFFFD);
            ++i;
            continue;
        }
        out += c;
        i += size_t(n) + 1;
    }
    return out;
}

std::string comment_utf8(const type_header_file &h)
{
    const uint8_t *t = h.texte_commentaire;
    const size_t n = sizeof h.texte_commentaire;
    if (std::all_of(t, t + n, [](uint8_t b) { return b == ' '; }))
        return {};
    const size_t fin = std::find(t, t + n, uint8_t(0)) - t;
    std::string s;
    for (size_t i = 0; i < fin; ++i)
        append_utf8(s, depuis_cp1252(t[i]));
    return s;
}

std::string comment_trimmed(const type_header_file &h)
{
    std::string s = comment_utf8(h);
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

} // namespace reading
