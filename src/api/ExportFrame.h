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
    CDevicesManager* manager = CDevicesManager::Instance();
    if (!State().managerThread.IsRunning() || manager == nullptr) return KVT_RESULT_NOT_RUNNING;

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

// Last line of defence of an export: nothing escapes into the application.
#define KVT_EXPORT_GUARD_BEGIN try {
#define KVT_EXPORT_GUARD_END(name)                                    \
    }                                                                 \
    catch (const std::exception& e) {                                 \
        CLog::Instance().Error("%s exception: %s", name, e.what());   \
    }                                                                 \
    catch (...) {                                                     \
        CLog::Instance().Error("%s exception: %s", name, "unknown");  \
    }                                                                 \
    return KVT_RESULT_FAILED;
