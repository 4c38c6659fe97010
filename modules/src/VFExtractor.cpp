// VFExtractor: template extraction with our engine behind the vendor's entry points.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "ModuleSupport.h"
#include "fp/Extractor.h"
#include "fp/Matcher.h"
#include "fp/Template.h"

using namespace vfmodules;

struct ExtractorParameters {
    int templateSize = 256;
    int maxMinutiae = 120;
    int singularPoints = 1;
    int maxCores = 2;
    int maxDeltas = 2;
    int maxDoubleCores = 1;
    int enhance = 1;
    int generalizeThreshold = 24;  // false match rate 1 %
    int minQuality = 0;

    fp::ExtractorSettings settings() const {
        fp::ExtractorSettings s;
        s.enhance = enhance != 0;
        s.minMinutiaQuality = std::max(s.minMinutiaQuality, minQuality);
        s.maxMinutiae = maxMinutiae;
        s.fullTemplate = templateSize != 0;
        s.singularPoints = singularPoints != 0;
        s.maxCores = maxCores;
        s.maxDeltas = maxDeltas;
        s.maxDoubleCores = maxDoubleCores;
        return s;
    }
};

struct VfeExtractorObject {
    static constexpr std::uint32_t kTag = 0x56464531;  // "VFE1"
    using P = ExtractorParameters;
    static constexpr ParameterInfo<P> kParameters[] = {
        {VFE_PARAM_TEMPLATE_SIZE, &P::templateSize, 0, 256, 256},  // small or full only
        {VFE_PARAM_MAX_MINUTIAE, &P::maxMinutiae, 1, 255, 1},
        {VFE_PARAM_SINGULAR_POINTS, &P::singularPoints, 0, 1, 1},
        {VFE_PARAM_MAX_CORES, &P::maxCores, 0, 4, 1},
        {VFE_PARAM_MAX_DELTAS, &P::maxDeltas, 0, 4, 1},
        {VFE_PARAM_MAX_DOUBLE_CORES, &P::maxDoubleCores, 0, 2, 1},
        {VFE_PARAM_ENHANCE, &P::enhance, 0, 1, 1},
        {VFE_PARAM_GENERALIZE_THRESHOLD, &P::generalizeThreshold, 0, 1000, 1},
        {VFE_PARAM_MIN_QUALITY, &P::minQuality, 0, 100, 1},
    };

    std::uint32_t tag = kTag;
    std::mutex lock;
    P parameters;

    ~VfeExtractorObject() { tag = 0; }
    P& params() { return parameters; }
};

namespace {

constexpr std::int32_t kMaxRowLength = 1 << 20;

std::int32_t WriteTemplate(const std::vector<std::uint8_t>& t, std::uint8_t* buffer,
                           std::int32_t capacity, std::int32_t* size) {
    if (t.size() > static_cast<std::size_t>(capacity)) return VF_ERROR_BUFFER;
    std::memcpy(buffer, t.data(), t.size());
    *size = static_cast<std::int32_t>(t.size());
    return VF_OK;
}

}  // namespace

