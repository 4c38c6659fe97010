// The operating system's USB bus on Linux, through libusb.
#include <libusb-1.0/libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "common/Log.h"
#include "common/Text.h"
#include "platform/Immortal.h"
#include "platform/UsbDriver.h"
#include "platform/posix/LibusbPaths.h"

namespace platform {

namespace {

// A dead sensor fails its transfer instead of hanging the thread.
constexpr unsigned kTransferTimeoutMs = 5000;
constexpr int kEventPollMs = 200;
constexpr int kSensorInterface = 0;
// Shipped in packaging/; it lets logged-in users open the sensors' device nodes.
constexpr const char* kUdevRuleFile = "60-kvt-sensors.rules";

std::vector<uint8_t> PortChain(libusb_device* device) {
    uint8_t ports[8];
    const int count = libusb_get_port_numbers(device, ports, sizeof ports);
    if (count <= 0) return {};
    return std::vector<uint8_t>(ports, ports + count);
}

std::string PathOf(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0) return {};
    return FormatLibusbPath(descriptor.idVendor, descriptor.idProduct,
                            libusb_get_bus_number(device), PortChain(device));
}

void PackDescriptor(const libusb_device_descriptor& d, uint8_t* out) {
    out[0] = d.bLength;
    out[1] = d.bDescriptorType;
    out[2] = static_cast<uint8_t>(d.bcdUSB);
    out[3] = static_cast<uint8_t>(d.bcdUSB >> 8);
    out[4] = d.bDeviceClass;
    out[5] = d.bDeviceSubClass;
    out[6] = d.bDeviceProtocol;
    out[7] = d.bMaxPacketSize0;
    out[8] = static_cast<uint8_t>(d.idVendor);
    out[9] = static_cast<uint8_t>(d.idVendor >> 8);
    out[10] = static_cast<uint8_t>(d.idProduct);
    out[11] = static_cast<uint8_t>(d.idProduct >> 8);
    out[12] = static_cast<uint8_t>(d.bcdDevice);
    out[13] = static_cast<uint8_t>(d.bcdDevice >> 8);
    out[14] = d.iManufacturer;
    out[15] = d.iProduct;
    out[16] = d.iSerialNumber;
    out[17] = d.bNumConfigurations;
}

class LibusbHandle : public UsbDriverHandle {
public:
    // events: whether the bus's event thread handles the context's events;
    // while it does not, a transfer handles them itself.
    LibusbHandle(libusb_context* context, const std::atomic<bool>& events,
                 libusb_device_handle* handle, uint8_t outEndpoint, uint8_t inEndpoint,
                 bool reattachDriver)
        : m_context(context),
          m_events(events),
          m_handle(handle),
          m_out(outEndpoint),
          m_in(inEndpoint),
          m_reattach(reattachDriver) {}
    ~LibusbHandle() override { Close(); }

    bool Write(const uint8_t* data, uint32_t length, uint32_t& transferred) override {
        return Transfer(m_out, const_cast<uint8_t*>(data), length, transferred);
    }
    bool Read(uint8_t* data, uint32_t length, uint32_t& transferred) override {
        return Transfer(m_in, data, length, transferred);
    }
    bool ReadDescriptor(uint8_t* descriptor, uint32_t capacity, uint32_t& transferred) override {
        transferred = 0;
        if (m_handle == nullptr || capacity < kDescriptorSize) return false;
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(libusb_get_device(m_handle), &d) != 0) return false;
        PackDescriptor(d, descriptor);
        transferred = kDescriptorSize;
        return true;
    }
    void Close() override {
        if (m_handle == nullptr) return;
        libusb_release_interface(m_handle, kSensorInterface);
        if (m_reattach) libusb_attach_kernel_driver(m_handle, kSensorInterface);
        libusb_close(m_handle);
        m_handle = nullptr;
    }
    bool IsOpen() const override { return m_handle != nullptr; }
    uintptr_t LogValue() const override { return reinterpret_cast<uintptr_t>(m_handle); }

private:
    // Signalled by the transfer's callback, the last thing libusb does with
    // the transfer on the thread that completes it.
    struct Completion {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
    };

    static void LIBUSB_CALL OnTransferDone(libusb_transfer* transfer) {
        auto* completion = static_cast<Completion*>(transfer->user_data);
        std::lock_guard lock(completion->mutex);
        completion->done = true;
        completion->finished.notify_all();
    }

