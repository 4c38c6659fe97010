#include "common/CallContext.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(CallContextTest, BlocksCopiesRecordsAndArraysAreOwnedAndZeroed) {
    CCallContext context;
    unsigned char* block = context.Allocate(64);
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], 0);
    std::memset(block, 0xAB, 64);  // writable over its whole length

    char* copy = context.CopyString("sensor-1");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "sensor-1");
    EXPECT_EQ(context.CopyString(nullptr), nullptr);

    kvt__DeviceInformation* info = context.CreateDeviceInformation();
    info->deviceId = "id";
    ArrayOfDeviceInformation list = context.CreateArray<kvt__DeviceInformation>(3);
    ASSERT_EQ(list.size, 3);
    for (auto& element : list) element.serialNumber = "S";
    EXPECT_EQ(list.ptr[2].serialNumber, "S");
    EXPECT_EQ(context.CreateArray<kvt__DeviceInformation>(0).ptr, nullptr);
}

TEST(CallContextTest, FaultsRecordKindAndTextAndMessagesAreCutToTheBlock) {
    CCallContext context;
    EXPECT_EQ(context.Fault(), CCallContext::FaultKind::None);
    EXPECT_STREQ(context.FaultText(), "");

    EXPECT_NE(context.InvalidArgument(), 0);
    EXPECT_EQ(context.Fault(), CCallContext::FaultKind::Client);
    EXPECT_STREQ(context.FaultText(), "Error: Invalid Argument");

    EXPECT_NE(context.ServerFault("sensor gone"), 0);
    EXPECT_EQ(context.Fault(), CCallContext::FaultKind::Server);
    EXPECT_STREQ(context.FaultText(), "sensor gone");

    EXPECT_STREQ(BuildMsgString(&context, "device %s: %d", "A", 7), "device A: 7");
    const std::string longText(5000, 'q');
    const char* cut = BuildMsgString(&context, "%s", longText.c_str());
    EXPECT_EQ(std::strlen(cut), CCallContext::kMessageBlockSize - 1);
    EXPECT_STREQ(BuildMsgString(nullptr, "x"), "BuildMsgString: memory allocation error");
}

}  // namespace
