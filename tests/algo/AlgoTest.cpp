// CAlgo's guards around a subclass that does what each test tells it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

#include "algo/Algo.h"
#include "kvt/KVTBasic.h"
#include "support/LoggedTest.h"

using testing::HasSubstr;

namespace {

class ScriptedAlgo final : public CAlgo {
public:
    ScriptedAlgo() {
        m_type = 2;
        m_subType = 50;
    }
    bool InitAlgo() override { return m_initialized = true; }

    // What _Extract writes and returns.
    int32_t extractQuality = 50;
    bool extractResult = true;
    // What _Match writes and returns.
    kvt__Match matchSuccess = kvt__Match__enMatch;
    int32_t matchIndex = 0, matchQuality = 50, matchScore = 250;
    bool matchResult = true;
    int extractCalls = 0, matchCalls = 0;

private:
    bool _Extract(const uint8_t*, int32_t, int32_t, uint8_t* buffer, int32_t* size, int32_t* type,
                  int32_t* subType, int32_t* minutiaeCount, int32_t* quality) override {
        ++extractCalls;
        buffer[0] = 0x7F;
        *size = 1;
        *type = m_type;
        *subType = m_subType;
        *minutiaeCount = 33;
        *quality = extractQuality;
        return extractResult;
    }
    bool _Match(const kvt__BioTemplate*, const kvt__BioTemplate*, int32_t, kvt__Match* success,
                int32_t* index, int32_t* quality, int32_t* score) override {
        ++matchCalls;
        *success = matchSuccess;
        *index = matchIndex;
        *quality = matchQuality;
        *score = matchScore;
        return matchResult;
    }
};

struct ExtractOutputs {
    std::vector<uint8_t> buffer = std::vector<uint8_t>(CAlgo::kTemplateCapacity, 0xAB);
    int32_t size = 99, type = 99, subType = 99, minutiae = 99, quality = 99;

    bool Run(CAlgo& algo, const uint8_t* pixels) {
        return algo.Extract(pixels, 4, 4, buffer.data(), &size, &type, &subType, &minutiae,
                            &quality);
    }
    void ExpectCleared() const {
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), CAlgo::kTemplateCapacity);
        EXPECT_EQ(size, 0);
        EXPECT_EQ(type, -1);
        EXPECT_EQ(subType, -1);
        EXPECT_EQ(minutiae, 0);
        EXPECT_EQ(quality, 0);
    }
};

struct MatchOutputs {
    kvt__Match success = kvt__Match__enMatch;
    int32_t index = 99, quality = 99, score = 99;

    bool Run(CAlgo& algo, const kvt__BioTemplate* probe, const kvt__BioTemplate* references,
             int32_t count) {
        return algo.Match(probe, references, count, &success, &index, &quality, &score);
    }
    void ExpectPreset() const {
        EXPECT_EQ(success, kvt__Match__enNoMatch);
        EXPECT_EQ(index, -1);
        EXPECT_EQ(quality, -1);
        EXPECT_EQ(score, -1);
    }
};

kvt__BioTemplate Template(int32_t type, int32_t subType) {
    kvt__BioTemplate t;
    t.type = type;
    t.subType = subType;
    return t;
}

class AlgoTest : public kvt_test::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        algo_.InitAlgo();
    }

    ScriptedAlgo algo_;
    const std::array<uint8_t, 16> pixels_{};
    const kvt__BioTemplate own_ = Template(2, 50);
};

TEST_F(AlgoTest, NothingHappensBeforeInitialisation) {
    ScriptedAlgo fresh;
    ExtractOutputs extract;
    EXPECT_FALSE(extract.Run(fresh, pixels_.data()));
    EXPECT_EQ(extract.size, 99);
    EXPECT_EQ(extract.buffer[0], 0xAB);
    MatchOutputs match;
    EXPECT_FALSE(match.Run(fresh, &own_, &own_, 1));
    EXPECT_EQ(match.index, 99);
    EXPECT_EQ(fresh.extractCalls + fresh.matchCalls, 0);
}

TEST_F(AlgoTest, ExtractionWithMissingArgumentsClearsWhatIsThere) {
    ExtractOutputs extract;
    EXPECT_FALSE(extract.Run(algo_, nullptr));
    extract.ExpectCleared();

    int32_t size = 5, type = 5, subType = 5, quality = 5;
    EXPECT_FALSE(
        algo_.Extract(pixels_.data(), 4, 4, nullptr, &size, &type, &subType, nullptr, &quality));
    EXPECT_EQ(size, 0);
    EXPECT_EQ(type, -1);
    EXPECT_EQ(subType, -1);
    EXPECT_EQ(quality, 0);
    EXPECT_EQ(algo_.extractCalls, 0);
    EXPECT_THAT(LogText(), HasSubstr("CAlgo::Extract: Invalid Param"));
}

