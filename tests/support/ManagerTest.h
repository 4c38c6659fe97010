#pragma once

#include "devicemanager/DevicesManager.h"
#include "support/LoggedTest.h"

namespace kvt_test {

// A device manager made in this process without running it; the registry,
// the queue and discovery work without the manager thread.
class ManagerTest : public LoggedTest {
protected:
    void SetUp() override {
        manager_ = CDevicesManager::CreateInstance();
        LoggedTest::SetUp();
    }
    void TearDown() override {
        CDevicesManager::DropInstance();
        LoggedTest::TearDown();
    }

    CDevicesManager* manager_ = nullptr;
};

}  // namespace kvt_test
