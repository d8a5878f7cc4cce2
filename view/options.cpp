#include "view/options.h"

#include "tools/grid_option.h"
#include "tools/command_line.h"

namespace view {

const char *const usage =
    "usage: viz256-view [RUN.dat] [--device D] [--geometry F] [--band F1:F2] [--grid X0:X1:DX,Y0:Y1:DY,Z]\n"
    "                   [--window S] [--traces C1,C2,...] [--save-after S --to FILE.png|FILE.h5]\n"
    "  RUN.dat       a recorded run (scrub and play it); without it, the live tap of the recorder\n"
    "                that records (--device: its port or serial when several record)\n"
    "  --geometry    the array's MicArray XML layout (default: the last one chosen, else the full spiral)\n"
    "  --band        the map's band in Hz (default: the last one chosen, else the third octave about 2 kHz)\n"
    "  --window      the map's integration window, 0.1 to 5 s\n"
    "  --traces      microphone channels whose traces and spectra are shown (at most 8)\n"
    "  --save-after  save the view after S seconds (PNG) or the map (HDF5, as viz256-run map --to) and exit\n"
    "                (with no map yet by then: at the first map, at most 30 s later)\n";

namespace {

bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

std::pair<double, double> parse_band(const std::string &text) { return tools::parse_band(text); }

analysis::Grid parse_grid(const std::string &text) { return tools::parse_grid(text); }

std::vector<int> parse_channels(const std::string &text)
{
    std::vector<int> out;
    for (const QString &item : QString::fromStdString(text).split(u',', Qt::SkipEmptyParts)) {
        if (item.trimmed().isEmpty())
            continue;
        const std::optional<double> v = tools::read_number(item, false, 0);
        if (!v || *v > 255)
            throw std::invalid_argument("--traces: microphone channels from 0 to 255, not \"" + item.trimmed().toStdString() + "\"");
        out.push_back(int(*v));
    }
    if (out.size() > 8)
        throw std::invalid_argument("--traces: at most 8 microphones");
    return out;
}

Options parse_options(const QStringList &args)
{
    const tools::CommandLine c(args,
                               {{"help"}, {"device", true}, {"geometry", true}, {"band", true}, {"grid", true}, {"to", true},
                                {"traces", true}, {"window", true}, {"save-after", true}},
                               1);
    Options o;
    o.help = c.has("help");
    if (!c.positional().isEmpty())
        o.run = tools::bytes(c.positional().first());
    o.device = tools::bytes(c.value("device"));
    o.geometry = tools::bytes(c.value("geometry"));
    o.band = tools::bytes(c.value("band"));
    if (c.has("band"))
        parse_band(o.band);
    o.grid = tools::bytes(c.value("grid"));
    if (c.has("grid"))
        parse_grid(o.grid);
    o.to = tools::bytes(c.value("to"));
    if (c.has("traces"))
        o.traces = parse_channels(c.value("traces").toStdString());
    if (c.has("window")) {
        o.window_s = tools::seconds(c.value("window"), QStringLiteral("--window"));
        if (*o.window_s < 0.1 || *o.window_s > 5)
            throw std::invalid_argument("--window: from 0.1 to 5 s");
    }
    if (c.has("save-after"))
        o.save_after = tools::seconds(c.value("save-after"), QStringLiteral("--save-after"));
    if (o.save_after && o.to.empty())
        throw std::invalid_argument("--save-after needs --to FILE.png|FILE.h5");
    if (!o.to.empty() && !o.save_after)
        throw std::invalid_argument("--to goes with --save-after S");
    if (!o.to.empty() && !ends_with(o.to, ".png") && !ends_with(o.to, ".h5") && !ends_with(o.to, ".hdf5"))
        throw std::invalid_argument("--to: FILE.png or FILE.h5");
    if (!o.run.empty() && !o.device.empty())
        throw std::invalid_argument("a recorded run or --device, not both");
    return o;
}

}
