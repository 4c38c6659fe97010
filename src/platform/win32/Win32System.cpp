// winsock2.h must come before windows.h can pull in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>
#include <winver.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/Environment.h"
#include "platform/Guid.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Time.h"
#include "platform/Version.h"
#include "platform/win32/ModuleHandle.h"

namespace platform {

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool IsDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Full path of the library's own file, empty when unknown or longer than MAX_PATH.
std::string LibraryFilePath() {
    HMODULE module = win32::LibraryModule();
    if (module == nullptr) return {};
    char buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameA(module, buffer, MAX_PATH);
    // A length of MAX_PATH means the name was cut (and may lack its zero).
    if (length == 0 || length >= MAX_PATH) return {};
    return std::string(buffer, length);
}

}  // namespace

std::string EnvironmentVariable(const char* name) {
    std::string value(MAX_PATH, '\0');
    for (;;) {
        const DWORD length =
            GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) return {};
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        // Too small: length is the size needed including the terminating zero.
        value.assign(length, '\0');
    }
}

uint32_t GetTickCount32() {
    // GetTickCount moves in steps of up to 15.6 ms and on another clock than
    // Sleep: a Sleep(100) could measure 99. The performance counter has neither
    // fault; the milliseconds wrap at 2^32 as GetTickCount's do.
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const int64_t ms =
        now.QuadPart / frequency * 1000 + now.QuadPart % frequency * 1000 / frequency;
    return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

LocalTime GetLocalTime() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return LocalTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                     now.wMinute, now.wSecond, now.wMilliseconds};
}

uint32_t CurrentThreadId() {
    return GetCurrentThreadId();
}

int LastError() {
    return static_cast<int>(GetLastError());
}

std::string DataFolder() {
    std::string folder = EnvironmentVariable("KVT_DATA_DIR");
    if (folder.empty()) {
        char common[MAX_PATH];
        if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                    SHGFP_TYPE_CURRENT, common))) {
            return {};
        }
        folder = JoinPath(common, kDataFolderName);
    }
    return CreateDirectories(folder) ? folder : std::string();
}

std::string NativePath(const std::string& configured) {
    return configured;
}

bool IsRelativePath(const std::string& path) {
    // Rooted ("\x", "\\server\share") and drive paths ("C:\x", also "C:x") are
    // not relative, as PathIsRelative sees it.
    if (path.empty()) return true;
    if (IsSeparator(path[0])) return false;
    return !(path.size() >= 2 && path[1] == ':');
}

std::string JoinPath(const std::string& folder, const std::string& relative) {
    std::string rel = relative;
    while (rel.size() >= 2 && rel[0] == '.' && IsSeparator(rel[1])) rel.erase(0, 2);
    if (folder.empty()) return rel;
    if (IsSeparator(folder.back())) return folder + rel;
    return folder + '\\' + rel;
}

bool CreateDirectories(const std::string& path) {
    if (path.empty()) return false;
    if (IsDirectory(path)) return true;
    // Create each prefix in turn. Failures along the way are expected (drive
    // roots, UNC server names, folders that exist); only the end result counts.
    for (size_t i = 1; i < path.size(); ++i) {
        if (IsSeparator(path[i]) && !IsSeparator(path[i - 1]) && path[i - 1] != ':') {
            CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
        }
    }
    CreateDirectoryA(path.c_str(), nullptr);
    return IsDirectory(path);
}

std::string LibraryFolder() {
    const std::string file = LibraryFilePath();
    const size_t separator = file.find_last_of('\\');
    if (separator == std::string::npos) return {};
    return file.substr(0, separator);
}

std::string LibraryFileVersion() {
    const std::string file = LibraryFilePath();
    if (file.empty()) return {};
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(file.c_str(), 0, size, block.data())) return {};
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", &value, &length) || value == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return {};
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    char text[48];
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d",
                  static_cast<int>(HIWORD(info->dwFileVersionMS)),
                  static_cast<int>(LOWORD(info->dwFileVersionMS)),
                  static_cast<int>(HIWORD(info->dwFileVersionLS)),
                  static_cast<int>(LOWORD(info->dwFileVersionLS)));
    return text;
}

Guid NewGuid() {
    GUID native{};
    Guid guid{};
    if (CoCreateGuid(&native) != S_OK) return guid;
    guid.data1 = native.Data1;
    guid.data2 = native.Data2;
    guid.data3 = native.Data3;
    for (int i = 0; i < 8; ++i) guid.data4[i] = native.Data4[i];
    return guid;
}

}  // namespace platform
