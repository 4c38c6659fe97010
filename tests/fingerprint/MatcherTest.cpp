// Matching on minutiae sets made up in the test: the same print moved, bent,
// scaled, cut or thinned out must still match; unrelated prints must not.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <tuple>

#include "RandomFeatures.h"
#include "fp/Matcher.h"
#include "fp/Template.h"

namespace {

using fptest::Change;
using fptest::Impression;
using fptest::RandomPrint;
using fptest::Scatter;

using fptest::kPi;
constexpr int kSide = 400;

// A ridge-flow grid of one angle, in cells of the given size.
void Flow(fp::Features& f, int cell, std::uint8_t angle) {
    const auto n = static_cast<std::uint16_t>((kSide + cell - 1) / cell);
    f.orientation = {static_cast<std::uint8_t>(cell), n, n, std::vector(std::size_t{n} * n, angle)};
}

int Score(const fp::Features& probe, const fp::Features& reference, fp::MatcherSettings s = {}) {
    fp::Matcher matcher(s);
    matcher.IdentifyStart(probe);
    return matcher.IdentifyNext(reference);
}

// The comparison with a reference given as template bytes, which must decode.
fp::Comparison Next(fp::Matcher& matcher, const std::vector<std::uint8_t>& reference) {
    int score = -1;
    EXPECT_EQ(matcher.IdentifyNext(reference.data(), reference.size(), score),
              fp::TemplateError::None);
    EXPECT_EQ(score, matcher.last().score);
    return matcher.last();
}

TEST(Matcher, SamePrintMatchesUnderRotationTranslationAndNoise) {
    const fp::Features original = RandomPrint(1);
    EXPECT_GT(Score(original, original), 100);
    for (float degrees : {-40.f, -20.f, 0.f, 15.f, 30.f, 40.f}) {
        const Change c{degrees * kPi / 180, 25, -30, 2.f, 0.2f, 6};
        SCOPED_TRACE(testing::Message() << degrees << " degrees");
        fp::Matcher matcher;
        matcher.IdentifyStart(original);
        EXPECT_GE(matcher.IdentifyNext(Impression(original, c, unsigned(degrees + 100))), 48);
        EXPECT_NEAR(matcher.last().rotation, c.rotation, 0.1f);
        EXPECT_GE(matcher.last().matched, 15);
    }
}

// Each print is brought to 500 dpi by its own ridge period, which differs by
// a few percent between impressions: rigidly aligned, the minutiae far from
// the centre would fall outside the pairing tolerance.
TEST(Matcher, ImpressionsThatDifferInScalePairAcrossTheWholePrint) {
    for (unsigned seed : {1u, 2u, 3u}) {
        // Spread over the whole print.
        const fp::Features finger = RandomPrint(seed, 50, 480, 80, 80, 45.f);
        for (float factor : {1.08f, 1 / 1.08f}) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << ", factor " << factor);
            const fp::Features other = Impression(finger, {.scale = factor}, seed);
            fp::Matcher matcher;
            matcher.IdentifyStart(other);
            matcher.IdentifyNext(finger);
            EXPECT_GE(matcher.last().matched * 4, static_cast<int>(other.minutiae.size()) * 3);
        }
    }
}

TEST(Matcher, ToleratesElasticDistortionAndPartialOverlap) {
    const fp::Features original = RandomPrint(2, 50);
    const Change bent{.jitter = 1.5f, .warp = [](float& x, float& y) {
                          x += 6.f * std::sin(y / 70.f);
                          y += 5.f * std::sin(x / 90.f);
                          return 0.f;  // too gentle to turn the ridges much
                      }};
    EXPECT_GE(Score(original, Impression(original, bent)), 48);

    const Change half{
        .dx = 60, .jitter = 1.5f, .keep = [](float x, float) { return x < kSide * 0.55f; }};
    EXPECT_GE(Score(original, Impression(original, half)), 48);
    EXPECT_GE(Score(Impression(original, half), original), 48);
}

TEST(Matcher, UnrelatedOrTooSparsePrintsScoreLow) {
    int worst = 0;
    for (unsigned a = 10; a < 20; ++a)
        for (unsigned b = a + 1; b < 20; ++b)
            worst = std::max(worst, Score(RandomPrint(a), RandomPrint(b)));
    EXPECT_LT(worst, 36);  // no false match at FMR 0.1 % among 45 pairs
    // Two minutiae never match, not even themselves.
    const fp::Features sparse = RandomPrint(6, 2);
    EXPECT_EQ(std::tuple(Score(sparse, sparse), Score(RandomPrint(6), sparse)), std::tuple(0, 0));
}

