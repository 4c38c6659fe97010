#pragma once

#include <cstring>
#include <exception>

#include "api/LibraryState.h"
#include "common/CallContext.h"
#include "common/Log.h"
#include "devicemanager/DevicesManager.h"

// The part of every device export after its own argument checks: the running
// check, a call context, the manager's operation and the copy of its result.
// operation(manager, context) returns the manager's result (0 = success);
// copy() returns the export's result. The lease keeps a stop from tearing the
// manager down under the call; once a stop has begun, calls get -2.
template <typename Operation, typename Copy>
int CallDeviceManager(const char* exportName, Operation&& operation, Copy&& copy) {
    const CManagerLease manager;
    if (!manager) return KVT_RESULT_NOT_RUNNING;

    CCallContext context;
    try {
        if (operation(*manager, context) != 0) {
            CLog::Instance().Error("%s: %s", exportName, context.FaultText());
            return KVT_RESULT_FAILED;
        }
        return copy();
    } catch (const std::exception&) {
        CLog::Instance().Error("%s exception: %s", exportName, context.FaultText());
    } catch (...) {
        CLog::Instance().Error("%s exception: %s", exportName, context.FaultText());
    }
    return KVT_RESULT_FAILED;
}

// A device id is given and at most 255 characters long. One without its
// terminating zero within the 256 bytes of a KVT_DeviceInfo field is refused
// and read no further.
inline bool IsDeviceId(const char* exportName, const char* deviceId) {
    if (deviceId == nullptr) return false;
    constexpr size_t kCapacity = sizeof(KVT_DeviceInfo::deviceId);
    if (strnlen(deviceId, kCapacity) < kCapacity) return true;
    CLog::Instance().Error("%s: device id without terminating zero", exportName);
    return false;
}

// Runs an export's body so that no exception reaches the application: one
// that escapes is logged with the export's name and the call returns -1.
template <typename Body>
int GuardExport(const char* exportName, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        CLog::Instance().Error("%s exception: %s", exportName, e.what());
    } catch (...) {
        CLog::Instance().Error("%s exception: %s", exportName, "unknown");
    }
    return KVT_RESULT_FAILED;
}
