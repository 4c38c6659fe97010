// The library in processes of their own: one that ends without KVT_Stop, one
// that loads it by full path from a folder other than its own, and on Windows
// one without a desktop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

using kvt_test::ChildResult;
using kvt_test::RunChild;
using kvt_test::TempDir;
using testing::HasSubstr;
using testing::Not;
namespace fs = std::filesystem;

// An application may return from main with the library running. Elsewhere
// the library's threads run on and must be ended before the application's
// static objects are destroyed, and the callback then hears nothing more.
// Windows ends the threads itself, and the library's exit handlers run only
// after the application's; there only the exit is checked.
TEST(ProcessLifetime, AnApplicationThatNeverStopsTheLibraryStillExits) {
    // Simulated sensors keep the bus, device and message threads busy; those
    // attached at the start and the one the probe attaches after it differ in
    // what the library makes before arranging its stop at exit. A crash at
    // exit, or on Windows a hang, depends on timing, so a few runs.
    for (int run = 0; run < 6; ++run) {
        const bool late = run % 2 == 1;
        std::vector<std::string> environment;
        if (!late) environment.push_back("KVT_SIMULATED_SENSORS=u2,u1");
        const ChildResult child = RunChild(KVT_START_PROBE, {"--no-stop", late ? "--attach" : ""},
                                           environment, std::chrono::seconds(10));
        ASSERT_EQ(child.exit, 0) << "still running after 10 s, or crashed; output:\n" << child.out;
        EXPECT_THAT(child.out, HasSubstr("result=0"));
#ifndef _WIN32
        EXPECT_THAT(child.out, Not(HasSubstr("callback after the application cleaned up")));
#endif
    }
}

#ifdef _WIN32

// Hot-plug needs the device notification window. A message-only one needs no
// desktop, which services and Wine without a display lack.
TEST(ProcessLifetime, TheUsbNotificationWindowNeedsNoDesktop) {
    const ChildResult run = RunChild(KVT_START_PROBE, {});
    ASSERT_EQ(run.exit, 0) << run.out;
    EXPECT_THAT(run.out, HasSubstr("result=0"));
    EXPECT_THAT(run.out, Not(HasSubstr("USB notification window could not be created")));
}
#endif

// Copies the library, and the modules when asked, into a folder of its own
// and runs a copy of the probe from another folder.
std::string LoadFromAnotherFolder(bool withModules) {
    TempDir libraryFolder("kvt-lib");
    TempDir programFolder("kvt-app");
    const fs::path library = libraryFolder / fs::path(KVT_LIBRARY_FILE).filename().string();
    fs::copy_file(KVT_LIBRARY_FILE, library);
    if (withModules) {
        for (const char* module : {KVT_EXTRACTOR_FILE, KVT_MATCHER_FILE, KVT_RECORD_FILE})
            fs::copy_file(module, libraryFolder / fs::path(module).filename().string());
    }
    const fs::path probe = programFolder / fs::path(KVT_LOAD_PROBE).filename().string();
    fs::copy_file(KVT_LOAD_PROBE, probe);
    // Windows looks in the current folder too, which may hold the build's modules.
    const fs::path current = fs::current_path();
    fs::current_path(programFolder.Path());
    const ChildResult run = RunChild(probe.string(), {library.string()});
    fs::current_path(current);
    EXPECT_EQ(run.exit, 0) << run.out;
    return run.out;
}

TEST(ProcessLifetime, ALibraryLoadedByFullPathFindsTheModulesBesideIt) {
    EXPECT_THAT(LoadFromAnotherFolder(true), HasSubstr("start=0 biometrics=0"));
    // Without them it starts all the same, and only the algorithm is missing.
    EXPECT_THAT(LoadFromAnotherFolder(false), HasSubstr("start=0 biometrics=-7"));
}

}  // namespace
