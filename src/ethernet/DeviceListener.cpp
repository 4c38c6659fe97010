// The Ethernet listeners: one accepting thread per configured
// listener, and one short-lived thread per accepted connection that turns it
// into a registered CEthernetDevice. Setting up a connection on its own thread,
// within a deadline and with a bounded number at once, keeps peers that stall
// or drip from delaying the sensors that connect after them.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/Timing.h"
#include "ethernet/DeviceListener.h"

#include "devicemanager/SensorHost.h"
#include "ethernet/EthernetDevice.h"
#include "ethernet/ListenerAdmission.h"
#include "platform/Time.h"

namespace {

constexpr int kAcceptBacklog = 5;
// A failing accept is tried again after this pause, so a listener that keeps
// failing does not spin.
constexpr uint32_t kAcceptRetryMs = 100;
// A sensor answers its five set-up exchanges in milliseconds; a peer still not
// through after this long is not one worth waiting for.
constexpr uint32_t kHandshakeLimitMs = 2000;
// Connections set up at once per listener, and from one peer address.
constexpr size_t kMaxHandshakes = 32;
constexpr size_t kMaxHandshakesPerPeer = 4;
// When every place is taken, a set-up older than this gives way to a newcomer;
// a sensor is through long before, so only stalling peers are dropped.
constexpr auto kEvictAfter = std::chrono::milliseconds(250);
// Refusals are logged at most this often per listener, so a peer that keeps
// connecting cannot flood the log.
constexpr uint32_t kRefusalLogPeriodMs = 1000;

// The deadline of one connection's set-up. It ends every wait on the peer once
// it passes or the set-up is dropped for a newcomer, and no longer counts once
// the set-up is over.
class HandshakeDeadline {
public:
    HandshakeDeadline() : m_deadline(kHandshakeLimitMs) {}
    bool Passed() {
        if (m_over.load() || (!m_dropped.load() && !m_deadline.IsElapsed())) return false;
        m_cut = true;
        return true;
    }
    void Drop() { m_dropped = true; }
    bool Dropped() const { return m_dropped.load(); }
    // Ends the deadline; true when it cut a wait short.
    bool Finish() {
        m_over = true;
        return m_cut.load();
    }

private:
    const CTimeout m_deadline;
    std::atomic<bool> m_over{false};
    std::atomic<bool> m_cut{false};
    std::atomic<bool> m_dropped{false};
};

// Logs refusals of one listener, the first at once and the rest summed up.
class RefusalLog {
public:
    explicit RefusalLog(std::string listener) : m_listener(std::move(listener)) {}
    void Refused(const platform::SocketAddress& peer, const char* why) {
        ++m_unlogged;
        if (m_logged && !m_period.IsElapsed()) return;
        CLog::Instance().Warning(
            "DeviceListener: %s refused %s (%s); %u refused since the last such line",
            m_listener.c_str(), platform::AddressText(peer).c_str(), why, m_unlogged);
        m_unlogged = 0;
        m_logged = true;
        m_period.Restart();
    }

private:
    const std::string m_listener;
    CTimeout m_period{kRefusalLogPeriodMs};
    bool m_logged = false;
    unsigned m_unlogged = 0;
};

// Sets up one accepted connection and registers the sensor behind it.
void SetUpEthernetDevice(SensorHost& host, const SocketEndpoint& connection,
                         const SocketEndpoint& listener, int echoPort,
                         const std::shared_ptr<HandshakeDeadline>& deadline) {
    CFunctionTrace trace("SetUpEthernetDevice");
    const auto running = [&host] { return !host.IsStopping() && !host.IsSuspended(); };
    // The device owns the connection from here; its destructor closes it.
    DevicePtr device = MakeDevice<CEthernetDevice>(
        connection, listener, echoPort,
        [halted = host.Halted(), deadline] { return halted() || deadline->Passed(); });
    if (!running()) return;
    const bool initialized = device->Initialize();
    // A cut wait may have cost only a value that is merely logged; the sensor
    // is refused all the same, as it did not set up in time.
    const bool late = deadline->Finish();
    if (late && deadline->Dropped()) {
        CLog::Instance().Warning(
            "CDevicesManager::AddEthernetDeviceThread: %s was dropped while connecting, to make "
            "room for another connection",
            platform::AddressText(connection.address).c_str());
    } else if (late) {
        CLog::Instance().Warning(
            "CDevicesManager::AddEthernetDeviceThread: %s did not finish connecting within %u ms",
            platform::AddressText(connection.address).c_str(), kHandshakeLimitMs);
    }
    if (!initialized || late) {
        CLog::Instance().Info(
            "CDevicesManager::AddEthernetDeviceThread: failed to initialize new CEthernetDevice");
        device->CloseDevice();
        return;
    }
    // A stop during Initialize must not register a sensor after the
    // shutdown emptied the registry.
    if (!running()) return;
    host.AddDevice(device);
    CEthernetDevice::StartThreadEcho(host, device);
}

std::string ListenerName(const ListenerConfig& config) {
    return config.address + ":" + std::to_string(config.port);
}

// The listener's AllowedPeers, with a log line for each entry it cannot use.
CPeerFilter ReadPeerFilter(const ListenerConfig& config) {
    std::vector<std::string> rejected;
    CPeerFilter filter = CPeerFilter::Parse(config.allowedPeers, rejected);
    for (const std::string& entry : rejected) {
        CLog::Instance().Error(
            "DeviceListener: %s ignores AllowedPeers entry \"%s\": not an IPv4 address or prefix",
            ListenerName(config).c_str(), entry.c_str());
    }
    if (filter.IsRestricted()) {
        CLog::Instance().Always("DeviceListener: %s admits only AllowedPeers %s",
                                ListenerName(config).c_str(), config.allowedPeers.c_str());
    }
    return filter;
}

// Accepts sensors on one listener until host stops or suspends.
void AcceptSensors(SensorHost& host, SocketEndpoint listener, const ListenerConfig& config,
                   const CPeerFilter& filter) {
    CFunctionTrace trace("CDevicesManager::AddEthernetDeviceThread");
    CLog& log = CLog::Instance();
    const std::string name = ListenerName(config);
    const auto slots =
        std::make_shared<CHandshakeSlots>(kMaxHandshakes, kMaxHandshakesPerPeer, kEvictAfter);
    RefusalLog refusals(name);

    // The listener is not left to the manager's closing of registered
    // sockets: closing it while this thread waits on it could make the wait
    // use whatever socket gets the number next. The wait asks for the flags
    // a few times a second instead, and the socket is closed here.
    const auto running = [&host] { return !host.IsStopping() && !host.IsSuspended(); };
    while (running()) {
        SocketEndpoint connection;
        if (!AcceptConnection(listener, connection, kAcceptBacklog, running)) {
            if (running()) platform::SleepMs(kAcceptRetryMs);
            continue;
        }
        CHandshakeSlots::Slot slot;
        const auto deadline = std::make_shared<HandshakeDeadline>();
        if (!running()) {
            CloseEndpoint(connection);
        } else if (!filter.Allows(connection.address)) {
            refusals.Refused(connection.address, "not in AllowedPeers");
            CloseEndpoint(connection);
        } else if (!(slot = slots->TryTake(connection.address, [deadline] { deadline->Drop(); }))) {
            refusals.Refused(connection.address, "too many connections being set up");
            CloseEndpoint(connection);
        } else if (!host.StartWorkerThread(
                       [&host, connection, listener, echoPort = config.echoPort, deadline,
                        held = std::make_shared<CHandshakeSlots::Slot>(std::move(slot))] {
                           SetUpEthernetDevice(host, connection, listener, echoPort, deadline);
                       })) {
            log.Error(
                "CDevicesManager::AddEthernetDeviceThread: no thread for a connection from %s",
                platform::AddressText(connection.address).c_str());
            CloseEndpoint(connection);
        }
    }
    CloseEndpoint(listener);
}

}  // namespace

void StartDeviceListeners(SensorHost& host, const std::vector<ListenerConfig>& listeners) {
    CFunctionTrace trace("CDevicesManager::CreateDeviceListenerThreads");
    CLog& log = CLog::Instance();
    for (const ListenerConfig& config : listeners) {
        SocketEndpoint listener;
        // A listener that cannot bind does not exist; only those that do are logged.
        if (!SetEndpointAddress(listener, config.address.c_str(), config.port) ||
            !BindEndpoint(listener)) {
            continue;
        }
        log.Always("DeviceListener: Listening on %s:%d for devices", config.address.c_str(),
                   config.port);
        const CPeerFilter filter = ReadPeerFilter(config);
        if (!host.StartWorkerThread([&host, listener, config, filter] {
                AcceptSensors(host, listener, config, filter);
            })) {
            CloseEndpoint(listener);
            log.Error("CDevicesManager::CreateDeviceListenerThreads: no thread for %s:%d",
                      config.address.c_str(), config.port);
        }
    }
}
