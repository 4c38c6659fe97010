#pragma once

#include <string>
#include <utility>
#include <vector>

#include "image/PLBmp.h"
#include "image/PLTextException.h"

namespace image_test {

// The code and text of the PLTextException that run throws.
using Failure = std::pair<int, std::string>;
template <typename Run>
Failure Thrown(Run run) {
    try {
        run();
    } catch (const PLTextException& e) {
        return {e.GetCode(), e.GetText()};
    }
    return {0, "nothing thrown"};
}

// The lines top to bottom, without padding.
inline std::vector<uint8_t> Pixels(const PLBmp& bitmap) {
    std::vector<uint8_t> out;
    for (int32_t y = 0; y < bitmap.GetHeight(); ++y)
        out.insert(out.end(), bitmap.GetLine(y), bitmap.GetLine(y) + bitmap.GetLineBytes());
    return out;
}

}  // namespace image_test
