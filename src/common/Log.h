#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/CritSec.h"

#if defined(__GNUC__)
#define KVT_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define KVT_PRINTF(fmtIndex, firstArg)
#endif

// The process-wide log file. Until StartLogging succeeds every line is dropped.
class CLog {
public:
    enum Level { kDebug = 0, kInfo = 1, kWarning = 2, kError = 3, kAlways = 4 };

    static constexpr size_t kMaxPath = 1024;
    static constexpr size_t kMessageBufferSize = 4096;

    static CLog& Instance();

    // Opens (or reopens) the log at path. Lines below threshold are dropped;
    // a sizeLimit of 0 lets the file grow for ever. With console set, each
    // line (without time stamp and level) is echoed to standard output.
    bool StartLogging(const std::string& path, int threshold, uint32_t sizeLimit, bool console);
    // Flushes and closes the file; later lines are dropped until the next start.
    void StopLogging();
    // Closes the file but goes on logging to it: each later line opens it,
    // is appended and closes it again, until the next StartLogging.
    void ReleaseFile();

    bool IsOpen() const;
    int Threshold() const;
    const std::string& Path() const { return m_path; }

    void Debug(const char* format, ...) KVT_PRINTF(2, 3);
    void Info(const char* format, ...) KVT_PRINTF(2, 3);
    void Warning(const char* format, ...) KVT_PRINTF(2, 3);
    void Error(const char* format, ...) KVT_PRINTF(2, 3);
    // Written at every threshold: the device manager's banners.
    void Always(const char* format, ...) KVT_PRINTF(2, 3);

    void WriteV(int level, const char* format, va_list args) noexcept;

    ~CLog();

private:
    CLog();
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    void WriteLineV(int level, const char* format, va_list args);
    bool OpenLocked();
    void CloseLocked();
    void RotateLocked();
    void WriteFileLocked(const char* data, size_t length);
    void WriteConsole(const char* data, size_t length);

    mutable CCritSec m_lock;
    std::FILE* m_file = nullptr;
    uint32_t m_sizeLimit = 0;
    uint32_t m_currentSize = 0;
    std::string m_path;
    std::string m_rotationPath;
    // Read before taking the lock, so that dropped lines cost no locking.
    std::atomic<int> m_threshold{kWarning};
    std::atomic<bool> m_open{false};
    bool m_console = false;
    // Set by ReleaseFile: the file is open only while a line is written.
    bool m_released = false;
    char m_buffer[kMessageBufferSize];
};

// Logs ">> name" on entry and "<< name" on every way out, at debug level.
class CFunctionTrace {
public:
    explicit CFunctionTrace(const char* name);
    ~CFunctionTrace();
    CFunctionTrace(const CFunctionTrace&) = delete;
    CFunctionTrace& operator=(const CFunctionTrace&) = delete;

private:
    const char* m_name;
};

// Logs "name entered" and "name returns after N mSec." at info level.
class CFunctionTimer {
public:
    explicit CFunctionTimer(const char* name);
    ~CFunctionTimer();
    CFunctionTimer(const CFunctionTimer&) = delete;
    CFunctionTimer& operator=(const CFunctionTimer&) = delete;

private:
    const char* m_name;
    uint32_t m_start;
};

// The library's data folder ("KVT Biometrics" below the machine-wide
// application-data folder, or KVT_DATA_DIR), created when missing.
std::string GetApplicationDataFolder();
