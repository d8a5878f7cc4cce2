// Reading runs back: header and log parsers (malformed input named, any locale, fuzzed), and
// check, repair and export over small runs written here.
#include <gtest/gtest.h>

#include <QLocale>
#include <QTemporaryDir>

#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "reading/check.h"
#include "reading/export.h"
#include "reading/repair.h"
#include "recording/fichiers.h"
#include "recording/log_text.h"
#include "tests/unit/recording_exemple.h"

using namespace reading;

namespace {

std::string image_texte(const type_header_file &h)
{
    const auto b = serialise(h);
    return std::string(reinterpret_cast<const char *>(b.data()), b.size());
}

std::span<const uint8_t> octets(const std::string &s)
{
    return {reinterpret_cast<const uint8_t *>(s.data()), s.size()};
}

std::string log_de(const type_header_file &h, int nb_voies, const QLocale &loc = QLocale(QLocale::French, QLocale::France),
                   std::optional<QString> commentaire = std::nullopt)
{
    return texte_log(h, nb_voies, counts(h).mics, commentaire, loc).toStdString();
}

void ecrit(const std::string &chemin, const std::string &contenu)
{
    std::ofstream(chemin, std::ios::binary) << contenu;
}

std::string lit(const std::string &chemin)
{
    return read_small_file(chemin, 1u << 30).value_or("<none>");
}

// A run of `frames` frames on disk: counter (from 7, with an optional jump), 16 microphones
// whose words are their own position in the file, status when asked, then the header and
// the log as the program writes them.
struct RunEcrit {
    QTemporaryDir dir;
    std::string dat, vlx, log;
    type_header_file h = exemple_run();
    int nb_voies = 17;

    explicit RunEcrit(uint64_t frames, bool compteur = true, bool status = false, uint64_t saut_a = UINT64_MAX)
    {
        dat = dir.filePath("m.dat").toStdString();
        vlx = dir.filePath("m.Vlx").toStdString();
        log = dir.filePath("m.log").toStdString();
        h.type_float = 0;
        h.compteurs_actifs[0] = compteur;
        nb_voies = 16 + compteur + status;
        std::string d(frames * nb_voies * 4, '\0');
        auto *w = reinterpret_cast<uint32_t *>(d.data());
        for (uint64_t f = 0; f < frames; ++f)
            for (int k = 0; k < nb_voies; ++k)
                w[f * nb_voies + k] = uint32_t(f * nb_voies + k);
        if (compteur)
            for (uint64_t f = 0; f < frames; ++f)
                w[f * nb_voies] = uint32_t(7 + f + (f >= saut_a ? 100 : 0));
        if (status)
            for (uint64_t f = 0; f < frames; ++f)
                w[f * nb_voies + nb_voies - 1] = 1;
        ecrit(dat, d);
        decrit(frames);
    }
    void decrit(uint64_t nb_ech)
    {
        h.nb_ech = uint32_t(nb_ech);
        h.duree_acquise = float(h.nb_ech) / h.freq;
        ecrit(vlx, image_texte(h));
        ecrit(log, log_de(h, nb_voies));
    }
};

} // namespace

