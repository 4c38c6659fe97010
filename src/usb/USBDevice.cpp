#include "usb/USBDevice.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "common/Log.h"
#include "image/PictureGeometry.h"
#include "platform/Time.h"

using namespace usb;

namespace {

constexpr uint32_t kTriggerHistoryLength = 20;
// The illumination board needs this long to take a parameter before it answers.
constexpr uint32_t kIlluBoardWritePauseMs = 100;
// State and ADC answers are a few bytes; a longer announcement is a broken
// or hostile sensor and is not read.
constexpr uint32_t kMaxAnswerLength = 4096;

struct MapKind {
    const char* lower;
    const char* upper;
    const MapEntry* map;
    uint16_t count;
};
constexpr MapKind kRegisters{"register", "Register", kRegisterMap, kRegisterCount};
constexpr MapKind kCommands{"command", "Command", kCommandMap, kCommandCount};

bool InRange(const char* operation, const MapKind& kind, uint8_t memory, uint16_t index) {
    if (memory < kMemoryCount && index < kind.count) return true;
    CLog::Instance().Warning("CUSBDevice::%s invalid device memory (0x%02X) or %s (0x%04X) ",
                             operation, memory, kind.lower, index);
    return false;
}

// The entry's address in memory, or kNotAvailable after logging why.
uint16_t AddressIn(const char* operation, const MapKind& kind, uint8_t memory, uint16_t index) {
    const MapEntry& entry = kind.map[index];
    const uint16_t address = entry.address[memory];
    if (address == kNotAvailable) {
        CLog::Instance().Warning(
            "CUSBDevice::%s %s entry ('%s' ) is not available in device memory (0x%02X)", operation,
            kind.upper, entry.name, kDeviceMemories[memory].i2cAddress);
    }
    return address;
}

// The leading bytes shared by I2C read and write bodies.
void PutI2CAddress(uint8_t* body, uint8_t memory, uint16_t address, uint8_t byte4) {
    const DeviceMemory& target = kDeviceMemories[memory];
    body[0] = static_cast<uint8_t>(((target.addressWidth & 3) << 3) | (target.i2cAddress >> 7));
    body[1] = target.i2cAddress;
    body[2] = static_cast<uint8_t>(address >> 8);
    body[3] = static_cast<uint8_t>(address);
    body[4] = byte4;
}

std::array<uint8_t, CUSBDevice::kHeaderSize> MakeHeader(uint32_t length, uint8_t cmdId) {
    return {static_cast<uint8_t>(length >> 24),
            static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length),
            0,
            cmdId,
            0,
            0};
}

// One driver call, with the checks and log lines both directions share.
template <typename Call>
bool Transfer(const char* direction, platform::UsbDriverHandle* handle, uint32_t length, bool check,
              Call call) {
    CLog& log = CLog::Instance();
    if (handle == nullptr) {
        log.Warning("CUSBDevice::%s: INVALID_HANDLE_VALUE == m_hDevice", direction);
        return false;
    }
    uint32_t transferred = 0;
    if (!call(*handle, transferred)) {
        log.Info("CUSBDevice::%s: DeviceIoControl failed!", direction);
        return false;
    }
    if (check && transferred != length) {
        log.Info("CUSBDevice::%s: byte count mismatch!", direction);
        return false;
    }
    return true;
}

void StoreRecord(uint8_t* target, size_t size, const uint8_t* record, uint8_t length) {
    if (length == size) std::memcpy(target, record, size);
}

}  // namespace

CUSBDevice::CUSBDevice(std::unique_ptr<platform::UsbDriverHandle> handle,
                       const std::string& deviceId)
    : m_hDevice(std::move(handle)),
      m_strDeviceID(deviceId),
      m_TriggerHistory(kTriggerHistoryLength, 0) {
    m_log->Info("CUSBDevice::CUSBDevice ID=%s", m_strDeviceID.c_str());
}

