// Every test process gets a data folder of its own, so that tests can run in
// parallel without sharing configuration, logs or the single-manager lock.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#endif

#include <cstdlib>

#include "support/TempDir.h"

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
        kvt_test::SetEnv("KVT_DATA_DIR", dataDir.Path().string());
    }
    return RUN_ALL_TESTS();
}
