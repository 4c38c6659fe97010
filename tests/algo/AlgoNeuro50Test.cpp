// The adapter against scripted fake modules (every call it makes), against
// our real modules (drawn prints) and without modules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <numbers>
#include <thread>
#include <vector>

#include "FakeVendor.h"
#include "algo/AlgoNeuro50.h"
#include "support/DrawnPrint.h"
#include "support/LoggedTest.h"

using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::Not;

namespace fs = std::filesystem;

namespace {

const fs::path kRealModules = KVT_MODULE_DIR;
const fs::path kFakeModules = KVT_FAKE_MODULE_DIR;

std::vector<std::string> CallsFrom(size_t mark) {
    const std::vector<std::string> calls = fake_vendor::Calls();
    return {calls.begin() + static_cast<std::ptrdiff_t>(std::min(mark, calls.size())), calls.end()};
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A template record around bytes owned by the caller.
kvt__BioTemplate Describe(std::vector<uint8_t>& bytes) {
    kvt__BioTemplate t;
    t.data.ptr = bytes.data();
    t.data.size = static_cast<int32_t>(bytes.size());
    t.bytesEffective = t.data.size;
    t.type = 2;
    t.subType = 50;
    return t;
}

struct Extraction {
    std::vector<uint8_t> buffer = std::vector<uint8_t>(CAlgo::kTemplateCapacity);
    int32_t size = 0, type = 0, subType = 0, minutiae = 0, quality = 0;
    bool ok = false;

    Extraction(CAlgo& algo, const uint8_t* pixels, int32_t width, int32_t height) {
        ok = algo.Extract(pixels, width, height, buffer.data(), &size, &type, &subType, &minutiae,
                          &quality);
        buffer.resize(static_cast<size_t>(size));
    }
    Extraction(CAlgo& algo, const fptest::Image& image)
        : Extraction(algo, image.pixels.data(), image.width, image.height) {}
};

struct Identification {
    kvt__Match success = kvt__Match__enNoMatch;
    int32_t index = 0, quality = 0, score = 0;
    bool ok = false;

    Identification(CAlgo& algo, std::vector<uint8_t>& probe,
                   std::vector<std::vector<uint8_t>>& references) {
        const kvt__BioTemplate p = Describe(probe);
        std::vector<kvt__BioTemplate> r;
        for (auto& bytes : references) r.push_back(Describe(bytes));
        ok = algo.Match(&p, r.data(), static_cast<int32_t>(r.size()), &success, &index, &quality,
                        &score);
    }
};

class AdapterTest : public kvt_test::LoggedTest {
protected:
    void TearDown() override {
        fs::remove(ConfigPath());
        LoggedTest::TearDown();
    }
    static fs::path ConfigPath() { return kvt_test::DataDir() / CAlgoNeuro50::kConfigFileName; }
    static void Configure(const std::string& text) { kvt_test::WriteFile(ConfigPath(), text); }
};

class FakeModules : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        fake_vendor::Reset();
    }
    std::unique_ptr<CAlgoNeuro50> Started() {
        auto algo = std::make_unique<CAlgoNeuro50>(kFakeModules.string());
        EXPECT_TRUE(algo->InitAlgo());
        return algo;
    }
    fake_vendor::Script& script = fake_vendor::TheScript();
    const std::vector<uint8_t> pixels_ = std::vector<uint8_t>(64 * 48, 128);
};

const std::vector<std::string> kFixedParameters = {
    "VfeCreate",
    "VfmCreate",
    "VfeSetParameterA 190 1",
    "VfeSetParameterA 900 0",
    "VfmSetParameterA 200 80",
    "VfmSetParameterA 201 32",
    "VfmSetParameterA 1000 0",
};

TEST_F(FakeModules, WithoutConfigurationOnlyTheFixedParametersAreSet) {
    auto algo = Started();
    EXPECT_THAT(fake_vendor::Calls(), ElementsAreArray(kFixedParameters));
    const std::string log = LogText();
    EXPECT_THAT(log, HasSubstr("Max-Minutiae:120, Extract Singular Points:true, Max-Core:2, "
                               "MaxDelta:2, Max-DoubleCore:1"));
    EXPECT_THAT(log, HasSubstr("VeriFinger 5.0 initialized"));
    EXPECT_THAT(log, Not(HasSubstr("Create small templates")));
    EXPECT_FALSE(algo->InitAlgo());  // once only
}

