// Preparing a print for comparison: neighbourhoods, occupancy cells and the
// orders and grids the comparison looks things up in.
#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "MatcherInternal.h"
#include "fp/Matcher.h"

namespace fp {
namespace detail {
namespace {

using namespace params;

// atan2 in steps of pi/128 with an error below half a step; the library call
// dominated preparation.
int AtanUnits(float y, float x) {
    const float ax = std::fabs(x), ay = std::fabs(y);
    if (ax == 0 && ay == 0) return 0;
    const float a = std::min(ax, ay) / std::max(ax, ay), s = a * a;
    float r = ((-0.0464964749f * s + 0.15931422f) * s - 0.327622764f) * s * a + a;
    if (ay > ax) r = kPi / 2 - r;
    if (x < 0) r = kPi - r;
    if (y < 0) r = -r;
    return ToUnits(r);
}

// AtanUnits of every whole-pixel offset closer than 120 pixels (57 kB, made
// once), so that preparation looks bearings up instead of working them out:
// neighbours are only looked for within 120 pixels, and minutia coordinates
// are whole pixels.
constexpr int kBearingReach = static_cast<int>(kNeighbourReach) - 1;
struct BearingTable {
    static constexpr int kSide = 2 * kBearingReach + 1;
    std::uint8_t units[kSide * kSide];
    BearingTable() {
        for (int dy = -kBearingReach; dy <= kBearingReach; ++dy)
            for (int dx = -kBearingReach; dx <= kBearingReach; ++dx)
                units[(dy + kBearingReach) * kSide + dx + kBearingReach] =
                    static_cast<std::uint8_t>(
                        AtanUnits(static_cast<float>(dy), static_cast<float>(dx)));
    }
    std::uint8_t at(float dx, float dy) const {
        return units[(static_cast<int>(dy) + kBearingReach) * kSide + static_cast<int>(dx) +
                     kBearingReach];
    }
};
const BearingTable& Bearings() {
    static const BearingTable table;
    return table;
}

// The cosine and sine of twice every ridge angle of an orientation grid
// (steps of pi/255).
struct DoubledAngles {
    float c[256], s[256];
    DoubledAngles() {
        for (int b = 0; b < 256; ++b) {
            c[b] = std::cos(2 * b * kPi / 255);
            s[b] = std::sin(2 * b * kPi / 255);
        }
    }
};
const DoubledAngles& Doubled() {
    static const DoubledAngles table;
    return table;
}

// Buffers for preparing prints, kept per thread.
struct PrepareScratch {
    std::vector<std::uint32_t> nearKeys, farKeys;
    std::vector<int> ranks;
    std::vector<std::uint16_t> next = std::vector<std::uint16_t>(256);
    std::vector<std::uint16_t> rowNext;
    std::vector<float> centres;
};
PrepareScratch& Scratchpad() {
    thread_local PrepareScratch scratch;
    return scratch;
}

// Ranks of `count` distinct keys: for each, how many are smaller.
void Rank(const std::uint32_t* keys, int count, int* rank) {
    int k = 0;
#ifdef FP_MATCHER_SSE2
    // Keys stay below 2^31, so signed comparisons order them. The padding
    // after the keys holds the largest key, which ranks below nothing.
    for (; k < count; ++k) {
        const __m128i key = _mm_set1_epi32(static_cast<int>(keys[k]));
        int smaller = 0;
        for (int m = 0; m < count; m += 4) {
            const __m128i other = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + m));
            smaller += LaneCount(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(key, other))));
        }
        rank[k] = smaller;
    }
#endif
    for (; k < count; ++k) {
        int smaller = 0;
        for (int m = 0; m < count; ++m) smaller += keys[m] < keys[k];
        rank[k] = smaller;
    }
}

