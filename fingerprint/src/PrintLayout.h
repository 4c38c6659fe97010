// What preparation makes of a print for the comparison: its minutiae with
// local neighbourhoods, occupancy cells, and the orders and grids the
// comparison looks things up in. Internal to the engine; fp::PreparedPrint
// holds one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "MatchParameters.h"
#include "fp/Features.h"
#include "fp/Template.h"

namespace fp::detail {

// The foreground cells of an orientation grid: their centres and the cosine
// and sine of twice their ridge angle, `count` of them, padded to a multiple
// of four with cells outside every image.
struct FlowCells {
    std::size_t count = 0;
    std::vector<float> x, y, cos, sin;
};

struct PrintLayout {
    // Angles are in steps of pi/128, as in the template.
    struct Point {
        float x, y;
        int angle;
        float quality;  // 0..1
        MinutiaType type;
    };
    static constexpr int kNeighbours = params::kNeighbours;
    // The nearest neighbours of one minutia, nearest first: distance, and
    // bearing and direction relative to the minutia's own direction.
    struct Neighbourhood {
        float distance[kNeighbours];
        std::uint8_t bearing[kNeighbours];
        std::uint8_t turn[kNeighbours];
        int count;
        // Ridges crossed on the way to each, kUnknownRidgeCount when not known.
        std::uint8_t ridges[kNeighbours];
    };

    std::vector<Point> points;
    // The points once more, ordered by y (by index among equal y), side by
    // side for vector loads and padded with eight positions outside every
    // image (index 0); band[k] is the first of them with y >= 4 k, up to the
    // height.
    std::vector<float> rowX, rowY;
    std::vector<std::uint16_t> rowIndex;
    std::vector<std::uint8_t> rowAngle;
    std::vector<float> rowQuality;  // padded with 0
    std::vector<std::uint16_t> band;
    std::vector<Neighbourhood> neighbourhoods;  // one per point
    bool ridgeCounted = false;                  // the features carried ridge counts
    // Coarse neighbourhood occupancy (distance ring x sector x relative
    // direction), exact and with tolerance spread; compared by popcount to
    // pick the pairs worth a full neighbourhood comparison.
    std::vector<std::uint64_t> cells, spreadCells;  // kCellWords per point
    static constexpr int kCellWords = 2;
    // The points ordered by direction, with their cells in that order, so a
    // probe minutia visits only the reference minutiae within the rotation
    // limit; firstAtLeast[a] is the first position with a direction >= a.
    std::vector<std::uint16_t> byAngle;
    std::vector<std::uint64_t> sortedCells;
    std::vector<std::uint64_t> sortedKeys;    // 0xFFFF - index, the low bits of a candidate's key
    std::vector<std::uint16_t> firstAtLeast;  // 257 entries
    // The foreground on a grid that covers the whole image (every cell set
    // when the template has no mask), for counting the minutiae one print
    // could have shown of the other.
    int insideCell = 0, insideShift = -1, insideColumns = 0;
    std::vector<std::uint8_t> inside;
    OrientationGrid orientation;
    // Ridge flow, checked for an alignment by the reference's foreground
    // cells against the probe's grid. The reference cache leaves the cells
    // out (flowPrepared false) until a reference is seen again: most
    // references seen once never reach the check. The grid (a probe's
    // only): for each cell the cosine and sine of twice its ridge angle and
    // 1, then 0 (all 0 in the background).
    FlowCells flow;
    bool flowPrepared = false;
    std::vector<float> flowGrid;
    int width = 0, height = 0;
};

// What a version 2 template stores of a reference's preparation, the part
// that costs most to work out: each minutia's nearest neighbours and the
// occupancy cells of the seeding minutiae.
struct StoredNeighbourhoods {
    static constexpr std::uint8_t kNone = 255;  // an empty neighbour slot
    bool present = false;
    std::vector<std::uint8_t> nearest;  // kNeighbours per minutia, nearest first
    std::vector<std::uint64_t> cells;   // kCellWords per seeding minutia, by index
};

// The nearest other minutiae of each (at most kNeighbours within
// kNeighbourReach, by distance then index, kNone for empty slots, empty
// slots last), as the matcher ranks neighbours.
void NearestNeighbours(const std::vector<Minutia>& minutiae, std::vector<std::uint8_t>& nearest);

// Works out what a version 2 template stores for these features.
void StoreNeighbourhoods(const Features& features, StoredNeighbourhoods& out);

// Decodes a template, and what a version 2 template stores into `stored`
// (present false for version 1); on error both are left untouched.
TemplateError DecodeTemplate(const std::uint8_t* data, std::size_t size, Features& out,
                             StoredNeighbourhoods& stored);

// Fills `out`, reusing its buffers. A probe also gets the spread cells and
// the flow grid, and then serves as a reference as well. Without `withFlow`
// the flow cells are left for PrepareFlow, when they are first needed. A
// reference takes its neighbourhoods and cells from `stored` when present
// (the same as it would work out).
void PrepareLayout(const Features& features, bool asProbe, PrintLayout& out, bool withFlow = true,
                   const StoredNeighbourhoods* stored = nullptr);
void PrepareFlow(const OrientationGrid& grid, FlowCells& out);

}  // namespace fp::detail
