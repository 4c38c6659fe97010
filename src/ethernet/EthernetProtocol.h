#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The binary command protocol of the Ethernet sensor. Every number on the
// wire is little-endian, whatever the host's byte order.
namespace ethernet {

enum CmdId : uint32_t {
    kGetConfiguration = 0,
    kGetStatus = 1,
    kGetImage = 3,
    kGetLD = 31,
    kGetImageEx = 127,
    kSetAutoTrigger = 158,
    kSetInterface = 161,
    kResetDevice = 256,
};

// GET_CONFIGURATION indices.
enum ConfigIndex : uint32_t {
    kConfigFirmware = 0,
    kConfigServerPort = 1,
    kConfigServerIP = 2,
    kConfigClientIP = 3,
    kConfigOffsetX = 4,
    kConfigOffsetY = 5,
};

// Second word of a status response: an error, and what SET_AUTOTRIGGER expects.
inline constexpr uint32_t kDevStatusError = 3;
inline constexpr uint32_t kDevStatusReady = 1;

inline constexpr size_t kHeaderSize = 16;
inline constexpr size_t kGetConfigBodySize = 16;
inline constexpr size_t kConfigValueSize = 4;
inline constexpr size_t kStatusBodySize = 8;
inline constexpr size_t kLDBodySize = 8;
inline constexpr size_t kGetImageExBodySize = 16;
inline constexpr size_t kTriggerBodySize = 8;
inline constexpr size_t kProcStatusBodySize = 16;

// The first word of CMD_DATA_GET_CONFIG; its meaning belongs to the firmware.
inline constexpr uint32_t kGetConfigMagic = 0x100000;
// SET_INTERFACE item for the process status and its size.
inline constexpr uint32_t kInterfaceProcStatus = 1;
inline constexpr uint32_t kProcStatusSize = 16;
inline constexpr uint8_t kTriggerAutomatic = 2;
inline constexpr uint8_t kTriggerOff = 0;
inline constexpr uint8_t kProcStatusSuccess = 1;
inline constexpr uint8_t kProcStatusOther = 2;
// Frame numbers of GET_IMAGE_EX.
inline constexpr uint16_t kFrameNormal = 1;
inline constexpr uint16_t kFrameLiveFinger = 2;

// A response longer than this is refused before anything is allocated.
inline constexpr uint32_t kMaxResponseLength = 400000;

struct CommandHeader {
    uint32_t cmdId = 0;
    uint32_t length = 0;
    uint32_t reserved1 = 0;
    uint32_t reserved2 = 0;
};

inline void PutU16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

inline void PutU32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint16_t GetU16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

inline uint32_t GetU32(const uint8_t* at) {
    return uint32_t{at[0]} | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) |
           (uint32_t{at[3]} << 24);
}

inline std::array<uint8_t, kHeaderSize> EncodeHeader(const CommandHeader& header) {
    std::array<uint8_t, kHeaderSize> bytes{};
    PutU32(&bytes[0], header.cmdId);
    PutU32(&bytes[4], header.length);
    PutU32(&bytes[8], header.reserved1);
    PutU32(&bytes[12], header.reserved2);
    return bytes;
}

inline CommandHeader DecodeHeader(const uint8_t* bytes) {
    return {GetU32(bytes), GetU32(bytes + 4), GetU32(bytes + 8), GetU32(bytes + 12)};
}

}  // namespace ethernet
