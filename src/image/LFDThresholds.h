#pragma once

#include <cstdint>

class CDataFile;

// Bounds of live finger detection; every check is strict (min < value < max).
// Process-wide: loaded while the device manager starts, read by captures.
struct LFDThresholds {
    double fxRatio_min = 3.0;
    double fxRatio_max = 30.0;
    int32_t Red_min = 3000;
    int32_t Red_max = 12000;
    int32_t RedMinusBlue_min = 3000;
    int32_t RedMinusBlue_max = 8500;
    int32_t RedMinusGreen_min = 3000;
    int32_t RedMinusGreen_max = 8500;
    int32_t RedMinusOff_min = 3000;
    int32_t RedMinusOff_max = 8500;
    double RedOffByIROff_min = 0.55;
    double RedOffByIROff_max = 0.85;
    double RedByBlue_min = 3.0;
    double RedByBlue_max = 99999.0;
    double RedByGreen_min = 3.0;
    double RedByGreen_max = 99999.0;
    double IRByGreen_min = 3.0;
    double IRByGreen_max = 99999.0;
    double IRByBlue_min = 3.0;
    double IRByBlue_max = 99999.0;
};

const LFDThresholds& GetLFDThresholds();

// Reads the thresholds from the unnamed section of KVTDeviceManager.ini. A key
// that is missing or 0 takes its default; real values keep the single
// precision in which the file reader delivers them. Call only while no
// capture can run.
void LoadLFDThresholds(const CDataFile& file);
