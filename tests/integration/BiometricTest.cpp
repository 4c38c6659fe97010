// Template extraction and matching through the public interface, on drawn
// prints encoded as BMP files the way a capture delivers them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "integration/SimulatedSensorFixture.h"
#include "support/DrawnPrint.h"

using kvt_test::DrawnFinger;
using kvt_test::LogPath;
using kvt_test::ReadFile;
using testing::HasSubstr;
using testing::Not;

namespace {

const std::string kStamp = "20" + std::string(30, '0');
const std::string kPhoto = "30" + std::string(30, '0');

enum class Palette { Grey, Inverted };

// A BMP file as the decoder meets it: 8 bits with a 256-entry palette (an
// inverted palette stores inverted indices, so the picture is the same), or 24
// or 32 bits; rows bottom-up, padded to 4 bytes.
std::vector<unsigned char> EncodeBmp(const fptest::Image& image, int bits,
                                     Palette palette = Palette::Grey) {
    const size_t bytesPerPixel = static_cast<size_t>(bits / 8);
    const size_t stride = (static_cast<size_t>(image.width) * bytesPerPixel + 3) & ~size_t{3};
    const size_t paletteBytes = bits == 8 ? 1024 : 0;
    const size_t offset = 54 + paletteBytes;
    std::vector<unsigned char> bmp(offset + stride * static_cast<size_t>(image.height), 0);
    auto put = [&](size_t at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) bmp[at + i] = static_cast<unsigned char>(value >> (8 * i));
    };
    bmp[0] = 'B';
    bmp[1] = 'M';
    put(2, static_cast<uint32_t>(bmp.size()), 4);
    put(10, static_cast<uint32_t>(offset), 4);
    put(14, 40, 4);
    put(18, static_cast<uint32_t>(image.width), 4);
    put(22, static_cast<uint32_t>(image.height), 4);
    put(26, 1, 2);
    put(28, static_cast<uint32_t>(bits), 2);
    put(34, static_cast<uint32_t>(stride * static_cast<size_t>(image.height)), 4);
    put(38, 19685, 4);  // 500 dpi
    put(42, 19685, 4);
    const bool inverted = palette == Palette::Inverted;
    for (size_t i = 0; i < paletteBytes / 4; ++i) {
        const auto grey = static_cast<unsigned char>(inverted ? 255 - i : i);
        std::memset(&bmp[54 + 4 * i], grey, 3);
    }
    for (int y = 0; y < image.height; ++y) {
        unsigned char* row = &bmp[offset + stride * static_cast<size_t>(image.height - 1 - y)];
        for (int x = 0; x < image.width; ++x) {
            const unsigned char grey = image.pixels[static_cast<size_t>(y * image.width + x)];
            const unsigned char stored = inverted ? static_cast<unsigned char>(255 - grey) : grey;
            std::memset(row + static_cast<size_t>(x) * bytesPerPixel, stored,
                        bits == 32 ? 3 : bytesPerPixel);
        }
    }
    return bmp;
}

fptest::Image Mirrored(fptest::Image image) {
    for (int y = 0; y < image.height; ++y) {
        auto row = image.pixels.begin() + y * image.width;
        std::reverse(row, row + image.width);
    }
    return image;
}

fptest::Image WithoutLastColumn(const fptest::Image& image) {
    fptest::Image cropped{image.width - 1, image.height, {}};
    for (int y = 0; y < image.height; ++y) {
        auto row = image.pixels.begin() + y * image.width;
        cropped.pixels.insert(cropped.pixels.end(), row, row + cropped.width);
    }
    return cropped;
}

struct Extracted {
    int code = 0;
    KVT_Template t{};
    std::vector<unsigned char> bytes() const { return {t.data, t.data + t.bytesEffective}; }
};

Extracted Extract(std::vector<unsigned char> bmp, const std::string& properties = kStamp) {
    KVT_CapturedData image{};
    image.size = sizeof image;
    image.image = bmp.data();
    image.imageSize = static_cast<unsigned int>(bmp.size());
    std::strncpy(image.properties, properties.c_str(), sizeof image.properties - 1);
    Extracted e;
    e.t.size = sizeof e.t;
    e.code = KVT_ExtractTemplate(&image, &e.t);
    return e;
}

int Match(const KVT_Template& probe, const std::vector<KVT_Template>& references,
          KVT_MatchResult& result) {
    result = KVT_MatchResult{};
    result.size = sizeof result;
    return KVT_MatchTemplate(&probe, references.data(),
                             static_cast<unsigned int>(references.size()), &result);
}

