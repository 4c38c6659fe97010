// The manager's operations behind the device exports: describe sensors,
// capture synchronously and asynchronously, cancel, indicate a result and
// set or read capture properties.
#include <exception>

#include "common/Log.h"
#include "common/Text.h"
#include "devicemanager/DevicesManager.h"
#include "image/PictureGeometry.h"
#include "properties/PropertiesManager.h"

namespace {

constexpr uint32_t kCancelWaitMs = 1000;
// A failure without fault text: the sensor vanished between two looks.
constexpr int kFailedWithoutText = 1;

void Describe(CDevice& device, kvt__DeviceInformation& info) {
    info.deviceId = device.GetDeviceID();
    info.firmwareVersion = device.GetFirmwareVersion();
    info.description = device.GetDescription();
    info.connectionType = device.GetConnectionType();
    info.deviceType = device.GetDeviceType();
    info.serialNumber = device.GetSerialNumber();
}

bool IsEmpty(const char* text) {
    return text == nullptr || *text == '\0';
}

}  // namespace

int CDevicesManager::DMGetDeviceList(CCallContext* context, ArrayOfDeviceInformation& result) {
    CFunctionTrace trace("CDevicesManager::DMGetDeviceList");
    CCritSecLock lock(m_devices.Lock());
    const auto entries = m_devices.Snapshot();
    ArrayOfDeviceInformation list;
    try {
        list = context->CreateArray<kvt__DeviceInformation>(entries.size());
    } catch (const std::bad_alloc&) {
        return context->ServerFault("Warning: no device connected");
    }
    size_t filled = 0;
    for (const auto& [id, device] : entries) {
        kvt__DeviceInformation& info = list.ptr[filled++];
        if (!device) {
            info.deviceId = "lost device";
            info.firmwareVersion = "none";
            info.serialNumber = "Not supported";
            continue;
        }
        Describe(*device, info);
    }
    result = list;
    return 0;
}

int CDevicesManager::DMGetDeviceInformation(CCallContext* context, const char* deviceId,
                                            kvt__DeviceInformation& out) {
    if (IsEmpty(deviceId)) {
        m_log->Error("CDevicesManager::DMGetDeviceInformation: Invalid Param");
        return context->InvalidArgument();
    }
    m_log->Debug("device information about %s queried", deviceId);
    DevicePtr device = m_devices.Get(deviceId);
    if (!device) return context->InvalidArgument();
    Describe(*device, out);
    return 0;
}

int32_t CDevicesManager::GradeCapture(const DevicePtr& device, const std::vector<uint8_t>& raw,
                                      bool& deliverable) {
    const CProperties& properties = device->CaptureProperties();
    const PictureGeometry& geometry = PictureGeometryFor(properties.GetValue("PictureSize"));
    const size_t frame = static_cast<size_t>(geometry.rawWidth) * geometry.rawHeight;
    deliverable = raw.size() >= frame;
    if (!deliverable || raw.size() < 2 * frame) return 0;
    return GetLFDLevel(device, properties, raw.data());
}

int CDevicesManager::DMCaptureImage(CCallContext* context, const char* clientId,
                                    const char* deviceId, int32_t timeout, kvt__CapturedData& out) {
    CFunctionTrace trace("CDevicesManager::DMCaptureImage");
    if (!m_devices.Get(deviceId)) return kFailedWithoutText;
    const bool async = timeout != 0;
    out = kvt__CapturedData{};
    if (IsEmpty(deviceId) || IsEmpty(clientId)) return context->InvalidArgument();
    m_log->Debug(
        "CDevicesManager::DMCaptureImage: Going to capture image on device %s with timeout of %d "
        "seconds",
        deviceId, timeout);
    DevicePtr device = m_devices.Get(deviceId);
    if (!device) return context->InvalidArgument();

    CCritSecLock propertyLock(m_propertyLock);
    if (!device->AcquireDevice(async)) {
        return context->ServerFault(BuildMsgString(context, "Device %s is busy.", deviceId));
    }
    if (!m_devices.Get(deviceId)) {
        device->ReleaseDevice();
        return kFailedWithoutText;
    }
    device->SetCaptureProperties(CPropertiesManager::Instance().GetProperties(clientId, deviceId));

    if (async) {
        device->SetAsyncTimeout(timeout);
        device->SetOwnerID(clientId);
        // Cleared here rather than only on the capture thread, so a cancel
        // that comes before the thread runs is neither lost nor released by
        // the end of an earlier capture.
        device->ClearCancel();
        m_captureFinished.Reset();
        if (!StartWorkerThread([this, device] { DMThreadGetAsyncImageProc(device); })) {
            device->ReleaseDevice();
            return context->ServerFault(BuildMsgString(
                context, "Error capturing image (asynchron) from device %s", deviceId));
        }
        return 0;
    }

    bool captured = false;
    try {
        std::vector<uint8_t> raw;
        if (device->GetSyncImage(raw)) {
            bool deliverable = false;
            const int32_t level = GradeCapture(device, raw, deliverable);
            if (deliverable) {
                CopyImageToBase64Binary(raw.data(), context, device->CaptureProperties(),
                                        &out.image);
                out.LFDLevel = level;
                out.LFDData.clear();
                out.properties = device->CaptureProperties().ToText();
                // A picture that could not be encoded is no picture.
                captured = out.image.ptr != nullptr;
            }
        }
    } catch (...) {
        device->ReleaseDevice();
        throw;
    }
    device->ReleaseDevice();
    if (!captured) {
        return context->ServerFault(
            BuildMsgString(context, "Error capturing image (synchron) from device %s", deviceId));
    }
    return 0;
}

