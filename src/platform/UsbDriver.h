#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// An opened USB sensor, as its kernel driver offers it: bulk out on pipe 0,
// bulk in on pipe 1, the device descriptor, and close. Nothing else of the
// operating system's USB stack is used.
class UsbDriverHandle {
public:
    static constexpr uint32_t kDescriptorSize = 18;

    virtual ~UsbDriverHandle() = default;

    // One bulk transfer each; false when the driver call fails. transferred
    // is the number of bytes moved, which may differ from length.
    virtual bool Write(const uint8_t* data, uint32_t length, uint32_t& transferred) = 0;
    virtual bool Read(uint8_t* data, uint32_t length, uint32_t& transferred) = 0;
    // The standard USB device descriptor (idVendor at bytes 8..9, little-endian).
    virtual bool ReadDescriptor(uint8_t* descriptor, uint32_t capacity, uint32_t& transferred) = 0;
    // Idempotent; transfers fail afterwards.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // A number that identifies the handle in log lines.
    virtual uintptr_t LogValue() const = 0;
};

// Device-change events, with the values of the operating system's broadcasts.
enum UsbEvent : uint32_t {
    kUsbArrival = 0x8000,
    kUsbQueryRemove = 0x8001,
    kUsbRemovePending = 0x8003,
    kUsbRemoveComplete = 0x8004,
};

// Receives arrivals and removals of device-interface paths. Calls may come
// from any thread of the bus.
class UsbBusListener {
public:
    virtual ~UsbBusListener() = default;
    virtual void OnUsbEvent(uint32_t event, const std::string& path) = 0;
};

// A source of USB sensors: the operating system's bus or the simulated one.
// Paths have the operating system's device-interface form, for example
// \\?\usb#vid_1013&pid_0019#<instance>#{4f6e7f7f-b621-403a-9af3-8cd5a6a1daa4}.
class UsbBus {
public:
    virtual ~UsbBus() = default;
    virtual const char* Name() const = 0;
    // Paths of the sensors present now.
    virtual std::vector<std::string> PresentPaths() = 0;
    // Opens a path for exclusive use. Null on failure, with an error code
    // for the log.
    virtual std::unique_ptr<UsbDriverHandle> Open(const std::string& path, int& error) = 0;
    // Starts reporting events to listener until Unwatch; one listener at a time.
    virtual void Watch(UsbBusListener* listener) = 0;
    // Returns once no further event will reach the listener.
    virtual void Unwatch() = 0;
};

// Observes buses that join while the library runs (the simulated bus joins
// when its first sensor is attached).
class UsbBusObserver {
public:
    virtual ~UsbBusObserver() = default;
    virtual void OnBusAdded(UsbBus* bus) = 0;
};

// The buses of the process: the operating system's bus, when it can be used,
// and every bus added since. Buses live until the process ends.
std::vector<UsbBus*> UsbBuses();
void AddUsbBus(UsbBus* bus);
// At most one observer; null removes it.
void SetUsbBusObserver(UsbBusObserver* observer);

// The operating system's bus (libusb on Linux, SetupDi and device
// notifications on Windows); null when it cannot be used.
UsbBus* SystemUsbBus();

}  // namespace platform