TEST(ReadingHeader, EveryMalformedFieldIsNamed)
{
    struct Cas {
        const char *champ;
        std::function<void(std::string &)> abime;
    };
    const auto pose_float = [](int pos, float v) {
        return [pos, v](std::string &s) { std::memcpy(s.data() + pos, &v, 4); };
    };
    const Cas cas[] = {
        {"size", [](std::string &s) { s += "abc"; }},
        {"size", [](std::string &s) { s.clear(); }},
        {"freq", pose_float(header_offsets::freq, NAN)},
        {"freq", pose_float(header_offsets::freq, 0.0f)},
        {"freq", pose_float(header_offsets::freq, INFINITY)},
        {"duree_acquise", pose_float(header_offsets::duree_acquise, -1.0f)},
        {"date_heure.month", [](std::string &s) { s[2] = 13; }},
        {"date_heure.day", [](std::string &s) { s[2] = 2, s[6] = 31; }},
        {"date_heure.day", [](std::string &s) { s[0] = char(1900 & 255), s[1] = 1900 >> 8, s[2] = 2, s[6] = 29; }},
        {"date_heure.day", [](std::string &s) { s[0] = char(2100 & 255), s[1] = 2100 >> 8, s[2] = 2, s[6] = 29; }},
        {"freq", pose_float(header_offsets::freq, 1e-30f)},
        {"micros_actifs", [](std::string &s) { std::fill(s.begin() + 16, s.begin() + 1060, '\0'); }},
        {"micros_actifs[0][3]", [](std::string &s) { s[16 + 3] = 2; }},
        {"micros_actifs[40][0]", [](std::string &s) { s[16 + 8 * 40] = 1; }},
        {"va_actives[2][1]", [](std::string &s) { s[1040 + 9] = 1; }},
        {"compteurs_actifs[3]", [](std::string &s) { s[1059] = 1; }},
        {"type_float", [](std::string &s) { s[1072] = 2; }},
    };
    for (const Cas &c : cas) {
        std::string s = image_texte(exemple_run());
        c.abime(s);
        try {
            parse_header(octets(s), "/tmp/x/mesure.Vlx");
            ADD_FAILURE() << c.champ << ": accepted";
        } catch (const ReadError &e) {
            EXPECT_EQ(e.field(), c.champ);
            EXPECT_EQ(std::string(e.what()).rfind("mesure.Vlx: " + std::string(c.champ) + ": ", 0), 0u) << e.what();
        }
    }
    const type_header_file h = parse_header(octets(image_texte(exemple_run())), "m.Vlx");
    EXPECT_EQ(counts(h).words(), 17);
    EXPECT_TRUE(day_exists(2000, 2, 29) && day_exists(2024, 2, 29) && !day_exists(2023, 2, 29));
}

TEST(ReadingLog, ReadsTheLogOfEveryLocaleBackToTheHeader)
{
    type_header_file h = exemple_run();
    h.freq = 41666.0f;
    h.nb_ech = 51437499;
    h.duree_acquise = float(h.nb_ech) / h.freq; // 1234.5 s and more: grouped in every locale
    h.va_actives[0][3] = 1;
    const QString commentaire = QStringLiteral("Essai n°3 à 20 €\r\nligne 2") + QString(990, QLatin1Char(' '));
    const QLocale locales[] = {
        QLocale(QLocale::French, QLocale::France), QLocale(QLocale::English, QLocale::UnitedStates),
        QLocale(QLocale::German, QLocale::Germany), QLocale(QLocale::German, QLocale::Switzerland),
        QLocale(QLocale::Hindi, QLocale::India),    QLocale(QLocale::Arabic, QLocale::Egypt),
        QLocale(QLocale::Persian, QLocale::Iran),   QLocale::c(),
    };
    for (const QLocale &loc : locales) {
        SCOPED_TRACE(loc.name().toStdString());
        const LogRecord l = parse_log(log_de(h, 19, loc, commentaire), "m.log");
        EXPECT_NEAR(l.duree, std::round(double(h.duree_acquise) * 10) / 10, 1e-9) << l.duree_text;
        EXPECT_EQ(l.rec.freq, h.freq);
        EXPECT_EQ(l.rec.nb_ech, h.nb_ech);
        EXPECT_EQ(l.nb_voies, 19);
        EXPECT_TRUE(l.status); // 16 microphones, counter, one analogue channel and one word more
        EXPECT_EQ(std::memcmp(l.rec.micros_actifs, h.micros_actifs, sizeof h.micros_actifs), 0);
        EXPECT_EQ(l.rec.va_actives[0][3], 1);
        EXPECT_EQ(l.comment, commentaire.toStdString());
        EXPECT_EQ(l.rec.date_heure.wDayOfWeek, 3); // Wednesday
    }
    // The numbers themselves: separators of any kind, digits of any script.
    struct N {
        const char32_t *texte;
        int decimales;
        double valeur;
    };
    for (const N &n : {N{U"1\u202F000,0", 1, 1000.0}, N{U"12,345.6", 1, 12345.6}, N{U"1'234.5", 1, 1234.5},
                       N{U"\u0661\u066C\u0662\u0663\u0664\u066B\u0665", 1, 1234.5}, N{U"0,1", 1, 0.1},
                       N{U"41666", -1, 41666}, N{U"2.5", -1, 2.5}})
        EXPECT_NEAR(parse_locale_number(n.texte, n.decimales, "m.log", "Duree"), n.valeur, 1e-9);
    for (const char32_t *faux : {U"nan", U"-1,0", U"1,00", U"1,,0", U"", U"12", U"1e3,0"})
        EXPECT_THROW(parse_locale_number(faux, 1, "m.log", "Duree"), ReadError);
}

