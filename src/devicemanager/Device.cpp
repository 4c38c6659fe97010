#include "devicemanager/Device.h"

#include <cstdio>

#include "common/Log.h"
#include "platform/Guid.h"

std::string FormatDeviceId(uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t data4[8]) {
    char text[64];
    std::snprintf(text, sizeof(text), "{%04X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(data1), static_cast<unsigned>(data2),
                  static_cast<unsigned>(data3), data4[0], data4[1], data4[2], data4[3], data4[4],
                  data4[5], data4[6], data4[7]);
    return text;
}

CDevice::CDevice() : m_log(&CLog::Instance()) {}

CDevice::~CDevice() {
    m_log->Info("CDevice::~CDevice");
}

bool CDevice::BeginUse() {
    CCritSecLock lock(m_inUseLock);
    if (m_inUse != kFree) return false;
    m_inUse = kInUse;
    return true;
}

bool CDevice::EndUse() {
    CCritSecLock lock(m_inUseLock);
    if (m_inUse == kInUse) {
        m_inUse = kFree;
        return true;
    }
    if (m_inUse == kClosingRequested) {
        m_inUse = kClosed;
        return true;
    }
    return false;
}

bool CDevice::RequestClose() {
    CCritSecLock lock(m_inUseLock);
    if (m_inUse == kFree) {
        m_inUse = kClosed;
        return true;
    }
    if (m_inUse == kInUse) {
        m_inUse = kClosingRequested;
        return true;
    }
    return false;
}

bool CDevice::IsClosed() {
    CCritSecLock lock(m_inUseLock);
    return m_inUse == kClosed;
}

int CDevice::InitDevice() {
    const platform::Guid guid = platform::NewGuid();
    m_deviceId = FormatDeviceId(guid.data1, guid.data2, guid.data3, guid.data4);
    m_log->Info("\tDeviceID: %s", m_deviceId.c_str());
    CCritSecLock lock(m_captureLock);
    m_captureState = kIdle;
    return 0;
}

std::string CDevice::GetDescription() {
    return m_description;
}

std::string CDevice::GetSerialNumber() {
    return m_serialNumber;
}

std::string CDevice::GetOwnerID() {
    CCritSecLock lock(m_captureLock);
    return m_ownerId;
}

std::string CDevice::GetCancelID() {
    CCritSecLock lock(m_captureLock);
    return m_cancelId;
}

int CDevice::CloseDevice() {
    CFunctionTrace trace("CDevice::CloseDevice");
    return 0;
}

bool CDevice::AcquireDevice(bool async) {
    CCritSecLock lock(m_captureLock);
    if (m_captureState != kIdle) {
        m_log->Debug("\tDevice is busy");
        return false;
    }
    m_captureState = async ? kAsyncCapture : kSyncCapture;
    return true;
}

void CDevice::ReleaseDevice() {
    CFunctionTrace trace("CDevice::ReleaseDevice");
    CCritSecLock lock(m_captureLock);
    m_ownerId.clear();
    m_captureState = kIdle;
}

bool CDevice::CancelDevice(const std::string& clientId) {
    CFunctionTrace trace("CDevice::CancelDevice");
    CCritSecLock lock(m_captureLock);
    m_cancelId = clientId;
    if (m_captureState == kAsyncCapture) {
        m_captureState = kAsyncCancelled;
        m_cancel = 1;
        return true;
    }
    return m_captureState == kIdle;
}

void CDevice::SetOwnerID(const std::string& clientId) {
    CCritSecLock lock(m_captureLock);
    m_ownerId = clientId;
}

void CDevice::SetCaptureProperties(const CProperties& properties) {
    m_properties.CopyFrom(properties);
}

CDevice::CaptureState CDevice::GetCaptureState() {
    CCritSecLock lock(m_captureLock);
    return static_cast<CaptureState>(m_captureState);
}
