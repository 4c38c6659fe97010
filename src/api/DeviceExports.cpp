#include <cstring>
#include <string>

#include "api/ExportFrame.h"
#include "common/Records.h"

namespace {

// Copies text with its terminating zero when it fits; otherwise leaves an
// empty text (when there is room for one) and returns false.
bool CopyText(const std::string& text, char* buffer, unsigned int size) {
    if (text.size() + 1 > size) {
        if (size > 0) buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

bool HasCallback() {
    return State().callback.load() != nullptr;
}

}  // namespace

extern "C" {

KVT_API int KVT_CALL KVT_GetDeviceList(KVT_DeviceInfo* array, unsigned int* count) {
    CFunctionTrace trace("KVT_GetDeviceList");
    return GuardExport("KVT_GetDeviceList", [&] {
        if (count == nullptr) return KVT_RESULT_BAD_ARGUMENT;

        ArrayOfDeviceInformation list;
        return CallDeviceManager(
            "KVT_GetDeviceList",
            [&](CDevicesManager& manager, CCallContext& context) {
                return manager.DMGetDeviceList(&context, list);
            },
            [&] {
                const auto n = static_cast<unsigned int>(list.size);
                if (n > *count) {
                    *count = n;
                    return KVT_RESULT_TOO_SMALL;
                }
                if (n > 0 && array != nullptr) {
                    for (unsigned int i = 0; i < n; ++i) ToPublic(list.ptr[i], array[i]);
                }
                *count = n;
                return KVT_RESULT_OK;
            });
    });
}

KVT_API int KVT_CALL KVT_GetDeviceInformation(const char* deviceId, KVT_DeviceInfo* info) {
    CFunctionTrace trace("KVT_GetDeviceInformation");
    return GuardExport("KVT_GetDeviceInformation", [&] {
        if (info == nullptr || info->size != static_cast<int>(sizeof(KVT_DeviceInfo)))
            return KVT_RESULT_BAD_ARGUMENT;
        if (!IsDeviceId("KVT_GetDeviceInformation", deviceId)) return KVT_RESULT_BAD_ARGUMENT;

        kvt__DeviceInformation information;
        return CallDeviceManager(
            "KVT_GetDeviceInformation",
            [&](CDevicesManager& manager, CCallContext& context) {
                return manager.DMGetDeviceInformation(&context, deviceId, information);
            },
            [&] {
                ToPublic(information, *info);
                return KVT_RESULT_OK;
            });
    });
}

KVT_API int KVT_CALL KVT_CaptureImage(const char* deviceId, int timeout, KVT_CapturedData* data) {
    CFunctionTrace trace("KVT_CaptureImage");
    return GuardExport("KVT_CaptureImage(Ex)", [&] {
        const bool async = timeout != 0;
        if (!async && data == nullptr) return KVT_RESULT_BAD_ARGUMENT;
        if ((!async || data != nullptr) && data->size != static_cast<int>(sizeof(KVT_CapturedData)))
            return KVT_RESULT_BAD_ARGUMENT;
        if (async && !HasCallback()) return KVT_RESULT_NO_CALLBACK;
        if (timeout < 0 || !IsDeviceId("KVT_CaptureImage(Ex)", deviceId))
            return KVT_RESULT_BAD_ARGUMENT;
        // Room claimed without a buffer to write into.
        if (!async && data->image == nullptr && data->imageSize > 0) return KVT_RESULT_BAD_ARGUMENT;

        kvt__CapturedData captured;
        return CallDeviceManager(
            "KVT_CaptureImage(Ex)",
            [&](CDevicesManager& manager, CCallContext& context) {
                return manager.DMCaptureImage(&context, State().kClientId, deviceId, timeout,
                                              captured);
            },
            [&] {
                if (async) return KVT_RESULT_OK;
                data->LFDLevel = captured.LFDLevel;
                CopyToField(data->LFDData, captured.LFDData);
                CopyToField(data->properties, captured.properties);
                const auto needed = static_cast<unsigned int>(captured.image.size);
                if (data->imageSize < needed) {
                    data->imageSize = needed;
                    return KVT_RESULT_TOO_SMALL;
                }
                std::memcpy(data->image, captured.image.ptr, needed);
                data->imageSize = needed;
                return KVT_RESULT_OK;
            });
    });
}

KVT_API int KVT_CALL KVT_CancelAsyncCapture(const char* deviceId, int* deviceAvailable) {
    CFunctionTrace trace("KVT_CancelAsyncCapture");
    return GuardExport("KVT_CancelAsyncCapture", [&] {
        if (!HasCallback()) return KVT_RESULT_NO_CALLBACK;
        if (deviceAvailable == nullptr || !IsDeviceId("KVT_CancelAsyncCapture", deviceId))
            return KVT_RESULT_BAD_ARGUMENT;
        *deviceAvailable = 0;
        return CallDeviceManager(
            "KVT_CancelAsyncCapture",
            [&](CDevicesManager& manager, CCallContext& context) {
                bool available = false;
                const int result =
                    manager.DMCancelAsyncCapture(&context, State().kClientId, deviceId, available);
                *deviceAvailable = available ? 1 : 0;
                return result;
            },
            [] { return KVT_RESULT_OK; });
    });
}

KVT_API int KVT_CALL KVT_IndicateResult(const char* deviceId, int result) {
    CFunctionTrace trace("KVT_IndicateResult");
    return GuardExport("KVT_IndicateResult", [&] {
        if (!IsDeviceId("KVT_IndicateResult", deviceId)) return KVT_RESULT_BAD_ARGUMENT;
        return CallDeviceManager(
            "KVT_IndicateResult",
            [&](CDevicesManager& manager, CCallContext& context) {
                return manager.DMIndicateResult(&context, State().kClientId, deviceId, result);
            },
            [] { return KVT_RESULT_OK; });
    });
}

KVT_API int KVT_CALL KVT_SetProperty(const char* deviceId, const char* key, const char* value) {
    CFunctionTrace trace("KVT_SetProperty");
    return GuardExport("KVT_SetProperty", [&] {
        if (key == nullptr || value == nullptr || !IsDeviceId("KVT_SetProperty", deviceId))
            return KVT_RESULT_BAD_ARGUMENT;
        return CallDeviceManager(
            "KVT_SetProperty",
            [&](CDevicesManager& manager, CCallContext& context) {
                return manager.DMSetProperty(&context, State().kClientId, deviceId, key, value);
            },
            [] { return KVT_RESULT_OK; });
    });
}

KVT_API int KVT_CALL KVT_GetProperty(const char* deviceId, const char* key, char* buffer,
                                     unsigned int size) {
    CFunctionTrace trace("KVT_GetProperty");
    return GuardExport("KVT_GetProperty", [&] {
        if (key == nullptr || buffer == nullptr || !IsDeviceId("KVT_GetProperty", deviceId))
            return KVT_RESULT_BAD_ARGUMENT;
        if (size > 0) buffer[0] = '\0';
        std::string value;
        return CallDeviceManager(
            "KVT_GetProperty",
            [&](CDevicesManager& manager, CCallContext& context) {
                return manager.DMGetProperty(&context, State().kClientId, deviceId, key, value);
            },
            [&] {
                if (CopyText(value, buffer, size)) return KVT_RESULT_OK;
                CLog::Instance().Error("KVT_GetProperty: value of %s does not fit into %u bytes",
                                       key, size);
                return KVT_RESULT_FAILED;
            });
    });
}

}  // extern "C"