class BiometricTest : public kvt_test::LibraryTest {
protected:
    void Start() {
        kvt_test::WriteVerboseConfig();
        ASSERT_EQ(KVT_Start(kvt_test::IgnoreMessage, nullptr), KVT_RESULT_OK);
    }
};

TEST_F(BiometricTest, NoAlgorithmUntilStartedAndAfterStopped) {
    KVT_BiometricsInfo info{};
    info.size = sizeof info;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(KVT_ExtractTemplate(nullptr, nullptr), KVT_RESULT_NO_ALGORITHM);
        EXPECT_EQ(KVT_MatchTemplate(nullptr, nullptr, 0, nullptr), KVT_RESULT_NO_ALGORITHM);
        EXPECT_EQ(KVT_GetBiometricsInfo(&info), KVT_RESULT_NO_ALGORITHM);
        Start();
        EXPECT_EQ(KVT_GetBiometricsInfo(&info), KVT_RESULT_OK);
        ASSERT_EQ(KVT_Stop(), KVT_RESULT_OK);
    }
}

TEST_F(BiometricTest, DescribesTheAlgorithmIntoAnExactRecordOnly) {
    Start();
    KVT_BiometricsInfo info;
    std::memset(&info, 0x5A, sizeof info);
    info.size = sizeof info - 1;
    const KVT_BiometricsInfo before = info;
    EXPECT_EQ(KVT_GetBiometricsInfo(&info), KVT_RESULT_BAD_ARGUMENT);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
    EXPECT_EQ(KVT_GetBiometricsInfo(nullptr), KVT_RESULT_BAD_ARGUMENT);

    info.size = sizeof info;
    ASSERT_EQ(KVT_GetBiometricsInfo(&info), KVT_RESULT_OK);
    EXPECT_STREQ(info.name, "VeriFinger50");
    EXPECT_STREQ(info.version, "5.0");
    EXPECT_GT(std::strlen(info.info), 0u);
    EXPECT_LT(std::strlen(info.info), sizeof info.info);
    EXPECT_EQ(info.type, 2);
    EXPECT_EQ(info.subType, 50);
    EXPECT_EQ(info.capabilities, 1u);
}

TEST_F(BiometricTest, ExtractionRefusesBadRecordsAndUndecodableImages) {
    Start();
    std::vector<unsigned char> bmp = EncodeBmp(DrawnFinger(1), 8);
    KVT_CapturedData image{};
    image.size = sizeof image;
    image.image = bmp.data();
    image.imageSize = static_cast<unsigned int>(bmp.size());
    KVT_Template result{};
    result.size = sizeof result;
    result.bytesEffective = 77;

    EXPECT_EQ(KVT_ExtractTemplate(nullptr, &result), KVT_RESULT_BAD_ARGUMENT);
    EXPECT_EQ(KVT_ExtractTemplate(&image, nullptr), KVT_RESULT_BAD_ARGUMENT);
    result.size = sizeof result - 1;
    EXPECT_EQ(KVT_ExtractTemplate(&image, &result), KVT_RESULT_BAD_ARGUMENT);
    result.size = sizeof result;
    image.size = sizeof image - 1;
    EXPECT_EQ(KVT_ExtractTemplate(&image, &result), KVT_RESULT_BAD_ARGUMENT);
    image.size = sizeof image;
    EXPECT_THAT(ReadFile(LogPath()), Not(HasSubstr("Imagedata corrupted")));

    std::vector<unsigned char> garbage(2000, 0x42);
    const std::vector<std::pair<unsigned char*, unsigned int>> undecodable = {
        {bmp.data(), 600},  // cut inside the palette
        {garbage.data(), static_cast<unsigned int>(garbage.size())},
        {nullptr, static_cast<unsigned int>(bmp.size())},
        {bmp.data(), 0},
    };
    for (const auto& [bytes, size] : undecodable) {
        image.image = bytes;
        image.imageSize = size;
        EXPECT_EQ(KVT_ExtractTemplate(&image, &result), KVT_RESULT_BAD_ARGUMENT) << size;
    }
    EXPECT_EQ(result.bytesEffective, 77);
    EXPECT_THAT(ReadFile(LogPath()),
                HasSubstr("KVT_ExtractTemplate: extraction error: Imagedata corrupted"));
}

