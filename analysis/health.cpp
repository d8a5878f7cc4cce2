#include "analysis/health.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace analysis {

namespace {

double median(std::vector<double> v)
{
    if (v.empty())
        return std::numeric_limits<double>::quiet_NaN();
    const size_t h = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + long(h), v.end());
    if (v.size() % 2)
        return v[h];
    return 0.5 * (v[h] + *std::max_element(v.begin(), v.begin() + long(h)));
}

}

const char *verdict_name(Verdict v)
{
    switch (v) {
    case Verdict::Ok: return "ok";
    case Verdict::Dead: return "dead";
    case Verdict::Clipping: return "clipping";
    case Verdict::Dropouts: return "dropouts";
    case Verdict::DcOffset: return "dc_offset";
    case Verdict::Incoherent: return "incoherent";
    case Verdict::LevelOutlier: return "level_outlier";
    case Verdict::ReversedPolarity: return "reversed_polarity";
    case Verdict::Undetermined: return "undetermined";
    }
    return "?";
}

bool is_fault(Verdict v) { return v != Verdict::Ok && v != Verdict::Undetermined; }

const char *polarity_name(const MicHealth &h)
{
    if (h.verdict == Verdict::ReversedPolarity)
        return "reversed";
    return h.polarity_decided > 0 && h.polarity_votes > 0 ? "same" : "undetermined";
}

std::vector<size_t> HealthReport::faulty() const
{
    std::vector<size_t> out;
    for (size_t i = 0; i < mics.size(); ++i)
        if (is_fault(mics[i].verdict))
            out.push_back(i);
    return out;
}

std::vector<size_t> HealthReport::undetermined() const
{
    std::vector<size_t> out;
    for (size_t i = 0; i < mics.size(); ++i)
        if (mics[i].verdict == Verdict::Undetermined)
            out.push_back(i);
    return out;
}

HealthMeter::HealthMeter(FrameFormat format, std::vector<int> channels, std::vector<std::string> names, double sample_freq,
                         std::vector<Microphone> positions, HealthSettings settings)
    : format_(std::move(format)), channels_(std::move(channels)), names_(std::move(names)), positions_(std::move(positions)),
      settings_(settings), fs_(sample_freq), m_(format_.mics()), stats_(format_, settings.held_run)
{
    if (channels_.size() != m_ || names_.size() != m_ || (!positions_.empty() && positions_.size() != m_))
        throw std::invalid_argument("health: one channel, name and position per microphone");
    if (!positions_.empty() && m_ > 1)
        pairs_ = std::make_unique<NeighbourSpectra>(positions_, fs_, settings_.polarity_neighbours, settings_.speed_of_sound,
                                                    settings_.expected_frames, settings_.spectra_thread);
}

HealthMeter::~HealthMeter() = default;

std::unique_ptr<NeighbourSpectra> HealthMeter::spectra_part() const
{
    if (!pairs_)
        return nullptr;
    return std::make_unique<NeighbourSpectra>(positions_, fs_, settings_.polarity_neighbours, settings_.speed_of_sound,
                                              settings_.expected_frames, false);
}

void HealthMeter::feed(const uint8_t *frames, size_t n)
{
    stats_.feed(frames, n);
    if (pairs_ && !settings_.spectra_apart)
        pairs_->feed(nullptr, frames, format_, n);
}

void HealthMeter::feed_samples(const float *rows, size_t n)
{
    stats_.feed_samples(rows, n);
    if (pairs_ && !settings_.spectra_apart)
        pairs_->feed(rows, nullptr, format_, n);
}

void HealthMeter::gap()
{
    if (stats_.frames() == 0)
        return;
    stats_.gap();
    if (pairs_)
        pairs_->gap();
}

