#include "sim/ethernet/EmulatedEthernetSensor.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ethernet/EthernetProtocol.h"
#include "ethernet/SocketEndpoint.h"

namespace sim {

using namespace ethernet;

namespace {

// How often the serving loop looks at the trigger and the stop flag.
constexpr int kPollMs = 20;
// GET_IMAGE delivers the default window: "ROI", frame 1 and then frame 2.
constexpr int kRoiWidth = 384;
constexpr int kRoiHeight = 320;

size_t Index(EthernetFault fault) {
    return static_cast<size_t>(fault);
}

}  // namespace

EmulatedEthernetSensor::EmulatedEthernetSensor(EthernetSensorConfig config)
    : m_config(std::move(config)),
      m_echo([this](int level, const std::string& text) { Report(level, "%s", text.c_str()); }),
      m_firmwareMajor(m_config.firmwareMajor),
      m_firmwareMinor(m_config.firmwareMinor),
      m_offsetX(m_config.offsetX),
      m_offsetY(m_config.offsetY) {
    m_socketsStarted = platform::SocketLibraryStartup();
}

EmulatedEthernetSensor::~EmulatedEthernetSensor() {
    Stop();
    if (m_socketsStarted) platform::SocketLibraryCleanup();
}

void EmulatedEthernetSensor::Report(int level, const char* format, ...) const {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const std::string line = "EthSim " + m_config.sensorAddress + ": " + text;
    if (m_config.report) {
        m_config.report(level, line);
        return;
    }
    CLog& log = CLog::Instance();
    switch (level) {
        case CLog::kDebug:
            log.Debug("%s", line.c_str());
            break;
        case CLog::kInfo:
            log.Info("%s", line.c_str());
            break;
        case CLog::kWarning:
            log.Warning("%s", line.c_str());
            break;
        default:
            log.Error("%s", line.c_str());
            break;
    }
}

// --- connection ---

bool EmulatedEthernetSensor::Start() {
    if (!m_socketsStarted) {
        Report(CLog::kError, "the socket library is not available");
        return false;
    }
    platform::SocketAddress own;
    if (!platform::MakeSocketAddress(m_config.sensorAddress.c_str(), 0, own)) {
        Report(CLog::kError, "not an IPv4 address");
        return false;
    }
    if (m_config.echoPort != EthernetSensorConfig::kNoEchoService) {
        const int port =
            m_config.echoPort == EthernetSensorConfig::kAnyEchoPort ? 0 : m_config.echoPort;
        platform::SocketAddress echo;
        platform::MakeSocketAddress(m_config.sensorAddress.c_str(), port, echo);
        if (!m_echo.Start(echo)) return false;
    }
    platform::SocketHandle first = platform::kInvalidSocket;
    if (m_config.reconnectDelayMs <= 0) {
        first = Connect();
        if (first == platform::kInvalidSocket) {
            m_echo.Stop();
            return false;
        }
        m_connected = true;
    }
    m_thread = std::thread([this, first] { Run(first); });
    return true;
}

void EmulatedEthernetSensor::Stop() {
    {
        std::lock_guard lock(m_connectionMutex);
        m_stop = true;
        platform::ShutdownSocket(m_connection);
    }
    m_connectionChanged.notify_all();
    if (m_thread.joinable()) m_thread.join();
    m_echo.Stop();
}

bool EmulatedEthernetSensor::WaitConnectionState(bool connected, int timeoutMs) const {
    std::unique_lock lock(m_connectionMutex);
    return m_connectionChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                        [&] { return m_connected == connected; });
}

platform::SocketHandle EmulatedEthernetSensor::Connect() {
    platform::SocketAddress own, listener;
    platform::MakeSocketAddress(m_config.sensorAddress.c_str(), 0, own);
    if (!platform::MakeSocketAddress(m_config.listenerAddress.c_str(), m_config.listenerPort,
                                     listener)) {
        Report(CLog::kError, "listener address '%s' is not an IPv4 address",
               m_config.listenerAddress.c_str());
        return platform::kInvalidSocket;
    }
    platform::SocketHandle socket = platform::OpenTcpSocket();
    if (socket == platform::kInvalidSocket || !platform::BindSocket(socket, own) ||
        !platform::ConnectTcp(socket, listener, m_config.connectTimeoutMs) ||
        !platform::LocalAddress(socket, m_clientAddress)) {
        Report(CLog::kWarning, "cannot connect to %s:%d", m_config.listenerAddress.c_str(),
               m_config.listenerPort);
        platform::CloseSocket(socket);
        return platform::kInvalidSocket;
    }
    m_serverAddress = listener;
    Report(CLog::kInfo, "connected to %s:%d (serial number %u)", m_config.listenerAddress.c_str(),
           m_config.listenerPort, m_config.serialNumber);
    return socket;
}

