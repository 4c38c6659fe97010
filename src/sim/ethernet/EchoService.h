#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Sockets.h"

namespace sim {

// The TCP echo service of an emulated Ethernet sensor: the library's
// keep-alive connects to it and expects every byte back. One connection is
// served at a time; a newer one replaces it, as after a restart of the library.
class EchoService {
public:
    using Reporter = std::function<void(int level, const std::string& text)>;

    explicit EchoService(Reporter report);
    ~EchoService();
    EchoService(const EchoService&) = delete;
    EchoService& operator=(const EchoService&) = delete;

    // Listens on the address (port 0: any free port) and starts serving.
    bool Start(const platform::SocketAddress& address);
    // Ends the service and its thread.
    void Stop();
    // The port it listens on; 0 before Start.
    int Port() const { return m_port; }

    // A silent service still takes the bytes but sends nothing back.
    void SetAnswering(bool answering) { m_answering = answering; }
    // Ends the connection being served, as a sensor that restarts does.
    void DropConnection();

private:
    void Run();
    void Serve(platform::SocketHandle connection);

    const Reporter m_report;
    platform::SocketHandle m_listener = platform::kInvalidSocket;
    std::atomic<int> m_port{0};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_answering{true};
    std::mutex m_connectionMutex;  // the connection, so that another thread can end it
    platform::SocketHandle m_connection = platform::kInvalidSocket;
    std::thread m_thread;
};

}  // namespace sim
