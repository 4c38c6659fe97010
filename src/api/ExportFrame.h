#pragma once

#include <exception>

#include "api/LibraryState.h"
#include "common/CallContext.h"
#include "common/Log.h"
#include "devicemanager/DevicesManager.h"

// The part of every device export after its own argument checks: the running
// check, a call context, the manager's operation and the copy of its result.
// operation(manager, context) returns the manager's result (0 = success);
// copy() returns the export's result.
template <typename Operation, typename Copy>
int CallDeviceManager(const char* exportName, Operation&& operation, Copy&& copy) {
    if (!LibraryIsRunning()) return KVT_RESULT_NOT_RUNNING;
    CDevicesManager* manager = CDevicesManager::Instance();

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
