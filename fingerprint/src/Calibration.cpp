// Score calibration: score = round(-12 x log10(false match rate)) of an
// engine similarity, so 24, 36 and 48 mean 1 %, 0.1 % and 0.01 % of
// different fingers accepted.
//
// Fitted on every impostor pair of the five FVC sets (FVC2002 DB1_B, FVC2000
// DB1_B to DB4_B; 14 400 pairs of images of different fingers) pooled:
// - down to a false match rate of 1 % the points below are read from the
//   pooled impostor similarities, at every quarter decade;
// - beyond it, where a hundred pairs or fewer remain, the tail is
//   extrapolated as an exponential in the similarity (a generalised Pareto
//   tail of shape 0). The shape estimated (method of moments) on the top
//   0.5 %, 1 % and 2 % of the pooled impostors is -0.23, -0.01 and 0.04:
//   close to 0 either way. The scale is the largest mean excess of those
//   three, the slowest growth. The synthesizer's look-alike fingers
//   (kvt-synth, 60 x 4 prints, 28 320 impostor pairs, their 99th percentile
//   six times the real one's) give shapes from -0.08 to 0.07 down to 0.1 %;
//   their level is not pooled, as it would put the real impostors' 1 % at
//   score 0.
// - beyond a false match rate of 1e-8 (score 96), far past anything measured,
//   the tail turns into a power law (a heavier tail, so slower growth) with
//   the same slope where they meet, so scores of near-identical prints stay
//   in the hundreds.
// fingerprint/README.md tells how to refit after the matcher changes.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>

#include "fp/Matcher.h"

namespace fp {
namespace {

struct CalibrationPoint {
    double similarity, minusLogFmr;
};
constexpr CalibrationPoint kMeasured[] = {
    {0, 0.000},         {1.415e-06, 0.250}, {3.148e-05, 0.500},
    {0.0002216, 0.750}, {0.0005796, 1.000}, {0.001108, 1.250},
    {0.001975, 1.500},  {0.003041, 1.750},  {0.004297, 2.000},
};
// The exponential tail beyond the last measured point: decades of false
// match rate per unit of similarity, 1 / (scale x ln 10).
constexpr double kTailDecadesPerUnit = 159.5;
// Where the power law takes over, in decades of false match rate.
constexpr double kPowerFrom = 8.0;

constexpr bool Increasing() {
    for (std::size_t k = 1; k < std::size(kMeasured); ++k)
        if (!(kMeasured[k].similarity > kMeasured[k - 1].similarity &&
              kMeasured[k].minusLogFmr > kMeasured[k - 1].minusLogFmr))
            return false;
    return true;
}
static_assert(Increasing() && kTailDecadesPerUnit > 0, "the score must grow with the similarity");

}  // namespace

int ScoreFromSimilarity(double similarity) {
    if (!(similarity > 0)) return 0;
    const CalibrationPoint& last = kMeasured[std::size(kMeasured) - 1];
    double minusLog;
    if (similarity >= last.similarity) {
        // Exponential up to kPowerFrom decades, then a power law of the same slope there.
        const double from = last.similarity + (kPowerFrom - last.minusLogFmr) / kTailDecadesPerUnit;
        if (similarity <= from) {
            minusLog = last.minusLogFmr + kTailDecadesPerUnit * (similarity - last.similarity);
        } else {
            minusLog = kPowerFrom + kTailDecadesPerUnit * from * std::log(similarity / from);
        }
    } else {
        std::size_t k = 1;
        while (kMeasured[k].similarity < similarity) ++k;
        const CalibrationPoint& a = kMeasured[k - 1];
        const CalibrationPoint& b = kMeasured[k];
        minusLog = a.minusLogFmr + (similarity - a.similarity) * (b.minusLogFmr - a.minusLogFmr) /
                                       (b.similarity - a.similarity);
    }
    return static_cast<int>(std::lround(12 * std::clamp(minusLog, 0.0, 10000.0)));
}

}  // namespace fp
