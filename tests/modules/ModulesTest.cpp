// The modules through their C entry points, loaded from their files as the SDK loads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fp/Template.h"
#include "platform/Module.h"
#include "support/DrawnPrint.h"
#include "vfmodules/VfModules.h"

namespace {

// Loaded once for the whole program, as the SDK keeps them.
struct LoadedModules {
    platform::Module extractor, matcher, record;
    LoadedModules() {
        extractor.Load("VFExtractor.dll", KVT_MODULE_DIR);
        matcher.Load("VFMatcher.dll", KVT_MODULE_DIR);
        record.Load("NFRecord.dll", KVT_MODULE_DIR);
    }
};

#define RESOLVE(module, name) reinterpret_cast<decltype(&name)>(loaded.module.Symbol(#name))

template <typename Bytes>
std::int32_t Len(const Bytes& bytes) {
    return static_cast<std::int32_t>(bytes.size());
}

// A parameter set from a value rather than through a pointer.
template <typename Setter, typename Handle>
std::int32_t Set(Setter set, Handle handle, std::int32_t id, std::int32_t value) {
    return set(handle, id, &value);
}

class Modules : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(loaded.extractor.IsLoaded() && loaded.matcher.IsLoaded() &&
                    loaded.record.IsLoaded());
        ASSERT_EQ(vfeCreate(&extractor), VF_OK);
        ASSERT_EQ(vfmCreate(&matcher), VF_OK);
    }
    void TearDown() override {
        EXPECT_EQ(extractor ? vfeFree(extractor) : VF_OK, VF_OK);
        EXPECT_EQ(matcher ? vfmFree(matcher) : VF_OK, VF_OK);
    }

    // The adapter's call: both resolutions 500, then 0 and 9, capacity 10000.
    std::vector<std::uint8_t> Extract(const fptest::Image& img, HVFEXTRACTOR e = nullptr) {
        std::vector<std::uint8_t> out(10000);
        std::int32_t size = -1;
        EXPECT_EQ(vfeExtract(e ? e : extractor, img.width, img.height, img.width, 500, 500,
                             img.pixels.data(), 0, 9, out.data(), 10000, &size),
                  VF_OK);
        out.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
        return out;
    }

    static inline const LoadedModules loaded;
    decltype(&VfeCreate) vfeCreate = RESOLVE(extractor, VfeCreate);
    decltype(&VfeFree) vfeFree = RESOLVE(extractor, VfeFree);
    decltype(&VfeExtract) vfeExtract = RESOLVE(extractor, VfeExtract);
    decltype(&VfeSetParameterA) vfeSet = RESOLVE(extractor, VfeSetParameterA);
    decltype(&VfeGetParameterA) vfeGet = RESOLVE(extractor, VfeGetParameterA);
    decltype(&VfmCreate) vfmCreate = RESOLVE(matcher, VfmCreate);
    decltype(&VfmFree) vfmFree = RESOLVE(matcher, VfmFree);
    decltype(&VfmSetParameterA) vfmSet = RESOLVE(matcher, VfmSetParameterA);
    decltype(&VfmGetParameterA) vfmGet = RESOLVE(matcher, VfmGetParameterA);
    decltype(&VfmVerify) verify = RESOLVE(matcher, VfmVerify);
    decltype(&VfmIdentifyStart) start = RESOLVE(matcher, VfmIdentifyStart);
    decltype(&VfmIdentifyNext) next = RESOLVE(matcher, VfmIdentifyNext);
    decltype(&VfmIdentifyEnd) end = RESOLVE(matcher, VfmIdentifyEnd);
    decltype(&VfmMatchDetailsFree) detailsFree = RESOLVE(matcher, VfmMatchDetailsFree);
    decltype(&NFRecordCreateFromMemory) recordCreate = RESOLVE(record, NFRecordCreateFromMemory);
    decltype(&NFRecordGetMinutiaCount) recordCount = RESOLVE(record, NFRecordGetMinutiaCount);
    decltype(&NFRecordGetMinutiae) recordMinutiae = RESOLVE(record, NFRecordGetMinutiae);
    HVFEXTRACTOR extractor = nullptr;
    HVFMATCHER matcher = nullptr;
};

