// The steering rule's last part for kLanes boids side by side, one per lane, written once for
// every vector instruction set. Every lane performs the operations of FinishBoid on its own boid,
// in the same order and precision, so its results are bit-identical to it.
//
// Included by one file per instruction set, which first defines AVIDRIFT_LANES (8 or 16) and
// AVIDRIFT_LANES_TARGET, the target attribute its functions are compiled for. Everything here
// has internal linkage, so each file's copy keeps its own instructions and none leaks into
// callers on CPUs without them.

#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "Avidrift/Flock/BoidSteering.h"
#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/WorldSteering.h"
#include "Quellon/Scalar.h"

namespace Avidrift {

namespace {

constexpr std::uint32_t kLanes = AVIDRIFT_LANES;

using Floats = float __attribute__((vector_size(4 * kLanes)));
using Doubles = double __attribute__((vector_size(8 * kLanes)));
using Counts = std::uint32_t __attribute__((vector_size(4 * kLanes)));
using Words = std::int64_t __attribute__((vector_size(8 * kLanes)));

struct Vectors {
    Floats x, y, z;
};

AVIDRIFT_LANES_TARGET inline Vectors operator+(const Vectors& a, const Vectors& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
AVIDRIFT_LANES_TARGET inline Vectors operator-(const Vectors& a, const Vectors& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
AVIDRIFT_LANES_TARGET inline Vectors operator*(const Vectors& a, float s) {
    return {a.x * s, a.y * s, a.z * s};
}
AVIDRIFT_LANES_TARGET inline Vectors Scale(const Vectors& a, const Quellon::Vector3& b) {
    return {a.x * b.x, a.y * b.y, a.z * b.z};
}

// Divided by count in the lanes where it is positive, as the averages are.
AVIDRIFT_LANES_TARGET inline Vectors Average(const Vectors& sum, Counts count) {
    const Floats divisor = __builtin_convertvector(count, Floats);
    const auto some = count > 0;
    return {some ? sum.x / divisor : sum.x, some ? sum.y / divisor : sum.y,
            some ? sum.z / divisor : sum.z};
}

AVIDRIFT_LANES_TARGET inline Floats Sqrt(Floats v) {
#if AVIDRIFT_LANES == 16
    return static_cast<Floats>(_mm512_sqrt_ps(static_cast<__m512>(v)));
#else
    return static_cast<Floats>(_mm256_sqrt_ps(static_cast<__m256>(v)));
#endif
}

// Length's squares summed in double and rounded once; its square root in single precision,
// which equals the square root in double rounded to single (double carries more than twice
// single's digits, so the second rounding cannot differ).
AVIDRIFT_LANES_TARGET inline Vectors Normalized(const Vectors& v) {
    const Doubles x = __builtin_convertvector(v.x, Doubles);
    const Doubles y = __builtin_convertvector(v.y, Doubles);
    const Doubles z = __builtin_convertvector(v.z, Doubles);
    const Floats squared = __builtin_convertvector(x * x + y * y + z * z, Floats);
    const Floats length = Sqrt(squared);
    const auto zero = length == 0.0f;
    return {zero ? v.x : v.x / length, zero ? v.y : v.y / length, zero ? v.z : v.z / length};
}

// Lambdas would not inherit the target attribute, so the loads are functions of their own.
AVIDRIFT_LANES_TARGET inline Floats Load(const float* values) {
    return *reinterpret_cast<const Floats*>(values);
}
AVIDRIFT_LANES_TARGET inline Vectors Load(const float (*components)[kLanes]) {
    return {Load(components[0]), Load(components[1]), Load(components[2])};
}

AVIDRIFT_LANES_TARGET inline Floats Min(Floats a, float b) {
    return b < a ? b : a;
}

// The knot's point needs the sine and cosine in double precision rounded to float, as the
// library gives them. Here they are computed in every lane to within kSinCosError of the true
// value, and a lane keeps its result only where every value that close, the library's among
// them, rounds to the same float; the rest (close to a zero of the function: a few lanes in a
// million) and angles past kFastAngle ask the library. The multiple of pi/2 comes off in three
// parts of 33 bits: below kFastAngle each product is exact and so is the first difference, which
// leaves at most 2^-53 of error in the reduced angle; fdlibm's polynomials on [-pi/4, pi/4] add
// at most 2^-52, and the library's own error is below 2^-53. kSinCosError allows eight times
// that. A test that is off by default checks every float below kFastAngle against the library
// (about a minute for each instruction set); a change here needs it run again.
constexpr float kFastAngle = 0x1p20f;
constexpr double kSinCosError = 0x1p-47;

struct SinCos {
    Floats sin, cos;
};

AVIDRIFT_LANES_TARGET inline SinCos SineAndCosine(Floats angles) {
    const Doubles x = __builtin_convertvector(angles, Doubles);
    constexpr double kTwoOverPi = 6.36619772367581382433e-01;
    constexpr double kPiOver2[3] = {1.57079632673412561417e+00, 6.07710050630396597660e-11,
                                    2.02226624879595063154e-21};
    // Adding 1.5 * 2^52 rounds to an integer, and leaves its low bits in the significand's.
    constexpr double kRound = 0x1.8p52;
    const Doubles shifted = x * kTwoOverPi + kRound;
    const Doubles k = shifted - kRound;
    const Words quadrant = reinterpret_cast<Words>(shifted) & 3;
    const Doubles r = ((x - k * kPiOver2[0]) - k * kPiOver2[1]) - k * kPiOver2[2];
    const Doubles z = r * r;
    const Doubles sine =
        r +
        r * z *
            (-1.66666666666666324348e-01 +
             z * (8.33333333332248946124e-03 +
                  z * (-1.98412698298579493134e-04 +
                       z * (2.75573137070700676789e-06 +
                            z * (-2.50507602534068634195e-08 + z * 1.58969099521155010221e-10)))));
    const Doubles cosine =
        (1.0 - 0.5 * z) +
        z * z *
            (4.16666666666666019037e-02 +
             z * (-1.38888888888741095749e-03 +
                  z * (2.48015872894767294178e-05 +
                       z * (-2.75573143513906633035e-07 +
                            z * (2.08757232129817482790e-09 + z * -1.13596475577881948265e-11)))));
    // sin(x) is sin(r), cos(r), -sin(r), -cos(r) by quadrant; cos(x) is a quarter turn ahead.
    const Words swap = (quadrant & 1) != 0;
    const Doubles s = swap ? cosine : sine;
    const Doubles c = swap ? sine : cosine;
    const Doubles sinX = (quadrant & 2) != 0 ? -s : s;
    const Doubles cosX = ((quadrant + 1) & 2) != 0 ? -c : c;

    SinCos result{__builtin_convertvector(sinX, Floats), __builtin_convertvector(cosX, Floats)};
    const auto fast = (angles <= kFastAngle) & (angles >= -kFastAngle);
    const auto sure = fast &
                      (__builtin_convertvector(sinX - kSinCosError, Floats) ==
                       __builtin_convertvector(sinX + kSinCosError, Floats)) &
                      (__builtin_convertvector(cosX - kSinCosError, Floats) ==
                       __builtin_convertvector(cosX + kSinCosError, Floats));
    for (std::uint32_t lane = 0; lane < kLanes; ++lane) {
        if (sure[lane] == 0) {
            result.sin[lane] = Quellon::Sin(angles[lane]);
            result.cos[lane] = Quellon::Cos(angles[lane]);
        }
    }
    return result;
}

// TrefoilKnotPoint in every lane, with the same operations in double precision.
AVIDRIFT_LANES_TARGET inline Vectors KnotPoints(Floats t) {
    const auto u = __builtin_convertvector(__builtin_convertvector(t, Doubles) * 3 * 0.5, Floats);
    const SinCos ofT = SineAndCosine(t);
    const SinCos ofU = SineAndCosine(u);
    const Doubles a = __builtin_convertvector(ofU.cos, Doubles) + 2.0;
    return {__builtin_convertvector(__builtin_convertvector(ofT.cos, Doubles) * a * 10, Floats),
            __builtin_convertvector(__builtin_convertvector(ofT.sin, Doubles) * a * 10, Floats),
            __builtin_convertvector(__builtin_convertvector(ofU.sin, Doubles) * 10, Floats)};
}

// Up to kLanes boids; lanes past count repeat boid 0 and are not stored.
AVIDRIFT_LANES_TARGET void FinishLanes(const FlockData& read, FlockData& write,
                                       const std::uint32_t* boids, std::uint32_t count,
                                       const NeighbourSums* sums, float stepTime) {
    alignas(64) float in[15][kLanes];  // position, velocity, separation, centre, alignment
    alignas(64) float t[kLanes];
    alignas(64) std::uint32_t counts[2][kLanes];
    for (std::uint32_t lane = 0; lane < kLanes; ++lane) {
        const std::uint32_t b = lane < count ? lane : 0;
        const std::uint32_t i = boids[b];
        const Quellon::Vector3 values[5] = {read.positions[i], read.velocities[i],
                                            sums[b].separation, sums[b].centre, sums[b].alignment};
        for (std::size_t q = 0; q < 5; ++q) {
            in[3 * q][lane] = values[q].x;
            in[3 * q + 1][lane] = values[q].y;
            in[3 * q + 2][lane] = values[q].z;
        }
        counts[0][lane] = sums[b].separationCount;
        counts[1][lane] = sums[b].groupCount;
        t[lane] = static_cast<float>(static_cast<double>(read.angleIncrement) * stepTime +
                                     read.pathParameters[i]);
        if (lane < count) {
            write.pathParameters[i] = t[lane];
        }
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
    const Vectors towardsTarget = Normalized(KnotPoints(Load(t)) - p);
    const Vectors path = (Scale(towardsTarget, read.maxSpeed) - v) * read.trefoilKnotPathWeight;
    Vectors sum = (v + force) + path;
    if (HasWorld(read)) {
        // The world's terms come from the one scalar formula, boid by boid; the lanes add them
        // as FinishBoid does. Few boids have any, and predators and obstacles are few.
        alignas(64) float world[3][kLanes] = {};
        for (std::uint32_t lane = 0; lane < count; ++lane) {
            const Quellon::Vector3 term =
                WorldSteering(read, {in[0][lane], in[1][lane], in[2][lane]});
            world[0][lane] = term.x;
            world[1][lane] = term.y;
            world[2][lane] = term.z;
        }
        sum = sum + Load(world);
    }
    const Vectors velocity{Min(sum.x, read.maxSpeed.x), Min(sum.y, read.maxSpeed.y),
                           Min(sum.z, read.maxSpeed.z)};
    const Vectors position = p + velocity * stepTime;
    for (std::uint32_t lane = 0; lane < count; ++lane) {
        const std::uint32_t i = boids[lane];
        write.velocities[i] = {velocity.x[lane], velocity.y[lane], velocity.z[lane]};
        write.positions[i] = {position.x[lane], position.y[lane], position.z[lane]};
        if (write.neighbourCounts) {
            write.neighbourCounts[i] = {counts[0][lane], counts[1][lane]};
        }
    }
}

// FinishBoids, kLanes boids at a time.
AVIDRIFT_LANES_TARGET void FinishInLanes(const FlockData& read, FlockData& write,
                                         const std::uint32_t* boids, std::uint32_t count,
                                         const NeighbourSums* sums, float stepTime) {
    for (std::uint32_t first = 0; first < count; first += kLanes) {
        const std::uint32_t lanes = count - first < kLanes ? count - first : kLanes;
        FinishLanes(read, write, boids + first, lanes, sums + first, stepTime);
    }
}

AVIDRIFT_LANES_TARGET void SinesAndCosinesInLanes(const float* angles, std::uint32_t count,
                                                  float* sines, float* cosines) {
    for (std::uint32_t first = 0; first < count; first += kLanes) {
        const std::uint32_t lanes = count - first < kLanes ? count - first : kLanes;
        Floats in = {};
        for (std::uint32_t lane = 0; lane < lanes; ++lane) {
            in[lane] = angles[first + lane];
        }
        const SinCos out = SineAndCosine(in);
        for (std::uint32_t lane = 0; lane < lanes; ++lane) {
            sines[first + lane] = out.sin[lane];
            cosines[first + lane] = out.cos[lane];
        }
    }
}

}  // namespace

}  // namespace Avidrift
