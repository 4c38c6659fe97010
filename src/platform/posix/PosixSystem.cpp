#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <system_error>
#include <thread>

#include "platform/Environment.h"
#include "platform/Guid.h"
#include "platform/Immortal.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Thread.h"
#include "platform/Time.h"
#include "platform/Version.h"

namespace fs = std::filesystem;

namespace platform {

uint32_t GetTickCount32() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

LocalTime GetLocalTime() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    ::localtime_r(&ts.tv_sec, &tm);
    return LocalTime{tm.tm_year + 1900,
                     tm.tm_mon + 1,
                     tm.tm_mday,
                     tm.tm_hour,
                     tm.tm_min,
                     tm.tm_sec,
                     static_cast<int>(ts.tv_nsec / 1000000)};
}

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(::syscall(SYS_gettid));
}

int LastError() {
    return errno;
}

namespace {

bool IsWritableFolder(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    return fs::is_directory(path, ec) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

bool ProcessIsExiting() {
    return false;
}

bool StopBeforeExit(void (*stop)()) {
    // Handlers run in reverse order of registration, interleaved with the
    // destructors of statics; in a shared library they also run at dlclose.
    return std::atexit(stop) == 0;
}

std::string EnvironmentVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string DataFolder() {
    const char* override = std::getenv("KVT_DATA_DIR");
    if (override != nullptr && *override != '\0') {
        return IsWritableFolder(override) ? std::string(override) : std::string();
    }
    std::string machineWide = std::string("/var/lib/") + kDataFolderName;
    if (IsWritableFolder(machineWide)) return machineWide;

    std::string base;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && *xdg != '\0') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        base = std::string(home) + "/.local/share";
    } else {
        return std::string();
    }
    const std::string perUser = base + "/" + kDataFolderName;
    return IsWritableFolder(perUser) ? perUser : std::string();
}

std::string NativePath(const std::string& configured) {
    std::string path = configured;
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

bool IsRelativePath(const std::string& path) {
    const std::string native = NativePath(path);
    return native.empty() || native.front() != '/';
}

std::string JoinPath(const std::string& folder, const std::string& relative) {
    std::string rel = NativePath(relative);
    while (rel.size() >= 2 && rel[0] == '.' && rel[1] == '/') rel.erase(0, 2);
    if (folder.empty()) return rel;
    if (folder.back() == '/') return folder + rel;
    return folder + "/" + rel;
}

bool CreateDirectories(const std::string& path) {
    std::error_code ec;
    fs::create_directories(NativePath(path), ec);
    return fs::is_directory(NativePath(path), ec);
}

std::string LibraryFolder() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) == 0 ||
        info.dli_fname == nullptr) {
        return std::string();
    }
    std::error_code ec;
    const fs::path file = fs::canonical(info.dli_fname, ec);
    return ec ? std::string() : file.parent_path().string();
}

std::string LibraryFileVersion() {
    return KVT_VERSION_TEXT;
}

}  // namespace platform

namespace platform {

Guid NewGuid() {
    // 122 random bits with the version-4 and variant marks of RFC 4122.
    struct Source {
        std::mutex mutex;
        std::random_device device;
    };
    static Immortal<Source> source;
    uint32_t words[4];
    {
        std::lock_guard<std::mutex> guard(source.Get().mutex);
        for (uint32_t& word : words) word = source.Get().device();
    }
    Guid guid{};
    guid.data1 = words[0];
    guid.data2 = static_cast<uint16_t>(words[1] >> 16);
    guid.data3 = static_cast<uint16_t>((words[1] & 0x0FFF) | 0x4000);
    for (int i = 0; i < 4; ++i) {
        guid.data4[i] = static_cast<uint8_t>(words[2] >> (8 * i));
        guid.data4[4 + i] = static_cast<uint8_t>(words[3] >> (8 * i));
    }
    guid.data4[0] = static_cast<uint8_t>((guid.data4[0] & 0x3F) | 0x80);
    return guid;
}

}  // namespace platform
