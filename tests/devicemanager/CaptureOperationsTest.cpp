// The capture path end to end: the picture an application receives is the
// make-up of exactly the frame the sensor model delivered.
#include <gtest/gtest.h>

#include <algorithm>

#include "devicemanager/DevicesManager.h"
#include "integration/LibraryFixture.h"
#include "properties/PropertiesManager.h"

namespace {

class CaptureOperationsTest : public kvt_test::SimulatedSensorTest {
protected:
    // What the model delivers and make-up turns it into, without the exports.
    static std::vector<unsigned char> ExpectedPicture(const std::string& id,
                                                      const char* pictureSize) {
        const DevicePtr device = CDevicesManager::Instance()->Devices().Get(id.c_str());
        CProperties properties;
        EXPECT_TRUE(properties.SetProperty("PictureSize", pictureSize));
        EXPECT_TRUE(device->AcquireDevice(false));
        device->SetCaptureProperties(properties);
        std::vector<uint8_t> raw;
        EXPECT_TRUE(device->GetSyncImage(raw));
        device->ReleaseDevice();
        CCallContext context;
        xsd__base64Binary file;
        CDevicesManager::CopyImageToBase64Binary(raw.data(), &context, properties, &file);
        return std::vector<unsigned char>(file.ptr, file.ptr + file.size);
    }
};

TEST_F(CaptureOperationsTest, SyncAndAsyncPicturesAreTheMakeUpOfTheModelsFrame) {
    StartWithSensor();
    ASSERT_EQ(KVTSim_PlaceFinger(simId_, 5, 2, 1), KVTSIM_OK);
    for (const char* size : {"Full", "Half", "ROI"}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(KVT_SetProperty(id_.c_str(), "PictureSize", size), KVT_RESULT_OK);
        ASSERT_EQ(Capture(), KVT_RESULT_OK);
        EXPECT_EQ(image_, ExpectedPicture(id_, size));
    }

    // The asynchronous file differs only in its resolution, which it leaves at 0.
    ASSERT_EQ(KVT_CaptureImage(id_.c_str(), 10, nullptr), KVT_RESULT_OK);
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_CAPTURED_IMAGE, id_));
    EXPECT_EQ(std::tuple(kvt_test::ReadInt32(image_, 38), kvt_test::ReadInt32(image_, 42)),
              std::tuple(19685, 19685));
    std::fill(image_.begin() + 38, image_.begin() + 46, 0);
    EXPECT_EQ(messages_.Last(KVT_MSG_CAPTURED_IMAGE).image, image_);
}

}  // namespace
