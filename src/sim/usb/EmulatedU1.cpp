#include "sim/usb/EmulatedU1.h"

#include <algorithm>

namespace sim {

namespace {

constexpr uint32_t kMaxAdcRequest = 64;

// The ADC converts 8 bits; the colour readings come scaled to fit.
uint8_t Adc8(int value) {
    return static_cast<uint8_t>(std::clamp(value / 64, 0, 255));
}

}  // namespace

const std::vector<uint8_t>& EmulatedU1::TriggerRequest() {
    static const std::vector<uint8_t> request = {0x88, 0x01, 0x02, 0x03};
    return request;
}

const std::vector<uint8_t>& EmulatedU1::LiveFingerRequest() {
    static const std::vector<uint8_t> request = {0x88, 0x89, 0x8A, 0x8B};
    return request;
}

EmulatedU1::EmulatedU1(int simId, uint32_t serial, const SensorOptions& options)
    : EmulatedSensor(SensorModel::kU1, simId, options, {2, 3}) {
    WriteSerialLocked(serial);
    SetTriggerValues(200, 2);
}

void EmulatedU1::WriteSerialLocked(uint32_t serial) {
    for (int i = 0; i < 4; ++i)
        m_bioBoard[kSerialNumber + i] = static_cast<uint8_t>(serial >> (24 - 8 * i));
}

void EmulatedU1::SetSerialNumber(uint32_t serial) {
    std::lock_guard lock(m_mutex);
    WriteSerialLocked(serial);
}

bool EmulatedU1::ModelBodyLengthValid(uint8_t cmdId, uint32_t length) const {
    return cmdId == usbproto::kCmdAdc && length >= 1 && length <= kMaxAdcRequest;
}

EmulatedSensor::Response EmulatedU1::ModelRequest(uint8_t cmdId, const std::vector<uint8_t>& body) {
    if (cmdId != usbproto::kCmdAdc) return EmulatedSensor::ModelRequest(cmdId, body);
    if (body == TriggerRequest()) {
        const uint8_t trigger = static_cast<uint8_t>(std::min<uint16_t>(TriggerValueLocked(), 255));
        return DataAnswer(usbproto::kCmdAdc, {trigger, 0, 0, 0});
    }
    if (body == LiveFingerRequest()) {
        const LFDMeasurement m = ReadingsLocked();
        return DataAnswer(usbproto::kCmdAdc,
                          {Adc8(m.Ir), Adc8(m.Blue), Adc8(m.Green), Adc8(m.Red)});
    }
    // The firmware answers requests it does not know with its state.
    return Refuse("unknown ADC request of %u bytes", static_cast<unsigned>(body.size()));
}

int EmulatedU1::FrameIndexFor(int descriptorIndex, uint8_t) const {
    return descriptorIndex == 0 ? FrameSource::kNormalFrame : FrameSource::kCrossPolarisedFrame;
}

uint8_t& EmulatedU1::SettingRegister(Setting setting) {
    switch (setting) {
        case Setting::kOffsetX:
            return m_bioBoard[kOffsetX];
        case Setting::kOffsetY:
            return m_bioBoard[kOffsetY];
        case Setting::kAutoTriggerSensitivity:
            break;
    }
    return m_bioBoard[kAutoTriggerSensitivity];
}

}  // namespace sim
