// The stages of a comparison, as the driver (Matcher.cpp) calls them in
// order, and the pieces they share; not part of the library's interface.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "Internal.h"
#include "MatchParameters.h"
#include "PrintLayout.h"

// SSE2 is part of x86-64, so its vector paths need no check at run time.
// FP_MATCHER_PORTABLE builds the plain C++ paths only: the tests compare the
// two builds result for result.
#if (defined(__SSE2__) || defined(_M_X64)) && !defined(FP_MATCHER_PORTABLE)
#include <emmintrin.h>
#define FP_MATCHER_SSE2 1
#endif

#if defined(__GNUC__) || defined(__clang__)
#define FP_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define FP_ALWAYS_INLINE inline
#endif

namespace fp::detail {

// A coordinate outside every image, for padding.
constexpr float kOutside = -1e9f;
constexpr float kUnitToRadians = kPi / 128;

// Difference of two angles in steps of pi/128, 0..128.
inline int AngleDiff(int a, int b) {
    const int d = (a - b) & 255;
    return d > 128 ? 256 - d : d;
}

inline int ToUnits(float radians) {
    // floor by hand: without SSE4.1 std::floor is a library call, and
    // preparation converts an angle for every pair of near minutiae.
    const float v = radians / kUnitToRadians + 0.5f;
    int units = static_cast<int>(v);
    if (static_cast<float>(units) > v) --units;
    return units & 255;
}

// Occupancy cell of a neighbour: ring, sector of the bearing, class of the
// relative direction.
inline int CellBit(int ring, int sector, int turn) {
    return (ring * 8 + (sector & 7)) * 4 + (turn & 3);
}

#ifdef FP_MATCHER_SSE2
// The lanes set in a 4-bit lane mask (std::popcount would be a library call
// without a popcnt target).
inline int LaneCount(int mask) {
    return static_cast<int>((0x4332322132212110ull >> (4 * mask)) & 0xF);
}
#endif

// Share of the tolerance that an angle difference uses up, for every
// difference within it: a lookup instead of a division per candidate.
template <int kTolerance>
struct ShareTable {
    float v[kTolerance + 1];
    constexpr ShareTable() : v{} {
        for (int d = 0; d <= kTolerance; ++d) v[d] = static_cast<float>(d) / kTolerance;
    }
};
inline constexpr ShareTable<params::kBearingTolerance> kBearingShare;
inline constexpr ShareTable<params::kTurnTolerance> kTurnShare;
inline constexpr ShareTable<params::kPairAngleTolerance> kPairAngleShare;

// cos and sin of every angle in steps of pi/128, as the library computes them.
struct UnitTable {
    float c[256], s[256];
    UnitTable();
};
const UnitTable& Units();

// A rigid transform from probe to reference coordinates, possibly scaled.
struct Transform {
    float c = 1, s = 0, dx = 0, dy = 0;
    float angle = 0;  // radians
    int units = 0;    // the same angle in steps of pi/128
    float scale = 1;  // c and s include it
    void apply(float x, float y, float& ox, float& oy) const {
        ox = c * x - s * y + dx;
        oy = s * x + c * y + dy;
    }
    void setAngle(float radians) {
        angle = radians;
        units = ToUnits(radians);
        scale = 1;
        c = std::cos(radians);
        s = std::sin(radians);
    }
    Transform inverse() const;
};

#ifdef FP_MATCHER_SSE2
// Four points at a time moved by a transform onto a grid of 2^shift-pixel
// cells that covers [0, right) x [0, bottom): which of them land inside (all
// bits of a lane) and the row-major index of each one's cell (0 outside).
class GridLookup {
public:
    GridLookup(const Transform& t, float right, float bottom, int shift, int columns)
        : c_(_mm_set1_ps(t.c)),
          s_(_mm_set1_ps(t.s)),
          dx_(_mm_set1_ps(t.dx)),
          dy_(_mm_set1_ps(t.dy)),
          right_(_mm_set1_ps(right)),
          bottom_(_mm_set1_ps(bottom)),
          shift_(_mm_cvtsi32_si128(shift)),
          rowStep_(_mm_set1_epi32((1 << 16) | columns)) {}

