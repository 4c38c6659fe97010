#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "devicemanager/Device.h"

namespace kvt_test {

// A sensor without hardware: enough of a model for the registry and the
// manager to drive it. Tests steer its answers through the public members.
class TestDevice : public CDevice {
public:
    explicit TestDevice(std::atomic<int>* destroyed = nullptr) : m_destroyed(destroyed) {
        m_serialNumber = "TEST-0001";
        m_description = "Test sensor";
    }
    ~TestDevice() override {
        if (m_destroyed != nullptr) ++*m_destroyed;
    }

    bool Initialize() override { return true; }
    bool IndicateResult(int) override { return true; }
    int GetDeviceStatus() override { return 0; }
    bool GetSyncImage(std::vector<uint8_t>&) override { return false; }
    bool CaptureImageWithOffset(const Position&, std::vector<uint8_t>&) override { return false; }
    bool GetAsyncImage(std::vector<uint8_t>& image) override { return GetSyncImage(image); }
    bool ResetAsyncWaitDevice() override { return true; }
    bool ResetDevice() override { return false; }
    std::string GetFirmwareVersion() override { return "1.02"; }
    bool GetBoundLFD(int, LFDMeasurement& measurement) override {
        measurement = lfd;
        return true;
    }
    std::string GetDeviceID() override { return m_deviceId; }
    kvt__ConnectionType GetConnectionType() override { return kvt__ConnectionType__USB; }
    kvt__DeviceType GetDeviceType() override { return kvt__DeviceType__Kelo_B; }
    // Refuses while refuseClose is set, as a sensor in the middle of a read does.
    int CloseDevice() override {
        ++closeCalls;
        return refuseClose.load() ? -1 : CDevice::CloseDevice();
    }
    bool IsFirmwareSupported() override { return true; }
    bool FirmwareRequiresDiagnostic() override { return false; }
    bool FirmwareDiagnostic() override { return true; }

    LFDMeasurement lfd;
    std::atomic<bool> refuseClose{false};
    std::atomic<int> closeCalls{0};

private:
    std::atomic<int>* m_destroyed;
};

}  // namespace kvt_test