TEST_F(FakeModules, ConfiguredKeysFollowInTheirOrder) {
    Configure(
        "; only keys before the first section count\n"
        "VF50-MaxDeltaCount=3\nVF50-UseSmallTemplateSize=1\nVF50-MaxDoubleCoreCount=0\n"
        "VF50-MaxCoreCount=1\nVF50-MaxMinutiaeCount=40\nVF50-ExtractSingularPoints=0\n"
        "VF50-MThreshold=0.01\nVF50-GThreshold=1\n"
        "[Elsewhere]\nVF50-MaxCoreCount=4\n");
    auto algo = Started();
    EXPECT_THAT(
        CallsFrom(kFixedParameters.size()),
        ElementsAre("VfeSetParameterA 300 24", "VfmSetParameterA 200 48", "VfeSetParameterA 130 0",
                    "VfeSetParameterA 110 40", "VfeSetParameterA 131 1", "VfeSetParameterA 133 0",
                    "VfeSetParameterA 132 3", "VfeSetParameterA 100 0"));
    const std::string log = LogText();
    for (const char* line :
         {"Generalization threshold is set to 24 (1)", "Matching threshold is set to 48 (0.01)",
          "Extract Singular Points is set to false", "Max minutiae count is set to 40",
          "Max core count is set to 1", "Max double core count is set to 0",
          "Use small template Size is set to true"})
        EXPECT_THAT(log, HasSubstr(std::string("CAlgoNeuro50::InitAlgo: ") + line));
    EXPECT_THAT(log, HasSubstr("Create small templates:true Max-Minutiae:40, Extract Singular "
                               "Points:false, Max-Core:1, MaxDelta:3, Max-DoubleCore:0"));
}

TEST_F(FakeModules, EmptyKeysLeaveTheModulesSettings) {
    Configure("VF50-MThreshold=\nVF50-MaxMinutiaeCount=\nVF50-UseSmallTemplateSize=0\n");
    auto algo = Started();
    EXPECT_THAT(CallsFrom(kFixedParameters.size()), ElementsAre("VfeSetParameterA 100 256"));
    EXPECT_THAT(LogText(), HasSubstr("Use small template Size is set to false"));
    EXPECT_THAT(LogText(), HasSubstr("Create small templates:false Max-Minutiae:120"));
}

TEST(ThresholdConversion, PercentBecomesScoreUnits) {
    EXPECT_EQ(CAlgoNeuro50::ThresholdFromPercent(100), 0);
    EXPECT_EQ(CAlgoNeuro50::ThresholdFromPercent(1), 24);
    EXPECT_EQ(CAlgoNeuro50::ThresholdFromPercent(0.1), 36);
    EXPECT_EQ(CAlgoNeuro50::ThresholdFromPercent(0.01f), 48);
    EXPECT_EQ(CAlgoNeuro50::ThresholdFromPercent(0.0001), 72);
    EXPECT_EQ(CAlgoNeuro50::ThresholdFromPercent(50), 4);  // 3.61
    EXPECT_EQ(CAlgoNeuro50::ThresholdFromPercent(20), 8);  // 8.39
    EXPECT_EQ(CAlgoNeuro50::ThresholdFromPercent(250), 0);
    EXPECT_EQ(CAlgoNeuro50::ThresholdFromPercent(0), 1224);
    EXPECT_EQ(CAlgoNeuro50::ThresholdFromPercent(-3), 1224);
    EXPECT_EQ(CAlgoNeuro50::ThresholdFromPercent(std::nan("")), 1224);
}

