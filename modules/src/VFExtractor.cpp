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

struct VfeExtractorObject {
    static constexpr std::uint32_t kTag = 0x56464531;  // "VFE1"
    std::uint32_t tag = kTag;
    std::mutex lock;
    std::int32_t templateSize = 256;
    std::int32_t maxMinutiae = 120;
    std::int32_t singularPoints = 1;
    std::int32_t maxCores = 2;
    std::int32_t maxDeltas = 2;
    std::int32_t maxDoubleCores = 1;
    std::int32_t enhance = 1;
    std::int32_t generalizeThreshold = 24;  // false match rate 1 %
    std::int32_t minQuality = 0;

    ~VfeExtractorObject() { tag = 0; }

    void copyParameters(const VfeExtractorObject& o) {
        templateSize = o.templateSize;
        maxMinutiae = o.maxMinutiae;
        singularPoints = o.singularPoints;
        maxCores = o.maxCores;
        maxDeltas = o.maxDeltas;
        maxDoubleCores = o.maxDoubleCores;
        enhance = o.enhance;
        generalizeThreshold = o.generalizeThreshold;
        minQuality = o.minQuality;
    }

    std::int32_t* parameter(std::int32_t id, std::int32_t& low, std::int32_t& high) {
        switch (id) {
            case VFE_PARAM_TEMPLATE_SIZE:
                low = 0, high = 256;
                return &templateSize;
            case VFE_PARAM_MAX_MINUTIAE:
                low = 1, high = 255;
                return &maxMinutiae;
            case VFE_PARAM_SINGULAR_POINTS:
                low = 0, high = 1;
                return &singularPoints;
            case VFE_PARAM_MAX_CORES:
                low = 0, high = 4;
                return &maxCores;
            case VFE_PARAM_MAX_DELTAS:
                low = 0, high = 4;
                return &maxDeltas;
            case VFE_PARAM_MAX_DOUBLE_CORES:
                low = 0, high = 2;
                return &maxDoubleCores;
            case VFE_PARAM_ENHANCE:
                low = 0, high = 1;
                return &enhance;
            case VFE_PARAM_GENERALIZE_THRESHOLD:
                low = 0, high = 1000;
                return &generalizeThreshold;
            case VFE_PARAM_MIN_QUALITY:
                low = 0, high = 100;
                return &minQuality;
            default:
                return nullptr;
        }
    }

    fp::ExtractorSettings settings() const {
        fp::ExtractorSettings s;
        s.enhance = enhance != 0;
        s.minMinutiaQuality = std::max(s.minMinutiaQuality, static_cast<int>(minQuality));
        s.maxMinutiae = maxMinutiae;
        s.storeMask = templateSize != 0;
        s.singularPoints = singularPoints != 0;
        s.maxCores = maxCores;
        s.maxDeltas = maxDeltas;
        s.maxDoubleCores = maxDoubleCores;
        return s;
    }
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
    return Guarded([&]() -> std::int32_t {
        if (extractor == nullptr) return VF_ERROR_ARGUMENT;
        // Ownership passes to the caller until VfeFree.
        *extractor = std::make_unique<VfeExtractorObject>().release();
        return VF_OK;
    });
}

VF_EXPORT std::int32_t VF_API VfeFree(HVFEXTRACTOR extractor) {
    if (!Valid(extractor)) return VF_ERROR_HANDLE;
    std::unique_ptr<VfeExtractorObject> owned(extractor);
    return VF_OK;
}

VF_EXPORT std::int32_t VF_API VfeReset(HVFEXTRACTOR extractor) {
    if (!Valid(extractor)) return VF_ERROR_HANDLE;
    std::lock_guard guard(extractor->lock);
    extractor->copyParameters(VfeExtractorObject{});
    return VF_OK;
}

VF_EXPORT std::int32_t VF_API VfeCopyParameters(HVFEXTRACTOR destination, HVFEXTRACTOR source) {
    if (!Valid(destination) || !Valid(source)) return VF_ERROR_HANDLE;
    if (destination == source) return VF_OK;
    std::scoped_lock guard(destination->lock, source->lock);
    destination->copyParameters(*source);
    return VF_OK;
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
            settings = extractor->settings();
        }
        settings.resolution = horizontalResolution;
        fp::Features features;
        const fp::ExtractStatus status =
            fp::Extract({pixels, width, height, rowLength}, settings, features);
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
            threshold = extractor->generalizeThreshold;
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
    if (!Valid(extractor)) return VF_ERROR_HANDLE;
    std::int32_t v;
    if (!ReadInt(value, v)) return VF_ERROR_ARGUMENT;
    std::lock_guard guard(extractor->lock);
    std::int32_t low = 0, high = 0;
    std::int32_t* target = extractor->parameter(id, low, high);
    if (target == nullptr || !InRange(v, low, high)) return VF_ERROR_PARAMETER;
    // Template size knows two values only: small (0) and full (256).
    if (id == VFE_PARAM_TEMPLATE_SIZE && v != 0 && v != 256) return VF_ERROR_PARAMETER;
    *target = v;
    return VF_OK;
}

VF_EXPORT std::int32_t VF_API VfeGetParameterA(HVFEXTRACTOR extractor, std::int32_t id,
                                               void* value) {
    if (!Valid(extractor)) return VF_ERROR_HANDLE;
    if (value == nullptr) return VF_ERROR_ARGUMENT;
    std::lock_guard guard(extractor->lock);
    std::int32_t low = 0, high = 0;
    const std::int32_t* source = extractor->parameter(id, low, high);
    if (source == nullptr) return VF_ERROR_PARAMETER;
    *static_cast<std::int32_t*>(value) = *source;
    return VF_OK;
}

}  // extern "C"
