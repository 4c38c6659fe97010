// Thinning, minutiae on the skeleton and the removal of false ones.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include "Internal.h"

namespace fp::detail {
namespace {

// Neighbours in circular order: N, NE, E, SE, S, SW, W, NW.
constexpr int kDx[8] = {0, 1, 1, 1, 0, -1, -1, -1};
constexpr int kDy[8] = {-1, -1, 0, 1, 1, 1, 0, -1};

// Prints with fewer minutiae than this away from their edge also get those near it.
constexpr std::size_t kSparse = 24;

int Code(const ByteImage& s, int x, int y) {
    int code = 0;
    if (x > 0 && y > 0 && x < s.width - 1 && y < s.height - 1) {
        const std::uint8_t* p = &s.v[static_cast<std::size_t>(y) * s.width + x];
        const std::ptrdiff_t w = s.width;
        code = (p[-w] != 0) | (p[1 - w] != 0) << 1 | (p[1] != 0) << 2 | (p[1 + w] != 0) << 3 |
               (p[w] != 0) << 4 | (p[w - 1] != 0) << 5 | (p[-1] != 0) << 6 | (p[-1 - w] != 0) << 7;
        return code;
    }
    for (int k = 0; k < 8; ++k)
        if (s.get(x + kDx[k], y + kDy[k])) code |= 1 << k;
    return code;
}

int Transitions(int code) {  // 0 -> 1 changes around the pixel: the crossing number
    int n = 0;
    for (int k = 0; k < 8; ++k)
        if (!(code >> k & 1) && (code >> ((k + 1) % 8) & 1)) ++n;
    return n;
}

bool Bit(int code, int k) {
    return (code >> (k % 8)) & 1;
}

// Yokoi's connectivity number for 8-connected foreground: 1 means removing
// the pixel keeps the topology.
int Connectivity8(int code) {
    int n = 0;
    for (int k = 0; k < 8; k += 2)
        n += !Bit(code, k) - (!Bit(code, k) && !Bit(code, k + 1) && !Bit(code, k + 2));
    return n;
}

struct Candidate {
    int x = 0, y = 0;
    MinutiaType type = MinutiaType::Other;
    bool valid = true;  // false: a junction of more than three branches, never reported
    bool removed = false;
    // Removed by a rule that real minutiae sometimes break too (a trace that
    // dies early, a gap between facing endings): kept in reserve.
    bool doubtful = false;
    float angle = 0;
};

struct Path {
    std::vector<std::pair<int, int>> points;  // excluding the start
    int hit = -1;                             // candidate reached, if any
};

class SkeletonWalker {
public:
    SkeletonWalker(const ByteImage& s, const std::vector<int>& owner)
        : s_(s), owner_(owner), stamp_(s.v.size(), 0) {}

