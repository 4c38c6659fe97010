#include "usb/USBDeviceU1.h"

#include <cstdio>
#include <numeric>

#include "common/Log.h"
#include "common/Timing.h"
#include "image/PictureGeometry.h"
#include "platform/Time.h"

using namespace usb;

namespace {

constexpr uint8_t kTriggerRequest[] = {0x88, 0x01, 0x02, 0x03};
constexpr uint8_t kLFDRequest[] = {0x88, 0x89, 0x8A, 0x8B};

constexpr uint32_t kTriggerHistoryLength = 20;
constexpr uint32_t kIndicationMs = 100;
constexpr uint32_t kBlinkPeriodMs = 1000;
constexpr uint32_t kBlinkOnMs = 50;
constexpr uint32_t kFingerPollMs = 25;

// Columns at each side of a full frame that lie outside the optics.
constexpr uint32_t kBorderColumns = 5;
// A border that sums below this is black: the level is too low.
constexpr uint32_t kBlackBorderSum = 100;
constexpr uint8_t kBlackLevelCalibration = 0x10;

}  // namespace

CUSBDeviceU1::CUSBDeviceU1(std::unique_ptr<platform::UsbDriverHandle> handle,
                           const std::string& deviceId)
    : CUSBDevice(std::move(handle), deviceId) {
    m_log->Info("CUSBDeviceU1::CUSBDeviceU1\n");
    m_description = "Kelo U1 USB";
}

CUSBDeviceU1::~CUSBDeviceU1() {
    CFunctionTrace trace("CUSBDeviceU1::~CUSBDeviceU1");
}

bool CUSBDeviceU1::Initialize() {
    const char* id = m_strDeviceID.c_str();
    if (!InitImager()) {
        m_log->Warning("CUSBDeviceU1::Initialize:(%s-%s) InitImager failed.", id,
                       m_serialNumber.c_str());
        return false;
    }
    if (!ReadAutoTriggerSensitivity()) {
        m_log->Warning("CUSBDeviceU1::Initialize:(%s-%s) ReadAtSensitivity failed.", id,
                       m_serialNumber.c_str());
        return false;
    }
    if (!SetBlackLevelAdjustment()) {
        m_log->Warning("CUSBDeviceU1::Initialize:(%s-%s) SetBlackLevelAdjustment failed.", id,
                       m_serialNumber.c_str());
        return false;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(GetSerialNumberBioBoard()));
    m_serialNumber = text;
    uint8_t major = 0;
    uint8_t minor = 0;
    GetControllerFirmwareVersion(major, minor);
    std::snprintf(text, sizeof text, "%d.%02d", major, minor);
    m_firmwareVersion = text;
    return true;
}

bool CUSBDeviceU1::IndicateResult(int result) {
    uint8_t state = 0;
    if (!ResultState(result, kStateResultSucceeded, kStateResultFailed, state)) return false;
    if (!SetDeviceState(state)) return false;
    platform::SleepMs(kIndicationMs);
    return SetDeviceState(kStateOff);
}

bool CUSBDeviceU1::WriteBlackLevel(uint8_t level) {
    // All three are written even when one fails.
    const bool a = WriteI2CRegisterToDevice(MemoryImager, BreakPoint1LevelA, level);
    const bool b = WriteI2CRegisterToDevice(MemoryImager, BreakPoint1LevelB, level);
    const bool c = WriteI2CRegisterToDevice(MemoryImager, BreakPoint2Level, level);
    return a && b && c;
}

bool CUSBDeviceU1::CaptureFullFrame(std::vector<uint8_t>& frame) {
    if (!SetDeviceState(kStateOff)) return false;
    ImageRequest request{};
    request[0] = kFullFrameWidth / 4;
    request[1] = kFullFrameHeight / 4;
    const char* failure = "";
    return RequestImage(request, frame, failure);
}

bool CUSBDeviceU1::SetBlackLevelAdjustment() {
    uint8_t config = 0;
    if (!ReadI2CRegisterFromDevice(MemoryImager, MainConfig0, &config, 1) ||
        !WriteI2CRegisterToDevice(MemoryImager, MainConfig0, config | kBlackLevelCalibration)) {
        return false;
    }
    std::vector<uint8_t> frame;
    uint8_t level = 0;
    for (int bit = 7; bit >= 0; --bit) {
        const uint8_t mask = static_cast<uint8_t>(1u << bit);
        level |= mask;
        if (!WriteBlackLevel(level) || !CaptureFullFrame(frame)) return false;
        uint32_t sum = 0;
        for (uint32_t row = 0; row < kFullFrameHeight; ++row) {
            const uint8_t* line = frame.data() + row * kFullFrameWidth;
            sum = std::accumulate(line, line + kBorderColumns, sum);
            sum = std::accumulate(line + kFullFrameWidth - kBorderColumns, line + kFullFrameWidth,
                                  sum);
        }
        if (sum < kBlackBorderSum) {
            level &= static_cast<uint8_t>(~mask);
            if (!WriteBlackLevel(level)) return false;
        }
    }
    // Calibration mode off again; the level stays whatever this write does.
    WriteI2CRegisterToDevice(MemoryImager, MainConfig0, config);
    return true;
}

