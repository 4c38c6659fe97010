// Finger minutiae records of the ISO and ANSI formats: our features survive
// the trip, records of other producers are read, broken ones refused. That
// records still match is checked through the kvt program.
#include <gtest/gtest.h>

#include <array>

#include "RandomFeatures.h"
#include "fp/StandardTemplate.h"

namespace {

using fp::StandardError;
using fp::StandardFormat;
using fptest::AngleDistance;

// Qualities from 1: the records give 0 to a quality not reported.
fp::Features RandomFeatures(unsigned seed) {
    fp::Features f = fptest::RandomFeatures(seed, 60, 388, 374, 1, 100);
    f.singularPoints = {{100, 120, fp::SingularType::Core, 40},
                        {200, 300, fp::SingularType::Delta, 0},
                        {0, 373, fp::SingularType::Core, 200}};
    return f;
}

// Writes `value` big-endian over the `width` bytes at `at`: lengths known at the end.
void Put(std::vector<std::uint8_t>& v, std::size_t at, int width, std::size_t value) {
    for (int k = 0; k < width; ++k)
        v[at + k] = static_cast<std::uint8_t>(value >> 8 * (width - 1 - k));
}

// Records are ISO unless said otherwise.
StandardError Decode(const std::vector<std::uint8_t>& r, fp::Features& f,
                     fp::StandardRecordInfo* info = nullptr, int view = 0,
                     StandardFormat format = StandardFormat::Iso2005) {
    return fp::DecodeStandardTemplate(r.data(), r.size(), format, f, info, view);
}

// Big-endian record bytes written field by field, as another producer would.
struct Bytes {
    std::vector<std::uint8_t> v;
    Bytes& u8(unsigned x) {
        v.push_back(static_cast<std::uint8_t>(x));
        return *this;
    }
    Bytes& u16(unsigned x) { return u8(x >> 8).u8(x & 0xFF); }
    Bytes& u32(std::uint32_t x) { return u16(x >> 16).u16(x & 0xFFFF); }
    Bytes& magic() { return u32(0x464D5200).u32(0x20323000); }
};

// An ISO record of two views: the first bare, the second with ridge counts,
// cores and deltas with angles, and an area of a type nobody defined.
std::vector<std::uint8_t> TwoViewIsoRecord() {
    Bytes b;
    b.magic().u32(0).u16(0x1123).u16(400).u16(500).u16(197).u16(197).u8(2).u8(0);
    b.u8(2).u8(0x01).u8(70).u8(1);  // right index, view 0, rolled
    b.u16(0x4000 | 10).u16(20).u8(0).u8(80);
    b.u16(0);
    b.u8(7).u8(0x12).u8(55).u8(3);               // left index, view 1, non-live plain
    b.u16(0x4000 | 100).u16(200).u8(64).u8(90);  // ending pointing up the picture
    b.u16(0x8000 | 150).u16(250).u8(0).u8(0);    // bifurcation, quality not reported
    b.u16(0x0000 | 399).u16(499).u8(255).u8(100);
    const std::size_t extendedAt = b.v.size();
    b.u16(0);
    b.u16(1).u16(4 + 1 + 6).u8(1).u8(1).u8(2).u8(5).u8(2).u8(3).u8(4);
    b.u16(2).u16(4 + 1 + 5 + 1 + 4).u8(0x41).u16(120).u16(130).u8(64).u8(0x01).u16(300).u16(310);
    b.u16(0x7777).u16(4 + 3).u8(1).u8(2).u8(3);
    Put(b.v, extendedAt, 2, b.v.size() - extendedAt - 2);
    Put(b.v, 8, 4, b.v.size());
    return b.v;
}

class StandardTemplateRoundTrip
    : public ::testing::TestWithParam<std::tuple<StandardFormat, bool>> {};

TEST_P(StandardTemplateRoundTrip, GivesTheSameMinutiae) {
    const auto [format, bottomUp] = GetParam();
    const fp::Features f = RandomFeatures(bottomUp ? 3 : 4);
    const fp::StandardRecordInfo info{3, 2, 1, 77, 0x1234, 0x5678, 0xABC, bottomUp};
    const std::vector<std::uint8_t> record = fp::EncodeStandardTemplate(f, format, info);
    ASSERT_EQ(fp::DetectStandardFormat(record.data(), record.size()), format);

    fp::Features back;
    fp::StandardRecordInfo read{.bottomUp = bottomUp};
    ASSERT_EQ(Decode(record, back, &read, 0, format), StandardError::None);
    EXPECT_EQ(std::tuple(back.width, back.height, back.resolution, back.mask.columns,
                         back.orientation.columns),
              std::tuple(f.width, f.height, 500, 0, 0));
    // Only ANSI has the CBEFF fields.
    const bool ansi = format == StandardFormat::Ansi2004;
    EXPECT_EQ(std::tie(read.fingerPosition, read.viewNumber, read.impressionType,
                       read.fingerQuality, read.captureDevice),
              std::tie(info.fingerPosition, info.viewNumber, info.impressionType,
                       info.fingerQuality, info.captureDevice));
    const fp::StandardRecordInfo cbeff = ansi ? info : fp::StandardRecordInfo{};
    EXPECT_EQ(std::tie(read.cbeffOwner, read.cbeffType),
              std::tie(cbeff.cbeffOwner, cbeff.cbeffType));
    // ISO keeps our 1/256 turn; ANSI's 2 degrees is 1.42 of them.
    const int angleTolerance = ansi ? 1 : 0;
    ASSERT_EQ(back.minutiae.size(), f.minutiae.size());
    for (std::size_t i = 0; i < f.minutiae.size(); ++i) {
        const fp::Minutia &a = f.minutiae[i], &b = back.minutiae[i];
        EXPECT_EQ(std::tie(a.x, a.y, a.type, a.quality), std::tie(b.x, b.y, b.type, b.quality));
        EXPECT_LE(AngleDistance(a.direction, b.direction), angleTolerance) << "minutia " << i;
    }
    ASSERT_EQ(back.singularPoints.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        // Written cores first, then deltas.
        const fp::SingularPoint &a = f.singularPoints[std::array{0, 2, 1}[i]],
                                &b = back.singularPoints[i];
        EXPECT_EQ(std::tie(a.x, a.y, a.type), std::tie(b.x, b.y, b.type));
        EXPECT_LE(AngleDistance(a.direction, b.direction), angleTolerance);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, StandardTemplateRoundTrip,
                         ::testing::Combine(::testing::Values(StandardFormat::Iso2005,
                                                              StandardFormat::Ansi2004),
                                            ::testing::Bool()));

// Byte by byte; the finger quality not given is the minutiae's mean.
TEST(StandardTemplate, HeaderFieldsAreFilled) {
    const fp::Features f = RandomFeatures(5);
    // Position, view, impression, no quality, CBEFF owner and type, device.
    const fp::StandardRecordInfo info{3, 2, 1, -1, 0x1234, 0x5678, 0xABC};
    long sum = 0;
    for (const fp::Minutia& m : f.minutiae) sum += m.quality;

    const auto iso = fp::EncodeStandardTemplate(f, StandardFormat::Iso2005, info);
    Bytes isoHeader;
    isoHeader.magic().u32(static_cast<std::uint32_t>(iso.size())).u16(0x0ABC).u16(388).u16(374);
    isoHeader.u16(197).u16(197).u8(1).u8(0).u8(3).u8(0x21).u8(sum / 60).u8(60);
    EXPECT_EQ(std::vector<std::uint8_t>(iso.begin(), iso.begin() + 28), isoHeader.v);

    const auto ansi = fp::EncodeStandardTemplate(f, StandardFormat::Ansi2004, info);
    EXPECT_EQ(ansi.size(), iso.size() + 2);
    EXPECT_EQ((ansi[8] << 8) | ansi[9], static_cast<int>(ansi.size()));
    EXPECT_EQ(std::vector<std::uint8_t>(ansi.begin() + 10, ansi.begin() + 16),
              (std::vector<std::uint8_t>{0x12, 0x34, 0x56, 0x78, 0x0A, 0xBC}));
    // From the image size to the view header both formats agree; angles differ.
    EXPECT_TRUE(std::equal(ansi.begin() + 16, ansi.begin() + 30, iso.begin() + 14));
}

TEST(StandardTemplate, ReadsEveryOptionalBlockOfAnotherProducer) {
    const std::vector<std::uint8_t> record = TwoViewIsoRecord();
    ASSERT_EQ(fp::DetectStandardFormat(record.data(), record.size()), StandardFormat::Iso2005);

    fp::Features f;
    fp::StandardRecordInfo info;
    ASSERT_EQ(Decode(record, f, &info, 1), StandardError::None);
    EXPECT_EQ(std::tuple(info.fingerPosition, info.viewNumber, info.impressionType,
                         info.fingerQuality, info.captureDevice),
              std::tuple(7, 1, 2, 55, 0x123));
    EXPECT_EQ(std::tuple(f.width, f.height), std::tuple(400, 500));
    ASSERT_EQ(f.minutiae.size(), 3u);
    // The record's quarter turn counter-clockwise points up the picture; ours
    // is clockwise in top-down rows and points the other way. A quality not
    // reported reads as middling.
    EXPECT_EQ(
        std::tuple(f.minutiae[0].x, f.minutiae[0].y, f.minutiae[0].type, f.minutiae[0].direction,
                   f.minutiae[1].type, f.minutiae[1].quality, f.minutiae[2].type),
        std::tuple(100, 200, fp::MinutiaType::Ending, 64, fp::MinutiaType::Bifurcation, 50,
                   fp::MinutiaType::Other));
    ASSERT_EQ(f.singularPoints.size(), 2u);
    EXPECT_EQ(
        std::tuple(f.singularPoints[0].x, f.singularPoints[0].type, f.singularPoints[0].direction,
                   f.singularPoints[1].y, f.singularPoints[1].type),
        std::tuple(120, fp::SingularType::Core, 192, 310, fp::SingularType::Delta));

    ASSERT_EQ(Decode(record, f, &info, 0), StandardError::None);
    EXPECT_EQ(std::tuple(f.minutiae.size(), info.fingerPosition), std::tuple(1u, 2));
    EXPECT_EQ(Decode(record, f, nullptr, 2), StandardError::NoSuchView);
}

// Records at 1000 dpi are brought to 500 dpi. In ANSI, a zero 2-byte length
// announces a 4-byte one; the rest of the header follows it.
TEST(StandardTemplate, ReadsOtherResolutionsAndTheAnsiLongLength) {
    Bytes iso;
    iso.magic().u32(0).u16(0).u16(800).u16(1000).u16(394).u16(394).u8(1).u8(0);
    iso.u8(0).u8(0).u8(60).u8(1).u16(0x4000 | 401).u16(799).u8(0).u8(60).u16(0);
    Put(iso.v, 8, 4, iso.v.size());
    fp::Features f;
    ASSERT_EQ(Decode(iso.v, f), StandardError::None);
    EXPECT_EQ(std::tuple(f.width, f.height, f.minutiae.at(0).x, f.minutiae[0].y),
              std::tuple(400, 500, 200, 399));

    Bytes b;
    b.magic().u16(0).u32(0).u16(0x1B).u16(0x02).u16(0x0FFF).u16(256).u16(360).u16(197).u16(197);
    b.u8(1).u8(0).u8(5).u8(0x08).u8(40).u8(1).u16(0x8000 | 255).u16(359).u8(179).u8(30).u16(0);
    Put(b.v, 10, 4, b.v.size());
    ASSERT_EQ(fp::DetectStandardFormat(b.v.data(), b.v.size()), StandardFormat::Ansi2004);
    fp::StandardRecordInfo info;
    ASSERT_EQ(Decode(b.v, f, &info, 0, StandardFormat::Ansi2004), StandardError::None);
    ASSERT_EQ(f.minutiae.size(), 1u);
    EXPECT_EQ(std::tuple(info.cbeffOwner, info.cbeffType, info.captureDevice, info.impressionType,
                         f.minutiae[0].x, f.minutiae[0].y, f.minutiae[0].type),
              std::tuple(0x1B, 2, 0xFFF, 8, 255, 359, fp::MinutiaType::Bifurcation));
}

TEST(StandardTemplate, MalformedAndTruncatedRecordsAreRefusedByName) {
    const std::vector<std::uint8_t> good = TwoViewIsoRecord();
    // Offsets: header 0..23, view 0 at 24, its minutia at 28, view 1 at 36,
    // its minutiae at 40, 46, 52, extended data length at 58.
    // What, where, how many bytes, the value written there, the error.
    const std::tuple<const char*, std::size_t, int, unsigned, StandardError> cases[] = {
        {"magic", 1, 1, 'X', StandardError::BadMagic},
        {"version", 5, 1, '3', StandardError::BadMagic},
        {"length too small", 11, 1, 30, StandardError::BadLength},
        {"length past the end", 10, 1, 0x10, StandardError::Truncated},
        {"zero width", 14, 2, 0, StandardError::BadHeader},
        {"zero resolution", 18, 2, 0, StandardError::BadHeader},
        {"no views", 22, 1, 0, StandardError::BadHeader},
        {"finger position", 24, 1, 11, StandardError::BadView},
        {"impression", 25, 1, 0x05, StandardError::BadView},
        {"finger quality", 26, 1, 101, StandardError::BadView},
        {"minutia type", 28, 1, 0xC0, StandardError::BadMinutia},
        {"minutia x", 40, 1, 0x7F, StandardError::BadMinutia},
        {"minutia quality", 45, 1, 101, StandardError::BadMinutia},
        {"extended area length", 63, 1, 3, StandardError::BadExtended},
        {"ridge count index", 65, 1, 9, StandardError::BadExtended},
        {"core info type", 75, 1, 0xC1, StandardError::BadExtended},
        {"core position", 76, 1, 0x30, StandardError::BadExtended},
    };
    for (const auto& [what, at, width, value, expected] : cases) {
        std::vector<std::uint8_t> bad = good;
        Put(bad, at, width, value);
        fp::Features f = RandomFeatures(1);
        const std::size_t before = f.minutiae.size();
        const StandardError e = Decode(bad, f, nullptr, 1);
        EXPECT_EQ(e, expected) << what << ": " << fp::ToString(e);
        EXPECT_EQ(f.minutiae.size(), before) << what;
    }

    auto ansi = fp::EncodeStandardTemplate(RandomFeatures(2), StandardFormat::Ansi2004);
    ansi[26 + 4 + 4] = 180;  // first minutia's angle: 2-degree steps end at 179
    fp::Features f;
    EXPECT_EQ(Decode(ansi, f, nullptr, 0, StandardFormat::Ansi2004), StandardError::BadMinutia);
    EXPECT_EQ(fp::DecodeStandardTemplate(nullptr, 100, StandardFormat::Iso2005, f),
              StandardError::NullData);
    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_NE(fp::DecodeStandardTemplate(good.data(), n, StandardFormat::Iso2005, f),
                  StandardError::None)
            << n;
}

}  // namespace
