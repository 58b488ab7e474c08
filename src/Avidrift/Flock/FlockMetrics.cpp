#include "Avidrift/Flock/FlockMetrics.h"

#include <immintrin.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/TrefoilKnot.h"
#include "Avidrift/Tasks/RunBatch.h"
#include "Avidrift/Tasks/TaskScheduler.h"

// The kernels' registers never cross a call: every function that takes or returns one is inlined
// into the kernel compiled for its instruction set, so GCC's warning about the calling
// convention of wide vectors says nothing here.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace Avidrift {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A cell's 27-cell neighbourhood holds every boid closer than the cell size to any of its boids;
// the margin covers the rounding of cell coordinates and of squared distances.
constexpr double kCoverage = 1.0 - 0x1p-10;

bool IsFinite(const Quellon::Vector3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

double Length(double x, double y, double z) {
    return std::sqrt(x * x + y * y + z * z);
}

double Mean(double sum, std::uint64_t count) {
    return count > 0 ? sum / static_cast<double>(count) : kNaN;
}

// The distance from p to the nearest predator with a finite one, infinity when none has.
double NearestPredatorDistance(const FlockData& flock, const Quellon::Vector3& p) {
    double nearest = std::numeric_limits<double>::infinity();
    for (const Predator& predator : flock.predators) {
        const Quellon::Vector3& q = predator.position;
        const double d = Length(static_cast<double>(p.x) - q.x, static_cast<double>(p.y) - q.y,
                                static_cast<double>(p.z) - q.z);
        nearest = d < nearest ? d : nearest;
    }
    return nearest;
}

bool InsideAnObstacle(const FlockData& flock, const Quellon::Vector3& p) {
    return std::any_of(flock.obstacles.begin(), flock.obstacles.end(), [&](const Obstacle& o) {
        return Length(static_cast<double>(p.x) - o.centre.x, static_cast<double>(p.y) - o.centre.y,
                      static_cast<double>(p.z) - o.centre.z) < o.radius;
    });
}

}  // namespace

// Sums of one block that need only the boids themselves.
struct FlockMetrics::FirstSums {
    std::uint64_t included = 0;
    std::uint64_t moving = 0;
    double position[3] = {0, 0, 0};
    double heading[3] = {0, 0, 0};
    double speed = 0.0;
    double target = 0.0;
    std::uint64_t chased = 0;  // boids with a predator at a finite distance
    double predator = 0.0;
    std::uint64_t inside = 0;
    double low[3] = {kInfinity, kInfinity, kInfinity};
    double high[3] = {-kInfinity, -kInfinity, -kInfinity};
};

// Sums of one block that need the centre and the neighbour search.
struct FlockMetrics::SecondSums {
    std::uint64_t offCentre = 0;
    std::uint64_t withNeighbour = 0;
    std::uint64_t group = 0;
    double gyration = 0.0;
    double milling[3] = {0, 0, 0};
    double nearest = 0.0;
};

