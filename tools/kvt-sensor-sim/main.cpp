// kvt-sensor-sim: emulated Kelo E1 Ethernet sensors as a process of their own.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Log.h"
#include "platform/Sockets.h"
#include "sim/ethernet/EmulatedEthernetSensor.h"
#include "sim/usb/SynthFrameSource.h"

namespace {

constexpr const char* kUsage =
    "Usage: kvt-sensor-sim [options]\n"
    "Runs emulated Kelo E1 Ethernet sensors that connect to a KVTBasic listener,\n"
    "answer its commands and keep running until Ctrl+C (SIGINT) or SIGTERM.\n"
    "\n"
    "  --listener ADDRESS:PORT  the library's listener (default 127.0.0.1:43981)\n"
    "  --sensor ADDRESS[:SERIAL]\n"
    "                           one sensor on a local address of its own; repeat for\n"
    "                           more (default: one at 127.0.0.2). Serial numbers\n"
    "                           not given count up from 1000001\n"
    "  --echo-port PORT         the sensors' echo service, which the library's\n"
    "                           keep-alive needs: the listener section's EchoPort\n"
    "                           (default 7; ports below 1024 need privileges).\n"
    "                           0 runs none, and the library drops the sensors\n"
    "  --firmware MAJOR.MINOR   the firmware version reported (default 3.07)\n"
    "  --finger ID[:IMPRESSION][:fake]\n"
    "                           lays a synthesized finger on every sensor, so that\n"
    "                           captures show it and the automatic trigger fires\n"
    "                           (default: no finger; impression 0; live)\n"
    "  --once                   do not connect again when the connection ends\n"
    "                           (default: retry every 2 s)\n"
    "  --verbose                print every command received\n"
    "  --help                   this text\n";

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnSignal(int) {
    g_stop = 1;
}

struct Options {
    std::string listenerAddress = "127.0.0.1";
    int listenerPort = 43981;
    struct Sensor {
        std::string address;
        uint32_t serial;
    };
    std::vector<Sensor> sensors;
    int echoPort = 7;
    int firmwareMajor = 3;
    int firmwareMinor = 7;
    bool finger = false;
    sim::FingerOnSensor fingerOnSensor;
    bool once = false;
    bool verbose = false;
};

// long long: long has 32 bits on Windows, too few for a serial number.
bool ParseNumber(const std::string& text, long long low, long long high, long long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return *end == '\0' && value >= low && value <= high;
}

// "ADDRESS:NUMBER" with the number optional when required is false.
bool SplitAddress(const std::string& text, bool required, long long high, std::string& address,
                  long long& number) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        address = text;
        return !required && !address.empty();
    }
    address = text.substr(0, colon);
    return !address.empty() && ParseNumber(text.substr(colon + 1), 0, high, number);
}

bool ParseFinger(const std::string& text, sim::FingerOnSensor& finger) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (parts.size() > 3) return false;
    long long id = 0, impression = 0;
    if (!ParseNumber(parts[0], 0, 0x7FFFFFFF, id)) return false;
    finger = {static_cast<uint32_t>(id), 0, true};
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i] == "fake" && i == parts.size() - 1) {
            finger.live = false;
        } else if (i == 1 && ParseNumber(parts[i], 0, 0x7FFFFFFF, impression)) {
            finger.impression = static_cast<uint32_t>(impression);
        } else {
            return false;
        }
    }
    return true;
}

