#include "sim/usb/EmulatedU2.h"

#include <string>

namespace sim {

namespace {

// Illumination board command codes.
constexpr uint16_t kSetLed = 0x00;
constexpr uint16_t kSetState = 0x06;
constexpr uint16_t kSetParameter = 0x07;
constexpr uint16_t kSetAddress = 0x08;
constexpr uint16_t kSetDefaultEeprom = 0x09;
constexpr uint16_t kDiagnostic = 0x0A;
constexpr uint16_t kTemperatureReset = 0x11;
constexpr uint16_t kTemperatureCompensation = 0x12;
constexpr uint16_t kGetDiagnosticResult = 0x20;
constexpr uint16_t kGetAdc = 0x22;
constexpr uint16_t kGetState = 0x23;
constexpr uint16_t kGetTrigger = 0x24;
constexpr uint16_t kGetParameter = 0x25;
constexpr uint16_t kGetAddress = 0x26;
constexpr uint16_t kGetLfd = 0x27;
constexpr uint16_t kGetLfdSyncFlag = 0x29;

constexpr uint8_t kDiagnosticRunning = 0x80;
constexpr uint8_t kLfdState = 6;
constexpr uint8_t kCrossPolarisedLed = 0x40;

std::vector<uint8_t> BigEndian(uint16_t value) {
    return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

}  // namespace

EmulatedU2::EmulatedU2(int simId, uint32_t serial, const SensorOptions& options)
    : EmulatedSensor(SensorModel::kU2, simId, options, {1, 5}) {
    const FirmwareVersion illu = options.illuFirmware.value_or(FirmwareVersion{0, 18});
    WriteImagerConfiguration(m_illu.data(), ConfigLayout::kIlluBoard);
    m_illu[kFirmwareMajor] = illu.major;
    m_illu[kFirmwareMinor] = illu.minor;
    m_illu[0x93] = 10;  // time-outs: access, no access, trigger
    m_illu[0x94] = 20;
    m_illu[0x95] = 5;
    // Calibrated live-finger values, red to infrared.
    for (uint8_t address = 0xB2; address <= 0xB5; ++address) m_illu[address] = 0x80;
    WriteEepromLocked(EepromState{});
    WriteSerialsLocked(serial, options.illuBoardSerial.value_or(serial & 0xFFFFFF));
    SetTriggerValues(0x0150, 0);
}

void EmulatedU2::WriteSerialsLocked(uint32_t bioBoard, uint32_t illuBoard) {
    const std::string text = std::to_string(bioBoard % 100000000);
    for (size_t i = 0; i < 8; ++i) {
        m_bioBoard[kBioBoardSerial + 2 * i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
        m_bioBoard[kBioBoardSerial + 2 * i + 1] = 0;
    }
    m_illu[kSerialHigh] = static_cast<uint8_t>(illuBoard >> 16);
    m_illu[kSerialHigh + 1] = static_cast<uint8_t>(illuBoard >> 8);
    m_illu[kSerialHigh + 2] = static_cast<uint8_t>(illuBoard);
}

void EmulatedU2::WriteEepromLocked(const EepromState& state) {
    m_illu[kMinTriggerLevelLow] = state.minTriggerLevelLow;
    m_illu[kMinTriggerLevelLow + 1] = state.minTriggerLevelHigh;
    m_illu[kMinTriggerLevelLow + 2] = state.maxTriggerLevelLow;
    m_illu[kMinTriggerLevelLow + 3] = state.maxTriggerLevelHigh;
    m_illu[kEepromLockBit] = state.locked ? 1 : 0;
}

EmulatedSensor::Response EmulatedU2::IlluRead(uint16_t code, uint8_t count) {
    std::vector<uint8_t> answer;
    switch (code) {
        case kGetParameter:
            // Consecutive registers from the address set last.
            for (uint8_t i = 0; i < count; ++i) answer.push_back(m_illu[(m_address + i) & 0xFF]);
            return DataAnswer(usbproto::kCmdI2CRead, std::move(answer));
        case kGetAddress:
            answer = {m_address};
            break;
        case kGetDiagnosticResult:
            if (m_diagnosticRemaining > 0) {
                --m_diagnosticRemaining;
                answer = {kDiagnosticRunning};
            } else {
                answer = {m_diagnosticRuns > 0 ? m_diagnosticResult : uint8_t{0}};
            }
            break;
        case kGetState:
            answer = {m_ledState};
            break;
        case kGetAdc:
        case kGetTrigger:
            answer = BigEndian(TriggerValueLocked());
            break;
        case kGetLfdSyncFlag:
            if (m_lfdTaken && m_lfdSyncRemaining > 0) {
                --m_lfdSyncRemaining;
                answer = {0, 0};
            } else {
                answer = {static_cast<uint8_t>(m_lfdTaken ? 1 : 0), 0};
            }
            break;
        case kGetLfd: {
            if (!m_lfdTaken) StartLfdMeasurement();
            const int16_t sequence[5] = {m_lfd.Ir, m_lfd.Red, m_lfd.Green, m_lfd.Blue, m_lfd.Off};
            answer = BigEndian(static_cast<uint16_t>(sequence[m_lfdIndex]));
            m_lfdIndex = (m_lfdIndex + 1) % 5;
            break;
        }
        default:
            return Refuse("illumination board has no get-command 0x%04X", code);
    }
    if (answer.size() > count) answer.resize(count);
    return DataAnswer(usbproto::kCmdI2CRead, std::move(answer));
}

EmulatedSensor::Response EmulatedU2::IlluWrite(uint16_t code, const uint8_t* data) {
    switch (code) {
        case kSetLed:
            if (m_commandLeds.size() == kHistoryLimit) m_commandLeds.pop_front();
            m_commandLeds.push_back(data[0]);
            break;
        case kSetState:
            SetState(data[0]);
            break;
        case kSetParameter:
            return WriteParameter(data[0]);
        case kSetAddress:
            m_address = data[0];
            break;
        case kSetDefaultEeprom:
            return ResetEeprom();
        case kDiagnostic:
            m_diagnosticRemaining = m_diagnosticPolls;
            ++m_diagnosticRuns;
            break;
        case kTemperatureReset:
            ++m_temperatureResets;
            break;
        case kTemperatureCompensation:
            m_temperatureCompensation = data[0];
            break;
        default:
            return Refuse("illumination board has no set-command 0x%04X", code);
    }
    return Acknowledge();
}

EmulatedSensor::Response EmulatedU2::WriteParameter(uint8_t value) {
    if (m_address >= kSerialHigh && m_address <= kFirmwareMinor)
        return Refuse("factory register 0x%02X is read-only", m_address);
    // The EEPROM (0x80 up) takes writes only while unlocked; the lock bit
    // itself always does.
    if (m_address >= 0x80 && m_address != kEepromLockBit && m_illu[kEepromLockBit] != 0)
        return Refuse("EEPROM register 0x%02X is locked", m_address);
    m_illu[m_address] = value;
    return Acknowledge();
}

EmulatedSensor::Response EmulatedU2::ResetEeprom() {
    if (m_illu[kEepromLockBit] != 0) return Refuse("EEPROM defaults while locked");
    WriteEepromLocked(EepromState{.locked = false});
    return Acknowledge();
}

void EmulatedU2::SetState(uint8_t state) {
    m_ledState = state;
    RecordStatusLed(state);
    if (state == kLfdState) StartLfdMeasurement();
}

void EmulatedU2::StartLfdMeasurement() {
    m_lfd = ReadingsLocked();
    m_lfdIndex = 0;
    m_lfdSyncRemaining = m_lfdSyncPolls;
    m_lfdTaken = true;
}

int EmulatedU2::FrameIndexFor(int, uint8_t ledByte) const {
    return ledByte == kCrossPolarisedLed ? FrameSource::kCrossPolarisedFrame
                                         : FrameSource::kNormalFrame;
}

uint8_t& EmulatedU2::SettingRegister(Setting setting) {
    switch (setting) {
        case Setting::kOffsetX:
            return m_illu[kOffsetX];
        case Setting::kOffsetY:
            return m_illu[kOffsetY];
        case Setting::kAutoTriggerSensitivity:
            break;
    }
    return m_illu[kAutoTriggerSensitivity];
}

void EmulatedU2::SetIlluFirmware(FirmwareVersion version) {
    std::lock_guard lock(m_mutex);
    m_illu[kFirmwareMajor] = version.major;
    m_illu[kFirmwareMinor] = version.minor;
}

FirmwareVersion EmulatedU2::IlluFirmware() const {
    std::lock_guard lock(m_mutex);
    return {m_illu[kFirmwareMajor], m_illu[kFirmwareMinor]};
}

void EmulatedU2::SetSerialNumbers(uint32_t bioBoard, uint32_t illuBoard) {
    std::lock_guard lock(m_mutex);
    WriteSerialsLocked(bioBoard, illuBoard);
}

void EmulatedU2::SetEeprom(const EepromState& state) {
    std::lock_guard lock(m_mutex);
    WriteEepromLocked(state);
}

EmulatedU2::EepromState EmulatedU2::Eeprom() const {
    std::lock_guard lock(m_mutex);
    return {m_illu[kMinTriggerLevelLow], m_illu[kMinTriggerLevelLow + 1],
            m_illu[kMinTriggerLevelLow + 2], m_illu[kMinTriggerLevelLow + 3],
            m_illu[kEepromLockBit] != 0};
}

void EmulatedU2::SetDiagnostic(uint8_t result, int runningPolls) {
    std::lock_guard lock(m_mutex);
    m_diagnosticResult = result;
    m_diagnosticPolls = runningPolls;
}

int EmulatedU2::DiagnosticRuns() const {
    std::lock_guard lock(m_mutex);
    return m_diagnosticRuns;
}

void EmulatedU2::SetLfdSyncPolls(int polls) {
    std::lock_guard lock(m_mutex);
    m_lfdSyncPolls = polls;
}

std::vector<uint8_t> EmulatedU2::CommandLedHistory() const {
    std::lock_guard lock(m_mutex);
    return {m_commandLeds.begin(), m_commandLeds.end()};
}

std::optional<uint8_t> EmulatedU2::TemperatureCompensation() const {
    std::lock_guard lock(m_mutex);
    return m_temperatureCompensation;
}

int EmulatedU2::TemperatureResets() const {
    std::lock_guard lock(m_mutex);
    return m_temperatureResets;
}

uint8_t EmulatedU2::IlluRegister(uint8_t address) const {
    std::lock_guard lock(m_mutex);
    return m_illu[address];
}

void EmulatedU2::SetIlluRegister(uint8_t address, uint8_t value) {
    std::lock_guard lock(m_mutex);
    m_illu[address] = value;
}

}  // namespace sim
