// Cores and deltas from the Poincare index of the orientation field.
#include <algorithm>
#include <cmath>

#include "Internal.h"

namespace fp::detail {
namespace {

struct Detection {
    float x, y;
    int type;  // +1 core, -1 delta
    int count;
};

float WrapHalfTurn(float a) {  // to (-pi, pi]
    while (a > kPi) a -= 2 * kPi;
    while (a <= -kPi) a += 2 * kPi;
    return a;
}

}  // namespace

std::vector<SingularPoint> FindSingularPoints(const BlockField& f,
                                              const ExtractorSettings& settings) {
    std::vector<SingularPoint> out;
    if (!settings.singularPoints) return out;
    constexpr int kRing = 2;
    // The ring in order of increasing angle, in the image's own coordinates.
    std::vector<std::pair<int, int>> ring;
    for (int d = 0; d < kRing; ++d) ring.push_back({kRing, d});
    for (int d = kRing; d > -kRing; --d) ring.push_back({d, kRing});
    for (int d = kRing; d > -kRing; --d) ring.push_back({-kRing, d});
    for (int d = -kRing; d < kRing; ++d) ring.push_back({d, -kRing});
    for (int d = -kRing; d < 0; ++d) ring.push_back({kRing, d});

    std::vector<Detection> found;
    for (int r = 0; r < f.rows; ++r)
        for (int c = 0; c < f.columns; ++c) {
            if (f.depth[f.index(c, r)] <= kRing + 1) continue;
            float sum = 0;
            for (std::size_t k = 0; k < ring.size(); ++k) {
                const auto [ax, ay] = ring[k];
                const auto [bx, by] = ring[(k + 1) % ring.size()];
                const std::size_t i = f.index(c + ax, r + ay), j = f.index(c + bx, r + by);
                sum += WrapHalfTurn(std::atan2(f.sin2[j], f.cos2[j]) -
                                    std::atan2(f.sin2[i], f.cos2[i]));
            }
            int type = 0;
            if (std::fabs(sum - 2 * kPi) < kPi / 2) type = 1;
            if (std::fabs(sum + 2 * kPi) < kPi / 2) type = -1;
            if (type == 0) continue;
            const float x = c * kBlock + kBlock / 2.f, y = r * kBlock + kBlock / 2.f;
            auto near = std::find_if(found.begin(), found.end(), [&](const Detection& d) {
                return d.type == type &&
                       std::hypot(d.x / d.count - x, d.y / d.count - y) < 3 * kBlock;
            });
            if (near == found.end()) {
                found.push_back({x, y, type, 1});
            } else {
                near->x += x, near->y += y, ++near->count;
            }
        }
    std::vector<Detection> cores, deltas;
    for (Detection d : found) {
        d.x /= d.count, d.y /= d.count;
        (d.type > 0 ? cores : deltas).push_back(d);
    }
    auto add = [&](float x, float y, SingularType type) {
        out.push_back({static_cast<std::uint16_t>(std::lround(x)),
                       static_cast<std::uint16_t>(std::lround(y)), type, 0});
    };
    // Two cores close together are the centre of a whorl.
    int doubles = 0, singles = 0;
    std::vector<bool> used(cores.size(), false);
    for (std::size_t i = 0; i < cores.size(); ++i)
        for (std::size_t j = i + 1; j < cores.size() && !used[i]; ++j)
            if (!used[j] &&
                std::hypot(cores[i].x - cores[j].x, cores[i].y - cores[j].y) < 6 * kBlock &&
                doubles < settings.maxDoubleCores) {
                add((cores[i].x + cores[j].x) / 2, (cores[i].y + cores[j].y) / 2,
                    SingularType::DoubleCore);
                used[i] = used[j] = true;
                ++doubles;
            }
    for (std::size_t i = 0; i < cores.size(); ++i)
        if (!used[i] && singles < settings.maxCores)
            add(cores[i].x, cores[i].y, SingularType::Core), ++singles;
    for (std::size_t i = 0; i < deltas.size() && static_cast<int>(i) < settings.maxDeltas; ++i)
        add(deltas[i].x, deltas[i].y, SingularType::Delta);
    return out;
}

}  // namespace fp::detail
