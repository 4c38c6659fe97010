#include <gtest/gtest.h>

#include <cmath>

#include "SimTestSupport.h"
#include "sim/MasterGenerator.h"

using namespace kvt::sim;

namespace {

// Ridge field at the nearest pixel.
int FieldAt(const MasterPrint& m, double x, double y) {
    return m.ridge[m.Index(static_cast<int>(x + 0.5), static_cast<int>(y + 0.5))];
}

}  // namespace

// Minutiae lie on ridges inside the finger and follow the ridge orientation.
// A step along an ending's direction leaves the ridge; a step back stays on
// it. Behind a bifurcation (against its direction) lie the two branches with
// a valley between them; ahead lies the single stem.
TEST(SimMasterPrint, MinutiaeLieOnTheirRidgesAndPointAlongThem) {
    int endingsOut = 0, endings = 0, bifurcationsOk = 0, bifurcations = 0;
    for (uint32_t id = 0; id < 6; ++id) {
        const MasterPtr master = kvt_test::SharedSynth()->Master(id);
        const MasterPrint& m = *master;
        ASSERT_GE(m.minutiae.size(), 15u) << id;
        int onRidge = 0;
        for (const Minutia& mi : m.minutiae) {
            const int x = static_cast<int>(mi.x), y = static_cast<int>(mi.y);
            ASSERT_TRUE(m.Inside(x, y));
            EXPECT_EQ(m.mask[m.Index(x, y)], 255);
            EXPECT_TRUE(mi.angle >= 0 && mi.angle < 360) << mi.angle;
            // Thinned ridges run along the ridge middle: the field is positive there.
            if (FieldAt(m, mi.x, mi.y) > 0) ++onRidge;
            const double theta = m.orientation[m.Index(x, y)];
            const double a = mi.angle * 3.14159265358979 / 180.0;
            EXPECT_LT(kvt_test::AngleGap(theta, a, 3.14159265358979), 0.01);

            const double c = std::cos(a), s = -std::sin(a);
            const int ahead = FieldAt(m, mi.x + 5 * c, mi.y + 5 * s);
            if (mi.type == MinutiaType::Ending) {
                ++endings;
                endingsOut += ahead < 0 && FieldAt(m, mi.x - 5 * c, mi.y - 5 * s) > 0;
            } else {
                ++bifurcations;
                bifurcationsOk += ahead > 0 && FieldAt(m, mi.x - 6 * c, mi.y - 6 * s) < 0;
            }
        }
        EXPECT_GE(onRidge, static_cast<int>(m.minutiae.size() * 9 / 10)) << id;
    }
    ASSERT_TRUE(endings > 20 && bifurcations > 20) << endings << ", " << bifurcations;
    EXPECT_GE(endingsOut, endings * 8 / 10);
    EXPECT_GE(bifurcationsOk, bifurcations * 7 / 10);
}
