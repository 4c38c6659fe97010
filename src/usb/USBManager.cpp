#include "usb/USBManager.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "common/Log.h"
#include "devicemanager/SensorHost.h"
#include "devicemanager/WorkerThreads.h"
#include "platform/Time.h"
#include "usb/USBDeviceU1.h"
#include "usb/USBDeviceU2.h"

namespace {

constexpr uint16_t kVendorId = 0x1013;
constexpr auto kRemovalRetry = std::chrono::milliseconds(50);

enum class Model { kNone, kU1, kU2 };

std::string Lowercase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

Model ModelForPath(const std::string& lowercasePath) {
    if (lowercasePath.find("vid_1013&pid_0015") != std::string::npos) return Model::kU1;
    if (lowercasePath.find("vid_1013&pid_0019") != std::string::npos) return Model::kU2;
    if (lowercasePath.find("vid_1013&pid_0018") != std::string::npos) return Model::kU2;
    return Model::kNone;
}

}  // namespace

CUSBManager::CUSBManager(SensorHost& host) : m_host(host) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%08x", platform::GetTickCount32());
    m_strIDPrefix = prefix;
}

CUSBManager::~CUSBManager() {
    if (!Stop()) m_thread.Abandon();
}

bool CUSBManager::Start() {
    if (m_thread.IsValid()) return true;
    {
        std::lock_guard lock(m_eventMutex);
        m_events.clear();
    }
    m_thread.Start([this] { WatcherThread(); });
    return true;
}

bool CUSBManager::Stop() {
    if (!m_thread.IsValid()) return true;
    Post({Event::kQuit, {}, nullptr});
    return m_thread.WaitForEnd(kStopWaitMs);
}

std::string CUSBManager::DeviceIdFor(const std::string& path) const {
    return m_strIDPrefix + Lowercase(path);
}

void CUSBManager::BusListener::OnUsbEvent(uint32_t event, const std::string& path) {
    switch (event) {
        case platform::kUsbArrival:
            m_manager.Post({Event::kArrival, path, &m_bus});
            break;
        case platform::kUsbQueryRemove:
        case platform::kUsbRemovePending:
        case platform::kUsbRemoveComplete:
            m_manager.Post({Event::kRemoval, path, &m_bus});
            break;
        default:
            break;
    }
}

void CUSBManager::OnBusAdded(platform::UsbBus* bus) {
    Post({Event::kWatchBus, {}, bus});
}

void CUSBManager::Post(Event event) {
    {
        std::lock_guard lock(m_eventMutex);
        m_events.push_back(std::move(event));
    }
    m_eventPosted.notify_one();
}

void CUSBManager::WatcherThread() {
    CFunctionTrace trace("CUSBManager::WatcherThread");
    CWorkerThreadScope worker;
    // Observe first, then list: a bus that joins in between is watched once.
    platform::SetUsbBusObserver(this);
    for (platform::UsbBus* bus : platform::UsbBuses()) WatchBus(*bus);

    while (true) {
        Event event;
        {
            std::unique_lock lock(m_eventMutex);
            const auto posted = [this] { return !m_events.empty(); };
            if (m_pendingRemovals.empty()) {
                m_eventPosted.wait(lock, posted);
            } else if (!m_eventPosted.wait_for(lock, kRemovalRetry, posted)) {
                lock.unlock();
                RetryRemovals();
                continue;
            }
            event = std::move(m_events.front());
            m_events.pop_front();
        }
        if (event.kind == Event::kQuit) break;
        if (event.kind == Event::kWatchBus) {
            WatchBus(*event.bus);
        } else if (event.kind == Event::kArrival) {
            DeviceFound(event.path, *event.bus);
        } else if (!DeviceRemoved(event.path)) {
            m_pendingRemovals.insert(DeviceIdFor(event.path));
        }
    }
    m_pendingRemovals.clear();

    platform::SetUsbBusObserver(nullptr);
    for (platform::UsbBus* bus : m_watched) bus->Unwatch();
    m_watched.clear();
    m_listeners.clear();
}

