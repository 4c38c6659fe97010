// Local similarity of two minutia neighbourhoods. Each neighbour of a,
// nearest first, takes the cheapest free neighbour of b within the
// tolerances, ridges crossed included (the first of equal ones); the result
// is the share of neighbours that found one, each counting less the more of
// the tolerances it uses up.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdlib>

#include "MatcherInternal.h"

namespace fp::detail {

using namespace params;

namespace {

// What a difference in the ridges crossed adds to a neighbour's cost, or -1
// when the difference rules the neighbour out. A count may be off by one where
// a minutia's position moves across a ridge's edge; unknown counts cost nothing.
FP_ALWAYS_INLINE float RidgeCost(std::uint8_t a, std::uint8_t b) {
    if (a == kUnknownRidgeCount || b == kUnknownRidgeCount) return 0;
    const int d = std::abs(a - b);
    return d > kRidgeCountTolerance ? -1.f : static_cast<float>(d) * kRidgeCountCost;
}

}  // namespace

float LocalSimilarity(const PrintLayout::Neighbourhood& na, const PrintLayout::Neighbourhood& nb) {
    const int ka = na.count, kb = nb.count;
    if (ka < 2 || kb < 2) return 0;
#ifdef FP_MATCHER_SSE2
    // The tolerances are checked for the eight neighbours of b at once, and
    // only those within get a cost, with the arithmetic of the plain version
    // below, so the result is the same.
    static_assert(PrintLayout::kNeighbours == 8);
    static_assert(offsetof(PrintLayout::Neighbourhood, turn) ==
                  offsetof(PrintLayout::Neighbourhood, bearing) + 8);
    const __m128 dv0 = _mm_loadu_ps(nb.distance), dv1 = _mm_loadu_ps(nb.distance + 4);
    // Bearings in bytes 0..7, directions in bytes 8..15.
    const __m128i anglesB = _mm_loadu_si128(reinterpret_cast<const __m128i*>(nb.bearing));
    const __m128i tolerances =
        _mm_unpacklo_epi64(_mm_set1_epi8(kBearingTolerance), _mm_set1_epi8(kTurnTolerance));
    const __m128i zero = _mm_setzero_si128();
    // Lanes of b that exist and are still free.
    unsigned freeLanes = (1u << kb) - 1;
    float sum = 0;
    for (int u = 0; u < ka; ++u) {
        // Angle differences of all eight, folded to 0..128, and within tolerance.
        const __m128i anglesA = _mm_unpacklo_epi64(_mm_set1_epi8(static_cast<char>(na.bearing[u])),
                                                   _mm_set1_epi8(static_cast<char>(na.turn[u])));
        const __m128i diff = _mm_sub_epi8(anglesB, anglesA);
        const __m128i folded = _mm_min_epu8(diff, _mm_sub_epi8(zero, diff));
        const __m128i within = _mm_cmpeq_epi8(_mm_min_epu8(folded, tolerances), folded);
        const unsigned angleOk = static_cast<unsigned>(_mm_movemask_epi8(within));
        unsigned lanes = freeLanes & angleOk & (angleOk >> 8);
        if (lanes == 0) continue;
        const float du = na.distance[u];
        const float tolerance = kLocalDistanceBase + kLocalDistanceShare * du;
        const __m128 low = _mm_set1_ps(du - tolerance), high = _mm_set1_ps(du + tolerance);
        const unsigned inWindow =
            static_cast<unsigned>(
                _mm_movemask_ps(_mm_and_ps(_mm_cmpge_ps(dv0, low), _mm_cmple_ps(dv0, high)))) |
            static_cast<unsigned>(
                _mm_movemask_ps(_mm_and_ps(_mm_cmpge_ps(dv1, low), _mm_cmple_ps(dv1, high))))
                << 4;
        lanes &= inWindow;
        if (lanes == 0) continue;
        alignas(16) std::uint8_t differences[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(differences), folded);
        int best = -1;
        float bestCost = 1.f;
        for (; lanes != 0; lanes &= lanes - 1) {
            const int v = std::countr_zero(lanes);
            const float ridges = RidgeCost(na.ridges[u], nb.ridges[v]);
            if (ridges < 0) continue;
            const float cost =
                (std::fabs(du - nb.distance[v]) / tolerance + kBearingShare.v[differences[v]] +
                 kTurnShare.v[differences[8 + v]]) /
                    3 +
                ridges;
            if (cost < bestCost) bestCost = cost, best = v;
        }
        if (best >= 0) {
            freeLanes &= ~(1u << best);
            sum += 1.f - 0.5f * bestCost;
        }
    }
    return sum / static_cast<float>(std::max(ka, kb));
#else
    unsigned used = 0;
    float sum = 0;
    // Both lists run nearest first and the lower end of the window grows with
    // the distance, so neighbours of b well below it stay below it (the margin
    // covers rounding).
    int first = 0;
    for (int u = 0; u < ka; ++u) {
        const float du = na.distance[u];
        const float tolerance = kLocalDistanceBase + kLocalDistanceShare * du;
        const float low = du - tolerance, high = du + tolerance;
        while (first < kb && nb.distance[first] < low - 0.01f) ++first;
        int best = -1;
        float bestCost = 1.f;
        for (int v = first; v < kb; ++v) {
            const float dv = nb.distance[v];
            if (dv > high) break;
            if ((used >> v & 1) || dv < low) continue;
            const int db = AngleDiff(na.bearing[u], nb.bearing[v]);
            const int dt = AngleDiff(na.turn[u], nb.turn[v]);
            if (db > kBearingTolerance || dt > kTurnTolerance) continue;
            const float ridges = RidgeCost(na.ridges[u], nb.ridges[v]);
            if (ridges < 0) continue;
            const float cost =
                (std::fabs(du - dv) / tolerance + kBearingShare.v[db] + kTurnShare.v[dt]) / 3 +
                ridges;
            if (cost < bestCost) bestCost = cost, best = v;
        }
        if (best >= 0) {
            used |= 1u << best;
            sum += 1.f - 0.5f * bestCost;
        }
    }
    return sum / static_cast<float>(std::max(ka, kb));
#endif
}

void Scratch::BeginComparison(std::size_t pairs) {
    if (local.size() < pairs) {
        local.resize(pairs);
        localStamp.assign(pairs, 0);
        stamp = 0;
    }
    if (++stamp == 0) {
        std::fill(localStamp.begin(), localStamp.end(), 0);
        stamp = 1;
    }
}

float Scratch::Local(const PrintLayout& probe, const PrintLayout& ref, int p, int r) {
    const std::size_t k = static_cast<std::size_t>(p) * ref.points.size() + r;
    if (localStamp[k] != stamp) {
        local[k] = LocalSimilarity(probe.neighbourhoods[p], ref.neighbourhoods[r]);
        localStamp[k] = stamp;
    }
    return local[k];
}

}  // namespace fp::detail
