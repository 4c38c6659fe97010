// The manager's Ethernet listeners: one accepting thread per configured
// listener turns each sensor that connects into a registered CEthernetDevice.
#include "common/Log.h"
#include "devicemanager/DevicesManager.h"
#include "ethernet/EthernetDevice.h"
#include "platform/Time.h"

namespace {

constexpr int kAcceptBacklog = 5;
// A failing accept is tried again after this pause, so a listener that keeps
// failing does not spin.
constexpr uint32_t kAcceptRetryMs = 100;

}  // namespace

void CDevicesManager::CreateDeviceListenerThreads() {
    CFunctionTrace trace("CDevicesManager::CreateDeviceListenerThreads");
    for (const ListenerConfig& config : m_config.listeners) {
        SocketEndpoint listener;
        // A listener that cannot bind does not exist; only those that do are logged.
        if (!SetEndpointAddress(listener, config.address.c_str(), config.port) ||
            !BindEndpoint(listener)) {
            continue;
        }
        m_log->Always("DeviceListener: Listening on %s:%d for devices", config.address.c_str(),
                      config.port);
        const int echoPort = config.echoPort;
        if (!StartWorkerThread(
                [this, listener, echoPort] { AddEthernetDeviceThread(listener, echoPort); })) {
            CloseEndpoint(listener);
            m_log->Error("CDevicesManager::CreateDeviceListenerThreads: no thread for %s:%d",
                         config.address.c_str(), config.port);
        }
    }
}

void CDevicesManager::AddEthernetDeviceThread(SocketEndpoint listener, int echoPort) {
    CFunctionTrace trace("CDevicesManager::AddEthernetDeviceThread");
    // The listener is not left to the manager's closing of registered
    // sockets: closing it while this thread waits on it could make the wait
    // use whatever socket gets the number next. The wait asks for the flags
    // a few times a second instead, and the socket is closed here.
    const auto running = [this] { return !m_stop.load() && !m_suspended.load(); };
    while (running()) {
        SocketEndpoint connection;
        if (!AcceptConnection(listener, connection, kAcceptBacklog, running)) {
            if (running()) platform::SleepMs(kAcceptRetryMs);
            continue;
        }
        // The device owns the connection from here; its destructor closes it.
        DevicePtr device = MakeDevice<CEthernetDevice>(connection, listener, echoPort,
                                                       &CDevicesManager::HaltRequested);
        if (!running()) continue;
        if (!device->Initialize()) {
            m_log->Info(
                "CDevicesManager::AddEthernetDeviceThread: failed to initialize new "
                "CEthernetDevice");
            device->CloseDevice();
            continue;
        }
        // A stop during Initialize must not register a sensor after the
        // shutdown emptied the registry.
        if (!running()) continue;
        AddDevice(device);
        CEthernetDevice::StartThreadEcho(*this, device);
    }
    CloseEndpoint(listener);
}