TEST_F(Modules, ExtractionRefusesBadArgumentsWithAnErrorCodeAndUnusableImagesGiveSizeZero) {
    const fptest::Image img = kvt_test::DrawnFinger(1);
    const std::uint8_t* px = img.pixels.data();
    std::vector<std::uint8_t> blank(360 * 360, 255), buffer(10000);
    std::uint8_t* out = buffer.data();
    std::int32_t size = 5;
    // Every call that gives a size leaves it at 0.
    const auto extract = [&](auto handle, auto width, auto height, auto stride, auto resolution,
                             auto pixels, auto buffer, auto capacity, std::int32_t* sizeOut) {
        size = 5;
        const std::int32_t rc = vfeExtract(handle, width, height, stride, resolution, resolution,
                                           pixels, 0, 9, buffer, capacity, sizeOut);
        EXPECT_EQ(sizeOut ? size : 0, 0) << width << " x " << height;
        return rc;
    };
    EXPECT_EQ(extract(nullptr, 360, 360, 360, 500, px, out, 10000, &size), VF_ERROR_HANDLE);
    EXPECT_EQ(extract(extractor, 360, 360, 360, 500, nullptr, out, 10000, &size),
              VF_ERROR_ARGUMENT);
    EXPECT_EQ(extract(extractor, 360, 360, 360, 500, px, nullptr, 10000, &size), VF_ERROR_ARGUMENT);
    EXPECT_EQ(extract(extractor, 360, 360, 360, 500, px, out, 10000, nullptr), VF_ERROR_ARGUMENT);
    EXPECT_EQ(extract(extractor, 0, 0, 0, 500, px, out, 10000, &size), VF_ERROR_ARGUMENT);
    EXPECT_EQ(extract(extractor, -5, 360, 360, 500, px, out, 10000, &size), VF_ERROR_ARGUMENT);
    EXPECT_EQ(extract(extractor, 60000, 60000, 60000, 500, px, out, 10000, &size),
              VF_ERROR_ARGUMENT);
    EXPECT_EQ(extract(extractor, 360, 360, 200, 500, px, out, 10000, &size), VF_ERROR_ARGUMENT);
    EXPECT_EQ(extract(extractor, 360, 360, 360, 1000, px, out, 10000, &size), VF_ERROR_ARGUMENT);
    EXPECT_EQ(extract(extractor, 360, 360, 360, 500, px, out, 10, &size), VF_ERROR_BUFFER);
    EXPECT_EQ(extract(extractor, 360, 360, 360, 500, blank.data(), out, 10000, &size), VF_OK);
    EXPECT_EQ(extract(extractor, 32, 32, 32, 500, blank.data(), out, 10000, &size), VF_OK);
}

