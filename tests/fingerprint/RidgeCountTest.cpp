// Ridge counts: measured between two points of a ridge image, carried by
// template version 3, and weighed by the matcher.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "Internal.h"
#include "SyntheticPrint.h"
#include "fp/Extractor.h"
#include "fp/Matcher.h"
#include "fp/Template.h"

namespace {

using fp::detail::BlockField;
using fp::detail::ByteImage;
using fp::detail::CountRidges;

TEST(RidgeCount, CountsTheRidgesCrossedButNotSpecksPoresOrTheOnesTheEndsLieOn) {
    // Vertical ridges 4 pixels wide every 9 pixels (ridge where x % 9 < 4), all
    // foreground except the blocks of the right-most block column.
    ByteImage ridges{120, 64};
    for (int y = 0; y < ridges.height; ++y)
        for (int x = 0; x < ridges.width; ++x) ridges.at(x, y) = x % 9 < 4;
    BlockField field;
    field.columns = ridges.width / fp::detail::kBlock;
    field.rows = ridges.height / fp::detail::kBlock;
    field.mask.assign(static_cast<std::size_t>(field.columns) * field.rows, 1);
    for (int r = 0; r < field.rows; ++r) field.mask[field.index(field.columns - 1, r)] = 0;
    // From ridge to ridge five periods apart: four ridges lie between.
    EXPECT_EQ(CountRidges(ridges, field, 1, 10, 46, 10), 4);
    EXPECT_EQ(CountRidges(ridges, field, 46, 10, 1, 10), 4);
    // Slanted through the same ridges.
    EXPECT_EQ(CountRidges(ridges, field, 1, 5, 46, 50), 4);
    // From valley to valley four periods apart: the four ridges in between.
    EXPECT_EQ(CountRidges(ridges, field, 6, 20, 42, 20), 4);
    // Along one ridge, or between neighbouring ones.
    EXPECT_EQ(CountRidges(ridges, field, 2, 0, 2, 60), 0);
    EXPECT_EQ(CountRidges(ridges, field, 2, 30, 11, 30), 0);
    EXPECT_EQ(CountRidges(ridges, field, 5, 30, 5, 30), 0);
    // A line that leaves the foreground has no count.
    EXPECT_EQ(CountRidges(ridges, field, 1, 10, 115, 10), fp::kUnknownRidgeCount);

    // A ridge speck in each valley and a pore in each ridge on the line.
    for (int x = 6; x < 46; x += 9) ridges.at(x, 10) = 1;
    for (int x = 11; x < 46; x += 9) ridges.at(x, 10) = 0;
    EXPECT_EQ(CountRidges(ridges, field, 1, 10, 46, 10), 4);
}

fp::Features ExtractSynthetic(unsigned seed) {
    const fptest::Image img = fptest::Render(fptest::RandomPattern(seed, 300, 300, 24), 300, 300);
    fp::Features f;
    EXPECT_EQ(fp::Extract({img.pixels.data(), img.width, img.height, img.width}, {}, f),
              fp::ExtractStatus::Ok);
    return f;
}

TEST(RidgeCountTemplate, VersionThreeCarriesCountsOnlyForRealNeighboursAndOlderVersionsNone) {
    const fp::Features f = ExtractSynthetic(7);
    ASSERT_EQ(f.ridgeCounts.size(), f.minutiae.size() * 8);

    const std::vector<std::uint8_t> v3 = fp::EncodeTemplate(f);
    ASSERT_EQ(v3[4], 3);
    fp::Features back;
    ASSERT_EQ(fp::DecodeTemplate(v3.data(), v3.size(), back), fp::TemplateError::None);
    EXPECT_EQ(back.ridgeCounts, f.ridgeCounts);
    EXPECT_EQ(fp::EncodeTemplate(back), v3);

    for (std::uint8_t version : {1, 2}) {
        const std::vector<std::uint8_t> old = fp::EncodeTemplate(f, version);
        fp::Features decoded;
        ASSERT_EQ(fp::DecodeTemplate(old.data(), old.size(), decoded), fp::TemplateError::None);
        EXPECT_EQ(std::tuple(old[4], decoded.ridgeCounts.empty()), std::tuple(version, true));
    }
    // Features without counts, or whose counts do not fit their minutiae, give version 2.
    fp::Features stale = f;
    stale.ridgeCounts.pop_back();
    EXPECT_EQ(fp::EncodeTemplate(stale)[4], 2);

    // Three minutiae, two neighbours each: a count where no neighbour is is refused.
    fp::Features few;
    few.width = few.height = 200;
    few.minutiae = {{50, 50, 0, fp::MinutiaType::Ending, 80, 0, 90},
                    {80, 60, 64, fp::MinutiaType::Bifurcation, 80, 0, 90},
                    {60, 100, 128, fp::MinutiaType::Ending, 80, 0, 90}};
    few.ridgeCounts.assign(3 * 8, 2);
    std::vector<std::uint8_t> t = fp::EncodeTemplate(few);
    ASSERT_EQ(t[4], 3);
    ASSERT_EQ(fp::DecodeTemplate(t.data(), t.size(), back), fp::TemplateError::None);
    // The empty slots were written as unknown.
    EXPECT_EQ(back.ridgeCounts[0], 2);
    EXPECT_EQ(back.ridgeCounts[2], fp::kUnknownRidgeCount);
    // The last minutia's last slot, just before the checksum.
    t[t.size() - 5] = 3;
    fp::SealTemplate(t);
    EXPECT_EQ(fp::DecodeTemplate(t.data(), t.size(), back), fp::TemplateError::BadValue);
}

TEST(RidgeCountMatching, DisagreeingCountsCostAndPrintsWithoutCountsHaveTheirOwnScale) {
    const fp::Features probe = ExtractSynthetic(11);
    const auto compare = [&](const fp::Features& ref) {
        return fp::Compare(fp::Prepare(probe), fp::Prepare(ref, false), {});
    };
    fp::Features offByOne = probe, offByTwo = probe, unknown = probe, none = probe;
    for (std::size_t k = 0; k < probe.ridgeCounts.size(); ++k) {
        if (probe.ridgeCounts[k] == fp::kUnknownRidgeCount) continue;
        offByOne.ridgeCounts[k] = static_cast<std::uint8_t>(probe.ridgeCounts[k] + 1);
        offByTwo.ridgeCounts[k] = static_cast<std::uint8_t>(probe.ridgeCounts[k] + 2);
    }
    EXPECT_GT(compare(probe).score, compare(offByOne).score);
    EXPECT_GT(compare(offByOne).score, compare(offByTwo).score);
    // Unknown counts cost nothing; one side without counts (an older
    // template) is scored on the scale fitted without them.
    std::fill(unknown.ridgeCounts.begin(), unknown.ridgeCounts.end(), fp::kUnknownRidgeCount);
    none.ridgeCounts.clear();
    const fp::Comparison c = compare(none);
    EXPECT_EQ(compare(unknown).similarity, c.similarity);
    EXPECT_EQ(c.score, fp::ScoreFromSimilarity(c.similarity, false));
    EXPECT_EQ(compare(probe).score, fp::ScoreFromSimilarity(compare(probe).similarity, true));
}

}  // namespace