TEST_F(BiometricTest, ExtractsAndIdentifiesDrawnPrints) {
    Start();
    const Extracted probe = Extract(EncodeBmp(DrawnFinger(5), 8));
    const Extracted mate = Extract(EncodeBmp(DrawnFinger(5, {0.1f, 6.f, -4.f}), 8));
    const Extracted stranger = Extract(EncodeBmp(DrawnFinger(6), 8));
    for (const Extracted* e : {&probe, &mate, &stranger}) {
        ASSERT_EQ(e->code, KVT_RESULT_OK);
        EXPECT_EQ(e->t.size, static_cast<int>(sizeof(KVT_Template)));
        EXPECT_EQ(e->t.type, 2);
        EXPECT_EQ(e->t.subType, 50);
        EXPECT_GE(e->t.minutiaeCount, 15);
        EXPECT_GT(e->t.bytesEffective, 0);
        EXPECT_STREQ(e->t.properties, "");  // the application's to fill
    }

    KVT_MatchResult result;
    ASSERT_EQ(Match(probe.t, {stranger.t, mate.t, stranger.t}, result), KVT_RESULT_OK);
    EXPECT_EQ(result.success, 0);
    EXPECT_EQ(result.index, 1);
    EXPECT_GE(result.score, 80);  // the matcher reports nothing below its threshold
    EXPECT_EQ(result.quality, std::min(100, result.score * 100 / 500));
    EXPECT_EQ(result.size, static_cast<int>(sizeof result));

    ASSERT_EQ(Match(probe.t, {stranger.t}, result), KVT_RESULT_OK);
    EXPECT_EQ(result.success, 1);
    EXPECT_THAT(ReadFile(LogPath()), HasSubstr("  Match result .success: 1, .index:0"));
}

TEST_F(BiometricTest, MatchingRefusesBadRecordsAndForeignTemplates) {
    Start();
    const Extracted probe = Extract(EncodeBmp(DrawnFinger(5), 8));
    ASSERT_EQ(probe.code, KVT_RESULT_OK);
    const std::vector<KVT_Template> references = {probe.t};
    KVT_MatchResult result{};
    result.size = sizeof result;

    EXPECT_EQ(KVT_MatchTemplate(nullptr, references.data(), 1, &result), KVT_RESULT_BAD_ARGUMENT);
    EXPECT_EQ(KVT_MatchTemplate(&probe.t, references.data(), 1, nullptr), KVT_RESULT_BAD_ARGUMENT);
    result.size = 19;
    EXPECT_EQ(KVT_MatchTemplate(&probe.t, references.data(), 1, &result), KVT_RESULT_BAD_ARGUMENT);
    KVT_Template unsized = probe.t;
    unsized.size = 0;
    EXPECT_EQ(Match(unsized, references, result), KVT_RESULT_BAD_ARGUMENT);
    // A length beyond the record would read past it.
    KVT_Template overlong = probe.t;
    overlong.bytesEffective = 10001;
    EXPECT_EQ(Match(overlong, references, result), KVT_RESULT_BAD_ARGUMENT);
    EXPECT_EQ(Match(probe.t, {probe.t, overlong}, result), KVT_RESULT_BAD_ARGUMENT);

    // Nothing to compare with is the algorithm's refusal.
    EXPECT_EQ(Match(probe.t, {}, result), KVT_RESULT_FAILED);
    result.size = sizeof result;
    EXPECT_EQ(KVT_MatchTemplate(&probe.t, nullptr, 1, &result), KVT_RESULT_FAILED);

    KVT_Template foreign = probe.t;
    foreign.type = 3;
    for (const auto& [p, r] : {std::pair{foreign, probe.t}, std::pair{probe.t, foreign}}) {
        ASSERT_EQ(Match(p, {r}, result), KVT_RESULT_FAILED);
        EXPECT_EQ(result.success, 1);
        EXPECT_EQ(result.index, -1);
        EXPECT_EQ(result.score, -1);
    }
    EXPECT_THAT(ReadFile(LogPath()),
                HasSubstr("KVT_MatchTemplate: Extraction of template failed with error code: 0"));
}

TEST_F(BiometricTest, APictureWithoutAFingerprintClearsTheTemplate) {
    Start();
    fptest::Image blank{300, 300, std::vector<uint8_t>(300 * 300, 235)};
    std::vector<unsigned char> bmp = EncodeBmp(blank, 8);
    KVT_CapturedData image{};
    image.size = sizeof image;
    image.image = bmp.data();
    image.imageSize = static_cast<unsigned int>(bmp.size());
    KVT_Template result;
    std::memset(&result, 0x33, sizeof result);
    result.size = sizeof result;
    ASSERT_EQ(KVT_ExtractTemplate(&image, &result), KVT_RESULT_FAILED);
    EXPECT_EQ(result.bytesEffective, 0);
    EXPECT_EQ(result.minutiaeCount, 0);
    EXPECT_EQ(result.quality, 0);
    EXPECT_EQ(std::count(result.data, result.data + sizeof result.data, 0),
              static_cast<long>(sizeof result.data));
    EXPECT_THAT(ReadFile(LogPath()), HasSubstr("KVT_ExtractTemplate: extraction call failed"));
}

