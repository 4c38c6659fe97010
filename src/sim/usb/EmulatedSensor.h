#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/Log.h"
#include "image/LFDMeasurement.h"
#include "sim/usb/FrameSource.h"

namespace sim {

// The sensor side of the USB protocol, as the sensors' firmware sees it.
namespace usbproto {
constexpr uint32_t kHeaderSize = 8;
constexpr uint8_t kCmdState = 0x00;
constexpr uint8_t kCmdImage = 0x01;
constexpr uint8_t kCmdI2CRead = 0x02;
constexpr uint8_t kCmdAdc = 0x03;
constexpr uint8_t kCmdSetState = 0x40;
constexpr uint8_t kCmdI2CWrite = 0x42;

constexpr uint8_t kImagerI2C = 0x55;
constexpr uint8_t kBioBoardI2C = 0x51;
constexpr uint8_t kIlluBoardI2C = 0x40;

constexpr uint32_t kChunkSize = 32768;
}  // namespace usbproto

enum class SensorModel { kU1, kU2 };

struct FirmwareVersion {
    uint8_t major = 0;
    uint8_t minor = 0;
    bool operator==(const FirmwareVersion&) const = default;
};

enum class DescriptorMode {
    kNormal,
    kFails,  // the descriptor request fails
    kShort,  // only the first 8 bytes come back
};

// How a sensor is attached to the simulated bus.
struct SensorOptions {
    uint16_t productId = 0;      // 0: the model's own (U1 0x0015, U2 0x0019)
    uint16_t vendorId = 0x1013;  // as the descriptor reports it; the path always names 1013
    bool upperCasePath = false;
    DescriptorMode descriptor = DescriptorMode::kNormal;
    std::optional<FirmwareVersion> mainFirmware = {};  // model default when empty
    std::optional<FirmwareVersion> illuFirmware = {};  // U2 only
    std::optional<uint32_t> illuBoardSerial = {};      // U2 only; default: serial & 0xFFFFFF
};

// Misbehaviour on request. Each counts down with the answers it spoils.
enum class Fault {
    kNoAnswer,        // no answer comes: the Read that waits for it fails
    kShortAnswer,     // the body stops halfway (an empty body: the header does)
    kWrongCmdId,      // the answer's header carries CmdID 0xEE
    kStateAnswer,     // a state answer comes instead of the one asked for
    kBadStateRecord,  // a state body ends with a record of length 2
};
constexpr size_t kFaultKinds = 5;

// One Write as the sensor received it.
struct ReceivedWrite {
    uint32_t tick = 0;  // platform::GetTickCount32() on arrival
    std::vector<uint8_t> bytes;
};

// Common part of the emulated sensors: the framing of requests and answers,
// the state records, the imager and the main board's configuration memory,
// the image request, fault injection and the record of what arrived. Every
// member is safe to call from any thread.
class EmulatedSensor {
public:
    static constexpr uint8_t kStatusReady = 0x00;
    // Status byte of the answer to a request the sensor could not carry out.
    static constexpr uint8_t kStatusRefused = 0xE0;
    static constexpr uint8_t kWrongCmdId = 0xEE;
    static constexpr uint32_t kBioBoardSize = 0x1000;
    static constexpr size_t kHistoryLimit = 10000;
    // Imager registers whose mean sets the black level of unlit frames.
    static constexpr uint8_t kBlackLevelRegisters[3] = {0x1F, 0x22, 0x25};

    enum class ReadOutcome {
        kDone,       // bytes moved (possibly fewer than asked)
        kFailed,     // the transfer failed
        kUnplugNow,  // failed, and an injected unplug asks the bus to detach the sensor
    };

    virtual ~EmulatedSensor() = default;
    EmulatedSensor(const EmulatedSensor&) = delete;
    EmulatedSensor& operator=(const EmulatedSensor&) = delete;

    SensorModel Model() const { return m_model; }
    int SimId() const { return m_simId; }
    uint16_t ProductId() const { return m_productId; }

    // The driver's side, through a handle of the bus.
    bool HostWrite(const uint8_t* data, uint32_t length, uint32_t& transferred);
    ReadOutcome HostRead(uint8_t* data, uint32_t length, uint32_t& transferred);
    bool HostReadDescriptor(uint8_t* out, uint32_t capacity, uint32_t& transferred);
    bool TryClaim();  // one open handle at a time
    void Release();
    int OpenError() const;
    bool IsPlugged() const;
    // Every transfer fails from now on, also one that is waiting.
    void Unplug();

    // What lies on the sensor.
    void PlaceFinger(const FingerOnSensor& finger);
    void LiftFinger();
    std::optional<FingerOnSensor> Finger() const;

