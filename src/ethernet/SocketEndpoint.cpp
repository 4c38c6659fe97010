#include "ethernet/SocketEndpoint.h"

#include <algorithm>

#include "common/Timing.h"
#include "platform/Time.h"

namespace {

// Waits are cut into slices of this length so that a stop is seen soon.
constexpr uint32_t kWaitSliceMs = 100;

enum class Wait { kReady, kTimedOut, kFailed };

// Waits until the socket is ready, in slices, for at most limitMs.
Wait WaitFor(int (*wait)(platform::SocketHandle, int), platform::SocketHandle socket,
             uint64_t limitMs, const StopCheck& stop) {
    const uint32_t start = platform::GetTickCount32();
    for (;;) {
        if (stop && stop()) return Wait::kFailed;
        const uint64_t elapsed = platform::GetTickCount32() - start;
        if (elapsed >= limitMs) return Wait::kTimedOut;
        const uint64_t slice = std::min<uint64_t>(kWaitSliceMs, limitMs - elapsed);
        const int ready = wait(socket, static_cast<int>(slice));
        if (ready < 0) return Wait::kFailed;
        if (ready > 0) return Wait::kReady;
    }
}

// waitMs > 0 bounds the wait before each receive; otherwise the whole
// receive is bounded by kUnlimitedReceiveBoundMs.
bool Receive(const SocketEndpoint& endpoint, void* buffer, int count, uint64_t waitMs,
             bool& timedOut, const StopCheck& stop) {
    timedOut = false;
    if (endpoint.socket == platform::kInvalidSocket) return count <= 0;
    const CTimeout overall(kUnlimitedReceiveBoundMs);
    auto* bytes = static_cast<uint8_t*>(buffer);
    int received = 0;
    while (received < count) {
        uint64_t limit = waitMs;
        if (waitMs == 0) {
            if (overall.IsElapsed()) return false;
            limit = kWaitSliceMs;
        }
        const Wait ready = WaitFor(platform::WaitReadable, endpoint.socket, limit, stop);
        if (ready == Wait::kFailed) return false;
        if (ready == Wait::kTimedOut) {
            if (waitMs == 0) continue;
            timedOut = true;
            return false;
        }
        const int got = platform::RecvSome(endpoint.socket, bytes + received, count - received);
        // The protocol has no orderly close in the middle of a message.
        if (got <= 0) return false;
        received += got;
    }
    return true;
}

}  // namespace

bool SendAll(const SocketEndpoint& endpoint, const void* data, int count, const StopCheck& stop) {
    if (count > 0 && endpoint.socket == platform::kInvalidSocket) return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    int sent = 0;
    while (sent < count) {
        if (WaitFor(platform::WaitWritable, endpoint.socket, kSendStallBoundMs, stop) !=
            Wait::kReady) {
            return false;
        }
        const int done = platform::SendSome(endpoint.socket, bytes + sent, count - sent);
        if (done < 0) return false;
        sent += done;
    }
    return true;
}

bool RecvAll(const SocketEndpoint& endpoint, void* buffer, int count, int timeoutSeconds,
             const StopCheck& stop) {
    bool timedOut = false;
    const uint64_t waitMs = timeoutSeconds > 0 ? uint64_t(timeoutSeconds) * 1000 : 0;
    return Receive(endpoint, buffer, count, waitMs, timedOut, stop);
}

bool RecvAllMs(const SocketEndpoint& endpoint, void* buffer, int count, int timeoutMs,
               bool& timedOut, const StopCheck& stop) {
    return Receive(endpoint, buffer, count, timeoutMs > 0 ? uint64_t(timeoutMs) : 0, timedOut,
                   stop);
}

int WaitReadableMs(const SocketEndpoint& endpoint, int timeoutMs, const StopCheck& stop) {
    if (endpoint.socket == platform::kInvalidSocket) return -1;
    switch (
        WaitFor(platform::WaitReadable, endpoint.socket, uint64_t(std::max(timeoutMs, 0)), stop)) {
        case Wait::kReady:
            return 1;
        case Wait::kTimedOut:
            return 0;
        default:
            return -1;
    }
}

void FlushInput(const SocketEndpoint& endpoint) {
    if (endpoint.socket == platform::kInvalidSocket) return;
    uint8_t discard[4096];
    uint32_t discarded = 0;
    while (discarded < kFlushLimitBytes && platform::WaitReadable(endpoint.socket, 0) == 1) {
        const int got = platform::RecvSome(endpoint.socket, discard, sizeof discard);
        if (got <= 0) return;  // closed: the next exchange fails on its own
        discarded += static_cast<uint32_t>(got);
    }
}

bool SetEndpointAddress(SocketEndpoint& endpoint, const char* addressText, int port) {
    return platform::MakeSocketAddress(addressText, port, endpoint.address);
}

bool BindEndpoint(SocketEndpoint& endpoint) {
    // The backlog AcceptConnection listens with.
    constexpr int kBacklog = 5;
    endpoint.socket = platform::OpenTcpSocket();
    if (endpoint.socket == platform::kInvalidSocket) return false;
    if (platform::BindListener(endpoint.socket, endpoint.address, kBacklog)) return true;
    CloseEndpoint(endpoint);
    return false;
}

bool AcceptConnection(SocketEndpoint& listener, SocketEndpoint& connection, int backlog,
                      const std::function<bool()>& keepWaiting) {
    if (!platform::Listen(listener.socket, backlog)) return false;
    platform::SocketHandle accepted = platform::kInvalidSocket;
    platform::SocketAddress local;
    platform::SocketAddress remote;
    if (!platform::AcceptTcp(listener.socket, accepted, local, remote, keepWaiting)) return false;
    // Every command goes out as a header and a body; without this the body
    // would wait for the sensor to acknowledge the header.
    platform::SetNoDelay(accepted);
    connection.socket = accepted;
    connection.address.address = remote.address;
    listener.address.address = local.address;
    return true;
}

void CloseEndpoint(SocketEndpoint& endpoint) {
    if (endpoint.socket == platform::kInvalidSocket) return;
    platform::CloseSocket(endpoint.socket);
    endpoint.socket = platform::kInvalidSocket;
}
