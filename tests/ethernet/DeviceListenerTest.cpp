#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "devicemanager/DevicesManager.h"
#include "devicemanager/WorkerThreads.h"
#include "ethernet/EthernetDevice.h"
#include "ethernet/ListenerAdmission.h"
#include "ethernet/ScriptedSensor.h"
#include "sim/ethernet/EchoService.h"
#include "sim/ethernet/EmulatedEthernetSensor.h"
#include "support/DefaultConfig.h"
#include "support/LoggedTest.h"
#include "support/LoopbackPort.h"
#include "support/QueuedMessages.h"
#include "support/TempDir.h"
#include "support/Wait.h"

using namespace kvt_test;
using namespace std::chrono_literals;
using testing::HasSubstr;

namespace {

// A device manager made from a configuration of the test's own, with its
// Ethernet listeners open but without the manager thread.
class DeviceListenerTest : public LoggedTest {
protected:
    void TearDown() override {
        if (manager_ != nullptr) CDevicesManager::DropInstance();
        LoggedTest::TearDown();
    }
    static std::string Listening(int port) {
        return "IP-Address=127.0.0.1\nPort=" + std::to_string(port) + "\n";
    }

    // One listener on port_ with the echo port, and the lines that follow it.
    void StartListeners(int echoPort, const std::string& more = {}) {
        WriteFile(DataDir() / "KVTDeviceManager.ini",
                  ManagerSettings(0) + "[DeviceListener_1]\n" + Listening(port_) +
                      "EchoPort=" + std::to_string(echoPort) + "\n" + more);
        manager_ = CDevicesManager::CreateInstance();
        manager_->CreateDeviceListenerThreads();
    }
    // A sensor's echo service on a free port of the address.
    static std::unique_ptr<sim::EchoService> Echo(
        const char* address = "127.0.0.1",
        sim::EchoService::Reporter report = [](int, const std::string&) {}) {
        auto echo = std::make_unique<sim::EchoService>(std::move(report));
        EXPECT_TRUE(echo->Start(Loopback(address, 0)));
        return echo;
    }
    size_t Registered() { return manager_->Devices().Count(); }

    CDevicesManager* manager_ = nullptr;
    const int port_ = UnusedLoopbackPort();
    const platform::SocketAddress listener_ = Loopback("127.0.0.1", port_);
};

TEST_F(DeviceListenerTest, AConnectingSensorIsRegisteredAndWatchedUntilTheShutdownEndsAll) {
    std::atomic<int> connections{0};
    const auto echo = Echo("127.0.0.1", [&](int, const std::string& text) {
        connections += text.rfind("echo connection from", 0) == 0;
    });
    // A second listener on the same port is kept in the settings but not opened.
    StartListeners(echo->Port(), "[DeviceListener_2]\n" + Listening(port_));
    EXPECT_EQ(Occurrences(LogText(), "DeviceListener: Listening on 127.0.0.1:" +
                                         std::to_string(port_) + " for devices"),
              1u);
    EXPECT_EQ(manager_->Config().listeners.size(), 2u);
    // What the sensor says of itself reaches the application: EthernetSensorTest.
    ScriptedSensor sensor(listener_);
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5s));
    DevicePtr device = manager_->Devices().First();
    EXPECT_EQ(device->AsEthernetDevice()->EchoPort(), echo->Port());
    // The keep-alive reached the sensor's echo service.
    ASSERT_TRUE(WaitUntil([&] { return connections == 1; }, 5s));

    // A capture in the middle of a frame that never completes.
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
    ScriptedSensor late(listener_);
    EXPECT_FALSE(late.Connected());
}

// Peers that connect and then stall, drip or answer too slowly must neither
// keep real sensors out nor hold the listener for long.
class HostileListenerTest : public DeviceListenerTest {
protected:
    // A peer that connects from the address and answers nothing.
    std::unique_ptr<ScriptedSensor> IdlePeer(const char* from) {
        auto peer = std::make_unique<ScriptedSensor>(
            listener_, [](ScriptedSensor& sensor) { sensor.autoAnswer = false; }, from);
        EXPECT_TRUE(peer->Connected());
        return peer;
    }
};