TEST_F(AlgoTest, ExtractionClampsQualityAndClearsAfterAFailure) {
    ExtractOutputs extract;
    algo_.extractQuality = 130;
    ASSERT_TRUE(extract.Run(algo_, pixels_.data()));
    EXPECT_EQ(extract.quality, 100);
    EXPECT_EQ(extract.size, 1);
    EXPECT_EQ(extract.buffer[0], 0x7F);
    EXPECT_EQ(extract.minutiae, 33);

    ExtractOutputs failed;
    algo_.extractResult = false;  // after writing a half result
    EXPECT_FALSE(failed.Run(algo_, pixels_.data()));
    failed.ExpectCleared();
}

TEST_F(AlgoTest, MatchRefusesMissingArguments) {
    MatchOutputs match;
    EXPECT_FALSE(match.Run(algo_, &own_, &own_, 0));
    EXPECT_FALSE(match.Run(algo_, &own_, &own_, -1));
    EXPECT_FALSE(match.Run(algo_, nullptr, &own_, 1));
    EXPECT_FALSE(match.Run(algo_, &own_, nullptr, 1));
    EXPECT_FALSE(algo_.Match(&own_, &own_, 1, nullptr, &match.index, &match.quality, &match.score));
    EXPECT_EQ(algo_.matchCalls, 0);
    EXPECT_THAT(LogText(), HasSubstr("CAlgo::Match: Invalid Param"));
}

TEST_F(AlgoTest, AForeignProbeOrReferenceRefusesTheWholeMatch) {
    const kvt__BioTemplate foreign = Template(3, 50);
    MatchOutputs match;
    EXPECT_FALSE(match.Run(algo_, &foreign, &own_, 1));
    match.ExpectPreset();
    EXPECT_THAT(LogText(),
                HasSubstr("CAlgo::IsTemplateProcessable: Template mismatch, expected (type, "
                          "subtype): (2, 50), received: (3, 50)"));

    const std::vector<kvt__BioTemplate> references = {own_, own_, Template(2, 51)};
    MatchOutputs mixed;
    EXPECT_FALSE(mixed.Run(algo_, &own_, references.data(), 3));
    mixed.ExpectPreset();
    EXPECT_THAT(LogText(), HasSubstr("received: (2, 51)"));
    EXPECT_EQ(algo_.matchCalls, 0);
}

TEST_F(AlgoTest, MatchClampsQualityAndNeverHandsOutHalfResults) {
    const std::vector<kvt__BioTemplate> references(3, own_);
    MatchOutputs match;
    algo_.matchIndex = 2;
    algo_.matchQuality = 140;
    ASSERT_TRUE(match.Run(algo_, &own_, references.data(), 3));
    EXPECT_EQ(match.success, kvt__Match__enMatch);
    EXPECT_EQ(match.index, 2);
    EXPECT_EQ(match.quality, 100);
    EXPECT_EQ(match.score, 250);

    // Nothing compared: success, but the preset values.
    MatchOutputs none;
    algo_.matchIndex = -1;
    EXPECT_TRUE(none.Run(algo_, &own_, references.data(), 3));
    none.ExpectPreset();

    MatchOutputs failed;
    algo_.matchIndex = 1;
    algo_.matchResult = false;
    EXPECT_FALSE(failed.Run(algo_, &own_, references.data(), 3));
    failed.ExpectPreset();
}

using BiometricExports = kvt_test::LoggedTest;

TEST_F(BiometricExports, SayNoAlgorithmBeforeAnyArgumentCheck) {
    KVT_MatchResult result{};
    EXPECT_EQ(KVT_ExtractTemplate(nullptr, nullptr), KVT_RESULT_NO_ALGORITHM);
    EXPECT_EQ(KVT_MatchTemplate(nullptr, nullptr, 0, &result), KVT_RESULT_NO_ALGORITHM);
    EXPECT_EQ(KVT_GetBiometricsInfo(nullptr), KVT_RESULT_NO_ALGORITHM);
    const std::string log = LogText();
    for (const char* name : {"KVT_ExtractTemplate", "KVT_MatchTemplate", "KVT_GetBiometricsInfo"})
        EXPECT_THAT(log, HasSubstr(std::string(name) + ": BioAlgorithm is not available"));
}

}  // namespace
