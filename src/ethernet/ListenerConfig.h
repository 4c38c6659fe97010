#pragma once

#include <cstdint>
#include <string>

// One DeviceListener_<n> section: the address and port Ethernet sensors
// connect to, and the port of the echo service that the keep-alive of those
// sensors talks to (key EchoPort, 7 unless set, so unprivileged emulated
// sensors can serve it).
struct ListenerConfig {
    static constexpr int32_t kDefaultEchoPort = 7;

    std::string address;
    int32_t port = 0;
    int32_t echoPort = kDefaultEchoPort;
    // Key AllowedPeers: the addresses and prefixes ("10.0.0.0/8") that may
    // connect, separated by commas; empty lets anyone connect.
    std::string allowedPeers = {};
};
