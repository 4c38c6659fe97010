#include "devicemanager/DeviceManagerConfig.h"

#include <climits>

#include "common/DataFile.h"
#include "common/Log.h"

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
        Write(path);
        return true;
    }

    bool repaired = false;

    // IP and the top-level Port fall back silently: they are informational.
    ip = file.GetValue("IP");
    if (ip.empty()) ip = "127.0.0.1";
    port = file.GetInt("Port");
    if (port == 0 || port == INT_MIN) port = 82;

    // Sections are counted, not named: n runs over the named sections' count.
    listeners.clear();
    const int sectionCount = static_cast<int>(file.SectionCount()) - 1;
    for (int n = 1; n <= sectionCount; ++n) {
        const std::string section = kListenerSectionPrefix + std::to_string(n);
        ListenerConfig listener;
        listener.address = file.GetValue("IP-Address", section);
        if (listener.address.empty()) {
            listener.address = kDefaultListenerAddress;
            repaired = true;
        }
        listener.port = file.GetInt("Port", section);
        if (listener.port == 0 || listener.port == INT_MIN) {
            listener.port = kDefaultListenerPort;
            repaired = true;
        }
        listeners.push_back(listener);
    }

    logFileName = file.GetValue("LogFileName");
    if (logFileName.empty()) {
        logFileName = DeviceManagerConfig{}.logFileName;
        repaired = true;
    }
    logFileSize = file.GetInt("LogFileSize");
    if (logFileSize == 0 || logFileSize == INT_MIN) {
        logFileSize = 1000000;
        repaired = true;
    }
    logLevel = file.GetInt("LogLevel");
    if (logLevel < 0 || logLevel > 3) {
        logLevel = 2;
        repaired = true;
    }
    u2AsyncSleepTime = file.GetInt("U2AsyncSleepTime");
    if (u2AsyncSleepTime == 0 || u2AsyncSleepTime == INT_MIN) {
        u2AsyncSleepTime = 500;
        repaired = true;
    }
    temperatureCompensation = file.GetInt("TemperatureCompensation");
    if (temperatureCompensation != 0 && temperatureCompensation != 1) {
        temperatureCompensation = 0;
        repaired = true;
    }
    // The live-finger-detection thresholds are read here, after the manager's own keys.

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