TEST_F(FakeModules, AFailedCreationReleasesWhatWasCreated) {
    script.extractorCreate = VF_ERROR_MEMORY;
    {
        CAlgoNeuro50 algo(kFakeModules.string());
        EXPECT_FALSE(algo.InitAlgo());
    }
    EXPECT_THAT(fake_vendor::Calls(), ElementsAre("VfeCreate"));
    EXPECT_THAT(LogText(), HasSubstr("CAlgoNeuro50::InitAlgo: m_pfVfeCreate() failed"));

    fake_vendor::Reset();
    script.matcherCreate = VF_ERROR_MEMORY;
    {
        CAlgoNeuro50 algo(kFakeModules.string());
        EXPECT_FALSE(algo.InitAlgo());
    }
    EXPECT_THAT(fake_vendor::Calls(), ElementsAre("VfeCreate", "VfmCreate", "VfeFree"));
    EXPECT_THAT(LogText(), HasSubstr("CAlgoNeuro50::InitAlgo: m_pfVfmCreate() failed"));
}

TEST_F(FakeModules, ExitFreesTheVendorObjectsOnceAndStopsUse) {
    auto algo = Started();
    const size_t mark = fake_vendor::Calls().size();
    EXPECT_TRUE(algo->ExitAlgo());
    EXPECT_TRUE(algo->ExitAlgo());
    EXPECT_FALSE(Extraction(*algo, pixels_.data(), 64, 48).ok);
    algo.reset();
    EXPECT_THAT(CallsFrom(mark), ElementsAre("VfeFree", "VfmFree"));

    // Destroyed without ExitAlgo, it still frees them.
    Started().reset();
    EXPECT_THAT(CallsFrom(mark + 2 + kFixedParameters.size()), ElementsAre("VfeFree", "VfmFree"));
}

TEST_F(FakeModules, ExtractionQualityComesFromTheMinutiaCount) {
    auto algo = Started();
    script.minutiae.resize(15);
    const Extraction fifteen(*algo, pixels_.data(), 64, 48);
    EXPECT_TRUE(fifteen.ok);
    EXPECT_EQ(fifteen.quality, 21);
    EXPECT_EQ(fifteen.minutiae, 15);
    EXPECT_EQ(fifteen.size, 16);
    EXPECT_EQ(fifteen.type, 2);
    EXPECT_EQ(fifteen.subType, 50);
    EXPECT_EQ(fake_vendor::Calls().back(), "VfeExtract 64x48 64 500 500 0 9 10000");

    script.minutiae.resize(80);
    EXPECT_EQ(Extraction(*algo, pixels_.data(), 64, 48).quality, 100);

    script.minutiae.resize(14);
    const Extraction fourteen(*algo, pixels_.data(), 64, 48);
    EXPECT_FALSE(fourteen.ok);
    EXPECT_EQ(fourteen.size, 0);
    EXPECT_EQ(fourteen.minutiae, 0);
    EXPECT_EQ(fourteen.type, -1);
    EXPECT_THAT(LogText(),
                HasSubstr("CAlgoNeuro50::_Extract: Template generated, quality not sufficient"));
}

TEST_F(FakeModules, EachExtractionFailureHasItsLine) {
    auto algo = Started();
    script.minutiae.resize(30);
    const struct {
        void (*spoil)(fake_vendor::Script&);
        const char* line;
    } cases[] = {
        {[](fake_vendor::Script& s) { s.extract = VF_ERROR_ARGUMENT; },
         "CAlgoNeuro50::_Extract: m_pfVFeExtract() failed"},
        {[](fake_vendor::Script& s) { s.templateSize = 10001; },
         "CAlgoNeuro50::_Extract: m_pfVFeExtract() failed"},
        {[](fake_vendor::Script& s) { s.templateSize = 0; },
         "CAlgoNeuro50::_Extract: Image quality not sufficient"},
        {[](fake_vendor::Script& s) { s.recordCreate = VF_ERROR_TEMPLATE; },
         "CAlgoNeuro50::_Extract: m_pfNFRecordCreateFromMemory failed"},
        {[](fake_vendor::Script& s) { s.minutiaCount = VF_ERROR_HANDLE; },
         "CAlgoNeuro50::_Extract: m_pfNFRecordGetMinutiaCount failed"},
    };
    for (const auto& c : cases) {
        const fake_vendor::Script saved = script;
        c.spoil(script);
        const size_t before = Occurrences(LogText(), c.line);
        const Extraction failed(*algo, pixels_.data(), 64, 48);
        EXPECT_FALSE(failed.ok) << c.line;
        EXPECT_EQ(failed.size, 0) << c.line;
        EXPECT_EQ(Occurrences(LogText(), c.line), before + 1) << c.line;
        script = saved;
    }
}

