// Minutiae matching: one probe against many references.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

#include "fp/Features.h"
#include "fp/Template.h"

namespace fp {

struct MatcherSettings {
    // Scores below this are reported as 0; Compare skips work that cannot
    // reach it (see Compare).
    int threshold = 0;
    int maxRotation = 32;  // largest rotation between two prints, in steps of pi/128
    int hypotheses = 0;    // alignments tried per comparison; 0 = engine default (10)
    // Prepared references kept by a matcher, so that identifying against the
    // same gallery again skips decoding and preparation; 0 keeps none.
    int cachedReferences = 2048;
};

// A print made ready for comparison: its minutiae with local neighbourhood
// descriptors. Made once per probe and once per reference.
struct PreparedPrint {
    // Angles are in steps of pi/128, as in the template.
    struct Point {
        float x, y;
        int angle;
        float quality;  // 0..1
        MinutiaType type;
    };
    static constexpr int kNeighbours = 8;
    // The nearest neighbours of one minutia, nearest first: distance, and
    // bearing and direction relative to the minutia's own direction.
    struct Neighbourhood {
        float distance[kNeighbours];
        std::uint8_t bearing[kNeighbours];
        std::uint8_t turn[kNeighbours];
        int count;
    };

    std::vector<Point> points;
    // The points once more, ordered by y (by index among equal y), side by
    // side for vector loads and padded with eight positions outside every
    // image; band[k] is the first of them with y >= 4 k, up to the height.
    std::vector<float> rowX, rowY;
    std::vector<std::uint16_t> rowIndex;
    std::vector<std::uint8_t> rowAngle;
    std::vector<std::uint16_t> band;
    std::vector<Neighbourhood> neighbourhoods;  // one per point
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
    // cells against the probe's grid. The cells: their centres (padded as
    // rowX) and the cosine and sine of twice their ridge angle. The grid (a
    // probe's only): for each cell that cosine, that sine and 1, then 0 (all
    // 0 in the background).
    std::size_t flowCells = 0;
    std::vector<float> flowX, flowY, flowCos, flowSin;
    std::vector<float> flowGrid;
    int width = 0, height = 0;
};

// A print compared as a probe needs the spread occupancy cells and the flow
// grid as well; one prepared as a probe also serves as a reference.
PreparedPrint Prepare(const Features& features, bool asProbe = true);
// The same into an existing print, reusing its buffers.
void PrepareInto(const Features& features, bool asProbe, PreparedPrint& out);

struct Comparison {
    double similarity = 0;  // engine-internal, 0..1 and more
    int score = 0;        // calibrated: round(-12 * log10(false match rate)), before the threshold
    int matched = 0;      // minutiae paired
    float agreement = 0;  // ridge orientation agreement where both prints overlap, -1..1
    float rotation = 0, dx = 0, dy = 0;  // probe to reference
};

// With settings.threshold above 0, work that cannot reach it is left out: a
// comparison scoring at or above the threshold gives the same result as with
// threshold 0; one below it may report a lower similarity and score.
Comparison Compare(const PreparedPrint& probe, const PreparedPrint& reference,
                   const MatcherSettings& settings);

// The calibrated score of an engine similarity.
int ScoreFromSimilarity(double similarity);

// One identification at a time per object; separate objects share nothing.
// References given as template bytes are remembered prepared (the most recent
// `cachedReferences`) across identifications; callers serialise calls on one
// object, so the cache needs no lock of its own.
class Matcher {
public:
    explicit Matcher(MatcherSettings settings = {}) : settings_(settings) {}

    MatcherSettings& settings() { return settings_; }

    TemplateError IdentifyStart(const std::uint8_t* probe, std::size_t size);
    void IdentifyStart(const Features& probe);
    // Score of one reference against the probe; 0 below the threshold.
    TemplateError IdentifyNext(const std::uint8_t* reference, std::size_t size, int& score);
    int IdentifyNext(const Features& reference);
    void IdentifyEnd();
    bool identifying() const { return identifying_; }
    const Comparison& last() const { return last_; }
    std::size_t cachedReferences() const { return cache_.size(); }
    void ClearCache();

private:
    struct CachedReference {
        std::vector<std::uint8_t> bytes;  // the template as given, up to its declared size
        PreparedPrint print;
        std::list<std::uint32_t>::iterator recency;
    };
    const PreparedPrint* Lookup(const std::uint8_t* reference, std::size_t size);
    PreparedPrint& Remember(const std::uint8_t* reference, std::size_t size);

    MatcherSettings settings_;
    PreparedPrint probe_;
    PreparedPrint reference_;  // buffers reused from one reference to the next
    Features decoded_;
    Comparison last_;
    bool identifying_ = false;
    // Keyed by the template's own checksum; the bytes confirm a hit.
    std::unordered_map<std::uint32_t, CachedReference> cache_;
    std::list<std::uint32_t> recency_;    // most recently used first
    std::vector<CachedReference> spare_;  // buffers of cleared entries, for reuse
};

}  // namespace fp
