#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Immortal.h"
#include "platform/UsbDriver.h"
#include "sim/usb/EmulatedSensor.h"

namespace sim {

// An in-process USB bus with emulated sensors. Events go to the listener
// from a thread of the bus that runs from Watch to Unwatch, so an attach or
// detach never calls into the library on the caller's thread. Events that
// happen while nobody watches are lost, as the operating system's are.
// Watch and Unwatch are meant for one caller at a time.
class SimUsbBus final : public platform::UsbBus {
public:
    // Open's error codes, as the operating system reports them.
    static constexpr int kErrorFileNotFound = 2;
    static constexpr int kErrorSharingViolation = 32;

    // The process's bus; it joins the platform's bus list with its first
    // sensor.
    static SimUsbBus& Instance();

    // A bus of its own that never joins the bus list (tests). Handles it
    // gives out must not outlive it.
    SimUsbBus();
    ~SimUsbBus() override;
    SimUsbBus(const SimUsbBus&) = delete;
    SimUsbBus& operator=(const SimUsbBus&) = delete;

    // Plugs a sensor in and reports its arrival. Returns its id (from 1 up,
    // never reused), which also names its path.
    int Attach(SensorModel model, uint32_t serial, const SensorOptions& options = {});
    // Unplugs it: its transfers fail from now on, and remove-pending and
    // remove-complete are reported. False for an unknown id.
    bool Detach(int simId);
    void DetachAll();
    // An id that no sensor of this bus will get, for a simulated sensor on
    // another connection, so that one id space names them all.
    int ReserveId();

    std::shared_ptr<EmulatedSensor> Sensor(int simId) const;
    template <class Model>
    std::shared_ptr<Model> SensorAs(int simId) const {
        return std::dynamic_pointer_cast<Model>(Sensor(simId));
    }
    std::string PathOf(int simId) const;  // empty for an unknown id

    const char* Name() const override { return "simulated"; }
    std::vector<std::string> PresentPaths() override;
    std::unique_ptr<platform::UsbDriverHandle> Open(const std::string& path, int& error) override;
    void Watch(platform::UsbBusListener* listener) override;
    void Unwatch() override;

private:
    struct Attached {
        std::shared_ptr<EmulatedSensor> sensor;
        std::string path;
    };
    struct Event {
        uint32_t code;
        std::string path;
    };

    friend class platform::Immortal<SimUsbBus>;
    explicit SimUsbBus(bool joinsBusList);
    void Post(uint32_t code, const std::string& path);
    void Deliver();

    const bool m_joinsBusList;

    mutable std::mutex m_mutex;  // the sensors
    std::map<int, Attached> m_sensors;
    int m_lastId = 0;

    std::mutex m_eventMutex;  // the listener, its queue and thread
    std::condition_variable m_eventCv;
    platform::UsbBusListener* m_listener = nullptr;
    std::deque<Event> m_events;
    bool m_stopDelivery = false;
    std::thread m_deliveryThread;
};

}  // namespace sim
