#include "common/Records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "common/MessageRing.h"

namespace {

// Each field's way into the record is read back through the exports
// (CaptureTest, EthernetSensorTest); no sensor there has an overlong text.
TEST(RecordsTest, AnOverlongTextIsCutToItsFieldAndEnded) {
    kvt__DeviceInformation info;
    info.firmwareVersion = std::string(300, 'f');
    KVT_DeviceInfo out;
    std::memset(&out, 0x5A, sizeof out);
    ToPublic(info, out);
    EXPECT_EQ(std::strlen(out.firmwareVersion), 100u);
}

// The slots' lifetime and reuse are the delivery tests' business.
TEST(MessageRingTest, MessagesAreCopiedWithAnImageOfTheirOwnUntilReleased) {
    CMessageRing ring;
    std::vector<unsigned char> image{1, 2, 3, 4, 5};
    const std::string properties = "20000000000000000000000000000000";
    const kvt__CapturedData captured{{image.data(), 5}, 4, properties, "lfd"};
    const kvt__TransportMessage message{kvt__MessageType__CapturedImage, "Core", "dev-1", "info",
                                        captured};
    KVT_Message* slot = ring.Convert(message);
    image.assign(image.size(), 0);  // the ring keeps its own copy
    const KVT_CapturedData& data = slot->capturedData;
    ASSERT_NE(data.image, nullptr);
    EXPECT_EQ(std::tuple(slot->type, std::string(slot->deviceId), std::string(slot->additionalInfo),
                         std::vector(data.image, data.image + data.imageSize), data.LFDLevel,
                         std::string(data.LFDData), std::string(data.properties)),
              std::tuple(KVT_MSG_CAPTURED_IMAGE, "dev-1", "info",
                         std::vector<unsigned char>{1, 2, 3, 4, 5}, 4, "lfd", properties));

    ring.ReleaseAll();
    EXPECT_EQ(ring.NextSlot(), 0u);
    EXPECT_EQ(std::tuple(data.image, std::string(slot->deviceId)), std::tuple(nullptr, ""));
    EXPECT_EQ(ring.Convert(message), slot);
}

}  // namespace
