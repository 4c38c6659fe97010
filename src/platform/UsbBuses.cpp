#include <algorithm>
#include <mutex>

#include "platform/Immortal.h"
#include "platform/UsbDriver.h"

namespace platform {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<UsbBus*> added;
    UsbBusObserver* observer = nullptr;
};

Registry& TheRegistry() {
    static Immortal<Registry> registry;
    return registry.Get();
}

}  // namespace

std::vector<UsbBus*> UsbBuses() {
    std::vector<UsbBus*> buses;
    if (UsbBus* system = SystemUsbBus()) buses.push_back(system);
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    buses.insert(buses.end(), registry.added.begin(), registry.added.end());
    return buses;
}

void AddUsbBus(UsbBus* bus) {
    Registry& registry = TheRegistry();
    // Held while the observer runs, so a removed observer is never called.
    std::lock_guard lock(registry.mutex);
    if (bus == nullptr ||
        std::find(registry.added.begin(), registry.added.end(), bus) != registry.added.end())
        return;
    registry.added.push_back(bus);
    if (registry.observer != nullptr) registry.observer->OnBusAdded(bus);
}

void SetUsbBusObserver(UsbBusObserver* observer) {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    registry.observer = observer;
}

}  // namespace platform