// Keys (the squared distance, then the index) of the points other than
// point i whose squared distance from it lies in [low, high), in row order;
// returns how many. Only the bands of rows within `reach` (at least the
// square root of `high`) are looked at. The squares are whole numbers below
// 2^15.
int Within(const PrintLayout& p, std::size_t i, float low, float high, float reach,
           std::uint32_t* keys) {
    const float ax = p.points[i].x, ay = p.points[i].y;
    const int bands = static_cast<int>(p.band.size()) - 1;
    const int top = std::clamp(static_cast<int>(std::floor((ay - reach) / 4)), 0, bands - 1);
    const int bottom = std::clamp(static_cast<int>(std::floor((ay + reach) / 4)), 0, bands - 1);
    const std::size_t end = p.band[static_cast<std::size_t>(bottom) + 1];
    std::size_t k = p.band[static_cast<std::size_t>(top)];
    int count = 0;
#ifdef FP_MATCHER_SSE2
    const __m128 x = _mm_set1_ps(ax), y = _mm_set1_ps(ay);
    const __m128 lo = _mm_set1_ps(low), hi = _mm_set1_ps(high);
    // Four at a time, each key written and kept or not: which groups hold
    // one varies from point to point, and a mispredicted branch costs more
    // than the four stores. The rows are padded for the loads; positions
    // from `end` on are left out.
    const __m128i self = _mm_set1_epi32(static_cast<int>(i));
    const __m128i last = _mm_set1_epi32(static_cast<int>(end));
    __m128i position =
        _mm_add_epi32(_mm_set1_epi32(static_cast<int>(k)), _mm_setr_epi32(0, 1, 2, 3));
    const __m128i four = _mm_set1_epi32(4), zero = _mm_setzero_si128();
    for (; k < end; k += 4, position = _mm_add_epi32(position, four)) {
        const __m128 dx = _mm_sub_ps(_mm_loadu_ps(&p.rowX[k]), x);
        const __m128 dy = _mm_sub_ps(_mm_loadu_ps(&p.rowY[k]), y);
        const __m128 d2 = _mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy));
        const __m128i index = _mm_unpacklo_epi16(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&p.rowIndex[k])), zero);
        const __m128i other =
            _mm_andnot_si128(_mm_cmpeq_epi32(index, self), _mm_cmpgt_epi32(last, position));
        const __m128 within = _mm_and_ps(_mm_castsi128_ps(other),
                                         _mm_and_ps(_mm_cmpge_ps(d2, lo), _mm_cmplt_ps(d2, hi)));
        const int lanes = _mm_movemask_ps(within);
        alignas(16) std::uint32_t kk[4];
        _mm_store_si128(
            reinterpret_cast<__m128i*>(kk),
            _mm_or_si128(_mm_slli_epi32(_mm_cvttps_epi32(_mm_and_ps(d2, within)), 16), index));
        for (int lane = 0; lane < 4; ++lane) {
            keys[count] = kk[lane];
            count += (lanes >> lane) & 1;
        }
    }
#endif
    for (; k < end; ++k) {
        const float dx = p.rowX[k] - ax, dy = p.rowY[k] - ay;
        const float d2 = dx * dx + dy * dy;
        const std::uint32_t j = p.rowIndex[k];
        if (d2 >= low && d2 < high && j != i)
            keys[count++] = (static_cast<std::uint32_t>(d2) << 16) | j;
    }
    return count;
}

// Row order for the pairing, by y and then index, and where each band of 4
// rows starts in it: a counting sort on bands, then by y within. Padded with
// eight positions outside every image.
void RowOrder(PrintLayout& p) {
    const std::size_t n = p.points.size();
    const int bands = std::max(1, (p.height + 3) / 4);
    p.band.assign(static_cast<std::size_t>(bands) + 1, 0);
    auto bandOf = [&](const PrintLayout::Point& pt) {
        return std::min(bands - 1, static_cast<int>(pt.y) >> 2);
    };
    for (const auto& pt : p.points) ++p.band[static_cast<std::size_t>(bandOf(pt)) + 1];
    for (int k = 0; k < bands; ++k) p.band[k + 1] += p.band[k];
    {
        std::vector<std::uint16_t>& next = Scratchpad().rowNext;
        next.assign(p.band.begin(), p.band.end() - 1);
        p.rowIndex.resize(n + 8);
        for (std::size_t i = 0; i < n; ++i)
            p.rowIndex[next[static_cast<std::size_t>(bandOf(p.points[i]))]++] =
                static_cast<std::uint16_t>(i);
        std::fill(p.rowIndex.begin() + static_cast<std::ptrdiff_t>(n), p.rowIndex.end(), 0);
    }
    for (int k = 0; k < bands; ++k)
        if (p.band[k + 1] - p.band[k] > 1)
            std::sort(p.rowIndex.begin() + p.band[k], p.rowIndex.begin() + p.band[k + 1],
                      [&](std::uint16_t a, std::uint16_t b) {
                          return p.points[a].y != p.points[b].y ? p.points[a].y < p.points[b].y
                                                                : a < b;
                      });
    p.rowX.resize(n + 8);
    p.rowY.resize(n + 8);
    p.rowAngle.resize(n + 8);
    p.rowQuality.resize(n + 8);
    for (std::size_t k = 0; k < n; ++k) {
        const auto& pt = p.points[p.rowIndex[k]];
        p.rowX[k] = pt.x, p.rowY[k] = pt.y;
        p.rowAngle[k] = static_cast<std::uint8_t>(pt.angle);
        p.rowQuality[k] = pt.quality;
    }
    for (std::size_t k = n; k < n + 8; ++k)
        p.rowX[k] = p.rowY[k] = kOutside, p.rowAngle[k] = 0, p.rowQuality[k] = 0;
}

