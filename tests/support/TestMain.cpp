// Every test gets a data folder of its own, so that tests can run in parallel
// without sharing configuration, logs or the single-manager lock.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "support/TempDir.h"

namespace {

// A folder of its own for each test, also when one process runs them all.
class FreshDataFolder : public testing::EmptyTestEventListener {
public:
    explicit FreshDataFolder(std::filesystem::path parent) : m_parent(std::move(parent)) {}
    void OnTestStart(const testing::TestInfo&) override {
        const std::filesystem::path folder = m_parent / std::to_string(++m_tests);
        std::filesystem::create_directories(folder);
        kvt_test::SetEnv("KVT_DATA_DIR", folder.string());
    }

private:
    std::filesystem::path m_parent;
    int m_tests = 0;
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
#ifdef _WIN32
    // Tests use sockets outside a running library, which starts Winsock only
    // while it runs.
    WSADATA winsock;
    WSAStartup(MAKEWORD(2, 2), &winsock);
#endif
    const char* existing = std::getenv("KVT_DATA_DIR");
    static kvt_test::TempDir dataDir("kvt-data");
    if (existing == nullptr || *existing == '\0') {
        testing::UnitTest::GetInstance()->listeners().Append(
            std::make_unique<FreshDataFolder>(dataDir.Path()).release());
    }
    return RUN_ALL_TESTS();
}
