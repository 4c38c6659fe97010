#include "devicemanager/DevicesManager.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <system_error>

#include "common/Timing.h"
#include "devicemanager/DMThread.h"
#include "devicemanager/StartupReport.h"
#include "devicemanager/WorkerThreads.h"
#include "ethernet/DeviceListener.h"
#include "image/LFDLevel.h"
#include "image/Makeup.h"
#include "platform/Immortal.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Sockets.h"
#include "platform/Thread.h"
#include "platform/Time.h"
#include "platform/Version.h"
#include "properties/PropertiesManager.h"
#include "usb/USBManager.h"

namespace {

// Guards the instance pointer and the counts below, so that the instance is
// never destroyed while a call, a message query or a delivery still uses it.
std::mutex g_instanceMutex;

// An application that exits without KVT_Stop leaves the manager running. On
// Windows its threads are gone by then and tearing it down would wait for
// them; the system reclaims what it holds.
struct InstanceOwner : std::unique_ptr<CDevicesManager> {
    ~InstanceOwner() {
        if (platform::ProcessIsExiting()) (void)release();
    }
    using std::unique_ptr<CDevicesManager>::operator=;
};
InstanceOwner g_instance;
std::atomic<CDevicesManager*> g_instancePtr{nullptr};
int g_queryUsers = 0;
int g_callUsers = 0;
int g_deliveringThreads = 0;
// Since when the message thread has been inside the application's callback.
std::optional<std::chrono::steady_clock::time_point> g_callbackSince;
// Never destroyed: Windows may end a thread inside a notify at exit.
platform::Immortal<std::condition_variable> g_usersChangedStorage;
std::condition_variable& g_usersChanged = g_usersChangedStorage.Get();

// Counts one user out of a count above and wakes whoever waits on the counts.
void CountOut(int& users) {
    {
        std::lock_guard lock(g_instanceMutex);
        --users;
    }
    g_usersChanged.notify_all();
}

std::atomic<int32_t> g_u2AsyncSleepTime{500};
std::atomic<int32_t> g_temperatureCompensation{0};

constexpr uint32_t kStopPollMs = 100;
constexpr uint32_t kGoingOfflinePauseMs = 500;
// A loaded machine may leave the message thread unscheduled for a while.
constexpr uint32_t kDeliveryLimitMs = 2000;
constexpr uint32_t kShutdownPauseMs = 1000;
constexpr uint32_t kWorkerWaitMs = 500;
constexpr int kWorkerWaitRounds = 50;
constexpr uint32_t kDestroyWaitMs = 100;
constexpr int kDestroyWaitRounds = 100;
constexpr uint32_t kQueryDeadlineMs = 30000;
constexpr uint32_t kQueryPollMs = 300;
// How long a stop lets the application's calls finish before it closes the sensors.
constexpr uint32_t kCallWaitMs = 5000;

}  // namespace

int32_t GetU2AsyncSleepTime() {
    return g_u2AsyncSleepTime.load();
}
int32_t GetTemperatureCompensation() {
    return g_temperatureCompensation.load();
}

int32_t CDevicesManager::U2AsyncSleepTime() const {
    return GetU2AsyncSleepTime();
}
int32_t CDevicesManager::TemperatureCompensation() const {
    return GetTemperatureCompensation();
}

CDevicesManager* CDevicesManager::CreateInstance() {
    auto manager = std::make_unique<CDevicesManager>(Token{});
    std::lock_guard lock(g_instanceMutex);
    // A manager left behind by a manager thread that failed is replaced.
    g_instance = std::move(manager);
    g_instancePtr = g_instance.get();
    return g_instance.get();
}

CDevicesManager* CDevicesManager::Instance() {
    return g_instancePtr.load();
}

