// The neighbour kernel for AVX-512: sixteen boids side by side, each in its own lane, all
// scanning the same candidates in ascending order. Every lane performs exactly the operations
// of the scalar reference on its own boid, in the same order, so its sums are bit-identical to
// it. Compiled for AVX-512 through a target attribute only; callers check the CPU first.

// GCC 12's own AVX-512 headers trip its uninitialised-value warning (the masked intrinsics'
// undefined pass-through operands); the warning says nothing about this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Avidrift/Flock/NeighbourLanes.h"

namespace Avidrift {

namespace {

constexpr std::uint32_t kLanes = 16;

#define AVIDRIFT_AVX512 __attribute__((target("avx512f")))

// The exact squared length: squares and sums in double, as the scalar Length does, then
// rounded to float.
AVIDRIFT_AVX512 inline __m256 ExactSquaredHalf(__m256 x, __m256 y, __m256 z) {
    const __m512d xd = _mm512_cvtps_pd(x);
    const __m512d yd = _mm512_cvtps_pd(y);
    const __m512d zd = _mm512_cvtps_pd(z);
    const __m512d sum = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(xd, xd), _mm512_mul_pd(yd, yd)),
                                      _mm512_mul_pd(zd, zd));
    return _mm512_cvtpd_ps(sum);
}

AVIDRIFT_AVX512 inline __m256 LowHalf(__m512 v) {
    return _mm512_castps512_ps256(v);
}

AVIDRIFT_AVX512 inline __m256 HighHalf(__m512 v) {
    return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1));
}

AVIDRIFT_AVX512 inline __m512 ExactSquared(__m512 dx, __m512 dy, __m512 dz) {
    const __m256 lowHalf = ExactSquaredHalf(LowHalf(dx), LowHalf(dy), LowHalf(dz));
    const __m256 highHalf = ExactSquaredHalf(HighHalf(dx), HighHalf(dy), HighHalf(dz));
    return _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castps_pd(_mm512_castps256_ps512(lowHalf)),
                                               _mm256_castps_pd(highHalf), 1));
}

// The separation sums of a block: rarely added to, so they stay in memory and leave the
// registers to the group sums, which nearly every candidate adds to.
struct Separation {
    __m512 sx, sy, sz;
    __m512i count;
};

// Where a block's boids are and who they are: what every exact test starts from. Handed by
// value to what runs out of line, so that the block's own address never escapes the scan: an
// escaped block lives in memory, and so would the sums the loop adds to.
struct Own {
    __m512 x, y, z;
    __m512i index;
};

// One block of boids and its scan's constants.
struct Block {
    Own own;
    __m512 vx, vy, vz;
    __mmask16 valid;
    __m512 filter, separationThreshold, groupThreshold;
    __m512 separationHigh, groupLow, separationLow;
    bool groupShortcut;
    bool clearExcludesSelf;
    Separation* separation;
};

// What nearly every candidate adds to.
struct GroupSums {
    __m512 mx, my, mz, ax, ay, az;
    __m512i count;
};

struct Differences {
    __m512 dx, dy, dz;
};

// The cheap single-precision test of one candidate. Four probes are tested at once; keeping
// their differences too would push the group sums out of the registers, and only the rare
// exact test needs them again.
struct Probe {
    __m512 rough;    // the squared distance summed in single precision
    __mmask16 near;  // the lanes the candidate may count for
};

// The squared length in single precision, fused: two operations fewer per candidate, and the
// thresholds' margins cover any rounding of the sum.
AVIDRIFT_AVX512 inline __m512 RoughSquared(__m512 x, __m512 y, __m512 z) {
    return _mm512_fmadd_ps(z, z, _mm512_fmadd_ps(y, y, _mm512_mul_ps(x, x)));
}

AVIDRIFT_AVX512 inline Differences Differ(const Own& o, const CandidateView& c, std::uint32_t k) {
    return {_mm512_sub_ps(o.x, _mm512_set1_ps(c.px[k])),
            _mm512_sub_ps(o.y, _mm512_set1_ps(c.py[k])),
            _mm512_sub_ps(o.z, _mm512_set1_ps(c.pz[k]))};
}

