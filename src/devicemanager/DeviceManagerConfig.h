#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// The contents of KVTDeviceManager.ini that the device manager uses.
struct DeviceManagerConfig {
    static constexpr const char* kFileName = "KVTDeviceManager.ini";

    std::string ip = "127.0.0.1";
    int32_t port = 82;
    std::vector<ListenerConfig> listeners;
    std::string logFileName = ".\\Logfiles\\KVTDeviceManager.log";
    int32_t logFileSize = 1000000;
    int32_t logLevel = 2;
    int32_t u2AsyncSleepTime = 500;
    int32_t temperatureCompensation = 0;

    // Reads the file at path. Missing or invalid values take their defaults;
    // when any default had to be taken (or the file could not be loaded), the
    // file is written anew. Returns true when it was written. Also loads the
    // process-wide live-finger-detection thresholds from the same file.
    bool Read(const std::string& path);

    // Writes exactly the documented keys with their comments.
    bool Write(const std::string& path) const;
};
