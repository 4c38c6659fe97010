#include "sim/ethernet/EchoService.h"

#include <chrono>

#include "common/Log.h"
#include "ethernet/SocketEndpoint.h"

namespace sim {

namespace {

// How often the serving loop looks at the stop flag and for a newer connection.
constexpr int kPollMs = 50;

}  // namespace

EchoService::EchoService(Reporter report) : m_report(std::move(report)) {}

EchoService::~EchoService() {
    Stop();
}

bool EchoService::Start(const platform::SocketAddress& address) {
    m_listener = platform::OpenTcpSocket();
    platform::SocketAddress bound;
    if (m_listener == platform::kInvalidSocket || !platform::BindListener(m_listener, address, 5) ||
        !platform::LocalAddress(m_listener, bound)) {
        m_report(CLog::kError, "echo service cannot listen on " + platform::AddressText(address) +
                                   ":" + std::to_string(platform::AddressPort(address)));
        platform::CloseSocket(m_listener);
        m_listener = platform::kInvalidSocket;
        return false;
    }
    m_port = platform::AddressPort(bound);
    m_stop = false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void EchoService::Stop() {
    m_stop = true;
    DropConnection();
    if (m_thread.joinable()) m_thread.join();
    platform::CloseSocket(m_listener);
    m_listener = platform::kInvalidSocket;
}

void EchoService::DropConnection() {
    std::lock_guard lock(m_connectionMutex);
    platform::ShutdownSocket(m_connection);
}

void EchoService::Run() {
    while (!m_stop) {
        platform::SocketHandle connection = platform::kInvalidSocket;
        platform::SocketAddress local, remote;
        if (!platform::AcceptTcp(m_listener, connection, local, remote,
                                 [this] { return !m_stop; })) {
            // An error of the listener itself: do not spin on it.
            if (!m_stop) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            continue;
        }
        m_report(CLog::kDebug, "echo connection from " + platform::AddressText(remote));
        {
            std::lock_guard lock(m_connectionMutex);
            m_connection = connection;
        }
        Serve(connection);
        std::lock_guard lock(m_connectionMutex);
        platform::CloseSocket(m_connection);
        m_connection = platform::kInvalidSocket;
    }
}

void EchoService::Serve(platform::SocketHandle connection) {
    uint8_t buffer[1024];
    while (!m_stop) {
        const int ready = platform::WaitReadable(connection, kPollMs);
        if (ready < 0) return;
        if (ready == 0) {
            if (platform::WaitReadable(m_listener, 0) == 1) return;  // a newer connection waits
            continue;
        }
        const int received = platform::RecvSome(connection, buffer, sizeof buffer);
        if (received <= 0) return;
        if (m_answering &&
            !SendAll({{}, connection}, buffer, received, [this] { return m_stop.load(); }))
            return;
    }
}

}  // namespace sim
