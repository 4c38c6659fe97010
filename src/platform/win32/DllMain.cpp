#include <windows.h>

#include <atomic>

#include "platform/Thread.h"
#include "platform/win32/ModuleHandle.h"

namespace {

// Written under the loader lock, read from any thread.
std::atomic<HMODULE> g_module{nullptr};
std::atomic<bool> g_processExiting{false};

}  // namespace

namespace platform::win32 {

HMODULE LibraryModule() {
    HMODULE module = g_module.load();
    if (module != nullptr) return module;
    const DWORD flags =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&g_module), &module)) return nullptr;
    return module;
}

void SetLibraryModule(HMODULE module) {
    g_module.store(module);
}

}  // namespace platform::win32

namespace platform {

bool ProcessIsExiting() {
    return g_processExiting.load();
}

bool StopBeforeExit(void (*)()) {
    return true;
}

}  // namespace platform

// Only records where the library was loaded from and whether the process is
// ending: anything more (threads, locks, other libraries) is unsafe under the
// loader lock. The runtime runs the static destructors after this returns.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH || reason == DLL_THREAD_ATTACH) {
        if (g_module.load() != instance) platform::win32::SetLibraryModule(instance);
    }
    // A non-null reserved pointer: the process ends, rather than FreeLibrary.
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) g_processExiting = true;
    return TRUE;
}
