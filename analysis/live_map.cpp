#include "analysis/live_map.h"

#include <cblas.h>
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace analysis {

struct SeriesFft {
    std::vector<float> in;
    std::vector<std::complex<float>> out;
    fftwf_plan plan = nullptr;
    int n;
    size_t m;
    SeriesFft(int block, size_t series) : in(size_t(block) * series), out(size_t(block / 2 + 1) * series), n(block), m(series)
    {
        plan = plan_series(block, series, in.data(), out.data());
        if (!plan)
            throw std::runtime_error("FFTW could not plan the spectra");
    }
    ~SeriesFft() { fftwf_destroy_plan(plan); }
    // The spectra of n rows of m samples, windowed: out[i * (n/2 + 1) + k].
    void run(const float *rows, const std::vector<float> &window)
    {
        windowed_series(rows, size_t(n), m, window.data(), in.data());
        fftwf_execute(plan);
    }
    std::complex<float> at(size_t series, int bin) const { return out[series * size_t(n / 2 + 1) + size_t(bin)]; }
};

namespace {

// 2 / (N sum w^2): one-sided spectra whose sum over bins is the mean square.
double spectrum_scale(const std::vector<float> &w)
{
    double w2 = 0;
    for (float v : w)
        w2 += double(v) * v;
    return 2.0 / (double(w.size()) * w2);
}

void check_block(int block)
{
    if (block < 16 || block % 2)
        throw std::invalid_argument("block size: an even number of frames, 16 or more");
}

}

BlockAssembler::BlockAssembler(int block, size_t m) : block_(block), m_(m), rows_(size_t(block) * m) {}

LiveMap::LiveMap(double sample_freq, std::vector<Microphone> positions, Grid grid, LiveMapSettings settings)
    : fs_(sample_freq), positions_(std::move(positions)), grid_(grid), settings_(settings), m_(positions_.size()),
      g_(size_t(grid.nx()) * size_t(grid.ny())), assembler_((check_block(settings.block), settings.block), positions_.size())
{
    if (!(fs_ > 0))
        throw std::invalid_argument("sampling frequency: not known");
    if (!(settings_.f1 >= 0) || !(settings_.f2 >= settings_.f1))
        throw std::invalid_argument("band: F1:F2 with 0 <= F1 <= F2");
    if (m_ < 2)
        throw std::invalid_argument("fewer than two microphones to map with");
    const int block = settings_.block;
    for (int b = 1; b < block / 2; ++b) {
        const double f = fs_ * b / block;
        if (f >= settings_.f1 && f <= settings_.f2)
            bins_.push_back(b);
    }
    if (bins_.empty()) {
        char t[240];
        std::snprintf(t, sizeof t, "the band %g to %g Hz holds no frequency bin of %g Hz (sampling at %g Hz, blocks of %d frames)",
                      settings_.f1, settings_.f2, fs_ / block, fs_, block);
        throw std::invalid_argument(t);
    }
    // Steering vectors, and the spectra of the longest window (5 s).
    const double window_blocks = 5.0 * fs_ / (block / 2) + 2;
    const double bytes = double(bins_.size()) * double(m_) * 8 * (double(g_) + window_blocks) + double(g_) * window_blocks * 4;
    if (bytes > double(settings_.max_bytes))
        throw std::invalid_argument("the band holds " + std::to_string(bins_.size()) + " bins: the live map would take " +
                                    std::to_string(uint64_t(bytes) >> 20) + " MiB; narrow the band or the grid");
    window_ = hann(block);
    scale_ = spectrum_scale(window_);
    fft_ = std::make_unique<SeriesFft>(block, m_);
    set_used(std::vector<bool>(m_, true));
}

LiveMap::~LiveMap() = default;

void LiveMap::set_used(const std::vector<bool> &used)
{
    if (used.size() != m_ || std::count(used.begin(), used.end(), true) < 2)
        throw std::invalid_argument("live map: at least two microphones, one flag per microphone");
    used_ = used;
    use_.clear();
    for (size_t i = 0; i < m_; ++i)
        if (used_[i])
            use_.push_back(i);
    steer();
    pending_ = ring_.size(); // map the window's blocks again with the new set
}

// Formulation III for the microphones used, as beamform() makes it.
void LiveMap::steer()
{
    const size_t mu = use_.size();
    double cx = 0, cy = 0, cz = 0;
    for (size_t i : use_)
        cx += positions_[i].x, cy += positions_[i].y, cz += positions_[i].z;
    cx /= double(mu), cy /= double(mu), cz /= double(mu);
    std::vector<float> delta(mu * g_);
    amp2_.assign(mu * g_, 0);
    norm_.assign(g_, 1);
    std::vector<float> amp(mu * g_);
    std::vector<double> r(mu);
    const int nx = grid_.nx();
    for (size_t p = 0; p < g_; ++p) {
        const double x = grid_.x(int(p % size_t(nx))), y = grid_.y(int(p / size_t(nx))), z = grid_.z;
        const double r0 = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy) + (z - cz) * (z - cz));
        double s2 = 0, s4 = 0;
        for (size_t k = 0; k < mu; ++k) {
            const Microphone &q = positions_[use_[k]];
            r[k] = std::max(1e-6, std::sqrt((x - q.x) * (x - q.x) + (y - q.y) * (y - q.y) + (z - q.z) * (z - q.z)));
            s2 += 1 / (r[k] * r[k]);
            s4 += 1 / (r[k] * r[k] * r[k] * r[k]);
        }
        for (size_t k = 0; k < mu; ++k) {
            delta[p * mu + k] = float(r[k] - r0);
            amp[p * mu + k] = float(1 / (std::max(r0, 1e-6) * r[k] * s2));
            amp2_[p * mu + k] = amp[p * mu + k] * amp[p * mu + k];
        }
        if (settings_.remove_diagonal)
            norm_[p] = 1 / (1 - s4 / (s2 * s2));
    }
    h_.assign(bins_.size(), {});
    for (size_t b = 0; b < bins_.size(); ++b) {
        const float k = float(2 * M_PI * frequency(b) / settings_.speed_of_sound);
        std::vector<std::complex<float>> &h = h_[b];
        h.resize(mu * g_);
        for (size_t i = 0; i < mu * g_; ++i)
            h[i] = std::polar(amp[i], -k * delta[i]);
    }
}

