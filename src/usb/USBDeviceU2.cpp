#include "usb/USBDeviceU2.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/Log.h"
#include "common/Timing.h"
#include "image/PictureGeometry.h"
#include "platform/Time.h"

using namespace usb;

namespace {

// Levels an EEPROM gets when it has none: minimum 112, maximum 258.
constexpr uint16_t kFactoryMinTriggerLevel = 0x0070;
constexpr uint16_t kFactoryMaxTriggerLevel = 0x0102;

// Oldest firmware that knows every command used here.
constexpr uint8_t kMinMainMajor = 1;
constexpr uint8_t kMinMainMinor = 1;
constexpr uint8_t kMinIlluMajor = 0;
constexpr uint8_t kMinIlluMinor = 17;
// Illumination-board firmware from this minor version on keeps an EEPROM
// mirror that must be checked.
constexpr uint8_t kDiagnosticIlluMinor = 19;

constexpr uint8_t kDiagnosticRunning = 0x80;
constexpr uint8_t kOriginalNotIdentical = 0x01;
constexpr uint8_t kOriginalCorrupt = 0x02;
constexpr uint8_t kMirrorCorrupt = 0x04;
constexpr uint8_t kMirrorCreated = 0x08;

constexpr uint32_t kDiagnosticStartMs = 50;
constexpr uint32_t kDiagnosticRoundMs = 500;
constexpr uint32_t kTriggerBeforeMs = 50;
constexpr uint32_t kTriggerAfterMs = 100;
constexpr uint32_t kSettleSliceMs = 10;
constexpr uint32_t kFingerPollMs = 25;
constexpr uint32_t kLFDPollMs = 20;

// The operating system's code for a character without a translation.
constexpr int kNoUnicodeTranslation = 1113;

// Eight UTF-16 code units, low byte first, to single-byte text. Only ASCII
// has the same meaning in every code page, so anything else fails.
bool Utf16ToAnsi(const uint8_t (&units)[16], char (&text)[9]) {
    for (int i = 0; i < 8; ++i) {
        const uint16_t unit = static_cast<uint16_t>(units[2 * i] | (units[2 * i + 1] << 8));
        if (unit >= 0x80) return false;
        text[i] = static_cast<char>(unit);
    }
    text[8] = '\0';
    return true;
}

// The number the text starts with, after blanks; 0 when no digit follows.
uint32_t DecimalValue(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    uint32_t value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
        value = value * 10 + static_cast<uint32_t>(*text - '0');
    }
    return value;
}

}  // namespace

CUSBDeviceU2::CUSBDeviceU2(std::unique_ptr<platform::UsbDriverHandle> handle,
                           const std::string& deviceId, U2Settings settings)
    : CUSBDevice(std::move(handle), deviceId), m_settings(settings) {
    m_description = "Kelo U2 USB";
    m_log->Debug("CUSBDeviceU2::CUSBDeviceU2");
}

CUSBDeviceU2::~CUSBDeviceU2() {
    if (IsDeviceOpen()) SetStateLED(kStateClosed);
}

bool CUSBDeviceU2::SetStateLED(uint8_t state) {
    if (WriteI2CCommandToDevice(MemoryIlluBoard, SetCommand_State, &state, 1)) return true;
    m_log->Warning("CUSBDeviceU2::SetStateLED: set status LED failed.");
    return false;
}

bool CUSBDeviceU2::SetCommandLED(uint8_t colour) {
    if (WriteI2CCommandToDevice(MemoryIlluBoard, SetCommand_LED, &colour, 1)) return true;
    m_log->Warning("CUSBDeviceU2::SetCommandLED: set command LED failed.");
    return false;
}

