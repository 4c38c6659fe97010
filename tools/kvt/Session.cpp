#include "Session.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "Cli.h"
#include "kvt/KVTSimulator.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) {
    g_interrupted = 1;
}

std::vector<std::string> DeviceIds(const Session& session) {
    std::vector<KVT_DeviceInfo> devices;
    session.Devices(devices);
    std::vector<std::string> ids;
    for (const KVT_DeviceInfo& d : devices) ids.emplace_back(d.deviceId);
    return ids;
}

}  // namespace

const char* MessageName(int type) {
    switch (type) {
        case KVT_MSG_UNSPECIFIED:
            return "Unspecified";
        case KVT_MSG_NEW_DEVICE:
            return "NewDevice";
        case KVT_MSG_LOST_DEVICE:
            return "LostDevice";
        case KVT_MSG_CAPTURED_IMAGE:
            return "CapturedImage";
        case KVT_MSG_TIMEOUT:
            return "Timeout";
        case KVT_MSG_CAPTURE_CANCELLED:
            return "CaptureCancelled";
        case KVT_MSG_GOING_OFFLINE:
            return "DMGoingOffline";
        default:
            return "unknown";
    }
}

const char* ConnectionName(int connection) {
    return connection == KVT_CONNECTION_ETH ? "Ethernet" : "USB";
}

const char* DeviceTypeName(int type) {
    switch (type) {
        case KVT_DEVICE_KELO_A:
            return "Kelo-A";
        case KVT_DEVICE_KELO_B:
            return "Kelo-B";
        case KVT_DEVICE_KELO_C:
            return "Kelo-C";
        default:
            return "unknown";
    }
}

void KVT_CALLBACK Inbox::Callback(KVT_Message* message, void* user) {
    static_cast<Inbox*>(user)->Add(*message);
}

void Inbox::Add(const KVT_Message& message) {
    Delivered entry;
    entry.type = message.type;
    entry.deviceId = message.deviceId;
    entry.additionalInfo = message.additionalInfo;
    const KVT_CapturedData& data = message.capturedData;
    if (data.image != nullptr) entry.image.assign(data.image, data.image + data.imageSize);
    entry.lfdLevel = data.LFDLevel;
    entry.lfdData = data.LFDData;
    entry.properties = data.properties;
    std::lock_guard lock(m_mutex);
    m_messages.push_back(std::move(entry));
    m_changed.notify_all();
}

bool Inbox::TakeAny(const std::vector<int>& types, const std::string& deviceId, Delivered& out,
                    std::chrono::milliseconds wait) {
    std::unique_lock lock(m_mutex);
    const auto found = [&] {
        for (auto it = m_messages.begin(); it != m_messages.end(); ++it) {
            if (deviceId.empty() || it->deviceId == deviceId) {
                for (const int type : types) {
                    if (it->type != type) continue;
                    out = std::move(*it);
                    m_messages.erase(it);
                    return true;
                }
            }
        }
        return false;
    };
    return m_changed.wait_for(lock, wait, found);
}

bool Inbox::Take(int type, const std::string& deviceId, Delivered& out,
                 std::chrono::milliseconds wait) {
    return TakeAny({type}, deviceId, out, wait);
}

bool Inbox::Next(Delivered& out, std::chrono::milliseconds wait) {
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_for(lock, wait, [&] { return !m_messages.empty(); })) return false;
    out = std::move(m_messages.front());
    m_messages.erase(m_messages.begin());
    return true;
}

Session::~Session() {
    Stop();
}

int Session::Start() {
    const int result = KVT_Start(&Inbox::Callback, &m_inbox);
    m_running = result == KVT_RESULT_OK;
    return result;
}

int Session::Stop() {
    if (!m_running) return KVT_RESULT_OK;
    m_running = false;
    return KVT_Stop();
}

void Session::WaitForSensors() {
    using namespace std::chrono;
    constexpr auto kQuiet = milliseconds(400);
    constexpr auto kMost = seconds(2);
    const auto start = steady_clock::now();
    auto changed = start;
    size_t count = DeviceIds(*this).size();
    while (steady_clock::now() - changed < kQuiet && steady_clock::now() - start < kMost) {
        std::this_thread::sleep_for(milliseconds(25));
        const size_t now = DeviceIds(*this).size();
        if (now != count) {
            count = now;
            changed = steady_clock::now();
        }
    }
}

int Session::Devices(std::vector<KVT_DeviceInfo>& devices) const {
    unsigned int count = 0;
    int result = KVT_GetDeviceList(nullptr, &count);
    // Sensors may arrive between the two calls; ask again until the list fits.
    while (result == KVT_RESULT_TOO_SMALL) {
        devices.assign(count, KVT_DeviceInfo{});
        result = KVT_GetDeviceList(devices.data(), &count);
    }
    devices.resize(result == KVT_RESULT_OK ? count : 0);
    return result;
}