AVIDRIFT_AVX512 inline Probe Near(const Block& b, const CandidateView& c, std::uint32_t k) {
    const Differences d = Differ(b.own, c, k);
    Probe p;
    p.rough = RoughSquared(d.dx, d.dy, d.dz);
    p.near = _mm512_mask_cmp_ps_mask(b.valid, p.rough, b.filter, _CMP_LE_OQ);
    return p;
}

// Adds the separation terms of the lanes in separating, as the reference does: the unit
// difference times the reciprocal of the distance. Kept out of line with its sums in memory.
AVIDRIFT_AVX512 __attribute__((noinline)) void Separate(Separation& s, __mmask16 separating,
                                                        const Differences& d, __m512 squared) {
    const __m512 distance = _mm512_sqrt_ps(squared);
    const __m512 inverse = _mm512_div_ps(_mm512_set1_ps(1.0f), distance);
    s.sx = _mm512_mask_add_ps(s.sx, separating, s.sx,
                              _mm512_mul_ps(_mm512_div_ps(d.dx, distance), inverse));
    s.sy = _mm512_mask_add_ps(s.sy, separating, s.sy,
                              _mm512_mul_ps(_mm512_div_ps(d.dy, distance), inverse));
    s.sz = _mm512_mask_add_ps(s.sz, separating, s.sz,
                              _mm512_mul_ps(_mm512_div_ps(d.dz, distance), inverse));
    s.count = _mm512_mask_add_epi32(s.count, separating, s.count, _mm512_set1_epi32(1));
}

// The lanes of the probe whose pair is near and clearly counts for the group and not for
// separation, so that the group sums need no exact length. Only meaningful with groupShortcut.
AVIDRIFT_AVX512 inline __mmask16 ClearlyGroup(const Block& b, const Probe& p) {
    return _mm512_mask_cmp_ps_mask(
        _mm512_mask_cmp_ps_mask(p.near, p.rough, b.separationHigh, _CMP_GE_OQ), p.rough, b.groupLow,
        _CMP_LT_OQ);
}

// The lanes of near whose boid is not candidate k itself.
AVIDRIFT_AVX512 inline __mmask16 Others(const Own& o, const CandidateView& c, std::uint32_t k,
                                        __mmask16 near) {
    const std::uint32_t j = c.index != nullptr ? c.index[k] : k;
    return _mm512_mask_cmpneq_epi32_mask(near, o.index, _mm512_set1_epi32(static_cast<int>(j)));
}

// Adds candidate k to the group sums of the lanes in grouping (none: nothing changes).
AVIDRIFT_AVX512 inline void AddToGroup(const Block& b, GroupSums& g, const CandidateView& c,
                                       std::uint32_t k, __mmask16 grouping) {
    g.ax = _mm512_mask_add_ps(g.ax, grouping, g.ax, _mm512_sub_ps(_mm512_set1_ps(c.vx[k]), b.vx));
    g.ay = _mm512_mask_add_ps(g.ay, grouping, g.ay, _mm512_sub_ps(_mm512_set1_ps(c.vy[k]), b.vy));
    g.az = _mm512_mask_add_ps(g.az, grouping, g.az, _mm512_sub_ps(_mm512_set1_ps(c.vz[k]), b.vz));
    g.mx = _mm512_mask_add_ps(g.mx, grouping, g.mx, _mm512_set1_ps(c.px[k]));
    g.my = _mm512_mask_add_ps(g.my, grouping, g.my, _mm512_set1_ps(c.py[k]));
    g.mz = _mm512_mask_add_ps(g.mz, grouping, g.mz, _mm512_set1_ps(c.pz[k]));
    g.count = _mm512_mask_add_epi32(g.count, grouping, g.count, _mm512_set1_epi32(1));
}

