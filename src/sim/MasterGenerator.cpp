#include "sim/MasterGenerator.h"

#include <algorithm>
#include <cmath>

#include "sim/DetMath.h"
#include "sim/FingerLayout.h"
#include "sim/MinutiaeExtraction.h"
#include "sim/Random.h"
#include "sim/RidgeGrowth.h"

namespace kvt::sim {

namespace {
constexpr uint64_t kSeedTag = 0x5345454453ull;  // "SEEDS"
// A finger tip with fewer minutiae than this is grown again with a busier
// ridge spacing: smooth arches would otherwise leave a small touch with too
// few to enrol.
constexpr size_t kFewestMinutiae = 45;
constexpr int kDensityRetries = 2;

MasterPrint Grow(uint64_t populationSeed, uint32_t fingerId, const FingerLayout& L);
}  // namespace

size_t MasterPrint::MemoryUse() const {
    return sizeof(*this) + ridge.size() + mask.size() +
           (orientation.size() + period.size()) * sizeof(float) +
           minutiae.size() * sizeof(Minutia) + singularities.size() * sizeof(SingularPoint);
}

MasterPrint GenerateMaster(uint64_t populationSeed, uint32_t fingerId) {
    FingerLayout L = MakeFingerLayout(populationSeed, fingerId);
    MasterPrint m = Grow(populationSeed, fingerId, L);
    for (int retry = 0; retry < kDensityRetries && m.minutiae.size() < kFewestMinutiae; ++retry) {
        L.periodNoiseAmplitude += 0.5;
        L.orientationNoiseAmplitude += 0.04;
        m = Grow(populationSeed, fingerId, L);
    }
    return m;
}

namespace {

MasterPrint Grow(uint64_t populationSeed, uint32_t fingerId, const FingerLayout& L) {
    MasterPrint m;
    m.fingerId = fingerId;
    m.patternClass = L.patternClass;
    m.width = L.width;
    m.height = L.height;
    m.centreX = L.centreX;
    m.centreY = L.centreY;
    m.halfWidth = L.halfWidth;
    m.topHeight = L.topHeight;
    m.bottomHeight = L.bottomHeight;
    m.singularities = L.singularities;
    const int W = m.width, H = m.height;
    const size_t N = static_cast<size_t>(W) * H;

    GrowthInput g;
    g.width = W;
    g.height = H;
    g.orientationBin.resize(N);
    g.periodBin.resize(N);
    g.region.resize(N);
    m.orientation.resize(N);
    m.period.resize(N);
    m.mask.resize(N);
    double periodSum = 0;
    size_t periodCount = 0;
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const size_t i = static_cast<size_t>(y) * W + x;
            const double r = OutlineRadius(L, x, y);
            // Ridges grow a little beyond the outline so they run to its edge.
            g.region[i] = r < 1.06 ? 1 : 0;
            // Mask ramp over about 4 pixels at the outline.
            const double edge = (1.0 - r) * L.halfWidth / 4.0;
            m.mask[i] = static_cast<uint8_t>(det::Round(255.0 * det::Clamp(edge + 0.5, 0.0, 1.0)));
            if (!g.region[i]) continue;
            const double theta = OrientationAt(L, x, y);
            const double period = PeriodAt(L, x, y);
            m.orientation[i] = static_cast<float>(theta);
            m.period[i] = static_cast<float>(period);
            g.orientationBin[i] = OrientationToBin(theta);
            g.periodBin[i] = PeriodToBin(period);
            if (r < 1.0) periodSum += period, ++periodCount;
        }
    }
    m.meanPeriod =
        static_cast<float>(periodSum / static_cast<double>(std::max<size_t>(periodCount, 1)));

    Rng rng(MixKey(populationSeed, fingerId, kSeedTag));
    const int seeds = 3 + static_cast<int>(rng.Below(5));
    for (int k = 0; k < seeds; ++k) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const int x = static_cast<int>(rng.Below(static_cast<uint32_t>(W)));
            const int y = static_cast<int>(rng.Below(static_cast<uint32_t>(H)));
            if (OutlineRadius(L, x, y) > 0.85) continue;
            g.seeds.push_back({x, y, rng.Uniform(0, det::kTwoPi)});
            break;
        }
    }
    GrowthResult grown = GrowRidges(g);
    m.ridge = std::move(grown.field);

    std::vector<uint8_t> ridge(N), inside(N);
    for (size_t i = 0; i < N; ++i) {
        ridge[i] = grown.state[i] > 0 ? 1 : 0;
        inside[i] = m.mask[i] >= 128 ? 1 : 0;
    }
    ExtractionInput ex;
    ex.width = W;
    ex.height = H;
    ex.ridge = ridge.data();
    ex.inside = inside.data();
    ex.orientation = m.orientation.data();
    m.minutiae = ExtractMinutiae(ex);
    return m;
}

}  // namespace

}  // namespace kvt::sim
