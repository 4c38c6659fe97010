#pragma once

#include "usb/USBDevice.h"

// The older USB sensor: one board whose controller keeps the imager setup and
// answers analogue requests for the finger trigger and the live-finger
// measurements. Its black level is calibrated when it is initialised.
class CUSBDeviceU1 : public CUSBDevice {
public:
    // Status LED states.
    enum StateLED : uint8_t {
        kStateOff = 0,
        kStateResultFailed = 1,
        kStateResultSucceeded = 2,
        kStateBlink = 2,
        kStateCapturing = 3,
    };
    static constexpr uint16_t kFullFrameWidth = 664;
    static constexpr uint16_t kFullFrameHeight = 504;
    static constexpr uint32_t kFullFrameSize = uint32_t{kFullFrameWidth} * kFullFrameHeight;

    CUSBDeviceU1(std::unique_ptr<platform::UsbDriverHandle> handle, const std::string& deviceId);
    ~CUSBDeviceU1() override;

    bool Initialize() override;
    bool IndicateResult(int result) override;
    bool GetSyncImage(std::vector<uint8_t>& image) override;
    bool CaptureImageWithOffset(const Position&, std::vector<uint8_t>&) override { return false; }
    bool GetAsyncImage(std::vector<uint8_t>& image) override;
    bool GetBoundLFD(int timeout, LFDMeasurement& measurement) override;
    kvt__ConnectionType GetConnectionType() override { return kvt__ConnectionType__USB; }
    kvt__DeviceType GetDeviceType() override { return kvt__DeviceType__Kelo_A; }
    bool IsFirmwareSupported() override { return true; }
    bool FirmwareRequiresDiagnostic() override { return false; }
    bool FirmwareDiagnostic() override { return true; }
    bool GetTriggerValue(uint16_t& value) override;

    uint8_t GetMemoryLocationForRegister() override { return usb::MemoryBioBoard; }
    uint8_t GetMemoryLocationForCommand(uint16_t) override { return usb::MemoryBioBoard; }
    uint8_t GetDefaultTriggerSensitivity() override { return 14; }
    bool SetEEPROMLockBit(bool) override { return false; }
    // An analogue request; false when the sensor answers with a state instead.
    bool GetADC(std::span<const uint8_t> request, std::vector<uint8_t>& answer) override;
    bool IsSensorFree(bool& free) override;
    uint32_t GetSerialNumberBioBoard() override;

    // Adds a trigger value to the history and decides from its moving average.
    virtual bool IsFingerDetected(uint16_t triggerValue);

    // Searches the imager's black level bit by bit until the frame border is
    // just not black.
    bool SetBlackLevelAdjustment();

private:
    bool CaptureFullFrame(std::vector<uint8_t>& frame);
    bool WriteBlackLevel(uint8_t level);
    // A trigger value above this means pressure on the sensor.
    uint32_t TriggerThreshold();
    // Flashes the status LED once.
    void Blink();
};
