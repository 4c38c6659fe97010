#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kvt/KVTBasic.h"
#include "support/TempDir.h"

namespace kvt_test {

inline std::filesystem::path ConfigPath() {
    return DataDir() / "KVTDeviceManager.ini";
}
inline std::filesystem::path LogPath() {
    return DataDir() / "Logfiles" / "KVTDeviceManager.log";
}

// Writes a configuration that logs everything, so tests can read the trace.
inline void WriteVerboseConfig() {
    WriteFile(ConfigPath(),
              "Port=82\nLogFileName=.\\Logfiles\\KVTDeviceManager.log\nLogFileSize=1000000\n"
              "LogLevel=0\nU2AsyncSleepTime=500\nTemperatureCompensation=0\n");
}

inline void KVT_CALLBACK IgnoreMessage(KVT_Message*, void*) {}

// Stops the library whatever a test left behind.
class LibraryTest : public testing::Test {
protected:
    void TearDown() override {
        if (KVT_IsRunning() == 0) KVT_Stop();
    }
};

}  // namespace kvt_test