HealthReport HealthMeter::report() const
{
    HealthReport r;
    const SampleStats &st = stats_;
    const uint64_t frames_ = st.frames();
    r.frames = frames_;
    r.neighbours = !positions_.empty();
    r.mics.resize(m_);
    const double n = double(std::max<uint64_t>(frames_, 1)), nan = std::numeric_limits<double>::quiet_NaN();
    char t[160];
    // What each microphone's own samples say.
    for (size_t c = 0; c < m_; ++c) {
        MicHealth &h = r.mics[c];
        h.channel = channels_[c];
        h.name = names_[c];
        const double mean = st.sum_[c] / n;
        const double var = std::max(0.0, st.sumsq_[c] / n - mean * mean);
        h.level_db = var > 0 ? 10 * std::log10(var) : -std::numeric_limits<double>::infinity();
        h.dc = double(st.ref_[c]) + mean;
        h.peak = frames_ ? std::max(std::abs(double(st.hi_[c])), std::abs(double(st.lo_[c]))) : 0;
        h.clipped = double(st.hi_held_[c] + (st.lo_[c] < st.hi_[c] ? st.lo_held_[c] : 0)) / n;
        h.held = double(st.held_[c]) / n;
        h.held_runs = st.held_runs_[c];
        h.coherence = h.neighbours_coherence = nan;
        if (frames_ == 0)
            continue;
        if (!std::isfinite(st.sum_[c]) || !std::isfinite(st.sumsq_[c])) {
            h.verdict = Verdict::Dead; // a float microphone giving NaN or infinity gives nothing usable
            h.detail = "samples that are not finite numbers";
        } else if (double(st.hi_[c]) - double(st.lo_[c]) <= 2.0 / kFullScale || h.level_db < settings_.dead_db) {
            h.verdict = Verdict::Dead;
            h.detail = st.hi_[c] == st.lo_[c] ? (st.hi_[c] == 0 ? "digital zero" : "flat") : "no signal above the dead level";
        } else if (h.clipped >= settings_.clipped_share) {
            h.verdict = Verdict::Clipping;
            h.detail = "samples held at its extreme value";
        } else if (h.held_runs > 0) {
            std::snprintf(t, sizeof t, "%llu runs of %d or more equal samples, %.3g %% of its samples",
                          (unsigned long long)h.held_runs, settings_.held_run, 100 * h.held);
            h.verdict = Verdict::Dropouts;
            h.detail = t;
        } else if (std::abs(h.dc) > settings_.dc_limit) {
            std::snprintf(t, sizeof t, "mean of %.3g of full scale (limit %g)", h.dc, settings_.dc_limit);
            h.verdict = Verdict::DcOffset;
            h.detail = t;
        }
    }
    const auto alive = [&](size_t c) { return r.mics[c].verdict != Verdict::Dead; };
    // Whose signal can stand for the sound field in a comparison with its neighbours.
    const auto sound = [&](size_t c) { return r.mics[c].verdict == Verdict::Ok || r.mics[c].verdict == Verdict::DcOffset; };

    // Coherence with the neighbours, and theirs with their own.
    std::vector<PairFigures> pairs;
    if (pairs_ && frames_)
        pairs = pairs_->pairs();
    std::vector<std::vector<const PairFigures *>> of(m_);
    for (const PairFigures &p : pairs)
        if (sound(p.i) && sound(p.j)) {
            of[p.i].push_back(&p);
            of[p.j].push_back(&p);
        }
    for (size_t c = 0; c < m_; ++c) {
        std::vector<double> v;
        for (const PairFigures *p : of[c])
            if (std::isfinite(p->coherence))
                v.push_back(p->coherence);
        r.mics[c].coherence = median(v);
    }
    // Enough blocks that coherence tells a sound field from chance (health.h).
    const uint64_t blocks = pairs_ ? pairs_->blocks() : 0;
    const bool judged = !pairs.empty() &&
        chance_coherence(blocks) <= settings_.chance_share * settings_.incoherent_ratio * settings_.coherent_field;
    for (size_t c = 0; c < m_; ++c) {
        std::vector<double> v;
        for (const PairFigures *p : of[c]) {
            const size_t other = p->i == c ? p->j : p->i;
            if (std::isfinite(r.mics[other].coherence))
                v.push_back(r.mics[other].coherence);
        }
        MicHealth &h = r.mics[c];
        h.neighbours_coherence = median(v);
        if (judged && h.verdict == Verdict::Ok && h.neighbours_coherence >= settings_.coherent_field &&
            h.coherence < settings_.incoherent_ratio * h.neighbours_coherence) {
            std::snprintf(t, sizeof t, "coherence %.2f with its neighbours, theirs %.2f: noise of its own", h.coherence,
                          h.neighbours_coherence);
            h.verdict = Verdict::Incoherent;
            h.detail = t;
        }
    }
    const auto coherent = [&](const MicHealth &h) { return h.neighbours_coherence >= settings_.coherent_field; };

    // Level against the array's median, or against the median of the nearest live neighbours.
    std::vector<double> all;
    for (size_t c = 0; c < m_; ++c)
        if (alive(c))
            all.push_back(r.mics[c].level_db);
    const double array_median = median(all);
    std::vector<std::vector<size_t>> near;
    if (r.neighbours)
        near = nearest(positions_, int(m_) - 1);
    for (size_t c = 0; c < m_; ++c) {
        MicHealth &h = r.mics[c];
        h.reference_db = array_median;
        if (r.neighbours) {
            std::vector<double> around;
            for (size_t j : near[c]) {
                if (alive(j))
                    around.push_back(r.mics[j].level_db);
                if (int(around.size()) == settings_.level_neighbours)
                    break;
            }
            if (!around.empty())
                h.reference_db = median(around);
        }
        const double off = h.level_db - h.reference_db;
        if (h.verdict != Verdict::Ok || !frames_ || !(std::abs(off) > settings_.outlier_db))
            continue;
        if (off > 0 && r.neighbours && !judged) { // a source near it or a fault: too early to tell (below)
            std::snprintf(t, sizeof t, "%+.1f dB against the neighbours' median", off);
            h.detail = t;
            continue;
        }
        if (off > 0 && coherent(h)) {
            std::snprintf(t, sizeof t, "%+.1f dB against the neighbours' median, coherent with them: near a source", off);
            h.detail = t; // stays ok
            continue;
        }
        h.verdict = Verdict::LevelOutlier;
        std::snprintf(t, sizeof t, "%+.1f dB against the %s median", off, r.neighbours ? "neighbours'" : "array's");
        h.detail = t;
    }

    // Polarity, from the pairs whose bins allow a verdict (neighbours.h).
    for (const PairFigures &p : pairs) {
        if (!sound(p.i) || !sound(p.j) || r.mics[p.i].verdict == Verdict::Incoherent ||
            r.mics[p.j].verdict == Verdict::Incoherent || !judged || !(std::abs(p.same) >= settings_.vote) ||
            !(p.spread * settings_.vote_spreads <= settings_.vote))
            continue;
        for (size_t c : {p.i, p.j}) {
            ++r.mics[c].polarity_decided;
            r.mics[c].polarity_votes += p.same > 0 ? 1 : -1;
        }
    }
    for (MicHealth &h : r.mics) {
        if (h.verdict == Verdict::Ok && r.neighbours && frames_ && !judged) {
            h.verdict = Verdict::Undetermined;
            h.detail = std::to_string(blocks) + " spectral blocks, too few to tell its coherence from chance" +
                       (h.detail.empty() ? "" : " (" + h.detail + ")");
            continue;
        }
        if (h.verdict != Verdict::Ok || h.polarity_decided == 0)
            continue;
        const int against = (h.polarity_decided - h.polarity_votes) / 2;
        if (h.polarity_decided >= 2 && h.polarity_votes < 0) {
            h.verdict = Verdict::ReversedPolarity;
            h.detail = std::to_string(against) + " of " + std::to_string(h.polarity_decided) +
                       " coherent neighbours in opposite sign";
        } else if (h.polarity_votes <= 0) {
            h.verdict = Verdict::Undetermined;
            h.detail = "polarity: " + std::to_string(against) + " of " + std::to_string(h.polarity_decided) +
                       " coherent neighbours in opposite sign, no majority";
        }
    }
    return r;
}

}
