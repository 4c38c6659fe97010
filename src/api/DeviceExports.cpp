#include "api/ExportFrame.h"
#include "common/Records.h"

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

}  // extern "C"