namespace {

// Candidate positions, one array per component, readable in whole registers past count (the
// rest NaN), and their boids in ascending order (null: the candidate is boid k).
struct Candidates {
    const float* x;
    const float* y;
    const float* z;
    const std::uint32_t* index;
    std::uint32_t count;
};

// The widest register of candidates any kernel reads at once.
constexpr std::uint32_t kMaxLanes = 16;

// Registers of GCC's vector extension, one per instruction set, with whether any lane of a
// comparison holds (which the extension lacks) and the comparisons themselves. IEEE arithmetic
// lane by lane, so every instruction set gives the same bits.
using Float4 = float __attribute__((vector_size(16)));
using Int4 = std::int32_t __attribute__((vector_size(16)));
using Float8 = float __attribute__((vector_size(32)));
using Int8 = std::int32_t __attribute__((vector_size(32)));
using Float16 = float __attribute__((vector_size(64)));
using Int16 = std::int32_t __attribute__((vector_size(64)));
// Exact squares take twice the room.
using Double4 = double __attribute__((vector_size(32)));
using Double8 = double __attribute__((vector_size(64)));
using Double16 = double __attribute__((vector_size(128)));

template <std::uint32_t Lanes, typename FloatRegister, typename IntRegister,
          typename DoubleRegister>
struct Registers {
    static constexpr std::uint32_t kLanes = Lanes;
    using Float = FloatRegister;
    using Int = IntRegister;
    using Double = DoubleRegister;
};

template <typename Float, typename Int>
struct Comparisons {
    static Int AtMost(Float a, float b) { return a <= b; }
    static Int AtLeast(Float a, float b) { return a >= b; }
    static Int Below(Float a, float b) { return a < b; }
};

struct Sse2 : Registers<4, Float4, Int4, Double4>, Comparisons<Float4, Int4> {
    static bool Any(Int m) { return _mm_movemask_epi8(reinterpret_cast<__m128i>(m)) != 0; }
};

struct Avx2 : Registers<8, Float8, Int8, Double8>, Comparisons<Float8, Int8> {
    __attribute__((target("avx2"))) static bool Any(Int m) {
        const auto v = reinterpret_cast<__m256i>(m);
        return _mm256_testz_si256(v, v) == 0;
    }
};

// Every single-precision squared distance of a pair whose exact one is below best lies at or
// below this (the margin of the search's filter).
float Bound(float best) {
    return best * (1.0f + 0x1p-20f) + std::numeric_limits<float>::min() * 16;
}

// Where the shortcut is safe, rough squares in [clearFrom, clearBelow) clearly count for the
// group and those below unclearFrom clearly do not; where it is not, none is clear.
struct ClearLimits {
    float clearFrom;
    float clearBelow;
    float unclearFrom;

