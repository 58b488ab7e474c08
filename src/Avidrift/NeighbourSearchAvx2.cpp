// The neighbour kernel for AVX2: eight boids side by side, each in its own lane, all scanning
// the same candidates in ascending order. Every lane performs exactly the operations of the
// scalar reference on its own boid, in the same order, so its sums are bit-identical to it.
// Compiled for AVX2 through a target attribute only; callers check the CPU first.

#include <immintrin.h>

#include <cstdint>

#include "Avidrift/NeighbourSearch.h"

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
    alignas(32) float lx[kLanes], ly[kLanes], lz[kLanes], lvx[kLanes], lvy[kLanes], lvz[kLanes];
    alignas(32) std::int32_t lindex[kLanes];
    alignas(32) std::int32_t lvalid[kLanes];
    for (std::uint32_t lane = 0; lane < kLanes; ++lane) {
        const bool valid = lane < laneCount;
        const std::uint32_t i = valid ? boids[lane] : 0;
        lx[lane] = all.px[i];
        ly[lane] = all.py[i];
        lz[lane] = all.pz[i];
        lvx[lane] = all.vx[i];
        lvy[lane] = all.vy[i];
        lvz[lane] = all.vz[i];
        lindex[lane] = static_cast<std::int32_t>(i);
        lvalid[lane] = valid ? -1 : 0;
    }
    const __m256 bx = _mm256_load_ps(lx);
    const __m256 by = _mm256_load_ps(ly);
    const __m256 bz = _mm256_load_ps(lz);
    const __m256 bvx = _mm256_load_ps(lvx);
    const __m256 bvy = _mm256_load_ps(lvy);
    const __m256 bvz = _mm256_load_ps(lvz);
    const __m256i laneIndex = _mm256_load_si256(reinterpret_cast<const __m256i*>(lindex));
    const __m256 laneValid =
        _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(lvalid)));
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
        const __m256 near = _mm256_and_ps(_mm256_cmp_ps(rough, filter, _CMP_LT_OQ), laneValid);
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

    alignas(32) float r[9][kLanes];
    alignas(32) std::int32_t counts[2][kLanes];
    const __m256 results[9] = {sx, sy, sz, mx, my, mz, ax, ay, az};
    for (int q = 0; q < 9; ++q) {
        _mm256_store_ps(r[q], results[q]);
    }
    _mm256_store_si256(reinterpret_cast<__m256i*>(counts[0]), separationCount);
    _mm256_store_si256(reinterpret_cast<__m256i*>(counts[1]), groupCount);
    for (std::uint32_t lane = 0; lane < laneCount; ++lane) {
        NeighbourSums& sums = out[lane];
        sums.separation = {r[0][lane], r[1][lane], r[2][lane]};
        sums.centre = {r[3][lane], r[4][lane], r[5][lane]};
        sums.alignment = {r[6][lane], r[7][lane], r[8][lane]};
        sums.separationCount = static_cast<std::uint32_t>(counts[0][lane]);
        sums.groupCount = static_cast<std::uint32_t>(counts[1][lane]);
    }
}

}  // namespace

void AccumulateAvx2(const BoidArrays& all, const std::uint32_t* boids, std::uint32_t boidCount,
                    const CandidateView& candidates, const NeighbourThresholds& thresholds,
                    NeighbourSums* out) {
    for (std::uint32_t first = 0; first < boidCount; first += kLanes) {
        const std::uint32_t lanes = boidCount - first < kLanes ? boidCount - first : kLanes;
        AccumulateLanes(all, boids + first, lanes, candidates, thresholds, out + first);
    }
}

}  // namespace Avidrift
