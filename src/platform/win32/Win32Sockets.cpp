// winsock2.h must come before windows.h can pull in the old winsock.h.
#include <winsock2.h>

#include <mswsock.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/Sockets.h"

static_assert(sizeof(platform::SocketHandle) == sizeof(SOCKET));
static_assert(platform::kInvalidSocket == INVALID_SOCKET);
static_assert(sizeof(platform::SocketAddress) == sizeof(sockaddr_in));

namespace platform {

namespace {

// How often a waiting accept asks whether it should go on waiting. A stop
// waits for the listener to notice, so this bounds how long a stop takes.
constexpr DWORD kAcceptSliceMs = 20;

// AcceptEx reserves this much for each address; at least 16 bytes more than
// sockaddr_in.
constexpr DWORD kAcceptAddressSpace = 32;

SOCKET Native(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

sockaddr_in ToNative(const SocketAddress& address) {
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = address.port;
    native.sin_addr.s_addr = address.address;
    return native;
}

SocketAddress FromNative(const sockaddr* native) {
    SocketAddress address;
    if (native != nullptr && native->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(native);
        address.port = in->sin_port;
        address.address = in->sin_addr.s_addr;
    }
    return address;
}

// The accept extensions are looked up through the listener, so the mswsock
// provider that belongs to it is used.
template <typename Function>
Function ExtensionFunction(SOCKET socket, GUID id) {
    Function function = nullptr;
    DWORD bytes = 0;
    if (WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function,
                 sizeof function, &bytes, nullptr, nullptr) != 0) {
        return nullptr;
    }
    return function;
}

int Select(SocketHandle socket, bool forWrite, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(Native(socket), &set);
    fd_set errors;
    FD_ZERO(&errors);
    FD_SET(Native(socket), &errors);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int ready = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr,
                             forWrite ? &errors : nullptr, timeoutMs < 0 ? nullptr : &limit);
    if (ready == SOCKET_ERROR) return -1;
    if (ready == 0) return 0;
    return forWrite && FD_ISSET(Native(socket), &errors) ? -1 : 1;
}

}  // namespace

bool SocketLibraryStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data) == 0;
}

void SocketLibraryCleanup() {
    WSACleanup();
}

void CloseSocket(SocketHandle socket) {
    if (socket != kInvalidSocket) closesocket(Native(socket));
}

void ShutdownSocket(SocketHandle socket) {
    if (socket != kInvalidSocket) shutdown(Native(socket), SD_BOTH);
}

bool MakeSocketAddress(const char* text, int port, SocketAddress& address) {
    address = SocketAddress{};
    address.port = htons(static_cast<u_short>(port));
    IN_ADDR parsed{};
    if (text == nullptr || inet_pton(AF_INET, text, &parsed) != 1) return false;
    address.address = parsed.s_addr;
    return true;
}

std::string AddressText(const SocketAddress& address) {
    IN_ADDR native{};
    native.s_addr = address.address;
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &native, text, sizeof text) != nullptr ? text : std::string();
}

int AddressPort(const SocketAddress& address) {
    return ntohs(address.port);
}

SocketHandle OpenTcpSocket() {
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(socket);
}