TEST_F(HostileListenerTest, PeersAreCutAtTheDeadlineAndAHostCannotTakeEveryPlace) {
    const auto echo = Echo("127.0.1.9");
    StartListeners(echo->Port());
    // One host holds its four places with idle connections; a fifth is
    // refused at once, and the log says so.
    std::vector<std::unique_ptr<ScriptedSensor>> idle;
    for (int i = 0; i < 4; ++i) idle.push_back(IdlePeer("127.0.1.9"));
    // A fake sensor whose status answer comes one byte every 100 ms.
    const auto crawling = [](ScriptedSensor& fake) { fake.Queue(Reply{StatusAnswer(66, 1), 100}); };
    ScriptedSensor crawl(listener_, crawling, "127.0.0.4");
    ASSERT_TRUE(crawl.WaitForRequests(1, 5000));
    EXPECT_TRUE(IdlePeer("127.0.1.9")->ClosedWithin(1000));
    EXPECT_THAT(LogText(), HasSubstr("refused 127.0.1.9 (too many connections being set up)"));
    EXPECT_FALSE(idle[0]->ClosedWithin(300));

    // The deadline covers the whole set-up: the slow fake sensor, whose every
    // byte comes well within a receive's wait, is dropped with the idle ones.
    for (auto& peer : idle) EXPECT_TRUE(peer->ClosedWithin(5000));
    ASSERT_TRUE(WaitUntil(
        [&] { return Occurrences(LogText(), "did not finish connecting within 2000 ms") == 5; },
        5s));
    EXPECT_THAT(LogText(), HasSubstr("127.0.0.4 did not finish connecting within 2000 ms"));
    EXPECT_EQ(Occurrences(LogText(), "failed to initialize new CEthernetDevice"), 5u);
    EXPECT_EQ(Registered(), 0u);
    EXPECT_TRUE(TakeQueued(manager_->MessageQueue()).empty());

    // The places are free again: a sensor from the same host gets in.
    ScriptedSensor sensor(listener_, {}, "127.0.1.9");
    EXPECT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5s));
}

TEST_F(HostileListenerTest, StallingPeersOnEveryPlaceGiveWayToASensorAndEndWithTheShutdown) {
    const int echoPort = UnusedLoopbackPort();
    StartListeners(echoPort);
    // Eight hosts hold all 32 places with idle connections. Each is asked for
    // its status before the next connects, so none waits in the backlog; a
    // listener that sets up one connection at a time fails here.
    std::vector<std::unique_ptr<ScriptedSensor>> idle;
    for (int i = 0; i < 32; ++i) {
        const std::string host = "127.0.2." + std::to_string(1 + i % 8);
        idle.push_back(IdlePeer(host.c_str()));
        ASSERT_TRUE(idle.back()->WaitForRequests(1, 5000));
    }

    // A sensor that keeps trying gets in by taking a stalled peer's place,
    // not by waiting for the stalled peers' deadline. How soon is the
    // benchmark's business.
    sim::EthernetSensorConfig config;
    config.listenerPort = port_;
    config.serialNumber = 20000043;
    config.echoPort = echoPort;
    config.reconnectDelayMs = 50;
    sim::EmulatedEthernetSensor sensor(config);
    ASSERT_TRUE(sensor.Start());
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5s));
    EXPECT_EQ(manager_->Devices().First()->GetSerialNumber(), "20000043");
    EXPECT_TRUE(WaitUntil(
        [&] { return Occurrences(LogText(), "was dropped while connecting, to make room") == 1; },
        5s));
    EXPECT_EQ(Occurrences(LogText(), "did not finish connecting within"), 0u);

    // The connections still being set up end with the shutdown, in time.
    manager_->Stop();
    EXPECT_TRUE(manager_->ShutDown(true));
    EXPECT_THAT(LogText(), HasSubstr("open Threads: 0 after 0 loops"));
    for (auto& peer : idle) EXPECT_TRUE(peer->ClosedWithin(1000));
    sensor.Stop();
}

TEST_F(HostileListenerTest, AllowedPeersAdmitOnlyTheirAddresses) {
    const auto echo = Echo("127.0.3.7");
    StartListeners(echo->Port(), "AllowedPeers=127.0.0.2, 127.0.3.0/24, sensor-9\n");
    const std::string log = LogText();
    EXPECT_THAT(log, HasSubstr("ignores AllowedPeers entry \"sensor-9\""));
    EXPECT_THAT(log, HasSubstr("admits only AllowedPeers 127.0.0.2, 127.0.3.0/24, sensor-9"));

    EXPECT_TRUE(IdlePeer("127.0.0.1")->ClosedWithin(2000));
    EXPECT_THAT(LogText(), HasSubstr("refused 127.0.0.1 (not in AllowedPeers)"));
    ScriptedSensor allowed(listener_, {}, "127.0.3.7");
    ASSERT_TRUE(WaitUntil([&] { return Registered() == 1; }, 5s));
    EXPECT_EQ(Registered(), 1u);
}

