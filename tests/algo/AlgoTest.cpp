// CAlgo's guards around a subclass that reports what each test tells it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
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

    int32_t quality = 50, index = 0;
    bool result = true;
    int calls = 0;

private:
    // Both write every output before reporting, as a failing vendor call may.
    bool _Extract(const uint8_t*, int32_t, int32_t, uint8_t* buffer, int32_t* size, int32_t* type,
                  int32_t* subType, int32_t* minutiaeCount, int32_t* q) override {
        ++calls;
        buffer[0] = 0x7F;
        *size = 1;
        *type = m_type;
        *subType = m_subType;
        *minutiaeCount = 33;
        *q = quality;
        return result;
    }
    bool _Match(const kvt__BioTemplate*, const kvt__BioTemplate*, int32_t, kvt__Match* success,
                int32_t* i, int32_t* q, int32_t* score) override {
        ++calls;
        *success = kvt__Match__enMatch;
        *i = index;
        *q = quality;
        *score = 250;
        return result;
    }
};

struct Extracted {
    std::vector<uint8_t> buffer = std::vector<uint8_t>(CAlgo::kTemplateCapacity, 0xAB);
    int32_t size = 9, type = 9, subType = 9, minutiae = 9, quality = 9;
    bool ok;
    Extracted(CAlgo& algo, const uint8_t* pixels)
        : ok(algo.Extract(pixels, 4, 4, buffer.data(), &size, &type, &subType, &minutiae,
                          &quality)) {}
    bool Cleared() const {
        return std::count(buffer.begin(), buffer.end(), 0) == CAlgo::kTemplateCapacity &&
               size == 0 && type == -1 && subType == -1 && minutiae == 0 && quality == 0;
    }
};

struct Matched {
    kvt__Match success = kvt__Match__enMatch;
    int32_t index = 9, quality = 9, score = 9;
    bool ok;
    Matched(CAlgo& algo, const std::vector<kvt__BioTemplate>& t, int32_t count)
        : ok(algo.Match(&t[0], &t[1], count, &success, &index, &quality, &score)) {}
    bool Preset() const {
        return success == kvt__Match__enNoMatch && index == -1 && quality == -1 && score == -1;
    }
};

std::vector<kvt__BioTemplate> Templates(std::vector<std::pair<int32_t, int32_t>> families) {
    std::vector<kvt__BioTemplate> t(families.size());
    for (size_t i = 0; i < t.size(); ++i) std::tie(t[i].type, t[i].subType) = families[i];
    return t;
}

class AlgoTest : public kvt_test::LoggedTest {
protected:
    ScriptedAlgo algo_;
    const uint8_t pixels_[16] = {};
};

TEST_F(AlgoTest, ExtractionAndMatchClampQualityRefuseForeignTemplatesAndNeverLeaveHalfResults) {
    const Extracted early(algo_, pixels_);
    EXPECT_FALSE(early.ok);
    EXPECT_EQ(early.size, 9);  // not initialised: untouched

    algo_.InitAlgo();
    EXPECT_TRUE(Extracted(algo_, nullptr).Cleared());
    EXPECT_THAT(LogText(), HasSubstr("CAlgo::Extract: Invalid Param"));
    EXPECT_EQ(algo_.calls, 0);

    algo_.quality = 130;
    const Extracted clamped(algo_, pixels_);
    EXPECT_EQ(std::tuple(clamped.ok, clamped.quality, clamped.buffer[0]),
              std::tuple(true, 100, 0x7F));

    algo_.result = false;
    const Extracted failed(algo_, pixels_);
    EXPECT_TRUE(!failed.ok && failed.Cleared());

    // A match refuses foreign templates, clamps the quality and never leaves half results.
    algo_.result = true;
    const int calls = algo_.calls;
    EXPECT_FALSE(Matched(algo_, Templates({{2, 50}, {2, 50}}), 0).ok);
    EXPECT_THAT(LogText(), HasSubstr("CAlgo::Match: Invalid Param"));

    const Matched foreignProbe(algo_, Templates({{3, 50}, {2, 50}}), 1);
    EXPECT_TRUE(!foreignProbe.ok && foreignProbe.Preset());
    EXPECT_THAT(LogText(), HasSubstr("CAlgo::IsTemplateProcessable: Template mismatch, expected "
                                     "(type, subtype): (2, 50), received: (3, 50)"));
    // One foreign reference refuses the whole list.
    EXPECT_FALSE(Matched(algo_, Templates({{2, 50}, {2, 50}, {2, 51}, {2, 50}}), 3).ok);
    EXPECT_EQ(algo_.calls, calls);

    // What the subclass reports is clamped, and reset where it leaves no result.
    const auto templates = Templates({{2, 50}, {2, 50}, {2, 50}});
    algo_.quality = 140;
    const Matched clampedMatch(algo_, templates, 2);
    EXPECT_EQ(std::tuple(clampedMatch.ok, clampedMatch.quality, clampedMatch.score),
              std::tuple(true, 100, 250));

    algo_.index = -1;  // nothing could be compared: no half result, but no failure
    const Matched none(algo_, templates, 2);
    EXPECT_TRUE(none.ok && none.Preset());

    algo_.index = 1;
    algo_.result = false;
    const Matched failedMatch(algo_, templates, 2);
    EXPECT_TRUE(!failedMatch.ok && failedMatch.Preset());
}

using BiometricExports = kvt_test::LoggedTest;

TEST_F(BiometricExports, SayNoAlgorithmBeforeAnyArgumentCheck) {
    EXPECT_EQ(KVT_ExtractTemplate(nullptr, nullptr), KVT_RESULT_NO_ALGORITHM);
    EXPECT_EQ(KVT_MatchTemplate(nullptr, nullptr, 0, nullptr), KVT_RESULT_NO_ALGORITHM);
    EXPECT_EQ(KVT_GetBiometricsInfo(nullptr), KVT_RESULT_NO_ALGORITHM);
    for (const char* name : {"KVT_ExtractTemplate", "KVT_MatchTemplate", "KVT_GetBiometricsInfo"})
        EXPECT_THAT(LogText(), HasSubstr(std::string(name) + ": BioAlgorithm is not available"));
}

}  // namespace