TEST(ReadingLog, EveryMalformedKeyIsNamed)
{
    const std::string bon = log_de(exemple_run(), 17);
    struct Cas {
        const char *cle;
        std::string avant, apres;
    };
    const Cas cas[] = {
        {"Faisceau_005", "Faisceau_005  0  0  0  0  0  0  0  0\r\n", ""},
        {"Nb_voies", "Nb_voies = 17", "Nb_voies = 20"},
        {"Nb_micros_actifs", "Nb_micros_actifs = 16", "Nb_micros_actifs = 15"},
        {"Duree", "Duree = 5,0", "Duree = nan"},
        {"Freq", "Freq = 50000", "Freq = 0"},
        {"Type", "Type = float32", "Type = int16"},
        {"Nb_ech", "Nb_ech = 250000", "Nb_ech = 99999999999"},
        {"Date", "07/12/2022", "31/02/2022"},
        {"Date", "07/12/2022", "29/02/2100"},
        {"Freq", "Freq = 50000", "Freq = 0,5"},
        {"Heure", "14:05:09", "14:65:09"},
        {"Nb_faisceaux", "Nb_faisceaux = 32\r\n", "Nb_faisceaux = 32\r\nNb_faisceaux = 32\r\n"},
        {"Bloc_C", "Bloc_C =   0  0  0  0", "Bloc_C =   0  1  0  0"},
        {"[OPTIONNAL]", "[OPTIONNAL]", "[OPTIONAL]"},
    };
    for (const Cas &c : cas) {
        std::string t = bon;
        const size_t pos = t.find(c.avant);
        ASSERT_NE(pos, std::string::npos) << c.avant;
        t.replace(pos, c.avant.size(), c.apres);
        try {
            parse_log(t, "/d/mesure.log");
            ADD_FAILURE() << c.cle << ": accepted";
        } catch (const ReadError &e) {
            EXPECT_EQ(e.field(), c.cle) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("mesure.log: ", 0), 0u) << e.what();
        }
    }
    EXPECT_THROW(parse_log("", "m.log"), ReadError);
    EXPECT_EQ(parse_log("\xEF\xBB\xBF" + bon, "m.log").nb_voies, 17); // a Windows editor's byte-order mark
}

// One rule names the companions, in the program and in the reader, from each of the names.
TEST(ReadingNames, TheProgramAndTheReaderNameTheCompanionsAlike)
{
    QTemporaryDir d;
    QDir(d.path()).mkdir(QStringLiteral("a.dat"));
    for (const char *nom : {"m.dat", "m", ".dat", "m.dat.dat", "m.wav", "a.dat/x"}) {
        const std::string dat = d.filePath(QString::fromLatin1(nom)).toStdString();
        ecrit(dat, "x");
        const NomsCompagnons c = noms_compagnons(QString::fromStdString(dat));
        const std::vector<std::string> trois{dat, c.entete.toStdString(), c.log.toStdString()};
        EXPECT_EQ(std::set<std::string>(trois.begin(), trois.end()).size(), 3u) << nom;
        for (const std::string &n : trois) {
            const RunPaths p = run_paths(n);
            EXPECT_EQ((std::vector<std::string>{p.dat, p.header, p.log}), trois) << n;
        }
        std::remove(dat.c_str());
    }
}

