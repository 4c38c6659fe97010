// Live finger detection of one capture, as the device manager runs it.
#include <exception>

#include "image/LFDLevel.h"

#include "common/Log.h"
#include "image/LFDCheck.h"

int32_t GradeLiveFinger(const CProperties& properties, const uint8_t* raw,
                        kvt__DeviceType deviceType, const MeasureLFD& measure) {
    CLog& log = CLog::Instance();
    if (properties.GetValue("LFD") == 0) return 0;
    if (properties.GetValue("FastMode") != 0) {
        // Fast mode delivers one frame only.
        log.Warning(
            "CDevicesManager::GetLFDLevel: FastMode and LFD requested. At FastMode LFD will be "
            "skipped.");
        return 0;
    }
    // Failures of the standard library (memory, above all) cost the level
    // only; the bitmap classes' exceptions are the capture's to handle.
    try {
        LFDMeasurement measurement{};
        if (!measure(measurement)) return 0;
        const LFDWindow& window = LFDWindowFor(properties.GetValue("PictureSize"));
        const size_t frameBytes =
            static_cast<size_t>(window.rawWidth) * static_cast<size_t>(window.rawHeight);
        const int32_t level =
            CLFDCheck(window).Check(raw, raw + frameBytes, measurement, deviceType);
        log.Debug("CDevicesManager::GetLFDLevel: LFD-level: %d", level);
        return level;
    } catch (const std::exception& e) {
        log.Debug("CDevicesManager::GetLFDLevel: LFD check failed: %s", e.what());
        return 0;
    }
}