bool CUSBDeviceU2::Initialize() {
    const char* id = m_strDeviceID.c_str();
    if (!InitImager()) {
        m_log->Warning("CUSBDeviceU2::Initialize:(%s-%s) InitImager failed.", id,
                       m_serialNumber.c_str());
        return false;
    }
    if (!InitTriggerValuesForAsyncImage()) {
        m_log->Warning("CUSBDeviceU2::Initialize:(%s-%s) InitTriggerValuesForAsyncImage failed.",
                       id, m_serialNumber.c_str());
        return false;
    }
    const uint8_t compensation = static_cast<uint8_t>(m_settings.temperatureCompensation);
    if (!WriteI2CCommandToDevice(MemoryIlluBoard, SetCommand_TemperatureCompensation, &compensation,
                                 1)) {
        m_log->Warning("CUSBDeviceU2::Initialize:(%s-%s) set temperature compensation failed.", id,
                       m_serialNumber.c_str());
        return false;
    }

    // The texts are cut to 18 and 15 characters.
    char text[48];
    std::snprintf(text, sizeof text, "B%.08uI%.08u", GetSerialNumberBioBoard(),
                  GetSerialNumberIlluBoard());
    m_serialNumber.assign(text, std::min<size_t>(std::strlen(text), 18));

    uint8_t mainMajor = 0;
    uint8_t mainMinor = 0;
    GetControllerFirmwareVersion(mainMajor, mainMinor);
    uint8_t illuMajor = 0;
    uint8_t illuMinor = 0;
    GetFirmwareVersionIlluBoard(illuMajor, illuMinor);
    std::snprintf(text, sizeof text, "B%02d.%02dI%02d.%02d", mainMajor, mainMinor, illuMajor,
                  illuMinor);
    m_firmwareVersion.assign(text, std::min<size_t>(std::strlen(text), 15));

    return SetStateLED(kStateIdle);
}

bool CUSBDeviceU2::InitTriggerValuesForAsyncImage() {
    uint8_t minLow = 0;
    if (!ReadI2CRegisterFromDevice(MemoryIlluBoard, MinTriggerLevelLow, &minLow, 1)) return false;
    if (minLow != 0) return true;

    if (!SetEEPROMLockBit(false)) {
        m_log->Error("CUSBDeviceU2::InitTriggerValuesForAsyncImage:(%s-%s) Unable to write lockbit",
                     m_strDeviceID.c_str(), m_serialNumber.c_str());
        return false;
    }
    const bool written =
        WriteI2CRegisterToDevice(MemoryIlluBoard, MinTriggerLevelLow,
                                 static_cast<uint8_t>(kFactoryMinTriggerLevel)) &&
        WriteI2CRegisterToDevice(MemoryIlluBoard, MinTriggerLevelHigh,
                                 static_cast<uint8_t>(kFactoryMinTriggerLevel >> 8)) &&
        WriteI2CRegisterToDevice(MemoryIlluBoard, MaxTriggerLevelLow,
                                 static_cast<uint8_t>(kFactoryMaxTriggerLevel)) &&
        WriteI2CRegisterToDevice(MemoryIlluBoard, MaxTriggerLevelHigh,
                                 static_cast<uint8_t>(kFactoryMaxTriggerLevel >> 8));
    if (written) {
        RestoreLockBit();
        return true;
    }
    m_log->Error("CUSBDeviceU2::InitTriggerValuesForAsyncImage:(%s-%s) Unable to threshold value",
                 m_strDeviceID.c_str(), m_serialNumber.c_str());
    WriteI2CRegisterToDevice(MemoryIlluBoard, MinTriggerLevelLow, minLow);
    RestoreLockBit();
    return false;
}

bool CUSBDeviceU2::RestoreLockBit() {
    if (SetEEPROMLockBit(true)) return true;
    m_log->Error("CUSBDeviceU2::InitTriggerValuesForAsyncImage:(%s-%s) Unable to write lockbit",
                 m_strDeviceID.c_str(), m_serialNumber.c_str());
    return false;
}

