#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "devicemanager/Device.h"
#include "devicemanager/DevicePtr.h"
#include "ethernet/EthernetProtocol.h"
#include "ethernet/SocketEndpoint.h"
#include "platform/CritSec.h"

class SensorHost;

// The Ethernet sensor: a TCP client of one of the manager's listeners, driven
// over that connection with the binary command protocol. A keep-alive thread
// per sensor watches the sensor's echo service and removes the sensor when it
// stops answering.
class CEthernetDevice : public CDevice {
public:
    static constexpr int kDefaultEchoPort = 7;
    // Window origin used when the sensor does not tell its image offset.
    static constexpr int16_t kDefaultOffsetX = 210;
    static constexpr int16_t kDefaultOffsetY = 90;

    // connection: the accepted socket and the sensor's address; listener: the
    // listener's endpoint, its address the local one the sensor came in on.
    // halt, when given, ends every wait on the sensor once it returns true.
    CEthernetDevice(const SocketEndpoint& connection, const SocketEndpoint& listener,
                    int echoPort = kDefaultEchoPort, StopCheck halt = {});
    ~CEthernetDevice() override;

    bool Initialize() override;
    CEthernetDevice* AsEthernetDevice() override { return this; }
    // Result 1 shows success, 0, 2 and 3 another outcome; anything else is refused.
    bool IndicateResult(int result) override;
    // The status word, or 3 when the exchange fails.
    int GetDeviceStatus() override;
    bool GetSyncImage(std::vector<uint8_t>& image) override;
    bool CaptureImageWithOffset(const Position&, std::vector<uint8_t>&) override { return false; }
    bool GetAsyncImage(std::vector<uint8_t>& image) override;
    bool ResetAsyncWaitDevice() override;
    bool ResetDevice() override;
    std::string GetFirmwareVersion() override;
    // timeout in seconds for each of the two receives.
    bool GetBoundLFD(int timeout, LFDMeasurement& measurement) override;
    std::string GetDeviceID() override { return m_deviceId; }
    kvt__ConnectionType GetConnectionType() override { return kvt__ConnectionType__ETH; }
    kvt__DeviceType GetDeviceType() override { return kvt__DeviceType__Kelo_A; }
    std::string GetSerialNumber() override;
    // Ends any exchange in progress and closes the connection; never refuses.
    int CloseDevice() override;
    bool IsFirmwareSupported() override { return true; }
    bool FirmwareRequiresDiagnostic() override { return false; }
    bool FirmwareDiagnostic() override { return true; }

    // Switches the sensor's automatic trigger on or off.
    bool SetTrigger(const SocketEndpoint& endpoint, bool on);

    // count (at most 4) bytes of a configuration value.
    bool GetConfig(uint32_t index, uint8_t* out, size_t count);
    bool GetOffset(int16_t& x, int16_t& y);
    // Logs the sensor's server and client addresses.
    void GetPortAndIP();
    // One GET_IMAGE: the frame and, with LFD, the live-finger frame, as the
    // sensor sends them.
    bool GetNormalImage(std::vector<uint8_t>& image);
    // One frame of the capture's picture size (frame 1 normal, 2 live-finger).
    bool GetSingleImage(std::vector<uint8_t>& image, uint16_t frame);
    // True when the response answers expectedCmdId and announces a length
    // above 0 and below 400000; otherwise logs context and the ids.
    bool HeaderMirrorCheck(const char* context, const ethernet::CommandHeader& header,
                           uint32_t expectedCmdId);

    // Starts the keep-alive thread of a registered sensor.
    static void StartThreadEcho(SensorHost& host, const DevicePtr& device);

    bool IsClosing() const { return m_closing.load(); }
    int EchoPort() const { return m_echoPort; }

private:
    // What an exchange logs when one of its steps fails; "(%s-%s)" in a text
    // takes the device id and the serial number.
    struct ExchangeTexts {
        const char* sendHeader;
        const char* sendBody;
        const char* recvHeader;
        const char* mirrorContext;
        // Image answers discard what the sensor sent after a wrong header.
        bool flushAfterMirror = false;
    };

    static void EchoThread(SensorHost& host, const DevicePtr& device);

    // Discards stale input, sends a command and takes its checked response
    // header (waitSeconds for it); the body is left to the caller. Logs the
    // step that failed.
    bool Request(uint32_t cmdId, const uint8_t* body, size_t bodySize, uint32_t expectedCmdId,
                 const ExchangeTexts& texts, ethernet::CommandHeader& response,
                 int waitSeconds = kWaitSeconds);
    // Logs one failure text at error level with the device's identity.
    void LogFailure(const char* text);
    // Receives a response body of length bytes without time limit.
    bool ReceiveBuffer(uint32_t length, std::vector<uint8_t>& image);
    // Reads configuration 0 into the firmware text.
    void ReadFirmwareVersion();
    void SetSerialNumberOnce(uint32_t serial);
    // True once the device closes or the halt check says so: every wait on
    // the sensor gives up then.
    bool ShouldStop() const;
    StopCheck Stop() const {
        return [this] { return ShouldStop(); };
    }
    // For the "(%s-%s)" of log lines; read under the exchange lock, which
    // every writer of the serial number holds.
    const char* Id() const { return m_deviceId.c_str(); }
    const char* Serial() const { return m_serialNumber.c_str(); }

    static constexpr int kWaitSeconds = 3;

    SocketEndpoint m_connection;
    SocketEndpoint m_listener;
    const int m_echoPort;
    const StopCheck m_halt;
    bool m_firmwareKnown = false;
    std::atomic<bool> m_closing{false};
    // Held for each whole exchange, so a cancel or an information request
    // never mixes its bytes with a capture's; CloseDevice takes it to close.
    CCritSec m_exchangeLock;
    // Guards the serial number and firmware text for readers on other threads.
    mutable std::mutex m_identityLock;
};
