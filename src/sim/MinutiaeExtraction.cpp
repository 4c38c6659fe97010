#include "sim/MinutiaeExtraction.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "sim/DetMath.h"

namespace kvt::sim {

namespace {

// Neighbours in cyclic order N, NE, E, SE, S, SW, W, NW.
constexpr int kDx[8] = {0, 1, 1, 1, 0, -1, -1, -1};
constexpr int kDy[8] = {-1, -1, 0, 1, 1, 1, 0, -1};

struct Skeleton {
    int w, h;
    const std::vector<uint8_t>& px;
    bool On(int x, int y) const {
        return x >= 0 && y >= 0 && x < w && y < h && px[static_cast<size_t>(y) * w + x];
    }
    int Crossing(int x, int y) const {
        int cn = 0;
        for (int k = 0; k < 8; ++k)
            cn += On(x + kDx[k], y + kDy[k]) != On(x + kDx[(k + 1) % 8], y + kDy[(k + 1) % 8]);
        return cn / 2;
    }
    int Count(int x, int y) const {
        int n = 0;
        for (int k = 0; k < 8; ++k) n += On(x + kDx[k], y + kDy[k]);
        return n;
    }
};

struct Candidate {
    int x, y;
    MinutiaType type;
    bool removed = false;
    double angle = 0;  // radians
};

struct TraceEnd {
    int x, y;         // last pixel reached
    int steps;        // steps taken
    bool hitSpecial;  // stopped on a pixel whose crossing number is not 2
};

// Follows the skeleton from (x0, y0) through its neighbour (x1, y1) for at most
// maxSteps pixels.
TraceEnd Trace(const Skeleton& s, int x0, int y0, int x1, int y1, int maxSteps) {
    int px = x0, py = y0, cx = x1, cy = y1;
    int steps = 1;
    int visitedX[64], visitedY[64];
    int nv = 0;
    visitedX[nv] = x0, visitedY[nv++] = y0;
    while (steps < maxSteps) {
        if (s.Crossing(cx, cy) != 2) return {cx, cy, steps, true};
        visitedX[nv] = cx, visitedY[nv++] = cy;
        int best = -1;
        for (int pass = 0; pass < 2 && best < 0; ++pass) {
            for (int k = 0; k < 8; ++k) {
                const int nx = cx + kDx[k], ny = cy + kDy[k];
                if (!s.On(nx, ny)) continue;
                bool seen = false;
                for (int v = 0; v < nv; ++v) seen |= (visitedX[v] == nx && visitedY[v] == ny);
                if (seen) continue;
                // Prefer pixels not adjacent to the previous one (no corner cuts).
                if (pass == 0 && std::abs(nx - px) <= 1 && std::abs(ny - py) <= 1) continue;
                best = k;
                if (k % 2 == 0) break;  // a 4-neighbour is the straightest step
            }
        }
        if (best < 0) return {cx, cy, steps, false};
        px = cx, py = cy;
        cx += kDx[best], cy += kDy[best];
        ++steps;
        if (nv >= 63) break;
    }
    return {cx, cy, steps, false};
}

// Starting neighbours of the branches leaving (x, y): one per run of set
// neighbours in cyclic order.
int BranchStarts(const Skeleton& s, int x, int y, int* bx, int* by) {
    int first = -1;
    for (int k = 0; k < 8; ++k)
        if (!s.On(x + kDx[k], y + kDy[k])) {
            first = k;
            break;
        }
    if (first < 0) return 0;
    int n = 0;
    for (int i = 1; i <= 8 && n < 8; ++i) {
        const int k = (first + i) % 8;
        if (s.On(x + kDx[k], y + kDy[k]) && !s.On(x + kDx[(k + 7) % 8], y + kDy[(k + 7) % 8])) {
            // Start of a run: prefer a 4-neighbour inside the run.
            int pick = k;
            for (int j = k; s.On(x + kDx[j % 8], y + kDy[j % 8]) && j < k + 8; ++j)
                if ((j % 8) % 2 == 0) {
                    pick = j % 8;
                    break;
                }
            bx[n] = x + kDx[pick], by[n] = y + kDy[pick];
            ++n;
        }
    }
    return n;
}

double Direction(int fromX, int fromY, int toX, int toY) {
    return det::Atan2(-(static_cast<double>(toY) - fromY), static_cast<double>(toX) - fromX);
}

double AngleGap(double a, double b) {
    return std::fabs(det::WrapPi(a - b));
}

}  // namespace

void Thin(std::vector<uint8_t>& img, int w, int h) {
    auto on = [&](int x, int y) -> int {
        return (x >= 0 && y >= 0 && x < w && y < h) ? img[static_cast<size_t>(y) * w + x] : 0;
    };
    std::vector<size_t> del;
    bool changed = true;
    while (changed) {
        changed = false;
        for (int pass = 0; pass < 2; ++pass) {
            del.clear();
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    if (!img[static_cast<size_t>(y) * w + x]) continue;
                    const int p2 = on(x, y - 1), p3 = on(x + 1, y - 1), p4 = on(x + 1, y),
                              p5 = on(x + 1, y + 1);
                    const int p6 = on(x, y + 1), p7 = on(x - 1, y + 1), p8 = on(x - 1, y),
                              p9 = on(x - 1, y - 1);
                    const int b = p2 + p3 + p4 + p5 + p6 + p7 + p8 + p9;
                    if (b < 2 || b > 6) continue;
                    const int a = (!p2 && p3) + (!p3 && p4) + (!p4 && p5) + (!p5 && p6) +
                                  (!p6 && p7) + (!p7 && p8) + (!p8 && p9) + (!p9 && p2);
                    if (a != 1) continue;
                    if (pass == 0 ? (p2 && p4 && p6) || (p4 && p6 && p8)
                                  : (p2 && p4 && p8) || (p2 && p6 && p8))
                        continue;
                    del.push_back(static_cast<size_t>(y) * w + x);
                }
            }
            for (size_t i : del) img[i] = 0;
            changed |= !del.empty();
        }
    }
    // Remove staircase pixels: a pixel whose removal keeps the 8-connectivity
    // (N and E set with NE clear, and so on) makes false crossing numbers.
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (!img[static_cast<size_t>(y) * w + x]) continue;
            const int n = on(x, y - 1), e = on(x + 1, y), s = on(x, y + 1), ww = on(x - 1, y);
            const int ne = on(x + 1, y - 1), se = on(x + 1, y + 1), sw = on(x - 1, y + 1),
                      nw = on(x - 1, y - 1);
            const int cnt = n + e + s + ww + ne + se + sw + nw;
            if (cnt != 2) continue;
            if ((n && e && !sw) || (e && s && !nw) || (s && ww && !ne) || (ww && n && !se))
                img[static_cast<size_t>(y) * w + x] = 0;
        }
    }
}

