// Applications stop the library while other threads still call it, and start
// it again after a start that failed. None of that may crash, hang, leave a
// thread behind or flood the callback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <set>
#include <thread>
#include <vector>

#include "integration/LibraryFixture.h"
#include "support/ThreadCount.h"

using namespace kvt_test;
using testing::AllOf;
using testing::Contains;
using testing::HasSubstr;
using testing::IsSubsetOf;

namespace {

// No listener section: nothing but the simulated USB sensors joins.
void WriteQuietConfig(int u2AsyncSleepTime = 500) {
    WriteFile(ConfigPath(),
              ManagerSettings(2, ".\\Logfiles\\KVTDeviceManager.log", 10000000, u2AsyncSleepTime));
}

// True when the process holds the file open.
bool HoldsOpen(const std::filesystem::path& file) {
    const auto target = std::filesystem::weakly_canonical(file);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec) == target) return true;
    }
    return false;
}

// A sensor with a finger on it, a picture taken from it and its template.
class StopOverlapTest : public SimulatedSensorTest {
protected:
    void SetUp() override {
        WriteQuietConfig();
        ASSERT_NO_FATAL_FAILURE(StartWithSensor());
        ASSERT_EQ(KVTSim_PlaceFinger(simId_, 4, 1, 1), KVTSIM_OK);
        ASSERT_EQ(Capture(), KVT_RESULT_OK);
        ASSERT_EQ(KVT_ExtractTemplate(&data_, &reference_), KVT_RESULT_OK);
        ASSERT_EQ(KVT_Stop(), KVT_RESULT_OK);
    }

    // The sensor's id in the running library (each start gives new ids).
    static std::string RunningSensorId() {
        KVT_DeviceInfo list[4] = {};
        WaitUntil([&] {
            unsigned int count = 4;
            return KVT_GetDeviceList(list, &count) == KVT_RESULT_OK && count > 0;
        });
        return list[0].deviceId;
    }

    // What every export that takes a sensor id answers for this one.
    static void CallEverySensorExport(const char* id, std::set<int>& results) {
        auto info = Sized<KVT_DeviceInfo>();
        results.insert(KVT_GetDeviceInformation(id, &info));
        std::vector<unsigned char> buffer(139190);
        KVT_CapturedData data = Picture(buffer);
        results.insert(KVT_CaptureImage(id, 0, &data));
        results.insert(KVT_CaptureImage(id, 1, nullptr));
        results.insert(Cancel(id).first);
        results.insert(KVT_IndicateResult(id, 1));
        results.insert(KVT_SetProperty(id, "FastMode", "1"));
        char value[64];
        results.insert(KVT_GetProperty(id, "FastMode", value, sizeof value));
    }

    // One round of every export that takes part in a stop.
    void CallEveryExport(std::set<int>& deviceResults, std::set<int>& bioResults) {
        unsigned int count = 4;
        KVT_DeviceInfo list[4] = {};
        deviceResults.insert(KVT_GetDeviceList(list, &count));
        // Once the list was refused, the id of an earlier run stands in.
        const std::string sensorId = count > 0 ? list[0].deviceId : id_;
        CallEverySensorExport(sensorId.c_str(), deviceResults);

        auto extracted = Sized<KVT_Template>();
        bioResults.insert(KVT_ExtractTemplate(&data_, &extracted));
        auto match = Sized<KVT_MatchResult>();
        bioResults.insert(KVT_MatchTemplate(&reference_, &reference_, 1, &match));
        auto bio = Sized<KVT_BiometricsInfo>();
        bioResults.insert(KVT_GetBiometricsInfo(&bio));
        KVT_IsRunning();
    }

