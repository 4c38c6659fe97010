#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ethernet/ListenerConfig.h"

// The contents of KVTDeviceManager.ini that the device manager uses.
struct DeviceManagerConfig {
    static constexpr const char* kFileName = "KVTDeviceManager.ini";
    // Where a file that cannot be read or parsed is kept: its name plus this.
    static constexpr const char* kBadFileSuffix = ".bad";
    // The asynchronous capture sleeps this long between polls of the sensor;
    // longer would leave a capture deaf to its finger for seconds.
    static constexpr int32_t kMaxU2AsyncSleepTime = 5000;

    std::string ip = "127.0.0.1";
    int32_t port = 82;
    std::vector<ListenerConfig> listeners;
    std::string logFileName = ".\\Logfiles\\KVTDeviceManager.log";
    int32_t logFileSize = 1000000;
    int32_t logLevel = 2;
    int32_t u2AsyncSleepTime = 500;
    int32_t temperatureCompensation = 0;
    // Key LogToConsole: 0 keeps log lines off standard output, which command-
    // line and scripting hosts need; the environment variable
    // KVT_LOG_CONSOLE, when set to 0 or 1, overrides it.
    bool logToConsole = true;

    // What Read found wrong and did about it, one log line each. Read runs
    // before the log is open, so the manager logs them once it is.
    std::vector<std::string> findings;

    // Reads the file at path. Missing, invalid or out-of-range values take
    // their defaults; when any default had to be taken (or the file could
    // not be loaded), the file is written anew. A file that exists but cannot
    // be read or parsed is first renamed to path + kBadFileSuffix; when that
    // fails it is left alone and not overwritten. Returns true when the file
    // was written. Also loads the process-wide live-finger-detection
    // thresholds from the same file.
    bool Read(const std::string& path);

    // Writes exactly the documented keys with their comments, with one
    // DeviceListener_<n> section per listener.
    bool Write(const std::string& path) const;

    // Whether log lines go to standard output too: KVT_LOG_CONSOLE when it
    // holds 0 or 1, otherwise logToConsole.
    bool EchoLogToConsole() const;

private:
    // Write, with a failure noted among the findings.
    bool WriteBack(const std::string& path);
};
