#pragma once

#include <cstdint>
#include <vector>

#include "Avidrift/Flock/BoidSteering.h"

namespace Avidrift {

struct FlockData;

// Positions and velocities as one array per component, so a kernel can load eight boids' x at
// once. Padded past count with boids at NaN that are nobody's neighbour.
struct BoidArrays {
    static constexpr std::uint32_t kPadding = 16;

    std::vector<float> px, py, pz, vx, vy, vz;
    std::uint32_t count = 0;

    // Called before the copy: sizes the arrays for n boids and writes the padding.
    void Resize(std::uint32_t n);
    // Copies boids [begin, end) of flock; tasks copy disjoint ranges in parallel.
    void CopyFrom(const FlockData& flock, std::uint32_t begin, std::uint32_t end);
};

// The flock's distance tests restated on squared distances, so that a search compares without
// a square root: Length(d) < distance exactly when the single-precision squared length of d is
// below the threshold for that distance.
struct NeighbourThresholds {
    float separation = 0.0f;
    float group = 0.0f;
    // Every pair that can count for either rule has a squared distance, summed in single
    // precision in any order (fused or not), at or below this; a cheap first test that never drops
    // a neighbour. "At or below" matters when this is infinite: a sum that overflows single
    // precision can still belong to a pair whose exact squared length is finite.
    float filter = 0.0f;
    // The largest distance that can count, plus a margin for rounding: a grid cell size.
    float reach = 0.0f;
    // No pair can ever count (both distances zero, negative or NaN).
    bool none = true;
    // A single-precision squared distance at or above separationHigh and below groupLow
    // belongs to a pair that counts for the group and not for separation, whatever rounding
    // the exact sum would have done; the group sums need no exact length. Only valid when
    // groupShortcut is set (both thresholds zero or well inside the normal range).
    float separationHigh = 0.0f;
    float groupLow = 0.0f;
    // Below separationLow a pair counts for separation whatever that rounding (same validity).
    float separationLow = 0.0f;
    bool groupShortcut = false;
    // A boid is at distance zero from itself, below separationHigh when that is positive: then
    // a lane where the shortcut says "group" never holds the lane's own boid.
    bool clearExcludesSelf = false;

    static NeighbourThresholds For(float separationDistance, float groupDistance);
};

// Candidate neighbours, one array per component, in ascending boid index order; index maps a
// candidate to its boid (null: candidate k is boid k).
struct CandidateView {
    const float* px;
    const float* py;
    const float* pz;
    const float* vx;
    const float* vy;
    const float* vz;
    const std::uint32_t* index;
    std::uint32_t count;
};

// Candidates copied out of another list, with their boid indices: what a search hands the
// kernels after it has dropped the ones too far to matter.
struct CandidateArrays {
    std::vector<float> px, py, pz, vx, vy, vz;
    std::vector<std::uint32_t> index;

    // Room for n candidates; the contents are left as they were.
    void Reserve(std::uint32_t n);
    CandidateView View(std::uint32_t count) const {
        return {px.data(), py.data(), pz.data(),    vx.data(),
                vy.data(), vz.data(), index.data(), count};
    }
};

// The smallest box around some boids' positions, all finite.
struct BoidBox {
    float low[3];
    float high[3];

    static BoidBox Around(const BoidArrays& all, const std::uint32_t* boids, std::uint32_t count);
};

// The vector kernels' companions: copy into out, keeping their order, the candidates whose
// single-precision squared distance to box is at or below filter, and return how many. A boid in
// the box is at least as far from each candidate along every axis (rounding is monotonic), so every
// candidate that can count for any boid in the box is kept: a kernel given the result sums exactly
// what it sums given all.
using KeepFunction = std::uint32_t (*)(const CandidateView& candidates, const BoidBox& box,
                                       float filter, CandidateArrays& out);
std::uint32_t KeepNearBoxAvx2(const CandidateView& candidates, const BoidBox& box, float filter,
                              CandidateArrays& out);
std::uint32_t KeepNearBoxAvx512(const CandidateView& candidates, const BoidBox& box, float filter,
                                CandidateArrays& out);

// Sums the neighbours of boids[0..boidCount) among the candidates into out[0..boidCount),
// exactly as AccumulateNeighbours does when the candidates include every neighbour: the same
// tests and the same operations in ascending index order, so the sums are bit-identical.
using AccumulateFunction = void (*)(const BoidArrays& all, const std::uint32_t* boids,
                                    std::uint32_t boidCount, const CandidateView& candidates,
                                    const NeighbourThresholds& thresholds, NeighbourSums* out);

enum class InstructionSet { Portable, Avx2, Avx512 };

// The widest instruction set this CPU runs; Portable on a CPU without AVX2.
InstructionSet DetectInstructionSet();
AccumulateFunction GetAccumulateFunction(InstructionSet instructionSet);
// Null where dropping the far candidates first costs more than it saves.
KeepFunction GetKeepFunction(InstructionSet instructionSet);
FinishFunction GetFinishFunction(InstructionSet instructionSet);
const char* GetInstructionSetName(InstructionSet instructionSet);

void AccumulatePortable(const BoidArrays& all, const std::uint32_t* boids, std::uint32_t boidCount,
                        const CandidateView& candidates, const NeighbourThresholds& thresholds,
                        NeighbourSums* out);
void AccumulateAvx2(const BoidArrays& all, const std::uint32_t* boids, std::uint32_t boidCount,
                    const CandidateView& candidates, const NeighbourThresholds& thresholds,
                    NeighbourSums* out);
void AccumulateAvx512(const BoidArrays& all, const std::uint32_t* boids, std::uint32_t boidCount,
                      const CandidateView& candidates, const NeighbourThresholds& thresholds,
                      NeighbourSums* out);

// The squared length of d as the flock's Length sees it: summed in double, rounded once.
inline float ExactSquaredLength(float dx, float dy, float dz) {
    return static_cast<float>(static_cast<double>(dx) * dx + static_cast<double>(dy) * dy +
                              static_cast<double>(dz) * dz);
}

}  // namespace Avidrift
