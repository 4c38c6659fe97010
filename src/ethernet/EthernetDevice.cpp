#include "ethernet/EthernetDevice.h"

#include <cstdio>
#include <utility>

#include "common/Log.h"
#include "common/Timing.h"
#include "devicemanager/SensorHost.h"
#include "image/PictureGeometry.h"
#include "platform/Time.h"

using namespace ethernet;

namespace {

// ResetAsyncWaitDevice lets a waiting GetAsyncImage see the cancel flag (it
// looks every 500 ms) before it talks to the sensor itself.
constexpr uint32_t kResetAsyncPauseMs = 700;
constexpr int kAsyncSliceMs = 500;

}  // namespace

CEthernetDevice::CEthernetDevice(const SocketEndpoint& connection, const SocketEndpoint& listener,
                                 int echoPort, StopCheck halt)
    : m_connection(connection),
      m_listener(listener),
      m_echoPort(echoPort),
      m_halt(std::move(halt)) {
    m_description = "Kelo E1 Ethernet";
}

CEthernetDevice::~CEthernetDevice() {
    CFunctionTrace trace("CEthernetDevice::~CEthernetDevice");
    CloseEndpoint(m_connection);
}

bool CEthernetDevice::ShouldStop() const {
    return m_closing.load() || (m_halt && m_halt());
}

bool CEthernetDevice::HeaderMirrorCheck(const char* context, const CommandHeader& header,
                                        uint32_t expectedCmdId) {
    if (header.cmdId == expectedCmdId && header.length > 0 && header.length < kMaxResponseLength) {
        return true;
    }
    m_log->Error("CEthernetDevice::HeaderMirrorCheck%s", context);
    m_log->Error(
        "CEthernetDevice::HeaderMirrorCheck:(%s-%s) Expected Header.CmdID:%d, "
        "received CmdID:%d",
        Id(), Serial(), static_cast<int>(expectedCmdId), static_cast<int>(header.cmdId));
    return false;
}

void CEthernetDevice::LogFailure(const char* text) {
    m_log->Error(text, Id(), Serial());
}

bool CEthernetDevice::Request(uint32_t cmdId, const uint8_t* body, size_t bodySize,
                              uint32_t expectedCmdId, const ExchangeTexts& texts,
                              CommandHeader& response, int waitSeconds) {
    FlushInput(m_connection);
    const auto header = EncodeHeader({cmdId, static_cast<uint32_t>(bodySize), 0, 0});
    if (!SendAll(m_connection, header.data(), kHeaderSize, Stop())) {
        LogFailure(texts.sendHeader);
        return false;
    }
    if (bodySize > 0 && !SendAll(m_connection, body, static_cast<int>(bodySize), Stop())) {
        LogFailure(texts.sendBody);
        return false;
    }
    uint8_t answer[kHeaderSize];
    if (!RecvAll(m_connection, answer, kHeaderSize, waitSeconds, Stop())) {
        LogFailure(texts.recvHeader);
        return false;
    }
    response = DecodeHeader(answer);
    if (HeaderMirrorCheck(texts.mirrorContext, response, expectedCmdId)) return true;
    if (texts.flushAfterMirror) FlushInput(m_connection);
    return false;
}

bool CEthernetDevice::ReceiveBuffer(uint32_t length, std::vector<uint8_t>& image) {
    // The mirror check has bounded length below 400000.
    image.assign(length, 0);
    if (RecvAll(m_connection, image.data(), static_cast<int>(length), 0, Stop())) return true;
    image.clear();
    image.shrink_to_fit();
    return false;
}

