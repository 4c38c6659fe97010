#pragma once

#include <cstdint>

namespace platform {

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// A new globally unique identifier; device ids are formed from it.
Guid NewGuid();

}  // namespace platform
