#include "sim/usb/SimUsbBus.h"

#include <atomic>
#include <cctype>
#include <cstdio>

#include "common/Log.h"
#include "common/Text.h"
#include "platform/Thread.h"
#include "sim/usb/EmulatedU1.h"
#include "sim/usb/EmulatedU2.h"

namespace sim {

namespace {

std::string MakePath(int simId, uint16_t productId, bool upperCase) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "\\\\?\\usb#vid_1013&pid_%04x#sim%d#{4f6e7f7f-b621-403a-9af3-8cd5a6a1daa4}",
                  productId, simId);
    std::string path(text);
    if (upperCase)
        for (char& c : path) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return path;
}

class SimUsbHandle final : public platform::UsbDriverHandle {
public:
    SimUsbHandle(SimUsbBus& bus, int simId, std::shared_ptr<EmulatedSensor> sensor)
        : m_bus(bus), m_simId(simId), m_sensor(std::move(sensor)) {
        static std::atomic<uintptr_t> opened{0};
        m_logValue = static_cast<uintptr_t>(simId) << 16 | (++opened & 0xFFFF);
    }
    ~SimUsbHandle() override { Close(); }

    bool Write(const uint8_t* data, uint32_t length, uint32_t& transferred) override {
        transferred = 0;
        return m_open && m_sensor->HostWrite(data, length, transferred);
    }

    bool Read(uint8_t* data, uint32_t length, uint32_t& transferred) override {
        transferred = 0;
        if (!m_open) return false;
        switch (m_sensor->HostRead(data, length, transferred)) {
            case EmulatedSensor::ReadOutcome::kDone:
                return true;
            case EmulatedSensor::ReadOutcome::kUnplugNow:
                m_bus.Detach(m_simId);
                return false;
            case EmulatedSensor::ReadOutcome::kFailed:
                break;
        }
        return false;
    }

    bool ReadDescriptor(uint8_t* descriptor, uint32_t capacity, uint32_t& transferred) override {
        transferred = 0;
        return m_open && m_sensor->HostReadDescriptor(descriptor, capacity, transferred);
    }

    void Close() override {
        if (m_open.exchange(false)) m_sensor->Release();
    }
    bool IsOpen() const override { return m_open; }
    uintptr_t LogValue() const override { return m_logValue; }

private:
    SimUsbBus& m_bus;
    const int m_simId;
    const std::shared_ptr<EmulatedSensor> m_sensor;
    std::atomic<bool> m_open{true};
    uintptr_t m_logValue = 0;
};

}  // namespace

SimUsbBus& SimUsbBus::Instance() {
    static platform::Immortal<SimUsbBus> bus(true);
    return bus.Get();
}

SimUsbBus::SimUsbBus() : SimUsbBus(false) {}

SimUsbBus::SimUsbBus(bool joinsBusList) : m_joinsBusList(joinsBusList) {}

SimUsbBus::~SimUsbBus() {
    // The process's own bus is never destroyed, so no bus ends with the
    // process and its delivery thread can always be joined.
    Unwatch();
    // A thread left by an Unwatch from its own callback.
    std::unique_lock lock(m_eventMutex);
    std::thread ending = std::move(m_deliveryThread);
    lock.unlock();
    if (ending.joinable()) ending.join();
}

int SimUsbBus::Attach(SensorModel model, uint32_t serial, const SensorOptions& options) {
    int simId = 0;
    std::string path;
    {
        std::lock_guard lock(m_mutex);
        simId = ++m_lastId;
        std::shared_ptr<EmulatedSensor> sensor;
        if (model == SensorModel::kU1)
            sensor = std::make_shared<EmulatedU1>(simId, serial, options);
        else
            sensor = std::make_shared<EmulatedU2>(simId, serial, options);
        path = MakePath(simId, sensor->ProductId(), options.upperCasePath);
        m_sensors.emplace(simId, Attached{std::move(sensor), path});
    }
    CLog::Instance().Info("SimUsb: attached sim%d %s", simId, path.c_str());
    // Outside the lock: joining the list may call back into PresentPaths.
    if (m_joinsBusList) platform::AddUsbBus(this);
    Post(platform::kUsbArrival, path);
    return simId;
}

