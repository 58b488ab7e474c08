// The neighbour kernel for AVX2: eight boids side by side, each in its own lane, all scanning
// the same candidates in ascending order. Every lane performs exactly the operations of the
// scalar reference on its own boid, in the same order, so its sums are bit-identical to it.
// Compiled for AVX2 through a target attribute only; callers check the CPU first.

#include <immintrin.h>

#include <cstdint>

#include "Avidrift/Flock/NeighbourLanes.h"

namespace Avidrift {

namespace {

constexpr std::uint32_t kLanes = 8;

#define AVIDRIFT_AVX2 __attribute__((target("avx2")))

// The exact squared length of eight differences: squares and sums in double, as the scalar
// Length does, then rounded to float.
AVIDRIFT_AVX2 inline __m128 ExactSquaredHalf(__m128 x, __m128 y, __m128 z) {
    const __m256d xd = _mm256_cvtps_pd(x);
    const __m256d yd = _mm256_cvtps_pd(y);
    const __m256d zd = _mm256_cvtps_pd(z);
    const __m256d sum = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(xd, xd), _mm256_mul_pd(yd, yd)),
                                      _mm256_mul_pd(zd, zd));
    return _mm256_cvtpd_ps(sum);
}

AVIDRIFT_AVX2 inline __m256 ExactSquared(__m256 dx, __m256 dy, __m256 dz) {
    const __m128 low = ExactSquaredHalf(_mm256_castps256_ps128(dx), _mm256_castps256_ps128(dy),
                                        _mm256_castps256_ps128(dz));
    const __m128 high = ExactSquaredHalf(_mm256_extractf128_ps(dx, 1), _mm256_extractf128_ps(dy, 1),
                                         _mm256_extractf128_ps(dz, 1));
    return _mm256_insertf128_ps(_mm256_castps128_ps256(low), high, 1);
}

AVIDRIFT_AVX2 inline __m256 AddWhere(__m256 sum, __m256 term, __m256 mask) {
    return _mm256_blendv_ps(sum, _mm256_add_ps(sum, term), mask);
}

// One block of boids and what its scan has added up so far.
struct Block {
    __m256 x, y, z, vx, vy, vz;
    __m256i index;
    __m256 valid;
    __m256 filter, separationThreshold, groupThreshold;
    __m256 separationHigh, groupLow;
    bool groupShortcut;
    bool clearExcludesSelf;
    __m256 sx, sy, sz, mx, my, mz, ax, ay, az;
    __m256i separationCount, groupCount;
};

// The differences to one candidate and the cheap single-precision test of them.
struct Probe {
    __m256 dx, dy, dz;
    __m256 rough;  // the squared distance summed in single precision
    __m256 near;   // all ones in the lanes the candidate may count for
};

AVIDRIFT_AVX2 inline Probe Near(const Block& b, const CandidateView& c, std::uint32_t k) {
    Probe p;
    p.dx = _mm256_sub_ps(b.x, _mm256_broadcast_ss(c.px + k));
    p.dy = _mm256_sub_ps(b.y, _mm256_broadcast_ss(c.py + k));
    p.dz = _mm256_sub_ps(b.z, _mm256_broadcast_ss(c.pz + k));
    p.rough = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(p.dx, p.dx), _mm256_mul_ps(p.dy, p.dy)),
                            _mm256_mul_ps(p.dz, p.dz));
    p.near = _mm256_and_ps(_mm256_cmp_ps(p.rough, b.filter, _CMP_LE_OQ), b.valid);
    return p;
}

// The near lanes whose pair does not clearly count for the group only: they need the exact
// length. Only meaningful with groupShortcut.
AVIDRIFT_AVX2 inline __m256 NeedsExact(const Block& b, const Probe& p) {
    const __m256 clearlyGroup = _mm256_and_ps(_mm256_cmp_ps(p.rough, b.separationHigh, _CMP_GE_OQ),
                                              _mm256_cmp_ps(p.rough, b.groupLow, _CMP_LT_OQ));
    return _mm256_andnot_ps(clearlyGroup, p.near);
}