TEST(PeerFilterTest, AddressesAndPrefixesAdmitExactlyTheirPeersAndUnusableEntriesAreReported) {
    // A list, its entries rejected, whether it restricts, peers admitted and refused.
    struct Case {
        const char* list;
        std::vector<std::string> rejected;
        bool restricted;
        std::vector<const char*> allowed, refused;
    };
    const Case cases[] = {
        {" 192.168.1.20,10.0.0.0/8\t172.16.4.0/23 ,,",
         {},
         true,
         {"192.168.1.20", "10.0.0.0", "10.255.255.255", "172.16.4.1", "172.16.5.254"},
         {"192.168.1.21", "192.168.1.2", "11.0.0.1", "9.255.255.255", "172.16.6.1", "172.16.3.255",
          "0.0.0.0"}},
        // A prefix given with host bits set covers its whole network.
        {"127.0.3.9/24", {}, true, {"127.0.3.200"}, {"127.0.4.9"}},
        {"0.0.0.0/0", {}, true, {"203.0.113.7"}, {}},
        {"999.1.1.1, 10.0.0.1/33, sensor-7, 10.0.0.2/, 1.2.3, 10.0.0.3/-1, 10.0.0.4/8x, 10.0.0.5",
         {"999.1.1.1", "10.0.0.1/33", "sensor-7", "10.0.0.2/", "1.2.3", "10.0.0.3/-1",
          "10.0.0.4/8x"},
         true,
         {"10.0.0.5"},
         {"10.0.0.1"}},
        // A list with nothing usable lets nobody in, rather than everybody.
        {"localhost", {"localhost"}, true, {}, {"127.0.0.1"}},
        // Without a list (or with only separators) anyone may connect.
        {"", {}, false, {"198.51.100.1"}, {}},
        {" , \t", {}, false, {"198.51.100.1"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        std::vector<std::string> rejected;
        const CPeerFilter filter = CPeerFilter::Parse(c.list, rejected);
        EXPECT_EQ(std::tuple(rejected, filter.IsRestricted()),
                  std::tuple(c.rejected, c.restricted));
        for (const char* peer : c.allowed) EXPECT_TRUE(filter.Allows(Loopback(peer, 0))) << peer;
        for (const char* peer : c.refused) EXPECT_FALSE(filter.Allows(Loopback(peer, 0))) << peer;
    }
}

// The bounds per host and in all are held by the listener tests above.
TEST(HandshakeSlotsTest, APlaceComesBackOnceFromItsLastHolderIntoAnOwnerItKeptAlive) {
    const auto a = Loopback("10.0.0.1", 0);
    CHandshakeSlots::Slot survivor;
    std::weak_ptr<CHandshakeSlots> owner;
    {
        const auto slots = std::make_shared<CHandshakeSlots>(5, 5, std::chrono::hours(1));
        owner = slots;
        CHandshakeSlots::Slot first = slots->TryTake(a, {}), second = slots->TryTake(a, {});
        survivor = std::move(first);
        first = CHandshakeSlots::Slot{};
        EXPECT_EQ(slots->InUse(), 2u);
        second = CHandshakeSlots::Slot{};
        EXPECT_TRUE(slots->TryTake(a, {}));  // taken and given back at once
        EXPECT_EQ(slots->InUse(), 1u);
    }
    // Outliving the listener's own reference, it gives its place back into
    // the owner it kept alive (the sanitizer builds would see otherwise).
    ASSERT_TRUE(survivor);
    EXPECT_FALSE(owner.expired());
    survivor = CHandshakeSlots::Slot{};
    EXPECT_TRUE(owner.expired());
}

TEST(HandshakeSlotsTest, WhenFullTheOldestStalledSetUpGivesWayToANewcomer) {
    using Clock = CHandshakeSlots::Clock;
    const auto slots = std::make_shared<CHandshakeSlots>(2, 1, std::chrono::milliseconds(250));
    const Clock::time_point start{};
    std::vector<int> cut;
    const auto cutter = [&cut](int which) { return [&cut, which] { cut.push_back(which); }; };
    CHandshakeSlots::Slot first = slots->TryTake(Loopback("10.0.0.1", 0), cutter(1), start);
    CHandshakeSlots::Slot second = slots->TryTake(Loopback("10.0.0.2", 0), cutter(2), start);
    // Set-ups younger than the limit keep their places; a peer over its share
    // never takes another's.
    EXPECT_FALSE(
        slots->TryTake(Loopback("10.0.0.3", 0), cutter(3), start + std::chrono::milliseconds(249)));
    EXPECT_FALSE(
        slots->TryTake(Loopback("10.0.0.2", 0), cutter(3), start + std::chrono::seconds(1)));
    EXPECT_TRUE(cut.empty());

    // The oldest is cut and its place is the newcomer's at once; its own
    // slot then gives nothing back.
    CHandshakeSlots::Slot third =
        slots->TryTake(Loopback("10.0.0.3", 0), cutter(3), start + std::chrono::milliseconds(250));
    ASSERT_TRUE(third);
    EXPECT_EQ(cut, std::vector<int>{1});
    EXPECT_EQ(slots->InUse(), 2u);
    first = CHandshakeSlots::Slot{};
    EXPECT_EQ(slots->InUse(), 2u);
    third = CHandshakeSlots::Slot{};
    EXPECT_EQ(slots->InUse(), 1u);
}

}  // namespace
