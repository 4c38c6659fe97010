#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/usb/EmulatedSensor.h"

namespace sim {

// The newer sensor: a main board and an illumination board that drives the
// LEDs, reads the finger trigger, measures colours for live-finger detection
// and keeps an EEPROM. The host reaches the illumination board's registers
// by setting an address and then reading or writing the parameter.
class EmulatedU2 final : public EmulatedSensor {
public:
    // Illumination board register addresses.
    static constexpr uint8_t kOffsetX = 0x30;
    static constexpr uint8_t kOffsetY = 0x31;
    static constexpr uint8_t kAutoTriggerSensitivity = 0x32;
    static constexpr uint8_t kSerialHigh = 0x82;  // ..0x84, high to low
    static constexpr uint8_t kFirmwareMajor = 0x85;
    static constexpr uint8_t kFirmwareMinor = 0x86;
    static constexpr uint8_t kEepromLockBit = 0x87;
    static constexpr uint8_t kMinTriggerLevelLow = 0x96;  // then MinHigh, MaxLow, MaxHigh
    // Main board: 8 UTF-16 code units of the serial number's decimal text.
    static constexpr uint16_t kBioBoardSerial = 0x01B0;

    // The trigger levels and lock bit the illumination board keeps in EEPROM.
    // The default is a programmed, locked EEPROM (minimum 112, maximum 258).
    struct EepromState {
        uint8_t minTriggerLevelLow = 0x70;
        uint8_t minTriggerLevelHigh = 0x00;
        uint8_t maxTriggerLevelLow = 0x02;
        uint8_t maxTriggerLevelHigh = 0x01;
        bool locked = true;
        bool operator==(const EepromState&) const = default;
    };

    // The serial number's last 8 decimal digits go to the main board.
    EmulatedU2(int simId, uint32_t serial, const SensorOptions& options);

    void SetIlluFirmware(FirmwareVersion version);
    FirmwareVersion IlluFirmware() const;
    void SetSerialNumbers(uint32_t bioBoard, uint32_t illuBoard);
    void SetEeprom(const EepromState& state);
    EepromState Eeprom() const;
    // The diagnostic reports "running" (0x80) for runningPolls result reads,
    // then result.
    void SetDiagnostic(uint8_t result, int runningPolls);
    int DiagnosticRuns() const;
    // Sync-flag reads that answer "not ready" after a measurement starts.
    void SetLfdSyncPolls(int polls);
    std::vector<uint8_t> CommandLedHistory() const;
    std::optional<uint8_t> TemperatureCompensation() const;  // empty until set
    int TemperatureResets() const;
    uint8_t IlluRegister(uint8_t address) const;
    void SetIlluRegister(uint8_t address, uint8_t value);

private:
    Response IlluRead(uint16_t code, uint8_t count) override;
    Response IlluWrite(uint16_t code, const uint8_t* data) override;
    int FrameIndexFor(int descriptorIndex, uint8_t ledByte) const override;
    uint8_t& SettingRegister(Setting setting) override;

    Response WriteParameter(uint8_t value);
    Response ResetEeprom();
    void SetState(uint8_t state);
    void StartLfdMeasurement();
    void WriteSerialsLocked(uint32_t bioBoard, uint32_t illuBoard);
    void WriteEepromLocked(const EepromState& state);

    std::array<uint8_t, 256> m_illu{};
    uint8_t m_address = 0;
    uint8_t m_ledState = 0;
    std::deque<uint8_t> m_commandLeds;
    std::optional<uint8_t> m_temperatureCompensation;
    int m_temperatureResets = 0;

    uint8_t m_diagnosticResult = 0;
    int m_diagnosticPolls = 0;
    int m_diagnosticRemaining = 0;
    int m_diagnosticRuns = 0;

    int m_lfdSyncPolls = 0;
    int m_lfdSyncRemaining = 0;
    bool m_lfdTaken = false;
    LFDMeasurement m_lfd;
    int m_lfdIndex = 0;
};

}  // namespace sim
