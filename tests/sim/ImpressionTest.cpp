#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

#include "SimTestSupport.h"
#include "sim/FingerprintSynth.h"
#include "sim/MasterGenerator.h"

using namespace kvt::sim;

namespace {

constexpr double kPi = 3.14159265358979323846;

// The library's make-up, image mode "Stamp": picture(r, c) = raw(row yo + c, column xo + r).
std::vector<uint8_t> MakeUp(const std::vector<uint8_t>& raw, const RawGeometry& g) {
    const int pw = g.rawHeight - 2 * g.cropRows, ph = g.rawWidth - 2 * g.cropCols;
    std::vector<uint8_t> pic(static_cast<size_t>(pw) * ph);
    for (int r = 0; r < ph; ++r)
        for (int c = 0; c < pw; ++c)
            pic[static_cast<size_t>(r) * pw + c] =
                raw[static_cast<size_t>(g.cropRows + c) * g.rawWidth + g.cropCols + r];
    return pic;
}

class SimImpression : public ::testing::Test {
protected:
    static FingerprintSynth& Synth() { return *kvt_test::SharedSynth(); }
};

}  // namespace

TEST_F(SimImpression, SameRequestSameBytesOnEveryPlatform) {
    const Impression a = Synth().Render(3, 1, kGeometryRoi);
    const Impression b = Synth().Render(3, 1, kGeometryRoi);
    EXPECT_EQ(a.upright, b.upright);
    // A fresh synthesizer, and one whose cache evicted the master, agree.
    FingerprintSynth fresh(0, 1);
    EXPECT_EQ(fresh.Render(3, 1, kGeometryRoi).upright, a.upright);
    fresh.Render(4, 0, kGeometryRoi);  // evicts finger 3
    EXPECT_EQ(fresh.Render(3, 1, kGeometryRoi).upright, a.upright);
    EXPECT_EQ(fresh.Cache().Builds(), 3u);
    // Other impressions, fingers and populations differ.
    EXPECT_NE(Synth().Render(3, 2, kGeometryRoi).upright, a.upright);
    EXPECT_NE(Synth().Render(5, 1, kGeometryRoi).upright, a.upright);
    EXPECT_NE(FingerprintSynth(1, 1).Render(3, 1, kGeometryRoi).upright, a.upright);
    // Two fingers' masters are unrelated patterns, not one pattern moved.
    const MasterPtr m0 = Synth().Master(0), m1 = Synth().Master(1);
    double s01 = 0, s00 = 0, s11 = 0;
    for (int y = 0; y < std::min(m0->height, m1->height); ++y)
        for (int x = 0; x < std::min(m0->width, m1->width); ++x) {
            const double u = m0->ridge[m0->Index(x, y)], v = m1->ridge[m1->Index(x, y)];
            s01 += u * v, s00 += u * u, s11 += v * v;
        }
    EXPECT_LT(std::fabs(s01 / std::sqrt(s00 * s11)), 0.1);

    // The synthesizer uses integer ridge growth, its own elementary functions
    // and its own random numbers, so these bytes are the same on every
    // platform. A deliberate change of the synthesizer changes this value
    // (and every print of the accuracy benchmark): update it then.
    const Impression imp = Synth().Render(1, 2, kGeometryRoi);
    EXPECT_EQ(kvt_test::Fnv1a(imp.Raw()), 0x1117c89b707095bbull)
        << std::hex << kvt_test::Fnv1a(imp.Raw());
}

