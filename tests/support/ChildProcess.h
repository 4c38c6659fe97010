#pragma once

// Another program of the build, run as a child process with its standard
// output and error in files (so that neither pipe can fill up), on POSIX and
// on Windows.
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"
#include "support/Wait.h"

namespace kvt_test {

struct ChildResult {
    int exit = -1;  // -1: did not end (killed at the deadline) or ended by a signal
    std::string out;
    std::string err;
};

class ChildProcess {
public:
    // env: extra NAME=value entries on top of this process's environment.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {})
        : m_files("kvt-child") {
        const std::string out = (m_files / "out").string();
        const std::string err = (m_files / "err").string();
#ifdef _WIN32
        std::string commandLine = "\"" + program + "\"";
        for (const std::string& a : args) commandLine += " \"" + a + "\"";
        // This process's environment plus the extra entries, each ending in a
        // zero, the block in one more.
        std::string block;
        if (char* strings = GetEnvironmentStringsA()) {
            for (const char* entry = strings; *entry != '\0'; entry += std::strlen(entry) + 1)
                block.append(entry, std::strlen(entry) + 1);
            FreeEnvironmentStringsA(strings);
        }
        for (const std::string& entry : env) block.append(entry.c_str(), entry.size() + 1);
        block.push_back('\0');
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE outFile = CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                     CREATE_ALWAYS, 0, nullptr);
        HANDLE errFile = CreateFileA(err.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                     CREATE_ALWAYS, 0, nullptr);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = outFile;
        startup.hStdError = errFile;
        PROCESS_INFORMATION process{};
        if (CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                           block.data(), nullptr, &startup, &process)) {
            CloseHandle(process.hThread);
            m_process = process.hProcess;
        }
        CloseHandle(outFile);
        CloseHandle(errFile);
#else
        m_pid = ::fork();
        if (m_pid == 0) {
            for (const std::string& entry : env) ::putenv(const_cast<char*>(entry.c_str()));
            if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr))
                ::_exit(127);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
#endif
    }

    ~ChildProcess() {
#ifdef _WIN32
        if (m_process == nullptr) return;
        if (!m_ended) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, INFINITE);
        }
        CloseHandle(m_process);
#else
        if (m_pid > 0 && !m_ended) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
#endif
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::string Out() const {
        return ReadFile(m_files / "out");
    }
#ifndef _WIN32
    void Signal(int signal) const {
        ::kill(m_pid, signal);
    }
#endif

    // Waits for the end, at most `limit`; the result's exit is -1 if it did not end.
    ChildResult Wait(std::chrono::milliseconds limit = std::chrono::seconds(120)) {
#ifdef _WIN32
        if (m_process != nullptr && !m_ended) {
            m_ended =
                WaitForSingleObject(m_process, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
            DWORD code = 0;
            if (m_ended && GetExitCodeProcess(m_process, &code)) m_exit = static_cast<int>(code);
        }
#else
        int status = 0;
        if (m_pid > 0 && !m_ended &&
            WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, limit)) {
            m_ended = true;
            if (WIFEXITED(status)) m_exit = WEXITSTATUS(status);
        }
#endif
        return {m_exit, Out(), ReadFile(m_files / "err")};
    }

private:
    TempDir m_files;
    bool m_ended = false;
    int m_exit = -1;
#ifdef _WIN32
    HANDLE m_process = nullptr;
#else
    pid_t m_pid = -1;
#endif
};

inline ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                            const std::vector<std::string>& env = {},
                            std::chrono::milliseconds limit = std::chrono::seconds(120)) {
    return ChildProcess(program, args, env).Wait(limit);
}

}  // namespace kvt_test
