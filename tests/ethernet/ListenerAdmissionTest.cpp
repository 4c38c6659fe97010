#include "ethernet/ListenerAdmission.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "ethernet/ScriptedSensor.h"

namespace {

// Peers are told apart by their address alone.
platform::SocketAddress Address(const char* text) {
    return kvt_test::Loopback(text, 4000);
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
        for (const char* peer : c.allowed) EXPECT_TRUE(filter.Allows(Address(peer))) << peer;
        for (const char* peer : c.refused) EXPECT_FALSE(filter.Allows(Address(peer))) << peer;
    }
}

TEST(HandshakeSlotsTest, BoundsHoldInAllAndPerPeerAndPlacesComeBack) {
    const auto slots = std::make_shared<CHandshakeSlots>(5, 2, std::chrono::hours(1));
    const auto a = Address("10.0.0.1");
    // Two per peer, five in all.
    std::vector<CHandshakeSlots::Slot> held;
    const char* peers[] = {"10.0.0.1", "10.0.0.1", "10.0.0.1", "10.0.0.2",
                           "10.0.0.2", "10.0.0.3", "10.0.0.4"};
    const bool taken[] = {true, true, false, true, true, true, false};
    for (size_t i = 0; i < std::size(peers); ++i) {
        held.push_back(slots->TryTake(Address(peers[i]), {}));
        EXPECT_EQ(static_cast<bool>(held.back()), taken[i]) << i;
    }
    EXPECT_EQ(slots->InUse(), 5u);

    // A moved slot is given back once, by its last holder.
    CHandshakeSlots::Slot moved = std::move(held[0]);
    held.erase(held.begin());
    EXPECT_EQ(slots->InUse(), 5u);
    moved = CHandshakeSlots::Slot{};
    EXPECT_EQ(slots->InUse(), 4u);
    EXPECT_TRUE(slots->TryTake(a, {}));  // taken and given back at once
    EXPECT_EQ(slots->InUse(), 4u);
    held.clear();
    EXPECT_EQ(slots->InUse(), 0u);

    // A slot outliving the listener's own reference gives its place back
    // into an owner it kept alive (the sanitizer builds would see otherwise).
    CHandshakeSlots::Slot survivor;
    std::weak_ptr<CHandshakeSlots> owner;
    {
        const auto temporary = std::make_shared<CHandshakeSlots>(1, 1, std::chrono::hours(1));
        owner = temporary;
        survivor = temporary->TryTake(a, {});
    }
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
    CHandshakeSlots::Slot first = slots->TryTake(Address("10.0.0.1"), cutter(1), start);
    CHandshakeSlots::Slot second = slots->TryTake(Address("10.0.0.2"), cutter(2), start);
    // Set-ups younger than the limit keep their places; a peer over its share
    // never takes another's.
    EXPECT_FALSE(
        slots->TryTake(Address("10.0.0.3"), cutter(3), start + std::chrono::milliseconds(249)));
    EXPECT_FALSE(slots->TryTake(Address("10.0.0.2"), cutter(3), start + std::chrono::seconds(1)));
    EXPECT_TRUE(cut.empty());

    // The oldest is cut and its place is the newcomer's at once; its own
    // slot then gives nothing back.
    CHandshakeSlots::Slot third =
        slots->TryTake(Address("10.0.0.3"), cutter(3), start + std::chrono::milliseconds(250));
    ASSERT_TRUE(third);
    EXPECT_EQ(cut, std::vector<int>{1});
    EXPECT_EQ(slots->InUse(), 2u);
    first = CHandshakeSlots::Slot{};
    EXPECT_EQ(slots->InUse(), 2u);
    third = CHandshakeSlots::Slot{};
    EXPECT_EQ(slots->InUse(), 1u);
}

}  // namespace
