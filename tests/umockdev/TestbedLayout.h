#pragma once

// The machine that the umockdev tests pretend to be: a root hub with a U1 on
// port 1 and an external hub on port 2 with a U2 on its port 3. The recorder
// writes the device descriptions and recordings for it; the tests load them.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "kvt/KVTBasic.h"
#include "support/Wait.h"

namespace kvt_umock {

struct TestbedSensor {
    const char* name;  // file names: <name>.umockdev, <name>-<exchange>.pcap
    bool u2;
    uint32_t serial;
    uint8_t bus;
    uint8_t address;
    const char* sysfsName;  // <bus>-<port chain>, as the kernel names it
    uint32_t fingerId;      // what lies on the sensor while recording
    uint32_t impression;
};

inline constexpr TestbedSensor kU1{"u1", false, 30000001, 1, 2, "1-1", 7, 2};
inline constexpr TestbedSensor kU2{"u2", true, 30000002, 1, 4, "1-2.3", 5, 1};

// The sensors' bulk endpoints: pipe 0 (OUT) and pipe 1 (IN).
inline constexpr uint8_t kBulkOut = 0x02;
inline constexpr uint8_t kBulkIn = 0x86;

// Recordings, one per sensor and exchange: <name>-<exchange>.pcap. Each
// starts with the sensor found at start (or plugged in) and ends with the
// library closing it.
inline constexpr const char* kAnnounced = "announced";  // found, nothing else
inline constexpr const char* kCaptured = "captured";    // one synchronous capture
inline constexpr const char* kStalled = "stalled";      // the capture's first answer never comes
inline std::string Recording(const TestbedSensor& sensor, const char* exchange) {
    return std::string(sensor.name) + "-" + exchange + ".pcap";
}

// The root hub and the external hub.
inline constexpr const char* kHubsDescription = "hubs.umockdev";

inline std::string SysfsPath(const TestbedSensor& sensor) {
    const std::string name = sensor.sysfsName;
    std::string path = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
    // A device behind a hub lies in its hub's folder.
    for (size_t dot = name.find('.'); dot != std::string::npos; dot = name.find('.', dot + 1))
        path += "/" + name.substr(0, dot);
    return path + "/" + name;
}

// The device node under /dev.
inline std::string NodeName(uint8_t bus, uint8_t address) {
    char name[32];
    std::snprintf(name, sizeof name, "bus/usb/%03u/%03u", bus, address);
    return name;
}

// The library's device-interface path for the sensor; its device id is an
// eight-digit prefix and this path.
inline std::string InterfacePath(const TestbedSensor& sensor) {
    return std::string("\\\\?\\usb#vid_1013&pid_") + (sensor.u2 ? "0019" : "0015") + "#" +
           sensor.sysfsName + "#{4f6e7f7f-b621-403a-9af3-8cd5a6a1daa4}";
}

// The running library's id of the sensor at the device-interface path, once
// it is listed: an eight-digit prefix and the path. Empty after 30 s.
inline std::string WaitForDeviceId(const std::string& path) {
    std::string id;
    kvt_test::WaitUntil(
        [&] {
            KVT_DeviceInfo list[4] = {};
            unsigned int count = 4;
            if (KVT_GetDeviceList(list, &count) != KVT_RESULT_OK) return false;
            for (unsigned int i = 0; i < count; ++i) {
                const std::string_view listed = list[i].deviceId;
                if (listed.size() > 8 && listed.substr(8) == path) id = listed;
            }
            return !id.empty();
        },
        std::chrono::seconds(30));
    return id;
}

// KVTDeviceManager.ini for recording and replay alike: whatever changes the
// sensors' traffic must be the same in both. No Ethernet listener.
inline constexpr const char* kDeviceManagerIni =
    "LogFileName=.\\Logfiles\\KVTDeviceManager.log\nLogFileSize=4000000\nLogLevel=0\n"
    "LogToConsole=0\nU2AsyncSleepTime=500\nTemperatureCompensation=0\n";

}  // namespace kvt_umock
