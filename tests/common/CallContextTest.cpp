#include "common/CallContext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>

namespace {

TEST(CallContextTest, BlocksCopiesRecordsAndArraysAreOwnedAndZeroed) {
    CCallContext context;
    unsigned char* block = context.Allocate(64);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::count(block, block + 64, 0), 64);
    std::memset(block, 0xAB, 64);  // writable over its whole length

    EXPECT_STREQ(context.CopyString("sensor-1"), "sensor-1");
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
    using Kind = CCallContext::FaultKind;
    const auto fault = [&] {
        return std::tuple(context.Fault(), std::string(context.FaultText()));
    };
    EXPECT_EQ(fault(), std::tuple(Kind::None, ""));
    EXPECT_NE(context.InvalidArgument(), 0);
    EXPECT_EQ(fault(), std::tuple(Kind::Client, "Error: Invalid Argument"));
    EXPECT_NE(context.ServerFault("sensor gone"), 0);
    EXPECT_EQ(fault(), std::tuple(Kind::Server, "sensor gone"));

    EXPECT_STREQ(BuildMsgString(&context, "device %s: %d", "A", 7), "device A: 7");
    EXPECT_EQ(std::strlen(BuildMsgString(&context, "%s", std::string(5000, 'q').c_str())),
              CCallContext::kMessageBlockSize - 1);
    EXPECT_STREQ(BuildMsgString(nullptr, "x"), "BuildMsgString: memory allocation error");
}

}  // namespace
