// The library's libusb bus on a Linux machine whose USB sensors umockdev
// emulates: sysfs descriptions and usbmon recordings made by kvt-usb-record
// from the emulated sensors, replayed to the real libusb.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "integration/SimulatedSensorFixture.h"
#include "support/TempDir.h"
#include "umockdev/Preload.h"
#include "umockdev/TestbedLayout.h"

namespace {

using kvt_test::ReadFile;
using kvt_umock::TestbedSensor;
using Clock = std::chrono::steady_clock;

const std::filesystem::path kTestbedFiles = KVT_UMOCKDEV_TESTBED;

class LibusbUnderUmockdev : public kvt_test::SimulatedSensorTest {
protected:
    void SetUp() override {
        if (!kvt_umock::PreloadIsLoaded())
            GTEST_SKIP() << "libumockdev-preload.so.0 could not be preloaded (Debian package "
                            "umockdev); the libusb bus is not tested";
        m_testbed = umockdev_testbed_new();
        ASSERT_NE(m_testbed, nullptr);
        m_data.emplace("kvt-umockdev");
        kvt_test::SetEnv("KVT_DATA_DIR", m_data->Path().string());
        kvt_test::WriteFile(m_data->Path() / "KVTDeviceManager.ini", kvt_umock::kDeviceManagerIni);
        AddDescription(ReadFile(kTestbedFiles / kvt_umock::kHubsDescription));
    }
    void TearDown() override {
        kvt_test::SimulatedSensorTest::TearDown();
        if (m_testbed != nullptr) g_object_unref(m_testbed);
    }

    void AddDescription(const std::string& text) {
        ASSERT_FALSE(text.empty()) << "no test bed files in " << kTestbedFiles;
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(m_testbed, text.c_str(), &error))
            << error->message;
    }
    void LoadRecording(const TestbedSensor& sensor, const char* exchange) {
        GError* error = nullptr;
        const std::string file = (kTestbedFiles / kvt_umock::Recording(sensor, exchange)).string();
        ASSERT_TRUE(umockdev_testbed_load_pcap(m_testbed, kvt_umock::SysfsPath(sensor).c_str(),
                                               file.c_str(), &error))
            << error->message;
    }
    std::string Description(const TestbedSensor& sensor) {
        return ReadFile(kTestbedFiles / (std::string(sensor.name) + ".umockdev"));
    }

    // A sensor present before the library starts, its traffic replayed from
    // the recording of the exchange (null: nothing answers).
    void PlugIn(const TestbedSensor& sensor, const char* exchange) {
        AddDescription(Description(sensor));
        if (exchange != nullptr) LoadRecording(sensor, exchange);
    }

    // A sensor plugged in while the library runs. Adding a device announces
    // it at once, so it is added without the property that libusb's monitor
    // looks for, and announced once its recording is in place.
    void HotPlug(const TestbedSensor& sensor, const char* exchange) {
        std::string text = Description(sensor);
        const std::string devtype = "E: DEVTYPE=usb_device\n";
        const size_t at = text.find(devtype);
        ASSERT_NE(at, std::string::npos);
        AddDescription(text.erase(at, devtype.size()));
        LoadRecording(sensor, exchange);
        const std::string path = kvt_umock::SysfsPath(sensor);
        umockdev_testbed_set_property(m_testbed, path.c_str(), "DEVTYPE", "usb_device");
        umockdev_testbed_uevent(m_testbed, path.c_str(), "add");
    }

    void Unplug(const TestbedSensor& sensor) {
        const std::string path = kvt_umock::SysfsPath(sensor);
        umockdev_testbed_uevent(m_testbed, path.c_str(), "remove");
        umockdev_testbed_remove_device(m_testbed, path.c_str());
    }

    static unsigned int DeviceCount() {
        unsigned int count = 4;
        EXPECT_EQ(KVT_GetDeviceList(nullptr, &count), KVT_RESULT_OK);
        return count;
    }

    // The log once it holds the text, or after 30 s.
    static std::string WaitForLog(const std::string& text) {
        kvt_test::WaitUntil([&] { return kvt_test::LogText().find(text) != std::string::npos; },
                            std::chrono::seconds(30));
        return kvt_test::LogText();
    }

    UMockdevTestbed* m_testbed = nullptr;
    std::optional<kvt_test::TempDir> m_data;
};