    // Starts and stops the library cycles times while eight threads call it.
    void StartAndStopUnderLoad(int cycles) {
        std::atomic<bool> done{false};
        // What each caller's exports answered, for the device and the algorithm.
        std::vector<std::set<int>> device(8), bio(8);
        std::vector<std::thread> callers;
        for (int i = 0; i < 8; ++i)
            callers.emplace_back([&, i] {
                while (!done) CallEveryExport(device[i], bio[i]);
            });
        int failedStarts = 0, failedStops = 0;
        for (int cycle = 0; cycle < cycles; ++cycle) {
            failedStarts += KVT_Start(&MessageLog::Callback, &messages_) != KVT_RESULT_OK;
            std::this_thread::sleep_for(std::chrono::milliseconds(cycle % 5));
            failedStops += KVT_Stop() != KVT_RESULT_OK;
            // Once stopped, nothing reaches the manager or the algorithm.
            unsigned int count = 0;
            EXPECT_EQ(KVT_GetDeviceList(nullptr, &count), KVT_RESULT_NOT_RUNNING);
            auto info = Sized<KVT_BiometricsInfo>();
            EXPECT_EQ(KVT_GetBiometricsInfo(&info), KVT_RESULT_NO_ALGORITHM);
        }
        done = true;
        std::set<int> deviceResults, bioResults;
        for (int i = 0; i < 8; ++i) {
            callers[i].join();
            deviceResults.insert(device[i].begin(), device[i].end());
            bioResults.insert(bio[i].begin(), bio[i].end());
        }

        EXPECT_EQ(std::tuple(failedStarts, failedStops), std::tuple(0, 0));
        // The calls ran both inside a running library and against a stopped one,
        // and got nothing but an answer a running or stopped library gives.
        EXPECT_THAT(deviceResults,
                    AllOf(Contains(KVT_RESULT_OK), Contains(KVT_RESULT_NOT_RUNNING),
                          IsSubsetOf({KVT_RESULT_OK, KVT_RESULT_FAILED, KVT_RESULT_NOT_RUNNING,
                                      KVT_RESULT_NO_CALLBACK})));
        EXPECT_EQ(bioResults, (std::set<int>{KVT_RESULT_OK, KVT_RESULT_NO_ALGORITHM}));
    }

    KVT_Template reference_ = Sized<KVT_Template>();
};

TEST_F(StopOverlapTest, StopsWhileEveryExportIsCalledFromEightThreads) {
    StartAndStopUnderLoad(12);
}

// The sanitizer builds run this; the cycle count can be changed for soak runs.
using SlowStopOverlapTest = StopOverlapTest;

TEST_F(SlowStopOverlapTest, StartsAndStopsTwoHundredTimesUnderLoad) {
    const char* cycles = std::getenv("KVT_STRESS_CYCLES");
    StartAndStopUnderLoad(cycles != nullptr ? std::atoi(cycles) : 200);
}

TEST_F(StopOverlapTest, EachStopEndsWithTheGoingOfflineMessageAndLeavesNoThreadBehind) {
    // The fixture ran the library once, so the runtime's own threads exist by now.
    const size_t threadsBefore = ThreadCount();
    messages_.TakeTypes();
    for (int cycle = 0; cycle < 10; ++cycle) {
        ASSERT_EQ(KVT_Start(&MessageLog::Callback, &messages_), KVT_RESULT_OK);
        // A capture that the stop cuts short, so the stop has work to do.
        ASSERT_EQ(KVT_CaptureImage(RunningSensorId().c_str(), 5, nullptr), KVT_RESULT_OK);
        ASSERT_EQ(KVT_Stop(), KVT_RESULT_OK);
        const std::vector<int> run = messages_.TakeTypes();
        ASSERT_FALSE(run.empty()) << "cycle " << cycle;
        EXPECT_EQ(std::tuple(run.back(), std::count(run.begin(), run.end(), KVT_MSG_GOING_OFFLINE)),
                  std::tuple(KVT_MSG_GOING_OFFLINE, 1))
            << "cycle " << cycle;
        EXPECT_LE(std::count(run.begin(), run.end(), KVT_MSG_UNSPECIFIED), 1);
    }
    EXPECT_THAT(LogText(), HasSubstr("open Threads: 0 after 0 loops"));
    // Detached threads finish their last lines just after they count out.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; }));
}

