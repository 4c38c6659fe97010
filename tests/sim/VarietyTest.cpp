// Fingers must differ from each other as much as real ones do, or a matcher
// calibrated on real prints finds false matches among them: their ridge flow
// after the best alignment, and where their minutiae lie. And every finger
// must be enrollable from a centred touch by our own engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "SimTestSupport.h"
#include "fp/Extractor.h"
#include "sim/FingerLayout.h"
#include "sim/FingerprintSynth.h"

using namespace kvt::sim;

namespace {

#ifdef KVT_SIM_TESTS_SANITIZED
constexpr uint32_t kFingers = 16;
#else
constexpr uint32_t kFingers = 50;
#endif

// Best agreement of two fingers' flow over small shifts and turns about their
// centres: the mean of cos(2 x orientation difference) over the points inside
// both outlines, as the engine's ridge-flow check measures it.
double BestFlowAgreement(const FingerLayout& a, const FingerLayout& b) {
    double best = -1;
    for (int turn = -12; turn <= 12; turn += 6) {
        const double t = turn * 3.14159265358979 / 180.0, c = std::cos(t), s = std::sin(t);
        for (int dy = -48; dy <= 48; dy += 16) {
            for (int dx = -36; dx <= 36; dx += 12) {
                double sum = 0;
                int n = 0;
                for (int y = -150; y <= 150; y += 14) {
                    for (int x = -112; x <= 112; x += 14) {
                        const double ax = a.centreX + x, ay = a.centreY + y;
                        const double bx = b.centreX + dx + x * c + y * s;
                        const double by = b.centreY + dy - x * s + y * c;
                        if (OutlineRadius(a, ax, ay) > 0.9 || OutlineRadius(b, bx, by) > 0.9)
                            continue;
                        // Turning the print turns its flow with it.
                        const double d = OrientationAt(a, ax, ay) + t - OrientationAt(b, bx, by);
                        sum += std::cos(2 * d);
                        ++n;
                    }
                }
                if (n > 60) best = std::max(best, sum / n);
            }
        }
    }
    return best;
}

}  // namespace

TEST(SimVariety, FlowOfDifferentFingersOfOneClassDiffers) {
    // Pairs of loops of one side: the most alike pairs a class has. Real
    // fingers agree at about 0.7 by chance; agreement above 0.9 is what the
    // engine expects only of one finger.
    std::vector<FingerLayout> loops;
    for (uint32_t id = 0; loops.size() < 12; ++id) {
        FingerLayout L = MakeFingerLayout(0, id);
        if (L.patternClass == PatternClass::RightLoop) loops.push_back(std::move(L));
    }
    std::vector<double> agreement;
    for (size_t i = 0; i < loops.size(); ++i)
        for (size_t j = i + 1; j < loops.size(); j += 3)
            agreement.push_back(BestFlowAgreement(loops[i], loops[j]));
    std::sort(agreement.begin(), agreement.end());
    EXPECT_LT(agreement[agreement.size() / 2], 0.85) << "highest " << agreement.back();
    EXPECT_LT(agreement[agreement.size() * 9 / 10], 0.92);
    // A finger against itself is the reference point of the measure.
    EXPECT_GT(BestFlowAgreement(loops[0], loops[0]), 0.999);
}

TEST(SimVariety, MinutiaeLieAllOverTheFinger) {
    // Where the flow converges ridges must end; real fingers have as many
    // minutiae again where it runs smoothly. Count those far from every
    // singular point, and how the fingers differ in density.
    int far = 0, total = 0;
    std::vector<double> density;
    for (uint32_t id = 0; id < 24; ++id) {
        const MasterPtr m = kvt_test::SharedSynth()->Master(id);
        for (const Minutia& mi : m->minutiae) {
            double nearest = 1e9;
            for (const SingularPoint& sp : m->singularities)
                nearest = std::min<double>(nearest, std::hypot(mi.x - sp.x, mi.y - sp.y));
            if (nearest > 100) ++far;
            ++total;
        }
        density.push_back(static_cast<double>(m->minutiae.size()) /
                          (m->halfWidth * (m->topHeight + m->bottomHeight)));
    }
    EXPECT_GT(far, total / 4) << far << " of " << total << " over 100 px from every singular point";
    std::sort(density.begin(), density.end());
    EXPECT_GT(density[density.size() * 9 / 10], 1.3 * density[density.size() / 10]);
}

TEST(SimVariety, EveryFingerEnrolsFromACentredTouch) {
    // The SDK refuses templates under 15 minutiae; a user who puts the finger
    // down squarely must always get one.
    int centred = 0;
    for (uint32_t id = 0; id < kFingers; ++id) {
        for (uint32_t k = 0; k < 4; ++k) {
            const Impression imp = kvt_test::SharedSynth()->Render(id, k, kGeometryRoi);
            if (imp.params.partial) continue;
            ++centred;
            const std::vector<uint8_t> pic = imp.Picture();
            const int w = imp.PictureWidth(), h = imp.PictureHeight();
            fp::Features features;
            ASSERT_EQ(fp::Extract({pic.data(), w, h, w}, {}, features), fp::ExtractStatus::Ok)
                << "finger " << id << " impression " << k;
            EXPECT_GE(features.minutiae.size(), 15u) << "finger " << id << " impression " << k;
        }
    }
    EXPECT_GT(centred, static_cast<int>(kFingers) * 2);
}
