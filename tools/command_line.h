#pragma once
// The command line of viz256-run and viz256-record: options read by QCommandLineParser (each
// as "--name value" or "--name=value", at most once), positional arguments, and number values
// read by one routine, so every option refuses the same malformed numbers.
#include <QString>
#include <QStringList>

#include <array>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tools {

// A bad command line: one line, without line end, naming the option and the value.
struct UsageError : std::invalid_argument {
    explicit UsageError(const QString &l) : std::invalid_argument(l.toStdString()), line(l) {}
    QString line;
};

struct OptionSpec {
    const char *name;       // without its dashes: "out", "help" (which "-h" also gives)
    bool takes_value = false;
};

class CommandLine {
public:
    // `arguments` without the program's name. Throws UsageError: an unknown option, one given
    // twice, a value missing or given to an option that takes none, more positional arguments
    // than `max_positional`.
    CommandLine(const QStringList &arguments, const std::vector<OptionSpec> &options, int max_positional = 0);

    bool has(const char *name) const { return given_.count(QString::fromLatin1(name)) != 0; }
    QString value(const char *name) const; // empty when not given
    std::optional<QString> optional(const char *name) const;
    const QStringList &positional() const { return positional_; }
    QStringList given() const; // names of the options given, with their dashes

private:
    std::map<QString, QString> given_;
    QStringList positional_;
};

// viz256-run's arguments carry file names, which need not be UTF-8: each byte is one character
// (Latin-1) from argv to the file's name, so no name is changed on the way.
QStringList byte_arguments(int argc, char **argv, int first);
inline std::string bytes(const QString &argument)
{
    return argument.toLatin1().toStdString();
}

// The one reader of numbers on a command line: digits with at most one decimal mark ('.' or
// ','), a leading minus sign only when `negative`, at most `decimals` decimals (0: a whole
// number); blanks around it allowed; no exponent, no hexadecimal, no infinity.
std::optional<double> read_number(const QString &text, bool negative = false, int decimals = 1000);

// The same, throwing UsageError "OPTION: "TEXT" is not WHAT (digits, one decimal point)".
double number(const QString &text, const QString &option, bool negative = false, const char *what = "a number");
double seconds(const QString &text, const QString &option); // not negative
inline double seconds(const std::string &text, const std::string &option)
{
    return seconds(QString::fromStdString(text), QString::fromStdString(option));
}

// A band "F1:F2" in Hz after --band, 0 <= F1 < F2, each figure read as above; throws UsageError.
std::pair<double, double> parse_band(const std::string &text);

// The seven figures of a grid "X0:X1:DX,Y0:Y1:DY,Z" (metres) after --grid, each read as above
// (negative allowed); throws std::invalid_argument "grid: ..." when it is not of that shape.
std::array<double, 7> grid_figures(const std::string &text);

} // namespace tools