bool CUSBDeviceU2::WriteTriggerLevels(uint16_t minLevel, uint16_t maxLevel) {
    uint8_t earlierMinLow = 0;
    uint8_t earlierMaxLow = 0;
    if (!ReadI2CRegisterFromDevice(MemoryIlluBoard, MinTriggerLevelLow, &earlierMinLow, 1) ||
        !ReadI2CRegisterFromDevice(MemoryIlluBoard, MaxTriggerLevelLow, &earlierMaxLow, 1)) {
        return false;
    }
    const struct {
        uint16_t reg;
        uint8_t value;
    } writes[] = {
        {MinTriggerLevelLow, static_cast<uint8_t>(minLevel)},
        {MinTriggerLevelHigh, static_cast<uint8_t>(minLevel >> 8)},
        {MaxTriggerLevelLow, static_cast<uint8_t>(maxLevel)},
        {MaxTriggerLevelHigh, static_cast<uint8_t>(maxLevel >> 8)},
    };
    for (size_t i = 0; i < std::size(writes); ++i) {
        if (WriteI2CRegisterToDevice(MemoryIlluBoard, writes[i].reg, writes[i].value)) continue;
        m_log->Error("CUSBDeviceU2::WriteTriggerLevels:(%s-%s) Unable to write trigger levels",
                     m_strDeviceID.c_str(), m_serialNumber.c_str());
        if (i > 0) WriteI2CRegisterToDevice(MemoryIlluBoard, MinTriggerLevelLow, earlierMinLow);
        if (i > 2) WriteI2CRegisterToDevice(MemoryIlluBoard, MaxTriggerLevelLow, earlierMaxLow);
        return false;
    }
    return true;
}

bool CUSBDeviceU2::IndicateResult(int result) {
    uint8_t state = 0;
    if (!ResultState(result, kStateResultSucceeded, kStateResultFailed, state)) return false;
    return SetDeviceState(state);
}

uint8_t CUSBDeviceU2::GetMemoryLocationForCommand(uint16_t command) {
    switch (command) {
        case SetCommand_LED:
        case SetCommand_State:
        case SetCommand_Parameter:
        case SetCommand_Address:
        case SetCommand_DefaultEEPROMValues:
        case GetCommand_ADC:
        case GetCommand_Parameter:
        case GetCommand_Address:
        case GetCommand_LFD:
        case GetCommand_Trigger:
            return MemoryIlluBoard;
        case GetCommand_State:
        case GetCommand_Image:
            return MemoryBioBoard;
        default:
            // Not a memory: these commands are always sent to the
            // illumination board by name.
            return kMemoryCount;
    }
}

bool CUSBDeviceU2::SetEEPROMLockBit(bool on) {
    return WriteI2CRegisterToDevice(MemoryIlluBoard, EEPROMLockBit, on ? 1 : 0);
}

bool CUSBDeviceU2::GetADC(std::span<const uint8_t> /*request*/, std::vector<uint8_t>& /*answer*/) {
    m_log->Debug("CUSBDeviceU2::GetADC(%s-%s) Usage of unimplemented function",
                 m_strDeviceID.c_str(), m_serialNumber.c_str());
    return false;
}

bool CUSBDeviceU2::GetTriggerValue(uint16_t& value) {
    platform::SleepMs(kTriggerBeforeMs);
    uint8_t answer[2] = {};
    uint8_t length = sizeof answer;
    const bool read = ReadI2CCommandFromDevice(MemoryIlluBoard, GetCommand_Trigger, answer, length);
    platform::SleepMs(kTriggerAfterMs);
    if (!read) return false;
    value = static_cast<uint16_t>(answer[0] * 256 + answer[1]);
    m_log->Debug("CUSBDeviceU2::GetTriggerValue: Trigger value: 0x%x", value);
    return true;
}

bool CUSBDeviceU2::IsSensorFree(bool& free) {
    uint16_t value = 0;
    if (!GetTriggerValue(value)) return false;
    free = value == 0;
    return true;
}

uint32_t CUSBDeviceU2::GetSerialNumberBioBoard() {
    uint8_t units[16];
    for (uint16_t i = 0; i < 16; ++i) {
        if (!ReadI2CRegisterFromDevice(MemoryBioBoard, SerialNumberBioBoard0Low + i, &units[i],
                                       1)) {
            return 0;
        }
    }
    char text[9];
    if (!Utf16ToAnsi(units, text)) {
        m_log->Debug(
            "CUSBDeviceU2::GetSerialNumberBioBoard:(%s-%s) WideCharToMultiByte failed "
            "with error %d",
            m_strDeviceID.c_str(), m_serialNumber.c_str(), kNoUnicodeTranslation);
        return 0;
    }
    return DecimalValue(text);
}

