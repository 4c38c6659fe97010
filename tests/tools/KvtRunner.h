#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ChildProcess.h"

// Runs the kvt program as a user would, in the test's data folder.
namespace kvt_test {

// env: extra NAME=value entries, on top of the test's environment.
inline ChildResult RunKvt(const std::vector<std::string>& args,
                          const std::vector<std::string>& env = {}) {
    return RunChild(KVT_TOOL, args, env);
}

// A folder of the test's own for the pictures and templates kvt writes.
class KvtFilesTest : public testing::Test {
protected:
    // A picture of a virtual finger ("5:3": finger 5, impression 3), taken by kvt capture.
    std::string Picture(const std::string& name, const std::string& finger,
                        const char* model = "u2") {
        const std::string path = (m_dir / (name + ".bmp")).string();
        const auto result =
            RunKvt({"capture", "--simulate", model, "--finger", finger, "--out", path});
        EXPECT_EQ(result.exit, 0) << result.err;
        return path;
    }
    TempDir m_dir{"kvt-files"};
};

}  // namespace kvt_test
