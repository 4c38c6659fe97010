#pragma once

#include <string>
#include <utility>

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

}  // namespace image_test