bool CEthernetDevice::GetConfig(uint32_t index, uint8_t* out, size_t count) {
    CFunctionTrace trace("CEthernetDevice::GetConfig");
    CCritSecLock lock(m_exchangeLock);
    uint8_t body[kGetConfigBodySize] = {};
    PutU32(body, kGetConfigMagic);
    PutU32(body + 4, index);
    CommandHeader response;
    static constexpr ExchangeTexts kTexts{
        "CEthernetDevice::GetConfig: Send(GET_CONFIGURATION) failed",
        "CEthernetDevice::GetConfig: Send(CMD_DATA_GET_CONFIG) failed",
        "CEthernetDevice::GetConfig: Recv(GET_CONFIGURATION) failed",
        "CEthernetDevice::GetConfig: Header mirror-check failed"};
    if (!Request(kGetConfiguration, body, sizeof body, kGetConfiguration, kTexts, response)) {
        return false;
    }
    // Exactly one value is read, whatever length the header announced.
    uint8_t value[kConfigValueSize] = {};
    if (!RecvAll(m_connection, value, kConfigValueSize, kWaitSeconds, Stop())) {
        m_log->Error("CEthernetDevice::GetConfig: Recv(CMD_RESPONSE_GET_CONFIG) failed");
        return false;
    }
    for (size_t i = 0; i < count && i < kConfigValueSize; ++i) out[i] = value[i];
    return true;
}

bool CEthernetDevice::GetOffset(int16_t& x, int16_t& y) {
    CFunctionTrace trace("CEthernetDevice::GetOffset");
    uint8_t valueX[2] = {};
    uint8_t valueY[2] = {};
    const bool readX = GetConfig(kConfigOffsetX, valueX, sizeof valueX);
    const bool readY = GetConfig(kConfigOffsetY, valueY, sizeof valueY);
    x = static_cast<int16_t>(GetU16(valueX));
    y = static_cast<int16_t>(GetU16(valueY));
    m_log->Debug("CEthernetDevice::GetOffset: Offset x: %d, y: %d", x, y);
    return readX && readY;
}

void CEthernetDevice::GetPortAndIP() {
    CFunctionTrace trace("CEthernetDevice::GetPortAndIP");
    uint8_t port[4] = {};
    uint8_t server[4] = {};
    uint8_t client[4] = {};
    GetConfig(kConfigServerPort, port, sizeof port);
    GetConfig(kConfigServerIP, server, sizeof server);
    GetConfig(kConfigClientIP, client, sizeof client);
    m_log->Debug(
        "CEthernetDevice::GetPortAndIP: Server-Port: 0x%X, Server-IP: %d.%d.%d.%d, Client-IP: "
        "%d.%d.%d.%d",
        port[0] * 256u + port[1], server[0], server[1], server[2], server[3], client[0], client[1],
        client[2], client[3]);
}

void CEthernetDevice::SetSerialNumberOnce(uint32_t serial) {
    std::lock_guard lock(m_identityLock);
    if (!m_serialNumber.empty()) return;
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(serial));
    m_serialNumber = text;
}

int CEthernetDevice::GetDeviceStatus() {
    CFunctionTrace trace("CEthernetDevice::GetDeviceStatus");
    CCritSecLock lock(m_exchangeLock);
    CommandHeader response;
    static constexpr ExchangeTexts kTexts{
        "CEthernetDevice::GetDeviceStatus:(%s-%s) Send(GET_STATUS) failed with DEV_STATUS_ERROR",
        nullptr,
        "CEthernetDevice::GetDeviceStatus:(%s-%s) Recv(GET_STATUS) failed because of "
        "DEV_STATUS_ERROR",
        "CEthernetDevice::GetDeviceStatus: Header mirror-check failed"};
    if (!Request(kGetStatus, nullptr, 0, kGetStatus, kTexts, response)) {
        return kDeviceStatusError;
    }
    uint8_t body[kStatusBodySize];
    if (!RecvAll(m_connection, body, sizeof body, kWaitSeconds, Stop())) {
        m_log->Error(
            "CEthernetDevice::GetDeviceStatus:(%s-%s) Recv(CMD_RESPONSE_STATUS) failed due to "
            "DEV_STATUS_ERROR",
            Id(), Serial());
        return kDeviceStatusError;
    }
    const int status = static_cast<int>(GetU32(body + 4));
    m_log->Debug("CEthernetDevice::GetDeviceStatus:(%s-%s) Device reported status: %d", Id(),
                 Serial(), status);
    SetSerialNumberOnce(GetU32(body));
    GetPortAndIP();
    return status;
}