void LiveMap::feed(const float *rows, size_t n, uint64_t first)
{
    assembler_.feed(rows, n, first, [&](const float *block, uint64_t at) { block_ready(block, at); });
}

void LiveMap::block_ready(const float *rows, uint64_t first)
{
    fft_->run(rows, window_);
    Held held{first, std::vector<std::complex<float>>(bins_.size() * m_), {}};
    for (size_t b = 0; b < bins_.size(); ++b)
        for (size_t i = 0; i < m_; ++i)
            held.spectra[b * m_ + i] = fft_->at(i, bins_[b]);
    if (!ring_.empty() && first <= ring_.back().first) {
        ring_.clear(); // time went back: a new start
        pending_ = 0;
    }
    ring_.push_back(std::move(held));
    ++pending_;
    trim();
}

void LiveMap::trim()
{
    if (ring_.empty())
        return;
    const double span = std::max(settings_.window_s * fs_, double(settings_.block)) + double(history_);
    const double end = double(ring_.back().first + uint64_t(settings_.block));
    while (ring_.size() > 1 && double(ring_.front().first) < end - span - 1e-6)
        ring_.pop_front();
    pending_ = std::min(pending_, ring_.size());
}

void LiveMap::set_history(uint64_t frames)
{
    history_ = frames;
    trim();
}

void LiveMap::set_window(double seconds)
{
    settings_.window_s = std::clamp(seconds, 0.01, 5.0);
    trim();
}

void LiveMap::restart()
{
    ring_.clear();
    pending_ = 0;
    assembler_.restart();
}

// The maps of the blocks not mapped yet: per bin one product H^H X for all of them.
void LiveMap::map_pending()
{
    const size_t nb = pending_;
    if (nb == 0)
        return;
    const size_t first = ring_.size() - nb, mu = use_.size();
    std::vector<double> total(g_ * nb, 0.0);
    std::vector<std::complex<float>> x(mu * nb), y(g_ * nb);
    std::vector<float> auto_power(mu * nb, 0.0f), diag(g_ * nb);
    for (size_t b = 0; b < bins_.size(); ++b) {
        for (size_t j = 0; j < nb; ++j) {
            const std::complex<float> *s = ring_[first + j].spectra.data() + b * m_;
            for (size_t k = 0; k < mu; ++k) {
                x[j * mu + k] = s[use_[k]];
                auto_power[j * mu + k] += std::norm(s[use_[k]]);
            }
        }
        const std::complex<float> one(1), zero(0);
        cblas_cgemm(CblasColMajor, CblasConjTrans, CblasNoTrans, int(g_), int(nb), int(mu), &one, h_[b].data(), int(mu),
                    x.data(), int(mu), &zero, y.data(), int(g_));
        for (size_t i = 0; i < g_ * nb; ++i)
            total[i] += double(std::norm(y[i]));
    }
    if (settings_.remove_diagonal)
        cblas_sgemm(CblasColMajor, CblasTrans, CblasNoTrans, int(g_), int(nb), int(mu), 1.0f, amp2_.data(), int(mu),
                    auto_power.data(), int(mu), 0.0f, diag.data(), int(g_));
    for (size_t j = 0; j < nb; ++j) {
        std::vector<float> &power = ring_[first + j].power;
        power.resize(g_);
        for (size_t p = 0; p < g_; ++p) {
            double v = total[j * g_ + p];
            if (settings_.remove_diagonal)
                v -= double(diag[j * g_ + p]);
            power[p] = float(v * norm_[p] * scale_);
        }
    }
    pending_ = 0;
}