    static int ResultOf(const libusb_transfer& transfer) {
        switch (transfer.status) {
            case LIBUSB_TRANSFER_COMPLETED:
                return LIBUSB_SUCCESS;
            case LIBUSB_TRANSFER_TIMED_OUT:
                return LIBUSB_ERROR_TIMEOUT;
            case LIBUSB_TRANSFER_STALL:
                return LIBUSB_ERROR_PIPE;
            case LIBUSB_TRANSFER_NO_DEVICE:
                return LIBUSB_ERROR_NO_DEVICE;
            case LIBUSB_TRANSFER_OVERFLOW:
                return LIBUSB_ERROR_OVERFLOW;
            default:
                return LIBUSB_ERROR_IO;
        }
    }

    // Not libusb_bulk_transfer: libusb 1.0.26 may complete a synchronous
    // transfer on the event thread and still touch it there after the waiting
    // thread has freed it.
    bool Transfer(uint8_t endpoint, uint8_t* data, uint32_t length, uint32_t& transferred) {
        transferred = 0;
        if (m_handle == nullptr) return false;
        libusb_transfer* transfer = libusb_alloc_transfer(0);
        if (transfer == nullptr) return false;
        Completion completion;
        // libusb moves at most INT_MAX bytes per transfer; the sensor never asks for more.
        libusb_fill_bulk_transfer(transfer, m_handle, endpoint, data, static_cast<int>(length),
                                  &LibusbHandle::OnTransferDone, &completion, kTransferTimeoutMs);
        int result = libusb_submit_transfer(transfer);
        if (result == 0) {
            std::unique_lock lock(completion.mutex);
            while (!completion.done) {
                if (m_events.load()) {
                    completion.finished.wait_for(lock, std::chrono::milliseconds(kEventPollMs));
                    continue;
                }
                lock.unlock();
                timeval poll{0, kEventPollMs * 1000};
                libusb_handle_events_timeout_completed(m_context, &poll, nullptr);
                lock.lock();
            }
            result = ResultOf(*transfer);
            transferred = static_cast<uint32_t>(transfer->actual_length);
        }
        libusb_free_transfer(transfer);
        if (result != 0) {
            CLog::Instance().Debug("libusb transfer on endpoint 0x%02X failed: %s", endpoint,
                                   libusb_error_name(result));
        }
        return result == 0;
    }

    libusb_context* m_context;
    const std::atomic<bool>& m_events;
    libusb_device_handle* m_handle;
    uint8_t m_out;
    uint8_t m_in;
    bool m_reattach;  // a kernel driver had the interface before us
};

class LibusbBus : public UsbBus {
public:
    ~LibusbBus() override { Unwatch(); }

    const char* Name() const override { return "libusb"; }

    std::vector<std::string> PresentPaths() override {
        std::vector<std::string> paths;
        std::lock_guard lock(m_watchMutex);
        if (m_context == nullptr) return paths;
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(m_context, &list);
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == kSensorVendorId)
                paths.push_back(PathOf(list[i]));
        }
        if (list != nullptr) libusb_free_device_list(list, 1);
        return paths;
    }

    std::unique_ptr<UsbDriverHandle> Open(const std::string& path, int& error) override {
        error = LIBUSB_ERROR_NOT_FOUND;
        std::lock_guard lock(m_watchMutex);
        if (m_context == nullptr) return nullptr;
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(m_context, &list);
        std::unique_ptr<UsbDriverHandle> opened;
        for (ssize_t i = 0; i < count && !opened; ++i) {
            if (EqualNoCase(PathOf(list[i]), path)) opened = OpenDevice(list[i], error);
        }
        if (list != nullptr) libusb_free_device_list(list, 1);
        return opened;
    }

    void Watch(UsbBusListener* listener) override {
        std::lock_guard lock(m_watchMutex);
        if (m_context != nullptr || listener == nullptr) return;
        // libusb runs a monitor thread of its own from init to exit, so the
        // context lives only while the library watches.
        const int init = libusb_init(&m_context);
        if (init != 0) {
            CLog::Instance().Warning(
                "libusb could not be initialised (%s); USB sensors are not found",
                libusb_error_name(init));
            m_context = nullptr;
            return;
        }
        if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) return;
        m_listener = listener;
        const int result = libusb_hotplug_register_callback(
            m_context,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_NO_FLAGS, kSensorVendorId, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, &LibusbBus::OnHotplug, this, &m_callback);
        if (result != 0) {
            CLog::Instance().Warning("libusb hot-plug registration failed: %s",
                                     libusb_error_name(result));
            m_listener = nullptr;
            return;
        }
        m_running = true;
        m_events = std::thread([this] {
            timeval poll{0, kEventPollMs * 1000};
            while (m_running.load())
                libusb_handle_events_timeout_completed(m_context, &poll, nullptr);
        });
    }

    void Unwatch() override {
        std::lock_guard lock(m_watchMutex);
        if (m_context == nullptr) return;
        if (m_listener.load() != nullptr) {
            m_running = false;
            // Deregistering wakes the event thread, which then sees the flag.
            libusb_hotplug_deregister_callback(m_context, m_callback);
            if (m_events.joinable()) m_events.join();
            m_listener = nullptr;
        }
        // Sensors are closed before their bus stops being watched.
        libusb_exit(m_context);
        m_context = nullptr;
    }

