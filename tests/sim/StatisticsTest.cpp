// Statistics over many synthetic fingers, against what real 500 dpi prints
// show: inter-ridge distance 8-11 pixels (mean about 9), 30-75 minutiae on a
// whole finger tip, 20-50 on a 256 x 360 picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "SimTestSupport.h"
#include "sim/FingerLayout.h"
#include "sim/FingerprintSynth.h"
#include "sim/MasterGenerator.h"

using namespace kvt::sim;

#ifdef KVT_SIM_TESTS_SANITIZED
constexpr uint32_t kFingers = 25;
#else
constexpr uint32_t kFingers = 100;
#endif

TEST(SimStatistics, HundredFingersLookLikeRealPrints) {
    std::vector<double> periods;
    std::vector<size_t> masterMinutiae, pictureMinutiae;
    int endings = 0, bifurcations = 0;
    for (uint32_t id = 0; id < kFingers; ++id) {
        const MasterPtr master = kvt_test::SharedSynth()->Master(id);
        const MasterPrint& m = *master;
        // The natural class mix is checked on 40000 ids in SimPatternClass.
        EXPECT_EQ(m.patternClass, PatternClassOf(0, id)) << id;
        // Measured period: ridges crossed per length across the ridges.
        std::vector<uint8_t> region(m.ridge.size());
        for (size_t i = 0; i < region.size(); ++i) region[i] = m.mask[i] == 255;
        periods.push_back(kvt_test::MeasuredRidgePeriod(m.ridge, region, m.width, m.height));
        masterMinutiae.push_back(m.minutiae.size());
        for (const Minutia& mi : m.minutiae)
            (mi.type == MinutiaType::Ending ? endings : bifurcations)++;
        for (uint32_t k = 0; k < 2; ++k)
            pictureMinutiae.push_back(RenderImpression(m, 0, k, kGeometryRoi).minutiae.size());
    }
    auto mean = [](const auto& v) {
        return std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
    };
    std::sort(periods.begin(), periods.end());
    std::sort(pictureMinutiae.begin(), pictureMinutiae.end());
    EXPECT_TRUE(mean(periods) > 8.5 && mean(periods) < 10.0) << mean(periods);
    EXPECT_TRUE(periods.front() >= 7.8 && periods.back() <= 11.0)
        << periods.front() << ".." << periods.back();
    EXPECT_TRUE(mean(masterMinutiae) > 30 && mean(masterMinutiae) < 75) << mean(masterMinutiae);
    EXPECT_TRUE(mean(pictureMinutiae) > 20 && mean(pictureMinutiae) < 50) << mean(pictureMinutiae);
    EXPECT_GE(pictureMinutiae[pictureMinutiae.size() / 20], 8u);
    // Both kinds in a plausible ratio (real prints: roughly as many of each).
    EXPECT_TRUE(endings > bifurcations / 3 && bifurcations > endings / 3)
        << endings << " endings, " << bifurcations << " bifurcations";
}