void CDevicesManager::DropInstance() {
    std::unique_ptr<CDevicesManager> dropped;
    {
        std::unique_lock lock(g_instanceMutex);
        g_instancePtr = nullptr;
        dropped = std::move(g_instance);
        if (dropped) {
            dropped->m_stop = true;
            dropped->m_dropping = true;
            dropped->m_messageQueue.Interrupt();
        }
        // A call still inside the manager returns soon once it has stopped;
        // destroying the manager under it is never an option.
        if (g_callUsers != 0) {
            CLog::Instance().Error("CDevicesManager::DropInstance: waiting for %d calls",
                                   g_callUsers);
        }
        g_usersChanged.wait(lock, [] { return g_queryUsers == 0 && g_callUsers == 0; });
    }
    dropped.reset();
    CPropertiesManager::DropInstance();
}

bool CDevicesManager::RequestStop() {
    std::lock_guard lock(g_instanceMutex);
    if (g_instance == nullptr) return false;
    g_instance->Stop();
    return true;
}

bool CDevicesManager::QueryMessageIfRunning(CCallContext* context, kvt__TransportMessage& out) {
    CDevicesManager* manager;
    {
        std::lock_guard lock(g_instanceMutex);
        if (g_instance == nullptr || g_instance->m_dropping.load()) return false;
        manager = g_instance.get();
        ++g_queryUsers;
    }
    manager->DMQueryMessage(context, nullptr, out);
    CountOut(g_queryUsers);
    return true;
}

CManagerLease::CManagerLease() {
    std::lock_guard lock(g_instanceMutex);
    CDevicesManager* manager = g_instance.get();
    if (manager == nullptr || !manager->m_up.load() || manager->m_stop.load()) return;
    m_manager = manager;
    ++g_callUsers;
}

CManagerLease::~CManagerLease() {
    if (m_manager != nullptr) CountOut(g_callUsers);
}

void CMessageDeliveryScope::Announce() {
    std::lock_guard lock(g_instanceMutex);
    ++g_deliveringThreads;
}

void CMessageDeliveryScope::Withdraw() {
    CountOut(g_deliveringThreads);
}

CMessageDeliveryScope::~CMessageDeliveryScope() {
    CountOut(g_deliveringThreads);
}

CMessageDeliveryScope::InCallback::InCallback() {
    {
        std::lock_guard lock(g_instanceMutex);
        g_callbackSince = std::chrono::steady_clock::now();
    }
    g_usersChanged.notify_all();
}

CMessageDeliveryScope::InCallback::~InCallback() {
    {
        std::lock_guard lock(g_instanceMutex);
        g_callbackSince.reset();
    }
    g_usersChanged.notify_all();
}

void CDevicesManager::WaitForCalls() {
    std::unique_lock lock(g_instanceMutex);
    if (!g_usersChanged.wait_for(lock, std::chrono::milliseconds(kCallWaitMs),
                                 [] { return g_callUsers == 0; })) {
        m_log->Error("CDevicesManager::WaitForCalls: %d calls still running at shutdown",
                     g_callUsers);
    }
}

void CDevicesManager::WaitForMessageDelivery(uint32_t busyMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point begin = Clock::now();
    const Clock::time_point limit = begin + std::chrono::milliseconds(kDeliveryLimitMs);
    std::unique_lock lock(g_instanceMutex);
    while (g_deliveringThreads != 0) {
        Clock::time_point giveUp = limit;
        if (g_callbackSince) {
            giveUp = std::min(
                limit, std::max(*g_callbackSince, begin) + std::chrono::milliseconds(busyMs));
        }
        if (Clock::now() >= giveUp) return;
        g_usersChanged.wait_until(lock, giveUp);
    }
}

bool CDevicesManager::StopRequested() {
    std::lock_guard lock(g_instanceMutex);
    return g_instance == nullptr || g_instance->m_stop.load();
}

bool CDevicesManager::HaltRequested() {
    std::lock_guard lock(g_instanceMutex);
    return g_instance == nullptr || g_instance->m_stop.load() || g_instance->m_suspended.load();
}

