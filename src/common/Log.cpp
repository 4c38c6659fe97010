#include "common/Log.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/Paths.h"
#include "platform/Thread.h"
#include "platform/Time.h"

namespace {

const char* LevelName(int level) {
    switch (level) {
        case CLog::kDebug:
            return "Debug  ";
        case CLog::kInfo:
            return "Info   ";
        case CLog::kWarning:
            return "Warning";
        case CLog::kError:
            return "Error  ";
        default:
            return "       ";
    }
}

}  // namespace

CLog& CLog::Instance() {
    static CLog log;
    return log;
}

CLog::CLog() {
    m_buffer[0] = '\0';
}

CLog::~CLog() {
    CCritSecLock lock(m_lock);
    CloseLocked();
}

bool CLog::StartLogging(const std::string& path, int threshold, uint32_t sizeLimit, bool console) {
    CCritSecLock lock(m_lock);
    CloseLocked();
    m_released = false;
    m_threshold = threshold;
    m_console = console;
    m_sizeLimit = sizeLimit;
    m_path = platform::NativePath(path.substr(0, kMaxPath));
    m_rotationPath = m_path + "~";

    const std::filesystem::path folder = std::filesystem::path(m_path).parent_path();
    if (!folder.empty()) platform::CreateDirectories(folder.string());
    if (!OpenLocked()) return false;
    Info("Logging started");
    return true;
}

void CLog::StopLogging() {
    CCritSecLock lock(m_lock);
    CloseLocked();
    m_released = false;
}

void CLog::ReleaseFile() {
    CCritSecLock lock(m_lock);
    if (m_file == nullptr) return;
    std::fflush(m_file);
    std::fclose(m_file);
    m_file = nullptr;
    m_released = true;
}

bool CLog::IsOpen() const {
    return m_open;
}

int CLog::Threshold() const {
    return m_threshold;
}

bool CLog::OpenLocked() {
    m_file = std::fopen(m_path.c_str(), "ab");
    if (m_file == nullptr) return false;
    std::fseek(m_file, 0, SEEK_END);
    const long size = std::ftell(m_file);
    m_currentSize = size > 0 ? static_cast<uint32_t>(size) : 0;
    m_open = true;
    return true;
}

void CLog::CloseLocked() {
    if (m_file != nullptr) {
        std::fflush(m_file);
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_open = false;
}

void CLog::RotateLocked() {
    CloseLocked();
    // A failed rename leaves the file in place; it is appended to and the
    // next line tries again.
    std::error_code ec;
    std::filesystem::rename(m_path, m_rotationPath, ec);
    OpenLocked();
}

void CLog::WriteFileLocked(const char* data, size_t length) {
    const size_t written = std::fwrite(data, 1, length, m_file);
    m_currentSize += static_cast<uint32_t>(written);
}

void CLog::WriteConsole(const char* data, size_t length) {
    if (m_console) std::fwrite(data, 1, length, stdout);
}

void CLog::WriteV(int level, const char* format, va_list args) noexcept {
    if (!m_open || level < m_threshold) return;
    // A thread that the system ended at process exit may hold the lock.
    if (platform::ProcessIsExiting()) return;
    // Logging runs in destructors and error paths: it must never throw.
    try {
        WriteLineV(level, format, args);
    } catch (...) {
    }
}

void CLog::WriteLineV(int level, const char* format, va_list args) {
    const platform::LocalTime now = platform::GetLocalTime();
    const uint32_t threadId = platform::CurrentThreadId();

    CCritSecLock lock(m_lock);
    if (m_file == nullptr && !(m_released && OpenLocked())) return;

    char prefix[64];
    int n = std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03d %s ", now.year,
                          now.month, now.day, now.hour, now.minute, now.second, now.millisecond,
                          LevelName(level));
    WriteFileLocked(prefix, static_cast<size_t>(n));

    char thread[16];
    n = std::snprintf(thread, sizeof thread, "%08x ", threadId);
    WriteFileLocked(thread, static_cast<size_t>(n));
    WriteConsole(thread, static_cast<size_t>(n));

    // Messages longer than the buffer are cut.
    std::vsnprintf(m_buffer, sizeof m_buffer, format, args);
    const size_t length = std::strlen(m_buffer);
    if (length > 0) {
        WriteFileLocked(m_buffer, length);
        WriteConsole(m_buffer, length);
    }

    WriteFileLocked("\r\n", 2);
    WriteConsole("\r\n", 2);
    if (m_console) std::fflush(stdout);
    std::fflush(m_file);

    if (m_sizeLimit != 0 && m_currentSize > m_sizeLimit) RotateLocked();
    if (m_released && m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

#define KVT_LOG_AT(level)        \
    va_list args;                \
    va_start(args, format);      \
    WriteV(level, format, args); \
    va_end(args)

void CLog::Debug(const char* format, ...) {
    KVT_LOG_AT(kDebug);
}
void CLog::Info(const char* format, ...) {
    KVT_LOG_AT(kInfo);
}
void CLog::Warning(const char* format, ...) {
    KVT_LOG_AT(kWarning);
}
void CLog::Error(const char* format, ...) {
    KVT_LOG_AT(kError);
}
void CLog::Always(const char* format, ...) {
    KVT_LOG_AT(kAlways);
}

#undef KVT_LOG_AT

CFunctionTrace::CFunctionTrace(const char* name) : m_name(name) {
    CLog::Instance().Debug(">> %s", m_name);
}

CFunctionTrace::~CFunctionTrace() {
    CLog::Instance().Debug("<< %s", m_name);
}

CFunctionTimer::CFunctionTimer(const char* name)
    : m_name(name), m_start(platform::GetTickCount32()) {
    CLog::Instance().Info("%s entered", m_name);
}

CFunctionTimer::~CFunctionTimer() {
    // Unsigned subtraction keeps the duration right across one tick wrap.
    const uint32_t elapsed = platform::GetTickCount32() - m_start;
    CLog::Instance().Info("%s returns after %d mSec.", m_name, static_cast<int>(elapsed));
}

std::string GetApplicationDataFolder() {
    return platform::DataFolder();
}