bool CUSBDeviceU1::GetSyncImage(std::vector<uint8_t>& image) {
    image.clear();
    const uint32_t pictureSize = m_properties.GetValue("PictureSize");
    const PictureGeometry* size = FindPictureGeometry(pictureSize);
    if (size == nullptr) {
        m_log->Error("CUSBDeviceU1::GetSyncImage: (%s-%s) unknown picture size %u",
                     m_strDeviceID.c_str(), m_serialNumber.c_str(), pictureSize);
        return false;
    }
    const bool fast = m_properties.GetValue("FastMode") != 0;
    uint8_t offsetX = 0;
    uint8_t offsetY = 0;
    if (!ReadImageOffsets(offsetX, offsetY)) return false;

    ImageRequest request{};
    PutFrameDescriptor(request.data(), *size, offsetX, offsetY, {0x80, 0, 0x80, 0});
    if (!fast) PutFrameDescriptor(request.data() + 8, *size, offsetX, offsetY, {0x80, 0, 0x80, 0});

    if (!SetDeviceState(kStateCapturing)) return false;
    std::vector<uint8_t> frames;
    const char* failure = "";
    if (!RequestImage(request, frames, failure)) return false;
    SetDeviceState(kStateOff);
    image = std::move(frames);
    return true;
}

bool CUSBDeviceU1::GetADC(std::span<const uint8_t> request, std::vector<uint8_t>& answer) {
    answer.clear();
    uint32_t length = 0;
    uint8_t cmdId = 0;
    CCritSecLock lock(m_exchangeLock);
    if (!SendRequest(kCmdADC, request.data(), static_cast<uint32_t>(request.size())) ||
        !ReceiveHeader(length, cmdId)) {
        return false;
    }
    if (cmdId != kCmdADC && cmdId != kCmdState) {
        m_log->Error(
            "CUSBDeviceU1::GetADC:(%s-%s) GET_ADC reply was neither GET_ADC nor "
            "GET_STATUS.",
            m_strDeviceID.c_str(), m_serialNumber.c_str());
        return false;
    }
    if (!ReceiveBody(length, answer)) return false;
    if (cmdId == kCmdState) {
        UpdateStates(answer.data(), length);
        answer.clear();
        return false;
    }
    return true;
}

bool CUSBDeviceU1::GetTriggerValue(uint16_t& value) {
    std::vector<uint8_t> answer;
    if (!GetADC(kTriggerRequest, answer) || answer.empty()) return false;
    value = answer[0];
    return true;
}

bool CUSBDeviceU1::GetBoundLFD(int /*timeout*/, LFDMeasurement& measurement) {
    std::vector<uint8_t> answer;
    const bool read = GetADC(kLFDRequest, answer) && answer.size() >= 4;
    measurement.Ir = read ? answer[0] : 0;
    measurement.Blue = read ? answer[1] : 0;
    measurement.Green = read ? answer[2] : 0;
    measurement.Red = read ? answer[3] : 0;
    return read;
}

uint32_t CUSBDeviceU1::TriggerThreshold() {
    const uint8_t sensitivity =
        m_AutoTriggerSensitivity != 0 ? m_AutoTriggerSensitivity : GetDefaultTriggerSensitivity();
    return uint32_t{sensitivity} * 5;
}

bool CUSBDeviceU1::IsSensorFree(bool& free) {
    uint16_t value = 0;
    if (!GetTriggerValue(value)) return false;
    free = value <= TriggerThreshold();
    return true;
}

bool CUSBDeviceU1::IsFingerDetected(uint16_t triggerValue) {
    m_TriggerHistory.push_back(triggerValue);
    const float average =
        static_cast<float>(std::accumulate(m_TriggerHistory.begin(), m_TriggerHistory.end(), 0u)) /
        static_cast<float>(m_TriggerHistory.size());
    m_TriggerHistory.pop_front();
    return static_cast<float>(TriggerThreshold()) < average;
}

uint32_t CUSBDeviceU1::GetSerialNumberBioBoard() {
    uint32_t serial = 0;
    for (uint16_t reg = SerialNumberBioBoardHighWordHigh; reg <= SerialNumberBioBoardLowWordLow;
         ++reg) {
        uint8_t value = 0;
        if (!ReadI2CRegisterFromDevice(MemoryBioBoard, reg, &value, 1)) return 0;
        serial = (serial << 8) | value;
    }
    return serial;
}

void CUSBDeviceU1::Blink() {
    SetDeviceState(kStateBlink);
    platform::SleepMs(kBlinkOnMs);
    SetDeviceState(kStateOff);
}

bool CUSBDeviceU1::GetAsyncImage(std::vector<uint8_t>& image) {
    image.clear();
    m_bCancel = 0;
    m_TriggerHistory.assign(kTriggerHistoryLength, 0);
    const int32_t seconds = AsyncTimeout();
    CTimeout timeout(seconds > 0 ? static_cast<uint64_t>(seconds) * 1000 : 0);
    CTimeout blinkTimer(kBlinkPeriodMs);
    const auto blinkOrWait = [&] {
        if (blinkTimer.IsElapsed()) {
            Blink();
            blinkTimer.Restart();
        } else {
            platform::SleepMs(kFingerPollMs);
        }
    };

    // A finger still lying on the sensor from before must go first.
    while (IsDeviceOpen()) {
        bool free = false;
        if (!IsSensorFree(free) || free) break;
        if (CancelRequested() || timeout.IsElapsed()) break;
        blinkOrWait();
    }
    if (!IsDeviceOpen()) return false;

    for (;;) {
        if (CancelRequested() || timeout.IsElapsed()) return false;
        uint16_t value = 0;
        if (!GetTriggerValue(value)) return false;
        if (IsFingerDetected(value)) break;
        blinkOrWait();
        if (!IsDeviceOpen()) return false;
    }
    return GetSyncImage(image);
}
