#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Sockets.h"

static_assert(sizeof(platform::SocketAddress) == sizeof(sockaddr_in));

namespace platform {

namespace {

// How often a waiting accept asks whether it should go on waiting. A stop
// waits for the listener to notice, so this bounds how long a stop takes.
constexpr int kAcceptSliceMs = 20;

sockaddr_in ToNative(const SocketAddress& address) {
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = address.port;
    native.sin_addr.s_addr = address.address;
    return native;
}

SocketAddress FromNative(const sockaddr_in& native) {
    SocketAddress address;
    address.port = native.sin_port;
    address.address = native.sin_addr.s_addr;
    return address;
}

bool QueryAddress(int (*query)(int, sockaddr*, socklen_t*), SocketHandle socket,
                  SocketAddress& address) {
    sockaddr_in native{};
    socklen_t length = sizeof native;
    if (query(socket, reinterpret_cast<sockaddr*>(&native), &length) != 0 ||
        native.sin_family != AF_INET) {
        return false;
    }
    address = FromNative(native);
    return true;
}

int PollOne(SocketHandle socket, short events, int timeoutMs) {
    pollfd entry{socket, events, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return ready;
        return (entry.revents & POLLNVAL) != 0 ? -1 : 1;
    }
}

}  // namespace

bool SocketLibraryStartup() {
    return true;
}

void SocketLibraryCleanup() {}

void CloseSocket(SocketHandle socket) {
    if (socket == kInvalidSocket) return;
    // shutdown wakes a thread blocked in accept or recv on this socket.
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
}

void ShutdownSocket(SocketHandle socket) {
    if (socket != kInvalidSocket) ::shutdown(socket, SHUT_RDWR);
}

bool MakeSocketAddress(const char* text, int port, SocketAddress& address) {
    address = SocketAddress{};
    address.port = htons(static_cast<uint16_t>(port));
    in_addr parsed{};
    if (text == nullptr || ::inet_pton(AF_INET, text, &parsed) != 1) return false;
    address.address = parsed.s_addr;
    return true;
}

std::string AddressText(const SocketAddress& address) {
    in_addr native{};
    native.s_addr = address.address;
    char text[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &native, text, sizeof text) != nullptr ? text : std::string();
}

int AddressPort(const SocketAddress& address) {
    return ntohs(address.port);
}

SocketHandle OpenTcpSocket() {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return socket < 0 ? kInvalidSocket : socket;
}

bool BindSocket(SocketHandle socket, const SocketAddress& address) {
    const sockaddr_in native = ToNative(address);
    return ::bind(socket, reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0;
}

bool BindListener(SocketHandle socket, const SocketAddress& address, int backlog) {
    // Without SO_REUSEADDR a restart would find the port blocked by the
    // connections of the previous run in TIME_WAIT. With it, Linux lets two
    // sockets bind the same port until one listens, so listening at once keeps
    // a second listener on the port out, as a plain bind does on Windows.
    const int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return BindSocket(socket, address) && Listen(socket, backlog);
}

bool LocalAddress(SocketHandle socket, SocketAddress& address) {
    return QueryAddress(::getsockname, socket, address);
}

bool Listen(SocketHandle socket, int backlog) {
    return ::listen(socket, backlog) == 0;
}

bool AcceptTcp(SocketHandle listener, SocketHandle& connection, SocketAddress& local,
               SocketAddress& remote, const std::function<bool()>& keepWaiting) {
    connection = kInvalidSocket;
    for (;;) {
        if (keepWaiting && !keepWaiting()) return false;
        const int ready = PollOne(listener, POLLIN, kAcceptSliceMs);
        if (ready < 0) return false;
        if (ready == 0) continue;
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int accepted =
            ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (accepted < 0) {
            // The peer may have given up between poll and accept.
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
            return false;
        }
        if (!QueryAddress(::getsockname, accepted, local)) {
            ::close(accepted);
            return false;
        }
        remote = FromNative(peer);
        connection = accepted;
        return true;
    }
}

bool SetNoDelay(SocketHandle socket) {
    const int on = 1;
    return ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool ConnectTcp(SocketHandle socket, const SocketAddress& peer, int timeoutMs) {
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    const sockaddr_in native = ToNative(peer);
    bool connected =
        ::connect(socket, reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0;
    if (!connected && errno == EINPROGRESS && PollOne(socket, POLLOUT, timeoutMs) == 1) {
        int error = 0;
        socklen_t length = sizeof error;
        connected = ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    return ::fcntl(socket, F_SETFL, flags) == 0 && connected;
}

int SendSome(SocketHandle socket, const void* data, int count) {
    for (;;) {
        const ssize_t sent = ::send(socket, data, static_cast<size_t>(count), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        return sent < 0 ? -1 : static_cast<int>(sent);
    }
}

int RecvSome(SocketHandle socket, void* data, int count) {
    for (;;) {
        const ssize_t received = ::recv(socket, data, static_cast<size_t>(count), 0);
        if (received < 0 && errno == EINTR) continue;
        return received < 0 ? -1 : static_cast<int>(received);
    }
}

int WaitReadable(SocketHandle socket, int timeoutMs) {
    return PollOne(socket, POLLIN, timeoutMs < 0 ? -1 : timeoutMs);
}

int WaitWritable(SocketHandle socket, int timeoutMs) {
    return PollOne(socket, POLLOUT, timeoutMs < 0 ? -1 : timeoutMs);
}

}  // namespace platform