void EmulatedEthernetSensor::Run(platform::SocketHandle first) {
    platform::SocketHandle connection = first;
    for (;;) {
        if (connection == platform::kInvalidSocket && !m_stop) connection = Connect();
        if (connection != platform::kInvalidSocket) {
            Serve(connection);
            connection = platform::kInvalidSocket;
        }
        // A sensor whose connection ended has restarted: its echo connection
        // is gone too, and without a new connection its echo service.
        if (m_config.reconnectDelayMs <= 0) {
            m_echo.Stop();
            break;
        }
        m_echo.DropConnection();
        std::unique_lock lock(m_connectionMutex);
        if (m_connectionChanged.wait_for(lock, std::chrono::milliseconds(m_config.reconnectDelayMs),
                                         [this] { return m_stop.load(); }))
            break;
    }
}

void EmulatedEthernetSensor::Serve(platform::SocketHandle connection) {
    {
        std::lock_guard lock(m_connectionMutex);
        m_connection = connection;
        m_connected = true;
    }
    m_connectionChanged.notify_all();
    std::vector<uint8_t> input;
    uint8_t chunk[4096];
    while (!m_stop) {
        if (const std::optional<FingerOnSensor> finger = TriggerDue()) {
            Report(CLog::kInfo, "finger %u/%u triggers: sending an image", finger->fingerId,
                   finger->impression);
            if (Send(connection, RoiFrames(finger)) == Outcome::kClose) break;
            continue;
        }
        const int ready = platform::WaitReadable(connection, kPollMs);
        if (ready < 0) break;
        if (ready == 0) continue;
        const int received = platform::RecvSome(connection, chunk, sizeof chunk);
        if (received <= 0) {
            if (!m_stop) Report(CLog::kInfo, "the library closed the connection");
            break;
        }
        input.insert(input.end(), chunk, chunk + received);
        if (HandleInput(connection, input) == Outcome::kClose) break;
    }
    {
        std::lock_guard lock(m_connectionMutex);
        platform::CloseSocket(m_connection);
        m_connection = platform::kInvalidSocket;
        m_connected = false;
    }
    m_connectionChanged.notify_all();
}

EmulatedEthernetSensor::Outcome EmulatedEthernetSensor::HandleInput(
    platform::SocketHandle connection, std::vector<uint8_t>& input) {
    while (input.size() >= kHeaderSize) {
        const uint32_t cmdId = GetU32(input.data());
        const uint32_t length = GetU32(input.data() + 4);
        if (length > kMaxRequestBody) {
            Report(CLog::kError,
                   "command %u announces a body of %u bytes: not the protocol, closing the "
                   "connection",
                   cmdId, length);
            return Outcome::kClose;
        }
        if (input.size() < kHeaderSize + length) break;
        ReceivedCommand command{cmdId, length,
                                std::vector<uint8_t>(input.begin() + kHeaderSize,
                                                     input.begin() + kHeaderSize + length)};
        input.erase(input.begin(), input.begin() + kHeaderSize + length);
        const std::optional<Answer> answer = Respond(cmdId, command.body);
        {
            std::lock_guard lock(m_mutex);
            m_received.push_back(std::move(command));
            if (m_received.size() > kHistoryLimit) m_received.pop_front();
        }
        m_receivedChanged.notify_all();
        if (answer && Send(connection, *answer) == Outcome::kClose) return Outcome::kClose;
    }
    return Outcome::kGoOn;
}

// --- commands ---

