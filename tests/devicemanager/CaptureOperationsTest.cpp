// The capture path end to end: the picture an application receives is the
// make-up of exactly the frame the sensor model delivered.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "devicemanager/DevicesManager.h"
#include "kvt/KVTBasic.h"
#include "properties/PropertiesManager.h"
#include "sim/usb/SimUsbBus.h"

namespace {

struct Images {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<unsigned char> image;

    static void KVT_CALLBACK Callback(KVT_Message* message, void* user) {
        auto* images = static_cast<Images*>(user);
        if (message->type != KVT_MSG_CAPTURED_IMAGE) return;
        std::lock_guard lock(images->mutex);
        images->image.assign(message->capturedData.image,
                             message->capturedData.image + message->capturedData.imageSize);
        images->arrived.notify_all();
    }
};

class CaptureOperationsTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(KVT_Start(&Images::Callback, &images_), KVT_RESULT_OK);
        simId_ = sim::SimUsbBus::Instance().Attach(sim::SensorModel::kU2, 777);
        sim::SimUsbBus::Instance().Sensor(simId_)->PlaceFinger({5, 2, true});
        CDevicesManager* manager = CDevicesManager::Instance();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (manager->Devices().Count() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        device_ = manager->Devices().First();
        ASSERT_TRUE(device_);
        id_ = device_->GetDeviceID();
    }
    void TearDown() override {
        device_.Reset();
        KVT_Stop();
    }

    // What the model delivers and make-up turns it into, without the exports.
    std::vector<unsigned char> ExpectedPicture(const char* pictureSize) {
        CProperties properties;
        EXPECT_TRUE(properties.SetProperty("PictureSize", pictureSize));
        EXPECT_TRUE(device_->AcquireDevice(false));
        device_->SetCaptureProperties(properties);
        std::vector<uint8_t> raw;
        EXPECT_TRUE(device_->GetSyncImage(raw));
        device_->ReleaseDevice();
        CCallContext context;
        xsd__base64Binary file;
        CDevicesManager::CopyImageToBase64Binary(raw.data(), &context, properties, &file);
        return std::vector<unsigned char>(file.ptr, file.ptr + file.size);
    }

    Images images_;
    int simId_ = 0;
    DevicePtr device_;
    std::string id_;
};

TEST_F(CaptureOperationsTest, SyncAndAsyncPicturesAreTheMakeUpOfTheModelsFrame) {
    std::vector<unsigned char> buffer;
    for (const char* size : {"Full", "Half", "ROI"}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(KVT_SetProperty(id_.c_str(), "PictureSize", size), KVT_RESULT_OK);
        buffer.assign(139190, 0);
        KVT_CapturedData data{};
        data.size = sizeof data;
        data.image = buffer.data();
        data.imageSize = static_cast<unsigned int>(buffer.size());
        ASSERT_EQ(KVT_CaptureImage(id_.c_str(), 0, &data), KVT_RESULT_OK);
        buffer.resize(data.imageSize);
        EXPECT_EQ(buffer, ExpectedPicture(size));
    }

    // The asynchronous file differs only in its resolution, which it leaves at 0.
    ASSERT_EQ(KVT_CaptureImage(id_.c_str(), 10, nullptr), KVT_RESULT_OK);
    std::unique_lock lock(images_.mutex);
    ASSERT_TRUE(images_.arrived.wait_for(lock, std::chrono::seconds(20),
                                         [&] { return !images_.image.empty(); }));
    const unsigned char dpi500[8] = {0xE5, 0x4C, 0, 0, 0xE5, 0x4C, 0, 0};
    ASSERT_EQ(std::memcmp(&buffer[38], dpi500, 8), 0);
    std::fill(buffer.begin() + 38, buffer.begin() + 46, 0);
    EXPECT_EQ(images_.image, buffer);
}

}  // namespace
