// The operating system's USB bus on Windows: the sensor driver's device
// interfaces, device-change notifications and its I/O control requests.
// winsock2.h must come before windows.h can pull in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <dbt.h>
#include <setupapi.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "common/Log.h"
#include "platform/Immortal.h"
#include "platform/Thread.h"
#include "platform/UsbDriver.h"
#include "platform/win32/ModuleHandle.h"

namespace platform {

namespace {

constexpr DWORD kIoctlWrite = 0x222051;       // device type 0x22, function 0x814, in-direct
constexpr DWORD kIoctlRead = 0x22204E;        // device type 0x22, function 0x813, out-direct
constexpr DWORD kIoctlDescriptor = 0x222004;  // device type 0x22, function 0x801, buffered

// The sensor driver's own interface class, then the general USB device class.
const GUID kInterfaceClasses[] = {
    {0x4F6E7F7F, 0xB621, 0x403A, {0x9A, 0xF3, 0x8C, 0xD5, 0xA6, 0xA1, 0xDA, 0xA4}},
    {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}},
};

constexpr char kWindowClass[] = "_KVT_USB_MANAGER_";

class Win32UsbHandle : public UsbDriverHandle {
public:
    explicit Win32UsbHandle(HANDLE handle) : m_handle(handle) {}
    ~Win32UsbHandle() override { Close(); }

    bool Write(const uint8_t* data, uint32_t length, uint32_t& transferred) override {
        return Transfer(kIoctlWrite, 0, const_cast<uint8_t*>(data), length, transferred);
    }
    bool Read(uint8_t* data, uint32_t length, uint32_t& transferred) override {
        return Transfer(kIoctlRead, 1, data, length, transferred);
    }
    bool ReadDescriptor(uint8_t* descriptor, uint32_t capacity, uint32_t& transferred) override {
        DWORD returned = 0;
        transferred = 0;
        if (m_handle == INVALID_HANDLE_VALUE) return false;
        const BOOL ok = DeviceIoControl(m_handle, kIoctlDescriptor, nullptr, 0, descriptor,
                                        capacity, &returned, nullptr);
        transferred = returned;
        return ok != FALSE;
    }
    void Close() override {
        if (m_handle == INVALID_HANDLE_VALUE) return;
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }
    bool IsOpen() const override { return m_handle != INVALID_HANDLE_VALUE; }
    uintptr_t LogValue() const override { return reinterpret_cast<uintptr_t>(m_handle); }

private:
    bool Transfer(DWORD code, uint32_t pipe, uint8_t* data, uint32_t length,
                  uint32_t& transferred) {
        DWORD returned = 0;
        transferred = 0;
        if (m_handle == INVALID_HANDLE_VALUE) return false;
        const BOOL ok =
            DeviceIoControl(m_handle, code, &pipe, sizeof pipe, data, length, &returned, nullptr);
        transferred = returned;
        return ok != FALSE;
    }

    HANDLE m_handle;
};

class Win32UsbBus : public UsbBus {
public:
    ~Win32UsbBus() override { Unwatch(); }

    const char* Name() const override { return "win32"; }

    std::vector<std::string> PresentPaths() override {
        std::vector<std::string> paths;
        for (const GUID& interfaceClass : kInterfaceClasses) {
            HDEVINFO set = SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr,
                                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
            if (set == INVALID_HANDLE_VALUE) continue;
            for (DWORD index = 0;; ++index) {
                SP_DEVICE_INTERFACE_DATA data{};
                data.cbSize = sizeof data;
                if (!SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data))
                    break;
                DWORD size = 0;
                SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
                if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) break;
                std::vector<uint8_t> block(size);
                auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
                detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
                if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr))
                    break;
                paths.emplace_back(detail->DevicePath);
            }
            SetupDiDestroyDeviceInfoList(set);
        }
        return paths;
    }

    std::unique_ptr<UsbDriverHandle> Open(const std::string& path, int& error) override {
        HANDLE handle =
            CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            error = static_cast<int>(GetLastError());
            return nullptr;
        }
        error = 0;
        return std::make_unique<Win32UsbHandle>(handle);
    }

    void Watch(UsbBusListener* listener) override {
        std::lock_guard lock(m_watchMutex);
        if (m_thread.joinable() || listener == nullptr) return;
        m_listener = listener;
        ResetEvent(m_stop);
        m_thread = std::thread([this] { NotificationLoop(); });
    }

    void Unwatch() override {
        std::lock_guard lock(m_watchMutex);
        if (!m_thread.joinable()) return;
        SetEvent(m_stop);
        // At process exit Windows has already ended the thread: nothing to wait for.
        if (ProcessIsExiting())
            m_thread.detach();
        else
            m_thread.join();
        m_listener = nullptr;
    }

private:
    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
        if (message == WM_CREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            SetWindowLongPtrA(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        } else if (message == WM_DEVICECHANGE && lParam != 0) {
            const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
            auto* bus = reinterpret_cast<Win32UsbBus*>(GetWindowLongPtrA(window, GWLP_USERDATA));
            if (bus != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
                const auto* broadcast =
                    reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
                if (UsbBusListener* listener = bus->m_listener.load())
                    listener->OnUsbEvent(static_cast<uint32_t>(wParam), broadcast->dbcc_name);
            }
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    void NotificationLoop() {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = &WindowProcedure;
        windowClass.hInstance = win32::LibraryModule();
        windowClass.lpszClassName = kWindowClass;
        RegisterClassA(&windowClass);
        // A message-only window: it needs no desktop, so hot-plug works in
        // services and headless sessions as well.
        HWND window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      win32::LibraryModule(), this);
        if (window == nullptr) {
            CLog::Instance().Error("USB notification window could not be created (%lu)",
                                   GetLastError());
        } else {
            std::vector<HDEVNOTIFY> notifications;
            for (const GUID& interfaceClass : kInterfaceClasses) {
                DEV_BROADCAST_DEVICEINTERFACE_A filter{};
                filter.dbcc_size = sizeof filter;
                filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
                filter.dbcc_classguid = interfaceClass;
                if (HDEVNOTIFY notification =
                        RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE))
                    notifications.push_back(notification);
            }
            // Messages until Unwatch signals the stop event.
            while (MsgWaitForMultipleObjects(1, &m_stop, FALSE, INFINITE, QS_ALLINPUT) ==
                   WAIT_OBJECT_0 + 1) {
                MSG message;
                while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
                    TranslateMessage(&message);
                    DispatchMessageA(&message);
                }
            }
            for (HDEVNOTIFY notification : notifications)
                UnregisterDeviceNotification(notification);
            DestroyWindow(window);
        }
        UnregisterClassA(kWindowClass, win32::LibraryModule());
    }

    std::mutex m_watchMutex;
    std::atomic<UsbBusListener*> m_listener{nullptr};
    std::thread m_thread;
    // Manual reset; never closed, as the bus lives until the process ends.
    HANDLE m_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

}  // namespace

UsbBus* SystemUsbBus() {
    static Immortal<Win32UsbBus> bus;
    return &bus.Get();
}

}  // namespace platform