void CEthernetDevice::ReadFirmwareVersion() {
    uint8_t value[kConfigValueSize] = {};
    if (!GetConfig(kConfigFirmware, value, sizeof value)) return;
    char text[16];
    std::snprintf(text, sizeof text, "%u.%02u", unsigned{value[0]}, unsigned{value[1]});
    std::lock_guard lock(m_identityLock);
    m_firmwareVersion = text;
    m_firmwareKnown = !m_firmwareVersion.empty();
}

bool CEthernetDevice::Initialize() {
    CFunctionTrace trace("CEthernetDevice::Initialize");
    const int status = GetDeviceStatus();
    ReadFirmwareVersion();
    return status != kDeviceStatusError;
}

std::string CEthernetDevice::GetFirmwareVersion() {
    CFunctionTrace trace("CEthernetDevice::GetFirmwareVersion");
    bool known = false;
    {
        std::lock_guard lock(m_identityLock);
        known = m_firmwareKnown;
    }
    if (!known) ReadFirmwareVersion();
    std::string version = [this] {
        std::lock_guard lock(m_identityLock);
        return m_firmwareVersion;
    }();
    m_log->Debug("CEthernetDevice::GetFirmwareVersion: Firmware: %s", version.c_str());
    return version;
}

std::string CEthernetDevice::GetSerialNumber() {
    std::lock_guard lock(m_identityLock);
    return m_serialNumber;
}

bool CEthernetDevice::GetSyncImage(std::vector<uint8_t>& image) {
    CFunctionTrace trace("CEthernetDevice::GetSyncImage");
    image.clear();
    const bool fast = m_properties.GetValue("FastMode") != 0;
    const bool lfd = m_properties.GetValue("LFD") != 0;
    if (m_properties.GetValue("PictureSize") == 0 && lfd) return GetNormalImage(image);

    std::vector<uint8_t> second;
    if (!GetSingleImage(image, kFrameNormal)) return false;
    if (!fast && lfd) {
        if (!GetSingleImage(second, kFrameLiveFinger)) {
            image.clear();
            return false;
        }
        // Frame 1, then the live-finger frame, as make-up and grading expect.
        image.insert(image.end(), second.begin(), second.end());
    }
    return true;
}

bool CEthernetDevice::GetNormalImage(std::vector<uint8_t>& image) {
    CFunctionTrace trace("CEthernetDevice::GetNormalImage");
    image.clear();
    CCritSecLock lock(m_exchangeLock);
    CommandHeader response;
    static constexpr ExchangeTexts kTexts{
        "CEthernetDevice::GetNormalImage:(%s-%s) Send(GET_IMAGE) failed", nullptr,
        "CEthernetDevice::GetNormalImage:(%s-%s) Recv(GET_IMAGE) failed",
        "CEthernetDevice::GetNormalImage: Header mirror-check failed", true};
    if (!Request(kGetImage, nullptr, 0, kGetImage, kTexts, response)) return false;
    if (ReceiveBuffer(response.length, image)) return true;
    m_log->Error("CEthernetDevice::GetNormalImage:(%s-%s) Recv(BUFFER) failed", Id(), Serial());
    return false;
}