uint32_t CUSBDeviceU2::GetSerialNumberIlluBoard() {
    uint8_t high = 0;
    uint8_t mid = 0;
    uint8_t low = 0;
    if (!ReadI2CRegisterFromDevice(MemoryIlluBoard, SerialNumberSensorHeadHigh, &high, 1) ||
        !ReadI2CRegisterFromDevice(MemoryIlluBoard, SerialNumberSensorHeadMid, &mid, 1) ||
        !ReadI2CRegisterFromDevice(MemoryIlluBoard, SerialNumberSensorHeadLow, &low, 1)) {
        return 0;
    }
    return (uint32_t{high} << 16) | (uint32_t{mid} << 8) | low;
}

bool CUSBDeviceU2::GetFirmwareVersionIlluBoard(uint8_t& major, uint8_t& minor) {
    major = 0;
    minor = 0;
    uint8_t high = 0;
    uint8_t low = 0;
    if (!ReadI2CRegisterFromDevice(MemoryIlluBoard, FirmwareVersionSensorHeadHigh, &high, 1) ||
        !ReadI2CRegisterFromDevice(MemoryIlluBoard, FirmwareVersionSensorHeadLow, &low, 1)) {
        return false;
    }
    major = high;
    minor = low;
    return true;
}

bool CUSBDeviceU2::IsFirmwareSupported() {
    uint8_t illuMajor = 0;
    uint8_t illuMinor = 0;
    GetFirmwareVersionIlluBoard(illuMajor, illuMinor);
    uint8_t mainMajor = 0;
    uint8_t mainMinor = 0;
    GetControllerFirmwareVersion(mainMajor, mainMinor);
    if (mainMajor >= kMinMainMajor && mainMinor >= kMinMainMinor && illuMinor >= kMinIlluMinor) {
        return true;
    }
    m_log->Warning(
        "CUSBDeviceU2::IsFirmwareSupported: Firmware is not supported! Existing "
        "Firmware - BioBoard: %d.%02d (requested: %d.%02d) - IlluBoard: %d.%02d "
        "(requested: %d.%02d)",
        mainMajor, mainMinor, kMinMainMajor, kMinMainMinor, illuMajor, illuMinor, kMinIlluMajor,
        kMinIlluMinor);
    return false;
}

bool CUSBDeviceU2::FirmwareRequiresDiagnostic() {
    uint8_t major = 0;
    uint8_t minor = 0;
    GetFirmwareVersionIlluBoard(major, minor);
    if (minor >= kDiagnosticIlluMinor) return true;
    m_log->Info(
        "CUSBDeviceU2::FirmwareRequiresDiagnostic: Firmware does not require diagnostic! "
        "(%d.%02d)",
        major, minor);
    return false;
}

bool CUSBDeviceU2::FirmwareDiagnostic() {
    const uint8_t start = 0;
    if (!WriteI2CCommandToDevice(MemoryIlluBoard, Command_Diagnostic, &start, 1)) {
        m_log->Error("CUSBDeviceU2::FirmwareDiagnostic: call of diagnostic function failed.");
        return false;
    }
    platform::SleepMs(kDiagnosticStartMs);

    // The board takes as long as its repair needs, so there is no round limit;
    // a closed or unplugged sensor fails the read and ends the wait.
    uint8_t result = 0;
    do {
        result = 0;
        uint8_t length = 1;
        if (!ReadI2CCommandFromDevice(MemoryIlluBoard, GetCommand_DiagnosticResult, &result,
                                      length)) {
            m_log->Error("CUSBDeviceU2::FirmwareDiagnostic: call of diagnostic results failed.");
            return false;
        }
        platform::SleepMs(kDiagnosticRoundMs);
    } while ((result & kDiagnosticRunning) != 0);

    if ((result & kOriginalCorrupt) != 0 && (result & kMirrorCorrupt) != 0) {
        m_log->Error(
            "CUSBDeviceU2::FirmwareDiagnostic: EEPROM - Original and Mirror corrupt. "
            "Unable to repair!");
        return false;
    }
    if ((result & kOriginalNotIdentical) != 0) {
        m_log->Info("CUSBDeviceU2::FirmwareDiagnostic: EEPROM - Original not identical. Repaired.");
    }
    if ((result & kOriginalCorrupt) != 0) {
        m_log->Info("CUSBDeviceU2::FirmwareDiagnostic: EEPROM - Original corrupt. Repaired.");
    } else if ((result & kMirrorCorrupt) != 0) {
        m_log->Info("CUSBDeviceU2::FirmwareDiagnostic: EEPROM - Mirror corrupt. Repaired.");
    }
    if ((result & kMirrorCreated) != 0) {
        m_log->Info("CUSBDeviceU2::FirmwareDiagnostic: Mirror created.");
    }
    return true;
}