    // Columns and rows must stay below 2^15 (one multiply-add of 16-bit halves).
    FP_ALWAYS_INLINE __m128 Cells(const float* xs, const float* ys, std::int32_t* at) const {
        const __m128 px = _mm_loadu_ps(xs), py = _mm_loadu_ps(ys);
        const __m128 x = _mm_add_ps(_mm_sub_ps(_mm_mul_ps(c_, px), _mm_mul_ps(s_, py)), dx_);
        const __m128 y = _mm_add_ps(_mm_add_ps(_mm_mul_ps(s_, px), _mm_mul_ps(c_, py)), dy_);
        const __m128 zero = _mm_setzero_ps();
        const __m128 inside =
            _mm_and_ps(_mm_and_ps(_mm_cmpge_ps(x, zero), _mm_cmplt_ps(x, right_)),
                       _mm_and_ps(_mm_cmpge_ps(y, zero), _mm_cmplt_ps(y, bottom_)));
        const __m128i column = _mm_sra_epi32(_mm_cvttps_epi32(_mm_and_ps(x, inside)), shift_);
        const __m128i row = _mm_sra_epi32(_mm_cvttps_epi32(_mm_and_ps(y, inside)), shift_);
        _mm_store_si128(reinterpret_cast<__m128i*>(at),
                        _mm_madd_epi16(_mm_or_si128(row, _mm_slli_epi32(column, 16)), rowStep_));
        return inside;
    }

private:
    __m128 c_, s_, dx_, dy_, right_, bottom_;
    __m128i shift_, rowStep_;
};
#endif

// A candidate pair worth an alignment.
struct Seed {
    float similarity;
    int p, r;
    std::uint64_t key;  // its place in the candidate order, the tie-break
};

// An alignment that passed, waiting for its ridge-flow check.
struct Alignment {
    double similarity;  // before the flow check, an upper bound of the final one
    Transform t;
    int matched;
    int order;
};

// A probe minutia moved by an alignment: where it lands, its direction there,
// how far a partner may lie, and the run of reference minutiae (ordered by
// y) close enough in y to be one.
struct Placed {
    float x, y, tolerance, reach;
    int angle, first, last, pad;
};

// A thin-plate spline's points (x and y interleaved, in pixels), its linear
// system and weights, kept for the next one.
struct SplineBuffers {
    std::vector<float> from, to, nodes, weights;
    std::vector<double> system, solution;
};

// Buffers reused by every comparison on one thread.
struct Scratch {
    // Local similarities already worked out in this comparison, by pair:
    // valid where the stamp is the comparison's.
    std::vector<float> local;
    std::vector<std::uint32_t> localStamp;
    std::uint32_t stamp = 0;
    void BeginComparison(std::size_t pairs);
    float Local(const PrintLayout& probe, const PrintLayout& ref, int p, int r);

    std::vector<Placed> placed;
    std::vector<std::uint64_t> candidates, ties;
    std::vector<Seed> seeds;
    std::vector<std::uint64_t> links;
    std::vector<std::uint64_t> usedP, usedR;  // bit sets
    std::vector<std::pair<int, int>> pairs, seedPairs;
    std::vector<std::uint8_t> covered;
    std::vector<Alignment> alignments;
    FlowCells flow;      // a reference's, when it has none prepared
    PrintLayout warped;  // the probe's minutiae moved by a warp
    SplineBuffers spline;
};

// Candidate search: pairs of minutiae within the rotation limit (plus slack)
// whose occupancy cells agree, the best of them compared neighbour by
// neighbour; leaves the best `wanted` seeds, best first, in scratch.seeds.
void FindSeeds(const PrintLayout& probe, const PrintLayout& ref, int maxRotation,
               std::size_t wanted, Scratch& scratch);

// Local similarity of two neighbourhoods, 0..1: the share of neighbours that
// agree in distance, bearing, relative direction and ridges crossed.
float LocalSimilarity(const PrintLayout::Neighbourhood& a, const PrintLayout::Neighbourhood& b);

// Pairing and refit: the alignment a seed gives, refitted by least squares
// when it pairs enough; false when it pairs too few or turns too far. The
// pairs are left in scratch.pairs.
struct Pairing {
    int matched = 0;
    Transform t;
};
bool AlignSeed(const PrintLayout& probe, const PrintLayout& ref, const Seed& seed, int maxRotation,
               Scratch& scratch, Pairing& out);

// Greedy one-to-one pairing of the probe moved by t with the reference,
// cheapest links first, partners within baseTolerance plus stretchShare of
// the distance to (cx, cy); the pairs are left in scratch.pairs.
int Pair(const PrintLayout& probe, const PrintLayout& ref, const Transform& t, float cx, float cy,
         float baseTolerance, float stretchShare, Scratch& scratch);

// An alignment's evidence: (sum of its pairs' local similarities x
// m / (m + kFewPairs))^2 for m pairs; few pairs are weak evidence however
// well they agree.
inline double Evidence(float local, int matched) {
    const double m = matched, few = m / (m + params::kFewPairs);
    return static_cast<double>(local) * local * few * few;
}
// What the evidence is divided by: the minutiae each print could have shown
// of the other, by quality, each at least kOverlapFloor.
inline double Overlap(double seenP, double seenR) {
    return std::max(seenP, double{params::kOverlapFloor}) *
           std::max(seenR, double{params::kOverlapFloor});
}

// Elastic consolidation of the alignment t, whose similarity before the
// ridge-flow check is `rigid`: the similarity under a smooth warp fitted on
// its pairs (the better evidence of the rigid and the warped pairing, with
// the ridge flow compared under the warp), and the pairs when the warped
// ones gave it (matched 0 otherwise). False when the alignment pairs too
// few for a warp, or when with a threshold above 0 it could not reach it.
struct Consolidation {
    double similarity = 0;
    int matched = 0;
    float agreement = 0;
};
bool Consolidate(const PrintLayout& probe, const PrintLayout& ref, const FlowCells& refFlow,
                 const Transform& t, double rigid, int threshold, Scratch& scratch,
                 Consolidation& out);

// The minutiae of `from` that the foreground of `onto` shows when moved by t,
// each counted by its quality (0..1): low-quality minutiae are often false,
// and one print's false minutiae are no evidence against a match.
float SeenWeight(const PrintLayout& from, const Transform& t, const PrintLayout& onto);

// Ridge-flow check: mean cos(2 x angle difference) of the ridge orientation
// over the cells both prints show after alignment; `cells` counts them.
// `ref` holds the reference's flow cells.
float FlowAgreement(const PrintLayout& probe, const FlowCells& ref, const Transform& t, int& cells);
// The factor, at most 1, by which a flow agreement scales a similarity.
float FlowFactor(float agreement, int cells);

}  // namespace fp::detail