bool CEthernetDevice::GetSingleImage(std::vector<uint8_t>& image, uint16_t frame) {
    CFunctionTrace trace("CEthernetDevice::GetSingleImage");
    image.clear();
    const uint32_t pictureSize = m_properties.GetValue("PictureSize");
    const PictureGeometry* geometry = FindPictureGeometry(pictureSize);
    if (geometry == nullptr) {
        m_log->Error("CEthernetDevice::GetSingleImage:(%s-%s) unknown picture size %u", Id(),
                     Serial(), pictureSize);
        return false;
    }
    CCritSecLock lock(m_exchangeLock);
    int16_t x = 0;
    int16_t y = 0;
    if (!GetOffset(x, y)) {
        x = kDefaultOffsetX;
        y = kDefaultOffsetY;
    }
    uint8_t body[kGetImageExBodySize] = {};
    PutU16(body, static_cast<uint16_t>(geometry->rawWidth));
    PutU16(body + 2, static_cast<uint16_t>(geometry->rawHeight));
    PutU16(body + 4, static_cast<uint16_t>(geometry->windowShiftX + x));
    PutU16(body + 6, static_cast<uint16_t>(geometry->windowShiftY + y));
    PutU16(body + 8, frame);
    CommandHeader response;
    static constexpr ExchangeTexts kTexts{
        "CEthernetDevice::GetSingleImage: Send(GET_IMAGE_EX) failed",
        "CEthernetDevice::GetSingleImage: Send(CMD_DATA_GET_IMAGE_EX) failed",
        "CEthernetDevice::GetSingleImage: Recv(GET_IMAGE_EX) failed",
        "CEthernetDevice::GetSingleImage: Header mirror-check failed", true};
    if (!Request(kGetImageEx, body, sizeof body, kGetImageEx, kTexts, response)) {
        return false;
    }
    if (ReceiveBuffer(response.length, image)) return true;
    m_log->Error("CEthernetDevice::GetSingleImage: Recv(BUFFER) failed");
    return false;
}

bool CEthernetDevice::SetTrigger(const SocketEndpoint& endpoint, bool on) {
    CFunctionTrace trace("CEthernetDevice::SetTrigger");
    CCritSecLock lock(m_exchangeLock);
    if (GetDeviceStatus() == kDeviceStatusError) {
        m_log->Error("CEthernetDevice::SetTrigger:(%s-%s) GetDeviceStatus() failed", Id(),
                     Serial());
        return false;
    }
    const auto header = EncodeHeader({kSetAutoTrigger, kTriggerBodySize, 0, 0});
    uint8_t body[kTriggerBodySize] = {};
    body[0] = on ? kTriggerAutomatic : kTriggerOff;
    if (!SendAll(endpoint, header.data(), kHeaderSize, Stop())) {
        m_log->Error("CEthernetDevice::SetTrigger:(%s-%s) Send(SET_AUTOTRIGGER) failed", Id(),
                     Serial());
        return false;
    }
    if (!SendAll(endpoint, body, sizeof body, Stop())) {
        m_log->Error("CEthernetDevice::SetTrigger:(%s-%s) Send(CMD_DATA_TRIGGER) failed", Id(),
                     Serial());
        return false;
    }
    uint8_t answer[kHeaderSize];
    if (!RecvAll(endpoint, answer, kHeaderSize, kWaitSeconds, Stop())) {
        m_log->Error("CEthernetDevice::SetTrigger:(%s-%s) Recv(CMD_HEADER) failed", Id(), Serial());
        return false;
    }
    if (!HeaderMirrorCheck("CEthernetDevice::SetTrigger: Header mirror-check failed",
                           DecodeHeader(answer), kGetStatus)) {
        return false;
    }
    uint8_t status[kStatusBodySize];
    if (!RecvAll(endpoint, status, sizeof status, kWaitSeconds, Stop())) {
        m_log->Error("CEthernetDevice::SetTrigger:(%s-%s) Recv(CMD_RESPONSE_STATUS) failed", Id(),
                     Serial());
        return false;
    }
    const uint32_t state = GetU32(status + 4);
    if (state == kDevStatusReady) return true;
    m_log->Error(
        "CEthernetDevice::SetTrigger:(%s-%s) Status of device is 0x%x instead of "
        "expected 0x%x!",
        Id(), Serial(), state, kDevStatusReady);
    return false;
}

