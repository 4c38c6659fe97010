#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "devicemanager/Device.h"

// A counted reference to a sensor. The registry holds one, and every operation
// on a sensor holds its own, so a sensor removed during a capture lives until
// that capture lets go. The last reference deletes the sensor.
class DevicePtr {
public:
    DevicePtr() = default;
    // Takes ownership of a newly made sensor.
    explicit DevicePtr(std::unique_ptr<CDevice> device) {
        if (!device) return;
        m_shared = new Shared{1, nullptr};
        m_shared->device = device.release();
    }
    DevicePtr(const DevicePtr& other) noexcept : m_shared(other.m_shared) { AddRef(); }
    DevicePtr(DevicePtr&& other) noexcept : m_shared(std::exchange(other.m_shared, nullptr)) {}
    DevicePtr& operator=(DevicePtr other) noexcept {
        std::swap(m_shared, other.m_shared);
        return *this;
    }
    ~DevicePtr() { Release(); }

    // Drops this reference at once.
    void Reset() noexcept {
        Release();
        m_shared = nullptr;
    }

    CDevice* get() const { return m_shared ? m_shared->device : nullptr; }
    CDevice* operator->() const { return get(); }
    CDevice& operator*() const { return *get(); }
    explicit operator bool() const { return get() != nullptr; }
    long UseCount() const { return m_shared ? m_shared->count.load() : 0; }

private:
    struct Shared {
        std::atomic<long> count;
        CDevice* device;
    };

    void AddRef() noexcept {
        if (m_shared) m_shared->count.fetch_add(1, std::memory_order_relaxed);
    }
    void Release() noexcept {
        if (m_shared && m_shared->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete m_shared->device;
            delete m_shared;
        }
    }

    Shared* m_shared = nullptr;
};

template <typename Model, typename... Args>
DevicePtr MakeDevice(Args&&... args) {
    return DevicePtr(std::make_unique<Model>(std::forward<Args>(args)...));
}
