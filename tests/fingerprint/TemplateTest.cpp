// The template's byte form: what goes in comes out, and damage is refused.
#include <gtest/gtest.h>

#include <random>

#include "RandomFeatures.h"
#include "fp/Template.h"

namespace {

fp::Features SampleFeatures(int minutiae, bool mask, int width = 320, int height = 360) {
    const unsigned seed = static_cast<unsigned>(minutiae * 7 + mask);
    fp::Features f = fptest::RandomFeatures(seed, minutiae, width, height);
    std::mt19937 rng(seed);
    f.singularPoints = {{10, 20, fp::SingularType::Core, 0}, {30, 40, fp::SingularType::Delta, 9}};
    const auto cells = [](int side, int cell) {
        return static_cast<std::uint16_t>((side + cell - 1) / cell);
    };
    if (mask) {
        f.mask = {16, cells(f.width, 16), cells(f.height, 16), {}};
        for (int i = 0; i < f.mask.columns * f.mask.rows; ++i) f.mask.bits.push_back(rng() & 1);
        f.orientation = {32, cells(f.width, 32), cells(f.height, 32), {}};
        for (int i = 0; i < f.orientation.columns * f.orientation.rows; ++i)
            f.orientation.angles.push_back(static_cast<std::uint8_t>(rng()));
    }
    return f;
}

void ExpectSame(const fp::Features& a, const fp::Features& b) {
    EXPECT_EQ(std::tie(a.width, a.height, a.resolution, a.mask.columns, a.mask.rows, a.mask.bits,
                       a.orientation.cell, a.orientation.columns, a.orientation.angles),
              std::tie(b.width, b.height, b.resolution, b.mask.columns, b.mask.rows, b.mask.bits,
                       b.orientation.cell, b.orientation.columns, b.orientation.angles));
    ASSERT_EQ(a.minutiae.size(), b.minutiae.size());
    for (std::size_t i = 0; i < a.minutiae.size(); ++i) {
        const fp::Minutia &p = a.minutiae[i], &q = b.minutiae[i];
        EXPECT_EQ(std::tie(p.x, p.y, p.direction, p.type, p.quality, p.curvature, p.period),
                  std::tie(q.x, q.y, q.direction, q.type, q.quality, q.curvature, q.period));
    }
    ASSERT_EQ(a.singularPoints.size(), b.singularPoints.size());
    for (std::size_t i = 0; i < a.singularPoints.size(); ++i) {
        const fp::SingularPoint &p = a.singularPoints[i], &q = b.singularPoints[i];
        EXPECT_EQ(std::tie(p.x, p.y, p.type, p.direction), std::tie(q.x, q.y, q.type, q.direction));
    }
}

TEST(Template, BothVersionsRoundTripWithAndWithoutMask) {
    for (std::uint8_t version : {1, 2})
        for (bool mask : {true, false})
            for (int count : {0, 1, 57}) {
                const fp::Features f = SampleFeatures(count, mask);
                const std::vector<std::uint8_t> bytes = fp::EncodeTemplate(f, version);
                EXPECT_EQ(bytes[4], version);
                fp::Features back;
                ASSERT_EQ(fp::DecodeTemplate(bytes.data(), bytes.size(), back),
                          fp::TemplateError::None);
                ExpectSame(f, back);
                int n = -1;
                EXPECT_EQ((std::tuple{fp::TemplateMinutiaCount(bytes.data(), bytes.size(), n), n}),
                          std::tuple(fp::TemplateError::None, count));
            }
}

TEST(Template, LargestTemplateFitsTheBuffer) {
    fp::Features f = SampleFeatures(300, true, 2048, 2048);
    f.singularPoints.resize(40);
    const std::vector<std::uint8_t> bytes = fp::EncodeTemplate(f);
    EXPECT_LE(bytes.size(), fp::kMaxTemplateSize);
    EXPECT_EQ(bytes[4], 1);  // version 2 would not fit
    fp::Features back;
    ASSERT_EQ(fp::DecodeTemplate(bytes.data(), bytes.size(), back), fp::TemplateError::None);
    EXPECT_EQ(back.minutiae.size(), fp::kMaxTemplateMinutiae);  // the rest is cut, not overflowed
    EXPECT_EQ(back.singularPoints.size(), fp::kMaxTemplateSingularPoints);
}

// A refused template leaves the output alone.
TEST(Template, EveryTruncationBitFlipAndHeaderErrorIsRefused) {
    const std::vector<std::uint8_t> good = fp::EncodeTemplate(SampleFeatures(12, true));
    const fp::Features before = SampleFeatures(3, false);
    for (std::size_t size = 0; size < good.size(); ++size) {
        fp::Features out = before;
        EXPECT_NE(fp::DecodeTemplate(good.data(), size, out), fp::TemplateError::None) << size;
        ExpectSame(before, out);
    }
    for (std::size_t bit = 0; bit < good.size() * 8; ++bit) {
        std::vector<std::uint8_t> bad = good;
        bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        fp::Features out = before;
        EXPECT_NE(fp::DecodeTemplate(bad.data(), bad.size(), out), fp::TemplateError::None) << bit;
        ExpectSame(before, out);
    }

    // Header errors are named.
    fp::Features out;
    EXPECT_EQ(fp::DecodeTemplate(nullptr, 100, out), fp::TemplateError::NullData);
    for (auto [at, value, error] : {std::tuple{0, 'X', fp::TemplateError::BadMagic},
                                    {4, 0, fp::TemplateError::BadVersion},
                                    {4, fp::kTemplateVersion + 1, fp::TemplateError::BadVersion}}) {
        std::vector<std::uint8_t> other = good;
        other[at] = static_cast<std::uint8_t>(value);
        EXPECT_EQ(fp::DecodeTemplate(other.data(), other.size(), out), error) << at;
    }
    // A caller may pass its whole buffer: bytes past the declared size are ignored.
    std::vector<std::uint8_t> whole = good;
    whole.resize(fp::kMaxTemplateSize, 0xAB);
    EXPECT_EQ(fp::DecodeTemplate(whole.data(), whole.size(), out), fp::TemplateError::None);
    EXPECT_STRNE(fp::ToString(fp::TemplateError::BadChecksum),
                 fp::ToString(fp::TemplateError::BadSize));
}

TEST(Template, ChecksumAloneDoesNotMakeNonsenseValid) {
    // A coordinate outside the image, an unknown type, no width: each with a
    // correct checksum.
    fp::Features f, out;
    std::vector<std::uint8_t> bytes;
    for (auto spoil : {+[](fp::Features& g) { g.minutiae[2].x = g.width; },
                       +[](fp::Features& g) { g.minutiae[0].type = fp::MinutiaType{7}; },
                       +[](fp::Features& g) { g.width = 0; }}) {
        f = SampleFeatures(4, false);
        spoil(f);
        bytes = fp::EncodeTemplate(f);
        EXPECT_EQ(fp::DecodeTemplate(bytes.data(), bytes.size(), out), fp::TemplateError::BadValue);
    }

    // Mask padding bits must stay zero: one template, one byte form.
    f = SampleFeatures(4, true, 328, 368);  // 21 x 23 cells: five padding bits in the last byte
    f.orientation = {};
    bytes = fp::EncodeTemplate(f, 1);
    ASSERT_EQ(fp::DecodeTemplate(bytes.data(), bytes.size(), out), fp::TemplateError::None);
    bytes[bytes.size() - 5] |= 0x80;
    fp::SealTemplate(bytes);
    EXPECT_EQ(fp::DecodeTemplate(bytes.data(), bytes.size(), out), fp::TemplateError::BadValue);

    // Stored neighbour lists (8 slots per minutia after the grid) must name
    // other minutiae within 120 pixels, empty slots (255) last. Minutiae 0 to
    // 4 lie close together, 5 far from them.
    f = SampleFeatures(6, false);
    for (int i = 0; i < 6; ++i)
        f.minutiae[i].x = f.minutiae[i].y = static_cast<std::uint16_t>(i < 5 ? 10 + 10 * i : 300);
    const std::vector<std::uint8_t> good = fp::EncodeTemplate(f);
    const std::size_t lists = fp::kTemplateHeaderSize + 6 * 9 + 2 * 6;
    ASSERT_EQ(good[4], 2);
    ASSERT_EQ(good[lists + 4], 255);  // minutia 0 has four neighbours
    for (auto [slot, value] : {std::pair{0, 6}, {0, 0}, {9, 1}, {4, 5}, {7, 2}}) {
        bytes = good;
        bytes[lists + static_cast<std::size_t>(slot)] = static_cast<std::uint8_t>(value);
        fp::SealTemplate(bytes);
        EXPECT_EQ(fp::DecodeTemplate(bytes.data(), bytes.size(), out), fp::TemplateError::BadValue)
            << "slot " << slot << " = " << value;
    }
}

}  // namespace
