// Frequency-domain delay-and-sum beamforming on a plane grid, from a cross-spectral matrix.
//
// Steering vectors of formulation III ("correct level"): for a focus point x, with r_m its
// distance to microphone m and r_0 its distance to the centre of the microphones used,
//     g_m = (r_0 / r_m) exp(-i k (r_m - r_0)),   h = g / |g|^2,
// so the map at x is h^H C h, the mean square in the band of a monopole at x as it would be
// heard at the array's centre, and a lone source keeps its level. With the diagonal removed
// (the default) the map is h^H (C - diag C) h / (1 - sum_m |h_m|^2 |g_m|^2), the same level
// for a lone source without the microphones' own noise.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "analysis/geometry.h"
#include "analysis/spectra.h"

namespace analysis {

// x from x0 to x1 by dx, y from y0 to y1 by dy, in the plane z (metres).
struct Grid {
    double x0 = 0, x1 = 0, dx = 1, y0 = 0, y1 = 0, dy = 1, z = 1;
    int nx() const;
    int ny() const;
    double x(int i) const { return x0 + i * dx; }
    double y(int j) const { return y0 + j * dy; }
};
// A square over the microphones' extent, 41 x 41 points, in the plane z.
Grid default_grid(const std::vector<Microphone> &positions, double z = 1.0);

struct BeamformSettings {
    double speed_of_sound = 343.0;
    bool remove_diagonal = true;
};

struct Map {
    Grid grid;
    std::vector<double> power; // ny rows of nx: mean square at the array's centre, full scale = 1
    size_t peak = 0;           // index of the largest value
    double at(int i, int j) const { return power[size_t(j) * size_t(grid.nx()) + size_t(i)]; }
};

// Throws std::invalid_argument when the grid's plane passes through the array (within 1 cm of
// a microphone's z), where steering vectors are singular.
void check_grid(const Grid &grid, const std::vector<Microphone> &positions);

// The memory beamform() takes for a map of `points` from `mics` microphones over `bins` bins.
uint64_t beamform_bytes(size_t mics, size_t bins, size_t points);

// The map over the band of `csm`, from the microphones `use` (indexes into the matrix),
// placed at `positions` (one per entry of `use`). `progress`, if given, hears the share done.
Map beamform(const CrossSpectra &csm, const std::vector<size_t> &use, const std::vector<Microphone> &positions,
             const Grid &grid, const BeamformSettings &settings = {}, const std::function<void(double)> &progress = {});

// 10 log10 of a mean square (full scale = 1); -inf for nothing or less (a map with the diagonal
// removed may dip below zero away from the sources).
double to_db(double power);

}