CUSBDevice::~CUSBDevice() {
    CCritSecLock lock(m_exchangeLock);
    if (m_hDevice) {
        m_log->Info("CUSBDevice::~CUSBDevice: CloseHandle(%" PRIXPTR ") of device %s",
                    m_hDevice->LogValue(), m_strDeviceID.c_str());
        m_hDevice->Close();
        m_hDevice.reset();
    }
}

bool CUSBDevice::Write(const uint8_t* buffer, uint32_t length, bool check) {
    CCritSecLock lock(m_exchangeLock);
    return Transfer("Write", m_hDevice.get(), length, check,
                    [&](platform::UsbDriverHandle& handle, uint32_t& transferred) {
                        return handle.Write(buffer, length, transferred);
                    });
}

bool CUSBDevice::Read(uint8_t* buffer, uint32_t length, bool check) {
    CCritSecLock lock(m_exchangeLock);
    return Transfer("Read", m_hDevice.get(), length, check,
                    [&](platform::UsbDriverHandle& handle, uint32_t& transferred) {
                        return handle.Read(buffer, length, transferred);
                    });
}

bool CUSBDevice::SendRequest(uint8_t cmdId, const uint8_t* body, uint32_t length) {
    const auto header = MakeHeader(length, cmdId);
    CCritSecLock lock(m_exchangeLock);
    if (!Write(header.data(), kHeaderSize, true)) return false;
    return length == 0 || Write(body, length, true);
}

bool CUSBDevice::ReceiveHeader(uint32_t& length, uint8_t& cmdId) {
    uint8_t header[kHeaderSize];
    if (!Read(header, kHeaderSize, true)) return false;
    length = (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) |
             (uint32_t{header[2]} << 8) | header[3];
    cmdId = header[5];
    return true;
}

bool CUSBDevice::ReceiveBody(uint32_t length, std::vector<uint8_t>& body) {
    if (length > kMaxAnswerLength) {
        m_log->Warning("CUSBDevice::ReceiveBody: (%s-%s) answer of %u bytes refused",
                       m_strDeviceID.c_str(), m_serialNumber.c_str(), length);
        return false;
    }
    body.assign(length, 0);
    // An empty body is not read: a zero-length bulk read would wait for a
    // packet that never comes.
    return length == 0 || Read(body.data(), length, true);
}

bool CUSBDevice::ReceiveStateResponse() {
    uint32_t length = 0;
    uint8_t cmdId = 0;
    std::vector<uint8_t> body;
    if (!ReceiveHeader(length, cmdId) || cmdId != kCmdState || !ReceiveBody(length, body)) {
        return false;
    }
    return UpdateStates(body.data(), length);
}

bool CUSBDevice::UpdateStates(const uint8_t* buffer, uint32_t length) {
    if (length < 3) return true;
    CCritSecLock lock(m_exchangeLock);
    uint32_t offset = 0;
    do {
        const uint8_t recordLength = buffer[offset];
        if (recordLength < 3) {
            m_log->Warning("CUSBDevice::UpdateStates Received state smaller than 3 bytes ");
            return false;
        }
        // A record running past the body is skipped like any unknown one.
        if (offset + recordLength <= length) {
            const uint8_t* record = buffer + offset;
            switch (record[1]) {
                case 0:
                    StoreRecord(m_State0, sizeof m_State0, record, recordLength);
                    break;
                case 1:
                    StoreRecord(m_State1, sizeof m_State1, record, recordLength);
                    break;
                case 2:
                    StoreRecord(m_State2, sizeof m_State2, record, recordLength);
                    break;
                case 10:
                    StoreRecord(m_State10, sizeof m_State10, record, recordLength);
                    break;
                default:
                    break;
            }
        }
        offset += recordLength;
    } while (offset + 2 < length);
    return true;
}

