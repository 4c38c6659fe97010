#include "platform/Sockets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <tuple>
#include <vector>

namespace {

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

TEST(SocketsTest, AcceptedConnectionKnowsBothAddressesAndCarriesData) {
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

    EXPECT_EQ(platform::WaitReadable(server, 0), 0);
    EXPECT_EQ(platform::SendSome(client, "ping", 4), 4);
    EXPECT_EQ(platform::WaitReadable(server, 2000), 1);
    char text[8] = {};
    EXPECT_EQ(platform::RecvSome(server, text, sizeof text), 4);
    EXPECT_STREQ(text, "ping");

    // A closed peer reads as 0 bytes, and writing to it is an error rather
    // than a signal that ends the process.
    platform::CloseSocket(client);
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

}  // namespace
