#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <tuple>

#include "platform/Time.h"
#include "sim/usb/EmulatedU2.h"
#include "sim/usb/RawHost.h"
#include "sim/usb/SimUsbBus.h"

using sim::SensorModel;
using sim::SimUsbBus;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr char kGuid[] = "#{4f6e7f7f-b621-403a-9af3-8cd5a6a1daa4}";

// Collects events, each with whether it came on the test's own thread;
// waits for a number of them.
class Recorder : public platform::UsbBusListener {
public:
    using Event = std::tuple<uint32_t, std::string, bool>;
    void OnUsbEvent(uint32_t event, const std::string& path) override {
        std::lock_guard lock(mutex_);
        events_.emplace_back(event, path, std::this_thread::get_id() == testThread_);
        changed_.notify_all();
        if (unwatchFrom_ != nullptr) unwatchFrom_->Unwatch();
    }
    std::vector<Event> WaitFor(size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5), [&] { return events_.size() >= count; });
        return events_;
    }
    SimUsbBus* unwatchFrom_ = nullptr;  // set before watching

private:
    const std::thread::id testThread_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

Bytes Descriptor(platform::UsbDriverHandle& handle) {
    Bytes descriptor(32, 0xCC);
    uint32_t count = 0;
    if (!handle.ReadDescriptor(descriptor.data(), 18, count)) return {};
    descriptor.resize(count);
    return descriptor;
}

TEST(SimUsbBusTest, PathsNameModelAndInstanceOpenWithoutRegardToCaseAndHandlesClose) {
    SimUsbBus bus;
    const int u1 = bus.Attach(SensorModel::kU1, 1);
    const int u2 = bus.Attach(SensorModel::kU2, 2);
    const int u2b = bus.Attach(SensorModel::kU2, 3, {.productId = 0x0018, .upperCasePath = true});
    EXPECT_EQ(bus.PresentPaths(),
              (std::vector<std::string>{
                  "\\\\?\\usb#vid_1013&pid_0015#sim1" + std::string(kGuid),
                  "\\\\?\\usb#vid_1013&pid_0019#sim2" + std::string(kGuid),
                  "\\\\?\\USB#VID_1013&PID_0018#SIM3#{4F6E7F7F-B621-403A-9AF3-8CD5A6A1DAA4}"}));
    EXPECT_EQ(bus.PathOf(u2), bus.PresentPaths()[1]);
    EXPECT_TRUE(bus.SensorAs<sim::EmulatedU2>(u2b));
    EXPECT_FALSE(bus.SensorAs<sim::EmulatedU2>(u1));

    int error = 0;
    auto handle = bus.Open("\\\\?\\USB#VID_1013&PID_0019#SIM2" + std::string(kGuid), error);
    ASSERT_TRUE(handle);
    // What the descriptor holds is read by the manager's discovery tests.
    EXPECT_EQ(Descriptor(*handle).size(), 18u);

    EXPECT_FALSE(bus.Open("\\\\?\\usb#vid_1013&pid_0019#sim9" + std::string(kGuid), error));
    EXPECT_EQ(error, SimUsbBus::kErrorFileNotFound);

    // A descriptor read that fails (foreign and short ones go through the
    // manager's discovery test).
    const int failing =
        bus.Attach(SensorModel::kU2, 2, {.descriptor = sim::DescriptorMode::kFails});
    EXPECT_TRUE(Descriptor(*bus.Open(bus.PathOf(failing), error)).empty());

    // A closed handle moves nothing; opening fails on request.
    handle->Close();
    EXPECT_FALSE(handle->IsOpen());
    uint32_t moved = 0;
    EXPECT_FALSE(handle->Write(reinterpret_cast<const uint8_t*>(kGuid), 1, moved));
    bus.Sensor(u1)->SetOpenError(5);
    EXPECT_FALSE(bus.Open(bus.PathOf(u1), error));
    EXPECT_EQ(error, 5);
}

TEST(SimUsbBusTest, AttachAndDetachReachTheListenerFromTheBusThreadUntilItUnwatches) {
    SimUsbBus bus;
    Recorder recorder;
    bus.Watch(&recorder);
    const int id = bus.Attach(SensorModel::kU1, 1);
    const std::string path = bus.PathOf(id);
    EXPECT_TRUE(bus.Detach(id));
    EXPECT_FALSE(bus.Detach(id));
    EXPECT_EQ(recorder.WaitFor(3),
              (std::vector<Recorder::Event>{{platform::kUsbArrival, path, false},
                                            {platform::kUsbRemovePending, path, false},
                                            {platform::kUsbRemoveComplete, path, false}}));
    EXPECT_TRUE(bus.PresentPaths().empty());
    bus.Unwatch();
    bus.Attach(SensorModel::kU2, 2);

    // A listener may unwatch from its own callback.
    Recorder once;
    once.unwatchFrom_ = &bus;
    bus.Watch(&once);
    bus.Attach(SensorModel::kU2, 3);
    bus.Attach(SensorModel::kU2, 4);
    ASSERT_EQ(once.WaitFor(1).size(), 1u);
    platform::SleepMs(20);
    EXPECT_EQ(std::tuple(recorder.WaitFor(0).size(), once.WaitFor(0).size()), std::tuple(3u, 1u));

    Recorder again;
    bus.Watch(&again);  // joins the thread that ended itself
    bus.DetachAll();
    EXPECT_EQ(again.WaitFor(6).size(), 6u);  // the three sensors still present
    bus.Unwatch();
}

// A capture thread polls while the test moves the finger and unplugs; the
// unplug also ends a read waiting for a minute-long delayed answer.
TEST(SimUsbBusTest, DetachEndsTransfersInProgressWhileAnotherThreadPlacesAndLifts) {
    SimUsbBus bus;
    const int id = bus.Attach(SensorModel::kU2, 1);
    int error = 0;
    auto handle = bus.Open(bus.PathOf(id), error);
    auto sensor = bus.Sensor(id);
    simtest::RawHost host(*handle);
    auto polling = std::async(std::launch::async, [&] {
        std::vector<Bytes> triggers;
        while (auto answer = host.ReadI2C(simtest::kIlluBoard, 0x24, 2))
            triggers.push_back(answer->body);
        return triggers;
    });
    for (int i = 0; i < 200; ++i) {
        sensor->PlaceFinger({.fingerId = static_cast<uint32_t>(i)});
        sensor->LiftFinger();
    }
    sensor->SetAnswerDelayMs(60000);
    platform::SleepMs(50);
    ASSERT_EQ(polling.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_TRUE(bus.Detach(id));
    ASSERT_EQ(polling.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    for (const Bytes& trigger : polling.get())
        EXPECT_TRUE(trigger == (Bytes{0, 0}) || trigger == (Bytes{0x01, 0x50}));
    EXPECT_FALSE(host.Send(0x00, {}));
    EXPECT_TRUE(Descriptor(*handle).empty());
    EXPECT_FALSE(bus.Open(bus.PathOf(id), error));
}

}  // namespace
