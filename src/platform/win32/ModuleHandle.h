#pragma once

#include <windows.h>

namespace platform::win32 {

// The module (DLL) this code lives in. Falls back to looking the module up by
// address when DllMain has not recorded it, e.g. when linked into an executable.
HMODULE LibraryModule();

// Recorded by DllMain.
void SetLibraryModule(HMODULE module);

}  // namespace platform::win32