bool CUSBDeviceU2::GetSingleImage(std::vector<uint8_t>& frame, uint8_t ledColour, uint8_t offsetX,
                                  uint8_t offsetY) {
    frame.clear();
    const uint32_t pictureSize = m_properties.GetValue("PictureSize");
    const PictureGeometry* size = FindPictureGeometry(pictureSize);
    if (size == nullptr) {
        m_log->Error("CUSBDeviceU2::GetSingleImage: (%s-%s) unknown picture size %u",
                     m_strDeviceID.c_str(), m_serialNumber.c_str(), pictureSize);
        return false;
    }
    if ((offsetX == kSensorOffset || offsetY == kSensorOffset) &&
        !ReadImageOffsets(offsetX, offsetY)) {
        return false;
    }
    ImageRequest request{};
    PutFrameDescriptor(request.data(), *size, offsetX, offsetY, {ledColour, 0, 0, 0});

    if (!SetCommandLED(ledColour)) return false;
    std::vector<uint8_t> received;
    const char* failure = "";
    if (!RequestImage(request, received, failure)) {
        m_log->Error("CUSBDeviceU2::GetSingleImage: exception %s", failure);
        SetCommandLED(GetIdleCommandLED());
        return false;
    }
    if (!SetCommandLED(GetIdleCommandLED())) return false;
    frame = std::move(received);
    return true;
}

bool CUSBDeviceU2::GetImage(std::vector<uint8_t>& image) {
    image.clear();
    if (!BeginUse()) {
        m_log->Debug(
            "CUSBDeviceU2::GetImage Unable to set shutdown lock. Probably already "
            "received shutodown request.");
        return false;
    }
    const bool fast = m_properties.GetValue("FastMode") != 0;
    std::vector<uint8_t> first;
    std::vector<uint8_t> second;
    const bool captured =
        GetSingleImage(first, kFirstFrameLED, kSensorOffset, kSensorOffset) &&
        (fast || GetSingleImage(second, kSecondFrameLED, kSensorOffset, kSensorOffset));
    EndUse();
    if (!captured) return false;
    image = std::move(first);
    image.insert(image.end(), second.begin(), second.end());
    return true;
}

bool CUSBDeviceU2::GetSyncImage(std::vector<uint8_t>& image) {
    image.clear();
    bool captured = false;
    if (SetStateLED(kStateCapturing)) captured = GetImage(image);
    SetStateLED(kStateIdle);
    return captured;
}

bool CUSBDeviceU2::GetAsyncImage(std::vector<uint8_t>& image) {
    image.clear();
    const int32_t seconds = AsyncTimeout();
    CTimeout timeout(seconds > 0 ? static_cast<uint64_t>(seconds) * 1000 : 0);
    m_bCancel = 0;
    while (IsDeviceOpen()) {
        if (CancelRequested() || timeout.IsElapsed()) break;
        SetStateLED(kStateWaitingForFinger);
        uint16_t trigger = 0;
        if (!GetTriggerValue(trigger)) {
            SetStateLED(kStateIdle);
            return false;
        }
        if (trigger != 0) {
            // The finger settles before the picture is taken; a cancel or a
            // closing sensor ends the wait, however long it is configured.
            const int32_t settle = m_settings.asyncSleepMs;
            const CTimeout settled(settle > 0 ? static_cast<uint64_t>(settle) : 0);
            while (!settled.IsElapsed() && IsDeviceOpen() && !CancelRequested()) {
                platform::SleepMs(kSettleSliceMs);
            }
            if (!IsDeviceOpen() || CancelRequested()) break;
            return GetSyncImage(image);
        }
        platform::SleepMs(kFingerPollMs);
    }
    SetStateLED(kStateIdle);
    return false;
}