// For every point: its kNeighbours nearest within kReach (by distance, then
// index), and its occupancy cells from all neighbours within kCellReach
// (spread ones within kCellReach + kCellSpreadDistance for a probe). Coordinates are whole
// pixels, so squared distances are whole numbers, exact in float, and order
// the neighbours as the distances do.
void Neighbourhoods(bool asProbe, PrintLayout& p) {
    constexpr int K = PrintLayout::kNeighbours;
    constexpr int W = PrintLayout::kCellWords;
    constexpr float kReach = kNeighbourReach;
    const std::size_t n = p.points.size();
    p.neighbourhoods.resize(n);
    p.cells.assign(n * W, 0);
    if (asProbe) {
        p.spreadCells.assign(n * W, 0);
    } else {
        p.spreadCells.clear();
    }
    const BearingTable& bearings = Bearings();
    PrepareScratch& s = Scratchpad();
    const std::size_t padded = (n + 3) & ~std::size_t{3};
    // Room for every other point, in one of two lists, and padding for Rank.
    s.nearKeys.resize(padded + 4);
    s.farKeys.resize(padded + 4);
    s.ranks.resize(padded + 4);
    // Bearings are needed for the cells, so worked out for all within their
    // reach; the nearest beyond it need theirs only when chosen.
    const float cellReach = asProbe ? kCellReach + kCellSpreadDistance : kCellReach;
    const float nearSquare = cellReach * cellReach, cellSquare = kCellReach * kCellReach;
    auto set = [](std::uint64_t* words, int bit) {
        words[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    };
    for (std::size_t i = 0; i < n; ++i) {
        const auto& a = p.points[i];
        // The others within the reach of the cells; those beyond, up to
        // kReach, count only when the near ones are too few.
        std::uint32_t* nearKeys = s.nearKeys.data();
        std::uint32_t* farKeys = s.farKeys.data();
        const int nearCount = Within(p, i, -1.f, nearSquare, cellReach, nearKeys);
        const int farCount =
            nearCount < K ? Within(p, i, nearSquare, kReach * kReach, kReach, farKeys) : 0;
        // The cells gather in registers: no store waits for the one before.
        std::uint64_t exact[W] = {}, spread[W] = {};
        // The neighbourhood is filled in a copy with one slot more, where
        // those that do not rank among the nearest land: no branch per
        // neighbour.
        PrintLayout::Neighbourhood hood{};
        // Squared distances: the root is only taken of those kept.
        float slotSquare[K + 1];
        std::uint8_t slotBearing[K + 1], slotTurn[K + 1];
        // Order the near ones; the nearest are the first of them, then the
        // first of the far ones when there are too few.
        for (int k = nearCount; k < nearCount + 4; ++k) nearKeys[k] = 0x7FFFFFFFu;
        int* ranks = s.ranks.data();
        Rank(nearKeys, nearCount, ranks);
        for (int c = 0; c < nearCount; ++c) {
            const std::uint32_t kk = nearKeys[c];
            const auto& b = p.points[kk & 0xFFFF];
            const float d2 = static_cast<float>(kk >> 16);
            const float dx = b.x - a.x, dy = b.y - a.y;
            const int bearing = (bearings.at(dx, dy) - a.angle) & 255;
            const int turn = (b.angle - a.angle) & 255;
            const int slot = std::min(ranks[c], K);
            slotSquare[slot] = d2;
            slotBearing[slot] = static_cast<std::uint8_t>(bearing);
            slotTurn[slot] = static_cast<std::uint8_t>(turn);
            {
                // Within the reach of the exact cells or not, without a branch.
                // The ring, d / kCellRing rounded down, from the whole squared distance.
                constexpr float r1 = kCellRing * kCellRing, r2 = 4 * r1, r3 = 9 * r1;
                const int ring = (d2 >= r1) + (d2 >= r2) + (d2 >= r3);
                const int bit = CellBit(ring, bearing >> 5, turn >> 6);
                const std::uint64_t in = d2 < cellSquare ? ~std::uint64_t{0} : 0;
                exact[bit >> 6] |= (std::uint64_t{1} << (bit & 63)) & in;
            }
            if (!asProbe) continue;
            const float d = std::sqrt(d2);
            const int ring0 = static_cast<int>(std::max(0.f, d - kCellSpreadDistance) / kCellRing);
            const int ring1 = std::min(3, static_cast<int>((d + kCellSpreadDistance) / kCellRing));
            for (int r = ring0; r <= ring1; ++r)
                for (int sb : {bearing - kCellSpreadBearing, bearing + kCellSpreadBearing})
                    for (int tb : {turn - kCellSpreadTurn, turn + kCellSpreadTurn})
                        set(spread, CellBit(r, (sb & 255) >> 5, (tb & 255) >> 6));
        }
        int count = std::min(nearCount, K);
        if (count < K && farCount > 0) {
            for (int k = farCount; k < farCount + 4; ++k) farKeys[k] = 0x7FFFFFFFu;
            Rank(farKeys, farCount, ranks);
            const int room = K - count;
            for (int c = 0; c < farCount; ++c) {
                const std::uint32_t kk = farKeys[c];
                const auto& b = p.points[kk & 0xFFFF];
                const int slot = std::min(count + ranks[c], K);
                slotSquare[slot] = static_cast<float>(kk >> 16);
                slotBearing[slot] =
                    static_cast<std::uint8_t>((bearings.at(b.x - a.x, b.y - a.y) - a.angle) & 255);
                slotTurn[slot] = static_cast<std::uint8_t>((b.angle - a.angle) & 255);
            }
            count += std::min(room, farCount);
        }
        hood.count = count;
        for (int k = 0; k < count; ++k)
            hood.distance[k] = std::sqrt(slotSquare[k]), hood.bearing[k] = slotBearing[k],
            hood.turn[k] = slotTurn[k];
        p.neighbourhoods[i] = hood;
        for (int w = 0; w < W; ++w) {
            p.cells[i * W + w] = exact[w];
            if (asProbe) p.spreadCells[i * W + w] = spread[w];
        }
    }
}

// The neighbourhoods of a reference from the neighbours a template stores,
// as Neighbourhoods would work them out.
void StoredHoods(const StoredNeighbourhoods& stored, PrintLayout& p) {
    constexpr int K = PrintLayout::kNeighbours;
    const BearingTable& bearings = Bearings();
    const std::size_t n = p.points.size();
    p.neighbourhoods.resize(n);
    p.spreadCells.clear();
    for (std::size_t i = 0; i < n; ++i) {
        const auto& a = p.points[i];
        const std::uint8_t* nearest = &stored.nearest[i * K];
        PrintLayout::Neighbourhood hood{};
        int count = 0;
        for (; count < K && nearest[count] != StoredNeighbourhoods::kNone; ++count) {
            const auto& b = p.points[nearest[count]];
            const float dx = b.x - a.x, dy = b.y - a.y;
            hood.distance[count] = std::sqrt(dx * dx + dy * dy);
            hood.bearing[count] = static_cast<std::uint8_t>((bearings.at(dx, dy) - a.angle) & 255);
            hood.turn[count] = static_cast<std::uint8_t>((b.angle - a.angle) & 255);
        }
        hood.count = count;
        p.neighbourhoods[i] = hood;
    }
}

}  // namespace

