#include "analysis/beamform.h"

#include <Eigen/Dense>
#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace analysis {

namespace {

constexpr long kTile = 4096;             // grid points whose steering vectors are made at once
constexpr double kPlaneClearance = 0.01; // metres between the map's plane and the nearest microphone plane

int points(double a, double b, double d, const char *axis)
{
    if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(d) || d <= 0 || b < a)
        throw std::invalid_argument(std::string("grid: ") + axis + ": FROM:TO:STEP with FROM <= TO and STEP > 0");
    const double n = (b - a) / d;
    if (n > 10000)
        throw std::invalid_argument(std::string("grid: ") + axis + ": more than 10001 points");
    return int(std::floor(n + 1e-9)) + 1;
}

}

int Grid::nx() const { return points(x0, x1, dx, "x"); }
int Grid::ny() const { return points(y0, y1, dy, "y"); }

Grid default_grid(const std::vector<Microphone> &positions, double z)
{
    double lo_x = 0, hi_x = 0, lo_y = 0, hi_y = 0;
    if (!positions.empty()) {
        lo_x = hi_x = positions[0].x;
        lo_y = hi_y = positions[0].y;
        for (const Microphone &m : positions) {
            lo_x = std::min(lo_x, m.x), hi_x = std::max(hi_x, m.x);
            lo_y = std::min(lo_y, m.y), hi_y = std::max(hi_y, m.y);
        }
    }
    const double cx = 0.5 * (lo_x + hi_x), cy = 0.5 * (lo_y + hi_y);
    double half = 0.5 * std::max(hi_x - lo_x, hi_y - lo_y);
    if (half <= 0)
        half = 0.5;
    const double step = 2 * half / 40;
    return Grid{cx - half, cx - half + 40 * step, step, cy - half, cy - half + 40 * step, step, z};
}

double to_db(double power)
{
    return power > 0 ? 10 * std::log10(power) : -std::numeric_limits<double>::infinity();
}

void check_grid(const Grid &grid, const std::vector<Microphone> &positions)
{
    if (positions.empty())
        return;
    double lo = positions[0].z, hi = lo;
    for (const Microphone &m : positions)
        lo = std::min(lo, m.z), hi = std::max(hi, m.z);
    if (grid.z >= lo - kPlaneClearance && grid.z <= hi + kPlaneClearance) {
        char t[300];
        std::snprintf(t, sizeof t,
                      "grid: the plane z = %g m passes through the array (its microphones lie at z = %g to %g m), where "
                      "the steering vectors are singular: choose a plane in front of it (Z in X0:X1:DX,Y0:Y1:DY,Z)",
                      grid.z, lo, hi);
        throw std::invalid_argument(t);
    }
}

uint64_t beamform_bytes(size_t mics, size_t bins, size_t points)
{
    const uint64_t m = mics, tile = std::min<uint64_t>(points, kTile);
    return uint64_t(bins) * m * m * sizeof(std::complex<float>) + m * tile * 24 + uint64_t(points) * 24;
}

Map beamform(const CrossSpectra &csm, const std::vector<size_t> &use, const std::vector<Microphone> &positions,
             const Grid &grid, const BeamformSettings &settings, const std::function<void(double)> &progress)
{
    using Cf = std::complex<float>;
    using MatrixCf = Eigen::Matrix<Cf, Eigen::Dynamic, Eigen::Dynamic>;
    if (use.size() != positions.size())
        throw std::invalid_argument("beamform: one position per microphone used");
    if (use.size() < 2)
        throw std::invalid_argument("beamform: fewer than two microphones to map with");
    const long m = long(use.size());
    const int nx = grid.nx(), ny = grid.ny();
    const long g = long(nx) * ny;

    double cx = 0, cy = 0, cz = 0;
    for (const Microphone &p : positions)
        cx += p.x, cy += p.y, cz += p.z;
    cx /= double(m), cy /= double(m), cz /= double(m);

    // The matrices of the microphones used, each bin's once.
    const size_t total = csm.mics(), bins = csm.bins().size();
    std::vector<MatrixCf> cs(bins, MatrixCf(m, m));
    for (size_t b = 0; b < bins; ++b) {
        const std::vector<Cf> full = csm.matrix(b);
        for (long j = 0; j < m; ++j)
            for (long i = 0; i < m; ++i)
                cs[b](i, j) = full[use[size_t(j)] * total + use[size_t(i)]];
        if (settings.remove_diagonal)
            cs[b].diagonal().setZero();
    }

    Map map;
    map.grid = grid;
    map.power.assign(size_t(g), 0.0);
    // The points in tiles, so that the steering vectors take little memory whatever the grid.
    for (long first = 0; first < g; first += kTile) {
        const long t = std::min<long>(kTile, g - first);
        // Per point and microphone: the path difference r_m - r_0 and the amplitude of h_m.
        Eigen::MatrixXf delta(m, t), amp(m, t);
        Eigen::VectorXd diag_weight(t);  // sum_m |h_m|^2 |g_m|^2 = sum_m r_m^-4 / (sum_m r_m^-2)^2
        std::vector<double> r(static_cast<size_t>(m));
        for (long p = 0; p < t; ++p) {
            const long at = first + p;
            const double x = grid.x(int(at % nx)), y = grid.y(int(at / nx)), z = grid.z;
            const double r0 = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy) + (z - cz) * (z - cz));
            double s2 = 0, s4 = 0;
            for (long k = 0; k < m; ++k) {
                const Microphone &q = positions[size_t(k)];
                r[size_t(k)] = std::max(1e-6, std::sqrt((x - q.x) * (x - q.x) + (y - q.y) * (y - q.y) + (z - q.z) * (z - q.z)));
                s2 += 1 / (r[size_t(k)] * r[size_t(k)]);
                s4 += 1 / (r[size_t(k)] * r[size_t(k)] * r[size_t(k)] * r[size_t(k)]);
            }
            for (long k = 0; k < m; ++k) {
                delta(k, p) = float(r[size_t(k)] - r0);
                amp(k, p) = float(1 / (std::max(r0, 1e-6) * r[size_t(k)] * s2));
            }
            diag_weight(p) = s4 / (s2 * s2);
        }
        MatrixCf h(m, t), ch(m, t);
        for (size_t b = 0; b < bins; ++b) {
            const float k = float(2 * M_PI * csm.frequency(b) / settings.speed_of_sound);
            for (long p = 0; p < t; ++p)
                for (long q = 0; q < m; ++q) {
                    const float phase = -k * delta(q, p);
                    h(q, p) = Cf(amp(q, p) * std::cos(phase), amp(q, p) * std::sin(phase));
                }
            const Cf one(1), zero(0);
            cblas_cgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, int(m), int(t), int(m), &one, cs[b].data(), int(m), h.data(),
                        int(m), &zero, ch.data(), int(m));
            for (long p = 0; p < t; ++p) {
                double v = double((h.col(p).conjugate().cwiseProduct(ch.col(p))).sum().real());
                if (settings.remove_diagonal)
                    v /= 1 - diag_weight(p);
                map.power[size_t(first + p)] += v;
            }
        }
        if (progress)
            progress(double(first + t) / double(g));
    }
    map.peak = size_t(std::max_element(map.power.begin(), map.power.end()) - map.power.begin());
    return map;
}

}