std::optional<EmulatedEthernetSensor::Answer> EmulatedEthernetSensor::Respond(
    uint32_t cmdId, const std::vector<uint8_t>& body) {
    if (cmdId != kGetImage && cmdId != kGetImageEx)
        Report(CLog::kDebug, "command %u with %u body bytes", cmdId,
               static_cast<unsigned>(body.size()));
    switch (cmdId) {
        case kGetConfiguration:
            return Configuration(body);
        case kGetStatus: {
            if (!body.empty()) return Refuse(cmdId, "a status request with a body");
            std::lock_guard lock(m_mutex);
            return StatusAnswer(kGetStatus, m_deviceStatus);
        }
        case kGetImage: {
            if (!body.empty()) return Refuse(cmdId, "an image request with a body");
            Report(CLog::kDebug, "GET_IMAGE: the default window, frames 1 and 2");
            std::unique_lock lock(m_mutex);
            const std::optional<FingerOnSensor> finger = m_finger;
            lock.unlock();
            return RoiFrames(finger);
        }
        case kGetLD: {
            if (!body.empty()) return Refuse(cmdId, "a measurement request with a body");
            std::unique_lock lock(m_mutex);
            const std::optional<FingerOnSensor> finger = m_finger;
            lock.unlock();
            const auto bytes = LdBytes(CurrentFrameSource()->Readings(finger ? &*finger : nullptr));
            return Answer{kGetLD, {bytes[0], bytes[1], bytes[2], bytes[3], 0, 0, 0, 0}, 0, {}};
        }
        case kGetImageEx:
            return ImageEx(body);
        case kSetAutoTrigger: {
            if (body.size() != 8 || (body[0] != kTriggerOff && body[0] != kTriggerAutomatic))
                return Refuse(cmdId, "an unknown trigger mode");
            std::lock_guard lock(m_mutex);
            m_triggerArmed = body[0] == kTriggerAutomatic;
            Report(CLog::kDebug, "automatic trigger %s", m_triggerArmed ? "on" : "off");
            return StatusAnswer(kGetStatus, m_deviceStatus);
        }
        case kSetInterface: {
            if (body.size() != 16 || GetU32(body.data()) != kInterfaceProcStatus ||
                GetU32(body.data() + 4) != 16 ||
                (body[8] != kProcStatusSuccess && body[8] != kProcStatusOther))
                return Refuse(cmdId, "an unknown interface item");
            std::lock_guard lock(m_mutex);
            m_indicatedState = body[8];
            Report(CLog::kInfo, "lights show %s",
                   m_indicatedState == kProcStatusSuccess ? "success" : "failure");
            return StatusAnswer(kGetStatus, m_deviceStatus);
        }
        case kResetDevice: {
            std::lock_guard lock(m_mutex);
            m_triggerArmed = false;
            Report(CLog::kInfo, "reset");
            return std::nullopt;
        }
        default:
            return Refuse(cmdId, "an unknown command");
    }
}

EmulatedEthernetSensor::Answer EmulatedEthernetSensor::StatusAnswer(uint32_t cmdId,
                                                                    uint32_t status) const {
    Answer answer{cmdId, std::vector<uint8_t>(8), 0, {}};
    PutU32(answer.body.data(), m_config.serialNumber);
    PutU32(answer.body.data() + 4, status);
    return answer;
}

EmulatedEthernetSensor::Answer EmulatedEthernetSensor::Refuse(uint32_t cmdId, const char* why) {
    Report(CLog::kWarning, "command %u refused (%s): answering DEV_STATUS_ERROR", cmdId, why);
    return StatusAnswer(kGetStatus, kDevStatusError);
}

EmulatedEthernetSensor::Answer EmulatedEthernetSensor::Configuration(
    const std::vector<uint8_t>& body) {
    if (body.size() != 16 || GetU32(body.data()) != kGetConfigMagic)
        return Refuse(kGetConfiguration, "a malformed configuration request");
    std::vector<uint8_t> value(4, 0);
    std::lock_guard lock(m_mutex);
    const auto putLow16 = [&](int16_t number) {
        value[0] = static_cast<uint8_t>(number);
        value[1] = static_cast<uint8_t>(static_cast<uint16_t>(number) >> 8);
    };
    switch (GetU32(body.data() + 4)) {
        case kConfigFirmware:
            value[0] = m_firmwareMajor;
            value[1] = m_firmwareMinor;
            break;
        case kConfigServerPort: {
            const int port = platform::AddressPort(m_serverAddress);
            value[0] = static_cast<uint8_t>(port >> 8);
            value[1] = static_cast<uint8_t>(port);
            break;
        }
        case kConfigServerIP:
            // The address word is in network order: its bytes are the dotted order.
            std::memcpy(value.data(), &m_serverAddress.address, 4);
            break;
        case kConfigClientIP:
            std::memcpy(value.data(), &m_clientAddress.address, 4);
            break;
        case kConfigOffsetX:
            putLow16(m_offsetX);
            break;
        case kConfigOffsetY:
            putLow16(m_offsetY);
            break;
        default:
            return Refuse(kGetConfiguration, "an unknown configuration index");
    }
    return Answer{kGetConfiguration, std::move(value), 0, {}};
}