void NearestNeighbours(const std::vector<Minutia>& minutiae, std::vector<std::uint8_t>& nearest) {
    constexpr int K = PrintLayout::kNeighbours;
    const std::size_t n = std::min(minutiae.size(), kMaxTemplateMinutiae);
    // By squared distance, then index, as Neighbourhoods ranks them.
    nearest.assign(n * K, StoredNeighbourhoods::kNone);
    std::vector<std::uint32_t> keys;
    for (std::size_t i = 0; i < n; ++i) {
        keys.clear();
        for (std::size_t j = 0; j < n; ++j) {
            const int dx = minutiae[j].x - minutiae[i].x;
            const int dy = minutiae[j].y - minutiae[i].y;
            const int d2 = dx * dx + dy * dy;
            if (j != i && d2 < kNeighbourReach * kNeighbourReach)
                keys.push_back((static_cast<std::uint32_t>(d2) << 16) |
                               static_cast<std::uint32_t>(j));
        }
        std::sort(keys.begin(), keys.end());
        for (std::size_t k = 0; k < std::min<std::size_t>(keys.size(), K); ++k)
            nearest[i * K + k] = static_cast<std::uint8_t>(keys[k] & 0xFFFF);
    }
}

void StoreNeighbourhoods(const Features& f, StoredNeighbourhoods& out) {
    constexpr int W = PrintLayout::kCellWords;
    const std::size_t n = std::min(f.minutiae.size(), kMaxTemplateMinutiae);
    NearestNeighbours(f.minutiae, out.nearest);
    // The cells as Neighbourhoods works them out.
    Features kept = f;
    kept.minutiae.resize(n);
    PrintLayout layout;
    PrepareLayout(kept, false, layout, false);
    const std::size_t seeding = std::min(n, kSeedMinutiae);
    out.cells.assign(layout.cells.begin(),
                     layout.cells.begin() + static_cast<std::ptrdiff_t>(seeding * W));
    out.present = true;
}