    // Follows the ridge from `first` (next to the start), at most maxSteps pixels.
    Path Follow(const std::vector<std::pair<int, int>>& start, std::pair<int, int> first, int own,
                int maxSteps) {
        ++current_;
        for (auto [x, y] : start) stamp_[idx(x, y)] = current_;
        Path path;
        auto [x, y] = first;
        while (true) {
            path.points.push_back({x, y});
            stamp_[idx(x, y)] = current_;
            const int o = owner_[idx(x, y)];
            if (o >= 0 && o != own) {
                path.hit = o;
                return path;
            }
            if (static_cast<int>(path.points.size()) >= maxSteps) return path;
            int next = -1;
            for (int pass = 0; pass < 2 && next < 0; ++pass)
                for (int k = pass; k < 8; k += 2) {  // straight neighbours first
                    const int nx = x + kDx[k], ny = y + kDy[k];
                    if (s_.get(nx, ny) && stamp_[idx(nx, ny)] != current_) {
                        next = k;
                        break;
                    }
                }
            if (next < 0) return path;
            x += kDx[next];
            y += kDy[next];
        }
    }

private:
    std::size_t idx(int x, int y) const { return static_cast<std::size_t>(y) * s_.width + x; }
    const ByteImage& s_;
    const std::vector<int>& owner_;
    std::vector<int> stamp_;
    int current_ = 0;
};

float PathAngle(int x, int y, const Path& path, int steps) {
    const auto& p = path.points[std::min<std::size_t>(steps, path.points.size()) - 1];
    return std::atan2(static_cast<float>(p.second - y), static_cast<float>(p.first - x));
}

// The field gives the minutia's axis; the binary image tells its sense. Seen
// from an ending, the ridge lies behind and the valley ahead; seen from a
// bifurcation, the stem (ridge) lies ahead and the valley between the forks
// behind. The traced angle decides when the pixels do not.
float Direction(const BlockField& f, const ByteImage& ridges, int x, int y, MinutiaType type,
                float traced) {
    const float theta = f.orientationAt(x, y);
    const int reach = std::clamp(static_cast<int>(f.periodAt(x, y)), 5, 14);
    int ridgeAhead = 0, ridgeBehind = 0;
    const float ux = std::cos(theta), uy = std::sin(theta);
    for (int k = 2; k <= reach; ++k) {
        ridgeAhead += ridges.get(static_cast<int>(std::lround(x + k * ux)),
                                 static_cast<int>(std::lround(y + k * uy)));
        ridgeBehind += ridges.get(static_cast<int>(std::lround(x - k * ux)),
                                  static_cast<int>(std::lround(y - k * uy)));
    }
    const int margin =
        type == MinutiaType::Ending ? ridgeBehind - ridgeAhead : ridgeAhead - ridgeBehind;
    if (std::abs(margin) >= 2) return margin > 0 ? WrapAngle(theta) : WrapAngle(theta + kPi);
    return AngleDistance(theta, traced) <= kPi / 2 ? WrapAngle(theta) : WrapAngle(theta + kPi);
}

}  // namespace

void Thin(ByteImage& s) {
    std::array<std::uint8_t, 256> removable[2];
    for (int code = 0; code < 256; ++code) {
        const int b = std::popcount(static_cast<unsigned>(code));
        const bool base = b >= 2 && b <= 6 && Transitions(code) == 1;
        const bool n = Bit(code, 0), e = Bit(code, 2), so = Bit(code, 4), w = Bit(code, 6);
        removable[0][code] = base && !(n && e && so) && !(e && so && w);
        removable[1][code] = base && !(n && e && w) && !(n && so && w);
    }
    std::vector<int> pixels;
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            if (s.at(x, y)) pixels.push_back(y * s.width + x);
    std::vector<int> remove;
    bool changed = true;
    while (changed) {
        changed = false;
        for (int step = 0; step < 2; ++step) {
            remove.clear();
            for (int i : pixels)
                if (s.v[i] && removable[step][Code(s, i % s.width, i / s.width)])
                    remove.push_back(i);
            for (int i : remove) s.v[i] = 0;
            changed |= !remove.empty();
        }
        std::erase_if(pixels, [&](int i) { return s.v[i] == 0; });
    }
    // Zhang-Suen leaves staircase corners two pixels thick; drop those that are
    // simple points so every ridge pixel has exactly two ridge neighbours.
    for (int i : pixels) {
        const int code = Code(s, i % s.width, i / s.width);
        if (std::popcount(static_cast<unsigned>(code)) >= 2 && Connectivity8(code) == 1) s.v[i] = 0;
    }
}

std::vector<Minutia> FindMinutiae(const ByteImage& s, const ByteImage& ridges, const BlockField& f,
                                  const ExtractorSettings& settings,
                                  std::vector<Minutia>* reserve) {
    const int w = s.width, h = s.height;
    auto idx = [w](int x, int y) { return static_cast<std::size_t>(y) * w + x; };
    std::vector<int> owner(s.v.size(), -1);
    std::vector<Candidate> cands;
    std::vector<std::vector<std::pair<int, int>>> members;  // pixels of each candidate

    // Endings and clusters of junction pixels.
    std::vector<std::uint8_t> junction(s.v.size(), 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (!s.at(x, y)) continue;
            const int code = Code(s, x, y);
            const int cn = Transitions(code);
            if (cn == 1 && code != 0) {
                owner[idx(x, y)] = static_cast<int>(cands.size());
                cands.push_back({x, y, MinutiaType::Ending});
                members.push_back({{x, y}});
            } else if (cn >= 3) {
                junction[idx(x, y)] = 1;
            }
        }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (!junction[idx(x, y)] || owner[idx(x, y)] >= 0) continue;
            const int id = static_cast<int>(cands.size());
            std::vector<std::pair<int, int>> cluster{{x, y}};
            owner[idx(x, y)] = id;
            for (std::size_t k = 0; k < cluster.size(); ++k)
                for (int d = 0; d < 8; ++d) {
                    const int nx = cluster[k].first + kDx[d], ny = cluster[k].second + kDy[d];
                    if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
                    if (!junction[idx(nx, ny)] || owner[idx(nx, ny)] >= 0) continue;
                    owner[idx(nx, ny)] = id;
                    cluster.push_back({nx, ny});
                }
            float cx = 0, cy = 0;
            for (auto [px, py] : cluster) cx += px, cy += py;
            cx /= cluster.size(), cy /= cluster.size();
            auto centre = *std::min_element(cluster.begin(), cluster.end(), [&](auto a, auto b) {
                return std::hypot(a.first - cx, a.second - cy) <
                       std::hypot(b.first - cx, b.second - cy);
            });
            cands.push_back({centre.first, centre.second, MinutiaType::Bifurcation});
            members.push_back(cluster);
        }

