// The tests need umockdev's preload library, which sends /sys, /dev and the
// uevent socket of the process to each test's testbed. The program loads it
// by starting itself again with it in LD_PRELOAD, as umockdev-wrapper does.
// A sanitizer's runtime has to be loaded before everything else, so under
// the asan and tsan presets it goes first in the list; ThreadSanitizer is
// told which of umockdev's hand-overs it cannot see.
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "umockdev/Preload.h"

namespace {

// The loaded sanitizer runtimes, each followed by ':'.
std::string SanitizerRuntimes() {
    std::string runtimes;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            const char* name = info->dlpi_name;
            if (name != nullptr &&
                (std::strstr(name, "/libasan.so") || std::strstr(name, "/libtsan.so")))
                *static_cast<std::string*>(out) += std::string(name) + ":";
            return 0;
        },
        &runtimes);
    return runtimes;
}

}  // namespace

int main(int argc, char** argv) {
    constexpr const char* kRestarted = "KVT_UMOCKDEV_RESTARTED";
    if (!kvt_umock::PreloadIsLoaded() && std::getenv(kRestarted) == nullptr) {
        const std::string runtimes = SanitizerRuntimes();
        if (runtimes.find("/libtsan.so") != std::string::npos) {
            const char* options = std::getenv("TSAN_OPTIONS");
            setenv("TSAN_OPTIONS",
                   (std::string(options != nullptr ? options : "") +
                    " suppressions=" KVT_UMOCKDEV_TSAN_SUPPRESSIONS)
                       .c_str(),
                   1);
        }
        std::string preload = runtimes + kvt_umock::kPreloadLibrary;
        const char* existing = std::getenv("LD_PRELOAD");
        if (existing != nullptr && *existing != '\0') preload += std::string(":") + existing;
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv(kRestarted, "1", 1);
        execv("/proc/self/exe", argv);
        // Still here: the tests find no mock environment and skip.
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