TEST(ReadingFuzz, MutatedAndRandomHeadersAndLogsNeverCrash)
{
    std::mt19937 rng(1234);
    const std::string entete = image_texte(exemple_run());
    const std::string log = log_de(exemple_run(), 17, QLocale(QLocale::French, QLocale::France), QStringLiteral("é€"));
    const auto mute = [&](std::string s) {
        const int n = 1 + int(rng() % 8);
        for (int i = 0; i < n && !s.empty(); ++i) {
            const size_t pos = rng() % s.size();
            switch (rng() % 6) {
            case 0: s[pos] = char(rng()); break;
            case 1: s.erase(pos, rng() % 64); break;
            case 2: s.insert(pos, s.substr(rng() % s.size(), rng() % 64)); break;
            case 3: s.resize(pos); break;
            case 4: s[pos] = "0123456789 =,.;\r\n\xE2\x80\xAF"[rng() % 19]; break;
            default: s[pos] ^= char(1 << (rng() % 8)); break;
            }
        }
        return s;
    };
    int acceptes = 0;
    for (int i = 0; i < 4000; ++i) {
        std::string h = i % 10 == 0 ? std::string(rng() % 3000, char(rng())) : mute(entete);
        if (i % 7 == 0)
            h.resize(TAILLE_HEADER, char(rng()));
        std::string l = i % 10 == 1 ? std::string(rng() % 5000, char(rng())) : mute(log);
        try {
            parse_header(octets(h), "f.Vlx");
        } catch (const ReadError &e) {
            EXPECT_EQ(std::string(e.what()).rfind("f.Vlx: ", 0), 0u) << e.what();
        }
        try {
            parse_log(l, "f.log");
            ++acceptes;
        } catch (const ReadError &e) {
            EXPECT_EQ(std::string(e.what()).rfind("f.log: ", 0), 0u) << e.what();
        }
    }
    EXPECT_GT(acceptes, 0); // some mutations leave a valid log (a changed digit of a flag line...)
}