int SimUsbBus::ReserveId() {
    std::lock_guard lock(m_mutex);
    return ++m_lastId;
}

bool SimUsbBus::Detach(int simId) {
    Attached attached;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_sensors.find(simId);
        if (it == m_sensors.end()) return false;
        attached = std::move(it->second);
        m_sensors.erase(it);
    }
    attached.sensor->Unplug();
    CLog::Instance().Info("SimUsb: detached sim%d", simId);
    Post(platform::kUsbRemovePending, attached.path);
    Post(platform::kUsbRemoveComplete, attached.path);
    return true;
}

void SimUsbBus::DetachAll() {
    std::vector<int> ids;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& entry : m_sensors) ids.push_back(entry.first);
    }
    for (int id : ids) Detach(id);
}

std::shared_ptr<EmulatedSensor> SimUsbBus::Sensor(int simId) const {
    std::lock_guard lock(m_mutex);
    auto it = m_sensors.find(simId);
    return it == m_sensors.end() ? nullptr : it->second.sensor;
}

std::string SimUsbBus::PathOf(int simId) const {
    std::lock_guard lock(m_mutex);
    auto it = m_sensors.find(simId);
    return it == m_sensors.end() ? std::string() : it->second.path;
}

std::vector<std::string> SimUsbBus::PresentPaths() {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> paths;
    for (const auto& entry : m_sensors) paths.push_back(entry.second.path);
    return paths;
}

std::unique_ptr<platform::UsbDriverHandle> SimUsbBus::Open(const std::string& path, int& error) {
    error = 0;
    std::lock_guard lock(m_mutex);
    for (const auto& [simId, attached] : m_sensors) {
        // Device paths compare without regard to case, as the operating system's do.
        if (!EqualNoCase(attached.path, path)) continue;
        error = attached.sensor->OpenError();
        if (error != 0) return nullptr;
        if (!attached.sensor->TryClaim()) {
            error = kErrorSharingViolation;
            return nullptr;
        }
        return std::make_unique<SimUsbHandle>(*this, simId, attached.sensor);
    }
    error = kErrorFileNotFound;
    return nullptr;
}

void SimUsbBus::Watch(platform::UsbBusListener* listener) {
    std::unique_lock lock(m_eventMutex);
    const bool onDeliveryThread = m_deliveryThread.get_id() == std::this_thread::get_id();
    if (m_deliveryThread.joinable() && m_stopDelivery && !onDeliveryThread) {
        // A listener unwatched from its own callback; that thread ends by itself.
        std::thread ending = std::move(m_deliveryThread);
        lock.unlock();
        ending.join();
        lock.lock();
    }
    m_listener = listener;
    m_events.clear();
    m_stopDelivery = false;
    if (!m_deliveryThread.joinable()) m_deliveryThread = std::thread([this] { Deliver(); });
}

void SimUsbBus::Unwatch() {
    // At process exit the delivery thread is gone, and so may be whoever held the mutex.
    if (platform::ProcessIsExiting()) return;
    std::unique_lock lock(m_eventMutex);
    m_listener = nullptr;
    m_stopDelivery = true;
    m_events.clear();
    m_eventCv.notify_all();
    // From the listener's own callback nothing can follow once it returns;
    // the thread is joined by the next Watch or the destructor.
    if (!m_deliveryThread.joinable() || m_deliveryThread.get_id() == std::this_thread::get_id())
        return;
    std::thread ending = std::move(m_deliveryThread);
    lock.unlock();
    ending.join();
}

void SimUsbBus::Post(uint32_t code, const std::string& path) {
    std::lock_guard lock(m_eventMutex);
    if (m_listener == nullptr) return;
    m_events.push_back({code, path});
    m_eventCv.notify_one();
}

void SimUsbBus::Deliver() {
    std::unique_lock lock(m_eventMutex);
    for (;;) {
        m_eventCv.wait(lock, [this] { return m_stopDelivery || !m_events.empty(); });
        if (m_stopDelivery) return;
        const Event event = std::move(m_events.front());
        m_events.pop_front();
        platform::UsbBusListener* listener = m_listener;
        lock.unlock();
        listener->OnUsbEvent(event.code, event.path);
        lock.lock();
    }
}

}  // namespace sim