extern "C" {

VF_EXPORT std::int32_t VF_API VfeCreate(HVFEXTRACTOR* extractor) {
    return CreateObject(extractor);
}

VF_EXPORT std::int32_t VF_API VfeFree(HVFEXTRACTOR extractor) {
    return FreeObject(extractor);
}

VF_EXPORT std::int32_t VF_API VfeReset(HVFEXTRACTOR extractor) {
    return ResetParameters(extractor);
}

VF_EXPORT std::int32_t VF_API VfeCopyParameters(HVFEXTRACTOR destination, HVFEXTRACTOR source) {
    return CopyParameters(destination, source);
}

VF_EXPORT std::int32_t VF_API VfeGetMaxTemplateSize(HVFEXTRACTOR extractor, std::int32_t* size) {
    if (!Valid(extractor)) return VF_ERROR_HANDLE;
    if (size == nullptr) return VF_ERROR_ARGUMENT;
    *size = static_cast<std::int32_t>(fp::kMaxTemplateSize);
    return VF_OK;
}

VF_EXPORT std::int32_t VF_API VfeExtract(HVFEXTRACTOR extractor, std::int32_t width,
                                         std::int32_t height, std::int32_t rowLength,
                                         std::int32_t horizontalResolution,
                                         std::int32_t verticalResolution,
                                         const std::uint8_t* pixels, std::int32_t /*reserved*/,
                                         std::int32_t /*mode*/, std::uint8_t* buffer,
                                         std::int32_t capacity, std::int32_t* size) {
    return Guarded([&]() -> std::int32_t {
        if (size != nullptr) *size = 0;
        if (!Valid(extractor)) return VF_ERROR_HANDLE;
        if (pixels == nullptr || buffer == nullptr || size == nullptr || capacity < 0)
            return VF_ERROR_ARGUMENT;
        if (width <= 0 || height <= 0 || width > fp::kMaxImageSide || height > fp::kMaxImageSide ||
            rowLength < width || rowLength > kMaxRowLength)
            return VF_ERROR_ARGUMENT;
        if (horizontalResolution != verticalResolution || !InRange(horizontalResolution, 450, 550))
            return VF_ERROR_ARGUMENT;
        // Too small to hold a fingerprint: a valid image without a template.
        if (width < fp::kMinImageSide || height < fp::kMinImageSide) return VF_OK;

        fp::ExtractorSettings settings;
        {
            std::lock_guard guard(extractor->lock);
            settings = extractor->parameters.settings();
        }
        settings.resolution = horizontalResolution;
        fp::Features features;
        // The SDK hands over BMP rows, bottom-up.
        const fp::ExtractStatus status =
            fp::Extract({pixels, width, height, rowLength, true}, settings, features);
        if (status == fp::ExtractStatus::NoFingerprint) return VF_OK;
        if (status != fp::ExtractStatus::Ok) return VF_ERROR_ARGUMENT;
        return WriteTemplate(fp::EncodeTemplate(features), buffer, capacity, size);
    });
}

VF_EXPORT std::int32_t VF_API VfeExtractFromImage(HVFEXTRACTOR extractor, const void* /*image*/,
                                                  std::uint8_t* /*buffer*/,
                                                  std::int32_t /*capacity*/, std::int32_t* size) {
    if (size != nullptr) *size = 0;
    return Valid(extractor) ? VF_ERROR_NOT_SUPPORTED : VF_ERROR_HANDLE;
}

VF_EXPORT std::int32_t VF_API VfeExtractUnpacked(HVFEXTRACTOR extractor, std::int32_t /*width*/,
                                                 std::int32_t /*height*/,
                                                 std::int32_t /*rowLength*/,
                                                 const std::uint8_t* /*pixels*/,
                                                 void* /*features*/) {
    return Valid(extractor) ? VF_ERROR_NOT_SUPPORTED : VF_ERROR_HANDLE;
}

VF_EXPORT std::int32_t VF_API VfeExtractUnpackedFromImage(HVFEXTRACTOR extractor,
                                                          const void* /*image*/,
                                                          void* /*features*/) {
    return Valid(extractor) ? VF_ERROR_NOT_SUPPORTED : VF_ERROR_HANDLE;
}

VF_EXPORT std::int32_t VF_API VfeGeneralize(HVFEXTRACTOR extractor, std::int32_t count,
                                            const std::uint8_t* const* templates,
                                            const std::int32_t* sizes, std::uint8_t* buffer,
                                            std::int32_t capacity, std::int32_t* size) {
    return Guarded([&]() -> std::int32_t {
        if (size != nullptr) *size = 0;
        if (!Valid(extractor)) return VF_ERROR_HANDLE;
        if (count <= 0 || count > 64 || templates == nullptr || sizes == nullptr ||
            buffer == nullptr || size == nullptr || capacity < 0)
            return VF_ERROR_ARGUMENT;
        std::int32_t threshold;
        {
            std::lock_guard guard(extractor->lock);
            threshold = extractor->parameters.generalizeThreshold;
        }
        std::vector<fp::Features> features(static_cast<std::size_t>(count));
        for (std::int32_t i = 0; i < count; ++i) {
            if (templates[i] == nullptr || sizes[i] <= 0) return VF_ERROR_ARGUMENT;
            if (fp::DecodeTemplate(templates[i], static_cast<std::size_t>(sizes[i]), features[i]) !=
                fp::TemplateError::None)
                return VF_ERROR_TEMPLATE;
        }
        // The template that agrees best with all others represents the finger.
        std::vector<fp::PreparedPrint> prepared;
        for (const fp::Features& f : features) prepared.push_back(fp::Prepare(f));
        std::size_t best = 0;
        long bestSum = -1;
        int bestWorst = 0;
        for (std::size_t i = 0; i < prepared.size(); ++i) {
            long sum = 0;
            int worst = 1 << 30;
            for (std::size_t j = 0; j < prepared.size(); ++j) {
                if (i == j) continue;
                const int score = fp::Compare(prepared[i], prepared[j], {}).score;
                sum += score;
                worst = std::min(worst, score);
            }
            if (sum > bestSum) bestSum = sum, best = i, bestWorst = worst;
        }
        if (count > 1 && bestWorst < threshold) return VF_OK;
        return WriteTemplate(fp::EncodeTemplate(features[best]), buffer, capacity, size);
    });
}

VF_EXPORT std::int32_t VF_API VfeGeneralizeUnpacked(HVFEXTRACTOR extractor, std::int32_t /*count*/,
                                                    const void* const* /*features*/,
                                                    void* /*result*/) {
    return Valid(extractor) ? VF_ERROR_NOT_SUPPORTED : VF_ERROR_HANDLE;
}

VF_EXPORT std::int32_t VF_API VfeSetParameterA(HVFEXTRACTOR extractor, std::int32_t id,
                                               const void* value) {
    return SetParameter(extractor, id, value);
}

VF_EXPORT std::int32_t VF_API VfeGetParameterA(HVFEXTRACTOR extractor, std::int32_t id,
                                               void* value) {
    return GetParameter(extractor, id, value);
}

}  // extern "C"