TEST_F(FakeModules, IdentificationKeepsTheFirstOfTheBestScores) {
    auto algo = Started();
    std::vector<uint8_t> probe(100);
    std::vector<std::vector<uint8_t>> references = {fake_vendor::ScoreTemplate(0),
                                                    fake_vendor::ScoreTemplate(47),
                                                    fake_vendor::ScoreTemplate(47)};
    const size_t mark = fake_vendor::Calls().size();
    const Identification best(*algo, probe, references);
    EXPECT_TRUE(best.ok);
    EXPECT_EQ(best.success, kvt__Match__enMatch);
    EXPECT_EQ(best.index, 1);
    EXPECT_EQ(best.score, 47);
    EXPECT_EQ(best.quality, 9);
    EXPECT_THAT(CallsFrom(mark),
                ElementsAre("VfmIdentifyStart 100", "VfmIdentifyNext 0", "VfmIdentifyNext 47",
                            "VfmIdentifyNext 47", "VfmIdentifyEnd", "VfmMatchDetailsFree"));
    EXPECT_THAT(LogText(), HasSubstr("Match with score 47 at index 1 of 3 templates"));
    EXPECT_THAT(LogText(), Not(HasSubstr("Match with score 0")));

    references = {fake_vendor::ScoreTemplate(40)};
    const Identification weak(*algo, probe, references);
    EXPECT_TRUE(weak.ok);
    EXPECT_EQ(weak.success, kvt__Match__enNoMatch);
    EXPECT_EQ(weak.index, 0);
    EXPECT_EQ(weak.quality, 8);
}

TEST_F(FakeModules, AFailedComparisonStillEndsTheIdentification) {
    auto algo = Started();
    std::vector<uint8_t> probe(100);
    std::vector<std::vector<uint8_t>> references;
    for (int32_t score : {10, 20, -1, 300, 40})
        references.push_back(fake_vendor::ScoreTemplate(score));
    size_t mark = fake_vendor::Calls().size();
    const Identification broken(*algo, probe, references);
    EXPECT_FALSE(broken.ok);
    EXPECT_EQ(broken.index, -1);
    EXPECT_EQ(broken.score, -1);
    EXPECT_THAT(CallsFrom(mark),
                ElementsAre("VfmIdentifyStart 100", "VfmIdentifyNext 10", "VfmIdentifyNext 20",
                            "VfmIdentifyNext -1", "VfmIdentifyEnd", "VfmMatchDetailsFree"));
    EXPECT_THAT(LogText(),
                HasSubstr("CAlgoNeuro50::_Match: m_pfVFIdentifyNext() delivered unexpected error"));

    // A refused probe compares nothing, which is not a failure.
    script.identifyStart = VF_ERROR_TEMPLATE;
    mark = fake_vendor::Calls().size();
    const Identification refused(*algo, probe, references);
    EXPECT_TRUE(refused.ok);
    EXPECT_EQ(refused.index, -1);
    EXPECT_EQ(refused.success, kvt__Match__enNoMatch);
    EXPECT_THAT(CallsFrom(mark),
                ElementsAre("VfmIdentifyStart 100", "VfmIdentifyEnd", "VfmMatchDetailsFree"));
}