// The lanes of near whose boid is not candidate k itself.
AVIDRIFT_AVX2 inline __m256 Others(const Block& b, const CandidateView& c, std::uint32_t k,
                                   __m256 near) {
    const std::uint32_t j = c.index != nullptr ? c.index[k] : k;
    const __m256 self =
        _mm256_castsi256_ps(_mm256_cmpeq_epi32(b.index, _mm256_set1_epi32(static_cast<int>(j))));
    return _mm256_andnot_ps(self, near);
}

// Adds candidate k to the group sums of the lanes in grouping (none: nothing changes).
AVIDRIFT_AVX2 inline void AddToGroup(Block& b, const CandidateView& c, std::uint32_t k,
                                     __m256 grouping) {
    b.ax = AddWhere(b.ax, _mm256_sub_ps(_mm256_broadcast_ss(c.vx + k), b.vx), grouping);
    b.ay = AddWhere(b.ay, _mm256_sub_ps(_mm256_broadcast_ss(c.vy + k), b.vy), grouping);
    b.az = AddWhere(b.az, _mm256_sub_ps(_mm256_broadcast_ss(c.vz + k), b.vz), grouping);
    b.mx = AddWhere(b.mx, _mm256_broadcast_ss(c.px + k), grouping);
    b.my = AddWhere(b.my, _mm256_broadcast_ss(c.py + k), grouping);
    b.mz = AddWhere(b.mz, _mm256_broadcast_ss(c.pz + k), grouping);
    b.groupCount = _mm256_sub_epi32(b.groupCount, _mm256_castps_si256(grouping));
}

// The exact tests and sums of the scalar reference for candidate k, in the near lanes.
AVIDRIFT_AVX2 inline void Count(Block& b, const CandidateView& c, std::uint32_t k, const Probe& p) {
    const __m256 counted = Others(b, c, k, p.near);
    if (b.groupShortcut && _mm256_movemask_ps(NeedsExact(b, p)) == 0) {
        AddToGroup(b, c, k, counted);
        return;
    }
    const __m256 squared = ExactSquared(p.dx, p.dy, p.dz);
    const __m256 closeForSeparation = _mm256_cmp_ps(squared, b.separationThreshold, _CMP_LT_OQ);
    const __m256 separating = _mm256_and_ps(
        _mm256_and_ps(closeForSeparation, _mm256_cmp_ps(squared, _mm256_setzero_ps(), _CMP_NEQ_OQ)),
        counted);
    const __m256 grouping = _mm256_and_ps(
        _mm256_andnot_ps(closeForSeparation, _mm256_cmp_ps(squared, b.groupThreshold, _CMP_LT_OQ)),
        counted);
    if (_mm256_movemask_ps(separating) != 0) {
        // Lanes that do not separate divide by whatever their distance is; the blend discards
        // those results.
        const __m256 distance = _mm256_sqrt_ps(squared);
        const __m256 inverse = _mm256_div_ps(_mm256_set1_ps(1.0f), distance);
        b.sx = AddWhere(b.sx, _mm256_mul_ps(_mm256_div_ps(p.dx, distance), inverse), separating);
        b.sy = AddWhere(b.sy, _mm256_mul_ps(_mm256_div_ps(p.dy, distance), inverse), separating);
        b.sz = AddWhere(b.sz, _mm256_mul_ps(_mm256_div_ps(p.dz, distance), inverse), separating);
        b.separationCount = _mm256_sub_epi32(b.separationCount, _mm256_castps_si256(separating));
    }
    if (_mm256_movemask_ps(grouping) != 0) {
        AddToGroup(b, c, k, grouping);
    }
}

