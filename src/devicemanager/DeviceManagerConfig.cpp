#include "devicemanager/DeviceManagerConfig.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/DataFile.h"
#include "image/LFDThresholds.h"
#include "platform/Sockets.h"

namespace {

constexpr const char* kListenerSectionPrefix = "DeviceListener_";
constexpr const char* kDefaultListenerAddress = "0.0.0.0";
constexpr int32_t kDefaultListenerPort = 43981;
constexpr int32_t kMaxPort = 65535;
// Values quoted in the log are cut: a broken file may hold a huge one.
constexpr size_t kMaxQuotedValue = 64;

std::string ListenerSection(size_t n) {
    return kListenerSectionPrefix + std::to_string(n);
}

std::string Quoted(const std::string& value) {
    if (value.size() <= kMaxQuotedValue) return value;
    return value.substr(0, kMaxQuotedValue) + "...";
}

std::string TrimBlanks(const std::string& text) {
    const size_t first = text.find_first_not_of(CDataFile::kBlanks);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(CDataFile::kBlanks) - first + 1);
}

bool IsPort(int32_t v) {
    return v > 0 && v <= kMaxPort;
}

bool IsIPv4Address(const std::string& text) {
    platform::SocketAddress address;
    return platform::MakeSocketAddress(text.c_str(), 0, address);
}

// Moves an unusable file out of the way so that writing the defaults does not
// destroy what the user had. Empty on success, else why it failed.
std::string KeepAside(const std::string& path, const std::string& badPath) {
    std::error_code error;
    std::filesystem::rename(path, badPath, error);
    return error ? error.message() : std::string();
}

}  // namespace

bool DeviceManagerConfig::Read(const std::string& path) {
    findings.clear();
    CDataFile file(path);
    if (!file.Load(path)) {
        *this = DeviceManagerConfig{};
        listeners = {ListenerConfig{kDefaultListenerAddress, kDefaultListenerPort}};
        LoadLFDThresholds(file);  // nothing loaded: every threshold takes its default

        if (file.LastLoadStatus() != CDataFile::LoadStatus::kMissing) {
            const bool unreadable = file.LastLoadStatus() == CDataFile::LoadStatus::kUnreadable;
            const std::string trouble = "DeviceManagerConfig::Read: " + path +
                                        (unreadable ? " cannot be read (" : " cannot be parsed (") +
                                        file.LoadProblem() + ")";
            const std::string badPath = path + kBadFileSuffix;
            const std::string failed = KeepAside(path, badPath);
            if (!failed.empty()) {
                findings.push_back(trouble + " and cannot be kept aside (" + failed +
                                   "); defaults used, the file is left as it is");
                return false;
            }
            findings.push_back(trouble + "; kept as " + badPath + ", defaults used");
        }
        return WriteBack(path);
    }

    const DeviceManagerConfig defaults;
    bool repaired = false;
    auto note = [&](const char* key, const std::string& section, const std::string& used) {
        const std::string raw = file.GetValue(key, section);
        const std::string where = section.empty() ? "" : " in [" + section + "]";
        if (raw.empty()) {
            findings.push_back("DeviceManagerConfig::Read: " + std::string(key) + where +
                               " is missing, " + used + " used");
        } else {
            findings.push_back("DeviceManagerConfig::Read: " + std::string(key) + "=" +
                               Quoted(raw) + where + " is not valid, " + used + " used");
        }
    };
    // A value that fails its check takes the default, is noted, and marks the
    // file for a rewrite.
    auto repair = [&](const char* key, const std::string& section, const std::string& used) {
        repaired = true;
        note(key, section, used);
    };
    auto readInt = [&](const char* key, const std::string& section, int32_t fallback,
                       bool (*valid)(int32_t)) {
        const int32_t value = file.GetInt(key, section);
        if (valid(value)) return value;
        repair(key, section, std::to_string(fallback));
        return fallback;
    };
    auto readText = [&](const char* key, const std::string& section, const std::string& fallback,
                        bool (*valid)(const std::string&)) {
        std::string value = TrimBlanks(file.GetValue(key, section));
        if (!value.empty() && valid(value)) return value;
        repair(key, section, fallback);
        return fallback;
    };
    const auto isSet = [](int32_t v) { return v != 0 && v != CDataFile::kIntMissing; };

    // IP and the top-level Port fall back silently when unset: they are
    // informational. A port that cannot be one is repaired all the same.
    ip = file.GetValue("IP");
    if (ip.empty()) ip = defaults.ip;
    port = file.GetInt("Port");
    if (!isSet(port)) {
        port = defaults.port;
    } else if (!IsPort(port)) {
        repair("Port", "", std::to_string(defaults.port));
        port = defaults.port;
    }

    // Sections are counted, not named: n runs over the named sections' count.
    listeners.clear();
    const size_t sectionCount = file.SectionCount() - 1;
    for (size_t n = 1; n <= sectionCount; ++n) {
        const std::string section = ListenerSection(n);
        ListenerConfig listener;
        listener.address = readText("IP-Address", section, kDefaultListenerAddress, IsIPv4Address);
        listener.port = readInt("Port", section, kDefaultListenerPort, IsPort);
        // An addition of ours: a missing or unusable value means 7 and never
        // makes the file count as repaired; an unusable one is noted.
        const int32_t echoPort = file.GetInt("EchoPort", section);
        if (IsPort(echoPort)) {
            listener.echoPort = echoPort;
        } else if (echoPort != CDataFile::kIntMissing) {
            note("EchoPort", section, std::to_string(ListenerConfig::kDefaultEchoPort));
        }
        // Checked where the listener opens, which logs what it cannot use.
        listener.allowedPeers = file.GetValue("AllowedPeers", section);
        listeners.push_back(listener);
    }

    logFileName =
        readText("LogFileName", "", defaults.logFileName, [](const std::string&) { return true; });
    logFileSize = readInt("LogFileSize", "", defaults.logFileSize, [](int32_t v) { return v > 0; });
    logLevel =
        readInt("LogLevel", "", defaults.logLevel, [](int32_t v) { return v >= 0 && v <= 3; });
    u2AsyncSleepTime = readInt("U2AsyncSleepTime", "", defaults.u2AsyncSleepTime,
                               [](int32_t v) { return v > 0 && v <= kMaxU2AsyncSleepTime; });
    temperatureCompensation =
        readInt("TemperatureCompensation", "", defaults.temperatureCompensation,
                [](int32_t v) { return v == 0 || v == 1; });
    // Like EchoPort: absent means on and never counts as a repair.
    const std::string console = TrimBlanks(file.GetValue("LogToConsole"));
    if (console == "0" || console == "1") {
        logToConsole = console == "1";
    } else if (!console.empty()) {
        note("LogToConsole", "", "1");
    }
    LoadLFDThresholds(file);

    return repaired && WriteBack(path);
}