    // Settings.
    void SetMainFirmware(FirmwareVersion version);
    FirmwareVersion MainFirmware() const;
    void SetStatusByte(uint8_t status);  // byte 2 of the type-0 state record
    void SetImageOffsets(uint8_t offsetX, uint8_t offsetY);
    void SetAutoTriggerSensitivity(uint8_t value);
    void SetTriggerValues(uint16_t withFinger, uint16_t withoutFinger);
    // Fixed colour readings instead of the frame source's.
    void SetLfdReadings(std::optional<LFDMeasurement> readings);
    // An image answer carries at most this many bytes (the header says so too).
    void SetImageResponseLimit(std::optional<uint32_t> bytes);
    void SetAnswerDelayMs(uint32_t milliseconds);  // before every Read
    void SetAllFramesDark(bool dark);
    void SetOpenError(int error);  // non-zero: opening fails with this code

    // Faults. count < 0: until ClearFaults.
    void InjectFault(Fault fault, int count = 1);
    // The next image answer breaks off after this many body reads, and the
    // sensor is unplugged. Negative: never.
    void UnplugAfterImageChunks(int chunks);
    void ClearFaults();

    // What the sensor saw and showed.
    std::vector<ReceivedWrite> Received() const;
    void ClearReceived();
    std::vector<uint8_t> StatusLedHistory() const;
    uint8_t ImagerRegister(uint8_t address) const;
    void SetImagerRegister(uint8_t address, uint8_t value);
    uint8_t BioBoardByte(uint16_t address) const;
    void SetBioBoardByte(uint16_t address, uint8_t value);

protected:
    struct Response {
        enum Kind { kState, kData, kImage };
        uint8_t cmdId = 0;
        std::vector<uint8_t> body;
        Kind kind = kData;
    };
    enum class Setting { kOffsetX, kOffsetY, kAutoTriggerSensitivity };

    EmulatedSensor(SensorModel model, int simId, const SensorOptions& options,
                   FirmwareVersion mainFirmware);

    // Everything below runs with m_mutex held.
    virtual bool ModelBodyLengthValid(uint8_t cmdId, uint32_t length) const;
    virtual Response ModelRequest(uint8_t cmdId, const std::vector<uint8_t>& body);
    // The illumination board; the older model has none.
    virtual Response IlluRead(uint16_t code, uint8_t count);
    virtual Response IlluWrite(uint16_t code, const uint8_t* data);
    virtual int FrameIndexFor(int descriptorIndex, uint8_t ledByte) const = 0;
    virtual uint8_t& SettingRegister(Setting setting) = 0;

    Response StateAnswer(uint8_t status) const;
    Response Acknowledge() const { return StateAnswer(m_status); }
    Response DataAnswer(uint8_t cmdId, std::vector<uint8_t> body) const;
    Response Refuse(const char* format, ...) const KVT_PRINTF(2, 3);
    void RecordStatusLed(uint8_t state);
    uint16_t TriggerValueLocked() const;
    LFDMeasurement ReadingsLocked() const;
    const FingerOnSensor* FingerLocked() const { return m_finger ? &*m_finger : nullptr; }

    // The imager configuration as the main board keeps it, and the copy on
    // the newer model's illumination board (there at the imager's own
    // register addresses).
    enum class ConfigLayout { kBioBoard, kIlluBoard };
    static void WriteImagerConfiguration(uint8_t* memory, ConfigLayout layout);

    mutable std::mutex m_mutex;
    uint8_t m_mainState = 0;  // last state byte sent to the main board
    std::array<uint8_t, 256> m_imager{};
    std::vector<uint8_t> m_bioBoard = std::vector<uint8_t>(kBioBoardSize, 0);

private:
    struct Segment {
        std::vector<uint8_t> bytes;
        size_t position = 0;
        bool imageBody = false;
    };

    bool BodyLengthValid(uint8_t cmdId, uint32_t length) const;
    Response Process(uint8_t cmdId, const std::vector<uint8_t>& body);
    Response SetMainState(const std::vector<uint8_t>& body);
    Response I2CRead(const std::vector<uint8_t>& body);
    Response I2CWrite(const std::vector<uint8_t>& body);
    Response Image(const std::vector<uint8_t>& body);
    void RenderFrame(const uint8_t* descriptor, int index, uint8_t* out) const;
    void Queue(Response response);
    bool TakeFault(Fault fault);
    void Record(const uint8_t* data, uint32_t length);

    const SensorModel m_model;
    const int m_simId;
    const uint16_t m_productId;
    const uint16_t m_vendorId;
    const DescriptorMode m_descriptorMode;

    bool m_plugged = true;
    std::condition_variable m_unplugged;
    bool m_claimed = false;
    int m_openError = 0;
    std::optional<FingerOnSensor> m_finger;
    FirmwareVersion m_mainFirmware;
    uint8_t m_status = kStatusReady;
    uint16_t m_triggerWithFinger = 0;
    uint16_t m_triggerWithoutFinger = 0;
    std::optional<LFDMeasurement> m_fixedReadings;
    std::optional<uint32_t> m_imageLimit;
    uint32_t m_answerDelayMs = 0;
    bool m_allDark = false;

    std::array<int, kFaultKinds> m_faults{};
    int m_unplugAfterChunks = -1;
    int m_imageChunksServed = 0;

    std::vector<uint8_t> m_input;
    std::deque<Segment> m_output;
    std::deque<ReceivedWrite> m_received;
    std::deque<uint8_t> m_statusLeds;
};

}  // namespace sim