CDevicesManager::CDevicesManager(Token)
    : m_log(&CLog::Instance()),
      m_dataFolder(GetApplicationDataFolder()),
      m_usbManager(std::make_unique<CUSBManager>(*this)) {
    ReadConfiguration();
    m_socketsReady = platform::SocketLibraryStartup();
    if (m_socketsReady) {
        m_log->Debug("Socket library initialized");
    } else {
        m_log->Error("failed to initialize socket library ");
    }
}

CDevicesManager::~CDevicesManager() {
    CFunctionTrace trace("CDevicesManager::~CDevicesManager");
    // Worker threads use the manager. A manager that never ran its shutdown
    // (or whose threads outlived it) still stops them and gives them time to end.
    m_stop = true;
    for (int round = 0; m_workerThreads.load() != 0 && round < kDestroyWaitRounds; ++round) {
        platform::SleepMs(kDestroyWaitMs);
    }
    if (m_socketsReady) {
        platform::SocketLibraryCleanup();
        m_log->Debug("Socket library cleaned up");
    }
}

std::string CDevicesManager::ConfigPath() const {
    return platform::JoinPath(m_dataFolder, DeviceManagerConfig::kFileName);
}

void CDevicesManager::ReadConfiguration() {
    // Without a data folder Start fails; nothing is read or written elsewhere.
    if (!m_dataFolder.empty()) m_config.Read(ConfigPath());
    g_u2AsyncSleepTime = m_config.u2AsyncSleepTime;
    g_temperatureCompensation = m_config.temperatureCompensation;
}

void CDevicesManager::OpenLog() {
    std::string logPath = m_config.logFileName;
    if (platform::IsRelativePath(logPath)) {
        logPath = platform::JoinPath(m_dataFolder, logPath);
    }
    if (!m_log->StartLogging(logPath, m_config.logLevel,
                             static_cast<uint32_t>(m_config.logFileSize),
                             m_config.EchoLogToConsole())) {
        ReportStartup(CLog::kWarning, "CDevicesManager::Start: cannot write the log file " +
                                          logPath + " (" + std::generic_category().message(errno) +
                                          ")");
    }
    for (const std::string& finding : m_config.findings) ReportStartup(CLog::kWarning, finding);
}

void CDevicesManager::Start() {
    if (m_dataFolder.empty()) {
        const char* configured = std::getenv("KVT_DATA_DIR");
        ReportStartup(CLog::kError,
                      std::string("CDevicesManager::Start: no data folder that can be written") +
                          (configured != nullptr ? std::string(" (KVT_DATA_DIR=") + configured + ")"
                                                 : std::string()));
        CDMThread::SignalStartFailure(KVT_RESULT_FAILED);
        return;
    }

    errno = 0;
    const auto lock = m_mutex.Create(kMutexName);
    const int lockError = errno != 0 ? errno : EIO;
    if (lock != platform::CSystemMutex::Result::Created) {
        // Said in the log (when it can be written) and counted as a failed start.
        OpenLog();
        if (lock == platform::CSystemMutex::Result::AlreadyExists) {
            ReportStartup(CLog::kError,
                          "CDevicesManager::Start: another device manager is running (" +
                              std::string(kMutexName) + " is taken)");
            CDMThread::SignalStartFailure(KVT_RESULT_START_FAILED);
        } else {
            ReportStartup(CLog::kError, "CDevicesManager::Start: cannot take " +
                                            std::string(kMutexName) + " (" +
                                            std::generic_category().message(lockError) + ")");
            CDMThread::SignalStartFailure(KVT_RESULT_FAILED);
        }
        m_log->StopLogging();
        return;
    }

    OpenLog();

    const std::string version = platform::LibraryFileVersion();
    {
        CFunctionTrace trace("CDevicesManager::Start");
        m_suspended = false;
        m_context = std::make_unique<CCallContext>();

        m_log->Always("KVT DeviceManager started, v%s", version.c_str());
        m_log->Always("Current Config: Port %d ", m_config.port);

        CreateDeviceListenerThreads();
        m_usbManager->Start();

        // Calls are admitted before KVT_Start returns, and refused again if
        // nobody waits for this manager any more (its start was given up).
        m_up = true;
        if (!CDMThread::SignalStartEvent()) {
            m_log->Error("CDevicesManager::CreateInstance GetLastError: %d", platform::LastError());
            Stop();
        }

        // Woken at once by Stop; the poll only bounds the wait.
        while (!m_stop) m_stopEvent.Wait(kStopPollMs);
        m_log->Debug("Stop pending reported");

        WaitForCalls();
        ShutDown(true);
        m_context.reset();
        m_mutex.Close();
        m_log->Always("KVT DeviceManager stopped, v%s", version.c_str());
    }
}

