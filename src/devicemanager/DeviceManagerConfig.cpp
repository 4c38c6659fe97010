#include "devicemanager/DeviceManagerConfig.h"

#include "common/DataFile.h"
#include "common/Log.h"
#include "image/LFDThresholds.h"

namespace {

constexpr const char* kListenerSectionPrefix = "DeviceListener_";
constexpr const char* kDefaultListenerAddress = "0.0.0.0";
constexpr int32_t kDefaultListenerPort = 43981;

}  // namespace

bool DeviceManagerConfig::Read(const std::string& path) {
    CDataFile file(path);
    if (!file.Load(path)) {
        *this = DeviceManagerConfig{};
        listeners = {ListenerConfig{kDefaultListenerAddress, kDefaultListenerPort}};
        LoadLFDThresholds(file);  // nothing loaded: every threshold takes its default
        Write(path);
        return true;
    }

    const DeviceManagerConfig defaults;
    bool repaired = false;
    // A value that fails its check takes the default and marks the file for a rewrite.
    auto readInt = [&](const char* key, const std::string& section, int32_t fallback,
                       bool (*valid)(int32_t)) {
        const int32_t value = file.GetInt(key, section);
        if (valid(value)) return value;
        repaired = true;
        return fallback;
    };
    auto readText = [&](const char* key, const std::string& section, const std::string& fallback) {
        std::string value = file.GetValue(key, section);
        if (!value.empty()) return value;
        repaired = true;
        return fallback;
    };
    const auto isSet = [](int32_t v) { return v != 0 && v != CDataFile::kIntMissing; };

    // IP and the top-level Port fall back silently: they are informational.
    ip = file.GetValue("IP");
    if (ip.empty()) ip = defaults.ip;
    port = file.GetInt("Port");
    if (!isSet(port)) port = defaults.port;

    // Sections are counted, not named: n runs over the named sections' count.
    listeners.clear();
    const int sectionCount = static_cast<int>(file.SectionCount()) - 1;
    for (int n = 1; n <= sectionCount; ++n) {
        const std::string section = kListenerSectionPrefix + std::to_string(n);
        ListenerConfig listener;
        listener.address = readText("IP-Address", section, kDefaultListenerAddress);
        listener.port = readInt("Port", section, kDefaultListenerPort, isSet);
        // An addition of ours: a missing or unusable value quietly means 7
        // and never makes the file count as repaired.
        const int32_t echoPort = file.GetInt("EchoPort", section);
        if (echoPort > 0 && echoPort <= 65535) listener.echoPort = echoPort;
        // Checked where the listener opens, which logs what it cannot use.
        listener.allowedPeers = file.GetValue("AllowedPeers", section);
        listeners.push_back(listener);
    }

    logFileName = readText("LogFileName", "", defaults.logFileName);
    logFileSize = readInt("LogFileSize", "", defaults.logFileSize, isSet);
    logLevel =
        readInt("LogLevel", "", defaults.logLevel, [](int32_t v) { return v >= 0 && v <= 3; });
    u2AsyncSleepTime = readInt("U2AsyncSleepTime", "", defaults.u2AsyncSleepTime, isSet);
    temperatureCompensation =
        readInt("TemperatureCompensation", "", defaults.temperatureCompensation,
                [](int32_t v) { return v == 0 || v == 1; });
    LoadLFDThresholds(file);

    if (repaired) Write(path);
    return repaired;
}

bool DeviceManagerConfig::Write(const std::string& path) const {
    CDataFile file(path);
    file.SetInt("Port", port,
                "; Port the Device Manager listens on\r\n"
                "; Has to match with corresponding entry in KVTCoreService.ini");
    if (!listeners.empty()) {
        const std::string section = std::string(kListenerSectionPrefix) + "1";
        file.CreateSection(section, "; Device listener settings for ethernet sensors");
        file.SetValue("IP-Address", listeners.front().address,
                      "; Address the ethernet devices connect to\r\n"
                      "; (0.0.0.0 for all available or specific address, e.g. 192.168.1.1)",
                      section);
        file.SetInt("Port", listeners.front().port, "; Port the ethernet devices connect to",
                    section);
        // Kept through a rewrite, but only when set: the default file has no such key.
        if (listeners.front().echoPort != ListenerConfig::kDefaultEchoPort) {
            file.SetInt("EchoPort", listeners.front().echoPort,
                        "; Port of the sensors' echo service (keep-alive)", section);
        }
        if (!listeners.front().allowedPeers.empty()) {
            file.SetValue("AllowedPeers", listeners.front().allowedPeers,
                          "; Only these addresses may connect (e.g. 192.168.1.20, 10.0.0.0/8)",
                          section);
        }
    }
    file.SetValue("LogFileName", logFileName, "; (relative or absolute)");
    file.SetInt("LogFileSize", logFileSize, "; maximum size in bytes");
    file.SetInt("LogLevel", logLevel, "; 0 = DEBUG, 1 = INFO, 2 = WARNING, 3 = ERROR");
    file.SetInt("U2AsyncSleepTime", u2AsyncSleepTime,
                "; Sleep time [ms] for U2 async image capturing");
    file.SetInt("TemperatureCompensation", temperatureCompensation,
                "; Temperature compensation for LFD, on (1) or off(0), default is off");
    const bool saved = file.Save();
    if (!saved) CLog::Instance().Error("DeviceManagerConfig::Write: cannot write %s", path.c_str());
    return saved;
}
