// Minutiae matching: one probe against many references.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fp/Features.h"
#include "fp/Template.h"

namespace fp {

struct MatcherSettings {
    int threshold = 0;     // scores below this are reported as 0
    int maxRotation = 32;  // largest rotation between two prints, in steps of pi/128
    int hypotheses = 0;    // alignments tried per comparison; 0 = engine default
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

private:
    MatcherSettings settings_;
    PreparedPrint probe_;
    PreparedPrint reference_;  // buffers reused from one reference to the next
    Comparison last_;
    bool identifying_ = false;
};

}  // namespace fp
