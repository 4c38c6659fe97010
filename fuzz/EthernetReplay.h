#pragma once

// Plays the sensor's side of an Ethernet connection from recorded bytes and
// runs every sensor operation of CEthernetDevice against it.
//
// Input layout: byte 0 picks the capture properties (bits 0-1 picture size
// ROI/Half/Full, bit 2 LFD, bit 3 fast mode) and the operation that goes first
// (bits 4-7, modulo 6); the rest is a list of replies, each a 16-bit
// little-endian length and that many bytes. The n-th reply is sent once the
// n-th request has arrived: the device discards unread input before each
// command, so answers sent ahead of their request would never be read. After
// the last reply the sensor side hangs up, so every later wait ends at once.
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "ethernet/EthernetDevice.h"
#include "platform/Sockets.h"

namespace ethernet_replay {

inline constexpr int kOperations = 6;
// How long the sensor side waits for the next request before it hangs up; a
// device that sends none waits for an image the replies do not hold.
inline constexpr int kQuietMs = 10;
// Requests carry a few bytes; a longer one is not worth reading.
inline constexpr uint32_t kMaxRequestBody = 64;

namespace detail {

inline bool ReadExactly(platform::SocketHandle socket, uint8_t* out, size_t count, int quietMs) {
    for (size_t have = 0; have < count;) {
        if (platform::WaitReadable(socket, quietMs) != 1) return false;
        const int got = platform::RecvSome(socket, out + have, static_cast<int>(count - have));
        if (got <= 0) return false;
        have += static_cast<size_t>(got);
    }
    return true;
}

inline bool ReadRequest(platform::SocketHandle socket, int quietMs) {
    uint8_t header[ethernet::kHeaderSize];
    if (!ReadExactly(socket, header, sizeof header, quietMs)) return false;
    const uint32_t length = ethernet::DecodeHeader(header).length;
    if (length > kMaxRequestBody) return false;
    uint8_t body[kMaxRequestBody];
    return ReadExactly(socket, body, length, quietMs);
}

inline void PlaySensor(platform::SocketHandle socket, const uint8_t* replies, size_t size,
                       int quietMs) {
    size_t at = 0;
    while (at + 2 <= size && ReadRequest(socket, quietMs)) {
        const size_t length = std::min<size_t>(ethernet::GetU16(replies + at), size - at - 2);
        const uint8_t* reply = replies + at + 2;
        at += 2 + length;
        for (size_t sent = 0; sent < length;) {
            const int done =
                platform::SendSome(socket, reply + sent, static_cast<int>(length - sent));
            if (done <= 0) return;
            sent += static_cast<size_t>(done);
        }
    }
    // The device's next receive then fails at once instead of timing out.
    ::shutdown(socket, SHUT_RDWR);
}

inline bool RunOperation(CEthernetDevice& device, int which) {
    std::vector<uint8_t> image;
    LFDMeasurement measurement;
    switch (which) {
        case 0:
            return device.Initialize();
        case 1:
            return device.GetSyncImage(image);
        case 2:
            return device.GetBoundLFD(1, measurement);
        case 3:
            return device.IndicateResult(kvt__ResultFeedback__Tentative);
        case 4:
            device.SetAsyncTimeout(1);
            return device.GetAsyncImage(image);
        default:
            return !device.GetFirmwareVersion().empty();
    }
}

}  // namespace detail

// Which of the six operations succeeded, indexed by operation (0 Initialize,
// 1 GetSyncImage, 2 GetBoundLFD, 3 IndicateResult, 4 GetAsyncImage,
// 5 GetFirmwareVersion), whatever order they ran in. A test on a loaded
// machine gives the sensor side a longer quietMs than the fuzzer's.
inline std::array<bool, kOperations> Replay(const uint8_t* data, size_t size,
                                            int quietMs = kQuietMs) {
    std::array<bool, kOperations> succeeded{};
    if (size == 0) return succeeded;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return succeeded;
    std::thread sensor(detail::PlaySensor, pair[1], data + 1, size - 1, quietMs);

    CProperties properties;
    const char* sizes[] = {"ROI", "Half", "Full"};
    properties.SetProperty("PictureSize", sizes[(data[0] & 3) % 3]);
    properties.SetProperty("LFD", (data[0] & 4) != 0 ? "true" : "false");
    properties.SetProperty("FastMode", (data[0] & 8) != 0 ? "true" : "false");
    {
        SocketEndpoint connection;
        connection.socket = pair[0];
        CEthernetDevice device(connection, SocketEndpoint{});
        device.SetCaptureProperties(properties);
        const int first = data[0] >> 4;
        for (int i = 0; i < kOperations; ++i) {
            const int which = (first + i) % kOperations;
            succeeded[which] = detail::RunOperation(device, which);
        }
        // Closes the device's end, which also ends a sensor side still waiting.
        device.CloseDevice();
    }
    sensor.join();
    platform::CloseSocket(pair[1]);
    return succeeded;
}

}  // namespace ethernet_replay