TEST_F(StopOverlapTest, ALongSettlePauseBlocksNeitherCancelNorStop) {
    WriteQuietConfig(600000);
    Start();
    id_ = RunningSensorId();
    // The finger lies on the sensor, so the capture goes straight into its pause.
    ASSERT_EQ(KVT_CaptureImage(id_.c_str(), 30, nullptr), KVT_RESULT_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Cancel(id_.c_str()), std::pair(KVT_RESULT_OK, 1));
    EXPECT_TRUE(messages_.WaitFor(KVT_MSG_CAPTURE_CANCELLED, id_));

    ASSERT_EQ(KVT_CaptureImage(id_.c_str(), 30, nullptr), KVT_RESULT_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(KVT_Stop(), KVT_RESULT_OK);
    EXPECT_THAT(LogText(), HasSubstr("open Threads: 0 after"));
    EXPECT_EQ(KVT_Start(&MessageLog::Callback, &messages_), KVT_RESULT_OK);
}

TEST_F(StopOverlapTest, UnterminatedIdsAndBadReferencesAreRefused) {
    Start();
    ASSERT_FALSE(RunningSensorId().empty());
    // Exactly the size of the id field, with no zero in it; ASan reports a read past it.
    const std::vector<char> unterminated(256, 'x');
    std::set<int> results;
    CallEverySensorExport(unterminated.data(), results);
    EXPECT_THAT(results, testing::ElementsAre(KVT_RESULT_BAD_ARGUMENT));
    EXPECT_THAT(LogText(), HasSubstr("KVT_IndicateResult: device id without terminating zero"));

    // A reference whose size field is wrong is refused like a wrong probe.
    std::array<KVT_Template, 2> references{reference_, reference_};
    references[1].size = 0;
    auto match = Sized<KVT_MatchResult>();
    EXPECT_EQ(KVT_MatchTemplate(&reference_, references.data(), 2, &match),
              KVT_RESULT_BAD_ARGUMENT);
    references[1].size = sizeof(KVT_Template);
    EXPECT_EQ(KVT_MatchTemplate(&reference_, references.data(), 2, &match), KVT_RESULT_OK);
    EXPECT_EQ(match.success, 0);
}

TEST_F(StopOverlapTest, TheCallbackMayStopTheLibraryAndNoThreadStaysBehind) {
    // The fixture ran the library once, so the runtime's own threads exist by now.
    const size_t threadsBefore = ThreadCount();
    MessageLog stopper;
    std::atomic<int> result{1};
    stopper.beforeFirst = [&] { result = KVT_Stop(); };
    ASSERT_EQ(KVT_Start(&MessageLog::Callback, &stopper), KVT_RESULT_OK);
    EXPECT_TRUE(WaitUntil([] { return KVT_IsRunning() == -1; }, std::chrono::seconds(20)));
    EXPECT_TRUE(WaitUntil([&] { return result.load() == KVT_RESULT_OK; })) << result.load();
    // The message thread that ran the callback ends once the callback returns.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; }));
    StartAndStop();
}

TEST_F(StopOverlapTest, ACallbackThatDoesNotReturnDoesNotHoldUpTheStop) {
    // The callback does not return from the first event until the test lets it.
    MessageLog blocked;
    std::atomic<bool> entered{false}, returned{false}, timedOut{false};
    std::promise<void> let;
    blocked.beforeFirst = [&, letting = let.get_future().share()] {
        entered = true;
        timedOut = letting.wait_for(std::chrono::seconds(20)) != std::future_status::ready;
        returned = true;
    };
    ASSERT_EQ(KVT_Start(&MessageLog::Callback, &blocked), KVT_RESULT_OK);
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
    EXPECT_EQ(KVT_Stop(), KVT_RESULT_OK);
    let.set_value();
    ASSERT_TRUE(WaitUntil([&] { return returned.load(); }));
    // The stop returned while the callback still waited, and the busy callback
    // was not handed the going-offline message afterwards.
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(blocked.Count(KVT_MSG_GOING_OFFLINE), 0);
    StartAndStop();
}

using LogReleaseTest = LibraryTest;

TEST_F(LogReleaseTest, AStoppedLibraryHoldsNoHandleOnItsLogButStillWritesIt) {
    WriteVerboseConfig();
    ASSERT_EQ(KVT_Start(IgnoreMessage, nullptr), KVT_RESULT_OK);
    EXPECT_TRUE(HoldsOpen(LogPath()));
    ASSERT_EQ(KVT_Stop(), KVT_RESULT_OK);
    EXPECT_FALSE(HoldsOpen(LogPath()));
    EXPECT_EQ(KVT_Stop(), KVT_RESULT_OK);
    EXPECT_FALSE(HoldsOpen(LogPath()));
    EXPECT_THAT(LogText(), HasSubstr("unexpected call to KVT_Stop()"));
}

#ifndef _WIN32  // a named pipe (FIFO) is POSIX only
using SlowAbandonedStartTest = LibraryTest;

// A log that cannot be opened yet (a pipe without a reader) holds the manager
// in its start beyond the start's wait.
TEST_F(SlowAbandonedStartTest, AStartThatGivesUpLeavesNoThreadAndTheNextStartWorks) {
    const std::filesystem::path pipe = DataDir() / "held.log";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    WriteFile(ConfigPath(), ManagerSettings(2, pipe.string()));
    const size_t threadsBefore = ThreadCount();

    // Lets the manager go on once the start has given up on it.
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10500));
        std::ifstream(pipe).ignore(std::numeric_limits<std::streamsize>::max());
    });
    EXPECT_EQ(KVT_Start(IgnoreMessage, nullptr), KVT_RESULT_FAILED);
    EXPECT_EQ(KVT_IsRunning(), -1);
    // Only the test's own reader may still run.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore + 1; }));

    WriteQuietConfig();
    EXPECT_EQ(KVT_Start(IgnoreMessage, this), KVT_RESULT_OK);
    EXPECT_EQ(KVT_Stop(), KVT_RESULT_OK);
    reader.join();
}
#endif

}  // namespace