TEST_F(FakeModules, FeatureListConvertsTheMinutiaRecords) {
    auto algo = Started();
    script.minutiae = {
        {10, 20, 1, 64, 0, 7, 90}, {30, 40, 2, 0, 0, 0, 55}, {5, 6, 0, 128, 0, 255, 1}};
    std::vector<uint8_t> bytes(16);
    const kvt__BioTemplate t = Describe(bytes);
    kvt__BioFeature features[4];
    int32_t count = 0;
    ASSERT_TRUE(algo->GetFeatureList(&t, features, 2, &count));
    EXPECT_EQ(count, 2);
    ASSERT_TRUE(algo->GetFeatureList(&t, features, 4, &count));
    ASSERT_EQ(count, 3);
    EXPECT_EQ(features[0].x, 10);
    EXPECT_EQ(features[0].y, 20);
    EXPECT_EQ(features[0].type, 1);
    EXPECT_DOUBLE_EQ(features[0].direction, std::numbers::pi / 2);
    EXPECT_EQ(features[0].curvature, 7);
    EXPECT_EQ(features[0].g, 90);
    EXPECT_EQ(features[1].type, 2);
    EXPECT_DOUBLE_EQ(features[2].direction, std::numbers::pi);
    EXPECT_EQ(features[2].curvature, 255);

    EXPECT_FALSE(algo->GetFeatureList(&t, nullptr, 4, &count));
    EXPECT_THAT(LogText(), HasSubstr("CAlgoNeuro50::GetFeatureList: Invalid Param"));
    script.minutiae.clear();
    EXPECT_FALSE(algo->GetFeatureList(&t, features, 4, &count));
    EXPECT_THAT(LogText(), HasSubstr("template does not deliver minutiae"));
    script.recordCreate = VF_ERROR_TEMPLATE;
    EXPECT_FALSE(algo->GetFeatureList(&t, features, 4, &count));
    EXPECT_THAT(LogText(),
                HasSubstr("CAlgoNeuro50::GetFeatureList: m_pfNFRecordCreateFromMemory failed"));
}

