// The steering rule's last part for sixteen boids side by side, one per lane. Every lane performs
// the operations of FinishBoid on its own boid, in the same order and precision, so its results
// are bit-identical to it; only the knot's point, which needs the double-precision sine and
// cosine, is taken lane by lane. Compiled for AVX-512 through target attributes only; callers
// check the CPU first.

// GCC 12's own AVX-512 headers trip its uninitialised-value warning (the masked intrinsics'
// undefined pass-through operands); the warning says nothing about this file. The vector types'
// calling convention never crosses this file's own functions.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wpsabi"

#include <immintrin.h>

#include <cstdint>

#include "Avidrift/Flock/BoidSteering.h"
#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/TrefoilKnot.h"

namespace Avidrift {

namespace {

#define AVIDRIFT_AVX512 __attribute__((target("avx512f")))

constexpr std::uint32_t kLanes = 16;

using Floats = float __attribute__((vector_size(64)));
using Doubles = double __attribute__((vector_size(128)));
using Counts = std::uint32_t __attribute__((vector_size(64)));

struct Vectors {
    Floats x, y, z;
};

AVIDRIFT_AVX512 inline Vectors operator+(const Vectors& a, const Vectors& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
AVIDRIFT_AVX512 inline Vectors operator-(const Vectors& a, const Vectors& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
AVIDRIFT_AVX512 inline Vectors operator*(const Vectors& a, float s) {
    return {a.x * s, a.y * s, a.z * s};
}
AVIDRIFT_AVX512 inline Vectors Scale(const Vectors& a, const Quellon::Vector3& b) {
    return {a.x * b.x, a.y * b.y, a.z * b.z};
}

// Divided by count in the lanes where it is positive, as the averages are.
AVIDRIFT_AVX512 inline Vectors Average(const Vectors& sum, Counts count) {
    const Floats divisor = __builtin_convertvector(count, Floats);
    const auto some = count > 0;
    return {some ? sum.x / divisor : sum.x, some ? sum.y / divisor : sum.y,
            some ? sum.z / divisor : sum.z};
}

// Length's squares summed in double and rounded once; its square root in single precision,
// which equals the square root in double rounded to single (double carries more than twice
// single's digits, so the second rounding cannot differ).
AVIDRIFT_AVX512 inline Vectors Normalized(const Vectors& v) {
    const Doubles x = __builtin_convertvector(v.x, Doubles);
    const Doubles y = __builtin_convertvector(v.y, Doubles);
    const Doubles z = __builtin_convertvector(v.z, Doubles);
    const Floats squared = __builtin_convertvector(x * x + y * y + z * z, Floats);
    const auto length = static_cast<Floats>(_mm512_sqrt_ps(static_cast<__m512>(squared)));
    const auto zero = length == 0.0f;
    return {zero ? v.x : v.x / length, zero ? v.y : v.y / length, zero ? v.z : v.z / length};
}

// Lambdas would not inherit the target attribute, so the loads are functions of their own.
AVIDRIFT_AVX512 inline Floats Load(const float* values) {
    return *reinterpret_cast<const Floats*>(values);
}
AVIDRIFT_AVX512 inline Vectors Load(const float (*components)[kLanes]) {
    return {Load(components[0]), Load(components[1]), Load(components[2])};
}

AVIDRIFT_AVX512 inline Floats Min(Floats a, float b) {
    return b < a ? b : a;
}

// Up to sixteen boids; lanes past count repeat boid 0 and are not stored.
AVIDRIFT_AVX512 void FinishLanes(const FlockData& read, FlockData& write,
                                 const std::uint32_t* boids, std::uint32_t count,
                                 const NeighbourSums* sums, float stepTime) {
    alignas(64) float in[15][kLanes];  // position, velocity, separation, centre, alignment
    alignas(64) float target[3][kLanes];
    alignas(64) std::uint32_t counts[2][kLanes];
    for (std::uint32_t lane = 0; lane < kLanes; ++lane) {
        const std::uint32_t b = lane < count ? lane : 0;
        const std::uint32_t i = boids[b];
        const Quellon::Vector3 values[5] = {read.positions[i], read.velocities[i],
                                            sums[b].separation, sums[b].centre, sums[b].alignment};
        for (int q = 0; q < 5; ++q) {
            in[3 * q][lane] = values[q].x;
            in[3 * q + 1][lane] = values[q].y;
            in[3 * q + 2][lane] = values[q].z;
        }
        counts[0][lane] = sums[b].separationCount;
        counts[1][lane] = sums[b].groupCount;
        const auto t = static_cast<float>(static_cast<double>(read.angleIncrement) * stepTime +
                                          read.pathParameters[i]);
        if (lane < count) {
            write.pathParameters[i] = t;
        }
        const Quellon::Vector3 point = TrefoilKnotPoint(t);
        target[0][lane] = point.x;
        target[1][lane] = point.y;
        target[2][lane] = point.z;
    }
    const Vectors p = Load(in);
    const Vectors v = Load(in + 3);
    const Counts separationCount = *reinterpret_cast<const Counts*>(counts[0]);
    const Counts groupCount = *reinterpret_cast<const Counts*>(counts[1]);
    const Vectors separation = Average(Load(in + 6), separationCount);
    const Vectors centre = Average(Load(in + 9), groupCount);
    const Vectors alignment = Average(Load(in + 12), groupCount);

    const Vectors cohesion = Scale(Normalized(centre - p), read.maxSpeed) - v;
    const Vectors force = (separation * read.separationWeight + cohesion * read.cohesionWeight) +
                          alignment * read.alignmentWeight;
    const Vectors towardsTarget = Normalized(Load(target) - p);
    const Vectors path = (Scale(towardsTarget, read.maxSpeed) - v) * read.trefoilKnotPathWeight;
    const Vectors sum = (v + force) + path;
    const Vectors velocity{Min(sum.x, read.maxSpeed.x), Min(sum.y, read.maxSpeed.y),
                           Min(sum.z, read.maxSpeed.z)};
    const Vectors position = p + velocity * stepTime;
    for (std::uint32_t lane = 0; lane < count; ++lane) {
        const std::uint32_t i = boids[lane];
        write.velocities[i] = {velocity.x[lane], velocity.y[lane], velocity.z[lane]};
        write.positions[i] = {position.x[lane], position.y[lane], position.z[lane]};
    }
}

}  // namespace

void FinishBoidsAvx512(const FlockData& read, FlockData& write, const std::uint32_t* boids,
                       std::uint32_t count, const NeighbourSums* sums, float stepTime) {
    for (std::uint32_t first = 0; first < count; first += kLanes) {
        const std::uint32_t lanes = count - first < kLanes ? count - first : kLanes;
        FinishLanes(read, write, boids + first, lanes, sums + first, stepTime);
    }
}

}  // namespace Avidrift