// The exact tests and sums of the scalar reference for candidate k, in the lanes of near.
AVIDRIFT_AVX512 inline void Count(const Block& b, GroupSums& g, const CandidateView& c,
                                  std::uint32_t k, const Probe& probe) {
    const __mmask16 near = probe.near;
    const __mmask16 counted = Others(b.own, c, k, near);
    if (b.groupShortcut && ClearlyGroup(b, probe) == near) {
        // Most neighbours of a dense flock only count for the group, and the group sums do not
        // need the exact length.
        AddToGroup(b, g, c, k, counted);
        return;
    }
    const Differences d = Differ(b.own, c, k);
    const __m512 squared = ExactSquared(d.dx, d.dy, d.dz);
    const __mmask16 closeForSeparation =
        _mm512_cmp_ps_mask(squared, b.separationThreshold, _CMP_LT_OQ);
    const __mmask16 separating =
        _mm512_mask_cmp_ps_mask(static_cast<__mmask16>(counted & closeForSeparation), squared,
                                _mm512_setzero_ps(), _CMP_NEQ_OQ);
    const __mmask16 grouping =
        _mm512_mask_cmp_ps_mask(static_cast<__mmask16>(counted & ~closeForSeparation), squared,
                                b.groupThreshold, _CMP_LT_OQ);
    if (separating != 0) {
        Separate(*b.separation, separating, d, squared);
    }
    if (grouping != 0) {
        AddToGroup(b, g, c, k, grouping);
    }
}

// The lanes of the probe whose pair clearly counts for separation: the exact length is still
// needed for its terms, but not to decide. Only meaningful with groupShortcut.
AVIDRIFT_AVX512 inline __mmask16 ClearlySeparation(const Block& b, const Probe& p) {
    return _mm512_mask_cmp_ps_mask(p.near, p.rough, b.separationLow, _CMP_LT_OQ);
}

// Candidates whose pairs clearly count for separation in some lanes, in ascending order, their
// terms added later a batch at a time: the separation sums take nothing else, so their order
// holds, and the loop that finds them never branches on them. A candidate in the same place as
// a lane's own boid is among them and drops out when its terms are added. There is room for
// every candidate of the scan, so the loop never stops to add them.
struct PendingSeparations {
    struct Entry {
        std::uint32_t k;
        __mmask16 lanes;
    };
    Entry* entries = nullptr;
    std::uint32_t count = 0;

    // Written whatever lanes says, kept only if it names one.
    void Add(std::uint32_t k, __mmask16 lanes) {
        entries[count] = {k, lanes};
        count += lanes != 0 ? 1 : 0;
    }
};

AVIDRIFT_AVX512 __attribute__((noinline)) void AddPending(Own own, __m512 separationThreshold,
                                                          Separation& s, const CandidateView& c,
                                                          PendingSeparations& pending) {
    for (std::uint32_t e = 0; e < pending.count; ++e) {
        const std::uint32_t k = pending.entries[e].k;
        const __mmask16 counted = Others(own, c, k, pending.entries[e].lanes);
        if (counted == 0) {
            continue;
        }
        const Differences d = Differ(own, c, k);
        const __m512 squared = ExactSquared(d.dx, d.dy, d.dz);
        const __mmask16 separating = _mm512_mask_cmp_ps_mask(
            _mm512_mask_cmp_ps_mask(counted, squared, separationThreshold, _CMP_LT_OQ), squared,
            _mm512_setzero_ps(), _CMP_NEQ_OQ);
        if (separating != 0) {
            Separate(s, separating, d, squared);
        }
    }
    pending.count = 0;
}

// The exact tests of candidates [k, end), in ascending order as the reference adds them, after
// the separation terms listed before them. Out of line, and given copies: the scan rarely comes
// here, and its temporaries, or a block whose address a call took, would push the scan's sums
// out of the registers.
AVIDRIFT_AVX512 __attribute__((noinline)) void CountExactly(Block b, GroupSums& g,
                                                            const CandidateView& c, std::uint32_t k,
                                                            std::uint32_t end,
                                                            PendingSeparations& pending) {
    if (pending.count != 0) {
        AddPending(b.own, b.separationThreshold, *b.separation, c, pending);
    }
    for (; k < end; ++k) {
        const Probe p = Near(b, c, k);
        if (p.near != 0) {
            Count(b, g, c, k, p);
        }
    }
}