bool CUSBDevice::WriteI2CCommandToDevice(uint8_t memory, uint16_t command, const uint8_t* data,
                                         uint16_t length) {
    static constexpr const char* kOperation = "WriteI2CCommandToDevice";
    if (!InRange(kOperation, kCommands, memory, command)) return false;
    const uint16_t code = AddressIn(kOperation, kCommands, memory, command);
    if (code == kNotAvailable) return false;

    CCritSecLock lock(m_exchangeLock);
    if (memory == MemoryBioBoard) {
        // The main board's controller takes the command code as CmdID.
        if (length == 0) return false;
        if (!SendRequest(static_cast<uint8_t>(code), data, length)) return false;
    } else if (memory == MemoryIlluBoard) {
        uint8_t body[kI2CWriteBodySize] = {};
        PutI2CAddress(body, memory, code, kDeviceMemories[memory].addressWidth);
        std::copy_n(data, std::min<uint32_t>(length, kI2CWriteDataSize), body + 8);
        if (!SendRequest(kCmdI2CWrite, body, kI2CWriteBodySize)) return false;
    } else {
        return false;
    }
    return ReceiveStateResponse();
}

bool CUSBDevice::WriteI2CRegisterToDevice(uint8_t memory, uint16_t reg, uint8_t value) {
    static constexpr const char* kOperation = "WriteI2CRegisterToDevice";
    if (!InRange(kOperation, kRegisters, memory, reg)) return false;
    CCritSecLock lock(m_exchangeLock);
    uint16_t address = 0;
    if (!SelectRegister(kOperation, memory, reg, SetCommand_Parameter, address)) return false;
    uint8_t body[kI2CWriteBodySize] = {};
    PutI2CAddress(body, memory, address, kDeviceMemories[memory].addressWidth);
    body[8] = value;
    if (!SendRequest(kCmdI2CWrite, body, kI2CWriteBodySize)) return false;
    if (memory == MemoryIlluBoard) platform::SleepMs(kIlluBoardWritePauseMs);
    return ReceiveStateResponse();
}

bool CUSBDevice::SelectRegister(const char* operation, uint8_t memory, uint16_t reg,
                                uint16_t parameterCommand, uint16_t& address) {
    address = AddressIn(operation, kRegisters, memory, reg);
    if (address == kNotAvailable) return false;
    if (memory != MemoryIlluBoard) return true;
    // The illumination board takes the register's address first; the request
    // that follows then names the parameter command. The caller holds the
    // exchange lock, so nothing comes between the two.
    const uint8_t low = static_cast<uint8_t>(address);
    if (!WriteI2CCommandToDevice(memory, SetCommand_Address, &low, 1)) return false;
    address = kCommandMap[parameterCommand].address[MemoryIlluBoard];
    return true;
}

bool CUSBDevice::ReadI2CRegisterFromDevice(uint8_t memory, uint16_t reg, uint8_t* out,
                                           uint8_t count) {
    static constexpr const char* kOperation = "ReadI2CRegisterFromDevice";
    if (!InRange(kOperation, kRegisters, memory, reg)) return false;
    if (count == 0) return true;
    CCritSecLock lock(m_exchangeLock);
    uint16_t address = 0;
    if (!SelectRegister(kOperation, memory, reg, GetCommand_Parameter, address)) return false;
    uint8_t body[kI2CReadBodySize] = {};
    PutI2CAddress(body, memory, address, count);
    uint32_t length = 0;
    uint8_t cmdId = 0;
    if (!SendRequest(kCmdI2CRead, body, kI2CReadBodySize) || !ReceiveHeader(length, cmdId)) {
        return false;
    }
    if (cmdId != kCmdI2CRead || length != count) return false;
    return Read(out, count, true);
}