TEST(Matcher, RidgeFlowThatDisagreesLowersTheScore) {
    fp::Features a = RandomPrint(9);
    fp::Features b = Impression(a, {.jitter = 3.f, .drop = 0.4f, .spurious = 10});
    Flow(a, 16, 40);
    Flow(b, 16, 40);
    const int agreeing = Score(a, b);
    EXPECT_GE(agreeing, 48);
    Flow(b, 16, 40 + 127);  // ridges at right angles to the probe's
    EXPECT_LT(Score(a, b), agreeing / 4);
    b.orientation = {};  // a small template: nothing to check against
    EXPECT_GE(Score(a, b), agreeing - 2);
}

// Templates hold up to 255 minutiae: long lists take the same paths.
TEST(Matcher, IdentificationRunsOnTemplateBytesOfCrowdedPrints) {
    const fp::Features probe = RandomPrint(14, 255);
    const std::vector<std::uint8_t> mate =
        fp::EncodeTemplate(Impression(probe, {.rotation = -0.2f, .jitter = 1.5f, .drop = 0.2f}, 3));
    const std::vector<std::uint8_t> stranger = fp::EncodeTemplate(RandomPrint(15, 255));
    std::vector<std::uint8_t> broken = mate;
    broken[30] ^= 1;

    fp::Matcher matcher;
    EXPECT_EQ(matcher.IdentifyStart(broken.data(), broken.size()), fp::TemplateError::BadChecksum);
    EXPECT_FALSE(matcher.identifying());
    const std::vector<std::uint8_t> p = fp::EncodeTemplate(probe);
    ASSERT_EQ(matcher.IdentifyStart(p.data(), p.size()), fp::TemplateError::None);
    const fp::Comparison mated = Next(matcher, mate);
    EXPECT_GE(mated.score, 80);
    EXPECT_GE(mated.matched, 150);
    EXPECT_LT(Next(matcher, stranger).score, 36);
    matcher.IdentifyEnd();
    EXPECT_FALSE(matcher.identifying());
}

// References stay prepared between identifications, and a version 2
// template brings its neighbourhoods along; either way a reference must
// compare exactly as one decoded from version 1 and prepared in full, and a
// remembered one never stands in for other bytes.
TEST(Matcher, RememberedReferencesScoreAsFreshOnesAndStayBounded) {
    std::vector<std::vector<std::uint8_t>> gallery, workedOut;
    std::vector<fp::Features> probes;
    for (unsigned seed = 30; seed < 35; ++seed) {
        // 20 to 80 minutiae: more than seed alignments, some with fewer than
        // a full neighbourhood within reach.
        const fp::Features f = RandomPrint(seed, 20 + 15 * static_cast<int>(seed - 30));
        const fp::Features impression =
            Impression(f, {.rotation = 0.1f, .jitter = 1.5f, .drop = 0.1f}, seed);
        gallery.push_back(fp::EncodeTemplate(impression));
        workedOut.push_back(fp::EncodeTemplate(impression, 1));
        ASSERT_EQ(std::tuple(gallery.back()[4], workedOut.back()[4]), std::tuple(2, 1));
        probes.push_back(f);
    }
    fp::Matcher fresh({.cachedReferences = 0}), remembering({.cachedReferences = 3});
    auto identifyBoth = [&](const fp::Features& probe) {
        fresh.IdentifyStart(probe);
        remembering.IdentifyStart(probe);
        for (std::size_t k = 0; k < gallery.size(); ++k) {
            const fp::Comparison a = Next(fresh, workedOut[k]), b = Next(remembering, gallery[k]);
            EXPECT_EQ(std::tie(a.score, a.similarity, a.matched, a.rotation, a.dx, a.dy),
                      std::tie(b.score, b.similarity, b.matched, b.rotation, b.dx, b.dy))
                << k;
        }
    };
    for (int pass = 0; pass < 2; ++pass)
        for (const fp::Features& probe : probes) identifyBoth(probe);
    EXPECT_EQ(fresh.cachedReferences(), 0u);
    EXPECT_EQ(remembering.cachedReferences(), 3u);

    // Bytes past the declared size are ignored, so the same template in a
    // larger buffer is the same reference.
    std::vector<std::uint8_t> padded = gallery.back();
    padded.resize(padded.size() + 40, 0xAB);
    remembering.IdentifyStart(probes.back());
    const int plain = Next(remembering, gallery.back()).score;
    EXPECT_EQ(Next(remembering, padded).score, plain);
    EXPECT_GE(plain, 48);
    EXPECT_EQ(remembering.cachedReferences(), 3u);

    // Same stored checksum, damaged body: refused, not taken for the remembered one.
    std::vector<std::uint8_t> damaged = gallery.back();
    damaged[25] ^= 0x10;
    int score = 77;
    EXPECT_EQ((std::tuple{remembering.IdentifyNext(damaged.data(), damaged.size(), score), score}),
              std::tuple(fp::TemplateError::BadChecksum, 77));
    EXPECT_EQ(remembering.IdentifyNext(nullptr, 100, score), fp::TemplateError::NullData);

    // Cleared, the entries' buffers serve the next references alike.
    remembering.ClearCache();
    EXPECT_EQ(remembering.cachedReferences(), 0u);
    identifyBoth(probes.back());
}

