#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
uint32_t GetTickCount32();

void SleepMs(uint32_t milliseconds);

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};
LocalTime GetLocalTime();

// The operating system's identifier of the calling thread, as logged.
uint32_t CurrentThreadId();

}  // namespace platform