std::vector<Minutia> ExtractMinutiae(const ExtractionInput& in) {
    const int w = in.width, h = in.height;
    std::vector<uint8_t> skel(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < skel.size(); ++i) skel[i] = (in.ridge[i] && in.inside[i]) ? 1 : 0;
    Thin(skel, w, h);
    const Skeleton s{w, h, skel};

    std::vector<Candidate> cands;
    for (int y = 1; y + 1 < h; ++y) {
        for (int x = 1; x + 1 < w; ++x) {
            if (!skel[static_cast<size_t>(y) * w + x]) continue;
            const int cn = s.Crossing(x, y);
            if (cn == 1)
                cands.push_back({x, y, MinutiaType::Ending});
            else if (cn == 3)
                cands.push_back({x, y, MinutiaType::Bifurcation});
        }
    }
    // Far enough inside the outline.
    const int bd = in.borderDistance;
    for (auto& c : cands) {
        for (int dy = -bd; dy <= bd && !c.removed; ++dy)
            for (int dx = -bd; dx <= bd && !c.removed; ++dx) {
                if (dx * dx + dy * dy > bd * bd) continue;
                const int x = c.x + dx, y = c.y + dy;
                if (x < 0 || y < 0 || x >= w || y >= h ||
                    !in.inside[static_cast<size_t>(y) * w + x])
                    c.removed = true;
            }
    }
    auto nearest = [&](int x, int y, int radius) -> Candidate* {
        Candidate* best = nullptr;
        int bestD = radius * radius + 1;
        for (auto& c : cands) {
            const int d = (c.x - x) * (c.x - x) + (c.y - y) * (c.y - y);
            if (d < bestD) bestD = d, best = &c;
        }
        return best;
    };
    // Junction clusters: bifurcations within 2 pixels are one fork.
    for (size_t i = 0; i < cands.size(); ++i) {
        for (size_t j = i + 1; j < cands.size(); ++j) {
            if (cands[i].type != MinutiaType::Bifurcation ||
                cands[j].type != MinutiaType::Bifurcation)
                continue;
            if (std::abs(cands[i].x - cands[j].x) <= 2 && std::abs(cands[i].y - cands[j].y) <= 2) {
                cands[j].type = MinutiaType::Ending;  // placeholder, dropped below
                cands[j].removed = true;
                cands[j].x = -1000;
            }
        }
    }
    constexpr int kShort = 12;
    const size_t n = cands.size();
    std::vector<uint8_t> drop(n, 0);
    for (size_t i = 0; i < n; ++i) {
        Candidate& c = cands[i];
        if (c.x < 0) continue;
        int bx[8], by[8];
        const int nb = BranchStarts(s, c.x, c.y, bx, by);
        if (c.type == MinutiaType::Ending) {
            if (nb != 1) {
                drop[i] = 1;
                continue;
            }
            const TraceEnd t = Trace(s, c.x, c.y, bx[0], by[0], kShort);
            if (t.hitSpecial) {
                // A spur (ending to fork) or a short island (ending to ending).
                drop[i] = 1;
                if (Candidate* o = nearest(t.x, t.y, 3))
                    drop[static_cast<size_t>(o - cands.data())] = 1;
                continue;
            }
            const TraceEnd far = Trace(s, c.x, c.y, bx[0], by[0], 10);
            c.angle = Direction(far.x, far.y, c.x, c.y);
        } else {
            if (nb != 3) {
                drop[i] = 1;
                continue;
            }
            double dir[3];
            for (int b = 0; b < 3; ++b) {
                const TraceEnd t = Trace(s, c.x, c.y, bx[b], by[b], kShort);
                if (t.hitSpecial && t.steps < kShort - 2) {
                    drop[i] = 1;  // a bridge or a small lake between two forks
                    if (Candidate* o = nearest(t.x, t.y, 3))
                        drop[static_cast<size_t>(o - cands.data())] = 1;
                }
                dir[b] = Direction(c.x, c.y, t.x, t.y);
            }
            // The stem is the branch farthest in angle from the other two.
            int stem = 0;
            double bestGap = -1;
            for (int b = 0; b < 3; ++b) {
                const double gap =
                    AngleGap(dir[b], dir[(b + 1) % 3]) + AngleGap(dir[b], dir[(b + 2) % 3]);
                if (gap > bestGap) bestGap = gap, stem = b;
            }
            c.angle = dir[stem];
        }
    }
    // Two ridge ends facing each other across a short gap are one broken ridge.
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = i + 1; j < n; ++j) {
            if (cands[i].x < 0 || cands[j].x < 0) continue;
            const int dx = cands[i].x - cands[j].x, dy = cands[i].y - cands[j].y;
            if (dx * dx + dy * dy < 8 * 8) drop[i] = drop[j] = 1;
        }
    }
    std::vector<Minutia> out;
    for (size_t i = 0; i < n; ++i) {
        const Candidate& c = cands[i];
        if (c.x < 0 || c.removed || drop[i]) continue;
        // Snap the traced direction to the local ridge orientation.
        const double theta = in.orientation[static_cast<size_t>(c.y) * w + c.x];
        const double a = AngleGap(theta, c.angle) <= det::kHalfPi ? theta : theta + det::kPi;
        Minutia m;
        m.x = static_cast<float>(c.x);
        m.y = static_cast<float>(c.y);
        m.angle = static_cast<float>(det::Deg(det::WrapTwoPi(a)));
        if (m.angle >= 360.0f) m.angle = 0.0f;
        m.type = c.type;
        m.id = static_cast<uint16_t>(out.size());
        out.push_back(m);
    }
    return out;
}

}  // namespace kvt::sim
