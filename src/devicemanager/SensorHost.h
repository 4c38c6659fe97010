#pragma once

#include <cstdint>
#include <functional>

#include "devicemanager/DevicePtr.h"

// What the sensor transports need from whoever runs them: the registry, the
// stop and suspend state, worker threads and the settings they read. The
// device manager implements it and hands it down, so usb/ and ethernet/ never
// reach up for the manager itself.
class SensorHost {
public:
    // A stop check that stays valid after the host is gone.
    using HaltCheck = std::function<bool()>;

    virtual ~SensorHost() = default;

    // Registers a sensor (posts NewDevice).
    virtual void AddDevice(DevicePtr device) = 0;
    // 0 when removed; -1 when the reference is empty or the sensor refused to close.
    virtual int RemoveDeviceFromList(DevicePtr device) = 0;
    // The registered sensor with this device id, or an empty reference.
    virtual DevicePtr FindDevice(const char* deviceId) = 0;

    virtual bool IsStopping() const = 0;
    virtual bool IsSuspended() const = 0;
    // True once the host stops or suspends, or no longer exists.
    virtual HaltCheck Halted() const = 0;

    // Runs body on a thread the host's shutdown waits for. False when no
    // thread could be started.
    virtual bool StartWorkerThread(std::function<void()> body) = 0;

    // Settling time in ms of the newer USB model's asynchronous capture.
    virtual int32_t U2AsyncSleepTime() const = 0;
    // Temperature compensation written to the newer USB model at start.
    virtual int32_t TemperatureCompensation() const = 0;
};
