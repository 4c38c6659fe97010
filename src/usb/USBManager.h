#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "platform/UsbDriver.h"

class SensorHost;

// Finds the USB sensors present at start and those plugged in or pulled out
// later. One watcher thread handles every arrival and removal, one at a time
// and in order; the buses only post events to it.
class CUSBManager : public platform::UsbBusObserver {
public:
    static constexpr uint32_t kStopWaitMs = 5000;

    // The sensors found go to host's registry.
    explicit CUSBManager(SensorHost& host);
    ~CUSBManager() override;
    CUSBManager(const CUSBManager&) = delete;
    CUSBManager& operator=(const CUSBManager&) = delete;

    bool Start();
    // False when the watcher thread did not end within 5000 ms.
    bool Stop();

    // Device id of the sensor at path: the manager's prefix and the lowercased path.
    std::string DeviceIdFor(const std::string& path) const;
    const std::string& IdPrefix() const { return m_strIDPrefix; }

    // Run on the watcher thread; public for tests.
    void DeviceFound(const std::string& path, platform::UsbBus& bus);
    // True when the sensor is gone from the registry (or was never there).
    bool DeviceRemoved(const std::string& path);

private:
    struct Event {
        enum Kind { kArrival, kRemoval, kWatchBus, kQuit } kind;
        std::string path;
        platform::UsbBus* bus;
    };
    // Tells the watcher which bus an event came from.
    class BusListener : public platform::UsbBusListener {
    public:
        BusListener(CUSBManager& manager, platform::UsbBus& bus) : m_manager(manager), m_bus(bus) {}
        void OnUsbEvent(uint32_t event, const std::string& path) override;

    private:
        CUSBManager& m_manager;
        platform::UsbBus& m_bus;
    };

    void OnBusAdded(platform::UsbBus* bus) override;
    void Post(Event event);
    void WatcherThread();
    void WatchBus(platform::UsbBus& bus);
    bool RemoveById(const std::string& id);
    void RetryRemovals();

    SensorHost& m_host;
    std::string m_strIDPrefix;
    platform::CThread m_thread;
    std::mutex m_eventMutex;
    std::condition_variable m_eventPosted;
    std::deque<Event> m_events;
    // Owned by the watcher thread.
    std::vector<std::unique_ptr<BusListener>> m_listeners;
    std::vector<platform::UsbBus*> m_watched;
    // Sensors unplugged while a read held them; their removal is retried.
    std::set<std::string> m_pendingRemovals;
};