AVIDRIFT_AVX2 void AccumulateLanes(const BoidArrays& all, const std::uint32_t* boids,
                                   std::uint32_t laneCount, const CandidateView& c,
                                   const NeighbourThresholds& t, NeighbourSums* out) {
    const LaneBoids<kLanes> lanes(all, boids, laneCount);
    const __m256 zero = _mm256_setzero_ps();
    Block b{_mm256_load_ps(lanes.x),
            _mm256_load_ps(lanes.y),
            _mm256_load_ps(lanes.z),
            _mm256_load_ps(lanes.vx),
            _mm256_load_ps(lanes.vy),
            _mm256_load_ps(lanes.vz),
            _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.index)),
            _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.valid))),
            _mm256_set1_ps(t.filter),
            _mm256_set1_ps(t.separation),
            _mm256_set1_ps(t.group),
            _mm256_set1_ps(t.separationHigh),
            _mm256_set1_ps(t.groupLow),
            t.groupShortcut,
            t.clearExcludesSelf,
            zero,
            zero,
            zero,
            zero,
            zero,
            zero,
            zero,
            zero,
            zero,
            _mm256_setzero_si256(),
            _mm256_setzero_si256()};

    // Four candidates per test of the masks, as in the AVX-512 kernel.
    std::uint32_t k = 0;
    for (; k + 4 <= c.count; k += 4) {
        const Probe p0 = Near(b, c, k);
        const Probe p1 = Near(b, c, k + 1);
        const Probe p2 = Near(b, c, k + 2);
        const Probe p3 = Near(b, c, k + 3);
        if (_mm256_movemask_ps(_mm256_or_ps(_mm256_or_ps(p0.near, p1.near),
                                            _mm256_or_ps(p2.near, p3.near))) == 0) {
            continue;  // the common case of a sparse flock: nobody in the block is near
        }
        if (b.groupShortcut && _mm256_movemask_ps(_mm256_or_ps(
                                   _mm256_or_ps(NeedsExact(b, p0), NeedsExact(b, p1)),
                                   _mm256_or_ps(NeedsExact(b, p2), NeedsExact(b, p3)))) == 0) {
            // All four clearly count for the group only, where at all: add them without a
            // branch on each, which would be mispredicted.
            if (b.clearExcludesSelf) {
                AddToGroup(b, c, k, p0.near);
                AddToGroup(b, c, k + 1, p1.near);
                AddToGroup(b, c, k + 2, p2.near);
                AddToGroup(b, c, k + 3, p3.near);
            } else {
                AddToGroup(b, c, k, Others(b, c, k, p0.near));
                AddToGroup(b, c, k + 1, Others(b, c, k + 1, p1.near));
                AddToGroup(b, c, k + 2, Others(b, c, k + 2, p2.near));
                AddToGroup(b, c, k + 3, Others(b, c, k + 3, p3.near));
            }
            continue;
        }
        // In ascending order, as the reference adds them.
        const Probe* probes[4] = {&p0, &p1, &p2, &p3};
        for (std::uint32_t q = 0; q < 4; ++q) {
            if (_mm256_movemask_ps(probes[q]->near) != 0) {
                Count(b, c, k + q, *probes[q]);
            }
        }
    }
    for (; k < c.count; ++k) {
        const Probe p = Near(b, c, k);
        if (_mm256_movemask_ps(p.near) != 0) {
            Count(b, c, k, p);
        }
    }

    LaneSums<kLanes> result;
    const __m256 results[9] = {b.sx, b.sy, b.sz, b.mx, b.my, b.mz, b.ax, b.ay, b.az};
    for (int q = 0; q < 9; ++q) {
        _mm256_store_ps(result.values[q], results[q]);
    }
    _mm256_store_si256(reinterpret_cast<__m256i*>(result.counts[0]), b.separationCount);
    _mm256_store_si256(reinterpret_cast<__m256i*>(result.counts[1]), b.groupCount);
    result.CopyTo(out, laneCount);
}

AVIDRIFT_AVX2 inline __m256 AxisDistance(__m256 p, __m256 low, __m256 high) {
    return _mm256_max_ps(_mm256_max_ps(_mm256_sub_ps(low, p), _mm256_sub_ps(p, high)),
                         _mm256_setzero_ps());
}

// For each 8-bit mask, the lanes it selects in ascending order, three bits each: AVX2 has no
// compress, but a permutation by this table does the same.
struct CompressTable {
    std::uint32_t lanes[256];