bool CEthernetDevice::GetAsyncImage(std::vector<uint8_t>& image) {
    CFunctionTrace trace("CEthernetDevice::GetAsyncImage");
    bool result = false;
    image.clear();
    {
        CCritSecLock lock(m_exchangeLock);
        FlushInput(m_connection);
    }
    if (!SetTrigger(m_connection, true)) {
        m_log->Error(
            "CEthernetDevice::GetAsyncImage:(%s-%s) SetTrigger(true) in "
            "CEthernetDevice::GetAsyncImage failed",
            Id(), GetSerialNumber().c_str());
        return false;
    }

    // The sensor sends a GET_IMAGE response by itself when it triggers. The
    // exchange lock is taken per slice, so a cancel can talk to the sensor.
    bool answered = false;
    for (int64_t remaining = int64_t{AsyncTimeout()} * 1000; remaining > 0 && !answered;
         remaining -= kAsyncSliceMs) {
        if (IsCancelled()) break;
        CCritSecLock lock(m_exchangeLock);
        uint8_t bytes[kHeaderSize];
        bool timedOut = false;
        if (RecvAllMs(m_connection, bytes, kHeaderSize, kAsyncSliceMs, timedOut, Stop())) {
            answered = true;
            const CommandHeader response = DecodeHeader(bytes);
            if (!HeaderMirrorCheck("CEthernetDevice::GetAsyncImage: Header mirror-check failed",
                                   response, kGetImage)) {
                FlushInput(m_connection);
            } else if (ReceiveBuffer(response.length, image)) {
                result = true;
            } else {
                m_log->Error("CEthernetDevice::GetAsyncImage:(%s-%s) Recv(BUFFER) failed", Id(),
                             Serial());
            }
        } else if (!timedOut) {
            m_log->Error("CEthernetDevice::GetAsyncImage:(%s-%s) Recv(GET_IMAGE) failed", Id(),
                         Serial());
            break;
        }
    }
    if (!answered && IsCancelled()) {
        m_log->Info("CEthernetDevice::GetAsyncImage:(%s-%s) cancelled", Id(),
                    GetSerialNumber().c_str());
    }
    // A cancelled capture leaves the trigger to ResetAsyncWaitDevice.
    if (!IsCancelled()) SetTrigger(m_connection, false);
    return result;
}

bool CEthernetDevice::ResetAsyncWaitDevice() {
    CFunctionTrace trace("CEthernetDevice::ResetAsyncWaitDevice");
    platform::SleepMs(kResetAsyncPauseMs);
    return SetTrigger(m_connection, false);
}

bool CEthernetDevice::ResetDevice() {
    CFunctionTrace trace("CEthernetDevice::ResetDevice");
    CCritSecLock lock(m_exchangeLock);
    const auto header = EncodeHeader({kResetDevice, 0, 0, 0});
    if (SendAll(m_connection, header.data(), kHeaderSize, Stop())) return true;
    m_log->Error("CEthernetDevice::ResetDevice:(%s-%s) Send(RESET_DEVICE) failed", Id(), Serial());
    return false;
}

bool CEthernetDevice::GetBoundLFD(int timeout, LFDMeasurement& measurement) {
    CFunctionTrace trace("CEthernetDevice::GetBoundLFD");
    CCritSecLock lock(m_exchangeLock);
    CommandHeader response;
    static constexpr ExchangeTexts kTexts{
        "CEthernetDevice::GetBoundLFD:(%s-%s) Send(GET_LD) failed", nullptr,
        "CEthernetDevice::GetBoundLFD:(%s-%s) Recv(GET_LD) failed",
        "CEthernetDevice::GetBoundLFD: Header mirror-check failed"};
    if (!Request(kGetLD, nullptr, 0, kGetLD, kTexts, response, timeout)) return false;
    uint8_t body[kLDBodySize];
    if (!RecvAll(m_connection, body, sizeof body, timeout, Stop())) {
        m_log->Error("CEthernetDevice::GetBoundLFD:(%s-%s) Recv(CMD_RESPONSE_GET_LD) failed", Id(),
                     Serial());
        return false;
    }
    measurement.Ir = body[0];
    measurement.Blue = body[1];
    measurement.Green = body[2];
    measurement.Red = body[3];
    return true;
}

