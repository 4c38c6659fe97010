#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/CallContext.h"
#include "common/Log.h"
#include "devicemanager/DeviceList.h"
#include "devicemanager/DeviceManagerConfig.h"
#include "devicemanager/MessageQueue.h"
#include "devicemanager/SensorHost.h"
#include "platform/CritSec.h"
#include "platform/Event.h"
#include "platform/SystemMutex.h"

class PLWinBmp;
class CUSBManager;

// A service-shaped object: Start runs it until Stop is asked for.
class CServerBase {
public:
    virtual ~CServerBase() = default;
    virtual void Start() = 0;
    // Asks a running server to stop and returns at once.
    virtual void Stop() = 0;
    virtual bool OnPowerEvent(int eventType) = 0;
    // Destroys the process's instance (CDevicesManager::DropInstance).
    virtual void Drop() = 0;
};

// Power-broadcast event types handled by OnPowerEvent.
enum PowerEvent : int {
    kPowerQuerySuspend = 0,
    kPowerQueryStandby = 1,
    kPowerSuspend = 4,
    kPowerStandby = 5,
    kPowerResumeCritical = 6,
    kPowerResumeSuspend = 7,
    kPowerResumeStandby = 8,
};

// The one device manager of the process: configuration, log, sensors,
// listeners and the machine-wide single-instance lock.
class CDevicesManager : public CServerBase, public SensorHost {
public:
    static constexpr const char* kMutexName = "KVT_DevicesManagerMutex";

    static CDevicesManager* CreateInstance();
    static CDevicesManager* Instance();
    static void DropInstance();
    // True once Stop was asked for, and whenever no manager exists. Safe to
    // call from any thread while the instance is being dropped.
    static bool StopRequested();
    // True while the manager stops or is suspended, and whenever no manager
    // exists; sensor exchanges poll it so they end with the manager.
    static bool HaltRequested();
    // Asks the instance, if there is one, to stop. False when there is none.
    static bool RequestStop();
    // Runs DMQueryMessage on the instance for the message thread; the instance
    // is not destroyed while the query runs. False once there is no instance
    // to ask, or it is being destroyed. A stopping manager is still asked, so
    // that what its shutdown posts can be delivered.
    static bool QueryMessageIfRunning(CCallContext* context, kvt__TransportMessage& out);

    ~CDevicesManager() override;

    void Start() override;
    void Stop() override;
    bool OnPowerEvent(int eventType) override;
    void Drop() override { DropInstance(); }

    bool IsStopping() const override { return m_stop.load(); }
    CUSBManager& UsbManager() { return *m_usbManager; }
    bool IsSuspended() const override { return m_suspended.load(); }
    HaltCheck Halted() const override {
        return [] { return HaltRequested(); };
    }
    int32_t U2AsyncSleepTime() const override;
    int32_t TemperatureCompensation() const override;
    const DeviceManagerConfig& Config() const { return m_config; }
    std::string ConfigPath() const;

    // Opens one listener per configured listener that can bind and starts its
    // accepting thread; they end once the manager stops or suspends.
    void CreateDeviceListenerThreads();

    // Runs body on a detached thread that counts as a worker thread, so the
    // shutdown waits for it, and that the manager's destruction waits for as
    // well. False when no thread could be started.
    bool StartWorkerThread(std::function<void()> body) override;

    // The registry. Adding posts NewDevice, removing posts LostDevice.
    DeviceList& Devices() { return m_devices; }
    void AddDevice(DevicePtr device) override;
    // 0 when removed; -1 when the reference is empty or the sensor refused to close.
    int RemoveDeviceFromList(DevicePtr device) override;
    DevicePtr FindDevice(const char* deviceId) override { return m_devices.Get(deviceId); }
    // Returns only once the registry is empty, retrying sensors that refuse to close.
    void RemoveAllDevices();

    CMessageQueue& MessageQueue() { return m_messageQueue; }
    // Waits up to 30 s for the next message; fails when none came or the
    // manager stops. The image is copied into context.
    int DMQueryMessage(CCallContext* context, const char* client, kvt__TransportMessage& out);
    void SendQuittingMessage();

    // The operations behind the device exports; 0 or the code of a fault
    // recorded in context.
    int DMGetDeviceList(CCallContext* context, ArrayOfDeviceInformation& result);
    int DMGetDeviceInformation(CCallContext* context, const char* deviceId,
                               kvt__DeviceInformation& out);
    // A time-out of 0 captures synchronously into out; otherwise a capture
    // thread posts the outcome and out stays empty.
    int DMCaptureImage(CCallContext* context, const char* clientId, const char* deviceId,
                       int32_t timeout, kvt__CapturedData& out);
    int DMCancelAsyncCapture(CCallContext* context, const char* clientId, const char* deviceId,
                             bool& deviceAvailable);
    int DMIndicateResult(CCallContext* context, const char* clientId, const char* deviceId,
                         int32_t result);
    int DMSetProperty(CCallContext* context, const char* clientId, const char* target,
                      const char* key, const char* value);
    int DMGetProperty(CCallContext* context, const char* clientId, const char* target,
                      const char* key, std::string& value);

