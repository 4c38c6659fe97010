#pragma once

#include <cstdint>
#include <functional>

#include "platform/Sockets.h"

// An IPv4 address with the socket that belongs to it: a listener, an accepted
// sensor connection or the local side of one.
struct SocketEndpoint {
    platform::SocketAddress address;
    platform::SocketHandle socket = platform::kInvalidSocket;
};

// Asked while a helper waits on the network; true abandons the wait (the
// device is closing or the manager stops), which counts as a failure.
using StopCheck = std::function<bool()>;

// How long a receive "without time limit" may take in all before it fails.
// No sensor needs that long for a frame; the bound keeps a peer that stalls
// or drips an image from holding a capture (and the manager's locks) for ever.
inline constexpr uint32_t kUnlimitedReceiveBoundMs = 60000;
// A send that cannot get rid of its bytes for this long fails: the peer
// stopped reading.
inline constexpr uint32_t kSendStallBoundMs = 10000;
// FlushInput discards at most this much, so a peer that never stops talking
// cannot keep it busy for ever.
inline constexpr uint32_t kFlushLimitBytes = 1u << 20;

// Sends all count bytes; true when they are gone, false on an error, a stall
// or a stop. count <= 0 is true at once.
bool SendAll(const SocketEndpoint& endpoint, const void* data, int count,
             const StopCheck& stop = {});

// Receives exactly count bytes. With timeoutSeconds > 0 each receive first
// waits at most that long for data; with 0 the whole receive is bounded only
// by kUnlimitedReceiveBoundMs. A peer that closes (a receive of 0 bytes) fails.
bool RecvAll(const SocketEndpoint& endpoint, void* buffer, int count, int timeoutSeconds,
             const StopCheck& stop = {});

// The same with the wait in milliseconds; timedOut tells whether a failure was
// the wait running out.
bool RecvAllMs(const SocketEndpoint& endpoint, void* buffer, int count, int timeoutMs,
               bool& timedOut, const StopCheck& stop = {});

// Waits until the socket has data (or was closed by the peer): 1 ready, 0
// time-out, -1 error or stop.
int WaitReadableMs(const SocketEndpoint& endpoint, int timeoutMs, const StopCheck& stop = {});

// Discards whatever the peer has sent that has not been read.
void FlushInput(const SocketEndpoint& endpoint);

// IPv4 address from dotted text and a host-order port; false when the text
// is not an IPv4 address (the address then is 0.0.0.0).
bool SetEndpointAddress(SocketEndpoint& endpoint, const char* addressText, int port);

// A new TCP socket bound to the endpoint's address, stored in the endpoint.
// It already listens: the bind takes the port for this listener alone, so a
// second listener on it fails here. Nothing is left open on failure.
bool BindEndpoint(SocketEndpoint& endpoint);

// Waits for one sensor on a bound listener. On success connection holds the
// accepted socket and the sensor's address, and the listener's address the
// local address the connection came in on (the ports stay as they were).
// Fails when the listener is closed or keepWaiting says to give up.
bool AcceptConnection(SocketEndpoint& listener, SocketEndpoint& connection, int backlog,
                      const std::function<bool()>& keepWaiting = {});

// Closes the socket if one is open and marks the endpoint as without one.
void CloseEndpoint(SocketEndpoint& endpoint);
