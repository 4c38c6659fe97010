#pragma once

#include <cstdint>
#include <vector>

#include "sim/usb/EmulatedSensor.h"

namespace sim {

// The older sensor: one board that keeps its settings in the main board's
// memory and answers analogue (ADC) requests for the finger trigger and the
// colour readings. Its full frame is 664 x 504 pixels.
class EmulatedU1 final : public EmulatedSensor {
public:
    static constexpr int kFullWidth = 664;
    static constexpr int kFullHeight = 504;
    // Main board addresses.
    static constexpr uint16_t kOffsetX = 0x0221;
    static constexpr uint16_t kOffsetY = 0x0222;
    static constexpr uint16_t kAutoTriggerSensitivity = 0x0223;
    static constexpr uint16_t kSerialNumber = 0x023C;  // 4 bytes, high to low

    static const std::vector<uint8_t>& TriggerRequest();
    static const std::vector<uint8_t>& LiveFingerRequest();

    EmulatedU1(int simId, uint32_t serial, const SensorOptions& options);

    void SetSerialNumber(uint32_t serial);

private:
    bool ModelBodyLengthValid(uint8_t cmdId, uint32_t length) const override;
    Response ModelRequest(uint8_t cmdId, const std::vector<uint8_t>& body) override;
    int FrameIndexFor(int descriptorIndex, uint8_t ledByte) const override;
    uint8_t& SettingRegister(Setting setting) override;
    void WriteSerialLocked(uint32_t serial);
};

}  // namespace sim