TEST(ReadingRun, CheckFindsWhatIsWrongAndRepairBringsTheCutRunBack)
{
    {   // A whole run: clean, the layout the frame's.
        RunEcrit r(1000);
        const reading::Run run = open_run(r.log);
        EXPECT_EQ(run.paths.dat, r.dat);
        EXPECT_EQ(run.layout.words(), 17);
        EXPECT_EQ(run.layout.channels[1].name, "mic_0_0");
        EXPECT_EQ(run.layout.channels[16].name, "mic_1_7");
        EXPECT_TRUE(check_run(run).clean());
        EXPECT_TRUE(plan_repair(run).changes.empty());
    }
    {   // A counter jump: the gap at its frame, with its size.
        RunEcrit r(300000, true, false, 123457);
        const CheckReport c = check_run(open_run(r.dat));
        ASSERT_EQ(c.gap_count, 1u);
        EXPECT_EQ(c.gaps[0].frame, 123457u);
        EXPECT_EQ(c.gaps[0].missing(), 100);
        EXPECT_FALSE(c.clean());
    }
    {   // A partial frame at the end (a full disk, a kill) is a note; a description counting it,
        // or behind the data, is not clean, and the hint says which way.
        RunEcrit r(1000);
        std::ofstream(r.dat, std::ios::app) << "partial!";
        for (const auto &[nb_ech, dit] : {std::pair<uint64_t, const char *>{1000, ""}, {400, "(behind"},
                                          {1001, "counts the partial frame"}, {2000, "(ahead: frames are missing"}}) {
            r.decrit(nb_ech);
            const CheckReport c = check_run(open_run(r.dat));
            EXPECT_EQ(c.clean(), !*dit) << nb_ech;
            EXPECT_EQ(c.problems.size(), *dit ? 2u : 0u) << nb_ech; // the header's and the log's
            for (const std::string &p : c.problems)
                EXPECT_NE(p.find(dit), std::string::npos) << p;
            EXPECT_EQ(c.notes.size() == 1 && c.notes[0].find("the last 8 bytes") == 0, nb_ech <= 1000) << nb_ech;
        }
    }
    {   // No counter: nothing to follow, and said so.
        RunEcrit r(100, false);
        const CheckReport c = check_run(open_run(r.vlx));
        EXPECT_TRUE(c.clean());
        EXPECT_FALSE(c.counter_checked);
        ASSERT_EQ(c.notes.size(), 1u);
        EXPECT_NE(c.notes[0].find("cannot be checked"), std::string::npos);
    }
    struct Coupe {
        const char *nom;
        std::function<void(RunEcrit &)> coupe;
        bool reparable;
    };
    const Coupe coupes[] = {
        {"header and log behind", [](RunEcrit &r) { r.decrit(400); }, true},
        {"header and log counting the partial frame", [](RunEcrit &r) { r.decrit(1001); }, true},
        {"header and log ahead", [](RunEcrit &r) { r.decrit(1500); }, true},
        {"header empty, log behind", [](RunEcrit &r) { r.decrit(400); ecrit(r.vlx, ""); }, true},
        {"header missing, log behind", [](RunEcrit &r) { r.decrit(400); std::remove(r.vlx.c_str()); }, true},
        {"log empty, header behind, status word", [](RunEcrit &r) { r.decrit(0); ecrit(r.log, ""); }, true},
        {"header torn, log garbage", [](RunEcrit &r) { ecrit(r.vlx, "abc"); ecrit(r.log, "xyz"); }, false},
    };
    for (const Coupe &c : coupes) {
        SCOPED_TRACE(c.nom);
        const bool status = std::string(c.nom).find("status") != std::string::npos;
        RunEcrit r(1000, true, status);
        std::ofstream(r.dat, std::ios::app) << "partial!"; // a frame cut short at the end
        const std::string dat = lit(r.dat);
        const std::string log_complet = lit(r.log);
        c.coupe(r);
        reading::Run run;
        try {
            run = open_run(r.dat);
        } catch (const ReadError &e) {
            EXPECT_FALSE(c.reparable) << e.what();
            continue;
        }
        ASSERT_TRUE(c.reparable);
        EXPECT_FALSE(check_run(run).clean());
        EXPECT_EQ(run.status, status);
        const RepairPlan plan = plan_repair(run);
        EXPECT_FALSE(plan.changes.empty());
        apply_repair(plan);
        const reading::Run apres = open_run(r.dat);
        // Clean: the partial frame is the data's and stays, not counted.
        EXPECT_TRUE(check_run(apres).clean());
        EXPECT_EQ(lit(r.dat), dat);
        EXPECT_EQ(apres.header->nb_ech, 1000u);
        EXPECT_FLOAT_EQ(apres.header->duree_acquise, 1000.0f / 50000.0f);
        if (!status) { // the log of the whole run
            EXPECT_EQ(lit(r.log), log_complet);
        }
        EXPECT_TRUE(plan_repair(apres).changes.empty());
    }
    {   // Written in place: a symbolic link written through to its target, mode and owner kept
        // (or, for a caller who may not write the file, refused with the system's reason).
        RunEcrit r(1000);
        r.decrit(400);
        const std::string cible = r.dir.filePath("vrai.Vlx").toStdString();
        std::rename(r.vlx.c_str(), cible.c_str());
        ASSERT_EQ(::symlink(cible.c_str(), r.vlx.c_str()), 0);
        ::chmod(cible.c_str(), 0440);
        (void)!::chown(cible.c_str(), 4321, 4321); // root only
        struct stat avant{}, apres{}, lien{};
        ::stat(cible.c_str(), &avant);
        try {
            apply_repair(plan_repair(open_run(r.dat)));
            EXPECT_EQ(parse_header(octets(lit(cible)), cible).nb_ech, 1000u);
        } catch (const ReadError &e) {
            EXPECT_NE(std::string(e.what()).find("Permission denied"), std::string::npos) << e.what();
        }
        ::stat(cible.c_str(), &apres);
        ::lstat(r.vlx.c_str(), &lien);
        EXPECT_TRUE(S_ISLNK(lien.st_mode) && apres.st_mode == avant.st_mode && apres.st_uid == avant.st_uid);
    }
}