EmulatedEthernetSensor::Answer EmulatedEthernetSensor::ImageEx(const std::vector<uint8_t>& body) {
    if (body.size() != 16) return Refuse(kGetImageEx, "a malformed image request");
    const uint32_t width = GetU16(body.data());
    const uint32_t height = GetU16(body.data() + 2);
    const auto originX = static_cast<int16_t>(GetU16(body.data() + 4));
    const auto originY = static_cast<int16_t>(GetU16(body.data() + 6));
    const uint16_t frame = GetU16(body.data() + 8);
    if (width == 0 || height == 0 || width * height >= kMaxResponseLength ||
        (frame != kFrameNormal && frame != kFrameLiveFinger))
        return Refuse(kGetImageEx, "an image size or frame number out of range");
    Report(CLog::kDebug, "GET_IMAGE_EX: %ux%u at (%d, %d), frame %u", width, height, originX,
           originY, frame);
    std::unique_lock lock(m_mutex);
    const std::optional<FingerOnSensor> finger = m_finger;
    const int column = originX - m_offsetX;
    const int row = originY - m_offsetY;
    lock.unlock();
    const int frameIndex =
        frame == kFrameLiveFinger ? FrameSource::kCrossPolarisedFrame : FrameSource::kNormalFrame;
    return Answer{kGetImageEx, {}, width * height, [=, this] {
                      std::vector<uint8_t> pixels(static_cast<size_t>(width) * height);
                      Render(finger ? &*finger : nullptr, frameIndex, static_cast<int>(width),
                             static_cast<int>(height), column, row, pixels.data());
                      return pixels;
                  }};
}

EmulatedEthernetSensor::Answer EmulatedEthernetSensor::RoiFrames(
    std::optional<FingerOnSensor> finger) {
    constexpr uint32_t kFrameSize = kRoiWidth * kRoiHeight;
    return Answer{kGetImage, {}, 2 * kFrameSize, [=, this] {
                      const FingerOnSensor* lying = finger ? &*finger : nullptr;
                      std::vector<uint8_t> frames(2 * kFrameSize);
                      Render(lying, FrameSource::kNormalFrame, kRoiWidth, kRoiHeight, 0, 0,
                             frames.data());
                      Render(lying, FrameSource::kCrossPolarisedFrame, kRoiWidth, kRoiHeight, 0, 0,
                             frames.data() + kFrameSize);
                      return frames;
                  }};
}

void EmulatedEthernetSensor::Render(const FingerOnSensor* finger, int frameIndex, int width,
                                    int height, int column, int row, uint8_t* out) {
    CurrentFrameSource()->Render(finger, frameIndex, width, height, column, row, out);
}

std::array<uint8_t, 4> EmulatedEthernetSensor::LdBytes(const LFDMeasurement& measurement) {
    const auto scaled = [&](int16_t reading) {
        const int value = (reading - measurement.Off) / kLdScale;
        return static_cast<uint8_t>(std::clamp(value, 0, 255));
    };
    return {scaled(measurement.Ir), scaled(measurement.Blue), scaled(measurement.Green),
            scaled(measurement.Red)};
}

