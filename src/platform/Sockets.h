#pragma once

#include <cstdint>

namespace platform {

#ifdef _WIN32
using SocketHandle = uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~static_cast<SocketHandle>(0);
#else
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
#endif

// Initialises the socket library (Winsock 2.0 on Windows; nothing elsewhere).
bool SocketLibraryStartup();
void SocketLibraryCleanup();

// Closes a socket so that a thread blocked on it returns.
void CloseSocket(SocketHandle socket);

}  // namespace platform
