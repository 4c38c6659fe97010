#pragma once

#include "usb/USBDevice.h"

// The two settings of the device manager's configuration that the newer USB
// model reads, at the configuration's defaults.
struct U2Settings {
    int32_t asyncSleepMs = 500;
    int32_t temperatureCompensation = 0;
};

// The newer USB sensor: a main board with the USB controller and an
// illumination board that drives the LEDs, reads the finger trigger and
// measures the finger under coloured light. Every frame is requested on its
// own, under its own LED colour.
class CUSBDeviceU2 : public CUSBDevice {
public:
    // Status LED states.
    enum StateLED : uint8_t {
        kStateClosed = 0,
        kStateIdle = 1,
        kStateCapturing = 2,
        kStateResultFailed = 3,
        kStateResultSucceeded = 4,
        kStateWaitingForFinger = 5,
        kStateMeasuringLFD = 6,
    };
    // Command LED colours of the two frames of a capture.
    static constexpr uint8_t kFirstFrameLED = 0x80;
    static constexpr uint8_t kSecondFrameLED = 0x40;
    // An offset of this value asks for the sensor's own offsets.
    static constexpr uint8_t kSensorOffset = 255;

    CUSBDeviceU2(std::unique_ptr<platform::UsbDriverHandle> handle, const std::string& deviceId,
                 U2Settings settings = {});
    ~CUSBDeviceU2() override;

    bool Initialize() override;
    bool IndicateResult(int result) override;
    bool GetSyncImage(std::vector<uint8_t>& image) override;
    bool CaptureImageWithOffset(const Position& offset, std::vector<uint8_t>& image) override;
    bool GetAsyncImage(std::vector<uint8_t>& image) override;
    bool GetBoundLFD(int timeout, LFDMeasurement& measurement) override;
    kvt__ConnectionType GetConnectionType() override { return kvt__ConnectionType__USB; }
    kvt__DeviceType GetDeviceType() override { return kvt__DeviceType__Kelo_B; }
    // -1 while a capture holds the in-use guard; its end completes the request.
    int CloseDevice() override;
    bool IsFirmwareSupported() override;
    bool FirmwareRequiresDiagnostic() override;
    // Lets the illumination board check and repair its EEPROM.
    bool FirmwareDiagnostic() override;

    bool EnterMaintenanceMode() override;
    bool LeaveMaintenanceMode() override;
    bool GetCCDPosition(Position& position) override;
    bool SetCCDPosition(const Position& position) override;
    bool GetTriggerValueM(uint16_t& value) override;
    bool GetTriggerValue(uint16_t& value) override;
    bool GetTriggerThresholds(dm__TriggerThresholds& thresholds) override;
    bool SetTriggerBounds(const dm__TriggerThresholds& bounds) override;
    bool SetLFDParameter(const dm__LFDParameter& parameter) override;
    bool GetIntegrationTime(uint16_t& time) override;
    bool SetIntegrationTime(uint16_t time) override;
    bool SetSerialNumber(const std::string& serialNumber) override;

    uint8_t GetMemoryLocationForRegister() override { return usb::MemoryIlluBoard; }
    uint8_t GetMemoryLocationForCommand(uint16_t command) override;
    uint8_t GetDefaultTriggerSensitivity() override { return 25; }
    bool SetEEPROMLockBit(bool on) override;
    bool GetADC(std::span<const uint8_t> request, std::vector<uint8_t>& answer) override;
    bool IsSensorFree(bool& free) override;
    // The serial number the main board keeps as eight UTF-16 digits; 0 when
    // it cannot be read.
    uint32_t GetSerialNumberBioBoard() override;

    // Writes the trigger levels, putting the earlier low bytes back when a
    // later write fails.
    virtual bool WriteTriggerLevels(uint16_t minLevel, uint16_t maxLevel);
    virtual uint32_t GetSerialNumberIlluBoard();
    virtual bool GetFirmwareVersionIlluBoard(uint8_t& major, uint8_t& minor);
    // One frame under one LED colour; kSensorOffset takes the sensor's offsets.
    virtual bool GetSingleImage(std::vector<uint8_t>& frame, uint8_t ledColour, uint8_t offsetX,
                                uint8_t offsetY);

    bool SetStateLED(uint8_t state);
    bool SetCommandLED(uint8_t colour);
    // Both frames, or the first alone in fast mode, one after the other.
    bool GetImage(std::vector<uint8_t>& image);
    // Gives an EEPROM without trigger levels the factory levels.
    bool InitTriggerValuesForAsyncImage();

private:
    // Maintenance operations wait for a running one and then refuse.
    bool RefuseMaintenance();
    bool RestoreLockBit();

    const U2Settings m_settings;
};
