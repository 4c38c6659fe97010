#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "devicemanager/DevicesManager.h"
#include "devicemanager/WorkerThreads.h"
#include "ethernet/EthernetDevice.h"
#include "ethernet/ScriptedSensor.h"
#include "sim/ethernet/EmulatedEthernetSensor.h"
#include "support/LoggedTest.h"
#include "support/LoopbackPort.h"
#include "support/TempDir.h"

using namespace kvt_test;
using testing::HasSubstr;
using testing::Not;

namespace {

struct ListenerSection {
    int port;
    int echoPort;                   // 0: no EchoPort key
    std::string allowedPeers = {};  // empty: no AllowedPeers key
};

std::string ManagerIni(const std::vector<ListenerSection>& listeners) {
    std::string ini =
        "Port=82\nLogFileName=.\\Logfiles\\KVTDeviceManager.log\nLogFileSize=1000000\n"
        "LogLevel=0\nU2AsyncSleepTime=500\nTemperatureCompensation=0\n";
    int n = 0;
    for (const ListenerSection& listener : listeners) {
        ini += "[DeviceListener_" + std::to_string(++n) +
               "]\nIP-Address=127.0.0.1\nPort=" + std::to_string(listener.port) + "\n";
        if (listener.echoPort != 0) ini += "EchoPort=" + std::to_string(listener.echoPort) + "\n";
        if (!listener.allowedPeers.empty()) ini += "AllowedPeers=" + listener.allowedPeers + "\n";
    }
    return ini;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A device manager made from a configuration of the test's own, with its
// Ethernet listeners open but without the manager thread.
class DeviceListenerTest : public LoggedTest {
protected:
    void TearDown() override {
        if (manager_ != nullptr) CDevicesManager::DropInstance();
        std::filesystem::remove(IniPath());
        LoggedTest::TearDown();
    }
    static std::filesystem::path IniPath() { return DataDir() / "KVTDeviceManager.ini"; }

    void StartListeners(const std::vector<ListenerSection>& listeners) {
        WriteFile(IniPath(), ManagerIni(listeners));
        manager_ = CDevicesManager::CreateInstance();
        manager_->CreateDeviceListenerThreads();
    }
    platform::SocketAddress ListenerAddress(int port) {
        platform::SocketAddress address;
        EXPECT_TRUE(platform::MakeSocketAddress("127.0.0.1", port, address));
        return address;
    }
    std::vector<QueuedMessage> TakeMessages() {
        std::vector<QueuedMessage> messages;
        QueuedMessage message;
        while (manager_->MessageQueue().fetchMessage(message)) messages.push_back(message);
        return messages;
    }
    size_t Registered() { return manager_->Devices().Count(); }

    CDevicesManager* manager_ = nullptr;
    const int port_ = UnusedLoopbackPort();
};

TEST_F(DeviceListenerTest, AConnectingSensorIsInitialisedRegisteredAndWatched) {
    EchoService echo;
    StartListeners({{port_, echo.Port()}});
    EXPECT_THAT(LogText(), HasSubstr("DeviceListener: Listening on 127.0.0.1:" +
                                     std::to_string(port_) + " for devices"));
    ScriptedSensor sensor(ListenerAddress(port_), [](ScriptedSensor& sensor) {
        sensor.config[ethernet::kConfigFirmware] = 0x0201;
    });
    ASSERT_TRUE(sensor.Connected());
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5000));
    const auto messages = TakeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].type, kvt__MessageType__NewDevice);
    DevicePtr device = manager_->Devices().First();
    ASSERT_TRUE(device);
    EXPECT_EQ(device->GetDeviceID(), messages[0].deviceId);
    EXPECT_EQ(device->GetConnectionType(), kvt__ConnectionType__ETH);
    EXPECT_EQ(device->GetSerialNumber(), "4711");
    EXPECT_EQ(device->GetFirmwareVersion(), "1.02");
    ASSERT_NE(device->AsEthernetDevice(), nullptr);
    EXPECT_EQ(device->AsEthernetDevice()->EchoPort(), echo.Port());
    // The keep-alive reached the sensor's echo service.
    EXPECT_TRUE(WaitUntil([&] { return echo.Connections() == 1; }, 5000));
    // And the listener takes the next sensor.
    ScriptedSensor second(ListenerAddress(port_));
    EXPECT_TRUE(WaitUntil([&] { return Registered() == 2; }, 5000));
}