void CDevicesManager::Stop() {
    // The manager may be destroyed as soon as it sees the flag, so setting
    // the flag is the last thing done to it here.
    m_log->Debug("SCM requests service to stop");
    m_stopEvent.Set();
    m_stop = true;
}

bool CDevicesManager::StartWorkerThread(std::function<void()> body) {
    // Counted before it exists, so a shutdown that starts now waits for it.
    WorkerThreads::Enter();
    ++m_workerThreads;
    const bool started = StartDetachedThread([this, body = std::move(body)] {
        struct CountOut {
            std::atomic<int>& own;
            ~CountOut() {
                WorkerThreads::Leave();
                --own;
            }
        } countOut{m_workerThreads};
        body();
    });
    if (!started) {
        WorkerThreads::Leave();
        --m_workerThreads;
    }
    return started;
}

void CDevicesManager::CreateDeviceListenerThreads() {
    StartDeviceListeners(*this, m_config.listeners);
}

void CDevicesManager::MakeupImage(const uint8_t* raw, const CProperties& properties,
                                  PLWinBmp& bitmap) {
    picture::MakeupImage(raw, properties, bitmap);
}

void CDevicesManager::CopyImageToBase64Binary(const uint8_t* raw, CCallContext* context,
                                              const CProperties& properties,
                                              xsd__base64Binary* target) {
    picture::CopyImageToBase64Binary(raw, context, properties, target);
}

void CDevicesManager::CopyImageToMessage(const uint8_t* raw, const CProperties& properties,
                                         QueuedMessage& message) {
    picture::CopyImageToFile(raw, properties, message.image);
}

int32_t CDevicesManager::GetLFDLevel(DevicePtr device, const CProperties& properties,
                                     const uint8_t* raw) {
    CFunctionTrace trace("CDevicesManager::GetLFDLevel");
    int32_t level = 0;
    if (device && raw != nullptr) {
        CDevice& sensor = *device;
        level = GradeLiveFinger(properties, raw, sensor.GetDeviceType(),
                                [&sensor](LFDMeasurement& measurement) {
                                    return sensor.GetBoundLFD(1000, measurement);
                                });
    } else {
        CLog::Instance().Error("CDevicesManager::GetLFDLevel: no device or no image");
    }
    device.Reset();
    return level;
}

int CDevicesManager::DMQueryMessage(CCallContext* context, const char* /*client*/,
                                    kvt__TransportMessage& out) {
    CFunctionTrace trace("CDevicesManager::DMQueryMessage");
    const CTimeout deadline(kQueryDeadlineMs);
    // A stopping manager is still asked: its shutdown posts the messages
    // that tell the application the sensors and the manager went away.
    if (m_dropping) return CCallContext::kServerFault;
    // Woken by a post, so delivery does not wait out the poll interval.
    while (m_messageQueue.isEmpty()) {
        if (deadline.IsElapsed()) return CCallContext::kServerFault;
        m_messageQueue.WaitForMessage(kQueryPollMs);
        if (m_dropping) return CCallContext::kServerFault;
    }
    QueuedMessage message;
    if (!m_messageQueue.fetchMessage(message)) return CCallContext::kServerFault;
    out.type = message.type;
    out.receiver = message.receiver;
    out.deviceId = message.deviceId;
    out.additionalInfo = message.additionalInfo;
    out.data.LFDLevel = message.LFDLevel;
    out.data.LFDData = message.LFDData;
    out.data.properties = message.properties;
    out.data.image = xsd__base64Binary{};
    if (!message.image.empty()) {
        unsigned char* block = context->Allocate(message.image.size());
        if (block != nullptr) {
            std::copy(message.image.begin(), message.image.end(), block);
            out.data.image.ptr = block;
            out.data.image.size = static_cast<int32_t>(message.image.size());
        }
    }
    m_log->Debug(" > %s", out.receiver.c_str());
    return 0;
}