TEST_F(SimImpression, RawFrameMakesUpIntoTheUprightPicture) {
    const std::tuple<RawGeometry, int, int> cases[] = {
        {kGeometryRoi, 256, 360}, {kGeometryHalf, 128, 176}, {kGeometryFull, 332, 416}};
    for (const auto& [g, pictureWidth, pictureHeight] : cases) {
        EXPECT_EQ(std::tuple(g.PictureWidth(), g.PictureHeight()),
                  std::tuple(pictureWidth, pictureHeight));
        const Impression imp = Synth().Render(2, 0, g);
        ASSERT_EQ(std::tuple(imp.width, imp.height), std::tuple(g.rawHeight, g.rawWidth));
        const std::vector<uint8_t> raw = imp.Raw();
        ASSERT_EQ(raw.size(), static_cast<size_t>(g.rawWidth) * g.rawHeight);
        const std::vector<uint8_t> pic = imp.Picture();
        EXPECT_EQ(MakeUp(raw, g), pic);
        EXPECT_EQ(pic.size(), static_cast<size_t>(pictureWidth) * pictureHeight);
    }
}

// Every carried minutia lies inside the picture and the contact, where its
// master minutia maps to (which checks the warp's inverse, that placed it);
// the pixels around it are the master's ridges around the master minutia seen
// through the same transform (strongly, negatively: ridges are dark,
// correlated with the master's ridge field, which a minutia moved by another
// transform than the image would not be); and its direction follows the
// image's ridges.
TEST_F(SimImpression, CarriedMinutiaeAgreeWithTheImageAndTheMaster) {
    int correlated = 0, total = 0;
    std::vector<double> gaps;
    for (uint32_t id = 0; id < 8; ++id) {
        const MasterPtr m = Synth().Master(id);
        for (uint32_t k = 0; k < 3; ++k) {
            SCOPED_TRACE(testing::Message() << "finger " << id << " impression " << k);
            const Impression imp = Synth().Render(id, k, kGeometryRoi);
            EXPECT_LE(std::fabs(imp.params.rotation), 30.0);
            const ImpressionWarp warp(*m, imp.params, imp.geometry);
            const std::vector<uint8_t> pic = imp.Picture();
            const int cropU = imp.geometry.cropRows, cropV = imp.geometry.cropCols;
            for (const Minutia& mi : imp.minutiae) {
                ASSERT_TRUE(mi.x >= 0 && mi.y >= 0 && mi.x < imp.PictureWidth() &&
                            mi.y < imp.PictureHeight())
                    << mi.x << "," << mi.y;
                const int u = static_cast<int>(mi.x + 0.5) + cropU;
                const int v = static_cast<int>(mi.y + 0.5) + cropV;
                EXPECT_GE(imp.contact[static_cast<size_t>(v) * imp.width + u], 128);
                ASSERT_LT(mi.id, m->minutiae.size());
                const Minutia& mm = m->minutiae[mi.id];
                double mx, my;
                warp.ToMaster(mi.x + cropU, mi.y + cropV, &mx, &my);
                EXPECT_LT(std::hypot(mx - mm.x, my - mm.y), 0.05);

                // Rotation of the neighbourhood from the two minutia directions.
                const double rot = (mi.angle - mm.angle) * kPi / 180.0;
                const double c = std::cos(rot), s = std::sin(rot);
                double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
                int n = 0;
                for (int dy = -8; dy <= 8; ++dy) {
                    for (int dx = -8; dx <= 8; ++dx) {
                        const int px =
                            static_cast<int>(std::lround(mi.x + dx * c + dy * s)) + cropU;
                        const int py =
                            static_cast<int>(std::lround(mi.y - dx * s + dy * c)) + cropV;
                        const int qx = static_cast<int>(mm.x) + dx,
                                  qy = static_cast<int>(mm.y) + dy;
                        if (px < 0 || py < 0 || px >= imp.width || py >= imp.height ||
                            !m->Inside(qx, qy))
                            continue;
                        const double a = imp.upright[static_cast<size_t>(py) * imp.width + px];
                        const double b = m->ridge[m->Index(qx, qy)];
                        sa += a, sb += b, saa += a * a, sbb += b * b, sab += a * b, ++n;
                    }
                }
                const double cov = sab / n - sa / n * sb / n;
                const double corr =
                    cov /
                    std::sqrt((saa / n - sa * sa / n / n) * (sbb / n - sb * sb / n / n) + 1e-9);
                ++total;
                if (corr < -0.4) ++correlated;

                const double theta =
                    kvt_test::ImageOrientation(pic, imp.PictureWidth(), imp.PictureHeight(),
                                               static_cast<int>(mi.x), static_cast<int>(mi.y), 9);
                gaps.push_back(kvt_test::AngleGap(theta, mi.angle * kPi / 180.0, kPi));
            }
        }
    }
    ASSERT_GT(total, 200);
    EXPECT_GE(correlated, total * 8 / 10) << correlated << " of " << total;
    std::sort(gaps.begin(), gaps.end());
    EXPECT_LT(gaps[gaps.size() / 2] * 180 / kPi, 8.0);
    EXPECT_LT(gaps[gaps.size() * 8 / 10] * 180 / kPi, 15.0);
}

