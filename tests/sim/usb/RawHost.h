#pragma once

// A minimal host for the emulated sensors: builds request bytes by hand and
// reads answers the way the driver delivers them, independent of the library's
// sensor models.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/UsbDriver.h"

namespace simtest {

constexpr uint8_t kImager = 0x55;
constexpr uint8_t kBioBoard = 0x51;
constexpr uint8_t kIlluBoard = 0x40;

struct Answer {
    uint8_t cmdId = 0;
    std::vector<uint8_t> body;
};

// The low byte.
constexpr uint8_t B(uint32_t value) {
    return static_cast<uint8_t>(value);
}

inline std::vector<uint8_t> Header(uint32_t length, uint8_t cmdId) {
    return {B(length >> 24), B(length >> 16), B(length >> 8), B(length), 0, cmdId, 0, 0};
}

inline uint8_t Width(uint8_t device) {
    return device == kBioBoard ? 2 : 1;
}

inline std::vector<uint8_t> I2CReadBody(uint8_t device, uint16_t address, uint8_t count) {
    return {
        B(Width(device) << 3 | device >> 7), device, B(address >> 8), B(address), count, 0, 0, 0};
}

// One register's worth of bytes, the value first, in a body of 40.
inline std::vector<uint8_t> I2CWriteBody(uint8_t device, uint16_t address, uint8_t value) {
    std::vector<uint8_t> body = I2CReadBody(device, address, Width(device));
    body.resize(40);
    body[8] = value;
    return body;
}

// The status byte of a state answer, or -1 when the answer is none.
inline int Status(const std::optional<Answer>& answer) {
    if (!answer || answer->cmdId != 0x00 || answer->body.size() < 3) return -1;
    return answer->body[2];
}

class RawHost {
public:
    explicit RawHost(platform::UsbDriverHandle& handle) : m_handle(handle) {}

    // Header and body as two transfers, as the library sends them.
    bool Send(uint8_t cmdId, const std::vector<uint8_t>& body) {
        if (!WriteAll(Header(static_cast<uint32_t>(body.size()), cmdId))) return false;
        return body.empty() || WriteAll(body);
    }

    bool WriteAll(const std::vector<uint8_t>& bytes) {
        uint32_t moved = 0;
        return m_handle.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), moved) &&
               moved == bytes.size();
    }

    // Reads a header and the body it announces in reads of at most 32 KB,
    // as the library does. Empty on any failed or short read.
    std::optional<Answer> Receive() {
        uint8_t header[8];
        uint32_t moved = 0;
        if (!m_handle.Read(header, 8, moved) || moved != 8) return std::nullopt;
        const uint32_t length =
            static_cast<uint32_t>(header[0]) << 24 | header[1] << 16 | header[2] << 8 | header[3];
        Answer answer{header[5], std::vector<uint8_t>(length)};
        for (uint32_t offset = 0; offset < length; offset += moved) {
            const uint32_t want = std::min(32768u, length - offset);
            if (!m_handle.Read(answer.body.data() + offset, want, moved) || moved != want)
                return std::nullopt;
        }
        return answer;
    }

    std::optional<Answer> Exchange(uint8_t cmdId, const std::vector<uint8_t>& body) {
        if (!Send(cmdId, body)) return std::nullopt;
        return Receive();
    }

    std::optional<Answer> ReadI2C(uint8_t device, uint16_t address, uint8_t count) {
        return Exchange(0x02, I2CReadBody(device, address, count));
    }
    std::optional<Answer> WriteI2C(uint8_t device, uint16_t address, uint8_t value) {
        return Exchange(0x42, I2CWriteBody(device, address, value));
    }

    // A register of the illumination board: the address first, then the
    // parameter.
    std::optional<uint8_t> ReadIllu(uint8_t address) {
        if (!WriteI2C(kIlluBoard, 0x08, address)) return std::nullopt;
        auto answer = ReadI2C(kIlluBoard, 0x25, 1);
        if (!answer || answer->cmdId != 0x02 || answer->body.size() != 1) return std::nullopt;
        return answer->body[0];
    }
    // The status byte of the parameter write's state answer.
    int WriteIllu(uint8_t address, uint8_t value) {
        return WriteI2C(kIlluBoard, 0x08, address) ? Status(WriteI2C(kIlluBoard, 0x07, value)) : -1;
    }

private:
    platform::UsbDriverHandle& m_handle;
};

// The records of a state body by type, as {type, record bytes}; empty when
// a record is malformed.
inline std::optional<std::vector<std::vector<uint8_t>>> StateRecords(
    const std::vector<uint8_t>& body) {
    std::vector<std::vector<uint8_t>> records;
    for (size_t offset = 0; offset < body.size();) {
        const uint8_t length = body[offset];
        if (length < 3 || offset + length > body.size()) return std::nullopt;
        records.emplace_back(body.begin() + offset, body.begin() + offset + length);
        offset += length;
    }
    return records;
}

}  // namespace simtest
