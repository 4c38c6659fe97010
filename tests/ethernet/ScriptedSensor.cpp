#include "ethernet/ScriptedSensor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

using namespace ethernet;

namespace kvt_test {

platform::SocketAddress Loopback(const char* address, int port) {
    platform::SocketAddress result;
    EXPECT_TRUE(platform::MakeSocketAddress(address, port, result));
    return result;
}

Bytes HeaderBytes(uint32_t cmdId, uint32_t length) {
    const auto header = EncodeHeader({cmdId, length, 0, 0});
    return Bytes(header.begin(), header.end());
}

namespace {

// The header and the 32-bit values of a body, in the protocol's byte order.
Bytes Answer(uint32_t cmdId, std::initializer_list<uint32_t> values) {
    Bytes bytes = HeaderBytes(cmdId, static_cast<uint32_t>(4 * values.size()));
    for (uint32_t value : values) {
        bytes.resize(bytes.size() + 4);
        PutU32(&bytes[bytes.size() - 4], value);
    }
    return bytes;
}

}  // namespace

Bytes StatusAnswer(uint32_t serial, uint32_t status, uint32_t cmdId) {
    return Answer(cmdId, {serial, status});
}

Bytes ConfigAnswer(uint32_t value) {
    return Answer(kGetConfiguration, {value});
}

Bytes ImageAnswer(uint32_t cmdId, const Bytes& frame) {
    return Concat({HeaderBytes(cmdId, static_cast<uint32_t>(frame.size())), frame});
}

Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

ScriptedSensor::ScriptedSensor() {
    SocketEndpoint listener{Loopback("127.0.0.1", 0)};
    EXPECT_TRUE(BindEndpoint(listener) &&
                platform::LocalAddress(listener.socket, listener.address));
    m_socket = platform::OpenTcpSocket();
    EXPECT_TRUE(platform::ConnectTcp(m_socket, listener.address, 2000));
    // Taken as the library's listener takes a sensor.
    EXPECT_TRUE(AcceptConnection(listener, m_library, 1));
    CloseEndpoint(listener);
    m_thread = std::thread([this] { Run(); });
}

ScriptedSensor::ScriptedSensor(const platform::SocketAddress& listener,
                               const std::function<void(ScriptedSensor&)>& prepare,
                               const char* from) {
    if (prepare) prepare(*this);
    m_socket = platform::OpenTcpSocket();
    if (!platform::BindSocket(m_socket, Loopback(from, 0)) ||
        !platform::ConnectTcp(m_socket, listener, 2000)) {
        platform::CloseSocket(m_socket);
        m_socket = platform::kInvalidSocket;
        return;
    }
    m_thread = std::thread([this] { Run(); });
}

ScriptedSensor::~ScriptedSensor() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    platform::CloseSocket(m_socket);
    CloseEndpoint(m_library);
}

bool ScriptedSensor::ReadExactly(uint8_t* data, size_t count) {
    SocketEndpoint endpoint;
    {
        std::lock_guard lock(m_sendMutex);
        endpoint.socket = m_socket;
    }
    if (endpoint.socket == platform::kInvalidSocket) return false;
    if (RecvAll(endpoint, data, static_cast<int>(count), 0, [this] { return m_stop.load(); }))
        return true;
    // Not our own stop: the library closed the connection.
    if (!m_stop) {
        std::lock_guard lock(m_mutex);
        m_closedByLibrary = true;
        m_changed.notify_all();
    }
    return false;
}

void ScriptedSensor::SendReplyLocked(const Reply& reply) {
    const size_t limit = std::min(reply.bytes.size(), hangUpAfter - m_answered);
    const size_t step = reply.dripMs > 0 ? 1 : limit;
    for (size_t sent = 0; sent < limit; sent += step) {
        if (reply.dripMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.dripMs));
        if (m_stop || !SendAll({{}, m_socket}, reply.bytes.data() + sent, static_cast<int>(step)))
            return;
        m_answered += step;
    }
    if (m_answered >= hangUpAfter) {
        platform::CloseSocket(m_socket);
        m_socket = platform::kInvalidSocket;
    }
}

Bytes ScriptedSensor::AutoAnswer(const SensorRequest& request) const {
    switch (request.cmdId) {
        case kGetConfiguration: {
            const uint32_t index = request.body.size() >= 8 ? GetU32(&request.body[4]) : 0;
            const auto found = config.find(index);
            return ConfigAnswer(found == config.end() ? 0 : found->second);
        }
        case kGetImageEx: {
            const uint16_t width = GetU16(&request.body[0]);
            const uint16_t height = GetU16(&request.body[2]);
            const uint8_t frame = request.body[8];
            return ImageAnswer(kGetImageEx, Bytes(size_t(width) * height, frame));
        }
        case kGetStatus:
        case kSetAutoTrigger:
        case kSetInterface:
            return StatusAnswer(serial, status);
        default:
            return {};
    }
}

void ScriptedSensor::Run() {
    for (;;) {
        uint8_t header[kHeaderSize];
        if (!ReadExactly(header, sizeof header)) return;
        SensorRequest request{DecodeHeader(header).cmdId, {}};
        // Requests are small; a longer length is the test's own mistake.
        request.body.resize(std::min<uint32_t>(DecodeHeader(header).length, 64));
        if (!ReadExactly(request.body.data(), request.body.size())) return;
        Reply reply;
        {
            std::lock_guard lock(m_mutex);
            if (!m_replies.empty()) {
                reply = std::move(m_replies.front());
                m_replies.pop_front();
            } else if (autoAnswer) {
                reply.bytes = AutoAnswer(request);
            }
        }
        // Recorded before the answer goes out, so a test that sees the answer
        // also sees the request; and a Push waits until the answer is out.
        std::lock_guard sending(m_sendMutex);
        {
            std::lock_guard lock(m_mutex);
            m_requests.push_back(request);
        }
        m_changed.notify_all();
        SendReplyLocked(reply);
    }
}

}  // namespace kvt_test