    constexpr CompressTable() : lanes() {
        for (std::uint32_t mask = 0; mask < 256; ++mask) {
            std::uint32_t packed = 0;
            std::uint32_t next = 0;
            for (std::uint32_t lane = 0; lane < 8; ++lane) {
                if ((mask >> lane & 1u) != 0) {
                    packed |= lane << (3 * next++);
                }
            }
            lanes[mask] = packed;
        }
    }
};

constexpr CompressTable kCompress;

AVIDRIFT_AVX2 inline void StoreKept(float* out, __m256i order, __m256 values) {
    _mm256_storeu_ps(out, _mm256_permutevar8x32_ps(values, order));
}

}  // namespace

AVIDRIFT_AVX2 std::uint32_t KeepNearBoxAvx2(const CandidateView& c, const BoidBox& box,
                                            float filter, CandidateArrays& out) {
    // Whole registers are loaded and stored: room for one past the end both ways.
    out.Reserve(c.count + kLanes);
    const __m256 low[3] = {_mm256_set1_ps(box.low[0]), _mm256_set1_ps(box.low[1]),
                           _mm256_set1_ps(box.low[2])};
    const __m256 high[3] = {_mm256_set1_ps(box.high[0]), _mm256_set1_ps(box.high[1]),
                            _mm256_set1_ps(box.high[2])};
    const __m256 limit = _mm256_set1_ps(filter);
    const __m256i shifts = _mm256_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21);
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const KeptColumns columns(c, out);
    const std::uint32_t count = c.count;
    std::uint32_t kept = 0;
    for (std::uint32_t k = 0; k < count; k += kLanes) {
        const std::uint32_t left = count - k;
        const __m256i inList = _mm256_cmpgt_epi32(
            _mm256_set1_epi32(static_cast<int>(left < kLanes ? left : kLanes)), lane);
        const __m256 px = _mm256_maskload_ps(columns.from[0] + k, inList);
        const __m256 py = _mm256_maskload_ps(columns.from[1] + k, inList);
        const __m256 pz = _mm256_maskload_ps(columns.from[2] + k, inList);
        const __m256 dx = AxisDistance(px, low[0], high[0]);
        const __m256 dy = AxisDistance(py, low[1], high[1]);
        const __m256 dz = AxisDistance(pz, low[2], high[2]);
        const __m256 rough = _mm256_add_ps(
            _mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy)), _mm256_mul_ps(dz, dz));
        const int keep = _mm256_movemask_ps(
            _mm256_and_ps(_mm256_cmp_ps(rough, limit, _CMP_LE_OQ), _mm256_castsi256_ps(inList)));
        if (keep == 0) {
            continue;
        }
        const __m256i order = _mm256_and_si256(
            _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(kCompress.lanes[keep])), shifts),
            _mm256_set1_epi32(7));
        StoreKept(columns.to[0] + kept, order, px);
        StoreKept(columns.to[1] + kept, order, py);
        StoreKept(columns.to[2] + kept, order, pz);
        for (int q = 3; q < 6; ++q) {
            StoreKept(columns.to[q] + kept, order, _mm256_maskload_ps(columns.from[q] + k, inList));
        }
        const __m256i index =
            columns.fromIndex != nullptr
                ? _mm256_maskload_epi32(reinterpret_cast<const int*>(columns.fromIndex + k), inList)
                : _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(k)), lane);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(columns.toIndex + kept),
                            _mm256_permutevar8x32_epi32(index, order));
        kept += static_cast<std::uint32_t>(__builtin_popcount(static_cast<unsigned>(keep)));
    }
    return kept;
}

void AccumulateAvx2(const BoidArrays& all, const std::uint32_t* boids, std::uint32_t boidCount,
                    const CandidateView& candidates, const NeighbourThresholds& thresholds,
                    NeighbourSums* out) {
    ForEachBlock<kLanes>(all, boids, boidCount, candidates, thresholds, out, AccumulateLanes);
}

}  // namespace Avidrift