bool CUSBDevice::ReadI2CCommandFromDevice(uint8_t memory, uint16_t command, uint8_t* out,
                                          uint8_t& length) {
    static constexpr const char* kOperation = "ReadI2CCommandFromDevice";
    if (!IsDeviceOpen()) {
        m_log->Warning("CUSBDevice::ReadI2CCommandFromDevice: invalid device handle.");
        return false;
    }
    if (!InRange(kOperation, kCommands, memory, command)) return false;
    if (length == 0) return true;
    const uint16_t code = AddressIn(kOperation, kCommands, memory, command);
    if (code == kNotAvailable) return false;

    CCritSecLock lock(m_exchangeLock);
    if (memory == MemoryBioBoard) {
        // The state request: a bare header.
        if (!SendRequest(kCmdState, nullptr, 0)) return false;
    } else if (memory == MemoryIlluBoard) {
        uint8_t body[kI2CReadBodySize] = {};
        PutI2CAddress(body, memory, code, length);
        if (!SendRequest(kCmdI2CRead, body, kI2CReadBodySize)) return false;
    } else {
        return false;
    }
    uint32_t answerLength = 0;
    uint8_t cmdId = 0;
    if (!ReceiveHeader(answerLength, cmdId) || answerLength > kCommandAnswerCapacity) {
        return false;
    }
    std::vector<uint8_t> answer;
    if (!ReceiveBody(answerLength, answer) || answerLength > length) return false;
    std::copy(answer.begin(), answer.end(), out);
    length = static_cast<uint8_t>(answerLength);
    return true;
}

bool CUSBDevice::InitImager() {
    const uint8_t memory = GetMemoryLocationForRegister();
    for (uint16_t reg = IntegrationTimeHigh; reg <= FrameDelayLow; ++reg) {
        uint8_t value = 0;
        if (!ReadI2CRegisterFromDevice(memory, reg, &value, 1) ||
            !WriteI2CRegisterToDevice(MemoryImager, reg, value)) {
            return false;
        }
    }
    for (int n = 0; n < 2; ++n) {
        const uint16_t reg = static_cast<uint16_t>(MainConfig0 + n);
        uint8_t current = 0;
        // Only logged; a failed read has logged its own error.
        if (ReadI2CRegisterFromDevice(MemoryImager, reg, &current, 1)) {
            m_log->Debug("CUSBDevice::InitImager:==> MainConfig%d Imager = 0x%x", n, current);
        }
        uint8_t value = 0;
        if (!ReadI2CRegisterFromDevice(memory, reg, &value, 1)) return false;
        m_log->Debug("CUSBDevice::InitImager:==> MainConfig%d Illu = 0x%x", n, value);
        if (!WriteI2CRegisterToDevice(MemoryImager, reg, value)) return false;
        if (ReadI2CRegisterFromDevice(MemoryImager, reg, &current, 1)) {
            m_log->Debug("CUSBDevice::InitImager:==> MainConfig%d Imager = 0x%x", n, current);
        }
    }
    if (!RequiresImagerUpdate()) return false;
    return WriteI2CRegisterToDevice(MemoryImager, Update, 1);
}

bool CUSBDevice::ReadImageOffsets(uint8_t& offsetX, uint8_t& offsetY) {
    const uint8_t memory = GetMemoryLocationForRegister();
    return ReadI2CRegisterFromDevice(memory, OffsetX, &offsetX, 1) &&
           ReadI2CRegisterFromDevice(memory, OffsetY, &offsetY, 1);
}

bool CUSBDevice::ReadAutoTriggerSensitivity() {
    return ReadI2CRegisterFromDevice(GetMemoryLocationForRegister(), AutoTriggerSensitivity,
                                     &m_AutoTriggerSensitivity, 1);
}

bool CUSBDevice::SetDeviceState(uint8_t state) {
    const uint8_t memory = GetMemoryLocationForRegister();
    if (memory == MemoryBioBoard) {
        // A type-10 state record.
        const uint8_t record[6] = {6, 10, state, 0, 0, 0};
        return WriteI2CCommandToDevice(memory, SetCommand_State, record, sizeof record);
    }
    if (memory == MemoryIlluBoard) {
        return WriteI2CCommandToDevice(memory, SetCommand_State, &state, 1);
    }
    return false;
}

int CUSBDevice::GetDeviceStatus() {
    uint8_t answer[kCommandAnswerCapacity] = {};
    uint8_t length = kCommandAnswerCapacity;
    if (!ReadI2CCommandFromDevice(GetMemoryLocationForCommand(GetCommand_State), GetCommand_State,
                                  answer, length) ||
        !UpdateStates(answer, length)) {
        return kDeviceStatusError;
    }
    CCritSecLock lock(m_exchangeLock);
    return m_State0[2] != 0 ? kDeviceStatusError : kDeviceStatusOk;
}

