#include "image/LFDThresholds.h"

#include "common/DataFile.h"

namespace {

LFDThresholds g_thresholds;

template <typename Value>
struct Key {
    const char* name;
    Value LFDThresholds::*field;
};

constexpr Key<double> kRealKeys[] = {
    {"fxRatio_min", &LFDThresholds::fxRatio_min},
    {"fxRatio_max", &LFDThresholds::fxRatio_max},
    {"RedOffByIROff_min", &LFDThresholds::RedOffByIROff_min},
    {"RedOffByIROff_max", &LFDThresholds::RedOffByIROff_max},
    {"RedByBlue_min", &LFDThresholds::RedByBlue_min},
    {"RedByBlue_max", &LFDThresholds::RedByBlue_max},
    {"RedByGreen_min", &LFDThresholds::RedByGreen_min},
    {"RedByGreen_max", &LFDThresholds::RedByGreen_max},
    {"IRByGreen_min", &LFDThresholds::IRByGreen_min},
    {"IRByGreen_max", &LFDThresholds::IRByGreen_max},
    {"IRByBlue_min", &LFDThresholds::IRByBlue_min},
    {"IRByBlue_max", &LFDThresholds::IRByBlue_max},
};

constexpr Key<int32_t> kIntegerKeys[] = {
    {"Red_min", &LFDThresholds::Red_min},
    {"Red_max", &LFDThresholds::Red_max},
    {"RedMinusBlue_min", &LFDThresholds::RedMinusBlue_min},
    {"RedMinusBlue_max", &LFDThresholds::RedMinusBlue_max},
    {"RedMinusGreen_min", &LFDThresholds::RedMinusGreen_min},
    {"RedMinusGreen_max", &LFDThresholds::RedMinusGreen_max},
    {"RedMinusOff_min", &LFDThresholds::RedMinusOff_min},
    {"RedMinusOff_max", &LFDThresholds::RedMinusOff_max},
};

}  // namespace

const LFDThresholds& GetLFDThresholds() {
    return g_thresholds;
}

void LoadLFDThresholds(const CDataFile& file) {
    LFDThresholds loaded;
    for (const auto& key : kRealKeys) {
        const float value = file.GetFloat(key.name);
        if (value != CDataFile::kFloatMissing && value != 0.0f) loaded.*key.field = value;
    }
    for (const auto& key : kIntegerKeys) {
        const int32_t value = file.GetInt(key.name);
        if (value != CDataFile::kIntMissing && value != 0) loaded.*key.field = value;
    }
    g_thresholds = loaded;
}
