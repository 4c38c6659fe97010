// Template extraction and matching through the public interface: drawn prints
// encoded as BMP files, and impressions captured from simulated sensors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "integration/LibraryFixture.h"
#include "support/BmpFile.h"
#include "support/DrawnPrint.h"

using namespace kvt_test;
using testing::HasSubstr;
using testing::Not;

namespace {

const std::string kPhoto = "30" + std::string(30, '0');

// Each row of the picture mirrored, or cut by its last column.
fptest::Image Reshaped(const fptest::Image& image, bool mirror, int width) {
    fptest::Image out{width, image.height, {}};
    for (int y = 0; y < image.height; ++y) {
        auto row = image.pixels.begin() + y * image.width;
        out.pixels.insert(out.pixels.end(), row, row + width);
        if (mirror) std::reverse(out.pixels.end() - width, out.pixels.end());
    }
    return out;
}

struct Extracted {
    int code = 0;
    KVT_Template t{};
    std::vector<unsigned char> bytes() const { return {t.data, t.data + t.bytesEffective}; }
};

Extracted Extract(std::vector<unsigned char> bmp, const std::string& properties = "") {
    KVT_CapturedData image = Picture(bmp);
    std::strncpy(image.properties, properties.c_str(), sizeof image.properties - 1);
    Extracted e{0, Sized<KVT_Template>()};
    e.code = KVT_ExtractTemplate(&image, &e.t);
    return e;
}

int Match(const KVT_Template& probe, const std::vector<KVT_Template>& references,
          KVT_MatchResult& result) {
    result = Sized<KVT_MatchResult>();
    return KVT_MatchTemplate(&probe, references.data(),
                             static_cast<unsigned int>(references.size()), &result);
}

// The default log level keeps the warnings and errors read here.
using BiometricTest = SimulatedSensorTest;

// A stopped library's answer is StopOverlapTest's.
TEST_F(BiometricTest, DescribesTheAlgorithmWhileRunningIntoAnExactRecordOnly) {
    EXPECT_EQ(KVT_ExtractTemplate(nullptr, nullptr), KVT_RESULT_NO_ALGORITHM);
    EXPECT_EQ(KVT_MatchTemplate(nullptr, nullptr, 0, nullptr), KVT_RESULT_NO_ALGORITHM);
    EXPECT_EQ(KVT_GetBiometricsInfo(nullptr), KVT_RESULT_NO_ALGORITHM);
    Start();
    KVT_BiometricsInfo info;
    std::memset(&info, 0x5A, sizeof info);
    info.size = sizeof info - 1;
    const KVT_BiometricsInfo before = info;
    EXPECT_EQ((std::pair{KVT_GetBiometricsInfo(&info), std::memcmp(&info, &before, sizeof info)}),
              std::pair(KVT_RESULT_BAD_ARGUMENT, 0));

    info.size = sizeof info;
    ASSERT_EQ(KVT_GetBiometricsInfo(&info), KVT_RESULT_OK);
    EXPECT_EQ(std::tuple(std::string(info.name), std::string(info.version), info.type, info.subType,
                         info.capabilities),
              std::tuple("VeriFinger50", "5.0", 2, 50, 1u));
}

TEST_F(BiometricTest, BadRecordsAndPicturesAreRefused) {
    Start();
    std::vector<unsigned char> bmp = EncodeBmp(DrawnFinger(1), 8);
    KVT_CapturedData image = Picture(bmp);
    image.size = sizeof image - 1;
    auto t = Sized<KVT_Template>();
    EXPECT_EQ(KVT_ExtractTemplate(&image, &t), KVT_RESULT_BAD_ARGUMENT);
    image.size = sizeof image;
    EXPECT_EQ(KVT_ExtractTemplate(&image, nullptr), KVT_RESULT_BAD_ARGUMENT);
    image.imageSize = 600;  // cut inside the palette
    EXPECT_EQ(KVT_ExtractTemplate(&image, &t), KVT_RESULT_BAD_ARGUMENT);
    image.image = nullptr;
    EXPECT_EQ(KVT_ExtractTemplate(&image, &t), KVT_RESULT_BAD_ARGUMENT);
    EXPECT_THAT(LogText(), HasSubstr("KVT_ExtractTemplate: extraction error: Imagedata corrupted"));

    const Extracted blank = Extract(EncodeBmp({300, 300, std::vector<uint8_t>(90000, 235)}, 8));
    EXPECT_EQ(std::tuple(blank.code, blank.t.bytesEffective), std::tuple(KVT_RESULT_FAILED, 0));
    EXPECT_THAT(LogText(), HasSubstr("KVT_ExtractTemplate: extraction call failed"));

    const Extracted probe = Extract(bmp);
    ASSERT_EQ(probe.code, KVT_RESULT_OK);
    KVT_MatchResult result{};
    EXPECT_EQ(KVT_MatchTemplate(&probe.t, &probe.t, 1, &result), KVT_RESULT_BAD_ARGUMENT);
    KVT_Template overlong = probe.t;  // would be read past its record
    overlong.bytesEffective = 10001;
    EXPECT_EQ((std::pair{Match(probe.t, {probe.t, overlong}, result), Match(probe.t, {}, result)}),
              std::pair(KVT_RESULT_BAD_ARGUMENT, KVT_RESULT_FAILED));
    KVT_Template foreign = probe.t;
    foreign.subType = 51;
    ASSERT_EQ(Match(foreign, {probe.t}, result), KVT_RESULT_FAILED);
    EXPECT_EQ(std::tuple(result.success, result.index), std::tuple(1, -1));
}

TEST_F(BiometricTest, EveryEncodingAndEveryThreadShowsTheSameFingerprintAndPhotosAreMirrored) {
    Start();
    const fptest::Image finger = DrawnFinger(11);
    const std::vector<unsigned char> bmp = EncodeBmp(finger, 8);
    const Extracted stamp = Extract(bmp);
    ASSERT_EQ(stamp.code, KVT_RESULT_OK);
    std::vector<Extracted> concurrent(3);
    std::vector<std::thread> threads;
    for (auto& r : concurrent) threads.emplace_back([&] { r = Extract(bmp); });
    for (auto& t : threads) t.join();
    concurrent.push_back(Extract(EncodeBmp(finger, 8, true)));
    for (int bits : {24, 32}) concurrent.push_back(Extract(EncodeBmp(finger, bits)));
    for (const auto& r : concurrent) EXPECT_EQ(r.bytes(), stamp.bytes());

    const Extracted photo = Extract(bmp, kPhoto);
    ASSERT_EQ(photo.code, KVT_RESULT_OK);
    EXPECT_EQ(photo.bytes(), Extract(EncodeBmp(Reshaped(finger, true, finger.width), 8)).bytes());
    EXPECT_NE(photo.bytes(), stamp.bytes());
    // An invalid text means the defaults: not mirrored.
    const std::string invalidText = kPhoto.substr(0, 31);
    EXPECT_EQ(Extract(bmp, invalidText).bytes(), stamp.bytes());
    EXPECT_THAT(LogText(),
                HasSubstr("KVT_ExtractTemplate: properties not valid (" + invalidText + ")"));

    // 359 pixels: rows padded in the file, unpadded for the algorithm.
    const Extracted narrow = Extract(EncodeBmp(Reshaped(finger, false, 359), 8));
    KVT_MatchResult result;
    ASSERT_EQ(Match(stamp.t, {narrow.t}, result), KVT_RESULT_OK);
    EXPECT_EQ(result.success, 0);
}

// A smaller drawn finger than DrawnFinger, so that a hundred of them render
// and extract in a few seconds: 288 x 320 pixels, about a sensor's window.
fptest::Image SmallFinger(unsigned id, fptest::Placement placement = {}) {
    return fptest::Render(fptest::RandomPattern(id, 288, 320, 24, 28.f), 288, 320, placement, 0);
}

// One-to-many identification with the adapter's own settings (matching
// threshold 80): a new impression of an enrolled finger is found at its index
// among a hundred, and a finger that was never enrolled matches none of them.
TEST_F(BiometricTest, IdentifiesAProbeAmongAHundredEnrolledFingers) {
    Start();
    constexpr unsigned kFirst = 500, kCount = 100, kMate = 37;
    std::vector<KVT_Template> gallery;
    for (unsigned i = 0; i < kCount; ++i) {
        const Extracted e = Extract(EncodeBmp(SmallFinger(kFirst + i), 8));
        ASSERT_EQ(e.code, KVT_RESULT_OK) << "finger " << kFirst + i;
        gallery.push_back(e.t);
    }
    const Extracted probe = Extract(EncodeBmp(SmallFinger(kFirst + kMate, {0.2f, 9.f, -7.f}), 8));
    ASSERT_EQ(probe.code, KVT_RESULT_OK);
    KVT_MatchResult result;
    ASSERT_EQ(Match(probe.t, gallery, result), KVT_RESULT_OK);
    EXPECT_EQ(std::tuple(result.success, result.index), std::tuple(0, int(kMate)));
    EXPECT_GE(result.score, 80);
    EXPECT_EQ(result.quality, result.score * 100 / 500);

    const Extracted stranger =
        Extract(EncodeBmp(SmallFinger(kFirst + kCount, {-0.1f, 4.f, 6.f}), 8));
    ASSERT_EQ(stranger.code, KVT_RESULT_OK);
    ASSERT_EQ(Match(stranger.t, gallery, result), KVT_RESULT_OK);
    EXPECT_EQ(result.success, 1);
}

TEST_F(BiometricTest, CapturedImpressionsIdentifyTheirFinger) {
    ASSERT_NO_FATAL_FAILURE(StartWithSensor());
    ASSERT_EQ(KVT_SetProperty(id_.c_str(), "ImageMode", "Photo"), KVT_RESULT_OK);
    const size_t logBefore = LogText().size();
    std::vector<KVT_Template> templates;
    for (const auto& [finger, impression] : {std::pair{3, 1}, {9, 1}, {3, 2}, {8, 1}}) {
        ASSERT_EQ(KVTSim_PlaceFinger(simId_, finger, impression, 1), KVTSIM_OK);
        ASSERT_EQ(Capture(), KVT_RESULT_OK);
        ASSERT_EQ(KVT_ExtractTemplate(&data_, &templates.emplace_back(Sized<KVT_Template>())),
                  KVT_RESULT_OK);
    }
    // The capture's properties text (Photo) is taken as it comes.
    EXPECT_THAT(LogText().substr(logBefore), Not(HasSubstr("properties not valid")));

    KVT_MatchResult result;
    ASSERT_EQ(Match(templates[0], {templates[1], templates[2], templates[3]}, result),
              KVT_RESULT_OK);
    EXPECT_EQ(std::tuple(result.success, result.index), std::tuple(0, 1));
    ASSERT_EQ(Match(templates[1], {templates[0], templates[2], templates[3]}, result),
              KVT_RESULT_OK);
    EXPECT_EQ(result.success, 1);
}

}  // namespace