Map LiveMap::map()
{
    MapWindow window;
    return map(UINT64_MAX, window);
}

Map LiveMap::map(uint64_t end, MapWindow &window)
{
    map_pending();
    Map map;
    map.grid = grid_;
    window = {};
    const uint64_t block = uint64_t(settings_.block);
    // The newest block that ends by `end`, and those that start within the window before its end.
    auto last = ring_.rbegin();
    while (last != ring_.rend() && last->first + block > end)
        ++last;
    if (last == ring_.rend())
        return map;
    const double span = std::max(settings_.window_s * fs_, double(settings_.block));
    const double last_end = double(last->first + block);
    map.power.assign(g_, 0.0);
    for (auto it = last; it != ring_.rend() && double(it->first) >= last_end - span - 1e-6; ++it) {
        for (size_t p = 0; p < g_; ++p)
            map.power[p] += double(it->power[p]);
        window.first = it->first;
        ++window.blocks;
    }
    window.frames = last->first + block - window.first;
    for (double &v : map.power)
        v /= double(window.blocks);
    map.peak = size_t(std::max_element(map.power.begin(), map.power.end()) - map.power.begin());
    return map;
}

uint64_t LiveMap::first_frame() const { return ring_.empty() ? 0 : ring_.front().first; }

uint64_t LiveMap::frames() const
{
    return ring_.empty() ? 0 : ring_.back().first + uint64_t(settings_.block) - ring_.front().first;
}

LiveSpectra::LiveSpectra(double sample_freq, size_t channels, int block, double window_s)
    : fs_(sample_freq), m_(channels), block_((check_block(block), block)), window_s_(window_s), window_(hann(block)),
      scale_(spectrum_scale(window_)), assembler_(block, std::max<size_t>(channels, 1))
{
    if (m_ > 0)
        fft_ = std::make_unique<SeriesFft>(block, m_);
}

LiveSpectra::~LiveSpectra() = default;

void LiveSpectra::feed(const float *rows, size_t n, uint64_t first)
{
    if (m_ == 0)
        return;
    assembler_.feed(rows, n, first, [&](const float *block, uint64_t at) {
        fft_->run(block, window_);
        const int bins = block_ / 2 + 1;
        std::vector<float> power(m_ * size_t(bins));
        for (size_t i = 0; i < m_; ++i)
            for (int k = 0; k < bins; ++k)
                power[i * size_t(bins) + size_t(k)] = float(std::norm(fft_->at(i, k)) * scale_);
        if (!ring_.empty() && at <= ring_.back().first)
            ring_.clear();
        ring_.emplace_back(at, std::move(power));
        trim();
    });
}

void LiveSpectra::restart()
{
    ring_.clear();
    assembler_.restart();
}

void LiveSpectra::trim()
{
    if (ring_.empty())
        return;
    const double span = std::max(window_s_ * fs_, double(block_));
    const double end = double(ring_.back().first + uint64_t(block_));
    while (ring_.size() > 1 && double(ring_.front().first) < end - span - 1e-6)
        ring_.pop_front();
}

std::vector<std::vector<double>> LiveSpectra::mean() const
{
    std::vector<std::vector<double>> out;
    if (ring_.empty())
        return out;
    const size_t bins = size_t(block_ / 2 + 1);
    out.assign(m_, std::vector<double>(bins, 0.0));
    for (const auto &[first, power] : ring_)
        for (size_t i = 0; i < m_; ++i)
            for (size_t k = 0; k < bins; ++k)
                out[i][k] += power[i * bins + k];
    for (auto &row : out)
        for (double &v : row)
            v /= double(ring_.size());
    return out;
}

}
