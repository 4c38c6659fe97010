// The tests need umockdev's preload library, which sends /sys, /dev and the
// uevent socket of the process to each test's testbed. The program loads it
// by starting itself again with it in LD_PRELOAD, as umockdev-wrapper does.
// Under a sanitizer it does not (the sanitizer's runtime must be loaded
// first), and the tests say that they are skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "umockdev/Preload.h"

int main(int argc, char** argv) {
#ifndef KVT_UMOCKDEV_SANITIZER
    constexpr const char* kRestarted = "KVT_UMOCKDEV_RESTARTED";
    if (!kvt_umock::PreloadIsLoaded() && std::getenv(kRestarted) == nullptr) {
        std::string preload = kvt_umock::kPreloadLibrary;
        const char* existing = std::getenv("LD_PRELOAD");
        if (existing != nullptr && *existing != '\0') preload += std::string(":") + existing;
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv(kRestarted, "1", 1);
        execv("/proc/self/exe", argv);
        // Still here: the tests find no mock environment and skip.
    }
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
