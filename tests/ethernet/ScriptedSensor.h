#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "ethernet/EthernetProtocol.h"
#include "ethernet/SocketEndpoint.h"

namespace kvt_test {

using Bytes = std::vector<uint8_t>;

struct SensorRequest {
    uint32_t cmdId;
    Bytes body;
};

// What the sensor sends in answer to one request.
struct Reply {
    Bytes bytes;
    // A pause before each byte.
    uint32_t dripMs = 0;
};

// A loopback address of the test's own.
platform::SocketAddress Loopback(const char* address, int port);

// Wire bytes of the sensor's answers.
Bytes HeaderBytes(uint32_t cmdId, uint32_t length);
Bytes StatusAnswer(uint32_t serial, uint32_t status, uint32_t cmdId = ethernet::kGetStatus);
Bytes ConfigAnswer(uint32_t value);
Bytes ImageAnswer(uint32_t cmdId, const Bytes& frame);
Bytes Concat(const std::vector<Bytes>& parts);

// The sensor side of one TCP connection, played from a script: each request
// that arrives is recorded and answered with the next queued reply, or, when
// none is queued and autoAnswer is set, with a plausible answer of its own.
class ScriptedSensor {
public:
    // A fresh loopback connection; the library's side is taken with TakeLibrarySide().
    ScriptedSensor();
    // Connects to a listener of the library from the address from; prepare
    // sets the sensor up before the library can talk to it.
    explicit ScriptedSensor(const platform::SocketAddress& listener,
                            const std::function<void(ScriptedSensor&)>& prepare = {},
                            const char* from = "127.0.0.1");
    ~ScriptedSensor();
    ScriptedSensor(const ScriptedSensor&) = delete;
    ScriptedSensor& operator=(const ScriptedSensor&) = delete;

    bool Connected() const { return m_socket != platform::kInvalidSocket; }
    // The accepted end, for a CEthernetDevice made by the test, which then
    // owns it (pair mode only).
    SocketEndpoint TakeLibrarySide() { return std::exchange(m_library, SocketEndpoint{}); }

    void Queue(Reply reply) {
        std::lock_guard lock(m_mutex);
        m_replies.push_back(std::move(reply));
    }
    void Queue(Bytes bytes) { Queue(Reply{std::move(bytes)}); }
    // Sends at once, not in answer to anything.
    void Push(const Bytes& bytes) {
        std::lock_guard lock(m_sendMutex);
        SendReplyLocked(Reply{bytes});
    }

    std::vector<SensorRequest> Requests() const {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    // True once count requests arrived within timeoutMs.
    bool WaitForRequests(size_t count, int timeoutMs) const {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_requests.size() >= count; });
    }
    // True once the library closed the connection, within timeoutMs.
    bool ClosedWithin(int timeoutMs) const {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_closedByLibrary; });
    }

    std::atomic<bool> autoAnswer{true};
    std::atomic<uint32_t> serial{4711};
    std::atomic<uint32_t> status{1};
    // The connection closes once this many bytes of answers went out; set
    // before traffic starts.
    size_t hangUpAfter = SIZE_MAX;
    // Configuration values by index; 0 when not set. Set before traffic starts.
    std::map<uint32_t, uint32_t> config;

private:
    void Run();
    bool ReadExactly(uint8_t* data, size_t count);
    void SendReplyLocked(const Reply& reply);
    Bytes AutoAnswer(const SensorRequest& request) const;

    platform::SocketHandle m_socket = platform::kInvalidSocket;
    SocketEndpoint m_library;
    std::atomic<bool> m_stop{false};
    std::mutex m_sendMutex;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<Reply> m_replies;
    std::vector<SensorRequest> m_requests;
    bool m_closedByLibrary = false;
    size_t m_answered = 0;  // bytes sent, under m_sendMutex
    std::thread m_thread;
};

}  // namespace kvt_test
