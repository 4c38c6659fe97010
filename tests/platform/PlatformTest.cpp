#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/CritSec.h"
#include "platform/Event.h"
#include "platform/Paths.h"
#include "platform/Sockets.h"
#include "platform/SystemMutex.h"
#include "platform/Thread.h"
#include "platform/Time.h"
#include "support/TempDir.h"

#ifdef KVT_HAVE_LIBUSB
#include <libusb-1.0/libusb.h>

#include "platform/posix/LibusbPaths.h"
#endif

namespace fs = std::filesystem;

namespace {

TEST(EventTest, AutoResetReleasesOneWaitManualResetStaysUntilResetAndWaitsTakeTheirTime) {
    platform::CEvent autoReset(false, true);
    EXPECT_TRUE(autoReset.Wait(0));
    EXPECT_FALSE(autoReset.Wait(0));
    autoReset.Set();
    EXPECT_TRUE(autoReset.Wait(10));
    EXPECT_FALSE(autoReset.Wait(10));

    // A wait that times out takes its time.
    platform::CEvent manual(true, false);
    const uint32_t before = platform::GetTickCount32();
    EXPECT_FALSE(manual.Wait(30));
    EXPECT_GE(static_cast<uint32_t>(platform::GetTickCount32() - before), 30u);
    manual.Set();
    EXPECT_TRUE(manual.Wait(0) && manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));

    // A set from another thread wakes a waiter.
    std::thread setter([&autoReset] {
        platform::SleepMs(20);
        autoReset.Set();
    });
    EXPECT_TRUE(autoReset.Wait(platform::kInfinite));
    setter.join();
}

TEST(CritSecTest, IsRecursiveAndExcludesOtherThreads) {
    CCritSec cs;
    CCritSecLock outer(cs);
    {
        CCritSecLock inner(cs);  // the holder may enter again
    }
    std::atomic<bool> otherGotIt{true};
    std::thread other([&] { otherGotIt = cs.TryEnter(); });
    other.join();
    EXPECT_FALSE(otherGotIt);
}

TEST(SystemMutexTest, OneHolderAtATimeEvenInTheSameProcess) {
    platform::CSystemMutex first;
    ASSERT_EQ(first.Create("KVT_TestMutex"), platform::CSystemMutex::Result::Created);
    EXPECT_TRUE(first.IsHeld());

    platform::CSystemMutex second;
    EXPECT_EQ(second.Create("KVT_TestMutex"), platform::CSystemMutex::Result::AlreadyExists);
    EXPECT_FALSE(second.IsHeld());
    EXPECT_EQ(second.Create("KVT_OtherMutex"), platform::CSystemMutex::Result::Created);

    first.Close();
    platform::CSystemMutex third;
    EXPECT_EQ(third.Create("KVT_TestMutex"), platform::CSystemMutex::Result::Created);
}

TEST(PathsTest, FoldersAreCreatedWithEveryParentAndTheDataFolderFollowsTheOverride) {
    kvt_test::TempDir dir("kvt-paths");
    const fs::path deep = dir / "a" / "b" / "c";
    EXPECT_TRUE(platform::CreateDirectories(deep.string()) && fs::is_directory(deep));
    EXPECT_TRUE(platform::CreateDirectories(deep.string()));  // existing is fine

    const fs::path wanted = dir / "nested" / "data";
    const std::string saved = kvt_test::DataDir().string();
    kvt_test::SetEnv("KVT_DATA_DIR", wanted.string());
    const std::string folder = platform::DataFolder();
    kvt_test::SetEnv("KVT_DATA_DIR", saved);
    EXPECT_EQ(folder, wanted.string());
    EXPECT_TRUE(fs::is_directory(wanted));
}

TEST(ThreadTest, WaitForEndReportsTheEndOrTheTimeOutAndAnAbandonedThreadRunsOn) {
    auto release = std::make_shared<platform::CEvent>(true, false);
    auto finished = std::make_shared<platform::CEvent>(true, false);
    platform::CThread thread;
    ASSERT_TRUE(thread.Start([release] { release->Wait(platform::kInfinite); }));
    EXPECT_TRUE(thread.IsValid());
    EXPECT_FALSE(thread.Start([] {}));  // one thread per object
    EXPECT_FALSE(thread.WaitForEnd(20) || thread.HasEnded());
    release->Set();
    EXPECT_TRUE(thread.WaitForEnd(5000));
    EXPECT_FALSE(thread.IsValid());

    // Abandoned, the thread runs on and the object takes the next one.
    release->Reset();
    ASSERT_TRUE(thread.Start([release, finished] {
        release->Wait(platform::kInfinite);
        finished->Set();
    }));
    thread.Abandon();
    EXPECT_FALSE(thread.IsValid());
    ASSERT_TRUE(thread.Start([] {}));
    EXPECT_TRUE(thread.WaitForEnd(5000));
    release->Set();
    EXPECT_TRUE(finished->Wait(5000));
}

using platform::SocketAddress;
using platform::SocketHandle;

// A listener on an ephemeral loopback port, closed at the end of the test.
struct Listener {
    SocketHandle socket = platform::OpenTcpSocket();
    SocketAddress address;

    explicit Listener(const char* ip = "127.0.0.1") {
        SocketAddress any;
        EXPECT_TRUE(platform::MakeSocketAddress(ip, 0, any));
        EXPECT_TRUE(platform::BindListener(socket, any, 5));
        EXPECT_TRUE(platform::LocalAddress(socket, address));
    }
    ~Listener() { platform::CloseSocket(socket); }
};