bool CUSBDeviceU2::GetBoundLFD(int /*timeout*/, LFDMeasurement& measurement) {
    if (!SetStateLED(kStateMeasuringLFD)) return false;

    // The board raises the flag once its measurement is done; there is no
    // limit on the wait, but a closed or unplugged sensor fails the read.
    for (;;) {
        uint8_t flag[2] = {};
        uint8_t length = sizeof flag;
        if (!ReadI2CCommandFromDevice(MemoryIlluBoard, GetCommand_LFD_SyncFlag, flag, length)) {
            return false;
        }
        if (flag[0] != 0) break;
        platform::SleepMs(kLFDPollMs);
    }

    // Delivered as infrared, red, green, blue, off.
    int16_t values[5];
    for (int16_t& value : values) {
        uint8_t answer[2] = {};
        uint8_t length = sizeof answer;
        if (!ReadI2CCommandFromDevice(MemoryIlluBoard, GetCommand_LFD, answer, length)) {
            return false;
        }
        value = static_cast<int16_t>((answer[0] << 8) | answer[1]);
    }
    measurement.Ir = values[0];
    measurement.Red = values[1];
    measurement.Green = values[2];
    measurement.Blue = values[3];
    measurement.Off = values[4];
    m_log->Debug(
        "CUSBDeviceU2::GetBoundLFD:(%s-%s) LFD Values Off: %d, Red: %d, Green: %d, "
        "Blue: %d, IR: %d\n",
        m_strDeviceID.c_str(), m_serialNumber.c_str(), measurement.Off, measurement.Red,
        measurement.Green, measurement.Blue, measurement.Ir);
    return true;
}

int CUSBDeviceU2::CloseDevice() {
    RequestClose();
    if (!IsClosed()) {
        m_log->Debug("Device is not ready to shutdown right now - please wait");
        return -1;
    }
    m_log->Debug("Device is ready to shutdown right now ");
    if (IsDeviceOpen()) SetStateLED(kStateClosed);
    return CUSBDevice::CloseDevice();
}

bool CUSBDeviceU2::RefuseMaintenance() {
    CCritSecLock lock(m_deviceLock);
    return false;
}

bool CUSBDeviceU2::CaptureImageWithOffset(const Position& /*offset*/,
                                          std::vector<uint8_t>& /*image*/) {
    return RefuseMaintenance();
}
bool CUSBDeviceU2::EnterMaintenanceMode() {
    return RefuseMaintenance();
}
bool CUSBDeviceU2::LeaveMaintenanceMode() {
    return RefuseMaintenance();
}
bool CUSBDeviceU2::GetCCDPosition(Position& /*position*/) {
    return RefuseMaintenance();
}
bool CUSBDeviceU2::SetCCDPosition(const Position& /*position*/) {
    return RefuseMaintenance();
}
bool CUSBDeviceU2::GetTriggerValueM(uint16_t& /*value*/) {
    return RefuseMaintenance();
}
bool CUSBDeviceU2::GetTriggerThresholds(dm__TriggerThresholds& /*thresholds*/) {
    return RefuseMaintenance();
}
bool CUSBDeviceU2::SetTriggerBounds(const dm__TriggerThresholds& /*bounds*/) {
    return RefuseMaintenance();
}
bool CUSBDeviceU2::SetLFDParameter(const dm__LFDParameter& /*parameter*/) {
    return RefuseMaintenance();
}
bool CUSBDeviceU2::GetIntegrationTime(uint16_t& /*time*/) {
    return RefuseMaintenance();
}
bool CUSBDeviceU2::SetIntegrationTime(uint16_t /*time*/) {
    return RefuseMaintenance();
}
bool CUSBDeviceU2::SetSerialNumber(const std::string& /*serialNumber*/) {
    return RefuseMaintenance();
}