TEST_F(Modules, ExtractedTemplatesReadBackThroughNFRecordWhichRefusesDamageAndExpires) {
    const std::vector<std::uint8_t> t = Extract(kvt_test::DrawnFinger(2));
    fp::Features f;
    ASSERT_EQ(fp::DecodeTemplate(t.data(), t.size(), f), fp::TemplateError::None);
    ASSERT_GE(f.minutiae.size(), 15u);

    HNFRECORD record = nullptr;
    ASSERT_EQ(recordCreate(t.data(), Len(t), 0, nullptr, &record), VF_OK);
    std::int32_t count = -1;
    ASSERT_EQ(recordCount(record, &count), VF_OK);
    ASSERT_EQ(count, static_cast<std::int32_t>(f.minutiae.size()));
    std::vector<NFMinutia> minutiae(static_cast<std::size_t>(count) + 1);
    minutiae.back().x = 0xBEEF;
    ASSERT_EQ(recordMinutiae(record, minutiae.data()), VF_OK);
    EXPECT_EQ(minutiae.back().x, 0xBEEF);  // exactly count records written
    for (std::int32_t i = 0; i < count; ++i) {
        const NFMinutia& m = minutiae[i];
        const fp::Minutia& e = f.minutiae[i];
        EXPECT_EQ(std::tuple(m.x, m.y, m.type, m.direction, m.g),
                  std::tuple(e.x, e.y, static_cast<std::int32_t>(e.type), e.direction, e.quality))
            << i;
    }

    // Records refuse damage and expire instead of leaking.
    record = reinterpret_cast<HNFRECORD>(1);
    std::vector<std::uint8_t> damaged = t;
    damaged[damaged.size() / 2] ^= 0x10;
    EXPECT_EQ(recordCreate(damaged.data(), Len(damaged), 0, nullptr, &record), VF_ERROR_TEMPLATE);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(recordCreate(t.data(), 10, 0, nullptr, &record), VF_ERROR_TEMPLATE);
    EXPECT_EQ(recordCreate(nullptr, 100, 0, nullptr, &record), VF_ERROR_ARGUMENT);
    EXPECT_EQ(recordCreate(t.data(), Len(t), 0, nullptr, nullptr), VF_ERROR_ARGUMENT);
    EXPECT_EQ(recordCount(nullptr, &count), VF_ERROR_HANDLE);
    EXPECT_EQ(recordCount(reinterpret_cast<HNFRECORD>(0x12345678), &count), VF_ERROR_HANDLE);

    ASSERT_EQ(recordCreate(t.data(), Len(t), 0, nullptr, &record), VF_OK);
    EXPECT_EQ(recordCount(record, nullptr), VF_ERROR_ARGUMENT);
    EXPECT_EQ(recordMinutiae(record, nullptr), VF_ERROR_ARGUMENT);
    HNFRECORD later = nullptr;
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(recordCreate(t.data(), Len(t), 0, nullptr, &later), VF_OK);
    EXPECT_EQ(recordCount(record, &count), VF_ERROR_HANDLE);  // expired, not dangling
    EXPECT_EQ(recordCount(later, &count), VF_OK);
}

TEST_F(Modules, HideTheEngineSayWhatTheyDoNotSupportAndHaveParametersThatTakeEffect) {
    // Every name the adapter resolves is there when the adapter starts on these modules;
    // the engine inside stays hidden.
    EXPECT_EQ(loaded.extractor.Symbol("_ZN2fp14EncodeTemplateERKNS_8FeaturesE"), nullptr);

    // Entry points only the vendor's own loader uses say so.
    std::int32_t size = 7;
    EXPECT_EQ(
        std::vector({RESOLVE(extractor, VfeExtractFromImage)(extractor, nullptr, nullptr, 0, &size),
                     RESOLVE(extractor, VfeExtractUnpacked)(extractor, 1, 1, 1, nullptr, nullptr),
                     RESOLVE(extractor, VfeExtractUnpackedFromImage)(extractor, nullptr, nullptr),
                     RESOLVE(extractor, VfeGeneralizeUnpacked)(extractor, 0, nullptr, nullptr)}),
        std::vector<std::int32_t>(4, VF_ERROR_NOT_SUPPORTED));
    EXPECT_EQ(size, 0);
    std::int32_t max = 0;
    EXPECT_EQ(RESOLVE(extractor, VfeGetMaxTemplateSize)(extractor, &max), VF_OK);
    EXPECT_EQ(max, 10000);

    std::int32_t v = 0;
    // The other defaults are read back through the adapter (AdapterTest).
    EXPECT_EQ((std::tuple{vfeGet(extractor, 100, &v), v}), std::tuple(VF_OK, 256));
    // The values the adapter sets are all accepted.
    for (auto [id, value] : {std::pair{190, 1}, {900, 0}})
        EXPECT_EQ(vfeSet(extractor, id, &value), VF_OK) << id;
    for (auto [id, value] : {std::pair{200, 80}, {201, 32}, {1000, 0}})
        EXPECT_EQ(vfmSet(matcher, id, &value), VF_OK);
    EXPECT_EQ((std::tuple{vfmGet(matcher, 200, &v), v}), std::tuple(VF_OK, 80));

    EXPECT_EQ(std::vector({Set(vfeSet, extractor, 4242, 12345), Set(vfeSet, extractor, 110, 12345),
                           Set(vfeSet, extractor, 100, 100), Set(vfmSet, matcher, 200, -1),
                           vfmGet(matcher, 77, &v)}),
              std::vector<std::int32_t>(5, VF_ERROR_PARAMETER));
    EXPECT_EQ(std::vector({vfeSet(extractor, 110, nullptr), vfeGet(extractor, 110, nullptr),
                           vfeGet(nullptr, 110, &v)}),
              std::vector<std::int32_t>({VF_ERROR_ARGUMENT, VF_ERROR_ARGUMENT, VF_ERROR_HANDLE}));

    // Fewer, sparser minutiae than a drawn finger's: of differing quality.
    const fptest::Image img = fptest::Render(fptest::RandomPattern(3, 360, 360, 16), 360, 360);
    const std::vector<std::uint8_t> full = Extract(img);
    ASSERT_EQ(Set(vfeSet, extractor, 100, 0), VF_OK);
    EXPECT_LT(Extract(img).size(), full.size());
    ASSERT_EQ(Set(vfeSet, extractor, 110, 5), VF_OK);
    const std::vector<std::uint8_t> few = Extract(img);
    fp::Features all, kept;
    ASSERT_EQ(fp::DecodeTemplate(full.data(), full.size(), all), fp::TemplateError::None);
    ASSERT_EQ(fp::DecodeTemplate(few.data(), few.size(), kept), fp::TemplateError::None);
    // The best five, best first, and neither mask nor grid in a small template.
    ASSERT_EQ(kept.minutiae.size(), 5u);
    EXPECT_TRUE(std::ranges::is_sorted(kept.minutiae, std::greater{}, &fp::Minutia::quality));
    EXPECT_GE(kept.minutiae.back().quality, all.minutiae[5].quality);
    EXPECT_EQ(kept.mask.columns + kept.orientation.columns, 0);
    EXPECT_GT(all.mask.columns, 0);

    ASSERT_EQ(RESOLVE(extractor, VfeReset)(extractor), VF_OK);
    EXPECT_EQ((std::tuple{vfeGet(extractor, 110, &v), v}), std::tuple(VF_OK, 120));
}