TEST(SocketsTest, AddressesConvertBetweenTextAndNetworkOrder) {
    SocketAddress address;
    ASSERT_TRUE(platform::MakeSocketAddress("192.168.1.20", 43981, address));
    // The port 0xABCD and the address follow the family, high byte first.
    const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
    EXPECT_EQ(std::vector(bytes + 2, bytes + 8),
              (std::vector<uint8_t>{0xAB, 0xCD, 192, 168, 1, 20}));
    EXPECT_EQ(
        std::tuple(address.family, platform::AddressText(address), platform::AddressPort(address)),
        std::tuple(2, "192.168.1.20", 43981));
    for (const char* bad :
         {"192.168.1", "256.1.1.1", "localhost", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(platform::MakeSocketAddress(bad, 1, address));
}

TEST(SocketsTest, AcceptedConnectionKnowsBothAddressesAndAClosedPeerIsNoSignal) {
    Listener listener;
    const SocketHandle client = platform::OpenTcpSocket();
    SocketAddress from;
    ASSERT_TRUE(platform::MakeSocketAddress("127.0.0.2", 0, from));
    ASSERT_TRUE(platform::BindSocket(client, from));
    ASSERT_TRUE(platform::ConnectTcp(client, listener.address, 2000));

    SocketHandle server = platform::kInvalidSocket;
    SocketAddress local, remote;
    ASSERT_TRUE(platform::AcceptTcp(listener.socket, server, local, remote, {}));
    EXPECT_EQ(std::tuple(platform::AddressText(local), platform::AddressPort(local),
                         platform::AddressText(remote)),
              std::tuple("127.0.0.1", platform::AddressPort(listener.address), "127.0.0.2"));

    // Data both ways is every Ethernet test's business. A closed peer reads as
    // 0 bytes, and writing to it is an error rather than a signal that ends
    // the process.
    EXPECT_EQ(platform::WaitReadable(server, 0), 0);
    platform::CloseSocket(client);
    char text[8] = {};
    EXPECT_EQ(platform::WaitReadable(server, 2000), 1);
    EXPECT_EQ(platform::RecvSome(server, text, sizeof text), 0);
    int result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i) result = platform::SendSome(server, text, 8);
    EXPECT_EQ(result, -1);
    platform::CloseSocket(server);
}

TEST(SocketsTest, APortTakesOneListenerWhoseAcceptReturnsWhenAskedToStop) {
    Listener listener;
    // A wildcard listener on the same port fails too.
    SocketAddress any;
    ASSERT_TRUE(
        platform::MakeSocketAddress("0.0.0.0", platform::AddressPort(listener.address), any));
    for (const SocketAddress& again : {listener.address, any}) {
        const SocketHandle second = platform::OpenTcpSocket();
        EXPECT_FALSE(platform::BindListener(second, again, 5));
        platform::CloseSocket(second);
    }

    SocketHandle connection = platform::kInvalidSocket;
    SocketAddress local, remote;
    std::atomic<int> asked{0};
    EXPECT_FALSE(platform::AcceptTcp(listener.socket, connection, local, remote,
                                     [&] { return ++asked < 3; }));
    EXPECT_EQ(std::tuple(connection, asked.load()), std::tuple(platform::kInvalidSocket, 3));
}

#ifdef KVT_HAVE_LIBUSB
libusb_endpoint_descriptor Endpoint(uint8_t address, uint8_t type) {
    libusb_endpoint_descriptor endpoint{};
    endpoint.bEndpointAddress = address;
    endpoint.bmAttributes = type;
    return endpoint;
}

libusb_interface_descriptor Interface(const std::vector<libusb_endpoint_descriptor>& endpoints) {
    libusb_interface_descriptor interface {};
    interface.bNumEndpoints = static_cast<uint8_t>(endpoints.size());
    interface.endpoint = endpoints.data();
    return interface;
}

// Port chains of sensors are LibusbUnderUmockdev's business, which finds its
// sensors at 1-1 and behind a hub at 1-2.3.
TEST(LibusbPathsTest, PathsHaveTheDriverInterfaceFormInLowerCaseEvenWithoutAPortChain) {
    EXPECT_EQ(platform::FormatLibusbPath(0x1d6b, 0xABCD, 2, {}),
              "\\\\?\\usb#vid_1d6b&pid_abcd#2-0#{4f6e7f7f-b621-403a-9af3-8cd5a6a1daa4}");
}

TEST(LibusbPathsTest, PipesAreTheFirstBulkOutAndInEndpointsWhenThereAreBoth) {
    const std::vector<libusb_endpoint_descriptor> endpoints{
        Endpoint(0x81, LIBUSB_TRANSFER_TYPE_INTERRUPT), Endpoint(0x82, LIBUSB_TRANSFER_TYPE_BULK),
        Endpoint(0x02, LIBUSB_TRANSFER_TYPE_BULK), Endpoint(0x83, LIBUSB_TRANSFER_TYPE_BULK),
        Endpoint(0x04, LIBUSB_TRANSFER_TYPE_BULK)};
    uint8_t out = 0, in = 0;
    ASSERT_TRUE(platform::FindBulkEndpoints(Interface(endpoints), out, in));
    EXPECT_EQ(std::tuple(out, in), std::tuple(0x02, 0x82));

    const std::vector<libusb_endpoint_descriptor> onlyIn{
        Endpoint(0x81, LIBUSB_TRANSFER_TYPE_BULK),
        Endpoint(0x02, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS)};
    EXPECT_FALSE(platform::FindBulkEndpoints(Interface(onlyIn), out, in));
}
#endif

}  // namespace
