#include "common/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace fs = std::filesystem;
using kvt_test::ReadFile;
using kvt_test::TempDir;
using testing::AllOf;
using testing::HasSubstr;
using testing::Not;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

class LogTest : public testing::Test {
protected:
    void TearDown() override { CLog::Instance().StopLogging(); }
    fs::path LogPath() const { return dir_ / "Logfiles" / "test.log"; }
    void Start(int threshold, uint32_t limit) {
        ASSERT_TRUE(CLog::Instance().StartLogging(LogPath().string(), threshold, limit, false));
    }
    TempDir dir_{"kvt-log"};
};

TEST_F(LogTest, OnlyLinesAtTheThresholdOrBannersReachAnOpenFileWhichReopensForAppending) {
    CLog::Instance().Error("before start");
    Start(CLog::kError, 0);
    CLog::Instance().Debug("debug line");
    CLog::Instance().Info("info line");
    CLog::Instance().Warning("warning line");
    CLog::Instance().Error("error line");
    CLog::Instance().Always("banner line");
    CLog::Instance().StopLogging();
    CLog::Instance().Error("after stop");
    const std::string text = ReadFile(LogPath());
    for (const char* dropped :
         {"before start", "debug line", "info line", "warning line", "after stop"})
        EXPECT_THAT(text, Not(HasSubstr(dropped)));
    EXPECT_THAT(text,
                AllOf(HasSubstr("Error   "), HasSubstr("error line"), HasSubstr("banner line")));

    Start(CLog::kWarning, 0);
    CLog::Instance().Warning("second warning");
    EXPECT_THAT(ReadFile(LogPath()), AllOf(HasSubstr("Warning 0"), HasSubstr("error line")));
}

TEST_F(LogTest, RotatesOnceTheLimitIsPassedKeepingOneGeneration) {
    Start(CLog::kDebug, 1000);
    const fs::path rotated = LogPath().string() + "~";
    int written = 0;
    while (!fs::exists(rotated) && written < 100)
        CLog::Instance().Info("line %d %s", written++, std::string(40, 'x').c_str());
    ASSERT_TRUE(fs::exists(rotated));
    // The line that crossed the limit is complete in the old generation.
    const std::string old = ReadFile(rotated);
    EXPECT_GT(old.size(), 1000u);
    EXPECT_EQ(old.substr(old.size() - 2), "\r\n");
    EXPECT_THAT(old, HasSubstr("line " + std::to_string(written - 1) + " x"));
    EXPECT_EQ(fs::file_size(LogPath()), 0u);

    // The next rotation replaces the older generation.
    CLog::Instance().Info("after rotation");
    while (ReadFile(rotated).find("after rotation") == std::string::npos && written < 200)
        CLog::Instance().Info("line %d %s", written++, std::string(40, 'y').c_str());
    EXPECT_THAT(ReadFile(rotated),
                AllOf(HasSubstr("after rotation"), Not(HasSubstr("Logging started"))));
}

TEST_F(LogTest, OverlongMessagesAreCutAndZeroLimitNeverRotates) {
    Start(CLog::kDebug, 0);
    CLog::Instance().Info("%s", std::string(10000, 'm').c_str());
    const auto lines = Lines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].size() - lines[1].find('m'), CLog::kMessageBufferSize - 1);
    for (int i = 0; i < 100; ++i) CLog::Instance().Info("%s", std::string(100, 'z').c_str());
    EXPECT_GT(fs::file_size(LogPath()), 10000u);
    EXPECT_FALSE(fs::exists(LogPath().string() + "~"));
}

TEST_F(LogTest, TraceScopesLogEntryAndExitEvenOnExceptionAndTheConsoleEchoHasNoStampOrLevel) {
    ASSERT_TRUE(CLog::Instance().StartLogging(LogPath().string(), CLog::kDebug, 0, true));
    testing::internal::CaptureStdout();
    CLog::Instance().Warning("to the console");
    const std::string echoed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(echoed, std::regex("[0-9a-f]{8} to the console\r\n"))) << echoed;
    try {
        CFunctionTrace trace("CSample::Operation");
        throw std::runtime_error("boom");
    } catch (const std::runtime_error&) {
    }
    { CFunctionTimer timer("CSample::Timed"); }
    const std::string text = ReadFile(LogPath());
    for (const char* part : {"Debug   ", ">> CSample::Operation\r\n", "<< CSample::Operation\r\n",
                             "Info    ", "CSample::Timed entered\r\n"})
        EXPECT_THAT(text, HasSubstr(part));
    EXPECT_TRUE(
        std::regex_search(text, std::regex(R"(CSample::Timed returns after \d+ mSec\.\r\n)")));
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveLines) {
    Start(CLog::kDebug, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) CLog::Instance().Info("writer %d line %d end", t, i);
        });
    for (auto& thread : threads) thread.join();
    const auto lines = Lines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 801u);
    const std::regex whole(R"(.* [0-9a-f]{8} writer \d line \d+ end)");
    for (size_t i = 1; i < lines.size(); ++i)
        ASSERT_TRUE(std::regex_match(lines[i], whole)) << lines[i];
}

}  // namespace
