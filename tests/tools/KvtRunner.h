#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

// Runs the kvt program as a user would, in the test's data folder.
namespace kvt_test {

using KvtResult = ChildResult;

class KvtProcess : public ChildProcess {
public:
    // env: extra NAME=value entries, on top of the test's environment.
    KvtProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
        : ChildProcess(KVT_TOOL, args, env) {}
};

inline KvtResult RunKvt(const std::vector<std::string>& args,
                        const std::vector<std::string>& env = {}) {
    return KvtProcess(args, env).Wait();
}

}  // namespace kvt_test
