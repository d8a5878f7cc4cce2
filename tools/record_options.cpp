#include "tools/record_options.h"

#include "device/horloge.h"
#include "reading/export.h"
#include "reading/run.h"
#include "tools/command_line.h"

#include <QFile>
#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

namespace record_cli {

const char *const USAGE =
    "usage: viz256-record --out FILE.dat | --no-record [options]\n"
    "       viz256-record --list [--json]\n"
    "  --frequency HZ          one of 50000 45454 41666 38461 35714 33333 31250 25000 20000\n"
    "                          12500 10000 6250 5000 4000 3125 2500 2000 (default 50000)\n"
    "  --channels LIST         numbers, beam_3, mic_3_1, mics, va, va_2, counter, status, all\n"
    "                          (default: every microphone and the counter)\n"
    "  --float                 float32 samples (int32 otherwise)\n"
    "  --duration S            seconds, one decimal at most, more than 0 (open-ended without it)\n"
    "  --start-trigger T       soft|trig1|trig2[:rising|falling|high|low] (default soft)\n"
    "  --stop-trigger T        the same, for open-ended runs\n"
    "  --delay N               delay setting 0..16 (default: the frequency's)\n"
    "  --comment TEXT          the comment stored with the run\n"
    "  --comment-file F        the comment from a UTF-8 file\n"
    "  --out FILE.dat          the run's files (FILE.dat, FILE.Vlx, FILE.log)\n"
    "  --force                 overwrite an existing run under --out\n"
    "  --no-record             stream without files\n"
    "  --device PORT|SERIAL    the recorder (see --list); needed when several are on the bus\n"
    "  --list                  the recorders on the bus\n"
    "  --json                  JSON on stdout\n"
    "  --help                  this text\n";

namespace {

const std::vector<tools::OptionSpec> OPTIONS = {
    {"frequency", true}, {"channels", true}, {"float"},         {"duration", true}, {"start-trigger", true}, {"stop-trigger", true},
    {"delay", true},     {"comment", true},  {"comment-file", true}, {"out", true}, {"force"},              {"no-record"},
    {"device", true},    {"list"},           {"json"},          {"help"},
};

// Options that configure a run, which --list does not take.
const QStringList OPTIONS_RUN = {"--frequency", "--channels", "--float", "--duration", "--start-trigger",
                                 "--stop-trigger", "--delay", "--comment", "--comment-file", "--out",
                                 "--force", "--no-record", "--device"};

// The recorder's channels in frame order, named as the reader names a run's.
reading::Layout layout_complet()
{
    type_header_file h{};
    h.compteurs_actifs[0] = 1;
    for (int b = 0; b < selection::NB_FAISCEAUX; ++b)
        for (int m = 0; m < selection::NB_MICROS_FAISCEAU; ++m)
            h.micros_actifs[b][m] = 1;
    for (int n = 0; n < selection::NB_VA; ++n)
        h.va_actives[0][n] = 1;
    return reading::layout_of(h, true);
}

// --channels LIST to the channels of a frame; nullopt and the reason otherwise.
std::optional<reglages::Voies> lit_voies(const QString &liste, QString &erreur)
{
    if (liste.trimmed().isEmpty()) {
        erreur = QStringLiteral("--channels: no channel to record");
        return std::nullopt;
    }
    const reading::Layout l = layout_complet();
    std::vector<int> mots;
    try {
        mots = reading::select_channels(l, liste.toStdString(), "the recorder", "record");
    } catch (const std::invalid_argument &e) {
        erreur = QString::fromStdString(e.what());
        return std::nullopt;
    }
    reglages::Voies v; // nothing ticked
    for (int w : mots) {
        const reading::Channel &c = l.channels.at(size_t(w));
        switch (c.kind) {
        case reading::Kind::Counter: v.compteur = true; break;
        case reading::Kind::Status: v.status = true; break;
        case reading::Kind::Microphone: v.micros[size_t(c.number / 8)][size_t(c.number % 8)] = true; break;
        case reading::Kind::Analog: v.va[size_t(c.number)] = true; break;
        }
    }
    return v;
}

// The comment file: a UTF-8 text; its final line ends are not part of the comment.
std::optional<QString> lit_commentaire(const QString &chemin, QString &erreur)
{
    const QString cite = QStringLiteral("--comment-file ") + chemin + QStringLiteral(": ");
    std::optional<std::string> contenu;
    try {
        contenu = reading::read_small_file(QFile::encodeName(chemin).toStdString(), 1u << 20);
    } catch (const reading::ReadError &e) {
        const std::string w = e.what(); // "name: reason"
        erreur = cite + (e.field() == "size" ? QStringLiteral("larger than 1 MiB, not a comment")
                                             : QString::fromStdString(w.substr(w.rfind(": ") + 2)));
        return std::nullopt;
    }
    if (!contenu) {
        erreur = cite + QString::fromLocal8Bit(std::strerror(ENOENT));
        return std::nullopt;
    }
    const QByteArray octets = QByteArray::fromStdString(*contenu);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString texte = utf8.decode(octets);
    if (utf8.hasError()) {
        erreur = cite + QStringLiteral("not UTF-8 text");
        return std::nullopt;
    }
    if (texte.startsWith(QChar(0xFEFF)))
        texte.remove(0, 1); // the byte-order mark Windows editors write
    while (texte.endsWith(u'\n') || texte.endsWith(u'\r'))
        texte.chop(1);
    return texte;
}

QString ligne(const QString &option, const QString &valeur, const QString &raison)
{
    return option + QStringLiteral(" ") + valeur + QStringLiteral(": ") + raison;
}

} // namespace

std::optional<reglages::Declenchement> lit_declenchement(const QString &texte)
{
    using reglages::Condition;
    using reglages::Source;
    const QString source = texte.section(u':', 0, 0);
    const QString condition = texte.contains(u':') ? texte.section(u':', 1) : QString();
    reglages::Declenchement d;
    if (source == u"soft")
        d.source = Source::Soft;
    else if (source == u"trig1")
        d.source = Source::Trig1;
    else if (source == u"trig2")
        d.source = Source::Trig2;
    else
        return std::nullopt;
    if (!texte.contains(u':'))
        return d;
    static const std::map<QString, Condition> conditions = {{"rising", Condition::FrontMontant},
                                                            {"falling", Condition::FrontDescendant},
                                                            {"high", Condition::EtatHaut},
                                                            {"low", Condition::EtatBas}};
    const auto c = conditions.find(condition);
    if (!d.externe() || c == conditions.end())
        return std::nullopt; // soft takes no condition
    d.condition = c->second;
    return d;
}

std::variant<Options, QString> analyse(const QStringList &arguments)
{
    std::optional<tools::CommandLine> lu;
    try {
        lu.emplace(arguments, OPTIONS);
    } catch (const tools::UsageError &e) {
        return e.line;
    }
    const tools::CommandLine &c = *lu;
    const auto a = [&](const char *nom) { return c.has(nom + 2); };
    const auto v = [&](const char *nom) { return c.value(nom + 2); };

    Options r;
    if (a("--help")) {
        r.aide = true;
        return r;
    }
    r.json = a("--json");
    if (a("--list")) {
        for (const QString &o : OPTIONS_RUN)
            if (c.given().contains(o))
                return QStringLiteral("--list takes no ") + o;
        r.liste = true;
        return r;
    }

    reglages::Reglages &g = r.reglages;
    if (a("--frequency")) {
        const QString hz = v("--frequency");
        const std::optional<double> n = tools::read_number(hz, false, 0);
        const std::optional<int> e = n && *n < 1e6 ? horloge::entree_pour_hz((long long)*n) : std::nullopt;
        if (!e)
            return ligne(QStringLiteral("--frequency"), hz,
                         QStringLiteral("not one of the recorder's 17 frequencies (see --help)"));
        g.entree_frequence = *e;
    }
    if (a("--channels")) {
        QString erreur;
        const auto voies = lit_voies(v("--channels"), erreur);
        if (!voies)
            return erreur;
        g.voies = *voies;
    }
    g.flottant = a("--float");
    if (a("--duration")) {
        reglages::Refus refus;
        g.duree = reglages::lit_duree(v("--duration"), g.entree_frequence, &refus);
        if (!g.duree)
            return QStringLiteral("--duration: ") + refus.message;
        if (*g.duree == 0)
            return ligne(QStringLiteral("--duration"), v("--duration"),
                         QStringLiteral("a run of no length; for an open-ended run, leave --duration out"));
    }
    for (const char *nom : {"--start-trigger", "--stop-trigger"}) {
        if (!a(nom))
            continue;
        const auto d = lit_declenchement(v(nom));
        if (!d)
            return ligne(QString::fromLatin1(nom), v(nom), QStringLiteral("soft, trig1 or trig2, then for trig1 and trig2 "
                                                                          "optionally :rising, :falling, :high or :low"));
        (std::string_view(nom) == "--start-trigger" ? g.start : g.stop) = *d;
    }
    if (a("--delay")) {
        const std::optional<double> n = tools::read_number(v("--delay"), false, 0);
        if (!n || *n > 99)
            return ligne(QStringLiteral("--delay"), v("--delay"), QStringLiteral("a whole number from 0 to 16"));
        g.delai = int(*n);
    }
    if (a("--out") == a("--no-record"))
        return a("--out") ? QStringLiteral("--out and --no-record exclude each other")
                          : QStringLiteral("--out FILE.dat or --no-record is needed");
    if (a("--force") && !a("--out"))
        return QStringLiteral("--force goes with --out");
    if (a("--out"))
        g.fichier = v("--out");
    if (a("--comment") && a("--comment-file"))
        return QStringLiteral("--comment and --comment-file exclude each other");
    if (a("--comment"))
        g.commentaire = v("--comment");
    if (a("--comment-file")) {
        QString erreur;
        g.commentaire = lit_commentaire(v("--comment-file"), erreur);
        if (!g.commentaire)
            return erreur;
    }
    r.remplacer = a("--force");
    if (a("--device")) {
        if (v("--device").isEmpty())
            return QStringLiteral("--device needs a port path or a serial number");
        r.appareil = v("--device");
    }

    // The settings' own rules, named by the option they come from.
    const std::map<reglages::Champ, QString> option_de = {
        {reglages::Champ::Frequence, "--frequency"}, {reglages::Champ::Voies, "--channels"},
        {reglages::Champ::Duree, "--duration"},       {reglages::Champ::Declenchement, "--stop-trigger"},
        {reglages::Champ::Delai, "--delay"},          {reglages::Champ::Fichier, "--out"},
        {reglages::Champ::Commentaire, a("--comment-file") ? "--comment-file" : "--comment"}};
    std::optional<reglages::Refus> refus = reglages::verifie(g);
    if (!refus && g.fichier)
        refus = reglages::verifie_fichiers(*g.fichier, r.remplacer);
    if (refus)
        return option_de.at(refus->champ) + QStringLiteral(": ") + refus->message;
    return r;
}

} // namespace record_cli