void PrepareFlow(const OrientationGrid& o, FlowCells& out) {
    const DoubledAngles& doubled = Doubled();
    // The buffers only grow: a smaller grid leaves them longer than needed,
    // and the next larger one need not fill them again.
    const std::size_t all = o.angles.size() + 4;
    for (std::vector<float>* v : {&out.x, &out.y, &out.cos, &out.sin})
        if (v->size() < all) v->resize(all);
    std::size_t count = 0;
    const float half = 0.5f * o.cell;
    std::vector<float>& centres = Scratchpad().centres;
    centres.resize(o.columns);
    for (int c = 0; c < o.columns; ++c) centres[c] = static_cast<float>(c * o.cell) + half;
    // Every cell written, the background ones overwritten by the next:
    // which cells are foreground is too irregular for a branch to guess.
    float *x = out.x.data(), *y = out.y.data(), *cs = out.cos.data(), *sn = out.sin.data();
    for (int r = 0; r < o.rows; ++r) {
        const std::uint8_t* row = &o.angles[static_cast<std::size_t>(r) * o.columns];
        const float rowY = static_cast<float>(r * o.cell) + half;
        for (int c = 0; c < o.columns; ++c) {
            x[count] = centres[c];
            y[count] = rowY;
            cs[count] = doubled.c[row[c]];
            sn[count] = doubled.s[row[c]];
            count += row[c] != OrientationGrid::kNone;
        }
    }
    out.count = count;
    const std::size_t padded = (count + 3) & ~std::size_t{3};
    for (std::size_t k = count; k < padded; ++k) x[k] = y[k] = kOutside, cs[k] = sn[k] = 0.f;
}

void PrepareLayout(const Features& f, bool asProbe, PrintLayout& p, bool withFlow,
                   const StoredNeighbourhoods* stored) {
    p.width = f.width;
    p.height = f.height;
    // The foreground grid, checked against the image size here so that the
    // comparison needs no bounds checks; without a mask, one cell covers all.
    const ForegroundMask& m = f.mask;
    if (m.columns > 0 && m.rows > 0 && m.cell > 0) {
        p.insideCell = m.cell;
        p.insideShift = std::has_single_bit(static_cast<unsigned>(m.cell))
                            ? std::countr_zero(static_cast<unsigned>(m.cell))
                            : -1;
        p.insideColumns = (p.width + m.cell - 1) / m.cell;
        const int rows = (p.height + m.cell - 1) / m.cell;
        const std::size_t cells = static_cast<std::size_t>(p.insideColumns) * rows;
        p.inside.resize(cells);
        if (m.columns == p.insideColumns && m.rows == rows && m.bits.size() == cells) {
            std::size_t k = 0;
#ifdef FP_MATCHER_SSE2
            const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
            for (; k + 16 <= cells; k += 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&m.bits[k]));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(&p.inside[k]),
                                 _mm_andnot_si128(_mm_cmpeq_epi8(v, zero), one));
            }