TEST_F(Modules, IdentificationFollowsTheAdapterSequenceAndGeneralizeNeedsAgreeingImpressions) {
    const std::vector<std::uint8_t> probe = Extract(kvt_test::DrawnFinger(5)),
                                    mate = Extract(kvt_test::DrawnFinger(5, {0.25f, 15.f, -10.f})),
                                    stranger = Extract(kvt_test::DrawnFinger(6));
    ASSERT_FALSE(probe.empty() || mate.empty() || stranger.empty());

    std::int32_t score = -1;
    EXPECT_EQ(next(matcher, mate.data(), Len(mate), nullptr, &score), VF_ERROR_STATE);

    HVFMATCHDETAILS details = nullptr;
    ASSERT_EQ(start(matcher, probe.data(), Len(probe), &details), VF_OK);
    ASSERT_NE(details, nullptr);
    std::int32_t mateScore = -1, strangerScore = -1;
    ASSERT_EQ(next(matcher, stranger.data(), Len(stranger), details, &strangerScore), VF_OK);
    ASSERT_EQ(next(matcher, mate.data(), Len(mate), details, &mateScore), VF_OK);
    EXPECT_EQ(details->score, mateScore);
    EXPECT_GE(details->matched, 10);
    EXPECT_GE(mateScore, 48);
    // Drawn patterns all flow alike, so strangers score above real ones.
    EXPECT_LT(strangerScore, 48);
    std::vector<std::uint8_t> broken = mate;
    broken[25] ^= 4;
    EXPECT_EQ(next(matcher, broken.data(), Len(broken), details, &score), VF_ERROR_TEMPLATE);
    EXPECT_EQ(next(matcher, nullptr, 100, details, &score), VF_ERROR_ARGUMENT);
    EXPECT_EQ(next(matcher, mate.data(), Len(mate), details, nullptr), VF_ERROR_ARGUMENT);
    EXPECT_EQ(end(matcher), VF_OK);
    EXPECT_EQ(detailsFree(details), VF_OK);

    // Scores under the matching threshold come back as 0.
    ASSERT_EQ(Set(vfmSet, matcher, 200, mateScore + 1), VF_OK);
    ASSERT_EQ(start(matcher, probe.data(), Len(probe), nullptr), VF_OK);
    EXPECT_EQ((std::tuple{next(matcher, mate.data(), Len(mate), nullptr, &score), score}),
              std::tuple(VF_OK, 0));
    EXPECT_EQ(end(matcher), VF_OK);

    // A failed start still allows the adapter's end and free.
    details = reinterpret_cast<HVFMATCHDETAILS>(&score);
    EXPECT_EQ((std::tuple{start(matcher, broken.data(), Len(broken), &details), details,
                          end(matcher), detailsFree(details)}),
              std::tuple(VF_ERROR_TEMPLATE, nullptr, VF_OK, VF_OK));

    ASSERT_EQ(Set(vfmSet, matcher, 200, 0), VF_OK);
    ASSERT_EQ(verify(matcher, probe.data(), Len(probe), mate.data(), Len(mate), nullptr, &score),
              VF_OK);
    EXPECT_EQ(score, mateScore);

    // Generalisation picks a template only when the impressions agree.
    std::vector<std::uint8_t> out(10000);
    auto generalize = RESOLVE(extractor, VfeGeneralize);
    // Drawn patterns of different fingers can reach the default 24.
    ASSERT_EQ(Set(vfeSet, extractor, VFE_PARAM_GENERALIZE_THRESHOLD, 48), VF_OK);
    std::int32_t size = 0;
    const auto generalizeOf = [&](std::int32_t count, const std::vector<std::uint8_t>& first,
                                  const std::vector<std::uint8_t>& second, std::int32_t length) {
        const std::uint8_t* templates[] = {first.data(), second.data()};
        const std::int32_t sizes[] = {length ? length : Len(first), length ? length : Len(second)};
        return generalize(extractor, count, templates, sizes, out.data(), 10000, &size);
    };
    ASSERT_EQ(generalizeOf(2, probe, mate, 0), VF_OK);
    EXPECT_GT(size, 0);
    EXPECT_EQ((std::tuple{generalizeOf(2, probe, stranger, 0), size}), std::tuple(VF_OK, 0));
    EXPECT_EQ(generalizeOf(2, probe, mate, 5), VF_ERROR_TEMPLATE);
    EXPECT_EQ(generalizeOf(0, probe, mate, 0), VF_ERROR_ARGUMENT);
}

