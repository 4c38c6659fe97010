// VFMatcher: one-to-many identification with our engine behind the vendor's entry points.
#include <memory>
#include <mutex>

#include "ModuleSupport.h"
#include "fp/Matcher.h"
#include "fp/Template.h"

using namespace vfmodules;

struct VfmMatcherObject {
    static constexpr std::uint32_t kTag = 0x56464D31;  // "VFM1"
    using P = fp::MatcherSettings;
    static constexpr ParameterInfo<P> kParameters[] = {
        {VFM_PARAM_THRESHOLD, &P::threshold, 0, 1000, 1},
        {VFM_PARAM_MAX_ROTATION, &P::maxRotation, 0, 128, 1},
        {VFM_PARAM_HYPOTHESES, &P::hypotheses, 0, 64, 1},
    };

    std::uint32_t tag = kTag;
    std::mutex lock;
    fp::Matcher matcher;

    ~VfmMatcherObject() { tag = 0; }
    P& params() { return matcher.settings(); }
};

namespace {

void Fill(HVFMATCHDETAILS details, const fp::Comparison& c, int score) {
    if (details == nullptr) return;
    details->score = score;
    details->matched = c.matched;
    details->rotation = static_cast<std::int32_t>(c.rotation * 128 / 3.14159265f) & 255;
    details->dx = static_cast<std::int32_t>(c.dx);
    details->dy = static_cast<std::int32_t>(c.dy);
}

// The caller owns the record until VfmMatchDetailsFree.
HVFMATCHDETAILS NewDetails() {
    return std::make_unique<VfmMatchDetails>().release();
}

}  // namespace

extern "C" {

VF_EXPORT std::int32_t VF_API VfmCreate(HVFMATCHER* matcher) {
    return CreateObject(matcher);
}

VF_EXPORT std::int32_t VF_API VfmFree(HVFMATCHER matcher) {
    return FreeObject(matcher);
}

VF_EXPORT std::int32_t VF_API VfmReset(HVFMATCHER matcher) {
    const std::int32_t result = ResetParameters(matcher);
    if (result == VF_OK) VfmIdentifyEnd(matcher);
    return result;
}

VF_EXPORT std::int32_t VF_API VfmCopyParameters(HVFMATCHER destination, HVFMATCHER source) {
    return CopyParameters(destination, source);
}

VF_EXPORT std::int32_t VF_API VfmVerify(HVFMATCHER matcher, const std::uint8_t* probe,
                                        std::int32_t probeSize, const std::uint8_t* reference,
                                        std::int32_t referenceSize, HVFMATCHDETAILS* details,
                                        std::int32_t* score) {
    return Guarded([&]() -> std::int32_t {
        if (details != nullptr) *details = nullptr;
        if (score != nullptr) *score = 0;
        if (!Valid(matcher)) return VF_ERROR_HANDLE;
        if (probe == nullptr || reference == nullptr || score == nullptr || probeSize <= 0 ||
            referenceSize <= 0)
            return VF_ERROR_ARGUMENT;
        fp::Features p, r;
        if (fp::DecodeTemplate(probe, static_cast<std::size_t>(probeSize), p) !=
                fp::TemplateError::None ||
            fp::DecodeTemplate(reference, static_cast<std::size_t>(referenceSize), r) !=
                fp::TemplateError::None)
            return VF_ERROR_TEMPLATE;
        std::lock_guard guard(matcher->lock);
        // A verification uses its own matcher so a running identification is left alone.
        fp::Matcher one(matcher->matcher.settings());
        one.IdentifyStart(p);
        *score = one.IdentifyNext(r);
        if (details != nullptr) {
            *details = NewDetails();
            Fill(*details, one.last(), *score);
        }
        return VF_OK;
    });
}

VF_EXPORT std::int32_t VF_API VfmIdentifyStart(HVFMATCHER matcher, const std::uint8_t* probe,
                                               std::int32_t size, HVFMATCHDETAILS* details) {
    return Guarded([&]() -> std::int32_t {
        if (details != nullptr) *details = nullptr;
        if (!Valid(matcher)) return VF_ERROR_HANDLE;
        if (probe == nullptr || size <= 0) return VF_ERROR_ARGUMENT;
        std::lock_guard guard(matcher->lock);
        if (matcher->matcher.IdentifyStart(probe, static_cast<std::size_t>(size)) !=
            fp::TemplateError::None)
            return VF_ERROR_TEMPLATE;
        if (details != nullptr) *details = NewDetails();
        return VF_OK;
    });
}

VF_EXPORT std::int32_t VF_API VfmIdentifyNext(HVFMATCHER matcher, const std::uint8_t* reference,
                                              std::int32_t size, HVFMATCHDETAILS details,
                                              std::int32_t* score) {
    return Guarded([&]() -> std::int32_t {
        if (score != nullptr) *score = 0;
        if (!Valid(matcher)) return VF_ERROR_HANDLE;
        if (reference == nullptr || size <= 0 || score == nullptr) return VF_ERROR_ARGUMENT;
        std::lock_guard guard(matcher->lock);
        if (!matcher->matcher.identifying()) return VF_ERROR_STATE;
        int value = 0;
        if (matcher->matcher.IdentifyNext(reference, static_cast<std::size_t>(size), value) !=
            fp::TemplateError::None)
            return VF_ERROR_TEMPLATE;
        *score = value;
        Fill(details, matcher->matcher.last(), value);
        return VF_OK;
    });
}

VF_EXPORT std::int32_t VF_API VfmIdentifyEnd(HVFMATCHER matcher) {
    if (!Valid(matcher)) return VF_ERROR_HANDLE;
    std::lock_guard guard(matcher->lock);
    matcher->matcher.IdentifyEnd();
    return VF_OK;
}

VF_EXPORT std::int32_t VF_API VfmMatchDetailsFree(HVFMATCHDETAILS details) {
    std::unique_ptr<VfmMatchDetails> owned(details);
    return VF_OK;
}

VF_EXPORT std::int32_t VF_API VfmSetParameterA(HVFMATCHER matcher, std::int32_t id,
                                               const void* value) {
    return SetParameter(matcher, id, value);
}

VF_EXPORT std::int32_t VF_API VfmGetParameterA(HVFMATCHER matcher, std::int32_t id, void* value) {
    return GetParameter(matcher, id, value);
}

}  // extern "C"
