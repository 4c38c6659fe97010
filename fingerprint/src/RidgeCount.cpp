// Ridges crossed on the straight line between a minutia and each of its
// nearest neighbours: rotation and translation leave the count alone and skin
// stretch barely moves it, so it is evidence that a chance pairing of
// different fingers rarely shares.
#include <algorithm>
#include <cstdlib>

#include "Internal.h"
#include "PrintLayout.h"

namespace fp::detail {

namespace {

// Runs of ridge or valley shorter than this along the line are noise (a
// ragged edge, a pore that survived): they join their surroundings.
constexpr int kMinRun = 2;

}  // namespace

std::uint8_t CountRidges(const ByteImage& ridges, const BlockField& field, int ax, int ay, int bx,
                         int by) {
    const int dx = bx - ax, dy = by - ay;
    const int steps = std::max(std::abs(dx), std::abs(dy));
    // Runs as (ridge, length), the short ones folded into the one before.
    struct Run {
        bool ridge;
        int length;
    };
    Run runs[2 * 256];
    int count = 0;
    for (int k = 0; k <= steps; ++k) {
        // Rounded to the nearest pixel, exactly in integers.
        const int x = ax + (2 * dx * k + (dx >= 0 ? steps : -steps)) / (2 * std::max(steps, 1));
        const int y = ay + (2 * dy * k + (dy >= 0 ? steps : -steps)) / (2 * std::max(steps, 1));
        if (!field.inMask(x / kBlock, y / kBlock)) return kUnknownRidgeCount;
        const bool ridge = ridges.get(x, y);
        if (count > 0 && runs[count - 1].ridge == ridge) {
            ++runs[count - 1].length;
        } else if (count >= 2 && runs[count - 1].length < kMinRun) {
            // The short run between two of this kind: all one run.
            runs[count - 2].length += runs[count - 1].length + 1;
            --count;
        } else if (count < static_cast<int>(std::size(runs))) {
            runs[count++] = {ridge, 1};
        }
    }
    // The ridges the two minutiae sit on are not crossed: a ridge run counts
    // only after a valley and before the end.
    int crossed = 0;
    for (int k = 1; k + 1 < count; ++k) crossed += runs[k].ridge;
    return static_cast<std::uint8_t>(std::min(crossed, kUnknownRidgeCount - 1));
}

void CountNeighbourRidges(const ByteImage& ridges, const BlockField& field, Features& f) {
    std::vector<std::uint8_t> nearest;
    NearestNeighbours(f.minutiae, nearest);
    f.ridgeCounts.assign(nearest.size(), kUnknownRidgeCount);
    constexpr int K = PrintLayout::kNeighbours;
    for (std::size_t i = 0; i < nearest.size() / K; ++i) {
        const Minutia& a = f.minutiae[i];
        for (int k = 0; k < K; ++k) {
            const std::uint8_t j = nearest[i * K + k];
            if (j == StoredNeighbourhoods::kNone) break;
            const Minutia& b = f.minutiae[j];
            f.ridgeCounts[i * K + k] = CountRidges(ridges, field, a.x, a.y, b.x, b.y);
        }
    }
}

}  // namespace fp::detail
