#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/Log.h"
#include "support/TempDir.h"

namespace kvt_test {

// Logs everything into a file of the test's own.
class LoggedTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CLog::Instance().StartLogging(LogPath(), CLog::kDebug, 0, false));
    }
    void TearDown() override { CLog::Instance().StopLogging(); }
    std::string LogPath() const { return (m_logDir / "test.log").string(); }
    std::string LogText() const { return ReadFile(LogPath()); }

    TempDir m_logDir{"kvt-log"};
};

}  // namespace kvt_test
