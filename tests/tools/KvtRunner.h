#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/TempDir.h"

// Runs the kvt program as a user would, in the test's data folder, with its
// output in files so that neither pipe can fill up.
namespace kvt_test {

struct KvtResult {
    int exit = -1;  // -1: did not end normally
    std::string out;
    std::string err;
};

class KvtProcess {
public:
    // env: extra NAME=value entries, on top of the test's environment.
    KvtProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
        : m_files("kvt-run") {
        m_pid = ::fork();
        if (m_pid == 0) {
            for (const std::string& entry : env) ::putenv(const_cast<char*>(entry.c_str()));
            const std::string out = (m_files / "out").string();
            const std::string err = (m_files / "err").string();
            if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr))
                ::_exit(127);
            std::vector<char*> argv{const_cast<char*>(KVT_TOOL)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(KVT_TOOL, argv.data());
            ::_exit(127);
        }
    }
    ~KvtProcess() {
        if (m_pid > 0 && !m_ended) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    KvtProcess(const KvtProcess&) = delete;
    KvtProcess& operator=(const KvtProcess&) = delete;

    std::string Out() const { return ReadFile(m_files / "out"); }
    void Signal(int signal) const { ::kill(m_pid, signal); }

    // Waits for the end, at most `limit`; the result's exit is -1 if it did not end.
    KvtResult Wait(std::chrono::seconds limit = std::chrono::seconds(120)) {
        KvtResult result;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (!m_ended && std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_ended = true;
                if (WIFEXITED(status)) result.exit = WEXITSTATUS(status);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        result.out = ReadFile(m_files / "out");
        result.err = ReadFile(m_files / "err");
        return result;
    }

private:
    TempDir m_files;
    pid_t m_pid = -1;
    bool m_ended = false;
};

inline KvtResult RunKvt(const std::vector<std::string>& args,
                        const std::vector<std::string>& env = {}) {
    return KvtProcess(args, env).Wait();
}

}  // namespace kvt_test
