// Score calibration: score = round(-12 x log10(false match rate)) of an
// engine similarity.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>

#include "fp/Matcher.h"

namespace fp {
namespace {

// -log10(false match rate) against similarity: the impostor distribution of
// the 2880 impostor pairs of FVC2002 DB1_B (fingerprint/README.md), measured
// down to a rate of 2e-3. Beyond that the tail is extended linearly in the
// square root of the similarity, which is the more cautious of the fits that
// match the measured tail.
struct CalibrationPoint {
    double similarity, minusLogFmr;
};
constexpr CalibrationPoint kCalibration[] = {
    {0.0000, 0.0}, {0.0043, 0.7}, {0.0079, 1.0}, {0.0125, 1.3},
    {0.0181, 1.7}, {0.0233, 2.0}, {0.0274, 2.3}, {0.0305, 2.7},
};
constexpr double kTailSlope = 17.0;  // decades per unit of sqrt(similarity), as measured

}  // namespace

int ScoreFromSimilarity(double similarity) {
    if (!(similarity > 0)) return 0;
    constexpr std::size_t n = std::size(kCalibration);
    const CalibrationPoint& last = kCalibration[n - 1];
    double minusLog;
    if (similarity >= last.similarity) {
        minusLog =
            last.minusLogFmr + kTailSlope * (std::sqrt(similarity) - std::sqrt(last.similarity));
    } else {
        std::size_t k = 1;
        while (kCalibration[k].similarity < similarity) ++k;
        const CalibrationPoint& a = kCalibration[k - 1];
        const CalibrationPoint& b = kCalibration[k];
        minusLog = a.minusLogFmr + (similarity - a.similarity) * (b.minusLogFmr - a.minusLogFmr) /
                                       (b.similarity - a.similarity);
    }
    return static_cast<int>(std::clamp(std::lround(12 * minusLog), 0L, 100000L));
}

}  // namespace fp
