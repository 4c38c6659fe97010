#include "sim/usb/EmulatedSensor.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/Log.h"
#include "platform/Time.h"

namespace sim {

using namespace usbproto;

namespace {

constexpr uint32_t kMaxCommandBody = 64;
constexpr uint8_t kMaxReadCount = 128;
constexpr uint32_t kI2CReadBody = 8;
constexpr uint32_t kI2CWriteBody = 40;
constexpr uint32_t kImageBody = 16;

uint8_t Low(uint16_t value) {
    return static_cast<uint8_t>(value);
}
uint8_t High(uint16_t value) {
    return static_cast<uint8_t>(value >> 8);
}

uint16_t BigEndian16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t BigEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Byte 0 of an I2C request: the address width and the top bit of the address.
uint8_t I2CControlByte(uint8_t i2cAddress, uint8_t addressWidth) {
    return static_cast<uint8_t>((addressWidth & 3) << 3 | i2cAddress >> 7);
}

}  // namespace

EmulatedSensor::EmulatedSensor(SensorModel model, int simId, const SensorOptions& options,
                               FirmwareVersion mainFirmware)
    : m_model(model),
      m_simId(simId),
      m_productId(options.productId != 0      ? options.productId
                  : model == SensorModel::kU1 ? 0x0015
                                              : 0x0019),
      m_vendorId(options.vendorId),
      m_descriptorMode(options.descriptor),
      m_mainFirmware(options.mainFirmware.value_or(mainFirmware)) {
    WriteImagerConfiguration(m_bioBoard.data(), ConfigLayout::kBioBoard);
}

void EmulatedSensor::WriteImagerConfiguration(uint8_t* memory, ConfigLayout layout) {
    struct ConfigByte {
        uint16_t bioBoard;
        uint8_t illuBoard;
        uint8_t value;
    };
    static constexpr ConfigByte kConfiguration[] = {
        {0x0200, 0x00, kBioBoardI2C}, {0x0201, 0x01, kImagerI2C},  // chip addresses
        {0x0202, 0x02, 0x0A},         {0x0203, 0x03, 0x22},        // MainConfig0, 1
        {0x0204, 0x04, 0x01},         {0x0205, 0x05, 0x03},        // power, video clock
        {0x0206, 0x06, 0x40},         {0x0209, 0x09, 0x01},        // video and snap mode
        {0x020A, 0x13, 0x01},         {0x020B, 0x14, 0x2C},        // integration time
        {0x020C, 0x15, 0x00},         {0x020D, 0x16, 0x40},        // row delay
        {0x020E, 0x17, 0x00},         {0x020F, 0x18, 0x20},        // frame delay
        {0x0210, 0x19, 0x10},                                      // video gain
    };
    for (const ConfigByte& entry : kConfiguration)
        memory[layout == ConfigLayout::kBioBoard ? entry.bioBoard : entry.illuBoard] = entry.value;
}

// --- the driver's side ---

bool EmulatedSensor::HostWrite(const uint8_t* data, uint32_t length, uint32_t& transferred) {
    transferred = 0;
    std::lock_guard lock(m_mutex);
    if (data == nullptr && length != 0) return false;
    Record(data, length);
    if (!m_plugged) return false;
    m_input.insert(m_input.end(), data, data + length);
    while (m_input.size() >= kHeaderSize) {
        const uint32_t bodyLength = BigEndian32(m_input.data());
        const uint8_t cmdId = m_input[5];
        if (m_input[4] != 0 || m_input[6] != 0 || m_input[7] != 0 ||
            !BodyLengthValid(cmdId, bodyLength)) {
            CLog::Instance().Warning(
                "SimUsb sim%d: malformed request header (CmdID 0x%02X, length %u) refused", m_simId,
                cmdId, bodyLength);
            m_input.clear();
            return false;
        }
        if (m_input.size() < kHeaderSize + bodyLength) break;
        const std::vector<uint8_t> body(m_input.begin() + kHeaderSize,
                                        m_input.begin() + kHeaderSize + bodyLength);
        m_input.erase(m_input.begin(), m_input.begin() + kHeaderSize + bodyLength);
        // A new request drops whatever the host left unread of the last answer.
        m_output.clear();
        Queue(Process(cmdId, body));
    }
    transferred = length;
    return true;
}

EmulatedSensor::ReadOutcome EmulatedSensor::HostRead(uint8_t* data, uint32_t length,
                                                     uint32_t& transferred) {
    transferred = 0;
    std::unique_lock lock(m_mutex);
    if (m_answerDelayMs != 0) {
        // An unplug ends the wait at once.
        m_unplugged.wait_for(lock, std::chrono::milliseconds(m_answerDelayMs),
                             [this] { return !m_plugged; });
    }
    if (!m_plugged || (data == nullptr && length != 0)) return ReadOutcome::kFailed;
    if (length == 0) return ReadOutcome::kDone;
    if (m_output.empty()) {
        CLog::Instance().Debug("SimUsb sim%d: read with no answer pending", m_simId);
        return ReadOutcome::kFailed;
    }
    Segment& segment = m_output.front();
    if (segment.imageBody && m_unplugAfterChunks >= 0 &&
        m_imageChunksServed >= m_unplugAfterChunks) {
        m_unplugAfterChunks = -1;
        m_plugged = false;
        m_output.clear();
        m_input.clear();
        m_unplugged.notify_all();
        return ReadOutcome::kUnplugNow;
    }
    const size_t count = std::min<size_t>(length, segment.bytes.size() - segment.position);
    std::memcpy(data, segment.bytes.data() + segment.position, count);
    segment.position += count;
    transferred = static_cast<uint32_t>(count);
    if (segment.imageBody) ++m_imageChunksServed;
    if (segment.position == segment.bytes.size()) m_output.pop_front();
    return ReadOutcome::kDone;
}

bool EmulatedSensor::HostReadDescriptor(uint8_t* out, uint32_t capacity, uint32_t& transferred) {
    transferred = 0;
    std::lock_guard lock(m_mutex);
    if (!m_plugged || out == nullptr || m_descriptorMode == DescriptorMode::kFails) return false;
    // USB 2.00, vendor-specific class, control packets of 64 bytes, three
    // strings and one configuration; then the ids and the firmware as bcdDevice.
    uint8_t descriptor[18] = {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0, 0, 0, 0, 0, 0, 1, 2, 3, 1};
    const uint8_t variable[6] = {Low(m_vendorId),   High(m_vendorId),     Low(m_productId),
                                 High(m_productId), m_mainFirmware.minor, m_mainFirmware.major};
    std::memcpy(descriptor + 8, variable, sizeof variable);
    const uint32_t available = m_descriptorMode == DescriptorMode::kShort ? 8 : sizeof descriptor;
    transferred = std::min(capacity, available);
    std::memcpy(out, descriptor, transferred);
    return true;
}

bool EmulatedSensor::TryClaim() {
    std::lock_guard lock(m_mutex);
    if (m_claimed) return false;
    m_claimed = true;
    return true;
}

void EmulatedSensor::Release() {
    std::lock_guard lock(m_mutex);
    m_claimed = false;
    m_input.clear();
    m_output.clear();
}

int EmulatedSensor::OpenError() const {
    std::lock_guard lock(m_mutex);
    return m_openError;
}

bool EmulatedSensor::IsPlugged() const {
    std::lock_guard lock(m_mutex);
    return m_plugged;
}

void EmulatedSensor::Unplug() {
    std::lock_guard lock(m_mutex);
    m_plugged = false;
    m_input.clear();
    m_output.clear();
    m_unplugged.notify_all();
}

// --- requests ---

bool EmulatedSensor::BodyLengthValid(uint8_t cmdId, uint32_t length) const {
    switch (cmdId) {
        case kCmdState:
            return length == 0;
        case kCmdSetState:
            return length >= 1 && length <= kMaxCommandBody;
        case kCmdI2CRead:
            return length == kI2CReadBody;
        case kCmdI2CWrite:
            return length == kI2CWriteBody;
        case kCmdImage:
            return length == kImageBody;
        default:
            return ModelBodyLengthValid(cmdId, length);
    }
}

bool EmulatedSensor::ModelBodyLengthValid(uint8_t, uint32_t) const {
    return false;
}

EmulatedSensor::Response EmulatedSensor::ModelRequest(uint8_t cmdId, const std::vector<uint8_t>&) {
    return Refuse("CmdID 0x%02X is not served", cmdId);
}

EmulatedSensor::Response EmulatedSensor::Process(uint8_t cmdId, const std::vector<uint8_t>& body) {
    switch (cmdId) {
        case kCmdState:
            return Acknowledge();
        case kCmdSetState:
            return SetMainState(body);
        case kCmdI2CRead:
            return I2CRead(body);
        case kCmdI2CWrite:
            return I2CWrite(body);
        case kCmdImage:
            return Image(body);
        default:
            return ModelRequest(cmdId, body);
    }
}

EmulatedSensor::Response EmulatedSensor::SetMainState(const std::vector<uint8_t>& body) {
    // The body is a type-10 state record: {6, 10, state, 0, 0, 0}.
    if (body.size() != 6 || body[0] != 6 || body[1] != 10)
        return Refuse("set state with a body that is no type-10 record");
    m_mainState = body[2];
    if (m_model == SensorModel::kU1) RecordStatusLed(body[2]);
    return Acknowledge();
}

EmulatedSensor::Response EmulatedSensor::I2CRead(const std::vector<uint8_t>& body) {
    const uint8_t device = body[1];
    const uint16_t address = BigEndian16(&body[2]);
    const uint8_t count = body[4];
    if (device != kImagerI2C && device != kBioBoardI2C && device != kIlluBoardI2C)
        return Refuse("I2C read from absent device 0x%02X", device);
    if (body[0] != I2CControlByte(device, device == kBioBoardI2C ? 2 : 1))
        return Refuse("I2C read with control byte 0x%02X", body[0]);
    if (count > kMaxReadCount) return Refuse("I2C read of %u bytes", count);
    switch (device) {
        case kImagerI2C:
            if (address + count > m_imager.size())
                return Refuse("imager read beyond register 0xFF (0x%04X)", address);
            return DataAnswer(kCmdI2CRead,
                              std::vector<uint8_t>(m_imager.begin() + address,
                                                   m_imager.begin() + address + count));
        case kBioBoardI2C:
            if (address + count > m_bioBoard.size())
                return Refuse("bio board read beyond its memory (0x%04X)", address);
            return DataAnswer(kCmdI2CRead,
                              std::vector<uint8_t>(m_bioBoard.begin() + address,
                                                   m_bioBoard.begin() + address + count));
        default:
            return IlluRead(address, count);
    }
}

EmulatedSensor::Response EmulatedSensor::I2CWrite(const std::vector<uint8_t>& body) {
    const uint8_t device = body[1];
    const uint16_t address = BigEndian16(&body[2]);
    const uint8_t* data = &body[8];
    if (device != kImagerI2C && device != kBioBoardI2C && device != kIlluBoardI2C)
        return Refuse("I2C write to absent device 0x%02X", device);
    const uint8_t width = device == kBioBoardI2C ? 2 : 1;
    if (body[0] != I2CControlByte(device, width) || body[4] != width)
        return Refuse("I2C write with control bytes 0x%02X/0x%02X", body[0], body[4]);
    switch (device) {
        case kImagerI2C:
            if (address >= m_imager.size())
                return Refuse("imager write beyond register 0xFF (0x%04X)", address);
            m_imager[address] = data[0];
            return Acknowledge();
        case kBioBoardI2C:
            if (address >= m_bioBoard.size())
                return Refuse("bio board write beyond its memory (0x%04X)", address);
            m_bioBoard[address] = data[0];
            return Acknowledge();
        default:
            return IlluWrite(address, data);
    }
}

EmulatedSensor::Response EmulatedSensor::IlluRead(uint16_t, uint8_t) {
    return Refuse("I2C read from absent device 0x%02X", kIlluBoardI2C);
}

EmulatedSensor::Response EmulatedSensor::IlluWrite(uint16_t, const uint8_t*) {
    return Refuse("I2C write to absent device 0x%02X", kIlluBoardI2C);
}

EmulatedSensor::Response EmulatedSensor::Image(const std::vector<uint8_t>& body) {
    size_t total = 0;
    for (int i = 0; i < 2; ++i) total += static_cast<size_t>(body[i * 8]) * body[i * 8 + 1] * 16;
    if (total == 0) return Refuse("image request for no pixels");
    Response response;
    response.cmdId = kCmdImage;
    response.kind = Response::kImage;
    response.body.resize(total);
    uint8_t* out = response.body.data();
    for (int i = 0; i < 2; ++i) {
        const uint8_t* descriptor = &body[i * 8];
        const size_t size = static_cast<size_t>(descriptor[0]) * descriptor[1] * 16;
        if (size == 0) continue;
        RenderFrame(descriptor, i, out);
        out += size;
    }
    if (m_imageLimit && *m_imageLimit < total) response.body.resize(*m_imageLimit);
    return response;
}

void EmulatedSensor::RenderFrame(const uint8_t* descriptor, int index, uint8_t* out) const {
    const int width = descriptor[0] * 4;
    const int height = descriptor[1] * 4;
    const size_t size = static_cast<size_t>(width) * height;
    if (m_allDark) {
        std::memset(out, 0, size);
        return;
    }
    if ((descriptor[4] | descriptor[5] | descriptor[6] | descriptor[7]) != 0) {
        CurrentFrameSource()->Render(FingerLocked(), FrameIndexFor(index, descriptor[4]), width,
                                     height, static_cast<int8_t>(descriptor[2]) * 4,
                                     static_cast<int8_t>(descriptor[3]) * 4, out);
        return;
    }
    // Without light the imager shows its dark current, 18 to 22 varying by
    // row, less the black level set in its three break-point registers.
    int level = 0;
    for (uint8_t reg : kBlackLevelRegisters) level += m_imager[reg];
    level /= 3;
    for (int y = 0; y < height; ++y) {
        const int value = std::max(0, 18 + (y * 3) % 5 - level / 4);
        std::memset(out + static_cast<size_t>(y) * width, value, width);
    }
}

// --- answers ---

EmulatedSensor::Response EmulatedSensor::StateAnswer(uint8_t status) const {
    Response response;
    response.cmdId = kCmdState;
    response.kind = Response::kState;
    // Records of type 0 (status), 1, 2 (firmware) and 10 (main-board state),
    // in one list: gcc 12 sees phantom overflows in repeated vector inserts.
    response.body = {4,
                     0,
                     status,
                     0,
                     8,
                     1,
                     0,
                     0,
                     0,
                     0,
                     0,
                     0,
                     4,
                     2,
                     m_mainFirmware.major,
                     m_mainFirmware.minor,
                     6,
                     10,
                     m_mainState,
                     0,
                     0,
                     0};
    return response;
}

EmulatedSensor::Response EmulatedSensor::DataAnswer(uint8_t cmdId,
                                                    std::vector<uint8_t> body) const {
    Response response;
    response.cmdId = cmdId;
    response.body = std::move(body);
    return response;
}

EmulatedSensor::Response EmulatedSensor::Refuse(const char* format, ...) const {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    CLog::Instance().Warning("SimUsb sim%d: refused: %s", m_simId, text);
    return StateAnswer(kStatusRefused);
}

bool EmulatedSensor::TakeFault(Fault fault) {
    int& remaining = m_faults[static_cast<size_t>(fault)];
    if (remaining == 0) return false;
    if (remaining > 0) --remaining;
    return true;
}

void EmulatedSensor::Queue(Response response) {
    if (TakeFault(Fault::kNoAnswer)) return;
    if (TakeFault(Fault::kStateAnswer)) response = StateAnswer(m_status);
    if (response.kind == Response::kState && TakeFault(Fault::kBadStateRecord)) {
        response.body.resize(4);
        response.body.insert(response.body.end(), {2, 0, 0, 0});
    }
    const uint32_t length = static_cast<uint32_t>(response.body.size());
    Segment header;
    header.bytes.assign(kHeaderSize, 0);
    for (int i = 0; i < 4; ++i) header.bytes[i] = static_cast<uint8_t>(length >> (24 - 8 * i));
    header.bytes[5] = TakeFault(Fault::kWrongCmdId) ? kWrongCmdId : response.cmdId;
    Segment body;
    body.bytes = std::move(response.body);
    body.imageBody = response.kind == Response::kImage;
    if (TakeFault(Fault::kShortAnswer)) {
        if (body.bytes.empty())
            header.bytes.resize(kHeaderSize / 2);
        else
            body.bytes.resize(body.bytes.size() / 2);
    }
    m_imageChunksServed = 0;
    m_output.push_back(std::move(header));
    if (!body.bytes.empty()) m_output.push_back(std::move(body));
}

void EmulatedSensor::Record(const uint8_t* data, uint32_t length) {
    if (m_received.size() == kHistoryLimit) m_received.pop_front();
    m_received.push_back({platform::GetTickCount32(), std::vector<uint8_t>(data, data + length)});
}

void EmulatedSensor::RecordStatusLed(uint8_t state) {
    if (m_statusLeds.size() == kHistoryLimit) m_statusLeds.pop_front();
    m_statusLeds.push_back(state);
}

uint16_t EmulatedSensor::TriggerValueLocked() const {
    return m_finger ? m_triggerWithFinger : m_triggerWithoutFinger;
}

LFDMeasurement EmulatedSensor::ReadingsLocked() const {
    return m_fixedReadings ? *m_fixedReadings : CurrentFrameSource()->Readings(FingerLocked());
}

// --- settings and inspection ---

void EmulatedSensor::PlaceFinger(const FingerOnSensor& finger) {
    std::lock_guard lock(m_mutex);
    m_finger = finger;
}

void EmulatedSensor::LiftFinger() {
    std::lock_guard lock(m_mutex);
    m_finger.reset();
}

std::optional<FingerOnSensor> EmulatedSensor::Finger() const {
    std::lock_guard lock(m_mutex);
    return m_finger;
}

void EmulatedSensor::SetMainFirmware(FirmwareVersion version) {
    std::lock_guard lock(m_mutex);
    m_mainFirmware = version;
}

FirmwareVersion EmulatedSensor::MainFirmware() const {
    std::lock_guard lock(m_mutex);
    return m_mainFirmware;
}

void EmulatedSensor::SetStatusByte(uint8_t status) {
    std::lock_guard lock(m_mutex);
    m_status = status;
}

void EmulatedSensor::SetImageOffsets(uint8_t offsetX, uint8_t offsetY) {
    std::lock_guard lock(m_mutex);
    SettingRegister(Setting::kOffsetX) = offsetX;
    SettingRegister(Setting::kOffsetY) = offsetY;
}

void EmulatedSensor::SetAutoTriggerSensitivity(uint8_t value) {
    std::lock_guard lock(m_mutex);
    SettingRegister(Setting::kAutoTriggerSensitivity) = value;
}

void EmulatedSensor::SetTriggerValues(uint16_t withFinger, uint16_t withoutFinger) {
    std::lock_guard lock(m_mutex);
    m_triggerWithFinger = withFinger;
    m_triggerWithoutFinger = withoutFinger;
}

void EmulatedSensor::SetLfdReadings(std::optional<LFDMeasurement> readings) {
    std::lock_guard lock(m_mutex);
    m_fixedReadings = readings;
}

void EmulatedSensor::SetImageResponseLimit(std::optional<uint32_t> bytes) {
    std::lock_guard lock(m_mutex);
    m_imageLimit = bytes;
}

void EmulatedSensor::SetAnswerDelayMs(uint32_t milliseconds) {
    std::lock_guard lock(m_mutex);
    m_answerDelayMs = milliseconds;
}

void EmulatedSensor::SetAllFramesDark(bool dark) {
    std::lock_guard lock(m_mutex);
    m_allDark = dark;
}

void EmulatedSensor::SetOpenError(int error) {
    std::lock_guard lock(m_mutex);
    m_openError = error;
}

void EmulatedSensor::InjectFault(Fault fault, int count) {
    std::lock_guard lock(m_mutex);
    m_faults[static_cast<size_t>(fault)] = count;
}

void EmulatedSensor::UnplugAfterImageChunks(int chunks) {
    std::lock_guard lock(m_mutex);
    m_unplugAfterChunks = chunks;
}

void EmulatedSensor::ClearFaults() {
    std::lock_guard lock(m_mutex);
    m_faults.fill(0);
    m_unplugAfterChunks = -1;
}

std::vector<ReceivedWrite> EmulatedSensor::Received() const {
    std::lock_guard lock(m_mutex);
    return {m_received.begin(), m_received.end()};
}

void EmulatedSensor::ClearReceived() {
    std::lock_guard lock(m_mutex);
    m_received.clear();
}

std::vector<uint8_t> EmulatedSensor::StatusLedHistory() const {
    std::lock_guard lock(m_mutex);
    return {m_statusLeds.begin(), m_statusLeds.end()};
}

uint8_t EmulatedSensor::ImagerRegister(uint8_t address) const {
    std::lock_guard lock(m_mutex);
    return m_imager[address];
}

void EmulatedSensor::SetImagerRegister(uint8_t address, uint8_t value) {
    std::lock_guard lock(m_mutex);
    m_imager[address] = value;
}

uint8_t EmulatedSensor::BioBoardByte(uint16_t address) const {
    std::lock_guard lock(m_mutex);
    return address < m_bioBoard.size() ? m_bioBoard[address] : 0;
}

void EmulatedSensor::SetBioBoardByte(uint16_t address, uint8_t value) {
    std::lock_guard lock(m_mutex);
    if (address < m_bioBoard.size()) m_bioBoard[address] = value;
}

}  // namespace sim
