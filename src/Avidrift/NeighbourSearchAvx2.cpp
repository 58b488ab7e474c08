// The neighbour kernel for AVX2: eight boids side by side, each in its own lane, all scanning
// the same candidates in ascending order. Every lane performs exactly the operations of the
// scalar reference on its own boid, in the same order, so its sums are bit-identical to it.
// Compiled for AVX2 through a target attribute only; callers check the CPU first.

#include <immintrin.h>

#include <cstdint>

#include "Avidrift/NeighbourLanes.h"

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

AVIDRIFT_AVX2 void AccumulateLanes(const BoidArrays& all, const std::uint32_t* boids,
                                   std::uint32_t laneCount, const CandidateView& c,
                                   const NeighbourThresholds& t, NeighbourSums* out) {
    const LaneBoids<kLanes> lanes(all, boids, laneCount);
    const __m256 bx = _mm256_load_ps(lanes.x);
    const __m256 by = _mm256_load_ps(lanes.y);
    const __m256 bz = _mm256_load_ps(lanes.z);
    const __m256 bvx = _mm256_load_ps(lanes.vx);
    const __m256 bvy = _mm256_load_ps(lanes.vy);
    const __m256 bvz = _mm256_load_ps(lanes.vz);
    const __m256i laneIndex = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.index));
    const __m256 laneValid =
        _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.valid)));
    const __m256 filter = _mm256_set1_ps(t.filter);
    const __m256 separationThreshold = _mm256_set1_ps(t.separation);
    const __m256 groupThreshold = _mm256_set1_ps(t.group);
    const __m256 zero = _mm256_setzero_ps();
    const __m256 one = _mm256_set1_ps(1.0f);

    __m256 sx = zero, sy = zero, sz = zero;
    __m256 mx = zero, my = zero, mz = zero;
    __m256 ax = zero, ay = zero, az = zero;
    __m256i separationCount = _mm256_setzero_si256();
    __m256i groupCount = _mm256_setzero_si256();

    for (std::uint32_t k = 0; k < c.count; ++k) {
        const __m256 pjx = _mm256_broadcast_ss(c.px + k);
        const __m256 pjy = _mm256_broadcast_ss(c.py + k);
        const __m256 pjz = _mm256_broadcast_ss(c.pz + k);
        const __m256 dx = _mm256_sub_ps(bx, pjx);
        const __m256 dy = _mm256_sub_ps(by, pjy);
        const __m256 dz = _mm256_sub_ps(bz, pjz);
        const __m256 rough = _mm256_add_ps(
            _mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy)), _mm256_mul_ps(dz, dz));
        const __m256 near = _mm256_and_ps(_mm256_cmp_ps(rough, filter, _CMP_LE_OQ), laneValid);
        if (_mm256_movemask_ps(near) == 0) {
            continue;  // the common case: nobody in the block is near this candidate
        }
        const std::uint32_t j = c.index != nullptr ? c.index[k] : k;
        const __m256 notSelf = _mm256_castsi256_ps(
            _mm256_xor_si256(_mm256_cmpeq_epi32(laneIndex, _mm256_set1_epi32(static_cast<int>(j))),
                             _mm256_set1_epi32(-1)));
        const __m256 counted = _mm256_and_ps(near, notSelf);
        const __m256 squared = ExactSquared(dx, dy, dz);
        const __m256 closeForSeparation = _mm256_cmp_ps(squared, separationThreshold, _CMP_LT_OQ);
        const __m256 separating = _mm256_and_ps(
            _mm256_and_ps(closeForSeparation, _mm256_cmp_ps(squared, zero, _CMP_NEQ_OQ)), counted);
        const __m256 grouping =
            _mm256_and_ps(_mm256_andnot_ps(closeForSeparation,
                                           _mm256_cmp_ps(squared, groupThreshold, _CMP_LT_OQ)),
                          counted);
        if (_mm256_movemask_ps(separating) != 0) {
            // Lanes that do not separate divide by whatever their distance is; the blend
            // discards those results.
            const __m256 distance = _mm256_sqrt_ps(squared);
            const __m256 inverse = _mm256_div_ps(one, distance);
            sx = AddWhere(sx, _mm256_mul_ps(_mm256_div_ps(dx, distance), inverse), separating);
            sy = AddWhere(sy, _mm256_mul_ps(_mm256_div_ps(dy, distance), inverse), separating);
            sz = AddWhere(sz, _mm256_mul_ps(_mm256_div_ps(dz, distance), inverse), separating);
            separationCount = _mm256_sub_epi32(separationCount, _mm256_castps_si256(separating));
        }
        if (_mm256_movemask_ps(grouping) != 0) {
            ax = AddWhere(ax, _mm256_sub_ps(_mm256_broadcast_ss(c.vx + k), bvx), grouping);
            ay = AddWhere(ay, _mm256_sub_ps(_mm256_broadcast_ss(c.vy + k), bvy), grouping);
            az = AddWhere(az, _mm256_sub_ps(_mm256_broadcast_ss(c.vz + k), bvz), grouping);
            mx = AddWhere(mx, pjx, grouping);
            my = AddWhere(my, pjy, grouping);
            mz = AddWhere(mz, pjz, grouping);
            groupCount = _mm256_sub_epi32(groupCount, _mm256_castps_si256(grouping));
        }
    }

    LaneSums<kLanes> result;
    const __m256 results[9] = {sx, sy, sz, mx, my, mz, ax, ay, az};
    for (int q = 0; q < 9; ++q) {
        _mm256_store_ps(result.values[q], results[q]);
    }
    _mm256_store_si256(reinterpret_cast<__m256i*>(result.counts[0]), separationCount);
    _mm256_store_si256(reinterpret_cast<__m256i*>(result.counts[1]), groupCount);
    result.CopyTo(out, laneCount);
}

}  // namespace

void AccumulateAvx2(const BoidArrays& all, const std::uint32_t* boids, std::uint32_t boidCount,
                    const CandidateView& candidates, const NeighbourThresholds& thresholds,
                    NeighbourSums* out) {
    ForEachBlock<kLanes>(all, boids, boidCount, candidates, thresholds, out, AccumulateLanes);
}

}  // namespace Avidrift