bool Session::FindDevice(const std::string& which, KVT_DeviceInfo& device,
                         std::string& error) const {
    std::vector<KVT_DeviceInfo> devices;
    const int result = Devices(devices);
    if (result != KVT_RESULT_OK) {
        error = std::string("KVT_GetDeviceList: ") + cli::ResultText(result);
        return false;
    }
    if (devices.empty()) {
        error =
            "no sensor connected (set KVT_SIMULATED_SENSORS=u2,u1 or use --simulate u2 to try "
            "simulated ones)";
        return false;
    }
    if (which.empty()) {
        device = devices.front();
        return true;
    }
    int index = -1;
    if (cli::ParseInt(which, 0, static_cast<int>(devices.size()) - 1, index)) {
        device = devices[index];
        return true;
    }
    for (const KVT_DeviceInfo& d : devices) {
        if (which == d.deviceId || which == d.serialNumber) {
            device = d;
            return true;
        }
    }
    error = "no sensor '" + which + "' (kvt list shows the connected ones)";
    return false;
}

bool Session::AttachSimulated(const std::string& model, int& simId, KVT_DeviceInfo& device,
                              std::string& error) {
    const int kind = model == "u1" ? KVTSIM_MODEL_U1 : model == "u2" ? KVTSIM_MODEL_U2 : 0;
    if (kind == 0) {
        error = "unknown simulated sensor model '" + model + "' (u1 or u2)";
        return false;
    }
    return Attach([kind](int* id) { return KVTSim_AttachUsbSensor(kind, nullptr, id); }, simId,
                  device, error);
}

bool Session::Attach(const std::function<int(int*)>& plug, int& simId, KVT_DeviceInfo& device,
                     std::string& error) {
    // Sensors that were there before are not the one plugged in now.
    const std::vector<std::string> before = DeviceIds(*this);
    if (plug(&simId) != KVTSIM_OK) {
        error = "the simulated sensor could not be plugged in";
        return false;
    }
    using std::chrono::steady_clock;
    const auto deadline = steady_clock::now() + std::chrono::seconds(10);
    Delivered arrived;
    while (m_inbox.Take(
        KVT_MSG_NEW_DEVICE, {}, arrived,
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now()))) {
        if (std::find(before.begin(), before.end(), arrived.deviceId) != before.end()) continue;
        device = KVT_DeviceInfo{};
        device.size = sizeof device;
        const int result = KVT_GetDeviceInformation(arrived.deviceId.c_str(), &device);
        if (result == KVT_RESULT_OK) return true;
        error = std::string("KVT_GetDeviceInformation: ") + cli::ResultText(result);
        return false;
    }
    error = "the simulated sensor was not announced";
    return false;
}

int CaptureSync(const std::string& id, Captured& captured) {
    // Full pictures are the largest; a larger picture would come back as -3
    // with its size, so one more try always fits.
    unsigned int capacity = KVT_CalcImageSize(416, 332);
    for (int attempt = 0; attempt < 2; ++attempt) {
        captured.image.assign(capacity, 0);
        KVT_CapturedData data{};
        data.size = sizeof data;
        data.image = captured.image.data();
        data.imageSize = capacity;
        const int result = KVT_CaptureImage(id.c_str(), 0, &data);
        if (result == KVT_RESULT_TOO_SMALL) {
            capacity = data.imageSize;
            continue;
        }
        if (result != KVT_RESULT_OK) return result;
        captured.image.resize(data.imageSize);
        captured.lfdLevel = data.LFDLevel;
        captured.lfdData = data.LFDData;
        captured.properties = data.properties;
        return KVT_RESULT_OK;
    }
    return KVT_RESULT_TOO_SMALL;
}

std::string DataFolder() {
    const char* configured = std::getenv("KVT_DATA_DIR");
    if (configured != nullptr && *configured != '\0') return configured;
#ifdef _WIN32
    const char* common = std::getenv("ProgramData");
    return common != nullptr ? (fs::path(common) / "KVT Biometrics").string() : std::string();
#else
    const std::string machineWide = "/var/lib/KVT Biometrics";
    std::error_code ec;
    if (fs::is_directory(machineWide, ec) && ::access(machineWide.c_str(), W_OK | X_OK) == 0)
        return machineWide;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && *xdg != '\0') return std::string(xdg) + "/KVT Biometrics";
    if (home != nullptr && *home != '\0') return std::string(home) + "/.local/share/KVT Biometrics";
    return {};
#endif
}

InterruptGuard::InterruptGuard() {
    g_interrupted = 0;
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
}

InterruptGuard::~InterruptGuard() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

bool InterruptGuard::Interrupted() {
    return g_interrupted != 0;
}
