#pragma once

#include <cstdint>

#include "Avidrift/Flock/NeighbourSearch.h"

namespace Avidrift {

// Staging shared by the vector kernels: a block's boids laid out lane by lane for aligned
// loads, and the lanes' results handed back as NeighbourSums. Plain scalar code, so compiling
// it into the kernels' files never lets wider instructions leak into other callers.
template <std::uint32_t Lanes>
struct LaneBoids {
    alignas(64) float x[Lanes];
    alignas(64) float y[Lanes];
    alignas(64) float z[Lanes];
    alignas(64) float vx[Lanes];
    alignas(64) float vy[Lanes];
    alignas(64) float vz[Lanes];
    alignas(64) std::int32_t index[Lanes];
    alignas(64) std::int32_t valid[Lanes];

    // Lanes past count repeat boid 0 and are marked invalid.
    LaneBoids(const BoidArrays& all, const std::uint32_t* boids, std::uint32_t count) {
        for (std::uint32_t lane = 0; lane < Lanes; ++lane) {
            const bool inBlock = lane < count;
            const std::uint32_t i = inBlock ? boids[lane] : 0;
            x[lane] = all.px[i];
            y[lane] = all.py[i];
            z[lane] = all.pz[i];
            vx[lane] = all.vx[i];
            vy[lane] = all.vy[i];
            vz[lane] = all.vz[i];
            index[lane] = static_cast<std::int32_t>(i);
            valid[lane] = inBlock ? -1 : 0;
        }
    }
};

template <std::uint32_t Lanes>
struct LaneSums {
    // separation x, y, z, centre x, y, z, alignment x, y, z
    alignas(64) float values[9][Lanes];
    // separation count, group count
    alignas(64) std::int32_t counts[2][Lanes];

    void CopyTo(NeighbourSums* out, std::uint32_t count) const {
        for (std::uint32_t lane = 0; lane < count; ++lane) {
            NeighbourSums& sums = out[lane];
            sums.separation = {values[0][lane], values[1][lane], values[2][lane]};
            sums.centre = {values[3][lane], values[4][lane], values[5][lane]};
            sums.alignment = {values[6][lane], values[7][lane], values[8][lane]};
            sums.separationCount = static_cast<std::uint32_t>(counts[0][lane]);
            sums.groupCount = static_cast<std::uint32_t>(counts[1][lane]);
        }
    }
};

// A cut's source and destination arrays as local pointers. Through the views themselves every
// store could, for all the compiler knows, move the arrays, and each one reloaded their pointers.
struct KeptColumns {
    const float* from[6];
    const std::uint32_t* fromIndex;
    float* to[6];
    std::uint32_t* toIndex;

    KeptColumns(const CandidateView& c, CandidateArrays& out)
        : from{c.px, c.py, c.pz, c.vx, c.vy, c.vz},
          fromIndex(c.index),
          to{out.px.data(), out.py.data(), out.pz.data(),
             out.vx.data(), out.vy.data(), out.vz.data()},
          toIndex(out.index.data()) {}
};

// Runs a kernel over boids in blocks of Lanes.
template <std::uint32_t Lanes, typename Kernel>
void ForEachBlock(const BoidArrays& all, const std::uint32_t* boids, std::uint32_t boidCount,
                  const CandidateView& candidates, const NeighbourThresholds& thresholds,
                  NeighbourSums* out, Kernel kernel) {
    for (std::uint32_t first = 0; first < boidCount; first += Lanes) {
        const std::uint32_t lanes = boidCount - first < Lanes ? boidCount - first : Lanes;
        kernel(all, boids + first, lanes, candidates, thresholds, out + first);
    }
}

}  // namespace Avidrift
