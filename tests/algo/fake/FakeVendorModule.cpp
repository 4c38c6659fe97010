// One source for the three fake modules: FAKE_EXTRACTOR, FAKE_MATCHER or
// FAKE_RECORD picks the entry points a module exports. FAKE_NO_PARAMETERS
// leaves out the extractor's parameter functions.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "FakeVendor.h"

using namespace fake_vendor;

namespace {

struct [[maybe_unused]] Inside {
    Inside() { Enter(); }
    ~Inside() { Leave(); }
};

// Entry points the adapter resolves but never calls.
[[maybe_unused]] int32_t Resolved() {
    return VF_ERROR_NOT_SUPPORTED;
}

}  // namespace

extern "C" {

#if defined(FAKE_EXTRACTOR)
VF_EXPORT int32_t VF_API VfeCreate(HVFEXTRACTOR* extractor) {
    Record("VfeCreate");
    *extractor = reinterpret_cast<HVFEXTRACTOR>(0xE1);
    return TheScript().extractorCreate;
}
VF_EXPORT int32_t VF_API VfeFree(HVFEXTRACTOR) {
    Record("VfeFree");
    return VF_OK;
}
VF_EXPORT int32_t VF_API VfeReset(HVFEXTRACTOR) {
    return Resolved();
}
VF_EXPORT int32_t VF_API VfeCopyParameters(HVFEXTRACTOR, HVFEXTRACTOR) {
    return Resolved();
}
VF_EXPORT int32_t VF_API VfeGetMaxTemplateSize(HVFEXTRACTOR, int32_t*) {
    return Resolved();
}
VF_EXPORT int32_t VF_API VfeExtract(HVFEXTRACTOR, int32_t width, int32_t height, int32_t rowLength,
                                    int32_t hRes, int32_t vRes, const uint8_t*, int32_t reserved,
                                    int32_t mode, uint8_t*, int32_t capacity, int32_t* size) {
    Inside inside;
    Record("VfeExtract " + std::to_string(width) + "x" + std::to_string(height) + " " +
           std::to_string(rowLength) + " " + std::to_string(hRes) + " " + std::to_string(vRes) +
           " " + std::to_string(reserved) + " " + std::to_string(mode) + " " +
           std::to_string(capacity));
    std::this_thread::sleep_for(std::chrono::microseconds(TheScript().extractMicroseconds));
    *size = TheScript().templateSize;
    return TheScript().extract;
}
VF_EXPORT int32_t VF_API VfeExtractFromImage(HVFEXTRACTOR, const void*, uint8_t*, int32_t,
                                             int32_t*) {
    return Resolved();
}
VF_EXPORT int32_t VF_API VfeExtractUnpacked(HVFEXTRACTOR, int32_t, int32_t, int32_t, const uint8_t*,
                                            void*) {
    return Resolved();
}
VF_EXPORT int32_t VF_API VfeExtractUnpackedFromImage(HVFEXTRACTOR, const void*, void*) {
    return Resolved();
}
VF_EXPORT int32_t VF_API VfeGeneralize(HVFEXTRACTOR, int32_t, const uint8_t* const*, const int32_t*,
                                       uint8_t*, int32_t, int32_t*) {
    return Resolved();
}
VF_EXPORT int32_t VF_API VfeGeneralizeUnpacked(HVFEXTRACTOR, int32_t, const void* const*, void*) {
    return Resolved();
}
#if !defined(FAKE_NO_PARAMETERS)
VF_EXPORT int32_t VF_API VfeSetParameterA(HVFEXTRACTOR, int32_t id, const void* value) {
    const int32_t v = *static_cast<const int32_t*>(value);
    Record("VfeSetParameterA " + std::to_string(id) + " " + std::to_string(v));
    ExtractorParameters()[id] = v;
    return VF_OK;
}
VF_EXPORT int32_t VF_API VfeGetParameterA(HVFEXTRACTOR, int32_t id, void* value) {
    const auto found = ExtractorParameters().find(id);
    if (found == ExtractorParameters().end()) return VF_ERROR_PARAMETER;
    *static_cast<int32_t*>(value) = found->second;
    return VF_OK;
}
#endif
#endif

#if defined(FAKE_MATCHER)
VF_EXPORT int32_t VF_API VfmCreate(HVFMATCHER* matcher) {
    Record("VfmCreate");
    *matcher = reinterpret_cast<HVFMATCHER>(0xA1);
    return TheScript().matcherCreate;
}
VF_EXPORT int32_t VF_API VfmFree(HVFMATCHER) {
    Record("VfmFree");
    return VF_OK;
}
VF_EXPORT int32_t VF_API VfmReset(HVFMATCHER) {
    return Resolved();
}
VF_EXPORT int32_t VF_API VfmCopyParameters(HVFMATCHER, HVFMATCHER) {
    return Resolved();
}
VF_EXPORT int32_t VF_API VfmVerify(HVFMATCHER, const uint8_t*, int32_t, const uint8_t*, int32_t,
                                   HVFMATCHDETAILS*, int32_t*) {
    return Resolved();
}
VF_EXPORT int32_t VF_API VfmIdentifyStart(HVFMATCHER, const uint8_t*, int32_t size,
                                          HVFMATCHDETAILS* details) {
    Enter();  // left in VfmIdentifyEnd
    Record("VfmIdentifyStart " + std::to_string(size));
    *details = reinterpret_cast<HVFMATCHDETAILS>(0xD1);
    return TheScript().identifyStart;
}
VF_EXPORT int32_t VF_API VfmIdentifyNext(HVFMATCHER, const uint8_t* reference, int32_t size,
                                         HVFMATCHDETAILS, int32_t* score) {
    if (size < 4) return VF_ERROR_TEMPLATE;
    int32_t value = 0;
    std::memcpy(&value, reference, sizeof value);
    Record("VfmIdentifyNext " + std::to_string(value));
    if (value < 0) return VF_ERROR_TEMPLATE;
    *score = value;
    return VF_OK;
}
VF_EXPORT int32_t VF_API VfmIdentifyEnd(HVFMATCHER) {
    Record("VfmIdentifyEnd");
    Leave();
    return VF_OK;
}
VF_EXPORT int32_t VF_API VfmMatchDetailsFree(HVFMATCHDETAILS details) {
    Record(details != nullptr ? "VfmMatchDetailsFree" : "VfmMatchDetailsFree null");
    return VF_OK;
}
VF_EXPORT int32_t VF_API VfmSetParameterA(HVFMATCHER, int32_t id, const void* value) {
    Record("VfmSetParameterA " + std::to_string(id) + " " +
           std::to_string(*static_cast<const int32_t*>(value)));
    return VF_OK;
}
VF_EXPORT int32_t VF_API VfmGetParameterA(HVFMATCHER, int32_t, void*) {
    return Resolved();
}
#endif

#if defined(FAKE_RECORD)
VF_EXPORT int32_t VF_API NFRecordCreateFromMemory(const uint8_t*, int32_t, uint32_t, void*,
                                                  HNFRECORD* record) {
    *record = reinterpret_cast<HNFRECORD>(0xF1);
    return TheScript().recordCreate;
}
VF_EXPORT int32_t VF_API NFRecordGetMinutiaCount(HNFRECORD, int32_t* count) {
    *count = static_cast<int32_t>(TheScript().minutiae.size());
    return TheScript().minutiaCount;
}
VF_EXPORT int32_t VF_API NFRecordGetMinutiae(HNFRECORD, NFMinutia* minutiae) {
    std::memcpy(minutiae, TheScript().minutiae.data(),
                TheScript().minutiae.size() * sizeof(NFMinutia));
    return VF_OK;
}
#endif

}  // extern "C"
