// Scripted stand-ins for the three vendor modules. The modules answer from
// Script() and record what they were asked in Calls(); both live in a library
// of their own, so the test and every loaded module see the same state.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "vfmodules/VfModules.h"

#define FAKE_VENDOR_API __attribute__((visibility("default")))

namespace fake_vendor {

struct Script {
    int32_t extractorCreate = VF_OK;
    int32_t matcherCreate = VF_OK;
    int32_t extract = VF_OK;
    int32_t templateSize = 16;  // what VfeExtract reports
    int32_t recordCreate = VF_OK;
    int32_t minutiaCount = VF_OK;
    std::vector<NFMinutia> minutiae;  // what the record holds
    int32_t identifyStart = VF_OK;
    int extractMicroseconds = 0;  // time spent inside VfeExtract
};

FAKE_VENDOR_API Script& TheScript();
// "VfeSetParameterA 190 1", "VfmIdentifyNext 47", "VfmIdentifyEnd", ...
FAKE_VENDOR_API std::vector<std::string> Calls();
FAKE_VENDOR_API void Record(const std::string& call);
// The extractor's parameters, with the defaults of our engine.
FAKE_VENDOR_API std::map<int32_t, int32_t>& ExtractorParameters();
// Highest number of threads found inside the extractor or matcher at once.
FAKE_VENDOR_API int MostConcurrentCalls();
FAKE_VENDOR_API void Enter();
FAKE_VENDOR_API void Leave();
FAKE_VENDOR_API void Reset();

// A reference for the fake matcher: VfmIdentifyNext reports the number it
// starts with as its score, and fails when that is negative.
inline std::vector<uint8_t> ScoreTemplate(int32_t score) {
    std::vector<uint8_t> bytes(sizeof score);
    std::memcpy(bytes.data(), &score, sizeof score);
    return bytes;
}

}  // namespace fake_vendor
