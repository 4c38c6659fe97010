#pragma once

#include <string>

namespace platform {

// The library's file version as "%d.%d.%d.%d", or empty when it cannot be read.
std::string LibraryFileVersion();

}  // namespace platform