TEST_F(LibusbUnderUmockdev, FindsBothModelsAtStartAndCapturesWhatTheSimulatedBusDoes) {
    // First the same sensors, with the same fingers, on the simulated bus.
    std::vector<std::vector<unsigned char>> simulated;
    Start();
    for (const TestbedSensor* sensor : {&kvt_umock::kU1, &kvt_umock::kU2}) {
        int simId = 0;
        const std::string id = Plug(sensor->u2 ? KVTSIM_MODEL_U2 : KVTSIM_MODEL_U1, &simId);
        ASSERT_EQ(KVTSim_PlaceFinger(simId, static_cast<int>(sensor->fingerId),
                                     static_cast<int>(sensor->impression), 1),
                  KVTSIM_OK);
        KVT_CapturedData data{};
        ASSERT_EQ(Capture(id, simulated.emplace_back(), data), KVT_RESULT_OK);
        ASSERT_EQ(KVTSim_Detach(simId), KVTSIM_OK);
    }
    ASSERT_EQ(KVT_Stop(), KVT_RESULT_OK);

    // Then on libusb, found at start by their ports.
    PlugIn(kvt_umock::kU1, kvt_umock::kCaptured);
    PlugIn(kvt_umock::kU2, kvt_umock::kCaptured);
    Start();
    const std::string u1 = kvt_umock::WaitForDeviceId(kvt_umock::InterfacePath(kvt_umock::kU1));
    const std::string u2 = kvt_umock::WaitForDeviceId(kvt_umock::InterfacePath(kvt_umock::kU2));
    ASSERT_FALSE(u1.empty() || u2.empty());
    // One manager: one prefix.
    EXPECT_EQ(u1.substr(0, 8), u2.substr(0, 8));
    KVT_DeviceInfo list[4] = {};
    unsigned int count = 4;
    ASSERT_EQ(KVT_GetDeviceList(list, &count), KVT_RESULT_OK);
    ASSERT_EQ(count, 2u);
    for (const TestbedSensor* sensor : {&kvt_umock::kU1, &kvt_umock::kU2}) {
        SCOPED_TRACE(sensor->name);
        const std::string& id = sensor->u2 ? u2 : u1;
        const KVT_DeviceInfo& info = list[list[0].deviceId == id ? 0 : 1];
        // Serial numbers come from the sensors' answers, so the replay reached them.
        const uint32_t serial = sensor->u2 ? sensor->serial & 0xFFFFFF : sensor->serial;
        EXPECT_EQ(
            std::tuple(
                std::string(info.deviceId), info.connectionType, info.deviceType,
                std::string(info.description),
                std::string(info.serialNumber).find(std::to_string(serial)) != std::string::npos),
            std::tuple(id, KVT_CONNECTION_USB, sensor->u2 ? KVT_DEVICE_KELO_B : KVT_DEVICE_KELO_A,
                       sensor->u2 ? "Kelo U2 USB" : "Kelo U1 USB", true))
            << info.serialNumber;

        std::vector<unsigned char> image;
        KVT_CapturedData data{};
        ASSERT_EQ(Capture(id, image, data), KVT_RESULT_OK);
        // A finger shows: the pixels after the header and palette are not all alike.
        ASSERT_GT(image.size(), 1078u);
        EXPECT_NE(std::count(image.begin() + 1078, image.end(), image[1078]),
                  static_cast<std::ptrdiff_t>(image.size() - 1078));
        EXPECT_TRUE(image == simulated[sensor->u2]) << "the pictures differ";
    }
}

TEST_F(LibusbUnderUmockdev, HotPlugAnnouncesArrivalAndRemoval) {
    Start();
    HotPlug(kvt_umock::kU2, kvt_umock::kAnnounced);
    const std::string id = kvt_umock::WaitForDeviceId(kvt_umock::InterfacePath(kvt_umock::kU2));
    ASSERT_FALSE(id.empty());
    EXPECT_TRUE(messages_.WaitFor(KVT_MSG_NEW_DEVICE, id));
    EXPECT_EQ(DeviceCount(), 1u);

    Unplug(kvt_umock::kU2);
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_LOST_DEVICE, id));
    EXPECT_EQ(DeviceCount(), 0u);
}

