#include "Avidrift/Flock/NeighbourSearch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "Avidrift/Flock/FlockData.h"

namespace Avidrift {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// The smallest non-negative float x whose single-precision square root reaches distance, so
// that sqrt(x') < distance exactly when x' < x. Square roots are monotonic, so a binary
// search over the ordered bit patterns of the non-negative floats finds it.
float SquaredThreshold(float distance) {
    if (std::isnan(distance) || distance <= 0.0f) {
        return 0.0f;  // nothing is closer than that
    }
    if (std::isinf(distance)) {
        return kInfinity;  // every finite distance is closer
    }
    std::uint32_t low = 0;
    std::uint32_t high = 0x7F800000u;  // +infinity, whose root always reaches distance
    while (low < high) {
        const std::uint32_t middle = low + (high - low) / 2;
        float x;
        std::memcpy(&x, &middle, sizeof x);
        if (std::sqrt(x) >= distance) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    float threshold;
    std::memcpy(&threshold, &low, sizeof threshold);
    return threshold;
}

}  // namespace

void BoidArrays::Resize(std::uint32_t n) {
    const std::size_t padded = (static_cast<std::size_t>(n) + kPadding - 1) / kPadding * kPadding;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::vector<float>* array : {&px, &py, &pz, &vx, &vy, &vz}) {
        array->resize(padded + kPadding);
        std::fill(array->begin() + n, array->end(), nan);
    }
    count = n;
}

void BoidArrays::CopyFrom(const FlockData& flock, std::uint32_t begin, std::uint32_t end) {
    for (std::uint32_t i = begin; i < end; ++i) {
        const Quellon::Vector3& p = flock.positions[i];
        const Quellon::Vector3& v = flock.velocities[i];
        px[i] = p.x;
        py[i] = p.y;
        pz[i] = p.z;
        vx[i] = v.x;
        vy[i] = v.y;
        vz[i] = v.z;
    }
}

void CandidateArrays::Reserve(std::uint32_t n) {
    for (std::vector<float>* array : {&px, &py, &pz, &vx, &vy, &vz}) {
        if (array->size() < n) {
            array->resize(n);
        }
    }
    if (index.size() < n) {
        index.resize(n);
    }
}

BoidBox BoidBox::Around(const BoidArrays& all, const std::uint32_t* boids, std::uint32_t count) {
    BoidBox box{{kInfinity, kInfinity, kInfinity}, {-kInfinity, -kInfinity, -kInfinity}};
    for (std::uint32_t b = 0; b < count; ++b) {
        const std::uint32_t i = boids[b];
        const float p[3] = {all.px[i], all.py[i], all.pz[i]};
        for (int axis = 0; axis < 3; ++axis) {
            box.low[axis] = std::min(box.low[axis], p[axis]);
            box.high[axis] = std::max(box.high[axis], p[axis]);
        }
    }
    return box;
}

NeighbourThresholds NeighbourThresholds::For(float separationDistance, float groupDistance) {
    NeighbourThresholds t;
    t.separation = SquaredThreshold(separationDistance);
    t.group = SquaredThreshold(groupDistance);
    const float largest = std::max(t.separation, t.group);
    t.none = !(largest > 0.0f);
    // Summing three squares in single precision errs by a few units in the last place of the
    // sum; 2^-20 relative is a wide margin, and the absolute term covers underflow.
    t.filter = largest * (1.0f + 0x1p-20f) + std::numeric_limits<float>::min() * 16;
    t.reach = std::sqrt(t.filter) * (1.0f + 0x1p-16f);
    // Relative margins hold only for normal numbers; far from the subnormal range both
    // bounds are safe by more than a hundred times the rounding error.
    const auto safe = [](float threshold) {
        return threshold == 0.0f || threshold >= std::numeric_limits<float>::min() * 0x1p24f;
    };
    t.separationHigh = t.separation * (1.0f + 0x1p-20f);
    t.groupLow = t.group * (1.0f - 0x1p-20f);
    t.separationLow = t.separation * (1.0f - 0x1p-20f);
    t.groupShortcut = safe(t.separation) && safe(t.group);
    t.clearExcludesSelf = t.groupShortcut && t.separationHigh > 0.0f;
    return t;
}

void AccumulatePortable(const BoidArrays& all, const std::uint32_t* boids, std::uint32_t boidCount,
                        const CandidateView& c, const NeighbourThresholds& t, NeighbourSums* out) {
    for (std::uint32_t lane = 0; lane < boidCount; ++lane) {
        const std::uint32_t i = boids[lane];
        const float bx = all.px[i];
        const float by = all.py[i];
        const float bz = all.pz[i];
        const Quellon::Vector3 v(all.vx[i], all.vy[i], all.vz[i]);
        NeighbourSums sums;
        for (std::uint32_t k = 0; k < c.count; ++k) {
            const Quellon::Vector3 d(bx - c.px[k], by - c.py[k], bz - c.pz[k]);
            if (!(d.x * d.x + d.y * d.y + d.z * d.z <= t.filter)) {
                continue;
            }
            const std::uint32_t j = c.index != nullptr ? c.index[k] : k;
            if (j == i) {
                continue;
            }
            const float squared = ExactSquaredLength(d.x, d.y, d.z);
            if (squared < t.separation) {
                if (squared != 0.0f) {
                    const float distance = std::sqrt(squared);
                    const Quellon::Vector3 unit(d.x / distance, d.y / distance, d.z / distance);
                    sums.separation = sums.separation + unit * (1.0f / distance);
                    ++sums.separationCount;
                }
            } else if (squared < t.group) {
                sums.alignment = sums.alignment + (Quellon::Vector3(c.vx[k], c.vy[k], c.vz[k]) - v);
                sums.centre = sums.centre + Quellon::Vector3(c.px[k], c.py[k], c.pz[k]);
                ++sums.groupCount;
            }
        }
        out[lane] = sums;
    }
}

InstructionSet DetectInstructionSet() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        return InstructionSet::Avx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return InstructionSet::Avx2;
    }
    return InstructionSet::Portable;
}

AccumulateFunction GetAccumulateFunction(InstructionSet instructionSet) {
    switch (instructionSet) {
        case InstructionSet::Avx512:
            return &AccumulateAvx512;
        case InstructionSet::Avx2:
            return &AccumulateAvx2;
        case InstructionSet::Portable:
            break;
    }
    return &AccumulatePortable;
}

FinishFunction GetFinishFunction(InstructionSet instructionSet) {
    // The lanes share the finish's divisions, square roots and the knot's sines and cosines; the
    // loads and stores by boid index stay.
    switch (instructionSet) {
        case InstructionSet::Avx512:
            return &FinishBoidsAvx512;
        case InstructionSet::Avx2:
            return &FinishBoidsAvx2;
        case InstructionSet::Portable:
            break;
    }
    return &FinishBoids;
}

KeepFunction GetKeepFunction(InstructionSet instructionSet) {
    switch (instructionSet) {
        case InstructionSet::Avx512:
            return &KeepNearBoxAvx512;
        case InstructionSet::Avx2:
            return &KeepNearBoxAvx2;
        case InstructionSet::Portable:
            break;
    }
    // The scalar kernel drops a far candidate about as cheaply as the scalar copy would: measured
    // on the settled default flock, copying made the step slower.
    return nullptr;
}

const char* GetInstructionSetName(InstructionSet instructionSet) {
    switch (instructionSet) {
        case InstructionSet::Avx512:
            return "avx512";
        case InstructionSet::Avx2:
            return "avx2";
        case InstructionSet::Portable:
            break;
    }
    return "portable";
}

}  // namespace Avidrift