TEST_F(Modules, SeparateHandlesWorkInParallel) {
    const std::vector<std::uint8_t> probe = Extract(kvt_test::DrawnFinger(10)),
                                    mate = Extract(kvt_test::DrawnFinger(10, {-0.2f, 0.f, 12.f}));
    std::int32_t expected = -1;
    ASSERT_EQ(verify(matcher, probe.data(), Len(probe), mate.data(), Len(mate), nullptr, &expected),
              VF_OK);

    std::vector<std::int32_t> scores(4, -1);
    std::vector<std::vector<std::uint8_t>> made(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            HVFEXTRACTOR e = nullptr;
            HVFMATCHER m = nullptr;
            if (vfeCreate(&e) != VF_OK || vfmCreate(&m) != VF_OK) return;
            const std::vector<std::uint8_t>& mine = made[t] = Extract(kvt_test::DrawnFinger(10), e);
            HVFMATCHDETAILS d = nullptr;
            if (start(m, mine.data(), Len(mine), &d) == VF_OK) {
                next(m, mate.data(), Len(mate), d, &scores[t]);
                HNFRECORD r = nullptr;
                std::int32_t n = 0;
                recordCreate(mine.data(), Len(mine), 0, nullptr, &r);
                recordCount(r, &n);
            }
            end(m);
            detailsFree(d);
            vfmFree(m);
            vfeFree(e);
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(made, std::vector(4, probe));
    EXPECT_EQ(scores, std::vector(4, expected));
}

}  // namespace
