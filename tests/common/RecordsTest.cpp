#include "common/Records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/MessageRing.h"

namespace {

TEST(RecordsTest, DeviceInformationBecomesAPublicRecord) {
    kvt__DeviceInformation info;
    info.deviceId = "{1234}";
    info.firmwareVersion = std::string(300, 'f');
    info.connectionType = kvt__ConnectionType__USB;
    info.deviceType = kvt__DeviceType__Kelo_B;
    info.description = "Kelo USB sensor";
    info.serialNumber = "SN-42";
    KVT_DeviceInfo out;
    std::memset(&out, 0x5A, sizeof out);
    ToPublic(info, out);
    EXPECT_EQ(out.size, static_cast<int>(sizeof(KVT_DeviceInfo)));
    EXPECT_STREQ(out.deviceId, "{1234}");
    EXPECT_EQ(std::strlen(out.firmwareVersion), 100u);  // cut to the field, ended
    EXPECT_EQ(out.connectionType, 0);
    EXPECT_EQ(out.deviceType, 1);
    EXPECT_STREQ(out.description, "Kelo USB sensor");
    EXPECT_STREQ(out.serialNumber, "SN-42");
}

kvt__TransportMessage MakeMessage(kvt__MessageType type, const std::string& id,
                                  std::vector<unsigned char>* image = nullptr) {
    kvt__TransportMessage message;
    message.type = type;
    message.receiver = "Core";
    message.deviceId = id;
    message.additionalInfo = "info " + id;
    if (image != nullptr) {
        message.data.image.ptr = image->data();
        message.data.image.size = static_cast<int32_t>(image->size());
        message.data.LFDLevel = 4;
        message.data.LFDData = "lfd";
        message.data.properties = "20000000000000000000000000000000";
    }
    return message;
}

TEST(MessageRingTest, OnlyImageMessagesCarryACapturedPartAndTheImageIsCopied) {
    CMessageRing ring;
    const KVT_Message* plain = ring.Convert(MakeMessage(kvt__MessageType__NewDevice, "dev-1"));
    EXPECT_EQ(plain->size, static_cast<int>(sizeof(KVT_Message)));
    EXPECT_EQ(plain->type, 1);
    EXPECT_STREQ(plain->deviceId, "dev-1");
    EXPECT_STREQ(plain->additionalInfo, "info dev-1");
    KVT_CapturedData expected;
    std::memset(&expected, 0, sizeof expected);
    expected.size = sizeof(KVT_CapturedData);
    EXPECT_EQ(std::memcmp(&plain->capturedData, &expected, sizeof expected), 0);

    std::vector<unsigned char> image{1, 2, 3, 4, 5};
    const KVT_Message* slot =
        ring.Convert(MakeMessage(kvt__MessageType__CapturedImage, "d", &image));
    image.assign(image.size(), 0);  // the ring keeps its own copy
    ASSERT_NE(slot->capturedData.image, nullptr);
    ASSERT_EQ(slot->capturedData.imageSize, 5u);
    EXPECT_EQ(slot->capturedData.image[4], 5);
    EXPECT_EQ(slot->capturedData.LFDLevel, 4);
    EXPECT_STREQ(slot->capturedData.LFDData, "lfd");
    EXPECT_STREQ(slot->capturedData.properties, "20000000000000000000000000000000");
}

TEST(MessageRingTest, ASlotLivesForAHundredMessagesUntilReusedOrReleased) {
    CMessageRing ring;
    std::vector<unsigned char> image(100, 7);
    KVT_Message* first = ring.Convert(MakeMessage(kvt__MessageType__CapturedImage, "m0", &image));
    for (int i = 1; i < 100; ++i)
        ring.Convert(MakeMessage(kvt__MessageType__Timeout, "m" + std::to_string(i)));
    EXPECT_EQ(ring.NextSlot(), 0u);
    EXPECT_STREQ(first->deviceId, "m0");  // still valid after 99 further messages
    EXPECT_EQ(first->capturedData.image[99], 7);

    KVT_Message* reused = ring.Convert(MakeMessage(kvt__MessageType__LostDevice, "m100"));
    EXPECT_EQ(reused, first);
    EXPECT_STREQ(reused->deviceId, "m100");
    EXPECT_EQ(reused->capturedData.image, nullptr);
    EXPECT_EQ(reused->capturedData.imageSize, 0u);

    KVT_Message* second = ring.Convert(MakeMessage(kvt__MessageType__CapturedImage, "a", &image));
    ring.ReleaseAll();
    EXPECT_EQ(ring.NextSlot(), 0u);
    EXPECT_EQ(second->capturedData.image, nullptr);
    EXPECT_STREQ(first->deviceId, "");
    EXPECT_EQ(ring.Convert(MakeMessage(kvt__MessageType__NewDevice, "c")), first);
}

}  // namespace