TEST_F(DeviceListenerTest, ASensorWithoutEchoServiceIsAddedAndRemovedAtOnce) {
    StartListeners({{port_, UnusedLoopbackPort()}});
    ScriptedSensor sensor(ListenerAddress(port_));
    std::vector<QueuedMessage> messages;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const QueuedMessage& message : TakeMessages()) messages.push_back(message);
            return messages.size() >= 2;
        },
        5000));
    EXPECT_EQ(messages[0].type, kvt__MessageType__NewDevice);
    EXPECT_EQ(messages[1].type, kvt__MessageType__LostDevice);
    EXPECT_EQ(messages[1].deviceId, messages[0].deviceId);
    EXPECT_EQ(Registered(), 0u);
}

TEST_F(DeviceListenerTest, ASensorThatFailsToInitialiseIsClosedAndNotRegistered) {
    EchoService echo;
    StartListeners({{port_, echo.Port()}});
    {
        ScriptedSensor broken(ListenerAddress(port_), [](ScriptedSensor& sensor) {
            sensor.status = ethernet::kDevStatusError;
        });
        ASSERT_TRUE(WaitUntil(
            [&] {
                return LogText().find("failed to initialize new CEthernetDevice") !=
                       std::string::npos;
            },
            5000));
    }
    EXPECT_EQ(Registered(), 0u);
    EXPECT_TRUE(TakeMessages().empty());
    ScriptedSensor working(ListenerAddress(port_));
    EXPECT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5000));
}

TEST_F(DeviceListenerTest, TwoListenersOnOnePortOpenOnlyOne) {
    StartListeners({{port_, 0}, {port_, 0}});
    const std::string log = LogText();
    const std::string line = "DeviceListener: Listening on";
    const size_t first = log.find(line);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find(line, first + 1), std::string::npos);
    EXPECT_EQ(manager_->Config().listeners.size(), 2u);
    EXPECT_EQ(manager_->Config().listeners[0].echoPort, 7);
}

TEST_F(DeviceListenerTest, ShutdownEndsListenersKeepAlivesAndStalledExchanges) {
    EchoService echo;
    StartListeners({{port_, echo.Port()}});
    ScriptedSensor sensor(ListenerAddress(port_));
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5000));
    ASSERT_TRUE(WaitUntil([&] { return echo.Connections() == 1; }, 5000));
    // A capture in the middle of a frame that never completes.
    DevicePtr device = manager_->Devices().First();
    sensor.Queue(Concat({HeaderBytes(ethernet::kGetImage, 300000), Bytes(100, 1)}));
    std::vector<uint8_t> image;
    // Counted before the capture starts, which may send its request at once.
    const size_t before = sensor.Requests().size();
    std::thread capture([&] { device->AsEthernetDevice()->GetNormalImage(image); });
    EXPECT_TRUE(sensor.WaitForRequests(before + 1, 5000));

    manager_->Stop();
    EXPECT_TRUE(manager_->ShutDown(true));
    capture.join();
    EXPECT_TRUE(image.empty());
    EXPECT_EQ(Registered(), 0u);
    // Everything ended within the shutdown's own pauses.
    EXPECT_THAT(LogText(), HasSubstr("DevicesManager ShutDown: open Threads: 0 after 0 loops"));
    // No sensor connects any more.
    ScriptedSensor late(ListenerAddress(port_));
    EXPECT_FALSE(late.Connected());
}

