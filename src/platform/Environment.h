#pragma once

#include <string>

namespace platform {

// An environment variable of the process, empty when missing or empty. On
// Windows it is read from the process itself rather than from a C runtime's
// copy, so a value that the application set through its own runtime is seen.
std::string EnvironmentVariable(const char* name);

}  // namespace platform