// A reference seen for the first time leaves its ridge-flow cells to the
// comparison and gets them when seen again; either way it must compare
// exactly as one prepared in full, whatever grid it comes with.
TEST(Matcher, RidgeFlowWorkedOutLateComparesAsPreparedInFull) {
    const fp::Features probe = RandomPrint(60);
    std::vector<std::vector<std::uint8_t>> gallery;
    for (int k = 0; k < 4; ++k) {
        fp::Features f = Impression(probe, {.rotation = 0.05f * k, .jitter = 1.f}, 60 + k);
        // Grids of different cell sizes and flows, one with half its cells
        // in the background, so that buffers left by a larger grid are reused.
        Flow(f, std::array{16, 20, 25, 32}[k], static_cast<std::uint8_t>(40 + 30 * k));
        if (k == 2)
            for (std::size_t i = 0; i < f.orientation.angles.size(); i += 2)
                f.orientation.angles[i] = fp::OrientationGrid::kNone;
        gallery.push_back(fp::EncodeTemplate(f));
    }
    fp::Features withFlow = probe;
    Flow(withFlow, 16, 40);

    fp::Matcher full({.cachedReferences = 0}), remembering;
    full.IdentifyStart(withFlow);
    std::vector<fp::Comparison> expected;
    for (const auto& ref : gallery) expected.push_back(Next(full, ref));
    // The flows differ, so the check decides the scores.
    EXPECT_GT(expected[0].agreement, 0.99f);
    EXPECT_LT(expected[3].agreement, 0.f);
    EXPECT_GT(expected[0].score, 2 * expected[3].score);
    remembering.IdentifyStart(withFlow);
    for (int pass = 0; pass < 2; ++pass)
        for (std::size_t k = 0; k < gallery.size(); ++k) {
            const fp::Comparison got = Next(remembering, gallery[k]);
            EXPECT_EQ(std::tuple(got.similarity, got.agreement),
                      std::tuple(expected[k].similarity, expected[k].agreement))
                << "pass " << pass << ", reference " << k;
        }
}

// The scale is pieced together from a measured table, an exponential tail
// and a power law beyond: no step back and no jump where the pieces meet.
TEST(Matcher, ScoreScaleGrowsSmoothlyWithSimilarity) {
    for (double nothing : {0.0, -1.0, std::nan("")}) EXPECT_EQ(fp::ScoreFromSimilarity(nothing), 0);
    int previous = 0;
    for (double s = 1e-7; s < 1e3; s *= 1.0005) {
        const int score = fp::ScoreFromSimilarity(s);
        ASSERT_GE(score, previous) << s;
        ASSERT_LE(score - previous, 1) << s;
        previous = score;
    }
    EXPECT_GT(previous, 100);
    const int huge = fp::ScoreFromSimilarity(1e300),
              infinite = fp::ScoreFromSimilarity(std::numeric_limits<double>::infinity());
    EXPECT_TRUE(previous <= huge && huge <= infinite && infinite <= 12 * 10000)
        << huge << " " << infinite;
}

// Taking paired minutiae away from a mate, a few at a time, never raises its score.
TEST(Matcher, ScoresFallAsPairedMinutiaeAreTakenAway) {
    const fp::Features probe = RandomPrint(70, 45);
    fp::Features reference = Impression(probe, {0.15f, 9, -6, 1});
    std::vector<int> scores;
    while (reference.minutiae.size() > 13) {
        scores.push_back(Score(probe, reference));
        reference.minutiae.erase(reference.minutiae.begin(), reference.minutiae.begin() + 8);
    }
    ASSERT_GE(scores.size(), 4u);
    for (std::size_t k = 1; k < scores.size(); ++k) EXPECT_LE(scores[k], scores[k - 1]) << k;
    EXPECT_GE(scores.front(), 80);
    EXPECT_LT(scores.back(), scores.front());
}

