#pragma once

#include "SyntheticPrint.h"

namespace kvt_test {

// A 360 x 360 drawn fingerprint with enough minutiae for any extractor
// setting the tests use; the same id with another placement is another
// impression of the same finger.
inline fptest::Image DrawnFinger(unsigned id, fptest::Placement placement = {}) {
    return fptest::Render(fptest::RandomPattern(id, 360, 360, 30, 30.f), 360, 360, placement, 0);
}

}  // namespace kvt_test
