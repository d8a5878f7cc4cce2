#include "emulator/scene.h"

#include "analysis/geometry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fftw3.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <complex>
#include <cstring>
#include <random>
#include <set>
#include <sys/mman.h>

namespace emu {

namespace {

[[noreturn]] void fail(const std::string &path, const std::string &what)
{
    throw SceneError(path + ": " + what);
}

std::string quoted(const QString &s) { return "\"" + s.toStdString() + "\""; }

// The members of an object, each taken once; what is left over is a misspelt key.
class Fields {
public:
    Fields(const std::string &path, const QJsonObject &o, std::string where)
        : path_(path), o_(o), where_(std::move(where)) {}

    bool has(const char *key) const { return o_.contains(QLatin1String(key)); }

    double number(const char *key, const double *fallback = nullptr)
    {
        taken_.insert(key);
        const QJsonValue v = o_.value(QLatin1String(key));
        if (v.isUndefined()) {
            if (fallback)
                return *fallback;
            fail(path_, where_ + "\"" + key + "\" is missing");
        }
        if (!v.isDouble() || !std::isfinite(v.toDouble()))
            fail(path_, where_ + "\"" + key + "\" is not a number");
        return v.toDouble();
    }
    QString text(const char *key)
    {
        taken_.insert(key);
        const QJsonValue v = o_.value(QLatin1String(key));
        if (v.isUndefined())
            fail(path_, where_ + "\"" + key + "\" is missing");
        if (!v.isString())
            fail(path_, where_ + "\"" + key + "\" is not a string");
        return v.toString();
    }
    QJsonArray list(const char *key, bool required)
    {
        taken_.insert(key);
        const QJsonValue v = o_.value(QLatin1String(key));
        if (v.isUndefined() && !required)
            return {};
        if (!v.isArray())
            fail(path_, where_ + "\"" + key + "\" is " + (v.isUndefined() ? "missing" : "not a list"));
        return v.toArray();
    }
    void no_others() const
    {
        for (auto it = o_.begin(); it != o_.end(); ++it)
            if (!taken_.count(it.key().toStdString()))
                fail(path_, where_ + "unknown key " + quoted(it.key()));
    }

private:
    const std::string &path_;
    const QJsonObject &o_;
    std::string where_;
    std::set<std::string> taken_;
};

QJsonObject object_at(const std::string &path, const QJsonArray &a, qsizetype i, const std::string &what)
{
    if (!a.at(i).isObject())
        fail(path, what + " is not an object");
    return a.at(i).toObject();
}

// The line of a byte offset, for JSON syntax errors.
int line_of(const QByteArray &bytes, int offset)
{
    return 1 + int(std::count(bytes.begin(), bytes.begin() + std::clamp<qsizetype>(offset, 0, bytes.size()), '\n'));
}

// Independent noise of unit variance, a function of (frame, channel) only: the sum of four
// 16-bit uniforms of a 64-bit hash (close to Gaussian, never periodic).
inline float unit_noise(uint64_t n, int c, uint64_t seed)
{
    uint64_t z = (n << 8 | uint64_t(c)) + 0x9E3779B97F4A7C15ull + seed;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    const int64_t sum = int64_t(z & 0xFFFF) + int64_t((z >> 16) & 0xFFFF) + int64_t((z >> 32) & 0xFFFF) + int64_t(z >> 48);
    return float(double(sum - 131070) * (1.0 / 37837.2));   // sqrt(4 (65536^2 - 1) / 12)
}

std::mutex fftw_planner;   // FFTW's planner is not thread-safe

} // namespace

SceneSignals::Floats::Floats(size_t n)
{
    constexpr size_t kHuge = size_t(2) << 20;
    const size_t bytes = (n * sizeof(float) + kHuge - 1) / kHuge * kHuge;
    data = static_cast<float *>(std::aligned_alloc(kHuge, bytes));
    if (!data)
        throw std::bad_alloc();
    owner.reset(data);
    madvise(data, bytes, MADV_HUGEPAGE);
    std::memset(data, 0, bytes);
}

void SceneSignals::Floats::Free::operator()(float *p) const { std::free(p); }

std::shared_ptr<const Scene> Scene::load(const std::string &path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        fail(path, "cannot open: " + file.errorString().toStdString());
    const QByteArray bytes = file.readAll();
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        throw SceneError(path + ":" + std::to_string(line_of(bytes, error.offset)) + ": not JSON ("
                         + error.errorString().toStdString() + ")");
    if (!doc.isObject())
        fail(path, "not a scene (a JSON object is expected)");
    const QJsonObject root = doc.object();

    auto scene = std::make_shared<Scene>();
    scene->path = path;
    Fields top(path, root, "");
    const QString geometry = top.text("geometry");
    const double c0 = 343.0, n0 = -60.0;
    scene->speed_of_sound = top.number("speed_of_sound", &c0);
    if (scene->speed_of_sound <= 0)
        fail(path, "\"speed_of_sound\" must be above 0");
    scene->noise_db = top.number("noise_db", &n0);
    const QJsonArray sources = top.list("sources", false);
    const QJsonArray faults = top.list("faults", false);
    top.no_others();

    // The geometry, relative to the scene's folder.
    QString gpath = geometry;
    if (QFileInfo(gpath).isRelative())
        gpath = QFileInfo(QString::fromStdString(path)).dir().filePath(geometry);
    try {
        const analysis::Geometry g = analysis::read_geometry(gpath.toStdString());
        if (g.mics.size() > size_t(kMaxPositions))
            fail(path, "geometry " + gpath.toStdString() + " has " + std::to_string(g.mics.size())
                           + " microphones, 16 recorders at most " + std::to_string(kMaxPositions));
        for (const auto &m : g.mics) {
            scene->mic_x.push_back(m.x);
            scene->mic_y.push_back(m.y);
            scene->mic_z.push_back(m.z);
        }
    } catch (const analysis::GeometryError &e) {
        fail(path, std::string("geometry ") + e.what());
    }

    for (qsizetype i = 0; i < sources.size(); ++i) {
        const std::string where = "source " + std::to_string(i + 1) + ": ";
        const QJsonObject o = object_at(path, sources, i, "source " + std::to_string(i + 1));
        Fields f(path, o, where);
        SceneSource s;
        s.x = f.number("x");
        s.y = f.number("y");
        s.z = f.number("z");
        s.level_db = f.number("level_db");
        const QString kind = f.text("signal");
        if (kind == QLatin1String("noise")) {
            const QJsonArray band = f.list("band", true);
            if (band.size() != 2 || !band.at(0).isDouble() || !band.at(1).isDouble())
                fail(path, where + "\"band\" must be [F1, F2] in Hz");
            s.f1 = band.at(0).toDouble();
            s.f2 = band.at(1).toDouble();
            if (!(s.f1 >= 0 && s.f2 > s.f1))
                fail(path, where + "\"band\" must be [F1, F2] with 0 <= F1 < F2");
        } else if (kind == QLatin1String("tone")) {
            s.tone = true;
            s.freq = f.number("freq");
            if (!(s.freq > 0))
                fail(path, where + "\"freq\" must be above 0");
        } else {
            fail(path, where + "\"signal\" is " + quoted(kind) + ", not \"noise\" or \"tone\"");
        }
        f.no_others();
        for (size_t m = 0; m < scene->mic_x.size(); ++m)
            if (std::hypot(s.x - scene->mic_x[m], s.y - scene->mic_y[m], s.z - scene->mic_z[m]) < 1e-3)
                fail(path, where + "it is at microphone " + std::to_string(m) + " (closer than 1 mm)");
        scene->sources.push_back(s);
    }

    std::set<int> seen;
    for (qsizetype i = 0; i < faults.size(); ++i) {
        const std::string where = "fault " + std::to_string(i + 1) + ": ";
        const QJsonObject o = object_at(path, faults, i, "fault " + std::to_string(i + 1));
        Fields f(path, o, where);
        SceneFault fault;
        const double ch = f.number("channel");
        if (ch != std::floor(ch) || ch < 0 || ch >= double(scene->mic_x.size()))
            fail(path, where + "\"channel\" must be a microphone channel of the geometry, 0 to "
                           + std::to_string(scene->mic_x.size() - 1));
        fault.channel = int(ch);
        const QString kind = f.text("kind");
        static const std::pair<const char *, FaultKind> kinds[] = {
            {"dead", FaultKind::Dead}, {"clipped", FaultKind::Clipped},
            {"reversed", FaultKind::Reversed}, {"noisy", FaultKind::Noisy}};
        const auto k = std::find_if(std::begin(kinds), std::end(kinds), [&](const auto &p) { return kind == QLatin1String(p.first); });
        if (k == std::end(kinds))
            fail(path, where + "\"kind\" is " + quoted(kind) + ", not \"dead\", \"clipped\", \"reversed\" or \"noisy\"");
        fault.kind = k->second;
        f.no_others();
        if (!seen.insert(fault.channel).second)
            fail(path, where + "channel " + std::to_string(fault.channel) + " has a fault already");
        scene->faults.push_back(fault);
    }
    return scene;
}

std::shared_ptr<const SceneSignals> Scene::at_rate(double fs, int recorder) const
{
    std::lock_guard<std::mutex> lock(mu_);
    const auto key = std::make_pair(fs, recorder);
    for (size_t i = 0; i < cache_.size(); ++i)
        if (cache_[i].first == key) {
            auto hit = cache_[i];
            cache_.erase(cache_.begin() + std::ptrdiff_t(i));
            cache_.push_back(hit);
            return hit.second;
        }
    auto made = std::make_shared<const SceneSignals>(*this, fs, recorder);
    // Two frequencies of every recorder that plays a part of the layout.
    const size_t parts = std::max<size_t>(1, (mic_x.size() + kChannels - 1) / kChannels);
    if (cache_.size() == 2 * parts)
        cache_.erase(cache_.begin());
    cache_.emplace_back(key, made);
    return made;
}

SceneSignals::SceneSignals(const Scene &scene, double fs, int recorder) : table_(kPeriod * Scene::kChannels)
{
    using cplx = std::complex<double>;
    const size_t P = kPeriod, half = P / 2;
    // This recorder's part of the layout: positions first .. first + nm - 1.
    const size_t first = size_t(recorder) * Scene::kChannels;
    const size_t nm = std::min<size_t>(Scene::kChannels, scene.mic_x.size() > first ? scene.mic_x.size() - first : 0);
    noise_seed_ = uint64_t(recorder) * 0xD1B54A32D192ED03ull;

    // Each source's spectrum (bins 1 .. P/2 - 1 only: no DC, nothing at or above fs / 2).
    struct Spectrum {
        size_t k1 = 0, k2 = 0;           // bins [k1, k2)
        std::vector<cplx> bins;
    };
    std::vector<Spectrum> spectra;
    for (size_t s = 0; s < scene.sources.size(); ++s) {
        const SceneSource &src = scene.sources[s];
        const double rms = Scene::kFullScale * std::pow(10.0, src.level_db / 20.0);
        Spectrum sp;
        if (src.tone) {
            const double k = std::round(src.freq * double(P) / fs);
            if (k >= 1 && k < double(half)) {
                sp.k1 = size_t(k);
                sp.k2 = sp.k1 + 1;
                sp.bins.assign(1, cplx(0, -rms / std::sqrt(2.0)));   // a sine of that RMS
            }
        } else {
            sp.k1 = size_t(std::max(1.0, std::ceil(src.f1 * double(P) / fs)));
            sp.k2 = size_t(std::clamp(std::floor(src.f2 * double(P) / fs) + 1, 0.0, double(half)));
            if (sp.k2 > sp.k1) {
                // FFTW's inverse: a bin of amplitude A is a cosine of amplitude 2A, RMS sqrt(2) A.
                const double a = rms / std::sqrt(2.0 * double(sp.k2 - sp.k1));
                std::mt19937_64 random(0x5CE9E000u + s);
                std::uniform_real_distribution<double> phase(0, 2 * M_PI);
                for (size_t k = sp.k1; k < sp.k2; ++k)
                    sp.bins.push_back(std::polar(a, phase(random)));
            }
        }
        spectra.push_back(std::move(sp));   // empty (k1 = k2) when nothing of it is recorded
    }

    // Each microphone: the sum of the delayed, attenuated spectra, back to time, microphone by
    // microphone; then the table, frame-major as frames read it (16 x 16 tiles).
    const bool any = std::any_of(spectra.begin(), spectra.end(), [](const Spectrum &sp) { return sp.k2 > sp.k1; });
    Floats columns(any ? P * nm : 1);
    std::vector<double> rms(Scene::kChannels, 0.0);
    double *time = fftw_alloc_real(P);
    fftw_complex *freq = fftw_alloc_complex(half + 1);
    fftw_plan plan;
    {
        std::lock_guard<std::mutex> lock(fftw_planner);
        plan = fftw_plan_dft_c2r_1d(int(P), freq, time, FFTW_ESTIMATE);
    }
    auto *X = reinterpret_cast<cplx *>(freq);
    const auto mul = [](cplx a, cplx b) {   // without the NaN recovery of operator*
        return cplx(a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real());
    };
    for (size_t m = 0; any && m < nm; ++m) {
        std::fill(X, X + half + 1, cplx(0, 0));
        for (size_t s = 0; s < spectra.size(); ++s) {
            const Spectrum &sp = spectra[s];
            const SceneSource &src = scene.sources[s];
            const double r = std::hypot(src.x - scene.mic_x[first + m], src.y - scene.mic_y[first + m], src.z - scene.mic_z[first + m]);
            // exp(-2 pi j k d / P) / r for a delay of d samples, by a recurrence set exactly every 256 bins.
            const double w = -2 * M_PI * (r / scene.speed_of_sound * fs) / double(P);
            const cplx step = std::polar(1.0, w);
            cplx ramp;
            for (size_t k = sp.k1; k < sp.k2; ++k) {
                if ((k - sp.k1) % 256 == 0)
                    ramp = std::polar(1.0 / r, std::fmod(w * double(k), 2 * M_PI));
                X[k] += mul(sp.bins[k - sp.k1], ramp);
                ramp = mul(ramp, step);
            }
        }
        fftw_execute(plan);
        double sum = 0;
        for (size_t n = 0; n < P; ++n) {
            columns.data[m * P + n] = float(time[n]);
            sum += time[n] * time[n];
        }
        rms[m] = sum;
    }
    fftw_free(freq);
    fftw_free(time);
    {
        std::lock_guard<std::mutex> lock(fftw_planner);
        fftw_destroy_plan(plan);
    }
    for (size_t c0 = 0; any && c0 < nm; c0 += 16)
        for (size_t n0 = 0; n0 < P; n0 += 16)
            for (size_t c = c0; c < std::min(nm, c0 + 16); ++c)
                for (size_t n = n0; n < n0 + 16; ++n)
                    table_.data[n * Scene::kChannels + c] = columns.data[c * P + n];

    const double noise = Scene::kFullScale * std::pow(10.0, scene.noise_db / 20.0);
    for (size_t c = 0; c < size_t(Scene::kChannels); ++c) {
        rms[c] = std::sqrt(rms[c] / double(P));
        mic_[c].gain = c < nm ? 1.0f : 0.0f;   // not connected: digital zero
        mic_[c].noise = float(noise);
    }
    for (const SceneFault &f : scene.faults) {
        if (size_t(f.channel) < first || size_t(f.channel) >= first + nm)
            continue; // another recorder's
        const size_t c = size_t(f.channel) - first;
        Mic &mic = mic_[c];
        const double level = std::hypot(rms[c], noise);
        switch (f.kind) {
        case FaultKind::Dead: mic.gain = 0; break;
        case FaultKind::Reversed: mic.gain = -1; break;
        case FaultKind::Clipped:
            if (level > 0)
                mic.gain = float(std::pow(10.0, -1.0 / 20.0) * Scene::kFullScale / level);
            break;
        case FaultKind::Noisy:
            // 20 dB above, but at most -16 dB re full scale: its peaks (3.5 RMS at most) never clip.
            mic.noise = float(std::hypot(noise, std::min(10.0 * level, std::pow(10.0, -16.0 / 20.0) * Scene::kFullScale)));
            break;
        }
    }
}

double SceneSignals::value(uint64_t n, int c) const
{
    const float s = table_.data[(n & (kPeriod - 1)) * Scene::kChannels + size_t(c)];
    const float v = mic_[c].gain * (s + mic_[c].noise * unit_noise(n, c, noise_seed_));
    return std::clamp(double(v), -Scene::kFullScale, Scene::kFullScale - 1);
}

void SceneSignals::write(uint64_t n, const int *mics, size_t count, bool floats, uint8_t *out) const
{
    const float *row = table_.data + (n & (kPeriod - 1)) * Scene::kChannels;
    for (size_t i = 0; i < count; ++i) {
        const int c = mics[i];
        const Mic &mic = mic_[c];
        const float v = mic.gain * (row[c] + mic.noise * unit_noise(n, c, noise_seed_));
        uint32_t w;
        if (floats)
            w = std::bit_cast<uint32_t>(std::clamp(v, -2147483648.0f, 2147483648.0f));
        else if (v >= 2147483648.0f)   // an int32 saturates
            w = uint32_t(INT32_MAX);
        else if (v <= -2147483648.0f)
            w = uint32_t(INT32_MIN);
        else
            w = uint32_t(int32_t(v + std::copysign(0.5f, v)));
        std::memcpy(out + 4 * i, &w, 4);
    }
}

} // namespace emu
