#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "sim/usb/RawHost.h"
#include "sim/usb/SimUsbBus.h"

namespace simtest {

// One emulated sensor on a bus of the test's own, opened, with a raw host on
// its handle.
template <class Model>
class SimSensorTest : public testing::Test {
protected:
    void Plug(sim::SensorModel model, uint32_t serial, const sim::SensorOptions& options = {}) {
        id_ = bus_.Attach(model, serial, options);
        sensor_ = bus_.SensorAs<Model>(id_);
        ASSERT_TRUE(sensor_);
        int error = 0;
        handle_ = bus_.Open(bus_.PathOf(id_), error);
        ASSERT_TRUE(handle_) << error;
        host_.emplace(*handle_);
    }

    // The status byte of a state answer, or -1 when the answer is none.
    static int Status(const std::optional<Answer>& answer) {
        if (!answer || answer->cmdId != 0x00 || answer->body.size() < 3) return -1;
        return answer->body[2];
    }

    sim::SimUsbBus bus_;
    int id_ = 0;
    std::shared_ptr<Model> sensor_;
    std::unique_ptr<platform::UsbDriverHandle> handle_;
    std::optional<RawHost> host_;
};

constexpr int kRefused = sim::EmulatedSensor::kStatusRefused;

}  // namespace simtest