EmulatedEthernetSensor::Outcome EmulatedEthernetSensor::Send(platform::SocketHandle connection,
                                                             const Answer& answer) {
    const bool image = static_cast<bool>(answer.renderImage);
    uint32_t cmdId = answer.cmdId;
    uint32_t length = image ? answer.imageSize : static_cast<uint32_t>(answer.body.size());
    size_t bodyBytes = length;
    bool closeAfter = false;
    {
        std::lock_guard lock(m_mutex);
        if (TakeFault(EthernetFault::kNoAnswer)) {
            Report(CLog::kInfo, "fault: answer to command %u withheld", answer.cmdId);
            return Outcome::kGoOn;
        }
        if (TakeFault(EthernetFault::kWrongCmdId)) {
            cmdId = kWrongCmdId;
        } else if (TakeFault(EthernetFault::kLengthZero)) {
            length = 0;
            bodyBytes = 0;
        } else if (TakeFault(EthernetFault::kLengthTooLarge)) {
            length = kMaxResponseLength;
            bodyBytes = 0;
        } else if (image ? TakeFault(EthernetFault::kCloseInImage)
                         : TakeFault(EthernetFault::kShortAnswer)) {
            bodyBytes /= 2;
            closeAfter = image;
        }
    }
    const auto header = EncodeHeader({cmdId, length});
    std::vector<uint8_t> message(header.begin(), header.end());
    if (image) {
        if (!SendBytes(connection, message)) return Outcome::kClose;
        message = bodyBytes > 0 ? answer.renderImage() : std::vector<uint8_t>();
        message.resize(bodyBytes);
    } else {
        // Header and body in one send: two small sends would wait on each
        // other's acknowledgement.
        message.insert(message.end(), answer.body.begin(), answer.body.begin() + bodyBytes);
    }
    if (!SendBytes(connection, message)) return Outcome::kClose;
    if (closeAfter) {
        Report(CLog::kInfo, "fault: connection closed halfway through an image");
        return Outcome::kClose;
    }
    return Outcome::kGoOn;
}

bool EmulatedEthernetSensor::SendBytes(platform::SocketHandle connection,
                                       const std::vector<uint8_t>& bytes) {
    if (SendAll({{}, connection}, bytes.data(), static_cast<int>(bytes.size()),
                [this] { return m_stop.load(); }))
        return true;
    if (!m_stop) Report(CLog::kInfo, "sending failed: the connection is lost");
    return false;
}

// --- the finger, settings, faults and what was seen ---

std::optional<FingerOnSensor> EmulatedEthernetSensor::TriggerDue() {
    std::lock_guard lock(m_mutex);
    if (!m_triggerArmed || !m_finger) return std::nullopt;
    // One image per arming: the library switches the trigger off and on again.
    m_triggerArmed = false;
    ++m_imagesTriggered;
    return m_finger;
}

bool EmulatedEthernetSensor::TakeFault(EthernetFault fault) {
    int& count = m_faults[Index(fault)];
    if (count == 0) return false;
    if (count > 0) --count;
    return true;
}

void EmulatedEthernetSensor::PlaceFinger(const FingerOnSensor& finger) {
    std::lock_guard lock(m_mutex);
    m_finger = finger;
}

void EmulatedEthernetSensor::LiftFinger() {
    std::lock_guard lock(m_mutex);
    m_finger.reset();
}

void EmulatedEthernetSensor::SetFirmware(uint8_t major, uint8_t minor) {
    std::lock_guard lock(m_mutex);
    m_firmwareMajor = major;
    m_firmwareMinor = minor;
}

void EmulatedEthernetSensor::SetImageOffsets(int16_t x, int16_t y) {
    std::lock_guard lock(m_mutex);
    m_offsetX = x;
    m_offsetY = y;
}

void EmulatedEthernetSensor::SetDeviceStatus(uint32_t status) {
    std::lock_guard lock(m_mutex);
    m_deviceStatus = status;
}

void EmulatedEthernetSensor::InjectFault(EthernetFault fault, int count) {
    if (fault == EthernetFault::kEchoStops) {
        m_echo.SetAnswering(false);
        return;
    }
    std::lock_guard lock(m_mutex);
    m_faults[Index(fault)] = count;
}

void EmulatedEthernetSensor::ClearFaults() {
    m_echo.SetAnswering(true);
    std::lock_guard lock(m_mutex);
    m_faults.fill(0);
}

std::vector<ReceivedCommand> EmulatedEthernetSensor::Received() const {
    std::lock_guard lock(m_mutex);
    return {m_received.begin(), m_received.end()};
}

void EmulatedEthernetSensor::ClearReceived() {
    std::lock_guard lock(m_mutex);
    m_received.clear();
}

bool EmulatedEthernetSensor::WaitReceived(size_t count, int timeoutMs) const {
    std::unique_lock lock(m_mutex);
    return m_receivedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [&] { return m_received.size() >= count; });
}

uint8_t EmulatedEthernetSensor::IndicatedState() const {
    std::lock_guard lock(m_mutex);
    return m_indicatedState;
}

bool EmulatedEthernetSensor::TriggerArmed() const {
    std::lock_guard lock(m_mutex);
    return m_triggerArmed;
}

int EmulatedEthernetSensor::ImagesTriggered() const {
    std::lock_guard lock(m_mutex);
    return m_imagesTriggered;
}

}  // namespace sim