TEST_F(FakeModules, ExtractionsAndIdentificationsNeverOverlap) {
    auto algo = Started();
    script.minutiae.resize(30);
    script.extractMicroseconds = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<uint8_t> probe(100);
            std::vector<std::vector<uint8_t>> references = {fake_vendor::ScoreTemplate(60)};
            for (int i = 0; i < 20; ++i) {
                if (t % 2 == 0)
                    EXPECT_TRUE(Extraction(*algo, pixels_.data(), 64, 48).ok);
                else
                    EXPECT_TRUE(Identification(*algo, probe, references).ok);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(fake_vendor::MostConcurrentCalls(), 1);
}

// A folder of links to chosen module files, under the names the loader looks for.
class ModuleFolder {
public:
    ModuleFolder& Add(const char* name, const fs::path& file) {
        fs::create_symlink(file, m_dir / name);
        return *this;
    }
    std::string Path() const { return m_dir.Path().string(); }

private:
    kvt_test::TempDir m_dir{"kvt-modules"};
};

TEST_F(FakeModules, MissingModulesOrEntryPointsFailTheStart) {
    const fs::path extractor = kFakeModules / "libVFExtractor.so";
    const fs::path matcher = kFakeModules / "libVFMatcher.so";
    const fs::path record = kFakeModules / "libNFRecord.so";
    ModuleFolder empty, onlyExtractor, noRecord, recordAsExtractor, withoutParameters;
    onlyExtractor.Add("libVFExtractor.so", extractor);
    noRecord.Add("libVFExtractor.so", extractor).Add("libVFMatcher.so", matcher);
    recordAsExtractor.Add("libVFExtractor.so", record)
        .Add("libVFMatcher.so", matcher)
        .Add("libNFRecord.so", record);
    withoutParameters
        .Add("libVFExtractor.so", kFakeModules / "libFakeVFExtractorWithoutParameters.so")
        .Add("libVFMatcher.so", matcher)
        .Add("libNFRecord.so", record);

    const std::pair<const ModuleFolder*, const char*> cases[] = {
        {&empty, "CAlgoNeuro50::LoadDll: failed to load VFExtractor.dll"},
        {&onlyExtractor, "CAlgoNeuro50::LoadDll: failed to load VFMatcher.dll"},
        {&noRecord, "CAlgoNeuro50::LoadDll: failed to load NFRecord.dll"},
        {&recordAsExtractor, "CAlgoNeuro50::LoadDll: function VfeCreate not found"},
        {&withoutParameters, "CAlgoNeuro50::LoadDll: function VfeGetParameter not found"},
    };
    for (const auto& [folder, line] : cases) {
        CAlgoNeuro50 algo(folder->Path());
        EXPECT_FALSE(algo.InitAlgo()) << line;
        EXPECT_THAT(LogText(), HasSubstr(line));
    }
    EXPECT_THAT(LogText(), HasSubstr("CAlgoNeuro50::InitAlgo: LoadDll() failed"));
    EXPECT_THAT(fake_vendor::Calls(), testing::IsEmpty());
}

class RealModules : public AdapterTest {
protected:
    std::unique_ptr<CAlgoNeuro50> Started() {
        auto algo = std::make_unique<CAlgoNeuro50>(kRealModules.string());
        EXPECT_TRUE(algo->InitAlgo());
        return algo;
    }
};

TEST_F(RealModules, ExtractAndIdentifyDrawnPrints) {
    Configure("VF50-MThreshold=0.01\n");
    auto algo = Started();
    Extraction probe(*algo, kvt_test::DrawnFinger(5));
    Extraction mate(*algo, kvt_test::DrawnFinger(5, {0.25f, 15.f, -10.f}));
    Extraction stranger(*algo, kvt_test::DrawnFinger(6));
    for (const Extraction* e : {&probe, &mate, &stranger}) {
        ASSERT_TRUE(e->ok);
        EXPECT_GE(e->minutiae, 15);
        EXPECT_EQ(e->quality, std::min(100, e->minutiae * 100 / 70));
        EXPECT_EQ(e->type, 2);
        EXPECT_EQ(e->subType, 50);
    }

    std::vector<std::vector<uint8_t>> references = {stranger.buffer, mate.buffer, stranger.buffer};
    const Identification found(*algo, probe.buffer, references);
    EXPECT_TRUE(found.ok);
    EXPECT_EQ(found.success, kvt__Match__enMatch);
    EXPECT_EQ(found.index, 1);
    EXPECT_GE(found.score, 48);
    EXPECT_EQ(found.quality, std::min(100, found.score * 100 / 500));

    references = {stranger.buffer};
    const Identification notFound(*algo, probe.buffer, references);
    EXPECT_TRUE(notFound.ok);
    EXPECT_EQ(notFound.success, kvt__Match__enNoMatch);

    const kvt__BioTemplate t = Describe(probe.buffer);
    std::vector<kvt__BioFeature> features(200);
    int32_t count = 0;
    ASSERT_TRUE(algo->GetFeatureList(&t, features.data(), 200, &count));
    EXPECT_EQ(count, probe.minutiae);
    for (int32_t i = 0; i < count; ++i) {
        EXPECT_LT(features[i].x, 360);
        EXPECT_LT(features[i].y, 360);
        EXPECT_GE(features[i].direction, 0.0);
        EXPECT_LT(features[i].direction, 2 * std::numbers::pi);
    }
}

TEST_F(RealModules, ConfigurationReachesTheEngine) {
    const fptest::Image finger = kvt_test::DrawnFinger(7);
    Extraction plain(*Started(), finger);
    ASSERT_TRUE(plain.ok);
    ASSERT_GT(plain.minutiae, 20);

    Configure("VF50-MaxMinutiaeCount=20\nVF50-UseSmallTemplateSize=1\n");
    const Extraction limited(*Started(), finger);
    ASSERT_TRUE(limited.ok);
    EXPECT_EQ(limited.minutiae, 20);
    EXPECT_LT(limited.size, plain.size);
    EXPECT_THAT(LogText(), HasSubstr("Create small templates:true Max-Minutiae:20, Extract "
                                     "Singular Points:true, Max-Core:2, MaxDelta:2, "
                                     "Max-DoubleCore:1"));
}

TEST_F(RealModules, ABlankPictureGivesNoTemplate) {
    const std::vector<uint8_t> blank(360 * 360, 230);
    const Extraction none(*Started(), blank.data(), 360, 360);
    EXPECT_FALSE(none.ok);
    EXPECT_THAT(LogText(), HasSubstr("CAlgoNeuro50::_Extract: Image quality not sufficient"));
}

}  // namespace
