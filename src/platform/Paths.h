#pragma once

#include <string>

namespace platform {

// Name of the library's folder below the machine-wide application-data folder.
inline constexpr const char* kDataFolderName = "KVT Biometrics";

// The library's data folder, created when missing: KVT_DATA_DIR when set,
// otherwise the machine-wide application-data folder joined with
// "KVT Biometrics" (with a per-user fallback where that cannot be written).
// Empty when no folder could be found or created.
std::string DataFolder();

// Converts a configured path (which may use '\') into the native form.
std::string NativePath(const std::string& configured);

bool IsRelativePath(const std::string& path);

// Joins a folder and a relative path with the native separator.
std::string JoinPath(const std::string& folder, const std::string& relative);

// Creates a folder with every missing parent; true when it exists afterwards.
bool CreateDirectories(const std::string& path);

// Folder of the loaded library's own file, empty when unknown.
std::string LibraryFolder();

}  // namespace platform