TEST_F(BiometricTest, PhotoPicturesAreMirroredBeforeExtraction) {
    Start();
    const fptest::Image finger = DrawnFinger(11);
    const Extracted stamp = Extract(EncodeBmp(finger, 8), kStamp);
    const Extracted photo = Extract(EncodeBmp(finger, 8), kPhoto);
    const Extracted mirroredStamp = Extract(EncodeBmp(Mirrored(finger), 8), kStamp);
    const Extracted noText = Extract(EncodeBmp(finger, 8), "");
    for (const Extracted* e : {&stamp, &photo, &mirroredStamp, &noText})
        ASSERT_EQ(e->code, KVT_RESULT_OK);
    EXPECT_EQ(photo.bytes(), mirroredStamp.bytes());
    EXPECT_NE(photo.bytes(), stamp.bytes());
    EXPECT_EQ(noText.bytes(), stamp.bytes());

    // An invalid text falls back to the defaults: not mirrored.
    const std::string shortPhoto = kPhoto.substr(0, 31);
    const Extracted invalid = Extract(EncodeBmp(finger, 8), shortPhoto);
    ASSERT_EQ(invalid.code, KVT_RESULT_OK);
    EXPECT_EQ(invalid.bytes(), stamp.bytes());
    EXPECT_THAT(ReadFile(LogPath()),
                HasSubstr("KVT_ExtractTemplate: properties not valid (" + shortPhoto + ")"));
}

TEST_F(BiometricTest, EveryPixelDepthAndWidthShowsTheSameFingerprint) {
    Start();
    const fptest::Image finger = DrawnFinger(12);
    const Extracted grey = Extract(EncodeBmp(finger, 8));
    ASSERT_EQ(grey.code, KVT_RESULT_OK);
    for (const auto& [bits, palette] :
         {std::pair{8, Palette::Inverted}, {24, Palette::Grey}, {32, Palette::Grey}}) {
        const Extracted other = Extract(EncodeBmp(finger, bits, palette));
        ASSERT_EQ(other.code, KVT_RESULT_OK) << bits;
        EXPECT_EQ(other.bytes(), grey.bytes()) << bits;
    }

    // 359 pixels: padded rows in the file, unpadded ones for the algorithm.
    const fptest::Image narrow = WithoutLastColumn(finger);
    const Extracted narrowGrey = Extract(EncodeBmp(narrow, 8));
    const Extracted narrowColour = Extract(EncodeBmp(narrow, 24));
    ASSERT_EQ(narrowGrey.code, KVT_RESULT_OK);
    EXPECT_EQ(narrowColour.bytes(), narrowGrey.bytes());
    KVT_MatchResult result;
    ASSERT_EQ(Match(grey.t, {narrowGrey.t}, result), KVT_RESULT_OK);
    EXPECT_EQ(result.success, 0);
}

TEST_F(BiometricTest, ConcurrentExtractionsAgree) {
    Start();
    const std::vector<unsigned char> bmp = EncodeBmp(DrawnFinger(13), 8);
    std::vector<Extracted> results(3);
    std::vector<std::thread> threads;
    for (auto& r : results) threads.emplace_back([&] { r = Extract(bmp); });
    for (auto& t : threads) t.join();
    for (const auto& r : results) {
        ASSERT_EQ(r.code, KVT_RESULT_OK);
        EXPECT_EQ(r.bytes(), results[0].bytes());
    }
}

using CapturedBiometricTest = kvt_test::SimulatedSensorTest;

TEST_F(CapturedBiometricTest, CapturedPicturesReachTheAlgorithm) {
    Start();
    int simId = 0;
    const std::string id = Plug(KVTSIM_MODEL_U2, &simId);
    ASSERT_EQ(KVTSim_PlaceFinger(simId, 3, 1, 1), KVTSIM_OK);
    ASSERT_EQ(KVT_SetProperty(id.c_str(), "ImageMode", "Photo"), KVT_RESULT_OK);
    std::vector<unsigned char> image;
    KVT_CapturedData data;
    ASSERT_EQ(Capture(id, image, data), KVT_RESULT_OK);
    KVT_Template result{};
    result.size = sizeof result;
    // Whether the simulated finger has enough minutiae is not this test's
    // concern: the picture and its properties text must be taken as they come.
    const int code = KVT_ExtractTemplate(&data, &result);
    EXPECT_TRUE(code == KVT_RESULT_OK || code == KVT_RESULT_FAILED) << code;
    const std::string log = ReadFile(LogPath());
    EXPECT_THAT(log, Not(HasSubstr("Imagedata corrupted")));
    EXPECT_THAT(log, Not(HasSubstr("properties not valid")));
}

}  // namespace
