#pragma once

#include <memory>

#include "sim/usb/FrameSource.h"

namespace kvt_test {

// Sensors emulated directly show the test pattern, even after a test in the
// same process went through the simulator exports, which switch every sensor
// to synthesized prints.
class PatternFrames {
public:
    PatternFrames() { sim::SetFrameSource(nullptr); }
    ~PatternFrames() { sim::SetFrameSource(m_saved); }
    PatternFrames(const PatternFrames&) = delete;
    PatternFrames& operator=(const PatternFrames&) = delete;

private:
    std::shared_ptr<sim::FrameSource> m_saved = sim::CurrentFrameSource();
};

}  // namespace kvt_test