    // The image path: forwarders to image/Makeup.h and image/LFDLevel.h.
    // Turns frame 1 of a raw capture buffer into the delivered picture.
    static void MakeupImage(const uint8_t* raw, const CProperties& properties, PLWinBmp& bitmap);
    // Make-up encoded as a BMP file of 500 dpi, owned by context. A null raw
    // leaves target as it is.
    static void CopyImageToBase64Binary(const uint8_t* raw, CCallContext* context,
                                        const CProperties& properties, xsd__base64Binary* target);
    // Make-up encoded as a BMP file without resolution. A null raw leaves the
    // message as it is.
    static void CopyImageToMessage(const uint8_t* raw, const CProperties& properties,
                                   QueuedMessage& message);
    // The live-finger level 0..5 of a capture whose raw buffer holds both
    // frames. Releases device before it returns.
    static int32_t GetLFDLevel(DevicePtr device, const CProperties& properties, const uint8_t* raw);

    // Closes sensors and listeners and waits for the worker threads; a full
    // shutdown also announces that the manager goes offline. True when every
    // worker thread ended in time.
    bool ShutDown(bool full);

private:
    struct Token {
        explicit Token() = default;
    };

public:
    // Only CreateInstance makes a manager.
    explicit CDevicesManager(Token);

private:
    friend class CManagerLease;
    friend class CMessageDeliveryScope;

    void ReadConfiguration();
    // Opens the log the configuration names and logs what reading it found.
    void OpenLog();
    // Waits, bounded, for the calls that hold a lease to return.
    void WaitForCalls();
    // Waits until no message thread is delivering: at most busyMs of a
    // callback that does not return, and at most 2 s in all.
    static void WaitForMessageDelivery(uint32_t busyMs);
    void DMThreadGetAsyncImageProc(DevicePtr device);
    // The LFD level of a raw capture (0 without a second frame); deliverable
    // tells whether the buffer holds at least one frame of the picture size.
    int32_t GradeCapture(const DevicePtr& device, const std::vector<uint8_t>& raw,
                         bool& deliverable);

    std::atomic<bool> m_suspended{false};
    CLog* m_log;
    platform::CEvent m_captureFinished{false, false};
    std::atomic<bool> m_stop{false};
    // Set once the start has been reported; calls are admitted only from then on.
    std::atomic<bool> m_up{false};
    // Set when the instance is about to be destroyed: a waiting message query ends.
    std::atomic<bool> m_dropping{false};
    platform::CEvent m_stopEvent{true, false};
    std::unique_ptr<CCallContext> m_context;
    // Found once: the configuration and a relative log path both live here.
    const std::string m_dataFolder;
    std::unique_ptr<CUSBManager> m_usbManager;
    DeviceManagerConfig m_config;
    // Capture properties change, and whole synchronous captures run, under this lock.
    CCritSec m_propertyLock;
    DeviceList m_devices;
    CMessageQueue m_messageQueue;
    CCritSec m_powerLock;
    platform::CSystemMutex m_mutex;
    bool m_socketsReady = false;
    // Threads of StartWorkerThread still running.
    std::atomic<int> m_workerThreads{0};
};

// Holds the running manager for the length of one call from the application:
// it is neither torn down nor destroyed until the lease ends. Empty when no
// manager runs, or it has been asked to stop.
class CManagerLease {
public:
    CManagerLease();
    ~CManagerLease();
    CManagerLease(const CManagerLease&) = delete;
    CManagerLease& operator=(const CManagerLease&) = delete;

    explicit operator bool() const { return m_manager != nullptr; }
    CDevicesManager& operator*() const { return *m_manager; }
    CDevicesManager* operator->() const { return m_manager; }

private:
    CDevicesManager* m_manager = nullptr;
};

// Counts the message thread as delivering from its release until it ends; the
// shutdown gives it a bounded time to hand the going-offline message to the
// application.
class CMessageDeliveryScope {
public:
    // Counts a released thread in before it has run, so that a stop soon after
    // the start still waits for it.
    static void Announce();
    // Counts out an announced thread that never took its count over.
    static void Withdraw();

    // Takes over the announced count and gives it back when the thread ends.
    CMessageDeliveryScope() = default;
    ~CMessageDeliveryScope();
    CMessageDeliveryScope(const CMessageDeliveryScope&) = delete;
    CMessageDeliveryScope& operator=(const CMessageDeliveryScope&) = delete;

    // Brackets one call of the application's callback: only time spent there
    // counts against the shutdown's pause, not time waiting for a processor.
    class InCallback {
    public:
        InCallback();
        ~InCallback();
        InCallback(const InCallback&) = delete;
        InCallback& operator=(const InCallback&) = delete;
    };
};

// The configuration's settings of the newer USB model, as the sensors get them.
int32_t GetU2AsyncSleepTime();
int32_t GetTemperatureCompensation();