TEST_F(LibusbUnderUmockdev, NodeWithoutReadWriteAccessIsRefusedNamingTheUdevRule) {
    PlugIn(kvt_umock::kU1, nullptr);
    char* root = umockdev_testbed_get_root_dir(m_testbed);
    const std::filesystem::path testbed = root;
    g_free(root);
    const std::string nodeName = kvt_umock::NodeName(kvt_umock::kU1.bus, kvt_umock::kU1.address);
    const auto node = testbed / "dev" / nodeName;
    ASSERT_EQ(chmod(node.c_str(), 0444), 0);
    // root opens any node: the library then runs as nobody, with the test bed
    // and data folder its own and only the node root's.
    // The process's threads follow its effective user (glibc changes them all).
    const auto backToRoot = [](const uid_t*) {
        if (seteuid(0) != 0) std::abort();
    };
    std::unique_ptr<const uid_t, decltype(backToRoot)> nobody(nullptr, backToRoot);
    static constexpr uid_t kNobody = 65534;
    if (geteuid() == 0) {
        for (const auto& top : {testbed, m_data->Path()}) {
            ASSERT_EQ(chown(top.c_str(), kNobody, kNobody), 0);
            for (const auto& entry : std::filesystem::recursive_directory_iterator(top))
                ASSERT_EQ(lchown(entry.path().c_str(), kNobody, kNobody), 0);
        }
        ASSERT_EQ(chown(node.c_str(), 0, 0), 0);
        ASSERT_EQ(seteuid(kNobody), 0);
        nobody.reset(&kNobody);
    }
    Start();
    const std::string log = WaitForLog("udev rule");
    const unsigned int count = DeviceCount();
    EXPECT_EQ(KVT_Stop(), KVT_RESULT_OK);

    EXPECT_EQ(count, 0u);
    EXPECT_EQ(messages_.Count(KVT_MSG_NEW_DEVICE), 0);
    EXPECT_NE(log.find("no read-write access to /dev/" + nodeName), std::string::npos) << log;
    EXPECT_NE(log.find("install the udev rule 60-kvt-sensors.rules"), std::string::npos) << log;
}

TEST_F(LibusbUnderUmockdev, SensorWithoutBulkPipesIsNotOpened) {
    // Both endpoints of the interface turned into interrupt endpoints.
    const auto pipes = [](int transferType) {
        char hex[64];
        std::snprintf(hex, sizeof hex, "0705%02X%02X0002000705%02X%02X000200", kvt_umock::kBulkOut,
                      transferType, kvt_umock::kBulkIn, transferType);
        return std::string(hex);
    };
    std::string text = Description(kvt_umock::kU2);
    const size_t at = text.find(pipes(2));
    ASSERT_NE(at, std::string::npos) << text;
    AddDescription(text.replace(at, pipes(2).size(), pipes(3)));
    LoadRecording(kvt_umock::kU2, kvt_umock::kAnnounced);
    Start();
    const std::string log = WaitForLog("CreateFile for USB device failed");
    EXPECT_NE(log.find("CreateFile for USB device failed (-12)"), std::string::npos) << log;
    EXPECT_EQ(DeviceCount(), 0u);
}

// The recording ends where the capture waits for the sensor's answer.
class SlowLibusbUnderUmockdev : public LibusbUnderUmockdev {};

TEST_F(SlowLibusbUnderUmockdev, TransferWithoutAnswerEndsAtItsTimeOutAndStopReturns) {
    PlugIn(kvt_umock::kU2, kvt_umock::kStalled);
    Start();
    const std::string id = kvt_umock::WaitForDeviceId(kvt_umock::InterfacePath(kvt_umock::kU2));
    ASSERT_FALSE(id.empty());

    const auto captureStart = Clock::now();
    auto capture = std::async(std::launch::async, [&] {
        std::vector<unsigned char> image;
        KVT_CapturedData data{};
        const int result = Capture(id, image, data);
        return std::make_pair(result, Clock::now() - captureStart);
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto stopStart = Clock::now();
    EXPECT_EQ(KVT_Stop(), KVT_RESULT_OK);
    const auto stopTook = Clock::now() - stopStart;
    const auto [result, captureTook] = capture.get();

    EXPECT_NE(result, KVT_RESULT_OK);
    EXPECT_GE(captureTook, std::chrono::milliseconds(4900));
    EXPECT_LT(captureTook, std::chrono::seconds(9));
    EXPECT_LT(stopTook, std::chrono::seconds(9));
    EXPECT_NE(kvt_test::LogText().find("failed: LIBUSB_ERROR_TIMEOUT"), std::string::npos);
}

}  // namespace