TEST_F(DeviceListenerTest, EchoPortIsReadKeptThroughARewriteAndOtherwiseAbsent) {
    const auto read = [](const std::string& ini) {
        WriteFile(IniPath(), ini);
        DeviceManagerConfig config;
        config.Read(IniPath().string());
        return config;
    };
    EXPECT_EQ(read(ManagerIni({{43000, 7007}})).listeners[0].echoPort, 7007);
    EXPECT_EQ(read(ManagerIni({{43000, 0}})).listeners[0].echoPort, 7);
    // An unusable value means 7 and does not make the file count as repaired.
    const std::string outOfRange = ManagerIni({{43000, 70000}});
    EXPECT_EQ(read(outOfRange).listeners[0].echoPort, 7);
    EXPECT_EQ(ReadFile(IniPath()), outOfRange);

    // A rewrite keeps a configured echo port.
    std::string repaired = ManagerIni({{43000, 7007}});
    repaired.replace(repaired.find("LogLevel=0"), 10, "LogLevel=9");
    EXPECT_EQ(read(repaired).listeners[0].echoPort, 7007);
    EXPECT_THAT(ReadFile(IniPath()), HasSubstr("EchoPort=7007"));
    EXPECT_THAT(ReadFile(IniPath()), HasSubstr("LogLevel=2"));
    // The default file has none.
    std::filesystem::remove(IniPath());
    DeviceManagerConfig defaults;
    defaults.Read(IniPath().string());
    EXPECT_THAT(ReadFile(IniPath()), Not(HasSubstr("EchoPort")));
}

// A TCP client of a listener that sends nothing; it sees whether the library
// closed the connection.
class IdlePeer {
public:
    IdlePeer(const platform::SocketAddress& listener, const char* from) {
        platform::SocketAddress local;
        EXPECT_TRUE(platform::MakeSocketAddress(from, 0, local));
        socket_ = platform::OpenTcpSocket();
        EXPECT_TRUE(platform::BindSocket(socket_, local));
        EXPECT_TRUE(platform::ConnectTcp(socket_, listener, 2000));
    }
    ~IdlePeer() { platform::CloseSocket(socket_); }
    IdlePeer(const IdlePeer&) = delete;
    IdlePeer& operator=(const IdlePeer&) = delete;

    // True once the library sent something (the first request of its set-up).
    bool Asked(int timeoutMs) { return platform::WaitReadable(socket_, timeoutMs) == 1; }
    // True once the library closed its end; requests it sent are skipped.
    bool ClosedWithin(int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (platform::WaitReadable(socket_, 20) != 1) continue;
            uint8_t discard[64];
            if (platform::RecvSome(socket_, discard, sizeof discard) <= 0) return true;
        }
        return false;
    }

private:
    platform::SocketHandle socket_ = platform::kInvalidSocket;
};

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// Peers that connect and then stall, drip or answer too slowly must neither
// keep real sensors out nor hold the listener for long.
class HostileListenerTest : public DeviceListenerTest {
protected:
    // A status answer sent one byte every dripMs.
    static std::function<void(ScriptedSensor&)> Dripping(uint32_t dripMs) {
        return [dripMs](ScriptedSensor& sensor) {
            sensor.Queue(Reply{StatusAnswer(66, 1), SIZE_MAX, dripMs});
        };
    }
};