// Minutiae of low quality are often false ones: extra minutiae in a mate
// count less against it when their quality is low. Only the quality differs
// between the two references.
TEST(Matcher, LowQualityExtraMinutiaeCountLessAgainstAMatch) {
    const fp::Features probe = RandomPrint(71, 35);
    const fp::Features mate = Impression(probe, {-0.1f, 5, 0, 1});
    const fp::Features extras = RandomPrint(72, 25);
    int scores[2] = {};
    for (int poor = 0; poor < 2; ++poor) {
        fp::Features reference = mate;
        for (fp::Minutia m : extras.minutiae) {
            m.quality = poor ? 15 : 95;
            reference.minutiae.push_back(m);
        }
        scores[poor] = Score(probe, reference);
    }
    EXPECT_GT(scores[1], scores[0]);
    EXPECT_GT(scores[0], 0);
}

// A prepared print that was moved from compares as an empty one and can be
// prepared again.
TEST(Matcher, MovedFromPreparedPrintIsEmptyAndReusable) {
    const fp::Features f = RandomPrint(73);
    fp::PreparedPrint a = fp::Prepare(f);
    const fp::PreparedPrint b = std::move(a);
    EXPECT_EQ(std::tuple(a.minutiae(), fp::Compare(a, b, {}).score, fp::Compare(b, a, {}).score),
              std::tuple(0u, 0, 0));
    fp::PrepareInto(f, true, a);
    EXPECT_EQ(a.minutiae(), f.minutiae.size());
    EXPECT_EQ(fp::Compare(a, b, {}).similarity, fp::Compare(b, b, {}).similarity);
    EXPECT_GE(fp::Compare(a, b, {}).score, 80);
}

// A threshold lets the matcher skip work that cannot reach it: scores at or
// above it stay exactly what they are without one, the rest read 0.
TEST(Matcher, ThresholdLeavesTheScoresThatReachItAlone) {
    std::vector<fp::Features> prints;
    for (unsigned seed = 40; seed < 46; ++seed) {
        const fp::Features f = RandomPrint(seed);
        prints.push_back(f);
        prints.push_back(
            Impression(f, {0.05f * static_cast<float>(seed - 43), 0, 0, 2.f, 0.25f, 8}, seed));
    }
    int reached = 0, below = 0;
    for (int threshold : {24, 48, 80, 120}) {
        const fp::MatcherSettings limited{.threshold = threshold};
        for (const fp::Features& a : prints)
            for (const fp::Features& b : prints) {
                const int full = Score(a, b);
                EXPECT_EQ(Score(a, b, limited), full >= threshold ? full : 0) << threshold;
                (full >= threshold ? reached : below) += 1;
            }
    }
    EXPECT_GT(reached, 20);
    EXPECT_GT(below, 20);
}

// The limit is a setting, and the widest one covers a full turn.
TEST(Matcher, RotationLimitIsASetting) {
    const fp::Features original = RandomPrint(3);
    const fp::Features upright = Impression(original, {.rotation = kPi / 2});
    // About 171 degrees.
    const fp::Features upsideDown = Impression(original, {.rotation = kPi * 0.95f, .jitter = 1}, 5);
    // 45 degrees, 101 degrees and a full turn.
    EXPECT_LT(Score(original, upright, {.maxRotation = 32}), 24);
    EXPECT_GE(Score(original, upright, {.maxRotation = 72}), 48);
    EXPECT_LT(Score(original, upsideDown), 24);
    EXPECT_GE(Score(original, upsideDown, {.maxRotation = 128}), 48);
    EXPECT_LT(Score(original, RandomPrint(13), {.maxRotation = 128}), 36);
}

// Alignments are seeded from the best minutiae of each print: a mate must
// still be found when a print carries many weak, false minutiae besides.
TEST(Matcher, MatesAreFoundAmongManyWeakFalseMinutiae) {
    std::mt19937 rng(7);
    fp::Features finger = RandomPrint(16);
    fp::Features crowded = Impression(finger, {6 * kPi / 128, 11, -8});
    const int trueOnes = static_cast<int>(crowded.minutiae.size());
    // As the extractor lists them: best quality first.
    auto addWeakOnes = [&rng](fp::Features& f) {
        Scatter(f, rng, 70, 20, 45);
        std::ranges::stable_sort(f.minutiae, std::greater{}, &fp::Minutia::quality);
    };
    addWeakOnes(crowded);
    ASSERT_GT(crowded.minutiae.size(), 100u);
    for (const auto& [probe, reference] :
         {std::pair(&finger, &crowded), std::pair(&crowded, &finger)}) {
        fp::Matcher matcher;
        matcher.IdentifyStart(*probe);
        EXPECT_GE(matcher.IdentifyNext(*reference), 48);
        EXPECT_GE(matcher.last().matched, trueOnes - 2);
    }
    // A different finger with as many minutiae stays far below.
    fp::Features stranger = RandomPrint(17);
    addWeakOnes(stranger);
    EXPECT_LT(Score(finger, stranger), 24);
    EXPECT_LT(Score(crowded, stranger), 24);
}

}  // namespace
