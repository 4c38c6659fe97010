// Minutiae matching: one probe against many references.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

namespace detail {
struct PrintLayout;
class ReferenceCache;
}  // namespace detail

// A print made ready for comparison: its minutiae with local neighbourhood
// descriptors and lookup structures, laid out as the engine needs them (its
// own business). Made once per probe and once per reference; movable, and a
// moved-from print compares as one without minutiae.
class PreparedPrint {
public:
    PreparedPrint();
    ~PreparedPrint();
    PreparedPrint(PreparedPrint&&) noexcept;
    PreparedPrint& operator=(PreparedPrint&&) noexcept;
    PreparedPrint(const PreparedPrint&) = delete;
    PreparedPrint& operator=(const PreparedPrint&) = delete;

    std::size_t minutiae() const;
    // The engine's view; null only after a move.
    const detail::PrintLayout* layout() const { return layout_.get(); }
    detail::PrintLayout& writableLayout();

private:
    std::unique_ptr<detail::PrintLayout> layout_;
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

// The calibrated score of an engine similarity; `ridgeCounts`: both prints
// carried ridge counts (each kind of comparison has a scale of its own).
int ScoreFromSimilarity(double similarity, bool ridgeCounts = true);

// One identification at a time per object; separate objects share nothing.
// References given as template bytes are remembered prepared (the most recent
// `cachedReferences`) across identifications; callers serialise calls on one
// object, so the cache needs no lock of its own.
class Matcher {
public:
    explicit Matcher(MatcherSettings settings = {});
    ~Matcher();
    Matcher(Matcher&&) noexcept;
    Matcher& operator=(Matcher&&) noexcept;

    MatcherSettings& settings() { return settings_; }

    TemplateError IdentifyStart(const std::uint8_t* probe, std::size_t size);
    void IdentifyStart(const Features& probe);
    // Score of one reference against the probe; 0 below the threshold.
    TemplateError IdentifyNext(const std::uint8_t* reference, std::size_t size, int& score);
    int IdentifyNext(const Features& reference);
    void IdentifyEnd();
    bool identifying() const { return identifying_; }
    const Comparison& last() const { return last_; }
    std::size_t cachedReferences() const;
    void ClearCache();

private:
    MatcherSettings settings_;
    PreparedPrint probe_;
    PreparedPrint reference_;  // buffers reused from one reference to the next
    Features decoded_;
    Comparison last_;
    bool identifying_ = false;
    std::unique_ptr<detail::ReferenceCache> cache_;
};

}  // namespace fp
