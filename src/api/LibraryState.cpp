#include "api/LibraryState.h"

#include "devicemanager/DevicesManager.h"

LibraryState& State() {
    static LibraryState state;
    return state;
}

bool LibraryIsRunning() {
    return State().managerThread.IsRunning() && CDevicesManager::Instance() != nullptr;
}