// Defers says whether clearly separating lanes are listed for later. It pays where most
// candidates are near (the grid's short lists) and costs where nearly none are (a scan of the
// whole flock): there the list's bookkeeping pushes the candidates' addresses out of the
// registers in the loop that only finds them far.
template <bool Defers>
AVIDRIFT_AVX512 void AccumulateLanes(const BoidArrays& all, const std::uint32_t* boids,
                                     std::uint32_t laneCount, const CandidateView& c,
                                     const NeighbourThresholds& t, NeighbourSums* out) {
    const LaneBoids<kLanes> lanes(all, boids, laneCount);
    const __m512 zero = _mm512_setzero_ps();
    Separation separation{zero, zero, zero, _mm512_setzero_si512()};
    const Block b{{_mm512_load_ps(lanes.x), _mm512_load_ps(lanes.y), _mm512_load_ps(lanes.z),
                   _mm512_load_si512(lanes.index)},
                  _mm512_load_ps(lanes.vx),
                  _mm512_load_ps(lanes.vy),
                  _mm512_load_ps(lanes.vz),
                  static_cast<__mmask16>((1u << laneCount) - 1u),
                  _mm512_set1_ps(t.filter),
                  _mm512_set1_ps(t.separation),
                  _mm512_set1_ps(t.group),
                  _mm512_set1_ps(t.separationHigh),
                  _mm512_set1_ps(t.groupLow),
                  _mm512_set1_ps(t.separationLow),
                  t.groupShortcut,
                  t.clearExcludesSelf,
                  &separation};
    GroupSums g{zero, zero, zero, zero, zero, zero, _mm512_setzero_si512()};

    PendingSeparations pending;  // stays empty unless Defers
    if constexpr (Defers) {
        thread_local std::vector<PendingSeparations::Entry> room;
        const std::size_t needed = std::size_t{c.count} + 4;  // a group is written, then counted
        if (room.size() < needed) {
            room.resize(needed);
        }
        pending.entries = room.data();
    }
    std::uint32_t k = 0;
    const auto countExactly = [&](std::uint32_t end) {
        GroupSums copy = g;
        CountExactly(b, copy, c, k, end, pending);
        g = copy;
    };

    // Four candidates per test of the masks: nearly always none of them is near anyone, or each
    // lane that is near clearly counts for the group or clearly for separation.
    for (; k + 4 <= c.count; k += 4) {
        const Probe p0 = Near(b, c, k);
        const Probe p1 = Near(b, c, k + 1);
        const Probe p2 = Near(b, c, k + 2);
        const Probe p3 = Near(b, c, k + 3);
        if ((p0.near | p1.near | p2.near | p3.near) == 0) {
            continue;
        }
        if (b.groupShortcut) {
            const __mmask16 g0 = ClearlyGroup(b, p0);
            const __mmask16 g1 = ClearlyGroup(b, p1);
            const __mmask16 g2 = ClearlyGroup(b, p2);
            const __mmask16 g3 = ClearlyGroup(b, p3);
            const __mmask16 s0 = Defers ? ClearlySeparation(b, p0) : 0;
            const __mmask16 s1 = Defers ? ClearlySeparation(b, p1) : 0;
            const __mmask16 s2 = Defers ? ClearlySeparation(b, p2) : 0;
            const __mmask16 s3 = Defers ? ClearlySeparation(b, p3) : 0;
            // Each near lane is in g or in s, never both: a lane in neither leaves a bit.
            if (((p0.near ^ g0 ^ s0) | (p1.near ^ g1 ^ s1) | (p2.near ^ g2 ^ s2) |
                 (p3.near ^ g3 ^ s3)) == 0) {
                // Added without a test of each one, since a lane whose mask is clear is left
                // untouched: which of them are near is nearly random, and a branch on each
                // would be mispredicted.
                if (b.clearExcludesSelf) {
                    AddToGroup(b, g, c, k, g0);
                    AddToGroup(b, g, c, k + 1, g1);
                    AddToGroup(b, g, c, k + 2, g2);
                    AddToGroup(b, g, c, k + 3, g3);
                } else {
                    AddToGroup(b, g, c, k, Others(b.own, c, k, g0));
                    AddToGroup(b, g, c, k + 1, Others(b.own, c, k + 1, g1));
                    AddToGroup(b, g, c, k + 2, Others(b.own, c, k + 2, g2));
                    AddToGroup(b, g, c, k + 3, Others(b.own, c, k + 3, g3));
                }
                if constexpr (Defers) {
                    pending.Add(k, s0);
                    pending.Add(k + 1, s1);
                    pending.Add(k + 2, s2);
                    pending.Add(k + 3, s3);
                }
                continue;
            }
        }
        countExactly(k + 4);
    }
    countExactly(c.count);  // the last few, and the separation terms still listed

    LaneSums<kLanes> result;
    const __m512 results[9] = {separation.sx, separation.sy, separation.sz, g.mx, g.my,
                               g.mz,          g.ax,          g.ay,          g.az};
    for (int q = 0; q < 9; ++q) {
        _mm512_store_ps(result.values[q], results[q]);
    }
    _mm512_store_si512(result.counts[0], separation.count);
    _mm512_store_si512(result.counts[1], g.count);
    result.CopyTo(out, laneCount);
}

