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
    int threshold = 0;     // scores below this are reported as 0
    int maxRotation = 32;  // largest rotation between two prints, in steps of pi/128
    int hypotheses = 0;    // alignments tried per comparison; 0 = engine default
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
    struct Neighbour {
        float distance;
        int bearing, turn;  // relative to the minutia's own direction
    };
    static constexpr int kNeighbours = 8;

    std::vector<Point> points;
    std::vector<Neighbour> neighbours;  // kNeighbours per point, nearest first
    std::vector<std::uint8_t> neighbourCount;
    // Coarse neighbourhood occupancy (distance ring x sector x relative
    // direction), exact and with tolerance spread; compared by popcount to
    // pick the pairs worth a full neighbourhood comparison.
    std::vector<std::uint64_t> cells, spreadCells;  // kCellWords per point
    static constexpr int kCellWords = 2;
    ForegroundMask mask;
    OrientationGrid orientation;
    // The orientation cells inside the foreground with their centres, the
    // part of the grid an alignment check visits.
    struct FlowCell {
        float x, y;
        std::uint8_t angle;
    };
    std::vector<FlowCell> flowCells;
    int width = 0, height = 0;
    // Points bucketed on a coarse grid, for finding partners near a position.
    int gridColumns = 0, gridRows = 0;
    std::vector<std::uint16_t> gridStart, gridItems;
};

// A print compared as a probe needs the spread occupancy cells as well.
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
    std::list<std::uint32_t> recency_;  // most recently used first
};

}  // namespace fp