    SkeletonWalker walker(s, owner);
    const int directionSteps = 10;
    for (int id = 0; id < static_cast<int>(cands.size()); ++id) {
        Candidate& c = cands[id];
        const float period = f.periodAt(c.x, c.y);
        const int checkSteps = std::clamp(static_cast<int>(std::lround(period)), 8, 24);
        const int steps = std::max(checkSteps, directionSteps);

        // Branch starts: ridge pixels around the candidate, grouped into runs of
        // side-by-side pixels (diagonal neighbours around a pixel are separate branches).
        std::vector<std::pair<int, int>> ring;
        for (auto [mx, my] : members[id])
            for (int d = 0; d < 8; ++d) {
                const int nx = mx + kDx[d], ny = my + kDy[d];
                if (!s.get(nx, ny) || owner[idx(nx, ny)] == id) continue;
                if (std::find(ring.begin(), ring.end(), std::pair{nx, ny}) == ring.end())
                    ring.push_back({nx, ny});
            }
        std::vector<std::pair<int, int>> starts;
        std::vector<int> group(ring.size(), -1);
        for (std::size_t a = 0; a < ring.size(); ++a) {
            if (group[a] >= 0) continue;
            group[a] = static_cast<int>(starts.size());
            starts.push_back(ring[a]);
            for (std::size_t k = a; k < ring.size(); ++k) {  // grow the group transitively
                if (group[k] != group[a]) continue;
                for (std::size_t b = 0; b < ring.size(); ++b)
                    if (group[b] < 0 && std::abs(ring[b].first - ring[k].first) +
                                                std::abs(ring[b].second - ring[k].second) ==
                                            1)
                        group[b] = group[a];
            }
        }
        const std::size_t expected = c.type == MinutiaType::Ending ? 1 : 3;
        if (starts.size() != expected) {
            c.valid = false;
            continue;
        }
        std::vector<Path> paths;
        for (const auto& start : starts)
            paths.push_back(walker.Follow(members[id], start, id, steps));

        for (const Path& p : paths) {
            const bool shortHit = p.hit >= 0 && static_cast<int>(p.points.size()) <= checkSteps;
            if (shortHit) {
                // A spur, a bridge, a short ridge piece or a small loop.
                c.removed = true;
                cands[p.hit].removed = true;
            }
            if (p.hit < 0 && static_cast<int>(p.points.size()) < checkSteps) c.doubtful = true;
        }
        if (c.type == MinutiaType::Ending) {
            const float traced = PathAngle(c.x, c.y, paths[0], directionSteps) + kPi;
            c.angle = Direction(f, ridges, c.x, c.y, c.type, traced);
        } else {
            float a[3];
            for (int k = 0; k < 3; ++k) a[k] = PathAngle(c.x, c.y, paths[k], directionSteps);
            // The two forks run close together; the remaining branch is the stem.
            int stem = 2;
            float closest = AngleDistance(a[0], a[1]);
            if (AngleDistance(a[0], a[2]) < closest) closest = AngleDistance(a[0], a[2]), stem = 1;
            if (AngleDistance(a[1], a[2]) < closest) stem = 0;
            c.angle = Direction(f, ridges, c.x, c.y, c.type, a[stem]);
        }
    }

