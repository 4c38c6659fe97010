#pragma once

#include <map>
#include <string>
#include <vector>

#include "devicemanager/DevicePtr.h"
#include "platform/CritSec.h"

// The manager's map from device id to sensor. Every change of the map and
// every sensor removal happens under Lock().
class DeviceList {
public:
    // An empty reference when the id is null or not registered.
    DevicePtr Get(const char* id);
    void Remove(const char* id);
    // False when the id is present already; the existing entry stays.
    bool Insert(const std::string& id, const DevicePtr& device);
    // An empty reference when the list is empty.
    DevicePtr First();
    // The entries in id order, each with its own reference.
    std::vector<std::pair<std::string, DevicePtr>> Snapshot();
    size_t Count();
    void Clear();

    CCritSec& Lock() { return m_lock; }

private:
    CCritSec m_lock;
    std::map<std::string, DevicePtr> m_devices;
};
