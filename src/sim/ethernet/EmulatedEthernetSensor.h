#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/Log.h"
#include "platform/Sockets.h"
#include "sim/ethernet/EchoService.h"
#include "sim/usb/FrameSource.h"

namespace sim {

struct EthernetSensorConfig {
    static constexpr int kNoEchoService = 0;
    static constexpr int kAnyEchoPort = -1;

    std::string listenerAddress = "127.0.0.1";
    int listenerPort = 43981;
    std::string sensorAddress = "127.0.0.2";  // the sensor's own address, also its echo service's
    uint32_t serialNumber = 0;
    int echoPort = 7;  // kNoEchoService, kAnyEchoPort or a port
    uint8_t firmwareMajor = 3;
    uint8_t firmwareMinor = 7;
    // Where the sensor's default window lies on its imager.
    int16_t offsetX = 210;
    int16_t offsetY = 90;
    // 0: one connection, made by Start. Otherwise the sensor connects from its
    // own thread and again this long after each connection ends.
    int reconnectDelayMs = 0;
    int connectTimeoutMs = 2000;
    // Where the sensor's log lines go; empty: the library's log.
    EchoService::Reporter report;
};

// Misbehaviour on request; each spoils that many answers (or, for the echo,
// holds until cleared).
enum class EthernetFault {
    kNoAnswer,        // the next command stays unanswered
    kShortAnswer,     // the next answer that is not an image breaks off halfway
    kWrongCmdId,      // the next answer's header carries CmdID 0xEE
    kLengthZero,      // the next answer is a header announcing 0 bytes, nothing more
    kLengthTooLarge,  // the next answer is a header announcing 400000 bytes, nothing more
    kCloseInImage,    // the connection is closed halfway through the next image
    kEchoStops,       // the echo service takes bytes but no longer answers
};
constexpr size_t kEthernetFaultKinds = 7;

// One command as the sensor received it.
struct ReceivedCommand {
    uint32_t cmdId = 0;
    uint32_t length = 0;
    std::vector<uint8_t> body;
};

// The sensor side of an Ethernet sensor: a TCP client of one of the library's
// listeners that answers its commands, sends an image by itself when its
// automatic trigger is on and a finger lies on it, and runs the echo service
// that the library's keep-alive watches. Pictures and colour readings come from
// the emulators' frame source. Every member is safe to call from any thread;
// the sensor's threads end in Stop or with the object.
class EmulatedEthernetSensor {
public:
    static constexpr uint32_t kWrongCmdId = 0xEE;
    // Requests carry at most 16 body bytes; a peer announcing more than this is
    // not speaking the protocol and loses its connection.
    static constexpr uint32_t kMaxRequestBody = 64;
    static constexpr size_t kHistoryLimit = 10000;
    // Colour readings travel as one byte each: the dark reading is taken off
    // and the rest scaled down by this factor.
    static constexpr int kLdScale = 64;

    explicit EmulatedEthernetSensor(EthernetSensorConfig config);
    ~EmulatedEthernetSensor();
    EmulatedEthernetSensor(const EmulatedEthernetSensor&) = delete;
    EmulatedEthernetSensor& operator=(const EmulatedEthernetSensor&) = delete;

    // Starts the echo service, then connects (without reconnecting: at once,
    // and false when that fails). Call once.
    bool Start();
    // Closes the connection and the echo service and ends every thread.
    void Stop();

    bool IsConnected() const { return m_connected; }
    // Waits until the connection is up (or down); false when it is not by then.
    bool WaitConnectionState(bool connected, int timeoutMs) const;
    int EchoPort() const { return m_echo.Port(); }

    // What lies on the sensor.
    void PlaceFinger(const FingerOnSensor& finger);
    void LiftFinger();

    // Settings.
    void SetFirmware(uint8_t major, uint8_t minor);
    void SetImageOffsets(int16_t x, int16_t y);
    void SetDeviceStatus(uint32_t status);  // the second word of every status answer

    void InjectFault(EthernetFault fault, int count = 1);
    void ClearFaults();

    // What the sensor saw and showed.
    std::vector<ReceivedCommand> Received() const;
    void ClearReceived();
    // Waits until at least count commands have arrived since the last clear.
    bool WaitReceived(size_t count, int timeoutMs) const;
    // The last process status that the library indicated (1 success, 2 other),
    // 0 before any.
    uint8_t IndicatedState() const;
    bool TriggerArmed() const;
    int ImagesTriggered() const;

private:
    struct Answer {
        uint32_t cmdId = 0;
        std::vector<uint8_t> body;
        // An image is rendered only once its header has gone: the library
        // waits 3 s for a header, but as long as it takes for the image.
        uint32_t imageSize = 0;
        std::function<std::vector<uint8_t>()> renderImage;
    };
    enum class Outcome { kGoOn, kClose };

    void Report(int level, const char* format, ...) const KVT_PRINTF(3, 4);
    platform::SocketHandle Connect();
    void Run(platform::SocketHandle first);
    void Serve(platform::SocketHandle connection);
    Outcome HandleInput(platform::SocketHandle connection, std::vector<uint8_t>& input);
    std::optional<Answer> Respond(uint32_t cmdId, const std::vector<uint8_t>& body);
    Answer StatusAnswer(uint32_t cmdId, uint32_t status) const;
    Answer Refuse(uint32_t cmdId, const char* why);
    Answer Configuration(const std::vector<uint8_t>& body);
    Answer ImageEx(const std::vector<uint8_t>& body);
    Answer RoiFrames(std::optional<FingerOnSensor> finger);
    void Render(const FingerOnSensor* finger, int frameIndex, int width, int height, int column,
                int row, uint8_t* out);
    Outcome Send(platform::SocketHandle connection, const Answer& answer);
    bool SendBytes(platform::SocketHandle connection, const std::vector<uint8_t>& bytes);
    bool TakeFault(EthernetFault fault);
    // The finger when the automatic trigger fires now.
    std::optional<FingerOnSensor> TriggerDue();
    // The colour readings as GET_LD carries them: infrared, blue, green, red.
    static std::array<uint8_t, 4> LdBytes(const LFDMeasurement& measurement);

    const EthernetSensorConfig m_config;
    EchoService m_echo;
    bool m_socketsStarted = false;

    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_connected{false};
    std::thread m_thread;
    // The connection, so that Stop can end a send that the peer does not take.
    mutable std::mutex m_connectionMutex;
    mutable std::condition_variable m_connectionChanged;
    platform::SocketHandle m_connection = platform::kInvalidSocket;
    platform::SocketAddress m_serverAddress;
    platform::SocketAddress m_clientAddress;

    mutable std::mutex m_mutex;  // everything below
    mutable std::condition_variable m_receivedChanged;
    std::optional<FingerOnSensor> m_finger;
    uint8_t m_firmwareMajor;
    uint8_t m_firmwareMinor;
    int16_t m_offsetX;
    int16_t m_offsetY;
    uint32_t m_deviceStatus = 1;
    bool m_triggerArmed = false;
    int m_imagesTriggered = 0;
    uint8_t m_indicatedState = 0;
    std::array<int, kEthernetFaultKinds> m_faults{};
    std::deque<ReceivedCommand> m_received;
};

}  // namespace sim