TEST_F(HostileListenerTest, StallingPeersNeitherKeepASensorOutNorOutliveTheShutdown) {
    const int echoPort = UnusedLoopbackPort();
    StartListeners({{port_, echoPort}});
    // Twenty idle connections from five hosts, a peer dripping a byte every
    // half second and a fake sensor whose answers crawl, all connected first.
    std::vector<std::unique_ptr<IdlePeer>> idle;
    const char* hosts[] = {"127.0.1.1", "127.0.1.2", "127.0.1.3", "127.0.1.4", "127.0.1.5"};
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<IdlePeer>(ListenerAddress(port_), hosts[i % 5]));
    }
    ScriptedSensor drip(ListenerAddress(port_), Dripping(500), "127.0.0.3");
    ScriptedSensor crawl(ListenerAddress(port_), Dripping(100), "127.0.0.4");
    ASSERT_TRUE(drip.WaitForRequests(1, 5000));
    ASSERT_TRUE(crawl.WaitForRequests(1, 5000));

    sim::EthernetSensorConfig config;
    config.listenerPort = port_;
    config.sensorAddress = "127.0.0.2";
    config.serialNumber = 20000042;
    config.echoPort = echoPort;
    sim::EmulatedEthernetSensor sensor(config);
    ASSERT_TRUE(sensor.Start());
    // How soon is the benchmark's business; a listener that sets up one
    // connection at a time needs many seconds per stalling peer here.
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5000));
    EXPECT_EQ(manager_->Devices().First()->GetSerialNumber(), "20000042");
    EXPECT_EQ(Registered(), 1u);  // none of the hostile peers got in
    EXPECT_THAT(LogText(), Not(HasSubstr("too many connections being set up")));

    // The connections still being set up end with the shutdown, in time.
    manager_->Stop();
    EXPECT_TRUE(manager_->ShutDown(true));
    EXPECT_THAT(LogText(), HasSubstr("open Threads: 0 after 0 loops"));
    for (auto& peer : idle) EXPECT_TRUE(peer->ClosedWithin(1000));
}

TEST_F(HostileListenerTest, PeersAreCutAtTheDeadlineAndAHostCannotTakeEveryPlace) {
    EchoService echo("127.0.1.9");
    StartListeners({{port_, echo.Port()}});
    // One host holds its four places with idle connections; a fifth is
    // refused at once, and the log says so.
    std::vector<std::unique_ptr<IdlePeer>> idle;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(std::make_unique<IdlePeer>(ListenerAddress(port_), "127.0.1.9"));
    }
    ScriptedSensor crawl(ListenerAddress(port_), Dripping(100), "127.0.0.4");
    ASSERT_TRUE(crawl.WaitForRequests(1, 5000));
    IdlePeer fifth(ListenerAddress(port_), "127.0.1.9");
    EXPECT_TRUE(fifth.ClosedWithin(1000));
    EXPECT_THAT(LogText(), HasSubstr("refused 127.0.1.9 (too many connections being set up)"));
    EXPECT_FALSE(idle[0]->ClosedWithin(300));

    // The deadline covers the whole set-up: the slow fake sensor, whose every
    // byte comes well within a receive's wait, is dropped with the idle ones.
    for (auto& peer : idle) EXPECT_TRUE(peer->ClosedWithin(5000));
    ASSERT_TRUE(WaitUntil(
        [&] { return Occurrences(LogText(), "did not finish connecting within 2000 ms") == 5; },
        5000));
    EXPECT_THAT(LogText(), HasSubstr("127.0.0.4 did not finish connecting within 2000 ms"));
    EXPECT_EQ(Occurrences(LogText(), "failed to initialize new CEthernetDevice"), 5u);
    EXPECT_EQ(Registered(), 0u);
    EXPECT_TRUE(TakeMessages().empty());

    // The places are free again: a sensor from the same host gets in.
    ScriptedSensor sensor(ListenerAddress(port_), {}, "127.0.1.9");
    EXPECT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5000));
}

