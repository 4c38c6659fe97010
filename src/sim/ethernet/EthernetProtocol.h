#pragma once

#include <array>
#include <cstdint>

// The Ethernet sensors' command protocol as both ends see it: a 16-byte header
// of four little-endian words (CmdID, body length, two reserved zeros),
// optionally followed by a body.
namespace sim::ethproto {

constexpr uint32_t kHeaderSize = 16;

constexpr uint32_t kGetConfiguration = 0;
constexpr uint32_t kGetStatus = 1;
constexpr uint32_t kGetImage = 3;
constexpr uint32_t kGetLd = 31;
constexpr uint32_t kGetImageEx = 127;
constexpr uint32_t kSetAutoTrigger = 158;
constexpr uint32_t kSetInterface = 161;
constexpr uint32_t kResetDevice = 256;

// First word of a configuration request.
constexpr uint32_t kConfigRequestTag = 0x100000;
enum ConfigIndex : uint32_t {
    kConfigFirmware = 0,
    kConfigServerPort = 1,
    kConfigServerAddress = 2,
    kConfigClientAddress = 3,
    kConfigOffsetX = 4,
    kConfigOffsetY = 5,
};

constexpr uint32_t kStatusReady = 1;
constexpr uint32_t kStatusError = 3;

constexpr uint8_t kTriggerOff = 0;
constexpr uint8_t kTriggerAuto = 2;

constexpr uint32_t kProcStatusItem = 1;
constexpr uint8_t kProcStatusSuccess = 1;
constexpr uint8_t kProcStatusOther = 2;

constexpr uint16_t kNormalFrame = 1;
constexpr uint16_t kLfdFrame = 2;

// Answers this long or longer are refused by the library.
constexpr uint32_t kLengthLimit = 400000;

inline void PutLE32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}
inline uint32_t GetLE32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t GetLE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline std::array<uint8_t, kHeaderSize> Header(uint32_t cmdId, uint32_t length) {
    std::array<uint8_t, kHeaderSize> header{};
    PutLE32(header.data(), cmdId);
    PutLE32(header.data() + 4, length);
    return header;
}

}  // namespace sim::ethproto
