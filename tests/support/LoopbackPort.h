#pragma once

#include <atomic>
#include <random>

#include "platform/Sockets.h"

namespace kvt_test {

// A port for a listener of a test. Binding port 0 would hand out one of the
// system's ephemeral ports, which a simulated sensor of a parallel test
// process may take as the local end of its next connection before the
// listener is up. Ports below the ephemeral ranges of Linux (32768) and
// Windows (49152) are never handed out that way; a random start keeps
// parallel processes apart, and a trial bind on every address skips ports in
// use. The socket library must be started. Returns 0 when none is free.
inline int UnusedLoopbackPort() {
    constexpr int kFirst = 20000;
    constexpr int kCount = 12000;
    static std::atomic<int> next{static_cast<int>(std::random_device{}() % kCount)};
    for (int tries = 0; tries < kCount; ++tries) {
        const int port = kFirst + next.fetch_add(1) % kCount;
        platform::SocketAddress address;
        if (!platform::MakeSocketAddress("0.0.0.0", port, address)) return 0;
        const platform::SocketHandle probe = platform::OpenTcpSocket();
        const bool free = platform::BindListener(probe, address, 1);
        platform::CloseSocket(probe);
        if (free) return port;
    }
    return 0;
}

}  // namespace kvt_test
