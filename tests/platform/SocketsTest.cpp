#include "platform/Sockets.h"

#include <gtest/gtest.h>

#include <atomic>

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
    EXPECT_EQ(address.family, 2);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
    EXPECT_EQ(bytes[2], 0xAB);  // port 0xABCD, high byte first
    EXPECT_EQ(bytes[3], 0xCD);
    EXPECT_EQ(bytes[4], 192);
    EXPECT_EQ(bytes[7], 20);
    EXPECT_EQ(platform::AddressText(address), "192.168.1.20");
    EXPECT_EQ(platform::AddressPort(address), 43981);

    EXPECT_FALSE(platform::MakeSocketAddress("192.168.1", 1, address));
    EXPECT_FALSE(platform::MakeSocketAddress("256.1.1.1", 1, address));
    EXPECT_FALSE(platform::MakeSocketAddress("localhost", 1, address));
    EXPECT_FALSE(platform::MakeSocketAddress(nullptr, 1, address));
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
    EXPECT_EQ(platform::AddressText(local), "127.0.0.1");
    EXPECT_EQ(platform::AddressPort(local), platform::AddressPort(listener.address));
    EXPECT_EQ(platform::AddressText(remote), "127.0.0.2");

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

TEST(SocketsTest, APortTakesOneListenerAndOnceClosedNoConnection) {
    SocketAddress closed;
    {
        Listener first;
        closed = first.address;
        const SocketHandle second = platform::OpenTcpSocket();
        EXPECT_FALSE(platform::BindListener(second, first.address, 5));
        platform::CloseSocket(second);

        // A wildcard listener on the same port fails too.
        SocketAddress any;
        ASSERT_TRUE(
            platform::MakeSocketAddress("0.0.0.0", platform::AddressPort(first.address), any));
        const SocketHandle third = platform::OpenTcpSocket();
        EXPECT_FALSE(platform::BindListener(third, any, 5));
        platform::CloseSocket(third);
    }
    const SocketHandle client = platform::OpenTcpSocket();
    EXPECT_FALSE(platform::ConnectTcp(client, closed, 2000));
    platform::CloseSocket(client);
}

TEST(SocketsTest, AcceptReturnsWhenAskedToStop) {
    Listener listener;
    SocketHandle connection = platform::kInvalidSocket;
    SocketAddress local, remote;
    std::atomic<int> asked{0};
    EXPECT_FALSE(platform::AcceptTcp(listener.socket, connection, local, remote,
                                     [&] { return ++asked < 3; }));
    EXPECT_EQ(connection, platform::kInvalidSocket);
    EXPECT_EQ(asked.load(), 3);
}

}  // namespace