    static ClearLimits Of(const NeighbourThresholds& t) {
        if (!t.groupShortcut) {
            return {kInfinity, 0.0f, -kInfinity};
        }
        return {t.separationHigh, t.groupLow, t.separationLow};
    }
};

// Boid i at (bx, by, bz), candidate self of c (or none), against the candidates: the smallest
// exact squared distance into best and, with CountGroup, the step's group count added to group.
// Squared lengths summed in single precision sort out nearly every candidate; only where one
// may beat best, or lies near a threshold, are the exact ones (summed in double, rounded once,
// as ExactSquaredLength) taken. A count and a minimum of exact values are the step's and the
// same for any order of candidates.
template <typename Isa, bool CountGroup>
__attribute__((always_inline)) inline void ExamineBody(float bx, float by, float bz,
                                                       std::uint32_t self, const Candidates& c,
                                                       const NeighbourThresholds& t, float& best,
                                                       std::uint32_t& group) {
    using Float = typename Isa::Float;
    using Int = typename Isa::Int;
    using Double = typename Isa::Double;
    constexpr std::uint32_t kLanes = Isa::kLanes;
    constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
    // Where the shortcut is safe, lanes clearly in or clearly within separation distance need
    // no exact length; where it is not, every lane the filter keeps does.
    const auto [clearFrom, clearBelow, unclearFrom] = ClearLimits::Of(t);
    float bound = Bound(best);
    Int counted{};
    for (std::uint32_t k = 0; k < c.count; k += kLanes) {
        Float x;
        Float y;
        Float z;
        std::memcpy(&x, c.x + k, sizeof x);
        std::memcpy(&y, c.y + k, sizeof y);
        std::memcpy(&z, c.z + k, sizeof z);
        const Float dx = bx - x;
        const Float dy = by - y;
        const Float dz = bz - z;
        Float rough = dx * dx + dy * dy + dz * dz;
        // NaN (the boid itself, padding, boids left out) fails every comparison: never the
        // smallest, never counted.
        const bool holdsSelf = self - k < kLanes;
        if (holdsSelf) {
            rough[self - k] = kNan;
        }
        Int unclear{};
        if constexpr (CountGroup) {
            const Int clear = Isa::AtLeast(rough, clearFrom) & Isa::Below(rough, clearBelow);
            counted -= clear;
            unclear = Isa::AtMost(rough, t.filter) & Isa::AtLeast(rough, unclearFrom) & ~clear;
        }
        const Int closer = Isa::AtMost(rough, bound);
        if (!Isa::Any(closer | unclear)) {
            continue;
        }
        const Double ex = __builtin_convertvector(dx, Double);
        const Double ey = __builtin_convertvector(dy, Double);
        const Double ez = __builtin_convertvector(dz, Double);
        Float exact = __builtin_convertvector(ex * ex + ey * ey + ez * ez, Float);
        if (holdsSelf) {
            exact[self - k] = kNan;
        }
        if constexpr (CountGroup) {
            counted -= unclear & Isa::AtLeast(exact, t.separation) & Isa::Below(exact, t.group);
        }
        for (std::uint32_t lane = 0; lane < kLanes; ++lane) {
            best = exact[lane] < best ? exact[lane] : best;
        }
        bound = Bound(best);
    }
    for (std::uint32_t lane = 0; lane < kLanes; ++lane) {
        group += static_cast<std::uint32_t>(counted[lane]);
    }
}

template <typename Isa>
__attribute__((always_inline)) inline void ExamineWith(float bx, float by, float bz,
                                                       std::uint32_t self, const Candidates& c,
                                                       const NeighbourThresholds& t,
                                                       bool countGroup, float& best,
                                                       std::uint32_t& group) {
    if (countGroup) {
        ExamineBody<Isa, true>(bx, by, bz, self, c, t, best, group);
    } else {
        ExamineBody<Isa, false>(bx, by, bz, self, c, t, best, group);
    }
}

// The body compiled for each instruction set; flatten inlines the register tests into it. (GCC's
// target_clones would choose in an ifunc resolver, which runs before the sanitizers' runtimes
// are ready and crashes their builds.)
using ExamineFunction = void (*)(float, float, float, std::uint32_t, const Candidates&,
                                 const NeighbourThresholds&, bool, float&, std::uint32_t&);

__attribute__((flatten)) void ExamineSse2(float bx, float by, float bz, std::uint32_t self,
                                          const Candidates& c, const NeighbourThresholds& t,
                                          bool countGroup, float& best, std::uint32_t& group) {
    ExamineWith<Sse2>(bx, by, bz, self, c, t, countGroup, best, group);
}

__attribute__((target("avx2"), flatten)) void ExamineAvx2(float bx, float by, float bz,
                                                          std::uint32_t self, const Candidates& c,
                                                          const NeighbourThresholds& t,
                                                          bool countGroup, float& best,
                                                          std::uint32_t& group) {
    ExamineWith<Avx2>(bx, by, bz, self, c, t, countGroup, best, group);
}

// The same tests in AVX-512's mask registers. Apart from the shared body because there GCC's
// vector extension turned every comparison's mask into a vector and back, which took a third
// of the kernel's time. The counts are popcounts of the masks, the boid itself a lane left out
// of every mask, and the minimum is taken over the lanes that may beat best only: the others'
// exact squares are at least best.
#define AVIDRIFT_AVX512 __attribute__((target("avx512f")))

template <int Predicate>
AVIDRIFT_AVX512 inline __mmask16 Compare(__mmask16 lanes, Float16 a, float b) {
    return _mm512_mask_cmp_ps_mask(lanes, a, _mm512_set1_ps(b), Predicate);
}

// The smallest of the lanes of v in lanes, none NaN (infinity when there are none). A minimum
// is the same in any order, so the halves fold onto each other. (Shuffles of the vector
// extension: GCC 12's own shuffle intrinsics warn of their undefined pass-through operands.)
AVIDRIFT_AVX512 inline float SmallestOf(__mmask16 lanes, Float16 v) {
    Float16 m = _mm512_mask_blend_ps(lanes, _mm512_set1_ps(kInfinity), v);
    Float16 other =
        __builtin_shufflevector(m, m, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);
    m = m < other ? m : other;
    other = __builtin_shufflevector(m, m, 4, 5, 6, 7, 0, 1, 2, 3, 12, 13, 14, 15, 8, 9, 10, 11);
    m = m < other ? m : other;
    other = __builtin_shufflevector(m, m, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    m = m < other ? m : other;
    other = __builtin_shufflevector(m, m, 1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    m = m < other ? m : other;
    return m[0];
}

template <bool CountGroup>
AVIDRIFT_AVX512 inline void ExamineInMasks(float bx, float by, float bz, std::uint32_t self,
                                           const Candidates& c, const NeighbourThresholds& t,
                                           float& best, std::uint32_t& group) {
    constexpr std::uint32_t kLanes = 16;
    const auto [clearFrom, clearBelow, unclearFrom] = ClearLimits::Of(t);
    float bound = Bound(best);
    std::uint32_t counted = 0;
    for (std::uint32_t k = 0; k < c.count; k += kLanes) {
        Float16 x;
        Float16 y;
        Float16 z;
        std::memcpy(&x, c.x + k, sizeof x);
        std::memcpy(&y, c.y + k, sizeof y);
        std::memcpy(&z, c.z + k, sizeof z);
        const Float16 dx = bx - x;
        const Float16 dy = by - y;
        const Float16 dz = bz - z;
        const Float16 rough = dx * dx + dy * dy + dz * dz;
        const auto lanes =
            static_cast<__mmask16>(self - k < kLanes ? ~(1u << (self - k)) : 0xFFFFu);
        __mmask16 unclear = 0;
        if constexpr (CountGroup) {
            const __mmask16 clear = Compare<_CMP_LT_OQ>(
                Compare<_CMP_GE_OQ>(lanes, rough, clearFrom), rough, clearBelow);
            counted += static_cast<std::uint32_t>(__builtin_popcount(clear));
            unclear = Compare<_CMP_GE_OQ>(
                Compare<_CMP_LE_OQ>(static_cast<__mmask16>(lanes & ~clear), rough, t.filter), rough,
                unclearFrom);
        }
        const __mmask16 closer = Compare<_CMP_LE_OQ>(lanes, rough, bound);
        if ((closer | unclear) == 0) {
            continue;
        }
        const Double16 ex = __builtin_convertvector(dx, Double16);
        const Double16 ey = __builtin_convertvector(dy, Double16);
        const Double16 ez = __builtin_convertvector(dz, Double16);
        const Float16 exact = __builtin_convertvector(ex * ex + ey * ey + ez * ez, Float16);
        if constexpr (CountGroup) {
            counted += static_cast<std::uint32_t>(__builtin_popcount(Compare<_CMP_LT_OQ>(
                Compare<_CMP_GE_OQ>(unclear, exact, t.separation), exact, t.group)));
        }
        best = std::min(best, SmallestOf(closer, exact));
        bound = Bound(best);
    }
    group += counted;
}

__attribute__((target("avx512f"), flatten)) void ExamineAvx512(
    float bx, float by, float bz, std::uint32_t self, const Candidates& c,
    const NeighbourThresholds& t, bool countGroup, float& best, std::uint32_t& group) {
    if (countGroup) {
        ExamineInMasks<true>(bx, by, bz, self, c, t, best, group);
    } else {
        ExamineInMasks<false>(bx, by, bz, self, c, t, best, group);
    }
}

ExamineFunction GetExamineFunction(InstructionSet instructionSet) {
    switch (instructionSet) {
        case InstructionSet::Avx512:
            return &ExamineAvx512;
        case InstructionSet::Avx2:
            return &ExamineAvx2;
        case InstructionSet::Portable:
            break;
    }
    return &ExamineSse2;
}

// Where boid i sits among the candidates, or past every register when it is not one of them.
std::uint32_t PlaceOf(std::uint32_t i, const Candidates& c) {
    if (c.index == nullptr) {
        return i;
    }
    const std::uint32_t* at = std::lower_bound(c.index, c.index + c.count, i);
    return at != c.index + c.count && *at == i ? static_cast<std::uint32_t>(at - c.index)
                                               : std::numeric_limits<std::uint32_t>::max();
}

}  // namespace

// What every search of one Measure reads.
struct FlockMetrics::Scan {
    NeighbourThresholds thresholds;
    bool countGroup;
    ExamineFunction examine;
    KeepFunction keep;

    // seed: another boid, likely near i. Its distance bounds the nearest from the start, so
    // that few candidates need the exact length; the minimum is the same with any seed.
    void Examine(const BoidArrays& a, std::uint32_t i, std::uint32_t seed, const Candidates& c,
                 bool group, float& best, std::uint32_t& count) const {
        if (seed != i) {
            best = std::min(best, ExactSquaredLength(a.px[i] - a.px[seed], a.py[i] - a.py[seed],
                                                     a.pz[i] - a.pz[seed]));
        }
        examine(a.px[i], a.py[i], a.pz[i], PlaceOf(i, c), c, thresholds, group, best, count);
    }
};

std::vector<std::string> GetMeasureNames() {
    return {"polarization",
            "milling",
            "mean_speed",
            "mean_group_neighbours",
            "mean_nearest_distance",
            "gyration_radius",
            "mean_target_distance",
            "excluded",
            "mean_predator_distance",
            "inside_obstacles"};
}

std::vector<double> GetMeasureValues(const FlockMeasures& m) {
    return {m.polarization,
            m.milling,
            m.meanSpeed,
            m.meanGroupNeighbours,
            m.meanNearestDistance,
            m.gyrationRadius,
            m.meanTargetDistance,
            static_cast<double>(m.excluded),
            m.meanPredatorDistance,
            static_cast<double>(m.insideObstacles)};
}

FlockMetrics::FlockMetrics(TaskScheduler& scheduler) : m_scheduler(scheduler) {}

FlockMeasures FlockMetrics::Measure(const FlockData& flock, std::uint32_t taskCount) {
    const std::uint32_t n = flock.boidCount;
    const std::uint32_t blocks = (n + kBlock - 1) / kBlock;
    const std::uint32_t tasks =
        std::min(std::max<std::uint32_t>(taskCount, 1), std::max<std::uint32_t>(blocks, 1));
    m_arrays.Resize(n);
    m_nearest.assign(n, kInfinity);
    m_group.assign(n, 0);
    m_resolved.assign(n, 0);

    const FirstSums all = SumBoids(flock, tasks);
    const double centre[3] = {Mean(all.position[0], all.included),
                              Mean(all.position[1], all.included),
                              Mean(all.position[2], all.included)};
    const double diagonal =
        all.included > 0
            ? Length(all.high[0] - all.low[0], all.high[1] - all.low[1], all.high[2] - all.low[2])
            : 0.0;
    FindNeighbours(flock, tasks, diagonal);
    const SecondSums total = SumAroundCentre(flock, tasks, centre);

    FlockMeasures m;
    m.polarization = Mean(Length(all.heading[0], all.heading[1], all.heading[2]), all.moving);
    m.milling = Mean(Length(total.milling[0], total.milling[1], total.milling[2]), total.offCentre);
    m.meanSpeed = Mean(all.speed, all.included);
    m.meanGroupNeighbours = Mean(static_cast<double>(total.group), all.included);
    m.meanNearestDistance = Mean(total.nearest, total.withNeighbour);
    m.gyrationRadius = std::sqrt(Mean(total.gyration, all.included));
    m.meanTargetDistance = Mean(all.target, all.included);
    m.excluded = n - static_cast<std::uint32_t>(all.included);
    m.meanPredatorDistance = Mean(all.predator, all.chased);
    m.insideObstacles = static_cast<std::uint32_t>(all.inside);
    return m;
}

// Blocks are dealt to tasks round-robin; which task sums a block never changes its sum, and the
// blocks' sums are added in index order.
FlockMetrics::FirstSums FlockMetrics::SumBoids(const FlockData& flock, std::uint32_t tasks) {
    const std::uint32_t n = flock.boidCount;
    const std::uint32_t blocks = (n + kBlock - 1) / kBlock;
    std::vector<FirstSums> first(blocks);
    RunBatch(m_scheduler, tasks, [&](std::uint32_t task) {
        for (std::uint32_t b = task; b < blocks; b += tasks) {
            const std::uint32_t begin = b * kBlock;
            const std::uint32_t end = std::min(n, begin + kBlock);
            m_arrays.CopyFrom(flock, begin, end);
            FirstSums& s = first[b];
            for (std::uint32_t i = begin; i < end; ++i) {
                const Quellon::Vector3 p = flock.positions[i];
                const Quellon::Vector3 v = flock.velocities[i];
                const float t = flock.pathParameters[i];
                if (!IsFinite(p) || !IsFinite(v) || !std::isfinite(t)) {
                    m_arrays.px[i] = std::numeric_limits<float>::quiet_NaN();
                    m_resolved[i] = 1;
                    continue;
                }
                ++s.included;
                const double r[3] = {p.x, p.y, p.z};
                for (int c = 0; c < 3; ++c) {
                    s.position[c] += r[c];
                    s.low[c] = std::min(s.low[c], r[c]);
                    s.high[c] = std::max(s.high[c], r[c]);
                }
                const double speed = Length(v.x, v.y, v.z);
                s.speed += speed;
                if (speed > 0.0) {
                    ++s.moving;
                    s.heading[0] += v.x / speed;
                    s.heading[1] += v.y / speed;
                    s.heading[2] += v.z / speed;
                }
                const Quellon::Vector3 k = TrefoilKnotPoint(t);
                s.target += Length(static_cast<double>(p.x) - k.x, static_cast<double>(p.y) - k.y,
                                   static_cast<double>(p.z) - k.z);
                const double predator = NearestPredatorDistance(flock, p);
                if (predator < std::numeric_limits<double>::infinity()) {
                    ++s.chased;
                    s.predator += predator;
                }
                s.inside += InsideAnObstacle(flock, p);
            }
        }
    });
    FirstSums all;
    for (const FirstSums& s : first) {
        all.included += s.included;
        all.moving += s.moving;
        all.speed += s.speed;
        all.target += s.target;
        all.chased += s.chased;
        all.predator += s.predator;
        all.inside += s.inside;
        for (int c = 0; c < 3; ++c) {
            all.position[c] += s.position[c];
            all.heading[c] += s.heading[c];
            all.low[c] = std::min(all.low[c], s.low[c]);
            all.high[c] = std::max(all.high[c], s.high[c]);
        }
    }
    return all;
}

void FlockMetrics::FindNeighbours(const FlockData& flock, std::uint32_t tasks, double diagonal) {
    const NeighbourThresholds thresholds =
        NeighbourThresholds::For(flock.separationDistance, flock.groupDistance);
    const Scan scan{thresholds, !thresholds.none, GetExamineFunction(m_instructionSet),
                    GetKeepFunction(m_instructionSet)};
    const bool gridWanted =
        m_mode == NeighbourSearchMode::Grid ||
        (m_mode == NeighbourSearchMode::Auto && flock.boidCount >= FlockStep::kGridFrom);
    if (gridWanted && SearchGrid(tasks, scan, diagonal)) {
        m_lastSearch = NeighbourSearchMode::Grid;
    } else {
        m_lastSearch = NeighbourSearchMode::AllPairs;
        SearchAllPairs(tasks, scan);
    }
}

FlockMetrics::SecondSums FlockMetrics::SumAroundCentre(const FlockData& flock, std::uint32_t tasks,
                                                       const double (&centre)[3]) {
    const std::uint32_t n = flock.boidCount;
    const std::uint32_t blocks = (n + kBlock - 1) / kBlock;
    std::vector<SecondSums> second(blocks);
    RunBatch(m_scheduler, tasks, [&](std::uint32_t task) {
        for (std::uint32_t b = task; b < blocks; b += tasks) {
            SecondSums& s = second[b];
            for (std::uint32_t i = b * kBlock; i < std::min(n, (b + 1) * kBlock); ++i) {
                if (std::isnan(m_arrays.px[i])) {
                    continue;
                }
                const Quellon::Vector3 p = flock.positions[i];
                const Quellon::Vector3 v = flock.velocities[i];
                const double r[3] = {p.x - centre[0], p.y - centre[1], p.z - centre[2]};
                const double distance = Length(r[0], r[1], r[2]);
                s.gyration += distance * distance;
                const double speed = Length(v.x, v.y, v.z);
                if (distance > 0.0 && speed > 0.0) {
                    ++s.offCentre;
                    const double u[3] = {r[0] / distance, r[1] / distance, r[2] / distance};
                    const double h[3] = {v.x / speed, v.y / speed, v.z / speed};
                    s.milling[0] += u[1] * h[2] - u[2] * h[1];
                    s.milling[1] += u[2] * h[0] - u[0] * h[2];
                    s.milling[2] += u[0] * h[1] - u[1] * h[0];
                }
                if (m_nearest[i] < kInfinity) {
                    ++s.withNeighbour;
                    s.nearest += std::sqrt(static_cast<double>(m_nearest[i]));
                }
                s.group += m_group[i];
            }
        }
    });
    SecondSums total;
    for (const SecondSums& s : second) {
        total.offCentre += s.offCentre;
        total.withNeighbour += s.withNeighbour;
        total.group += s.group;
        total.gyration += s.gyration;
        total.nearest += s.nearest;
        for (int c = 0; c < 3; ++c) {
            total.milling[c] += s.milling[c];
        }
    }
    return total;
}

void FlockMetrics::SearchAllPairs(std::uint32_t tasks, const Scan& scan) {
    const std::uint32_t n = m_arrays.count;
    const std::uint32_t blocks = (n + kBlock - 1) / kBlock;
    // The arrays' padding reads as NaN up to the next whole register.
    const Candidates everyone{m_arrays.px.data(), m_arrays.py.data(), m_arrays.pz.data(), nullptr,
                              n};
    RunBatch(m_scheduler, tasks, [&](std::uint32_t task) {
        for (std::uint32_t b = task; b < blocks; b += tasks) {
            for (std::uint32_t i = b * kBlock; i < std::min(n, (b + 1) * kBlock); ++i) {
                if (!m_resolved[i]) {
                    scan.Examine(m_arrays, i, i + 1 < n ? i + 1 : i - (i > 0), everyone,
                                 scan.countGroup, m_nearest[i], m_group[i]);
                }
            }
        }
    });
}

void FlockMetrics::BuildGrid(std::uint32_t tasks, float cellSize) {
    const std::uint32_t n = m_arrays.count;
    m_grid.Prepare(n, cellSize);
    RunBatch(m_scheduler, tasks, [&](std::uint32_t k) {
        const BoidSlice slice = FlockStep::Slice(k, n, tasks);
        m_grid.SortRange(m_arrays, slice.begin, slice.end);
    });
    std::vector<std::uint32_t> ends(tasks);
    for (std::uint32_t k = 0; k < tasks; ++k) {
        ends[k] = FlockStep::Slice(k, n, tasks).end;
    }
    m_grid.Finish(ends);
}

bool FlockMetrics::SearchGrid(std::uint32_t tasks, const Scan& scan, double diagonal) {
    // The first grid's cells must hold every group neighbour; without group neighbours to
    // count, a cell of about the mean spacing of a uniform flock of this extent.
    double cellSize = scan.thresholds.reach;
    if (!scan.countGroup) {
        cellSize = 2.0 * diagonal / std::cbrt(std::max<double>(m_arrays.count, 1));
        if (!(cellSize > 0.0)) {
            cellSize = 1.0;
        }
    }
    if (!(cellSize > 0.0 && cellSize < std::numeric_limits<float>::max())) {
        return false;
    }
    // A boid whose nearest boid lies beyond the cell size has its answer outside the 27 cells:
    // such boids search again in grids of cells four times wider, until a cell spans the flock.
    bool countGroup = scan.countGroup;
    while (true) {
        const float cellWidth = static_cast<float>(cellSize);
        BuildGrid(tasks, cellWidth);
        const double covered = static_cast<double>(cellWidth) * kCoverage;
        const double coveredSquared = covered * covered;
        const bool spansFlock = covered > diagonal;
        // Only candidates within the cell size can settle a boid, and only those the filter
        // keeps can count for its group: a block of boids scans just those near its box.
        const float nearestCut = static_cast<float>(coveredSquared) * (1.0f + 0x1p-18f) +
                                 std::numeric_limits<float>::min() * 16;
        const float cut = countGroup ? std::max(nearestCut, scan.thresholds.filter) : nearestCut;
        const std::vector<std::uint32_t> firstCell = m_grid.PlanChunks(32 * tasks);
        const auto chunks = static_cast<std::uint32_t>(firstCell.size() - 1);
        std::atomic<std::uint32_t> nextChunk{0};
        const GridPass pass{scan, countGroup, cut, coveredSquared, spansFlock};
        RunBatch(m_scheduler, tasks, [&](std::uint32_t) {
            CellScratch scratch;
            for (std::uint32_t chunk = nextChunk.fetch_add(1, std::memory_order_relaxed);
                 chunk < chunks; chunk = nextChunk.fetch_add(1, std::memory_order_relaxed)) {
                for (std::uint32_t cell = firstCell[chunk]; cell < firstCell[chunk + 1]; ++cell) {
                    ScanCell(cell, pass, scratch);
                }
            }
        });
        countGroup = false;
        const bool done = std::all_of(m_resolved.begin(), m_resolved.end(),
                                      [](std::uint8_t r) { return r != 0; });
        if (done) {
            return true;
        }
        cellSize *= 4.0;
        if (!(cellSize < std::numeric_limits<float>::max())) {
            // Cells cannot grow any further: the rest scan every boid.
            SearchAllPairs(tasks, Scan{scan.thresholds, false, scan.examine, scan.keep});
            return true;
        }
    }
}

void FlockMetrics::ScanCell(std::uint32_t cell, const GridPass& pass, CellScratch& scratch) {
    const Scan& scan = pass.scan;
    const auto settled = [&](std::uint32_t i) { return m_resolved[i] != 0; };
    const std::uint32_t* boids = m_grid.CellBegin(cell);
    const std::uint32_t size = m_grid.CellSize(cell);
    if (std::all_of(boids, boids + size, settled)) {
        return;
    }
    std::vector<std::uint32_t>& candidates = scratch.candidates;
    m_grid.GatherNeighbourhood(cell, candidates);
    const auto m = static_cast<std::uint32_t>(candidates.size());
    BoidArrays& gathered = scratch.gathered;
    gathered.Resize(m);
    for (std::uint32_t k = 0; k < m; ++k) {
        gathered.px[k] = m_arrays.px[candidates[k]];
        gathered.py[k] = m_arrays.py[candidates[k]];
        gathered.pz[k] = m_arrays.pz[candidates[k]];
    }
    const Candidates all{gathered.px.data(), gathered.py.data(), gathered.pz.data(),
                         candidates.data(), m};
    if (scan.keep != nullptr) {
        PlaceInBlocks(m_arrays, boids, size, kMaxLanes, scratch.ordered);
        boids = scratch.ordered.data();
    }
    CandidateArrays& kept = scratch.kept;
    for (std::uint32_t first = 0; first < size; first += kMaxLanes) {
        const std::uint32_t count = std::min(kMaxLanes, size - first);
        const std::uint32_t* block = boids + first;
        if (std::all_of(block, block + count, settled)) {
            continue;
        }
        Candidates scanned = all;
        if (scan.keep != nullptr) {
            // Velocities are not read: the positions stand in for them.
            const CandidateView view{all.x, all.y, all.z, all.x, all.y, all.z, all.index, m};
            kept.Reserve(m + kMaxLanes);  // room for the padding
            const std::uint32_t near =
                scan.keep(view, BoidBox::Around(m_arrays, block, count), pass.cut, kept);
            for (std::vector<float>* v : {&kept.px, &kept.py, &kept.pz}) {
                std::fill_n(v->begin() + near, kMaxLanes, std::numeric_limits<float>::quiet_NaN());
            }
            scanned = {kept.px.data(), kept.py.data(), kept.pz.data(), kept.index.data(), near};
        }
        for (std::uint32_t b = 0; b < count; ++b) {
            const std::uint32_t i = block[b];
            if (m_resolved[i]) {
                continue;
            }
            // Consecutive boids of a block are close together.
            const std::uint32_t seed = b + 1 < count ? block[b + 1] : block[b - (b > 0)];
            scan.Examine(m_arrays, i, seed, scanned, pass.countGroup, m_nearest[i], m_group[i]);
            if (pass.spansFlock || static_cast<double>(m_nearest[i]) < pass.coveredSquared) {
                m_resolved[i] = 1;
            }
        }
    }
}

}  // namespace Avidrift