void CDevicesManager::SendQuittingMessage() {
    QueuedMessage message;
    message.type = kvt__MessageType__DMGoingOffline;
    message.receiver = "Core";
    m_messageQueue.storeMessage(message);
}

bool CDevicesManager::ShutDown(bool full) {
    for (const auto& [id, device] : m_devices.Snapshot()) {
        if (device) device->CloseDevice();
    }
    m_log->Debug("Devices deactivated");
    // The listeners see the stop flag within their accept slice and close
    // their sockets themselves; closing them here could hit a reused handle.
    m_log->Debug("Device-Sockets closed");
    RemoveAllDevices();
    if (!m_usbManager->Stop()) m_log->Error("CDevicesManager::ShutDown: USB watcher did not stop");

    // Each pause ends as soon as what it waits for has happened.
    if (full) {
        SendQuittingMessage();
        WaitForMessageDelivery(kGoingOfflinePauseMs);
    }
    WorkerThreads::WaitForNone(kShutdownPauseMs);

    int rounds = 0;
    while (WorkerThreads::Count() != 0 && rounds < kWorkerWaitRounds) {
        WorkerThreads::WaitForNone(kWorkerWaitMs);
        ++rounds;
    }
    const int open = WorkerThreads::Count();
    m_log->Always("DevicesManager ShutDown: open Threads: %d after %d loops", open, rounds);
    if (open != 0) m_log->Error("In DevicesManager %d threads did not terminate in time", open);
    return open == 0;
}

bool CDevicesManager::OnPowerEvent(int eventType) {
    CCritSecLock lock(m_powerLock);
    switch (eventType) {
        case kPowerQuerySuspend:
        case kPowerQueryStandby:
            m_log->Info("CDevicesManager::OnPowerEvent: Suspend queried - EventType %d", eventType);
            for (const auto& [id, device] : m_devices.Snapshot()) {
                const bool busy = device && device->GetCaptureState() != CDevice::kIdle;
                m_log->Info(busy ? "CDevicesManager::OnPowerEvent: Device %s is busy"
                                 : "CDevicesManager::OnPowerEvent: Device %s is free",
                            id.c_str());
            }
            return true;
        case kPowerSuspend:
        case kPowerStandby:
            m_log->Info("CDevicesManager::OnPowerEvent: Suspend requested - EventType %d",
                        eventType);
            m_suspended = true;
            ShutDown(false);
            m_log->Info("CDevicesManager::OnPowerEvent: Suspend request accepted");
            return true;
        case kPowerResumeCritical:
        case kPowerResumeSuspend:
        case kPowerResumeStandby:
            m_log->Info("CDevicesManager::OnPowerEvent: Resume event - EventType %d", eventType);
            m_suspended = false;
            CreateDeviceListenerThreads();
            m_usbManager->Start();
            for (const auto& [id, device] : m_devices.Snapshot()) {
                m_log->Info("CDevicesManager::OnPowerEvent: Resuming: Device %s reconnected",
                            id.c_str());
            }
            return true;
        default:
            m_log->Info("CDevicesManager::OnPowerEvent: Unhandled Power event - EventType %d",
                        eventType);
            return true;
    }
}