void CUSBManager::WatchBus(platform::UsbBus& bus) {
    if (std::find(m_watched.begin(), m_watched.end(), &bus) != m_watched.end()) return;
    m_watched.push_back(&bus);
    m_listeners.push_back(std::make_unique<BusListener>(*this, bus));
    bus.Watch(m_listeners.back().get());
    for (const std::string& path : bus.PresentPaths()) DeviceFound(path, bus);
}

void CUSBManager::DeviceFound(const std::string& rawPath, platform::UsbBus& bus) {
    CLog& log = CLog::Instance();
    const std::string path = Lowercase(rawPath);
    const Model model = ModelForPath(path);
    if (model == Model::kNone) return;

    int error = 0;
    std::unique_ptr<platform::UsbDriverHandle> handle = bus.Open(rawPath, error);
    if (!handle) {
        log.Info("CUSBManager::DeviceFound: CreateFile for USB device failed (%d).", error);
        return;
    }

    uint8_t descriptor[platform::UsbDriverHandle::kDescriptorSize] = {};
    uint32_t bytesRead = 0;
    const bool read = handle->ReadDescriptor(descriptor, sizeof descriptor, bytesRead);
    const int vendor = descriptor[8] | (descriptor[9] << 8);
    if (!read || bytesRead != sizeof descriptor || vendor != kVendorId) {
        log.Info("CUSBManager::DeviceFound: Bad or missing vendor ID");
        log.Debug(
            "CUSBManager::DeviceFound: device:%s; result:%s; Bytes read:%d (%d), "
            "idVendor:%d (%d)",
            path.c_str(), read ? "true" : "false", static_cast<int>(bytesRead),
            static_cast<int>(sizeof descriptor), vendor, static_cast<int>(kVendorId));
        handle->Close();
        return;
    }

    const std::string id = m_strIDPrefix + path;
    if (m_host.FindDevice(id.c_str())) {
        handle->Close();
        return;
    }

    DevicePtr device = model == Model::kU1
                           ? MakeDevice<CUSBDeviceU1>(std::move(handle), id)
                           : MakeDevice<CUSBDeviceU2>(std::move(handle), id,
                                                      U2Settings{m_host.U2AsyncSleepTime(),
                                                                 m_host.TemperatureCompensation()});
    if (!device->Initialize()) {
        log.Info(model == Model::kU1
                     ? "CUSBManager::DeviceFound: failed to initialize new CUSBDeviceU1"
                     : "CUSBManager::DeviceFound: failed to initialize new CUSBDeviceU2");
        device->CloseDevice();
        return;
    }
    if (model == Model::kU2) {
        if (!device->IsFirmwareSupported()) {
            log.Warning("CUSBManager::DeviceFound: Found Kelo with unsupported firmware!");
            device->CloseDevice();
            return;
        }
        if (device->FirmwareRequiresDiagnostic() && !device->FirmwareDiagnostic()) {
            log.Error(
                "CUSBManager::DeviceFound: Found Kelo with defect EEPROM (diagnostic returned "
                "false)!");
            device->CloseDevice();
            return;
        }
    }
    m_host.AddDevice(device);
}

bool CUSBManager::DeviceRemoved(const std::string& path) {
    return RemoveById(DeviceIdFor(path));
}

bool CUSBManager::RemoveById(const std::string& id) {
    DevicePtr device = m_host.FindDevice(id.c_str());
    return !device || m_host.RemoveDeviceFromList(device) == 0;
}

void CUSBManager::RetryRemovals() {
    // A sensor refuses to close while a read holds it; the read fails soon
    // after an unplug, and the sensor can then go.
    for (auto id = m_pendingRemovals.begin(); id != m_pendingRemovals.end();) {
        if (RemoveById(*id))
            id = m_pendingRemovals.erase(id);
        else
            ++id;
    }
}
