// CAlgo's guards around a subclass that reports what each test tells it, and
// the adapter on our real modules, on drawn prints, and with modules missing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <numbers>
#include <vector>

#include "algo/Algo.h"
#include "algo/AlgoNeuro50.h"
#include "kvt/KVTBasic.h"
#include "support/DrawnPrint.h"
#include "support/LoggedTest.h"

using testing::HasSubstr;

namespace fs = std::filesystem;

namespace {

class ScriptedAlgo final : public CAlgo {
public:
    ScriptedAlgo() {
        m_type = 2;
        m_subType = 50;
    }
    bool InitAlgo() override { return m_initialized = true; }

    int32_t quality = 50, index = 0;
    bool result = true;
    int calls = 0;

private:
    // Both write every output before reporting, as a failing vendor call may.
    bool _Extract(const uint8_t*, int32_t, int32_t, uint8_t* buffer, int32_t* size, int32_t* type,
                  int32_t* subType, int32_t* minutiaeCount, int32_t* q) override {
        ++calls;
        buffer[0] = 0x7F;
        std::tie(*size, *type, *subType, *minutiaeCount, *q) =
            std::tuple(1, m_type, m_subType, 33, quality);
        return result;
    }
    bool _Match(const kvt__BioTemplate*, const kvt__BioTemplate*, int32_t, kvt__Match* success,
                int32_t* i, int32_t* q, int32_t* score) override {
        ++calls;
        std::tie(*success, *i, *q, *score) = std::tuple(kvt__Match__enMatch, index, quality, 250);
        return result;
    }
};

// Every output preset, so that what a call leaves alone shows.
struct Extracted {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(CAlgo::kTemplateCapacity, 0xAB);
    int32_t size = 9, type = 9, subType = 9, minutiae = 9, quality = 9;
    bool ok;
    Extracted(CAlgo& algo, const uint8_t* pixels, int32_t width = 4, int32_t height = 4)
        : ok(algo.Extract(pixels, width, height, bytes.data(), &size, &type, &subType, &minutiae,
                          &quality)) {
        if (ok) bytes.resize(static_cast<size_t>(size));
    }
    Extracted(CAlgo& algo, const fptest::Image& image)
        : Extracted(algo, image.pixels.data(), image.width, image.height) {}
    // Failed, with every output cleared.
    bool Cleared() const {
        return !ok && std::count(bytes.begin(), bytes.end(), 0) == CAlgo::kTemplateCapacity &&
               size == 0 && type == -1 && subType == -1 && minutiae == 0 && quality == 0;
    }
};

kvt__BioTemplate Describe(const std::vector<uint8_t>& bytes, int32_t type = 2,
                          int32_t subType = 50) {
    const int32_t size = static_cast<int32_t>(bytes.size());
    return {{const_cast<uint8_t*>(bytes.data()), size}, size, 0, 0, type, subType, {}};
}

std::vector<kvt__BioTemplate> Described(const std::vector<std::vector<uint8_t>>& prints) {
    std::vector<kvt__BioTemplate> t;
    for (const auto& bytes : prints) t.push_back(Describe(bytes));
    return t;
}

// The probe first, then the references.
struct Matched {
    kvt__Match success = kvt__Match__enMatch;
    int32_t index = 9, quality = 9, score = 9;
    bool ok;
    Matched(CAlgo& algo, const std::vector<kvt__BioTemplate>& t)
        : ok(algo.Match(t.data(), t.data() + 1, static_cast<int32_t>(t.size()) - 1, &success,
                        &index, &quality, &score)) {}
    Matched(CAlgo& algo, const std::vector<std::vector<uint8_t>>& prints)
        : Matched(algo, Described(prints)) {}
    // Succeeded or not as said, with every output at its "no match" value.
    bool Preset(bool succeeded = false) const {
        return ok == succeeded && success == kvt__Match__enNoMatch && index == -1 &&
               quality == -1 && score == -1;
    }
};

const std::vector<uint8_t> kNoBytes;

std::vector<kvt__BioTemplate> Templates(std::vector<std::pair<int32_t, int32_t>> families) {
    std::vector<kvt__BioTemplate> t;
    for (const auto& [type, subType] : families) t.push_back(Describe(kNoBytes, type, subType));
    return t;
}

class AlgoTest : public kvt_test::LoggedTest {
protected:
    ScriptedAlgo algo_;
    const uint8_t pixels_[16] = {};
};

TEST_F(AlgoTest, ExtractionAndMatchClampQualityRefuseForeignTemplatesAndNeverLeaveHalfResults) {
    const Extracted early(algo_, pixels_);
    EXPECT_EQ(std::pair(early.ok, early.size), std::pair(false, 9));  // not initialised: untouched

    algo_.InitAlgo();
    EXPECT_TRUE(Extracted(algo_, nullptr).Cleared());
    EXPECT_THAT(LogText(), HasSubstr("CAlgo::Extract: Invalid Param"));
    EXPECT_EQ(algo_.calls, 0);

    algo_.quality = 130;
    const Extracted clamped(algo_, pixels_);
    EXPECT_EQ(std::tuple(clamped.ok, clamped.quality, clamped.bytes[0]),
              std::tuple(true, 100, 0x7F));

    algo_.result = false;
    EXPECT_TRUE(Extracted(algo_, pixels_).Cleared());

    // A match refuses foreign templates, clamps the quality and never leaves half results.
    algo_.result = true;
    const int calls = algo_.calls;
    EXPECT_FALSE(Matched(algo_, Templates({{2, 50}})).ok);
    EXPECT_THAT(LogText(), HasSubstr("CAlgo::Match: Invalid Param"));

    EXPECT_TRUE(Matched(algo_, Templates({{3, 50}, {2, 50}})).Preset());
    EXPECT_THAT(LogText(), HasSubstr("CAlgo::IsTemplateProcessable: Template mismatch, expected "
                                     "(type, subtype): (2, 50), received: (3, 50)"));
    // One foreign reference refuses the whole list.
    EXPECT_FALSE(Matched(algo_, Templates({{2, 50}, {2, 50}, {2, 51}, {2, 50}})).ok);
    EXPECT_EQ(algo_.calls, calls);

    // What the subclass reports is clamped, and reset where it leaves no result.
    const auto templates = Templates({{2, 50}, {2, 50}, {2, 50}});
    algo_.quality = 140;
    const Matched clampedMatch(algo_, templates);
    EXPECT_EQ(std::tuple(clampedMatch.ok, clampedMatch.quality, clampedMatch.score),
              std::tuple(true, 100, 250));

    algo_.index = -1;  // nothing could be compared: no half result, but no failure
    EXPECT_TRUE(Matched(algo_, templates).Preset(true));

    algo_.index = 1;
    algo_.result = false;
    EXPECT_TRUE(Matched(algo_, templates).Preset());
}

TEST_F(AlgoTest, BiometricExportsSayNoAlgorithmBeforeAnyArgumentCheck) {
    EXPECT_EQ(KVT_ExtractTemplate(nullptr, nullptr), KVT_RESULT_NO_ALGORITHM);
    EXPECT_EQ(KVT_MatchTemplate(nullptr, nullptr, 0, nullptr), KVT_RESULT_NO_ALGORITHM);
    EXPECT_EQ(KVT_GetBiometricsInfo(nullptr), KVT_RESULT_NO_ALGORITHM);
    for (const char* name : {"KVT_ExtractTemplate", "KVT_MatchTemplate", "KVT_GetBiometricsInfo"})
        EXPECT_THAT(LogText(), HasSubstr(std::string(name) + ": BioAlgorithm is not available"));
}

const fs::path kModules = KVT_MODULE_DIR;

class AdapterTest : public kvt_test::LoggedTest {
protected:
    void TearDown() override {
        fs::remove(kvt_test::DataDir() / CAlgoNeuro50::kConfigFileName);
        LoggedTest::TearDown();
    }
    static void Configure(const std::string& text) {
        kvt_test::WriteFile(kvt_test::DataDir() / CAlgoNeuro50::kConfigFileName, text);
    }
    static std::unique_ptr<CAlgoNeuro50> Started() {
        auto algo = std::make_unique<CAlgoNeuro50>(kModules.string());
        EXPECT_TRUE(algo->InitAlgo());
        return algo;
    }
};

TEST_F(AdapterTest, EveryConfiguredKeyReachesItsParameterAndPercentBecomesScoreUnits) {
    Configure(
        "VF50-GThreshold=1\nVF50-MThreshold=0.01\nVF50-ExtractSingularPoints=0\n"
        "VF50-MaxMinutiaeCount=15\nVF50-MaxCoreCount=1\nVF50-MaxDoubleCoreCount=0\n"
        "VF50-MaxDeltaCount=3\nVF50-UseSmallTemplateSize=1\n"
        "[Elsewhere]\nVF50-MaxCoreCount=4\n");
    auto algo = Started();
    const std::string log = LogText();
    EXPECT_THAT(log,
                HasSubstr("CAlgoNeuro50::InitAlgo: Generalization threshold is set to 24 (1)"));
    EXPECT_THAT(log, HasSubstr("CAlgoNeuro50::InitAlgo: Matching threshold is set to 48 (0.01)"));
    // Read back from the modules: each key landed on its own parameter.
    EXPECT_THAT(log, HasSubstr("Create small templates:true Max-Minutiae:15, Extract Singular "
                               "Points:false, Max-Core:1, MaxDelta:3, Max-DoubleCore:0"));

    // 15 minutiae are the fewest a template may have.
    const Extracted fifteen(*algo, kvt_test::DrawnFinger(7));
    EXPECT_EQ(std::tuple(fifteen.ok, fifteen.minutiae, fifteen.quality), std::tuple(true, 15, 21));
    algo.reset();
    Configure("VF50-MaxMinutiaeCount=14\n");
    const Extracted fourteen(*Started(), kvt_test::DrawnFinger(7));
    EXPECT_EQ(std::pair(fourteen.ok, fourteen.size), std::pair(false, 0));
    EXPECT_THAT(LogText(),
                HasSubstr("CAlgoNeuro50::_Extract: Template generated, quality not sufficient"));

    // A threshold in percent becomes score units; values out of range are bounded.
    const std::pair<double, int32_t> cases[] = {
        {100, 0}, {0.1, 36}, {50, 4}, {20, 8}, {250, 0}, {0, 1224}, {std::nan(""), 1224}};
    for (const auto& [percent, score] : cases)
        EXPECT_EQ(CAlgoNeuro50::ThresholdFromPercent(percent), score) << percent;
}

TEST_F(AdapterTest, StartsOnceWithTheModulesOwnSettingsAndIdentifiesDrawnPrints) {
    auto algo = Started();
    EXPECT_FALSE(algo->InitAlgo());
    EXPECT_THAT(LogText(), HasSubstr("Max-Minutiae:120, Extract Singular Points:true, Max-Core:2, "
                                     "MaxDelta:2, Max-DoubleCore:1"));
    EXPECT_THAT(LogText(), HasSubstr("VeriFinger 5.0 initialized"));
    const Extracted probe(*algo, kvt_test::DrawnFinger(5));
    const Extracted mate(*algo, kvt_test::DrawnFinger(5, {0.1f, 6.f, -4.f}));
    const Extracted stranger(*algo, kvt_test::DrawnFinger(6));
    for (const Extracted* e : {&probe, &mate, &stranger}) {
        ASSERT_TRUE(e->ok);
        EXPECT_EQ(std::tuple(e->quality, e->type, e->subType),
                  std::tuple(std::min(100, e->minutiae * 100 / 70), 2, 50));
    }

    // Equal scores: the first one wins.
    const Matched found(*algo, {probe.bytes, stranger.bytes, mate.bytes, mate.bytes});
    EXPECT_EQ(std::tuple(found.ok, found.success, found.index, found.quality),
              std::tuple(true, kvt__Match__enMatch, 1, std::min(100, found.score * 100 / 500)));

    // A broken reference fails the identification, and the next one works again.
    std::vector<uint8_t> broken = mate.bytes;
    broken[broken.size() / 2] ^= 0x10;
    const Matched failed(*algo, {probe.bytes, mate.bytes, broken});
    EXPECT_EQ(std::pair(failed.ok, failed.index), std::pair(false, -1));
    EXPECT_THAT(LogText(), HasSubstr("m_pfVFIdentifyNext() delivered unexpected error"));
    EXPECT_EQ(Matched(*algo, {probe.bytes, mate.bytes}).index, 0);

    const kvt__BioTemplate t = Describe(probe.bytes);
    std::vector<kvt__BioFeature> features(200);
    int32_t count = 0;
    ASSERT_TRUE(algo->GetFeatureList(&t, features.data(), 200, &count));
    EXPECT_EQ(count, probe.minutiae);
    EXPECT_TRUE(std::all_of(features.begin(), features.begin() + count, [](const auto& f) {
        return f.x < 360 && f.y < 360 && f.direction >= 0 && f.direction < 2 * std::numbers::pi;
    }));
}

TEST_F(AdapterTest, MissingModulesOrEntryPointsLeaveItUninitialised) {
    kvt_test::TempDir empty("kvt-none"), onlyExtractor("kvt-one"), recordAsExtractor("kvt-wrong");
    fs::create_symlink(kModules / "libVFExtractor.so", onlyExtractor / "libVFExtractor.so");
    for (const char* name : {"libVFExtractor.so", "libNFRecord.so"})
        fs::create_symlink(kModules / "libNFRecord.so", recordAsExtractor / name);
    fs::create_symlink(kModules / "libVFMatcher.so", recordAsExtractor / "libVFMatcher.so");

    const std::pair<const kvt_test::TempDir*, const char*> cases[] = {
        {&empty, "failed to load VFExtractor.dll"},
        {&onlyExtractor, "failed to load VFMatcher.dll"},
        {&recordAsExtractor, "function VfeCreate not found"},
    };
    for (const auto& [folder, line] : cases) {
        CAlgoNeuro50 algo(folder->Path().string());
        EXPECT_FALSE(algo.InitAlgo()) << line;
        EXPECT_THAT(LogText(), HasSubstr(std::string("CAlgoNeuro50::LoadDll: ") + line));
    }
    EXPECT_THAT(LogText(), HasSubstr("CAlgoNeuro50::InitAlgo: LoadDll() failed"));
}

}  // namespace