// 0 to run, 1 for --help, -1 for bad usage (after a message).
int Parse(int argc, char** argv, Options& options) {
    uint32_t nextSerial = 1000001;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") return 1;
        if (option == "--once") {
            options.once = true;
            continue;
        }
        if (option == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "kvt-sensor-sim: unknown option or missing value: %s\n",
                         option.c_str());
            return -1;
        }
        const std::string value = argv[++i];
        bool ok = true;
        long long number = 0;
        if (option == "--listener") {
            ok = SplitAddress(value, true, 65535, options.listenerAddress, number) && number > 0;
            options.listenerPort = static_cast<int>(number);
        } else if (option == "--sensor") {
            std::string address;
            number = nextSerial;
            ok = SplitAddress(value, false, 0xFFFFFFFFLL, address, number);
            options.sensors.push_back({address, static_cast<uint32_t>(number)});
            if (static_cast<uint32_t>(number) >= nextSerial)
                nextSerial = static_cast<uint32_t>(number) + 1;
        } else if (option == "--echo-port") {
            ok = ParseNumber(value, 0, 65535, number);
            options.echoPort = static_cast<int>(number);
        } else if (option == "--firmware") {
            const size_t dot = value.find('.');
            long long minor = 0;
            ok = dot != std::string::npos && ParseNumber(value.substr(0, dot), 0, 255, number) &&
                 ParseNumber(value.substr(dot + 1), 0, 255, minor);
            options.firmwareMajor = static_cast<int>(number);
            options.firmwareMinor = static_cast<int>(minor);
        } else if (option == "--finger") {
            ok = ParseFinger(value, options.fingerOnSensor);
            options.finger = true;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "kvt-sensor-sim: bad value for %s: %s\n", option.c_str(),
                         value.c_str());
            return -1;
        }
    }
    if (options.sensors.empty()) options.sensors.push_back({"127.0.0.2", nextSerial});
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = Parse(argc, argv, options);
    if (parsed != 0) {
        std::fputs(kUsage, parsed > 0 ? stdout : stderr);
        return parsed > 0 ? 0 : 2;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    sim::SetFrameSource(std::make_shared<sim::SynthFrameSource>());

    std::mutex printing;
    const bool verbose = options.verbose;
    const auto print = [&printing, verbose](int level, const std::string& text) {
        if (level == CLog::kDebug && !verbose) return;
        std::lock_guard lock(printing);
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    };

    if (options.finger) {
        print(CLog::kInfo, "finger " + std::to_string(options.fingerOnSensor.fingerId) + ":" +
                               std::to_string(options.fingerOnSensor.impression) +
                               (options.fingerOnSensor.live ? " (live)" : " (fake)") +
                               " lies on every sensor");
    }
    std::vector<std::unique_ptr<sim::EmulatedEthernetSensor>> sensors;
    for (const Options::Sensor& sensor : options.sensors) {
        sim::EthernetSensorConfig config;
        config.listenerAddress = options.listenerAddress;
        config.listenerPort = options.listenerPort;
        config.sensorAddress = sensor.address;
        config.serialNumber = sensor.serial;
        config.echoPort =
            options.echoPort == 0 ? sim::EthernetSensorConfig::kNoEchoService : options.echoPort;
        config.firmwareMajor = static_cast<uint8_t>(options.firmwareMajor);
        config.firmwareMinor = static_cast<uint8_t>(options.firmwareMinor);
        config.reconnectDelayMs = options.once ? 0 : 2000;
        config.report = print;
        auto emulated = std::make_unique<sim::EmulatedEthernetSensor>(config);
        if (options.finger) emulated->PlaceFinger(options.fingerOnSensor);
        print(CLog::kInfo, "sensor " + sensor.address + " (serial number " +
                               std::to_string(sensor.serial) + ") connects to " +
                               options.listenerAddress + ":" +
                               std::to_string(options.listenerPort));
        if (!emulated->Start()) {
            std::fprintf(stderr, "kvt-sensor-sim: sensor %s could not start\n",
                         sensor.address.c_str());
            return 1;
        }
        sensors.push_back(std::move(emulated));
    }

    // With --once the process ends when every connection has.
    const auto allEnded = [&] {
        for (const auto& sensor : sensors)
            if (sensor->IsConnected()) return false;
        return true;
    };
    while (g_stop == 0 && !(options.once && allEnded()))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    print(CLog::kInfo, g_stop != 0 ? "stopping" : "every connection has ended");
    for (auto& sensor : sensors) sensor->Stop();
    return 0;
}
