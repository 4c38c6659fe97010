// Local neighbourhoods propose minutia pairs; each of the best pairs seeds a
// rigid alignment that is refined by least squares and scored by the share of
// minutiae that pair up inside the region both prints show.
#include "fp/Matcher.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "Internal.h"

namespace fp {
namespace {

using detail::AngleDistance;
using detail::kPi;
using detail::WrapAngle;

constexpr int kGridCell = 32;
constexpr int kDefaultHypotheses = 12;

struct Transform {
    float c = 1, s = 0, dx = 0, dy = 0;
    float angle = 0;
    void apply(float x, float y, float& ox, float& oy) const {
        ox = c * x - s * y + dx;
        oy = s * x + c * y + dy;
    }
};

Transform FromPair(const PreparedPrint::Point& p, const PreparedPrint::Point& r) {
    Transform t;
    t.angle = r.angle - p.angle;
    t.c = std::cos(t.angle), t.s = std::sin(t.angle);
    t.dx = r.x - (t.c * p.x - t.s * p.y);
    t.dy = r.y - (t.s * p.x + t.c * p.y);
    return t;
}

// Similarity of two neighbourhoods in 0..1: the share of neighbours that agree
// in distance, bearing and relative direction.
float LocalSimilarity(const PreparedPrint& a, int i, const PreparedPrint& b, int j) {
    constexpr int K = PreparedPrint::kNeighbours;
    const auto* na = &a.neighbours[static_cast<std::size_t>(i) * K];
    const auto* nb = &b.neighbours[static_cast<std::size_t>(j) * K];
    const int ka = a.neighbourCount[i], kb = b.neighbourCount[j];
    if (ka < 2 || kb < 2) return 0;
    unsigned used = 0;
    float sum = 0;
    for (int u = 0; u < ka; ++u) {
        const float tolerance = 6.f + 0.08f * na[u].distance;
        int best = -1;
        float bestCost = 1.f;
        for (int v = 0; v < kb; ++v) {
            if (used >> v & 1) continue;
            const float dd = std::fabs(na[u].distance - nb[v].distance);
            if (dd > tolerance) {
                if (nb[v].distance > na[u].distance) break;
                continue;
            }
            const float db = AngleDistance(na[u].bearing, nb[v].bearing);
            const float dt = AngleDistance(na[u].turn, nb[v].turn);
            if (db > 0.35f || dt > 0.45f) continue;
            const float cost = (dd / tolerance + db / 0.35f + dt / 0.45f) / 3;
            if (cost < bestCost) bestCost = cost, best = v;
        }
        if (best >= 0) {
            used |= 1u << best;
            sum += 1.f - 0.5f * bestCost;
        }
    }
    return sum / static_cast<float>(std::max(ka, kb));
}

bool InMask(const PreparedPrint& p, float x, float y) {
    if (x < 0 || y < 0 || x >= p.width || y >= p.height) return false;
    if (p.mask.columns == 0) return true;
    return p.mask.At(static_cast<int>(x) / p.mask.cell, static_cast<int>(y) / p.mask.cell);
}

struct Pairing {
    int matched = 0;
    float weight = 0;
    std::vector<std::pair<int, int>> pairs;
};

// Greedy one-to-one pairing of the transformed probe with the reference.
Pairing Pair(const PreparedPrint& probe, const PreparedPrint& ref, const Transform& t, float cx,
             float cy, float baseTolerance) {
    struct Link {
        float cost;
        std::uint16_t p, r;
    };
    std::vector<Link> links;
    constexpr float kAngleTolerance = 0.5f;
    for (std::size_t i = 0; i < probe.points.size(); ++i) {
        const auto& pp = probe.points[i];
        float x, y;
        t.apply(pp.x, pp.y, x, y);
        const float angle = pp.angle + t.angle;
        // Skin stretches: allow more play far from the alignment centre.
        const float tolerance = std::min(baseTolerance + 0.05f * std::hypot(x - cx, y - cy), 28.f);
        const int c0 = std::max(0, static_cast<int>((x - tolerance) / kGridCell));
        const int c1 = std::min(ref.gridColumns - 1, static_cast<int>((x + tolerance) / kGridCell));
        const int r0 = std::max(0, static_cast<int>((y - tolerance) / kGridCell));
        const int r1 = std::min(ref.gridRows - 1, static_cast<int>((y + tolerance) / kGridCell));
        for (int r = r0; r <= r1; ++r)
            for (int c = c0; c <= c1; ++c) {
                const std::size_t cell = static_cast<std::size_t>(r) * ref.gridColumns + c;
                for (int k = ref.gridStart[cell]; k < ref.gridStart[cell + 1]; ++k) {
                    const int j = ref.gridItems[k];
                    const auto& rp = ref.points[j];
                    const float d = std::hypot(rp.x - x, rp.y - y);
                    if (d > tolerance) continue;
                    const float da = AngleDistance(rp.angle, angle);
                    if (da > kAngleTolerance) continue;
                    links.push_back({d / tolerance + da / kAngleTolerance,
                                     static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(j)});
                }
            }
    }
    std::sort(links.begin(), links.end(),
              [](const Link& a, const Link& b) { return a.cost < b.cost; });
    std::vector<std::uint8_t> usedP(probe.points.size(), 0), usedR(ref.points.size(), 0);
    Pairing out;
    for (const Link& l : links) {
        if (usedP[l.p] || usedR[l.r]) continue;
        usedP[l.p] = usedR[l.r] = 1;
        ++out.matched;
        out.weight +=
            (1.f - 0.5f * l.cost) * std::sqrt(probe.points[l.p].quality * ref.points[l.r].quality);
        out.pairs.push_back({l.p, l.r});
    }
    return out;
}

// Least-squares rigid transform mapping the probe side of the pairs onto the reference side.
Transform Refit(const PreparedPrint& probe, const PreparedPrint& ref,
                const std::vector<std::pair<int, int>>& pairs) {
    float px = 0, py = 0, rx = 0, ry = 0;
    for (auto [i, j] : pairs) {
        px += probe.points[i].x, py += probe.points[i].y;
        rx += ref.points[j].x, ry += ref.points[j].y;
    }
    const float n = static_cast<float>(pairs.size());
    px /= n, py /= n, rx /= n, ry /= n;
    float sxx = 0, sxy = 0;
    for (auto [i, j] : pairs) {
        const float ax = probe.points[i].x - px, ay = probe.points[i].y - py;
        const float bx = ref.points[j].x - rx, by = ref.points[j].y - ry;
        sxx += ax * bx + ay * by;
        sxy += ax * by - ay * bx;
    }
    Transform t;
    t.angle = std::atan2(sxy, sxx);
    t.c = std::cos(t.angle), t.s = std::sin(t.angle);
    t.dx = rx - (t.c * px - t.s * py);
    t.dy = ry - (t.s * px + t.c * py);
    return t;
}

// Piecewise linear map from similarity to -log10(false match rate), fitted on
// impostor comparisons (see fingerprint/README.md), extended linearly beyond.
struct CalibrationPoint {
    double similarity, minusLogFmr;
};
constexpr CalibrationPoint kCalibration[] = {
    {0.00, 0.0}, {0.02, 0.3}, {0.05, 1.0}, {0.10, 2.0}, {0.15, 3.0}, {0.20, 4.0},
};

}  // namespace

int ScoreFromSimilarity(double similarity) {
    if (!(similarity > 0)) return 0;
    constexpr std::size_t n = std::size(kCalibration);
    double minusLog;
    if (similarity >= kCalibration[n - 1].similarity) {
        const auto& a = kCalibration[n - 2];
        const auto& b = kCalibration[n - 1];
        minusLog = b.minusLogFmr + (similarity - b.similarity) * (b.minusLogFmr - a.minusLogFmr) /
                                       (b.similarity - a.similarity);
    } else {
        std::size_t k = 1;
        while (kCalibration[k].similarity < similarity) ++k;
        const auto& a = kCalibration[k - 1];
        const auto& b = kCalibration[k];
        minusLog = a.minusLogFmr + (similarity - a.similarity) * (b.minusLogFmr - a.minusLogFmr) /
                                       (b.similarity - a.similarity);
    }
    return static_cast<int>(std::min(std::lround(12 * minusLog), 100000L));
}

PreparedPrint Prepare(const Features& f) {
    PreparedPrint p;
    p.width = f.width;
    p.height = f.height;
    p.mask = f.mask;
    for (const Minutia& m : f.minutiae)
        p.points.push_back({static_cast<float>(m.x), static_cast<float>(m.y),
                            detail::ByteToAngle(m.direction), m.quality / 100.f, m.type});
    const std::size_t n = p.points.size();
    constexpr int K = PreparedPrint::kNeighbours;
    p.neighbours.assign(n * K, {});
    p.neighbourCount.assign(n, 0);
    std::vector<std::pair<float, int>> byDistance;
    for (std::size_t i = 0; i < n; ++i) {
        byDistance.clear();
        const auto& a = p.points[i];
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i) continue;
            const float d = std::hypot(p.points[j].x - a.x, p.points[j].y - a.y);
            if (d < 120.f) byDistance.push_back({d, static_cast<int>(j)});
        }
        const std::size_t k = std::min<std::size_t>(K, byDistance.size());
        std::partial_sort(byDistance.begin(), byDistance.begin() + k, byDistance.end());
        for (std::size_t m = 0; m < k; ++m) {
            const auto& b = p.points[byDistance[m].second];
            auto& nb = p.neighbours[i * K + m];
            nb.distance = byDistance[m].first;
            nb.bearing = WrapAngle(std::atan2(b.y - a.y, b.x - a.x) - a.angle);
            nb.turn = WrapAngle(b.angle - a.angle);
        }
        p.neighbourCount[i] = static_cast<std::uint8_t>(k);
    }
    p.gridColumns = std::max(1, (p.width + kGridCell - 1) / kGridCell);
    p.gridRows = std::max(1, (p.height + kGridCell - 1) / kGridCell);
    const std::size_t cells = static_cast<std::size_t>(p.gridColumns) * p.gridRows;
    std::vector<int> counts(cells + 1, 0);
    auto cellOf = [&](const PreparedPrint::Point& pt) {
        const int c = std::clamp(static_cast<int>(pt.x) / kGridCell, 0, p.gridColumns - 1);
        const int r = std::clamp(static_cast<int>(pt.y) / kGridCell, 0, p.gridRows - 1);
        return static_cast<std::size_t>(r) * p.gridColumns + c;
    };
    for (const auto& pt : p.points) ++counts[cellOf(pt) + 1];
    for (std::size_t c = 0; c < cells; ++c) counts[c + 1] += counts[c];
    p.gridStart.assign(counts.begin(), counts.end());
    p.gridItems.assign(n, 0);
    std::vector<int> fill(counts.begin(), counts.end() - 1);
    for (std::size_t i = 0; i < n; ++i)
        p.gridItems[fill[cellOf(p.points[i])]++] = static_cast<std::uint16_t>(i);
    return p;
}

