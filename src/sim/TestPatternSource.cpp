#include "sim/TestPatternSource.h"

#include <cmath>

#include "sim/DetMath.h"
#include "sim/Impression.h"
#include "sim/Random.h"

namespace kvt::sim {

namespace {
constexpr uint64_t kPatternTag = 0x50415454ull;  // "PATT"
}

std::vector<uint8_t> TestPatternSource::Frame(const FrameRequest& r) {
    const RawGeometry g = GeometryForRawSize(r.rawWidth, r.rawHeight);
    const int W = g.UprightWidth(), H = g.UprightHeight();
    std::vector<uint8_t> upright(static_cast<size_t>(W) * H);
    std::vector<uint8_t> contact(upright.size());
    const double phase = (r.fingerId % 9) + 0.25 * (r.impression % 4);
    const double cx = W * 0.5, cy = H * 0.5, radius = 0.42 * (W < H ? W : H);
    for (int v = 0; v < H; ++v) {
        for (int u = 0; u < W; ++u) {
            const size_t i = static_cast<size_t>(v) * W + u;
            const double d = std::sqrt((u - cx) * (u - cx) + (v - cy) * (v - cy));
            const double inside = det::Smoothstep(radius, radius - 6, d);
            const double ring = 0.5 + 0.5 * det::Cos(det::kTwoPi * (d + phase) / 9.0);
            upright[i] = static_cast<uint8_t>(det::Round(220.0 - inside * 170.0 * ring));
            contact[i] = static_cast<uint8_t>(det::Round(255.0 * inside));
        }
    }
    // Orientation marks in the picture's top-left corner (inside make-up's crop).
    for (int k = 0; k < 16; ++k) {
        upright[static_cast<size_t>(g.cropCols) * W + g.cropRows + k] =
            static_cast<uint8_t>(k * 16);
        upright[static_cast<size_t>(g.cropCols + k) * W + g.cropRows] = 0;
    }
    std::vector<uint8_t> raw = UprightToRaw(upright, g);
    if (!r.crossFrame) return raw;
    const std::vector<uint8_t> rawContact = UprightToRaw(contact, g);
    Rng rng(MixKey(r.fingerId, r.impression, r.live ? 1 : 0, kPatternTag));
    const std::vector<uint8_t> cross =
        MakeCrossFrame(raw.data(), rawContact.data(), r.rawWidth, r.rawHeight, r.live, rng);
    raw.insert(raw.end(), cross.begin(), cross.end());
    return raw;
}

ColourReadings TestPatternSource::Colours(const FrameRequest& r) {
    Rng rng(MixKey(r.fingerId, r.impression, r.live ? 1 : 0, kPatternTag + 1));
    return MakeColourReadings(r.live, rng);
}

}  // namespace kvt::sim
