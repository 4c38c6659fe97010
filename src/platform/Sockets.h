#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

#ifdef _WIN32
using SocketHandle = uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~static_cast<SocketHandle>(0);
#else
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
#endif

// An IPv4 socket address with the layout of sockaddr_in: family 2, then port
// and address in network byte order, then 8 zero bytes.
struct SocketAddress {
    uint16_t family = 2;
    uint16_t port = 0;
    uint32_t address = 0;
    uint8_t zero[8] = {};
};
static_assert(sizeof(SocketAddress) == 16);

// Initialises the socket library (Winsock 2.0 on Windows; nothing elsewhere).
bool SocketLibraryStartup();
void SocketLibraryCleanup();

// Closes a socket so that a thread blocked on it returns.
void CloseSocket(SocketHandle socket);

// Ends both directions of a connection without closing the handle: a thread
// blocked in a send or receive on it returns, and the handle stays valid until
// its owner closes it.
void ShutdownSocket(SocketHandle socket);

// Fills an address from dotted IPv4 text and a host-order port; false when
// the text is not an IPv4 address.
bool MakeSocketAddress(const char* text, int port, SocketAddress& address);
// Dotted text of the address ("127.0.0.1"), without the port.
std::string AddressText(const SocketAddress& address);
// Host-order port of the address.
int AddressPort(const SocketAddress& address);

// A new TCP stream socket, or kInvalidSocket.
SocketHandle OpenTcpSocket();

// Binds a socket that will connect out (port 0 picks any port).
bool BindSocket(SocketHandle socket, const SocketAddress& address);

// Binds a socket that will accept connections and starts listening, so that
// the address is taken by this socket alone: a second listener on the same
// address and port fails here.
bool BindListener(SocketHandle socket, const SocketAddress& address, int backlog);

// The address a socket is bound to (its port once bound to port 0).
bool LocalAddress(SocketHandle socket, SocketAddress& address);

// Puts a bound socket into the listening state (again).
bool Listen(SocketHandle socket, int backlog);

// Waits for one connection on a listening socket. Returns false when the
// listener is closed, on an error, or when keepWaiting (asked a few times a
// second, may be empty) says to give up. On success the accepted socket and the
// local and remote addresses of the connection are filled.
bool AcceptTcp(SocketHandle listener, SocketHandle& connection, SocketAddress& local,
               SocketAddress& remote, const std::function<bool()>& keepWaiting);

// Sends small writes at once instead of waiting to fill a segment; for
// request-and-answer protocols, where the wait costs a round trip.
bool SetNoDelay(SocketHandle socket);

// Connects to a peer; gives up after timeoutMs.
bool ConnectTcp(SocketHandle socket, const SocketAddress& peer, int timeoutMs);

// Sends up to count bytes: the number sent, or -1 on an error. A closed peer
// is an error, never a signal.
int SendSome(SocketHandle socket, const void* data, int count);

// Receives up to count bytes: the number received, 0 when the peer closed the
// connection, -1 on an error.
int RecvSome(SocketHandle socket, void* data, int count);

// Waits until the socket is readable: 1 readable (or closed), 0 time-out, -1
// error. A negative timeoutMs waits without limit.
int WaitReadable(SocketHandle socket, int timeoutMs);

// Waits until a send of a few bytes would not block: 1 writable, 0 time-out,
// -1 error. A negative timeoutMs waits without limit.
int WaitWritable(SocketHandle socket, int timeoutMs);

}  // namespace platform
