#include "tools/command_line.h"

#include "recording/console_format.h"

#include <QCommandLineParser>

#include <cmath>

namespace tools {

namespace {

QString dashed(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

} // namespace

CommandLine::CommandLine(const QStringList &arguments, const std::vector<OptionSpec> &options, int max_positional)
{
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    std::map<QString, bool> takes_value;
    for (const OptionSpec &o : options) {
        const QString name = QString::fromLatin1(o.name);
        QStringList names{name};
        if (name == u"help")
            names.prepend(QStringLiteral("h"));
        p.addOption(o.takes_value ? QCommandLineOption(names, QString(), QStringLiteral("value")) : QCommandLineOption(names));
        for (const QString &n : names)
            takes_value[n] = o.takes_value;
    }
    if (!p.parse(QStringList{QStringLiteral("program")} + arguments)) {
        if (!p.unknownOptionNames().isEmpty())
            throw UsageError(QStringLiteral("unknown option ") + dashed(p.unknownOptionNames().first()));
        // The parser quotes the argument at fault: a value missing after it, or one given to
        // an option that takes none.
        const QString at_fault = p.errorText().section(u'\'', 1, 1);
        const auto o = takes_value.find(at_fault.mid(at_fault.startsWith(QStringLiteral("--")) ? 2 : 1));
        if (o == takes_value.end())
            throw UsageError(p.errorText());
        throw UsageError(at_fault + (o->second ? QStringLiteral(" needs a value") : QStringLiteral(" takes no value")));
    }
    for (const QString &name : p.optionNames()) {
        const QString canonical = name == u"h" ? QStringLiteral("help") : name;
        if (given_.count(canonical))
            throw UsageError(dashed(canonical) + QStringLiteral(" is given twice"));
        given_[canonical] = p.value(name);
    }
    positional_ = p.positionalArguments();
    if (positional_.size() > max_positional)
        throw UsageError(QStringLiteral("unexpected argument ") + positional_.at(max_positional));
}

QString CommandLine::value(const char *name) const
{
    const auto v = given_.find(QString::fromLatin1(name));
    return v == given_.end() ? QString() : v->second;
}

std::optional<QString> CommandLine::optional(const char *name) const
{
    if (!has(name))
        return std::nullopt;
    return value(name);
}

QStringList CommandLine::given() const
{
    QStringList names;
    for (const auto &[name, value] : given_)
        names << dashed(name);
    return names;
}

QStringList byte_arguments(int argc, char **argv, int first)
{
    QStringList l;
    for (int i = first; i < argc; ++i)
        l << QString::fromLatin1(argv[i]);
    return l;
}

std::optional<double> read_number(const QString &text, bool negative, int decimals)
{
    QString t = text.trimmed();
    const bool minus = negative && t.startsWith(u'-');
    if (minus)
        t.remove(0, 1);
    if (t.isEmpty() || t.front().isSpace() || t.size() > 40) // thousands of digits: no number we take
        return std::nullopt;
    const std::optional<double> v = saisie::lit_decimal(t, decimals);
    if (!v || !std::isfinite(*v))
        return std::nullopt;
    return minus ? -*v : *v;
}

double number(const QString &text, const QString &option, bool negative, const char *what)
{
    const std::optional<double> v = read_number(text, negative);
    if (!v)
        throw UsageError(option + QStringLiteral(": \"") + text + QStringLiteral("\" is not ") + QString::fromLatin1(what) +
                         (negative ? QStringLiteral(" (digits, one decimal point, an optional minus sign)")
                                   : QStringLiteral(" (digits, one decimal point)")));
    return *v;
}

double seconds(const QString &text, const QString &option)
{
    return number(text, option, false, "a number of seconds");
}

std::pair<double, double> parse_band(const std::string &text)
{
    const QString t = QString::fromLatin1(text);
    if (!t.contains(u':'))
        throw UsageError(QStringLiteral("--band: \"%1\" is not F1:F2 (Hz)").arg(t));
    const double f1 = number(t.section(u':', 0, 0), QStringLiteral("--band")), f2 = number(t.section(u':', 1), QStringLiteral("--band"));
    if (f2 <= f1)
        throw UsageError(QStringLiteral("--band: F1:F2 with 0 <= F1 < F2"));
    return {f1, f2};
}

std::array<double, 7> grid_figures(const std::string &text)
{
    const QStringList parts = QString::fromLatin1(text).split(u',');
    QStringList f;
    if (parts.size() == 3)
        f = parts[0].split(u':') + parts[1].split(u':') + QStringList{parts[2]};
    if (f.size() != 7)
        throw std::invalid_argument("grid: \"" + text + "\" is not X0:X1:DX,Y0:Y1:DY,Z (metres)");
    std::array<double, 7> v{};
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = number(f[qsizetype(i)], QStringLiteral("--grid"), true);
    return v;
}

} // namespace tools