TEST_F(HostileListenerTest, StallingPeersOnEveryPlaceGiveWayToASensor) {
    const int echoPort = UnusedLoopbackPort();
    StartListeners({{port_, echoPort}});
    // Eight hosts hold all 32 places with idle connections. Each is asked for
    // its status before the next connects, so none waits in the backlog.
    std::vector<std::unique_ptr<IdlePeer>> idle;
    for (int i = 0; i < 32; ++i) {
        const std::string host = "127.0.2." + std::to_string(1 + i % 8);
        idle.push_back(std::make_unique<IdlePeer>(ListenerAddress(port_), host.c_str()));
        ASSERT_TRUE(idle.back()->Asked(5000));
    }

    // A sensor that keeps trying gets in by taking a stalled peer's place,
    // not by waiting for the stalled peers' deadline.
    sim::EthernetSensorConfig config;
    config.listenerPort = port_;
    config.sensorAddress = "127.0.0.2";
    config.serialNumber = 20000043;
    config.echoPort = echoPort;
    config.reconnectDelayMs = 50;
    sim::EmulatedEthernetSensor sensor(config);
    ASSERT_TRUE(sensor.Start());
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5000));
    EXPECT_TRUE(WaitUntil(
        [&] { return Occurrences(LogText(), "was dropped while connecting, to make room") == 1; },
        5000));
    EXPECT_EQ(Occurrences(LogText(), "did not finish connecting within"), 0u);
    sensor.Stop();
}

TEST_F(HostileListenerTest, AllowedPeersAdmitOnlyTheirAddressesAndAreKeptThroughARewrite) {
    EchoService echo("127.0.3.7");
    StartListeners({{port_, echo.Port(), "127.0.0.2, 127.0.3.0/24, sensor-9"}});
    const std::string log = LogText();
    EXPECT_THAT(log, HasSubstr("ignores AllowedPeers entry \"sensor-9\""));
    EXPECT_THAT(log, HasSubstr("admits only AllowedPeers 127.0.0.2, 127.0.3.0/24, sensor-9"));

    IdlePeer stranger(ListenerAddress(port_), "127.0.0.1");
    EXPECT_TRUE(stranger.ClosedWithin(2000));
    EXPECT_THAT(LogText(), HasSubstr("refused 127.0.0.1 (not in AllowedPeers)"));
    ScriptedSensor allowed(ListenerAddress(port_), {}, "127.0.3.7");
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5000));
    EXPECT_EQ(Registered(), 1u);

    // A repaired file keeps the list; a file without one gets none.
    std::string ini = ManagerIni({{43000, 0, "10.1.2.3,10.9.0.0/16"}});
    ini.replace(ini.find("LogLevel=0"), 10, "LogLevel=9");
    WriteFile(IniPath(), ini);
    DeviceManagerConfig config;
    EXPECT_TRUE(config.Read(IniPath().string()));
    EXPECT_EQ(config.listeners.at(0).allowedPeers, "10.1.2.3,10.9.0.0/16");
    EXPECT_THAT(ReadFile(IniPath()), HasSubstr("AllowedPeers=10.1.2.3,10.9.0.0/16"));
    ini = ManagerIni({{43000, 0}});
    ini.replace(ini.find("LogLevel=0"), 10, "LogLevel=9");
    WriteFile(IniPath(), ini);
    EXPECT_TRUE(config.Read(IniPath().string()));
    EXPECT_EQ(config.listeners.at(0).allowedPeers, "");
    EXPECT_THAT(ReadFile(IniPath()), Not(HasSubstr("AllowedPeers")));
}

// The keep-alive needs a whole period to notice a silent sensor.
class SlowDeviceListenerTest : public DeviceListenerTest {};

TEST_F(SlowDeviceListenerTest, ASensorWhoseEchoFallsSilentIsRemovedWithinOnePeriod) {
    EchoService echo;
    StartListeners({{port_, echo.Port()}});
    ScriptedSensor sensor(ListenerAddress(port_));
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5000));
    // One answered probe, then silence.
    ASSERT_TRUE(WaitUntil([&] { return echo.Echoes() >= 1; }, 12000));
    echo.StopAnswering();
    // 10 s until the next probe and at most 5 s waiting for its answer.
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 0; }, 16000));
    bool lost = false;
    for (const QueuedMessage& message : TakeMessages()) {
        lost |= message.type == kvt__MessageType__LostDevice;
    }
    EXPECT_TRUE(lost);
}

}  // namespace