    // Endings facing each other across a gap are one broken ridge.
    for (std::size_t i = 0; i < cands.size(); ++i) {
        Candidate& a = cands[i];
        if (a.type != MinutiaType::Ending || !a.valid) continue;
        const float period = f.periodAt(a.x, a.y);
        for (std::size_t j = i + 1; j < cands.size(); ++j) {
            Candidate& b = cands[j];
            if (b.type != MinutiaType::Ending || !b.valid) continue;
            const float dx = static_cast<float>(b.x - a.x), dy = static_cast<float>(b.y - a.y);
            const float d = std::hypot(dx, dy);
            if (d > 2.f * period || d < 1.f) continue;
            const float toB = std::atan2(dy, dx);
            if (AngleDistance(a.angle, b.angle + kPi) < kPi / 4 &&
                AngleDistance(a.angle, toB) < kPi / 3) {
                a.doubtful = b.doubtful = true;
            }
        }
    }

    // Near the edge of the print ridges end where the contact ends, so minutiae
    // there are kept only when the print has too few elsewhere (small or dry
    // prints), and then after all the others.
    std::vector<Minutia> inner, edge, doubtful;
    for (const Candidate& c : cands) {
        if (!c.valid || c.removed) continue;
        const float depthBlocks = f.depthAt(c.x, c.y);
        if (depthBlocks < 1) continue;
        if (c.type == MinutiaType::Ending) {
            const float ax = c.x + 16 * std::cos(c.angle), ay = c.y + 16 * std::sin(c.angle);
            if (ax < 0 || ay < 0 || ax >= w || ay >= h || f.depthAt(ax, ay) < 1) continue;
        }
        float coherence = 0;
        f.orientationAt(c.x, c.y, &coherence);
        const float depth = std::clamp((depthBlocks - 1) / 3.f, 0.f, 1.f);
        const float q = 100.f * std::min(1.f, coherence / 0.7f) * (0.6f + 0.4f * depth);
        Minutia m;
        m.x = static_cast<std::uint16_t>(c.x);
        m.y = static_cast<std::uint16_t>(c.y);
        m.direction = AngleToByte(c.angle);
        m.type = c.type;
        m.quality = static_cast<std::uint8_t>(std::clamp(std::lround(q), 0L, 100L));
        m.curvature =
            static_cast<std::uint8_t>(std::clamp(std::lround(255 * (1 - coherence)), 0L, 255L));
        m.period =
            static_cast<std::uint8_t>(std::clamp(std::lround(10 * f.periodAt(c.x, c.y)), 0L, 255L));
        if (c.doubtful) {
            // Counts for half as much in a match as a minutia of that place would.
            m.quality = static_cast<std::uint8_t>(m.quality / 2);
            doubtful.push_back(m);
        } else {
            (depthBlocks < 2 ? edge : inner).push_back(m);
        }
    }

    // Dense clusters come from noise, not from skin.
    auto crowded = [](const std::vector<Minutia>& all, std::size_t i) {
        const Minutia& m = all[i];
        const float radius = std::max(6.f, 0.9f * m.period / 10.f);
        int near = 0;
        for (std::size_t j = 0; j < all.size(); ++j)
            if (j != i && std::hypot(m.x - all[j].x, m.y - all[j].y) < radius) ++near;
        return near >= 2;
    };
    auto byQuality = [](const Minutia& a, const Minutia& b) { return a.quality > b.quality; };
    std::vector<Minutia> kept;
    for (std::size_t i = 0; i < inner.size(); ++i)
        if (!crowded(inner, i) && inner[i].quality >= settings.minMinutiaQuality)
            kept.push_back(inner[i]);
    std::stable_sort(kept.begin(), kept.end(), byQuality);
    if (kept.size() < kSparse) {
        std::vector<Minutia> all(inner);
        all.insert(all.end(), edge.begin(), edge.end());
        std::vector<Minutia> extra;
        for (std::size_t i = inner.size(); i < all.size(); ++i)
            if (!crowded(all, i) && all[i].quality >= settings.minMinutiaQuality)
                extra.push_back(all[i]);
        std::stable_sort(extra.begin(), extra.end(), byQuality);
        extra.resize(std::min(extra.size(), kSparse - kept.size()));
        kept.insert(kept.end(), extra.begin(), extra.end());
    }
    const std::size_t limit = static_cast<std::size_t>(std::clamp(settings.maxMinutiae, 0, 255));
    if (kept.size() > limit) kept.resize(limit);
    if (reserve != nullptr) {
        reserve->clear();
        for (std::size_t i = 0; i < doubtful.size(); ++i)
            if (!crowded(doubtful, i)) reserve->push_back(doubtful[i]);
        std::stable_sort(reserve->begin(), reserve->end(), byQuality);
    }
    return kept;
}

}  // namespace fp::detail
