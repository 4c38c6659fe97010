#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/Records.h"
#include "image/LFDMeasurement.h"
#include "platform/CritSec.h"
#include "properties/Properties.h"

class CLog;
class CEthernetDevice;
class CUSBDevice;

// What every sensor model shares: identity, the capture lock that lets a
// sensor serve one capture at a time, the cancel request of an asynchronous
// capture, the capture properties in force and the in-use guard that keeps a
// close from pulling the handle out from under an image read.
class CDevice {
public:
    enum InUseState : int32_t { kFree = 0, kInUse = 1, kClosingRequested = 2, kClosed = 3 };
    // What GetDeviceStatus returns. An Ethernet sensor's own status values
    // other than these are passed on unchanged.
    enum DeviceStatus : int {
        kDeviceStatusOk = 0,
        // The Ethernet sensor's idle state, the one its trigger can be armed in.
        kDeviceStatusTriggerReady = 1,
        kDeviceStatusError = 3,
    };
    enum CaptureState : int32_t {
        kIdle = 0,
        kSyncCapture = 1,
        kAsyncCapture = 2,
        kAsyncCancelled = 3,
    };

    CDevice();
    virtual ~CDevice();
    CDevice(const CDevice&) = delete;
    CDevice& operator=(const CDevice&) = delete;

    virtual bool BeginUse();
    virtual bool EndUse();
    virtual bool RequestClose();
    virtual bool IsClosed();
    virtual bool Initialize() = 0;
    virtual CEthernetDevice* AsEthernetDevice() { return nullptr; }
    virtual CUSBDevice* AsUSBDevice() { return nullptr; }
    virtual int InitDevice();
    virtual bool IndicateResult(int result) = 0;
    virtual int GetDeviceStatus() = 0;
    // The raw buffer of one capture: frame 1, then frame 2 when LFD is on.
    virtual bool GetSyncImage(std::vector<uint8_t>& image) = 0;
    virtual bool CaptureImageWithOffset(const Position& offset, std::vector<uint8_t>& image) = 0;
    virtual bool GetAsyncImage(std::vector<uint8_t>& image) = 0;
    virtual bool ResetAsyncWaitDevice() = 0;
    virtual bool ResetDevice() = 0;
    virtual std::string GetFirmwareVersion() = 0;
    virtual std::string GetDescription();
    virtual bool GetBoundLFD(int timeout, LFDMeasurement& measurement) = 0;
    virtual std::string GetDeviceID() = 0;
    virtual kvt__ConnectionType GetConnectionType() = 0;
    virtual kvt__DeviceType GetDeviceType() = 0;
    virtual std::string GetSerialNumber();
    virtual std::string GetOwnerID();
    virtual std::string GetCancelID();
    virtual CLog* GetLog() { return m_log; }
    // Non-zero refuses: the sensor stays registered and may be asked again.
    virtual int CloseDevice();
    virtual bool IsFirmwareSupported() = 0;
    virtual bool FirmwareRequiresDiagnostic() = 0;
    virtual bool FirmwareDiagnostic() = 0;

    // Maintenance operations: only the newer USB model has a use for them.
    virtual bool EnterMaintenanceMode() { return false; }
    virtual bool LeaveMaintenanceMode() { return false; }
    virtual bool GetCCDPosition(Position& /*position*/) { return false; }
    virtual bool SetCCDPosition(const Position& /*position*/) { return false; }
    virtual bool GetTriggerValueM(uint16_t& /*value*/) { return false; }
    virtual bool GetTriggerValue(uint16_t& /*value*/) { return false; }
    virtual bool GetTriggerThresholds(dm__TriggerThresholds& /*thresholds*/) { return false; }
    virtual bool SetTriggerBounds(const dm__TriggerThresholds& /*bounds*/) { return false; }
    virtual bool SetLFDParameter(const dm__LFDParameter& /*parameter*/) { return false; }
    virtual bool GetIntegrationTime(uint16_t& /*time*/) { return false; }
    virtual bool SetIntegrationTime(uint16_t /*time*/) { return false; }
    virtual bool SetSerialNumber(const std::string& /*serialNumber*/) { return false; }

    // Capture ownership, used by the manager around every operation.
    bool AcquireDevice(bool async);
    void ReleaseDevice();
    bool CancelDevice(const std::string& clientId);
    void SetOwnerID(const std::string& clientId);
    void SetCaptureProperties(const CProperties& properties);
    CaptureState GetCaptureState();

    const CProperties& CaptureProperties() const { return m_properties; }
    int32_t AsyncTimeout() const { return m_asyncTimeout.load(); }
    void SetAsyncTimeout(int32_t seconds) { m_asyncTimeout = seconds; }
    bool IsCancelled() const { return m_cancel.load() != 0; }
    void ClearCancel() { m_cancel = 0; }

protected:
    int32_t m_inUse = kFree;
    std::string m_deviceId;
    std::string m_ownerId;
    std::string m_cancelId;
    CLog* m_log;
    std::string m_firmwareVersion;
    std::string m_serialNumber;
    std::string m_description;
    CCritSec m_deviceLock;
    CProperties m_properties;
    int32_t m_captureState = kIdle;
    std::atomic<int32_t> m_asyncTimeout{0};
    std::atomic<uint8_t> m_cancel{0};
    CCritSec m_captureLock;
    CCritSec m_inUseLock;
};

// Formats a GUID as the braced device-id text.
std::string FormatDeviceId(uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t data4[8]);
