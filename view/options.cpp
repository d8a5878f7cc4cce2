#include "view/options.h"

#include "tools/analysis_options.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

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
    "  --save-after  save the view after S seconds (PNG) or the map (HDF5, as viz256-run map --to) and exit\n";

namespace {

double number(const std::string &option, const std::string &text)
{
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end || !std::isfinite(v))
        throw std::invalid_argument(option + ": \"" + text + "\" is not a number");
    return v;
}

bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

std::vector<int> parse_channels(const std::string &text)
{
    std::vector<int> out;
    std::string item;
    std::stringstream in(text);
    while (std::getline(in, item, ',')) {
        const size_t a = item.find_first_not_of(" \t"), b = item.find_last_not_of(" \t");
        if (a == std::string::npos)
            continue;
        const double v = number("--traces", item.substr(a, b - a + 1));
        if (v != std::floor(v) || v < 0 || v > 255)
            throw std::invalid_argument("--traces: microphone channels from 0 to 255");
        out.push_back(int(v));
    }
    if (out.size() > 8)
        throw std::invalid_argument("--traces: at most 8 microphones");
    return out;
}

Options parse_options(const std::vector<std::string> &args)
{
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        const bool value = i + 1 < args.size();
        if (a == "--help" || a == "-h")
            o.help = true;
        else if (a == "--device" && value)
            o.device = args[++i];
        else if (a == "--geometry" && value)
            o.geometry = args[++i];
        else if (a == "--band" && value)
            tools::parse_band(o.band = args[++i]);
        else if (a == "--grid" && value)
            o.grid = args[++i];
        else if (a == "--to" && value)
            o.to = args[++i];
        else if (a == "--traces" && value)
            o.traces = parse_channels(args[++i]);
        else if (a == "--window" && value) {
            o.window_s = number(a, args[++i]);
            if (*o.window_s < 0.1 || *o.window_s > 5)
                throw std::invalid_argument("--window: from 0.1 to 5 s");
        } else if (a == "--save-after" && value) {
            o.save_after = number(a, args[++i]);
            if (*o.save_after < 0)
                throw std::invalid_argument("--save-after: a number of seconds");
        } else if (!a.empty() && a[0] != '-' && o.run.empty())
            o.run = a;
        else
            throw std::invalid_argument("unknown option " + a);
    }
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