bool BindSocket(SocketHandle socket, const SocketAddress& address) {
    const sockaddr_in native = ToNative(address);
    return bind(Native(socket), reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0;
}

bool BindListener(SocketHandle socket, const SocketAddress& address, int backlog) {
    // A plain bind already keeps a second socket off the port.
    return BindSocket(socket, address) && Listen(socket, backlog);
}

bool LocalAddress(SocketHandle socket, SocketAddress& address) {
    sockaddr_in native{};
    int length = sizeof native;
    if (getsockname(Native(socket), reinterpret_cast<sockaddr*>(&native), &length) != 0) {
        return false;
    }
    address = FromNative(reinterpret_cast<const sockaddr*>(&native));
    return address.family == 2 && native.sin_family == AF_INET;
}

bool Listen(SocketHandle socket, int backlog) {
    return listen(Native(socket), backlog) == 0;
}

bool AcceptTcp(SocketHandle listener, SocketHandle& connection, SocketAddress& local,
               SocketAddress& remote, const std::function<bool()>& keepWaiting) {
    connection = kInvalidSocket;
    const SOCKET server = Native(listener);
    const auto acceptEx = ExtensionFunction<LPFN_ACCEPTEX>(server, WSAID_ACCEPTEX);
    const auto addresses =
        ExtensionFunction<LPFN_GETACCEPTEXSOCKADDRS>(server, WSAID_GETACCEPTEXSOCKADDRS);
    if (acceptEx == nullptr || addresses == nullptr) return false;

    const SOCKET accepted = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (accepted == INVALID_SOCKET) return false;
    char buffer[2 * kAcceptAddressSpace] = {};
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        closesocket(accepted);
        return false;
    }
    DWORD received = 0;
    bool done = acceptEx(server, accepted, buffer, 0, kAcceptAddressSpace, kAcceptAddressSpace,
                         &received, &overlapped) != FALSE;
    if (!done && WSAGetLastError() == ERROR_IO_PENDING) {
        // Closing the listener completes the accept with an error.
        for (;;) {
            const DWORD wait = WaitForSingleObject(overlapped.hEvent, kAcceptSliceMs);
            if (wait == WAIT_OBJECT_0) {
                DWORD flags = 0;
                done =
                    WSAGetOverlappedResult(server, &overlapped, &received, FALSE, &flags) != FALSE;
                break;
            }
            if (wait != WAIT_TIMEOUT || (keepWaiting && !keepWaiting())) {
                CancelIoEx(reinterpret_cast<HANDLE>(server), &overlapped);
                DWORD flags = 0;
                WSAGetOverlappedResult(server, &overlapped, &received, TRUE, &flags);
                break;
            }
        }
    }
    CloseHandle(overlapped.hEvent);
    if (!done) {
        closesocket(accepted);
        return false;
    }
    setsockopt(accepted, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
               reinterpret_cast<const char*>(&server), sizeof server);
    sockaddr* localNative = nullptr;
    sockaddr* remoteNative = nullptr;
    int localLength = 0;
    int remoteLength = 0;
    addresses(buffer, 0, kAcceptAddressSpace, kAcceptAddressSpace, &localNative, &localLength,
              &remoteNative, &remoteLength);
    local = FromNative(localNative);
    remote = FromNative(remoteNative);
    connection = static_cast<SocketHandle>(accepted);
    return true;
}

bool SetNoDelay(SocketHandle socket) {
    const BOOL on = TRUE;
    return setsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

bool ConnectTcp(SocketHandle socket, const SocketAddress& peer, int timeoutMs) {
    u_long nonBlocking = 1;
    if (ioctlsocket(Native(socket), FIONBIO, &nonBlocking) != 0) return false;
    const sockaddr_in native = ToNative(peer);
    bool connected =
        connect(Native(socket), reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0;
    if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
        connected = Select(socket, true, timeoutMs) == 1;
    }
    u_long blocking = 0;
    return ioctlsocket(Native(socket), FIONBIO, &blocking) == 0 && connected;
}

int SendSome(SocketHandle socket, const void* data, int count) {
    const int sent = send(Native(socket), static_cast<const char*>(data), count, 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int RecvSome(SocketHandle socket, void* data, int count) {
    const int received = recv(Native(socket), static_cast<char*>(data), count, 0);
    return received == SOCKET_ERROR ? -1 : received;
}

int WaitReadable(SocketHandle socket, int timeoutMs) {
    return Select(socket, false, timeoutMs);
}

int WaitWritable(SocketHandle socket, int timeoutMs) {
    return Select(socket, true, timeoutMs);
}

}  // namespace platform