TEST(ReadingExport, ChannelsRangesConversionAndInterruption)
{
    RunEcrit r(2000, true, true); // counter, 16 microphones, status
    reading::Run run = open_run(r.dat);
    const Layout &l = run.layout;
    struct Sel {
        const char *liste;
        std::vector<int> mots;
    };
    for (const Sel &s : {Sel{"", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}}, Sel{"counter,mic_1_0", {0, 9}},
                         Sel{"status,3,beam_1", {4, 9, 10, 11, 12, 13, 14, 15, 16, 17}}, Sel{"mic_0_1, counter ", {0, 2}}})
        EXPECT_EQ(select_channels(l, s.liste), s.mots) << s.liste;
    for (const char *faux : {"va", "mic_9_0", "beam_31", "40", "bogus", ","})
        EXPECT_THROW(select_channels(l, faux), std::invalid_argument) << faux;
    EXPECT_EQ(select_channels(l, "all").size(), 18u);

    const FrameRange fr = frame_range(run, 0.001, 0.002);
    EXPECT_EQ(fr.first, 50u);
    EXPECT_EQ(fr.count, 100u);
    EXPECT_EQ(frame_range(run, std::nullopt, 100.0).count, 2000u);
    EXPECT_TRUE(frame_range(run, std::nullopt, 100.0).cut && !fr.cut);
    EXPECT_THROW(frame_range(run, 0.04, std::nullopt), std::invalid_argument);
    EXPECT_THROW(frame_range(run, -1.0, std::nullopt), std::invalid_argument);

    // Conversions: integers to float, the counter as unsigned, float words kept bit for bit.
    const uint32_t trame[3] = {0xFFFFFFF0u, uint32_t(-5), std::bit_cast<uint32_t>(2.5f)};
    float out[3];
    convert_frames(reinterpret_cast<const uint8_t *>(trame), 1, 3,
                   {{0, Conversion::UintToFloat}, {1, Conversion::IntToFloat}, {2, Conversion::Raw}}, out);
    EXPECT_EQ(out[0], 4294967280.0f);
    EXPECT_EQ(out[1], -5.0f);
    EXPECT_EQ(out[2], 2.5f);
    run.rec.type_float = 1;
    EXPECT_THROW(columns_for(run, {1}, SampleType::Int32), std::invalid_argument);
    EXPECT_NO_THROW(columns_for(run, {0, 17}, SampleType::Int32)); // counter and status stay integers
    run.rec.type_float = 0;

    EXPECT_FALSE(wav_needs_rf64(0xFFFFFFFFull - 4096));
    EXPECT_TRUE(wav_needs_rf64(0xFFFFFFFFull - 4095));

    // An interrupted export leaves nothing: neither the target nor its temporary file.
    for (const char *nom : {"x.h5", "x.wav"}) {
        const std::string cible = r.dir.filePath(nom).toStdString();
        const auto fichiers = [&] { return QDir(r.dir.path()).entryList(QDir::Files | QDir::Hidden).size(); };
        const auto avant = fichiers();
        std::atomic<bool> stop{true};
        ExportOptions o{cible, select_channels(l, ""), {0, run.frames()}, std::nullopt};
        EXPECT_THROW(export_run(run, o, {}, &stop), Interrupted);
        EXPECT_EQ(fichiers(), avant) << nom;
        stop = false;
        const ExportResult res = export_run(run, o, {}, &stop);
        EXPECT_EQ(res.frames, 2000u);
        EXPECT_EQ(res.gap_count, 0u);
        EXPECT_EQ(fichiers(), avant + 1) << nom;
    }

    // Targets: never one of the run's files, whatever its name; an existing file only with
    // --force; errors name the target with the system's reason, also for a file that cannot
    // grow (as on a full disk: a file-size limit here).
    const std::string dir = r.dir.path().toStdString() + "/";
    ASSERT_EQ(::link(r.dat.c_str(), (dir + "lien.wav").c_str()), 0);
    QDir(r.dir.path()).mkdir(QStringLiteral("d.h5"));
    struct rlimit sans{}, petit{};
    ::getrlimit(RLIMIT_FSIZE, &sans);
    petit = {64 << 10, sans.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    struct Cible {
        std::string nom;
        bool force;
        std::string refus; // empty: written
    };
    for (const Cible &c : {Cible{"lien.wav", true, "a file of the run"}, Cible{"x.h5", false, "exists; --force"},
                           Cible{"x.wav", true, ""}, Cible{"d.h5", true, "a folder"},
                           Cible{"absent/y.h5", false, dir + "absent/y.h5: HDF5: cannot create the file: No such file or"},
                           Cible{"absent/y.wav", false, dir + "absent/y.wav: WAV: cannot create the file: No such file"},
                           Cible{"g.h5", true, dir + "g.h5: HDF5: cannot write /time_data: File too large"},
                           Cible{"g.wav", true, dir + "g.wav: WAV: cannot write: File too large"}}) {
        ::setrlimit(RLIMIT_FSIZE, c.nom[0] == 'g' ? &petit : &sans);
        try {
            export_run(run, {dir + c.nom, select_channels(l, "all"), {0, run.frames()}, std::nullopt, c.force});
            EXPECT_EQ(c.refus, "") << c.nom;
        } catch (const std::exception &e) {
            EXPECT_NE(std::string(e.what()).find(c.refus), std::string::npos) << c.nom << ": " << e.what();
            EXPECT_EQ(std::string(e.what()).find(".part"), std::string::npos) << e.what();
        }
    }
    ::setrlimit(RLIMIT_FSIZE, &sans);
    EXPECT_EQ(lit(dir + "lien.wav"), lit(r.dat));

    // A file one byte short of its whole size is no export: its last bytes are the library's,
    // written when the file is written out and closed.
    const std::string entier = dir + "entier.h5";
    export_run(run, {entier, select_channels(l, "all"), {0, run.frames()}, std::nullopt});
    petit.rlim_cur = rlim_t(lit(entier).size()) - 1;
    ::setrlimit(RLIMIT_FSIZE, &petit);
    EXPECT_THROW(export_run(run, {dir + "court.h5", select_channels(l, "all"), {0, run.frames()}, std::nullopt}),
                 std::runtime_error);
    ::setrlimit(RLIMIT_FSIZE, &sans);
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(dir + "court.h5")));

    // A damaged run: more counter gaps than an HDF5 attribute could list.
    std::string d = lit(r.dat);
    for (size_t f = 0; f < 2000; f += 2)
        std::memset(d.data() + f * 18 * 4, 0xFF, 4);
    ecrit(r.dat, d + d + d + d + d);
    const reading::Run abime = open_run(r.dat);
    const ExportResult res = export_run(abime, {dir + "abime.h5", select_channels(l, "all"), {0, abime.frames()}, std::nullopt});
    EXPECT_GT(res.gap_count, 9000u);
}