bool CEthernetDevice::IndicateResult(int result) {
    CFunctionTrace trace("CEthernetDevice::IndicateResult");
    if (result < 0 || result > kvt__ResultFeedback__Error) return false;
    uint8_t body[kProcStatusBodySize] = {};
    PutU32(body, kInterfaceProcStatus);
    PutU32(body + 4, kProcStatusSize);
    body[8] = result == kvt__ResultFeedback__Succeeded ? kProcStatusSuccess : kProcStatusOther;

    CCritSecLock lock(m_exchangeLock);
    CommandHeader response;
    static constexpr ExchangeTexts kTexts{
        "CEthernetDevice::IndicateResult:(%s-%s) Send(SET_INTERFACE) failed",
        "CEthernetDevice::IndicateResult:(%s-%s) Send(IF_ID_PROC_STATUS) failed",
        "CEthernetDevice::IndicateResult:(%s-%s) Recv(IF_ID_PROC_STATUS) failed",
        "CEthernetDevice::IndicateResult: Header mirror-check failed"};
    if (!Request(kSetInterface, body, sizeof body, kGetStatus, kTexts, response)) {
        return false;
    }
    uint8_t status[kStatusBodySize];
    if (!RecvAll(m_connection, status, sizeof status, kWaitSeconds, Stop())) {
        m_log->Error("CEthernetDevice::IndicateResult:(%s-%s) Recv(CMD_RESPONSE_STATUS) failed",
                     Id(), Serial());
        return false;
    }
    return GetU32(status + 4) != kDevStatusError;
}

int CEthernetDevice::CloseDevice() {
    CFunctionTrace trace("CEthernetDevice::CloseDevice");
    // Every wait of an exchange looks at m_closing, so the lock comes free soon.
    m_closing = true;
    {
        CCritSecLock lock(m_exchangeLock);
        CloseEndpoint(m_connection);
    }
    return CDevice::CloseDevice();
}

namespace {

constexpr uint32_t kEchoPeriodMs = 10000;
constexpr int kEchoAnswerWaitMs = 5000;
constexpr int kEchoConnectMs = 5000;
constexpr uint32_t kEchoSleepSliceMs = 100;
constexpr size_t kEchoProbeSize = 8;

}  // namespace

void CEthernetDevice::StartThreadEcho(SensorHost& host, const DevicePtr& device) {
    CFunctionTrace trace("CEthernetDevice::StartThreadEcho");
    if (host.StartWorkerThread([&host, device] { EchoThread(host, device); })) return;
    // A sensor nobody watches would stay registered after it is gone.
    CLog::Instance().Error("CEthernetDevice::StartThreadEcho: no keep-alive thread for %s",
                           device->GetDeviceID().c_str());
    host.RemoveDeviceFromList(device);
}

void CEthernetDevice::EchoThread(SensorHost& host, const DevicePtr& device) {
    CFunctionTrace trace("CEthernetDevice::EchoThread");
    CEthernetDevice& self = *device->AsEthernetDevice();
    const auto halted = [&host] { return host.IsStopping() || host.IsSuspended(); };
    // A closed sensor has left the registry already; its keep-alive just ends.
    const StopCheck stop = [&] { return halted() || self.IsClosing(); };

    SocketEndpoint echo;
    echo.socket = platform::OpenTcpSocket();
    if (echo.socket == platform::kInvalidSocket) {
        host.RemoveDeviceFromList(device);
        return;
    }
    platform::SocketAddress local = self.m_listener.address;
    local.port = 0;
    platform::SocketAddress peer;
    if (!platform::BindSocket(echo.socket, local) ||
        !platform::MakeSocketAddress(platform::AddressText(self.m_connection.address).c_str(),
                                     self.m_echoPort, peer) ||
        !platform::ConnectTcp(echo.socket, peer, kEchoConnectMs)) {
        CloseEndpoint(echo);
        host.RemoveDeviceFromList(device);
        return;
    }

    const uint8_t probe[kEchoProbeSize] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    while (!stop()) {
        const CTimeout period(kEchoPeriodMs);
        while (!period.IsElapsed() && !stop()) platform::SleepMs(kEchoSleepSliceMs);
        if (stop()) break;
        if (!SendAll(echo, probe, sizeof probe, stop)) break;
        if (WaitReadableMs(echo, kEchoAnswerWaitMs, stop) != 1) break;
        uint8_t answer[kEchoProbeSize];
        if (platform::RecvSome(echo.socket, answer, sizeof answer) <= 0) break;
    }
    if (!stop()) host.RemoveDeviceFromList(device);
    CloseEndpoint(echo);
}