bool DeviceManagerConfig::WriteBack(const std::string& path) {
    if (Write(path)) return true;
    findings.push_back("DeviceManagerConfig::Write: cannot write " + path);
    return false;
}

bool DeviceManagerConfig::Write(const std::string& path) const {
    CDataFile file(path);
    file.SetInt("Port", port,
                "; Port the Device Manager listens on\r\n"
                "; Has to match with corresponding entry in KVTCoreService.ini");
    for (size_t n = 1; n <= listeners.size(); ++n) {
        const ListenerConfig& listener = listeners[n - 1];
        const std::string section = ListenerSection(n);
        file.CreateSection(section, "; Device listener settings for ethernet sensors");
        file.SetValue("IP-Address", listener.address,
                      "; Address the ethernet devices connect to\r\n"
                      "; (0.0.0.0 for all available or specific address, e.g. 192.168.1.1)",
                      section);
        file.SetInt("Port", listener.port, "; Port the ethernet devices connect to", section);
        // Kept through a rewrite, but only when set: the default file has no such key.
        if (listener.echoPort != ListenerConfig::kDefaultEchoPort) {
            file.SetInt("EchoPort", listener.echoPort,
                        "; Port of the sensors' echo service (keep-alive)", section);
        }
        if (!listener.allowedPeers.empty()) {
            file.SetValue("AllowedPeers", listener.allowedPeers,
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
    if (!logToConsole) {
        file.SetInt("LogToConsole", 0, "; Log lines to standard output too, on (1) or off (0)");
    }
    return file.Save();
}

bool DeviceManagerConfig::EchoLogToConsole() const {
    const char* value = std::getenv("KVT_LOG_CONSOLE");
    if (value != nullptr && (std::strcmp(value, "0") == 0 || std::strcmp(value, "1") == 0)) {
        return value[0] == '1';
    }
    return logToConsole;
}