AVIDRIFT_AVX512 inline __m512 AxisDistance(__m512 p, __m512 low, __m512 high) {
    return _mm512_max_ps(_mm512_max_ps(_mm512_sub_ps(low, p), _mm512_sub_ps(p, high)),
                         _mm512_setzero_ps());
}

// Compresses into a register and stores it whole: a compressing store to memory is many times
// slower on some CPUs. The destination has room for a whole register past kept.
AVIDRIFT_AVX512 inline void StoreKept(float* out, __mmask16 keep, __m512 values) {
    _mm512_storeu_ps(out, _mm512_maskz_compress_ps(keep, values));
}

}  // namespace

AVIDRIFT_AVX512 std::uint32_t KeepNearBoxAvx512(const CandidateView& c, const BoidBox& box,
                                                float filter, CandidateArrays& out) {
    out.Reserve(c.count + kLanes);
    const __m512 low[3] = {_mm512_set1_ps(box.low[0]), _mm512_set1_ps(box.low[1]),
                           _mm512_set1_ps(box.low[2])};
    const __m512 high[3] = {_mm512_set1_ps(box.high[0]), _mm512_set1_ps(box.high[1]),
                            _mm512_set1_ps(box.high[2])};
    const __m512 limit = _mm512_set1_ps(filter);
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const KeptColumns columns(c, out);
    const std::uint32_t count = c.count;
    std::uint32_t kept = 0;
    for (std::uint32_t k = 0; k < count; k += kLanes) {
        const std::uint32_t left = count - k;
        const auto inList = static_cast<__mmask16>(left >= kLanes ? 0xFFFFu : (1u << left) - 1u);
        const __m512 px = _mm512_maskz_loadu_ps(inList, columns.from[0] + k);
        const __m512 py = _mm512_maskz_loadu_ps(inList, columns.from[1] + k);
        const __m512 pz = _mm512_maskz_loadu_ps(inList, columns.from[2] + k);
        const __m512 dx = AxisDistance(px, low[0], high[0]);
        const __m512 dy = AxisDistance(py, low[1], high[1]);
        const __m512 dz = AxisDistance(pz, low[2], high[2]);
        const __m512 rough = RoughSquared(dx, dy, dz);
        const __mmask16 keep = _mm512_mask_cmp_ps_mask(inList, rough, limit, _CMP_LE_OQ);
        if (keep == 0) {
            continue;
        }
        StoreKept(columns.to[0] + kept, keep, px);
        StoreKept(columns.to[1] + kept, keep, py);
        StoreKept(columns.to[2] + kept, keep, pz);
        for (int q = 3; q < 6; ++q) {
            StoreKept(columns.to[q] + kept, keep,
                      _mm512_maskz_loadu_ps(inList, columns.from[q] + k));
        }
        const __m512i index = columns.fromIndex != nullptr
                                  ? _mm512_maskz_loadu_epi32(inList, columns.fromIndex + k)
                                  : _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(k)), lane);
        _mm512_storeu_si512(columns.toIndex + kept, _mm512_maskz_compress_epi32(keep, index));
        kept += static_cast<std::uint32_t>(__builtin_popcount(keep));
    }
    return kept;
}

void AccumulateAvx512(const BoidArrays& all, const std::uint32_t* boids, std::uint32_t boidCount,
                      const CandidateView& candidates, const NeighbourThresholds& thresholds,
                      NeighbourSums* out) {
    if (candidates.index != nullptr) {
        ForEachBlock<kLanes>(all, boids, boidCount, candidates, thresholds, out,
                             AccumulateLanes<true>);
    } else {
        ForEachBlock<kLanes>(all, boids, boidCount, candidates, thresholds, out,
                             AccumulateLanes<false>);
    }
}

}  // namespace Avidrift