bool CUSBDevice::ResetAsyncWaitDevice() {
    m_bCancel = 1;
    return true;
}

std::string CUSBDevice::GetFirmwareVersion() {
    return m_firmwareVersion;
}

std::string CUSBDevice::GetDeviceID() {
    return m_strDeviceID;
}

bool CUSBDevice::IsDeviceOpen() {
    CCritSecLock lock(m_exchangeLock);
    return m_hDevice != nullptr;
}

int CUSBDevice::CloseDevice() {
    CFunctionTrace trace("CUSBDevice::CloseDevice");
    {
        // Waits for a running exchange, so the handle never goes away under it.
        CCritSecLock lock(m_exchangeLock);
        if (m_hDevice) {
            m_log->Info("CUSBDevice::CloseDevice: CloseHandle(%" PRIXPTR ") deviceID=%s",
                        m_hDevice->LogValue(), m_strDeviceID.c_str());
            m_hDevice->Close();
            m_hDevice.reset();
        } else {
            m_log->Info("CUSBDevice::CloseDevice: Handle is already closed!");
        }
    }
    m_log->Info("CUSBDevice::CloseDevice");
    return CDevice::CloseDevice();
}

bool CUSBDevice::ResultState(int result, uint8_t succeeded, uint8_t failed, uint8_t& state) {
    switch (result) {
        case 1:
            state = succeeded;
            return true;
        case 0:
        case 2:
        case 3:
            state = failed;
            return true;
        default:
            return false;
    }
}

void CUSBDevice::GetControllerFirmwareVersion(uint8_t& major, uint8_t& minor) {
    CCritSecLock lock(m_exchangeLock);
    major = m_State2[2];
    minor = m_State2[3];
}

void CUSBDevice::PutFrameDescriptor(uint8_t* descriptor, const PictureGeometry& size,
                                    uint8_t offsetX, uint8_t offsetY,
                                    const std::array<uint8_t, 4>& leds) {
    descriptor[0] = static_cast<uint8_t>(size.rawWidth / 4);
    descriptor[1] = static_cast<uint8_t>(size.rawHeight / 4);
    descriptor[2] = static_cast<uint8_t>(size.windowShiftX / 4 + offsetX);
    descriptor[3] = static_cast<uint8_t>(size.windowShiftY / 4 + offsetY);
    std::copy(leds.begin(), leds.end(), descriptor + 4);
}

bool CUSBDevice::RequestImage(const ImageRequest& request, std::vector<uint8_t>& image,
                              const char*& failure) {
    const uint32_t expected =
        (uint32_t{request[0]} * request[1] + uint32_t{request[8]} * request[9]) * 16;
    image.assign(expected, 0);

    CCritSecLock lock(m_exchangeLock);
    const auto header = MakeHeader(static_cast<uint32_t>(request.size()), kCmdImage);
    if (!Write(header.data(), kHeaderSize, true)) {
        failure = "send command header failed";
        return false;
    }
    if (!Write(request.data(), static_cast<uint32_t>(request.size()), true)) {
        failure = "send command body failed";
        return false;
    }
    uint32_t length = 0;
    uint8_t cmdId = 0;
    if (!ReceiveHeader(length, cmdId)) {
        failure = "receive response header failed.";
        return false;
    }
    if (cmdId != kCmdImage) {
        failure = "invalid response header CmdID";
        return false;
    }
    if (length > expected) {
        failure = "invalid response header lenght";
        return false;
    }
    const uint32_t chunks = length >> 15;
    for (uint32_t chunk = 0; chunk < chunks; ++chunk) {
        if (!Read(image.data() + chunk * kImageChunkSize, kImageChunkSize, true)) {
            failure = "receive body chunk failed";
            return false;
        }
    }
    const uint32_t remainder = length & (kImageChunkSize - 1);
    if (remainder != 0 && !Read(image.data() + chunks * kImageChunkSize, remainder, true)) {
        failure = "receive body remainder failed";
        return false;
    }
    return true;
}
