// The comparison driver: candidate search, pairing and refit of the best
// seeds, local similarity of the pairs, ridge-flow check and calibration, in
// that order, once more with more seeds when the score is in doubt; and
// one-to-many identification on top of it.
#include "fp/Matcher.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>

#include "MatcherInternal.h"
#include "ReferenceCache.h"

namespace fp {

namespace detail {

UnitTable::UnitTable() {
    for (int u = 0; u < 256; ++u) {
        const float radians = static_cast<float>(u) * kUnitToRadians;
        c[u] = std::cos(radians);
        s[u] = std::sin(radians);
    }
}

const UnitTable& Units() {
    static const UnitTable table;
    return table;
}

Transform Transform::inverse() const {
    // cos and sin of the negated angle, exactly as the library gives them.
    Transform t;
    t.angle = -angle;
    t.units = ToUnits(-angle);
    t.c = c;
    t.s = -s;
    t.dx = -(c * dx + s * dy);
    t.dy = -(-s * dx + c * dy);
    if (scale != 1) {
        const float n = scale * scale;
        t.scale = 1 / scale;
        t.c /= n, t.s /= n, t.dx /= n, t.dy /= n;
    }
    return t;
}

}  // namespace detail

using namespace detail;
using namespace detail::params;

PreparedPrint::PreparedPrint() : layout_(std::make_unique<PrintLayout>()) {}
PreparedPrint::~PreparedPrint() = default;
PreparedPrint::PreparedPrint(PreparedPrint&&) noexcept = default;
PreparedPrint& PreparedPrint::operator=(PreparedPrint&&) noexcept = default;

std::size_t PreparedPrint::minutiae() const {
    return layout_ ? layout_->points.size() : 0;
}

PrintLayout& PreparedPrint::writableLayout() {
    if (!layout_) layout_ = std::make_unique<PrintLayout>();
    return *layout_;
}

Comparison Compare(const PreparedPrint& probePrint, const PreparedPrint& refPrint,
                   const MatcherSettings& settings) {
    Comparison best;
    if (probePrint.layout() == nullptr || refPrint.layout() == nullptr) return best;
    const PrintLayout& probe = *probePrint.layout();
    const PrintLayout& ref = *refPrint.layout();
    const std::size_t np = probe.points.size(), nr = ref.points.size();
    if (np < 3 || nr < 3 || probe.spreadCells.size() != np * PrintLayout::kCellWords ||
        ref.sortedCells.size() != std::min(nr, kSeedMinutiae) * PrintLayout::kCellWords)
        return best;
    const int maxRotation = std::clamp(settings.maxRotation, 0, 128);

    // Buffers kept per thread so that one-to-many identification does not
    // allocate per reference.
    thread_local Scratch scratch;
    const std::size_t wanted = settings.hypotheses > 0
                                   ? static_cast<std::size_t>(settings.hypotheses)
                                   : static_cast<std::size_t>(kDefaultHypotheses);
    scratch.BeginComparison(np * nr);

    // With a threshold, what cannot reach it is left out: such a comparison
    // reports less than it would without one, but below the threshold
    // either way; scores that reach it are the same. Only what stays below
    // kSearchAgainFrom too is left out, so that whether a comparison is
    // searched again, and which alignment the elastic step starts from, do
    // not depend on the threshold.
    const int threshold =
        settings.threshold > 0 ? std::min(settings.threshold, kSearchAgainFrom) : 0;
    // Comparisons without ridge counts have a scale of their own.
    const bool counted = probe.ridgeCounted && ref.ridgeCounted;
    auto score = [counted](double similarity) { return ScoreFromSimilarity(similarity, counted); };
    auto reaches = [&threshold, &score](double similarity) {
        return threshold <= 0 || score(similarity) >= threshold;
    };

    // A seed already paired under an earlier alignment would only repeat it.
    auto& covered = scratch.covered;
    covered.assign(np * nr, 0);
    auto& alignments = scratch.alignments;
    alignments.clear();
    auto alignSeeds = [&] {
        for (const Seed& seed : scratch.seeds) {
            if (covered[static_cast<std::size_t>(seed.p) * nr + seed.r]) continue;
            Pairing pairing;
            if (!AlignSeed(probe, ref, seed, maxRotation, scratch, pairing)) continue;
            float local = 0;
            for (auto [i, j] : scratch.pairs) {
                covered[static_cast<std::size_t>(i) * nr + j] = 1;
                local += scratch.Local(probe, ref, i, j);
            }
            // Similarity = (sum of the pairs' local similarities x few)^2 / the
            // minutiae each print could have shown of the other, by quality (at
            // least kOverlapFloor); few pairs are weak evidence however well
            // they agree. With both overlaps at the floor it is at its highest.
            const double evidence = Evidence(local, pairing.matched);
            if (!reaches(evidence / (kOverlapFloor * kOverlapFloor))) continue;
            const double similarity =
                evidence / Overlap(SeenWeight(probe, pairing.t, ref),
                                   SeenWeight(ref, pairing.t.inverse(), probe));
            if (!reaches(similarity)) continue;
            alignments.push_back(
                {similarity, pairing.t, pairing.matched, static_cast<int>(alignments.size())});
        }
    };

    // The ridge-flow check can only lower a similarity, so the alignments
    // from `from` on are checked from the most similar down, until none left
    // can beat the best.
    int bestOrder = 0;
    Transform bestT;
    double bestRigid = 0;  // the best alignment's similarity before the flow check
    const FlowCells* refFlow = ref.flowPrepared ? &ref.flow : nullptr;
    auto checkFlow = [&](std::size_t from) {
        std::sort(alignments.begin() + static_cast<std::ptrdiff_t>(from), alignments.end(),
                  [](const Alignment& a, const Alignment& b) {
                      if (a.similarity != b.similarity) return a.similarity > b.similarity;
                      return a.order < b.order;
                  });
        for (std::size_t k = from; k < alignments.size(); ++k) {
            const Alignment& a = alignments[k];
            if (a.similarity < best.similarity) break;
            if (a.similarity == best.similarity && a.order > bestOrder) continue;
            if (refFlow == nullptr) {
                PrepareFlow(ref.orientation, scratch.flow);
                refFlow = &scratch.flow;
            }
            int cells = 0;
            const float agreement = FlowAgreement(probe, *refFlow, a.t, cells);
            const double similarity = a.similarity * FlowFactor(agreement, cells);
            if (similarity > best.similarity ||
                (similarity == best.similarity && similarity > 0 && a.order < bestOrder)) {
                best.similarity = similarity;
                best.agreement = agreement;
                bestT = a.t;
                bestRigid = a.similarity;
                best.matched = a.matched;
                best.rotation = a.t.angle;
                best.dx = a.t.dx;
                best.dy = a.t.dy;
                bestOrder = a.order;
            }
        }
    };

    FindSeeds(probe, ref, maxRotation, wanted, scratch);
    alignSeeds();
    checkFlow(0);
    // Between chance and certainty, the best alignment may not be among the
    // first seeds: look again among more. Nearly all comparisons of
    // different fingers stay below that range and cost nothing more.
    const int first = score(best.similarity);
    if (first >= kSearchAgainFrom && first < kSearchAgainBelow) {
        const std::size_t checked = alignments.size();
        FindSeeds(probe, ref, maxRotation, kSearchAgainFactor * wanted, scratch);
        alignSeeds();
        checkFlow(checked);
    }
    // Skin distorts: in doubt, the best alignment is paired and its ridge
    // flow compared again under a smooth warp.
    const int rigid = score(best.similarity);
    Consolidation elastic;
    if (rigid >= kSearchAgainFrom && rigid < kSearchAgainBelow && refFlow != nullptr &&
        Consolidate(probe, ref, *refFlow, bestT, bestRigid, settings.threshold, scratch, elastic) &&
        elastic.similarity > best.similarity) {
        best.similarity = elastic.similarity;
        best.agreement = elastic.agreement;
        if (elastic.matched > 0) best.matched = elastic.matched;
    }
    best.score = score(best.similarity);
    return best;
}

Matcher::Matcher(MatcherSettings settings)
    : settings_(settings), cache_(std::make_unique<ReferenceCache>()) {}
Matcher::~Matcher() = default;
Matcher::Matcher(Matcher&&) noexcept = default;
Matcher& Matcher::operator=(Matcher&&) noexcept = default;

TemplateError Matcher::IdentifyStart(const std::uint8_t* probe, std::size_t size) {
    const TemplateError error = DecodeTemplate(probe, size, decoded_);
    if (error != TemplateError::None) {
        identifying_ = false;
        return error;
    }
    IdentifyStart(decoded_);
    return TemplateError::None;
}

void Matcher::IdentifyStart(const Features& probe) {
    PrepareInto(probe, true, probe_);
    last_ = {};
    identifying_ = true;
}

TemplateError Matcher::IdentifyNext(const std::uint8_t* reference, std::size_t size, int& score) {
    if (!cache_) cache_ = std::make_unique<ReferenceCache>();
    const bool caching = settings_.cachedReferences > 0;
    const PreparedPrint* prepared = caching ? cache_->Find(reference, size) : nullptr;
    if (prepared == nullptr) {
        // What a version 2 template stores spares most of the preparation.
        thread_local StoredNeighbourhoods stored;
        const TemplateError error = detail::DecodeTemplate(reference, size, decoded_, stored);
        if (error != TemplateError::None) return error;
        if (caching) {
            prepared = &cache_->Remember(reference, size, decoded_, stored,
                                         static_cast<std::size_t>(settings_.cachedReferences));
        } else {
            PrepareLayout(decoded_, false, reference_.writableLayout(), true, &stored);
            prepared = &reference_;
        }
    }
    last_ = Compare(probe_, *prepared, settings_);
    score = last_.score >= settings_.threshold ? last_.score : 0;
    return TemplateError::None;
}

int Matcher::IdentifyNext(const Features& reference) {
    PrepareInto(reference, false, reference_);
    last_ = Compare(probe_, reference_, settings_);
    return last_.score >= settings_.threshold ? last_.score : 0;
}

void Matcher::IdentifyEnd() {
    identifying_ = false;
}

std::size_t Matcher::cachedReferences() const {
    return cache_ ? cache_->size() : 0;
}

void Matcher::ClearCache() {
    if (cache_) cache_->Clear(static_cast<std::size_t>(std::max(settings_.cachedReferences, 0)));
}

}  // namespace fp