private:
    std::unique_ptr<UsbDriverHandle> OpenDevice(libusb_device* device, int& error) {
        libusb_config_descriptor* config = nullptr;
        error = libusb_get_active_config_descriptor(device, &config);
        if (error != 0) return nullptr;
        uint8_t out = 0, in = 0;
        const bool found =
            config->bNumInterfaces > kSensorInterface &&
            config->interface[kSensorInterface].num_altsetting > 0 &&
            FindBulkEndpoints(config->interface[kSensorInterface].altsetting[0], out, in);
        libusb_free_config_descriptor(config);
        if (!found) {
            error = LIBUSB_ERROR_NOT_SUPPORTED;
            return nullptr;
        }
        libusb_device_handle* handle = nullptr;
        error = libusb_open(device, &handle);
        if (error == LIBUSB_ERROR_ACCESS) {
            CLog::Instance().Warning(
                "libusb: no read-write access to /dev/bus/usb/%03u/%03u (%s); install the udev "
                "rule %s from share/kvtbasic/udev/ in /etc/udev/rules.d/ and plug the sensor in "
                "again",
                static_cast<unsigned>(libusb_get_bus_number(device)),
                static_cast<unsigned>(libusb_get_device_address(device)), PathOf(device).c_str(),
                kUdevRuleFile);
        }
        if (error != 0) return nullptr;
        // Only a driver that is known to hold the interface is detached: where
        // the question cannot be answered, claiming shows whether it is free.
        const bool detach = libusb_kernel_driver_active(handle, kSensorInterface) == 1 &&
                            libusb_detach_kernel_driver(handle, kSensorInterface) == 0;
        // No sharing: a second opener fails here, as the driver's exclusive open does.
        error = libusb_claim_interface(handle, kSensorInterface);
        if (error != 0) {
            if (detach) libusb_attach_kernel_driver(handle, kSensorInterface);
            libusb_close(handle);
            return nullptr;
        }
        return std::make_unique<LibusbHandle>(m_context, m_running, handle, out, in, detach);
    }

    static int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* device,
                                     libusb_hotplug_event event, void* user) {
        auto* bus = static_cast<LibusbBus*>(user);
        UsbBusListener* listener = bus->m_listener.load();
        if (listener == nullptr) return 0;
        const std::string path = PathOf(device);
        if (path.empty()) return 0;
        listener->OnUsbEvent(
            event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? kUsbArrival : kUsbRemoveComplete, path);
        return 0;
    }

    std::mutex m_watchMutex;  // the context and the watch
    libusb_context* m_context = nullptr;
    std::atomic<UsbBusListener*> m_listener{nullptr};
    std::atomic<bool> m_running{false};
    libusb_hotplug_callback_handle m_callback = 0;
    std::thread m_events;
};

}  // namespace

std::string FormatLibusbPath(uint16_t vendorId, uint16_t productId, uint8_t busNumber,
                             const std::vector<uint8_t>& portChain) {
    char head[64];
    std::snprintf(head, sizeof head, "\\\\?\\usb#vid_%04x&pid_%04x#%u-", vendorId, productId,
                  static_cast<unsigned>(busNumber));
    std::string path = head;
    for (size_t i = 0; i < portChain.size(); ++i) {
        if (i > 0) path += '.';
        path += std::to_string(portChain[i]);
    }
    if (portChain.empty()) path += '0';
    path += "#{4f6e7f7f-b621-403a-9af3-8cd5a6a1daa4}";
    return path;
}

bool FindBulkEndpoints(const libusb_interface_descriptor& interface, uint8_t& outEndpoint,
                       uint8_t& inEndpoint) {
    bool haveOut = false, haveIn = false;
    for (int i = 0; i < interface.bNumEndpoints; ++i) {
        const libusb_endpoint_descriptor& endpoint = interface.endpoint[i];
        if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
            continue;
        const bool in =
            (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
        if (in && !haveIn) {
            inEndpoint = endpoint.bEndpointAddress;
            haveIn = true;
        } else if (!in && !haveOut) {
            outEndpoint = endpoint.bEndpointAddress;
            haveOut = true;
        }
    }
    return haveOut && haveIn;
}

UsbBus* SystemUsbBus() {
    static Immortal<LibusbBus> bus;
    return &bus.Get();
}

}  // namespace platform
