#include "devicemanager/DeviceList.h"

#include "common/Log.h"
#include "devicemanager/DevicesManager.h"
#include "platform/Time.h"
#include "properties/PropertiesManager.h"

namespace {
constexpr uint32_t kCloseRetryMs = 10;
}

DevicePtr DeviceList::Get(const char* id) {
    if (id != nullptr) {
        CCritSecLock lock(m_lock);
        const auto found = m_devices.find(id);
        if (found != m_devices.end()) return found->second;
    }
    CLog::Instance().Info(
        "CDevicesManager::DeviceList::Get: DeviceId is NULL or Device not found!");
    return DevicePtr();
}

void DeviceList::Remove(const char* id) {
    if (id == nullptr) {
        CLog::Instance().Info("CDevicesManager::DeviceList::Remove: DeviceId is NULL!");
        return;
    }
    CCritSecLock lock(m_lock);
    m_devices.erase(id);
}

bool DeviceList::Insert(const std::string& id, const DevicePtr& device) {
    CCritSecLock lock(m_lock);
    return m_devices.emplace(id, device).second;
}

DevicePtr DeviceList::First() {
    CCritSecLock lock(m_lock);
    return m_devices.empty() ? DevicePtr() : m_devices.begin()->second;
}

std::vector<std::pair<std::string, DevicePtr>> DeviceList::Snapshot() {
    CCritSecLock lock(m_lock);
    return {m_devices.begin(), m_devices.end()};
}

size_t DeviceList::Count() {
    CCritSecLock lock(m_lock);
    return m_devices.size();
}

void DeviceList::Clear() {
    CCritSecLock lock(m_lock);
    m_devices.clear();
}

void CDevicesManager::AddDevice(DevicePtr device) {
    if (!device) return;
    device->InitDevice();
    const std::string id = device->GetDeviceID();
    m_devices.Insert(id, device);
    QueuedMessage message;
    message.type = kvt__MessageType__NewDevice;
    message.receiver = "Core";
    message.deviceId = id;
    m_messageQueue.storeMessage(message);
}

int CDevicesManager::RemoveDeviceFromList(DevicePtr device) {
    if (!device) {
        m_log->Error("CDevicesManager::RemoveDeviceFromList: device not valid");
        return -1;
    }
    const std::string id = device->GetDeviceID();
    m_log->Debug("CDevicesManager::RemoveDeviceFromList: removing %s", id.c_str());
    CCritSecLock lock(m_devices.Lock());
    if (device->CloseDevice() != 0) return -1;
    m_devices.Remove(id.c_str());
    QueuedMessage message;
    message.type = kvt__MessageType__LostDevice;
    message.receiver = "Core";
    message.deviceId = id;
    m_messageQueue.storeMessage(message);
    CPropertiesManager::Instance().OnTargetLost(id);
    m_log->Debug("CDevicesManager::RemoveDeviceFromList: %d devices remaining in list",
                 static_cast<int>(m_devices.Count()));
    return 0;
}

void CDevicesManager::RemoveAllDevices() {
    for (DevicePtr device = m_devices.First(); device; device = m_devices.First()) {
        if (RemoveDeviceFromList(device) == -1) {
            m_log->Debug(
                "CDevicesManager::RemoveAllDevices: Sleep (10) because CLOSE_DEVICE_ERROR == "
                "RemoveDeviceFromList");
            platform::SleepMs(kCloseRetryMs);
        }
    }
}