#endif
            for (; k < cells; ++k) p.inside[k] = m.bits[k] != 0;
        } else {
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < p.insideColumns; ++c)
                    p.inside[static_cast<std::size_t>(r) * p.insideColumns + c] = m.At(c, r);
        }
    } else {
        p.insideCell = 1 << 16;
        p.insideShift = 16;
        p.insideColumns = 1;
        p.inside.assign(1, 1);
    }
    // An orientation grid that does not fit its own size counts as none.
    const OrientationGrid& g = f.orientation;
    if (g.cell > 0 && g.angles.size() == static_cast<std::size_t>(g.columns) * g.rows) {
        p.orientation.cell = g.cell;
        p.orientation.columns = g.columns;
        p.orientation.rows = g.rows;
        p.orientation.angles.assign(g.angles.begin(), g.angles.end());
    } else {
        p.orientation = OrientationGrid{};
    }
    const OrientationGrid& o = p.orientation;
    p.flowPrepared = withFlow;
    if (withFlow) PrepareFlow(o, p.flow);
    const DoubledAngles& doubled = Doubled();
    // The grid side of the check is the probe's.
    p.flowGrid.resize(asProbe ? o.angles.size() * 4 : 0);
    for (std::size_t k = 0; k < p.flowGrid.size() / 4; ++k) {
        const std::uint8_t a = o.angles[k];
        float* cell = &p.flowGrid[k * 4];
        const bool fore = a != OrientationGrid::kNone;
        cell[0] = fore ? doubled.c[a] : 0.f;
        cell[1] = fore ? doubled.s[a] : 0.f;
        cell[2] = fore ? 1.f : 0.f;
        cell[3] = 0.f;
    }

    // Indices are 16 bits wide throughout the comparison.
    const std::size_t n = std::min<std::size_t>(f.minutiae.size(), 0xFFFF);
    p.points.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Minutia& mi = f.minutiae[i];
        p.points[i] = {static_cast<float>(mi.x), static_cast<float>(mi.y), mi.direction,
                       mi.quality / 100.f, mi.type};
    }
    RowOrder(p);
    const bool fromStore =
        stored != nullptr && stored->present && !asProbe &&
        stored->nearest.size() == n * PrintLayout::kNeighbours &&
        stored->cells.size() == std::min(n, kSeedMinutiae) * PrintLayout::kCellWords;
    if (fromStore) {
        StoredHoods(*stored, p);
    } else {
        Neighbourhoods(asProbe, p);
    }
    // Ridge counts follow the neighbours' order; features without them, or
    // with counts that do not fit their minutiae, have none known.
    {
        constexpr std::size_t K = PrintLayout::kNeighbours;
        const bool counted = f.ridgeCounts.size() == n * K;
        p.ridgeCounted = counted;
        for (std::size_t i = 0; i < n; ++i) {
            auto& ridges = p.neighbourhoods[i].ridges;
            if (counted) {
                std::copy_n(&f.ridgeCounts[i * K], K, ridges);
            } else {
                std::fill_n(ridges, K, kUnknownRidgeCount);
            }
        }
    }

    // Direction order for the candidate search, of the minutiae that may seed
    // an alignment (the best: they come best quality first): a counting sort,
    // so equal directions keep their index order.
    const std::size_t seeding = std::min<std::size_t>(n, kSeedMinutiae);
    p.firstAtLeast.assign(257, 0);
    for (std::size_t i = 0; i < seeding; ++i)
        ++p.firstAtLeast[static_cast<std::size_t>(p.points[i].angle) + 1];
    for (int a = 0; a < 256; ++a) p.firstAtLeast[a + 1] += p.firstAtLeast[a];
    {
        std::uint16_t* next = Scratchpad().next.data();
        std::copy(p.firstAtLeast.begin(), p.firstAtLeast.end() - 1, next);
        p.byAngle.resize(seeding);
        for (std::size_t i = 0; i < seeding; ++i)
            p.byAngle[next[p.points[i].angle]++] = static_cast<std::uint16_t>(i);
    }
    constexpr int W = PrintLayout::kCellWords;
    const std::uint64_t* cells = fromStore ? stored->cells.data() : p.cells.data();
    p.sortedKeys.resize(seeding);
    p.sortedCells.resize(seeding * W);
    for (std::size_t k = 0; k < seeding; ++k) {
        const std::size_t i = p.byAngle[k];
        p.sortedKeys[k] = 0xFFFFu - i;
        for (int w = 0; w < W; ++w) p.sortedCells[k * W + w] = cells[i * W + w];
    }
}

}  // namespace detail

PreparedPrint Prepare(const Features& features, bool asProbe) {
    PreparedPrint p;
    PrepareInto(features, asProbe, p);
    return p;
}

void PrepareInto(const Features& features, bool asProbe, PreparedPrint& out) {
    detail::PrepareLayout(features, asProbe, out.writableLayout());
}

}  // namespace fp
