#pragma once
// The command line of viz256-record, read into the settings of one run (acquisition/reglages.h)
// or into one line that says what is wrong. Reading it sends nothing to a recorder and creates
// no file: a bad option or value is refused before anything happens.
#include "acquisition/reglages.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace record_cli {

struct Options {
    reglages::Reglages reglages;
    bool remplacer = false;          // --force: an existing run under --out is overwritten
    std::optional<QString> appareil; // --device PORT|SERIAL
    bool liste = false;              // --list
    bool json = false;               // --json
    bool aide = false;               // --help
};

// The arguments after the program's name. The error is one line, without line end, naming the
// option and the value.
std::variant<Options, QString> analyse(const QStringList &arguments);

// A trigger as written after --start-trigger / --stop-trigger: soft, trig1 or trig2, then for
// trig1 and trig2 optionally ":rising", ":falling", ":high" or ":low" (rising by default).
std::optional<reglages::Declenchement> lit_declenchement(const QString &texte);

extern const char *const USAGE;

} // namespace record_cli
