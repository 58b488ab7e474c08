// The neighbour kernel for AVX-512: sixteen boids side by side, each in its own lane, all
// scanning the same candidates in ascending order. Every lane performs exactly the operations
// of the scalar reference on its own boid, in the same order, so its sums are bit-identical to
// it. Compiled for AVX-512 through a target attribute only; callers check the CPU first.

// GCC 12's own AVX-512 headers trip its uninitialised-value warning (the masked intrinsics'
// undefined pass-through operands); the warning says nothing about this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include <cstdint>

#include "Avidrift/NeighbourLanes.h"

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

AVIDRIFT_AVX512 void AccumulateLanes(const BoidArrays& all, const std::uint32_t* boids,
                                     std::uint32_t laneCount, const CandidateView& c,
                                     const NeighbourThresholds& t, NeighbourSums* out) {
    const LaneBoids<kLanes> lanes(all, boids, laneCount);
    const __mmask16 valid = static_cast<__mmask16>((1u << laneCount) - 1u);
    const __m512 bx = _mm512_load_ps(lanes.x);
    const __m512 by = _mm512_load_ps(lanes.y);
    const __m512 bz = _mm512_load_ps(lanes.z);
    const __m512 bvx = _mm512_load_ps(lanes.vx);
    const __m512 bvy = _mm512_load_ps(lanes.vy);
    const __m512 bvz = _mm512_load_ps(lanes.vz);
    const __m512i laneIndex = _mm512_load_si512(lanes.index);
    const __m512 filter = _mm512_set1_ps(t.filter);
    const __m512 separationThreshold = _mm512_set1_ps(t.separation);
    const __m512 groupThreshold = _mm512_set1_ps(t.group);
    const __m512 zero = _mm512_setzero_ps();
    const __m512 one = _mm512_set1_ps(1.0f);

    __m512 sx = zero, sy = zero, sz = zero;
    __m512 mx = zero, my = zero, mz = zero;
    __m512 ax = zero, ay = zero, az = zero;
    __m512i separationCount = _mm512_setzero_si512();
    __m512i groupCount = _mm512_setzero_si512();
    const __m512i increment = _mm512_set1_epi32(1);

    for (std::uint32_t k = 0; k < c.count; ++k) {
        const __m512 pjx = _mm512_set1_ps(c.px[k]);
        const __m512 pjy = _mm512_set1_ps(c.py[k]);
        const __m512 pjz = _mm512_set1_ps(c.pz[k]);
        const __m512 dx = _mm512_sub_ps(bx, pjx);
        const __m512 dy = _mm512_sub_ps(by, pjy);
        const __m512 dz = _mm512_sub_ps(bz, pjz);
        const __m512 rough = _mm512_add_ps(
            _mm512_add_ps(_mm512_mul_ps(dx, dx), _mm512_mul_ps(dy, dy)), _mm512_mul_ps(dz, dz));
        const __mmask16 near = _mm512_mask_cmp_ps_mask(valid, rough, filter, _CMP_LT_OQ);
        if (near == 0) {
            continue;  // the common case: nobody in the block is near this candidate
        }
        const std::uint32_t j = c.index != nullptr ? c.index[k] : k;
        const __mmask16 counted =
            _mm512_mask_cmpneq_epi32_mask(near, laneIndex, _mm512_set1_epi32(static_cast<int>(j)));
        const __m512 squared = ExactSquared(dx, dy, dz);
        const __mmask16 closeForSeparation =
            _mm512_cmp_ps_mask(squared, separationThreshold, _CMP_LT_OQ);
        const __mmask16 separating = _mm512_mask_cmp_ps_mask(
            static_cast<__mmask16>(counted & closeForSeparation), squared, zero, _CMP_NEQ_OQ);
        const __mmask16 grouping =
            _mm512_mask_cmp_ps_mask(static_cast<__mmask16>(counted & ~closeForSeparation), squared,
                                    groupThreshold, _CMP_LT_OQ);
        if (separating != 0) {
            const __m512 distance = _mm512_sqrt_ps(squared);
            const __m512 inverse = _mm512_div_ps(one, distance);
            sx = _mm512_mask_add_ps(sx, separating, sx,
                                    _mm512_mul_ps(_mm512_div_ps(dx, distance), inverse));
            sy = _mm512_mask_add_ps(sy, separating, sy,
                                    _mm512_mul_ps(_mm512_div_ps(dy, distance), inverse));
            sz = _mm512_mask_add_ps(sz, separating, sz,
                                    _mm512_mul_ps(_mm512_div_ps(dz, distance), inverse));
            separationCount =
                _mm512_mask_add_epi32(separationCount, separating, separationCount, increment);
        }
        if (grouping != 0) {
            ax = _mm512_mask_add_ps(ax, grouping, ax, _mm512_sub_ps(_mm512_set1_ps(c.vx[k]), bvx));
            ay = _mm512_mask_add_ps(ay, grouping, ay, _mm512_sub_ps(_mm512_set1_ps(c.vy[k]), bvy));
            az = _mm512_mask_add_ps(az, grouping, az, _mm512_sub_ps(_mm512_set1_ps(c.vz[k]), bvz));
            mx = _mm512_mask_add_ps(mx, grouping, mx, pjx);
            my = _mm512_mask_add_ps(my, grouping, my, pjy);
            mz = _mm512_mask_add_ps(mz, grouping, mz, pjz);
            groupCount = _mm512_mask_add_epi32(groupCount, grouping, groupCount, increment);
        }
    }

    LaneSums<kLanes> result;
    const __m512 results[9] = {sx, sy, sz, mx, my, mz, ax, ay, az};
    for (int q = 0; q < 9; ++q) {
        _mm512_store_ps(result.values[q], results[q]);
    }
    _mm512_store_si512((result.counts[0]), separationCount);
    _mm512_store_si512((result.counts[1]), groupCount);
    result.CopyTo(out, laneCount);
}

}  // namespace

void AccumulateAvx512(const BoidArrays& all, const std::uint32_t* boids, std::uint32_t boidCount,
                      const CandidateView& candidates, const NeighbourThresholds& thresholds,
                      NeighbourSums* out) {
    ForEachBlock<kLanes>(all, boids, boidCount, candidates, thresholds, out, AccumulateLanes);
}

}  // namespace Avidrift