Comparison Compare(const PreparedPrint& probe, const PreparedPrint& ref,
                   const MatcherSettings& settings) {
    Comparison best;
    const std::size_t np = probe.points.size(), nr = ref.points.size();
    if (np < 3 || nr < 3) return best;
    const float maxRotation = std::clamp(settings.maxRotation, 0, 128) * kPi / 128;

    struct Seed {
        float similarity;
        int p, r;
    };
    std::vector<Seed> seeds;
    seeds.reserve(np * 4);
    for (std::size_t i = 0; i < np; ++i)
        for (std::size_t j = 0; j < nr; ++j) {
            if (AngleDistance(probe.points[i].angle, ref.points[j].angle) > maxRotation) continue;
            const float s = LocalSimilarity(probe, static_cast<int>(i), ref, static_cast<int>(j));
            if (s > 0.2f) seeds.push_back({s, static_cast<int>(i), static_cast<int>(j)});
        }
    const std::size_t hypotheses = std::min<std::size_t>(
        seeds.size(), settings.hypotheses > 0 ? settings.hypotheses : kDefaultHypotheses);
    std::partial_sort(seeds.begin(), seeds.begin() + hypotheses, seeds.end(),
                      [](const Seed& a, const Seed& b) { return a.similarity > b.similarity; });

    for (std::size_t h = 0; h < hypotheses; ++h) {
        const auto& sp = probe.points[seeds[h].p];
        const auto& sr = ref.points[seeds[h].r];
        Transform t = FromPair(sp, sr);
        Pairing pairing = Pair(probe, ref, t, sr.x, sr.y, 12.f);
        if (pairing.matched >= 3) {
            const Transform refined = Refit(probe, ref, pairing.pairs);
            if (AngleDistance(refined.angle, 0) <= maxRotation + 0.1f) {
                float cx = 0, cy = 0;
                for (auto [i, j] : pairing.pairs) cx += ref.points[j].x, cy += ref.points[j].y;
                cx /= pairing.pairs.size(), cy /= pairing.pairs.size();
                Pairing again = Pair(probe, ref, refined, cx, cy, 10.f);
                if (again.matched >= pairing.matched) pairing = std::move(again), t = refined;
            }
        }
        if (pairing.matched < 2) continue;

        // Only minutiae that the other print could have shown count against a match.
        int seenP = 0, seenR = 0;
        for (const auto& pp : probe.points) {
            float x, y;
            t.apply(pp.x, pp.y, x, y);
            seenP += InMask(ref, x, y);
        }
        Transform inverse;
        inverse.angle = -t.angle;
        inverse.c = t.c, inverse.s = -t.s;
        inverse.dx = -(t.c * t.dx + t.s * t.dy);
        inverse.dy = -(-t.s * t.dx + t.c * t.dy);
        for (const auto& rp : ref.points) {
            float x, y;
            inverse.apply(rp.x, rp.y, x, y);
            seenR += InMask(probe, x, y);
        }
        constexpr float kFloor = 12.f;
        const float m = pairing.weight;
        const double similarity =
            m * m / (std::max<float>(seenP, kFloor) * std::max<float>(seenR, kFloor));
        if (similarity > best.similarity) {
            best.similarity = similarity;
            best.matched = pairing.matched;
            best.rotation = t.angle;
            best.dx = t.dx;
            best.dy = t.dy;
        }
    }
    best.score = ScoreFromSimilarity(best.similarity);
    return best;
}

TemplateError Matcher::IdentifyStart(const std::uint8_t* probe, std::size_t size) {
    Features f;
    const TemplateError error = DecodeTemplate(probe, size, f);
    if (error != TemplateError::None) {
        identifying_ = false;
        return error;
    }
    IdentifyStart(f);
    return TemplateError::None;
}

void Matcher::IdentifyStart(const Features& probe) {
    probe_ = Prepare(probe);
    last_ = {};
    identifying_ = true;
}

TemplateError Matcher::IdentifyNext(const std::uint8_t* reference, std::size_t size, int& score) {
    Features f;
    const TemplateError error = DecodeTemplate(reference, size, f);
    if (error != TemplateError::None) return error;
    score = IdentifyNext(f);
    return TemplateError::None;
}

int Matcher::IdentifyNext(const Features& reference) {
    last_ = Compare(probe_, Prepare(reference), settings_);
    return last_.score >= settings_.threshold ? last_.score : 0;
}

void Matcher::IdentifyEnd() {
    identifying_ = false;
    probe_ = {};
}

}  // namespace fp