// The finger's darkness is centred in the picture. The same master minutiae
// in two impressions, after the best rigid alignment (least squares over the
// common minutiae), coincide up to the skin distortion, which can turn a
// minutia by a few tens of degrees.
TEST_F(SimImpression, ImpressionsAreCentredAndAgreeAfterAlignment) {
    std::vector<double> residuals, turns;
    for (uint32_t id = 0; id < 12; ++id) {
        const Impression a = Synth().Render(id, 0, kGeometryRoi),
                         b = Synth().Render(id, 1, kGeometryRoi);
        for (const Impression* imp : {&a, &b}) {
            const std::vector<uint8_t> pic = imp->Picture();
            const int w = imp->PictureWidth(), h = imp->PictureHeight();
            double sx = 0, sy = 0, mass = 0;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const double d = 255.0 - pic[static_cast<size_t>(y) * w + x];
                    sx += d * x, sy += d * y, mass += d;
                }
            EXPECT_NEAR(sx / mass, w / 2.0, w * 0.2) << id;
            EXPECT_NEAR(sy / mass, h / 2.0, h * 0.2) << id;
        }

        std::map<int, const Minutia*> inB;
        for (const Minutia& m : b.minutiae) inB[m.id] = &m;
        std::vector<std::pair<const Minutia*, const Minutia*>> pairs;
        for (const Minutia& m : a.minutiae)
            if (auto it = inB.find(m.id); it != inB.end()) pairs.emplace_back(&m, it->second);
        ASSERT_GE(pairs.size(), 8u) << "finger " << id;
        double ax = 0, ay = 0, bx = 0, by = 0;
        for (auto& [p, q] : pairs) ax += p->x, ay += p->y, bx += q->x, by += q->y;
        const double n = static_cast<double>(pairs.size());
        ax /= n, ay /= n, bx /= n, by /= n;
        double sxx = 0, sxy = 0;
        for (auto& [p, q] : pairs) {
            const double px = p->x - ax, py = p->y - ay, qx = q->x - bx, qy = q->y - by;
            sxx += px * qx + py * qy;
            sxy += px * qy - py * qx;
        }
        const double rot = std::atan2(sxy, sxx);  // image coordinates
        const double c = std::cos(rot), s = std::sin(rot);
        for (auto& [p, q] : pairs) {
            const double px = p->x - ax, py = p->y - ay;
            const double x = bx + px * c - py * s, y = by + px * s + py * c;
            residuals.push_back(std::hypot(x - q->x, y - q->y));
            // Directions turn by the same rotation (screen angles turn the other way).
            const double turned = p->angle * kPi / 180.0 - rot;
            turns.push_back(kvt_test::AngleGap(turned, q->angle * kPi / 180.0, 2 * kPi) * 180 /
                            kPi);
        }
    }
    std::sort(residuals.begin(), residuals.end());
    EXPECT_LT(residuals[residuals.size() / 2], 5.0);
    EXPECT_LT(residuals[residuals.size() * 9 / 10], 12.0);
    std::sort(turns.begin(), turns.end());
    EXPECT_LT(turns[turns.size() / 2], 8.0);
    EXPECT_LT(turns[turns.size() * 9 / 10], 25.0);
    EXPECT_LT(turns.back(), 65.0);
}
