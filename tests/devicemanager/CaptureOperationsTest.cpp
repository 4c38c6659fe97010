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

    int simId_ = 0;
};

TEST_F(CaptureOperationsTest, SyncAndAsyncPicturesAreTheMakeUpOfTheModelsFrame) {
    Start();
    const std::string id = Plug(KVTSIM_MODEL_U2, &simId_);
    ASSERT_EQ(KVTSim_PlaceFinger(simId_, 5, 2, 1), KVTSIM_OK);
    std::vector<unsigned char> picture;
    KVT_CapturedData data;
    for (const char* size : {"Full", "Half", "ROI"}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(KVT_SetProperty(id.c_str(), "PictureSize", size), KVT_RESULT_OK);
        ASSERT_EQ(Capture(id, picture, data), KVT_RESULT_OK);
        EXPECT_EQ(picture, ExpectedPicture(id, size));
    }

    // The asynchronous file differs only in its resolution, which it leaves at 0.
    ASSERT_EQ(KVT_CaptureImage(id.c_str(), 10, nullptr), KVT_RESULT_OK);
    ASSERT_TRUE(messages_.WaitFor(KVT_MSG_CAPTURED_IMAGE, id));
    EXPECT_EQ(std::tuple(kvt_test::ReadInt32(picture, 38), kvt_test::ReadInt32(picture, 42)),
              std::tuple(19685, 19685));
    std::fill(picture.begin() + 38, picture.begin() + 46, 0);
    EXPECT_EQ(messages_.Last(KVT_MSG_CAPTURED_IMAGE).image, picture);
}

}  // namespace
