// The adapter on our real modules, on drawn prints, and with modules missing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <numbers>
#include <vector>

#include "algo/AlgoNeuro50.h"
#include "support/DrawnPrint.h"
#include "support/LoggedTest.h"

using testing::HasSubstr;

namespace fs = std::filesystem;

namespace {

const fs::path kModules = KVT_MODULE_DIR;

struct Extracted {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(CAlgo::kTemplateCapacity);
    int32_t size = 0, type = 0, subType = 0, minutiae = 0, quality = 0;
    bool ok;
    Extracted(CAlgo& algo, const fptest::Image& image)
        : ok(algo.Extract(image.pixels.data(), image.width, image.height, bytes.data(), &size,
                          &type, &subType, &minutiae, &quality)) {
        bytes.resize(static_cast<size_t>(size));
    }
};

kvt__BioTemplate Describe(const std::vector<uint8_t>& bytes) {
    kvt__BioTemplate t;
    t.data.ptr = const_cast<uint8_t*>(bytes.data());
    t.data.size = t.bytesEffective = static_cast<int32_t>(bytes.size());
    t.type = 2;
    t.subType = 50;
    return t;
}

struct Matched {
    kvt__Match success = kvt__Match__enNoMatch;
    int32_t index = 0, quality = 0, score = 0;
    bool ok;
    Matched(CAlgo& algo, const std::vector<uint8_t>& probe,
            const std::vector<std::vector<uint8_t>>& references) {
        const kvt__BioTemplate p = Describe(probe);
        std::vector<kvt__BioTemplate> r;
        for (const auto& bytes : references) r.push_back(Describe(bytes));
        ok = algo.Match(&p, r.data(), static_cast<int32_t>(r.size()), &success, &index, &quality,
                        &score);
    }
};

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
    const Matched found(*algo, probe.bytes, {stranger.bytes, mate.bytes, mate.bytes});
    EXPECT_EQ(std::tuple(found.ok, found.success, found.index, found.quality),
              std::tuple(true, kvt__Match__enMatch, 1, std::min(100, found.score * 100 / 500)));
    EXPECT_EQ(Matched(*algo, probe.bytes, {stranger.bytes}).success, kvt__Match__enNoMatch);

    // A broken reference fails the identification, and the next one works again.
    std::vector<uint8_t> broken = mate.bytes;
    broken[broken.size() / 2] ^= 0x10;
    const Matched failed(*algo, probe.bytes, {mate.bytes, broken});
    EXPECT_EQ(std::pair(failed.ok, failed.index), std::pair(false, -1));
    EXPECT_THAT(LogText(), HasSubstr("m_pfVFIdentifyNext() delivered unexpected error"));
    EXPECT_EQ(Matched(*algo, probe.bytes, {mate.bytes}).index, 0);

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
