// Ridge-flow check: whether the ridge orientation agrees where two aligned
// prints overlap. Chance alignments of different fingers pair some minutiae
// but rarely align the ridge flow around them.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>

#include "MatcherInternal.h"

namespace fp::detail {

using namespace params;

// Mean cos(2 x angle difference) of the ridge orientation over the cells both
// prints show after alignment: near 1 when the ridge flow agrees, near 0 for
// unrelated flow. `cells` counts the overlap. With A twice the reference
// cell's angle less the rotation and B twice the probe cell's, cos(A - B) =
// cos A cos B + sin A sin B; background cells of the probe add 0 and count 0.
float FlowAgreement(const PrintLayout& probe, const FlowCells& ref, const Transform& t,
                    int& cells) {
    cells = 0;
    const OrientationGrid& po = probe.orientation;
    if (po.columns == 0 || ref.count == 0 || probe.flowGrid.empty()) return 0;
    const Transform inverse = t.inverse();
    const float cr = std::cos(2 * t.angle), sr = std::sin(2 * t.angle);
    // Cells are 16 or 32 pixels in practice: a shift instead of a division.
    const int cell = po.cell;
    const int shift = std::has_single_bit(static_cast<unsigned>(cell))
                          ? std::countr_zero(static_cast<unsigned>(cell))
                          : -1;
    const float* grid = probe.flowGrid.data();
    const std::size_t n = ref.count;
#ifdef FP_MATCHER_SSE2
    if (shift >= 0 && po.columns < 0x8000 && po.rows < 0x8000) {
        // Four cells at a time: a cell counts when it lands inside the
        // probe's grid, that is 0 <= x < columns x cell (and so for y). Four
        // partial sums, added up at the end.
        const GridLookup lookup(inverse, static_cast<float>(po.columns * cell),
                                static_cast<float>(po.rows * cell), shift, po.columns);
        const __m128 cosine = _mm_set1_ps(cr), sine = _mm_set1_ps(sr);
        __m128 sums = _mm_setzero_ps(), counts = _mm_setzero_ps();
        for (std::size_t k = 0; k < n; k += 4) {
            // Cells outside read cell 0, and are dropped below.
            alignas(16) std::int32_t at[4];
            const __m128 inside = lookup.Cells(&ref.x[k], &ref.y[k], at);
            if (_mm_movemask_ps(inside) == 0) continue;
            // The four probe cells, turned into a vector of cosines, one of
            // sines and one of counts.
            __m128 cb = _mm_loadu_ps(grid + 4 * at[0]), sb = _mm_loadu_ps(grid + 4 * at[1]);
            __m128 fore = _mm_loadu_ps(grid + 4 * at[2]), unused = _mm_loadu_ps(grid + 4 * at[3]);
            _MM_TRANSPOSE4_PS(cb, sb, fore, unused);
            const __m128 ca = _mm_loadu_ps(&ref.cos[k]), sa = _mm_loadu_ps(&ref.sin[k]);
            const __m128 cosA = _mm_add_ps(_mm_mul_ps(ca, cosine), _mm_mul_ps(sa, sine));
            const __m128 sinA = _mm_sub_ps(_mm_mul_ps(sa, cosine), _mm_mul_ps(ca, sine));
            const __m128 agreement = _mm_add_ps(_mm_mul_ps(cosA, cb), _mm_mul_ps(sinA, sb));
            sums = _mm_add_ps(sums, _mm_and_ps(agreement, inside));
            counts = _mm_add_ps(counts, _mm_and_ps(fore, inside));
        }
        alignas(16) float partial[4], partialCount[4];
        _mm_store_ps(partial, sums);
        _mm_store_ps(partialCount, counts);
        const float sum = (partial[0] + partial[1]) + (partial[2] + partial[3]);
        cells = static_cast<int>((partialCount[0] + partialCount[1]) +
                                 (partialCount[2] + partialCount[3]));
        return cells > 0 ? sum / cells : 0;
    }
#endif
    // Four partial sums, cell k in sum k mod 4, as the vector path adds them.
    float sums[4] = {};
    for (std::size_t k = 0; k < n; ++k) {
        float x, y;
        inverse.apply(ref.x[k], ref.y[k], x, y);
        if (!(x >= 0 && y >= 0)) continue;
        const int xi = static_cast<int>(x), yi = static_cast<int>(y);
        const int column = shift >= 0 ? xi >> shift : xi / cell;
        const int row = shift >= 0 ? yi >> shift : yi / cell;
        if (column >= po.columns || row >= po.rows) continue;
        const float* b = grid + 4 * (static_cast<std::size_t>(row) * po.columns + column);
        const float ca = ref.cos[k], sa = ref.sin[k];
        const float cosA = ca * cr + sa * sr;
        const float sinA = sa * cr - ca * sr;
        sums[k & 3] += cosA * b[0] + sinA * b[1];
        cells += b[2] != 0.f;
    }
    const float sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
    return cells > 0 ? sum / cells : 0;
}

float FlowFactor(float agreement, int cells) {
    if (cells < kMinFlowCells) return 1.f;
    const float f =
        std::clamp((agreement - kFlowUnrelated) / (kFlowAgrees - kFlowUnrelated), kFlowLeast, 1.f);
    return f * f;
}

}  // namespace fp::detail