// The capture thread's own reference keeps the sensor alive while it runs.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void CDevicesManager::DMThreadGetAsyncImageProc(DevicePtr device) {
    CFunctionTrace trace("CDevicesManager::DMThreadGetAsyncImageProc");
    m_captureFinished.Reset();

    QueuedMessage message;
    message.deviceId = device->GetDeviceID();
    message.receiver = device->GetOwnerID();
    bool released = false;
    try {
        std::vector<uint8_t> raw;
        bool deliverable = false;
        int32_t level = 0;
        if (device->GetAsyncImage(raw)) level = GradeCapture(device, raw, deliverable);
        if (deliverable) {
            CopyImageToMessage(raw.data(), device->CaptureProperties(), message);
            message.type = kvt__MessageType__CapturedImage;
            message.LFDLevel = level;
            message.LFDData.clear();
            message.properties = device->CaptureProperties().ToText();
        } else if (device->IsCancelled()) {
            message.type = kvt__MessageType__CaptureCancelled;
            message.additionalInfo = device->GetCancelID();
        } else {
            message.type = kvt__MessageType__Timeout;
        }
        device->ReleaseDevice();
        released = true;
        m_captureFinished.Set();
    } catch (const std::exception& e) {
        m_log->Error("CDevicesManager::DMThreadGetAsyncImageProc: %s", e.what());
    } catch (...) {
        m_log->Error("CDevicesManager::DMThreadGetAsyncImageProc: unknown exception");
    }
    if (!released) {
        // The application still hears of the capture's end.
        message = QueuedMessage{};
        message.deviceId = device->GetDeviceID();
        message.receiver = device->GetOwnerID();
        message.type = kvt__MessageType__Timeout;
        device->ReleaseDevice();
        m_captureFinished.Set();
    }

    CCritSecLock lock(m_devices.Lock());
    DevicePtr registered = m_devices.Get(message.deviceId.c_str());
    if (registered.get() == device.get()) m_messageQueue.storeMessage(message);
}

int CDevicesManager::DMCancelAsyncCapture(CCallContext* context, const char* clientId,
                                          const char* deviceId, bool& deviceAvailable) {
    m_log->Debug("ordered device %s to stop", deviceId != nullptr ? deviceId : "");
    deviceAvailable = false;
    DevicePtr device = m_devices.Get(deviceId);
    if (!device) return context->InvalidArgument();
    if (!device->CancelDevice(clientId != nullptr ? clientId : "")) {
        return context->ServerFault(
            BuildMsgString(context, "Unable to cancel device %s", deviceId));
    }
    device->ResetAsyncWaitDevice();
    const bool inTime = m_captureFinished.Wait(kCancelWaitMs);
    deviceAvailable = device->GetCaptureState() == CDevice::kIdle;
    m_log->Debug(inTime ? "CDevicesManager::DMCancelAsyncCapture: Cancel Async Capturing has "
                          "finished in time. DeviceAvailable: %s"
                        : "CDevicesManager::DMCancelAsyncCapture: Cancel Async Capturing didn't "
                          "finish in time. DeviceAvailable: %s",
                 deviceAvailable ? "true" : "false");
    return 0;
}

int CDevicesManager::DMIndicateResult(CCallContext* context, const char* /*clientId*/,
                                      const char* deviceId, int32_t result) {
    if (IsEmpty(deviceId)) return context->InvalidArgument();
    DevicePtr device = m_devices.Get(deviceId);
    if (!device) return context->InvalidArgument();
    if (!device->AcquireDevice(false)) return context->ServerFault("Unable to lock device");
    bool shown = false;
    try {
        shown = device->IndicateResult(result);
    } catch (...) {
        device->ReleaseDevice();
        throw;
    }
    device->ReleaseDevice();
    if (!shown) return context->ServerFault("Error at indicating result");
    return 0;
}

int CDevicesManager::DMSetProperty(CCallContext* context, const char* clientId, const char* target,
                                   const char* key, const char* value) {
    m_log->Debug("CDevicesManager::DMSetProperty: clientID:%s, target: %s, key: %s, value:%s",
                 clientId, target, key, value);
    CCritSecLock lock(m_propertyLock);
    DevicePtr device = m_devices.Get(target);
    if (!device) return context->ClientFault("CDevicesManager::DMSetProperty: invalid device ID.");
    if (device->GetCaptureState() != CDevice::kIdle && EqualNoCase(device->GetOwnerID(), clientId))
        return context->ServerFault("CDevicesManager::DMSetProperty: Device is busy.");
    if (!CPropertiesManager::Instance().GetProperties(clientId, target).SetProperty(key, value))
        return context->InvalidArgument();
    return 0;
}

int CDevicesManager::DMGetProperty(CCallContext* context, const char* clientId, const char* target,
                                   const char* key, std::string& value) {
    if (!CPropertiesManager::Instance().GetProperties(clientId, target).GetProperty(key, value))
        return context->InvalidArgument();
    return 0;
}
