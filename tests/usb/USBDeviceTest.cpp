#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "usb/ScriptedUsbHandle.h"
#include "usb/UsbTestModels.h"

using namespace kvt_test;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

// The leading bytes of a body, zero-padded to its size.
Bytes Body(std::initializer_list<uint8_t> head, size_t size) {
    Bytes body(head);
    body.resize(size, 0);
    return body;
}

class USBDeviceTest : public UsbLogFixture {};

// The bytes of register exchanges are checked against the emulated sensors,
// which refuse malformed requests (ModelEmulatorTest); here what they cannot see.
TEST_F(USBDeviceTest, IlluBoardRegisterWritePausesBeforeTheParameterIsAnswered) {
    OpenU2 device(Handle(), "u2");
    m_script->QueueIlluWrite();
    ASSERT_TRUE(
        device.WriteI2CRegisterToDevice(usb::MemoryIlluBoard, usb::MinTriggerLevelLow, 0x70));
    // Address command, then parameter write: between the second body (call 5)
    // and its response header (call 6).
    const auto calls = m_script->Calls();
    ASSERT_EQ(calls.size(), 8u);
    EXPECT_GE(calls[6].when - calls[5].when, std::chrono::milliseconds(100));
}

TEST_F(USBDeviceTest, StateRecordsAreStoredAndReportedAndRegisterReadsRefuseAnswersThatDoNotFit) {
    OpenU1 device(Handle(), "u1");
    uint8_t value = 0;
    m_script->QueueStateAnswer({4, 0, 0, 0});
    EXPECT_EQ(device.GetDeviceStatus(), 0);
    m_script->QueueStateAnswer({4, 0, 1, 0});
    EXPECT_EQ(device.GetDeviceStatus(), 3);
    // The state request is a bare header.
    EXPECT_THAT(m_script->Writes(), ElementsAre(Header(0, 0x00), Header(0, 0x00)));

    // Answers that do not fit the request fail; a count of 0 sends nothing.
    m_script->Clear();
    m_script->QueueAnswer(0x00, {1});
    EXPECT_FALSE(device.ReadI2CRegisterFromDevice(usb::MemoryBioBoard, usb::OffsetX, &value, 1));
    m_script->Clear();
    m_script->QueueAnswer(0x02, {1, 2});
    EXPECT_FALSE(device.ReadI2CRegisterFromDevice(usb::MemoryBioBoard, usb::OffsetX, &value, 1));
    m_script->Clear();
    EXPECT_TRUE(device.ReadI2CRegisterFromDevice(usb::MemoryBioBoard, usb::OffsetX, &value, 0));
    EXPECT_TRUE(m_script->Writes().empty());
    EXPECT_EQ(device.GetDeviceStatus(), 3);

    // Known state records are stored; a short one ends the update.
    const Bytes tiny{1, 0};
    EXPECT_TRUE(device.UpdateStates(tiny.data(), 1));
    EXPECT_TRUE(device.UpdateStates(tiny.data(), 2));

    const Bytes shortRecord{4, 0, 7, 9, 2, 0, 0, 0};
    EXPECT_FALSE(device.UpdateStates(shortRecord.data(), 8));
    EXPECT_THAT(device.m_State0, ElementsAre(4, 0, 7, 9));
    EXPECT_THAT(LogText(),
                HasSubstr("CUSBDevice::UpdateStates Received state smaller than 3 bytes "));

    // A type-2 record of length 5 is skipped; the records after it count.
    const Bytes records{5, 2, 1, 2, 3, 4, 2, 1, 5, 8, 1, 1, 2, 3, 4, 5, 6, 6, 10, 9, 8, 7, 6};
    ASSERT_TRUE(device.UpdateStates(records.data(), static_cast<uint32_t>(records.size())));
    EXPECT_THAT(device.m_State2, ElementsAre(4, 2, 1, 5));
    EXPECT_THAT(device.m_State1, ElementsAre(8, 1, 1, 2, 3, 4, 5, 6));
    EXPECT_THAT(device.m_State10, ElementsAre(6, 10, 9, 8, 7, 6));

    // A record that runs past the body is not stored.
    const Bytes cut{4, 2, 9, 9, 4, 2, 7};
    EXPECT_TRUE(device.UpdateStates(cut.data(), static_cast<uint32_t>(cut.size())));
    EXPECT_THAT(device.m_State2, ElementsAre(4, 2, 9, 9));
}

TEST_F(USBDeviceTest, UnavailableEntriesAndOverlongAnswersAreRefused) {
    OpenU2 device(Handle(), "u2");
    uint8_t buffer[8] = {};
    uint8_t length = sizeof buffer;
    EXPECT_FALSE(
        device.ReadI2CCommandFromDevice(usb::MemoryImager, usb::GetCommand_State, buffer, length));
    EXPECT_FALSE(device.WriteI2CCommandToDevice(usb::MemoryImager, usb::SetCommand_LED, buffer, 1));
    for (uint8_t memory : {usb::MemoryBioBoard, usb::MemoryIlluBoard}) {
        EXPECT_FALSE(
            device.ReadI2CCommandFromDevice(memory, usb::GetCommand_Image, buffer, length));
    }
    EXPECT_FALSE(device.WriteI2CRegisterToDevice(3, usb::Update, 0));
    EXPECT_FALSE(device.ReadI2CRegisterFromDevice(usb::MemoryImager, 84, buffer, 1));
    EXPECT_TRUE(m_script->Writes().empty());

    for (const char* text :
         {"CUSBDevice::ReadI2CCommandFromDevice Command entry ('GetCommand_State' ) is not "
          "available in device memory (0x55)",
          "('GetCommand_Image' ) is not available in device memory (0x51)",
          "('GetCommand_Image' ) is not available in device memory (0x40)",
          "CUSBDevice::WriteI2CRegisterToDevice invalid device memory (0x03) or register (0x0000) ",
          "CUSBDevice::ReadI2CRegisterFromDevice invalid device memory (0x00) or register "
          "(0x0054) "})
        EXPECT_THAT(LogText(), HasSubstr(text));

    // A command read refuses answers beyond the capacity asked for.
    length = 2;
    m_script->QueueAnswer(0x02, {0xAB, 0xCD});
    ASSERT_TRUE(device.ReadI2CCommandFromDevice(usb::MemoryIlluBoard, usb::GetCommand_Trigger,
                                                buffer, length));
    EXPECT_THAT(m_script->Writes()[1], ElementsAre(0x08, 0x40, 0x00, 0x24, 2, 0, 0, 0));
    EXPECT_THAT(Bytes(buffer, buffer + 2), ElementsAre(0xAB, 0xCD));

    m_script->QueueAnswer(0x02, {1, 2, 3});
    EXPECT_FALSE(device.ReadI2CCommandFromDevice(usb::MemoryIlluBoard, usb::GetCommand_Trigger,
                                                 buffer, length));
    // Longer than any command answer: the body is not even read.
    m_script->Clear();
    m_script->Queue(Header(129, 0x02));
    EXPECT_FALSE(device.ReadI2CCommandFromDevice(usb::MemoryIlluBoard, usb::GetCommand_Trigger,
                                                 buffer, length));
    EXPECT_THAT(m_script->ReadLengths(), ElementsAre(8));
}

TEST_F(USBDeviceTest, TransferFailuresAndClosedHandleAreLogged) {
    OpenU1 device(Handle(), "u1");
    uint8_t value = 0;
    auto readOffset = [&] {
        return device.ReadI2CRegisterFromDevice(usb::MemoryBioBoard, usb::OffsetX, &value, 1);
    };
    // Header write fails; body write short; header read fails; body read short.
    m_script->failing = {0, 5};
    m_script->shortened = {2, 9};
    m_script->QueueAnswer(0x02, {1});
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(readOffset()) << i;

    EXPECT_EQ(device.CloseDevice(), 0);
    EXPECT_TRUE(m_script->Closed());
    EXPECT_FALSE(device.IsDeviceOpen());
    EXPECT_EQ(device.CloseDevice(), 0);
    EXPECT_FALSE(device.SetDeviceState(0));
    EXPECT_FALSE(device.Read(&value, 1, true));

    for (const char* text :
         {"CUSBDevice::Write: DeviceIoControl failed!", "CUSBDevice::Write: byte count mismatch!",
          "CUSBDevice::Read: DeviceIoControl failed!", "CUSBDevice::Read: byte count mismatch!",
          "CUSBDevice::CloseDevice: CloseHandle(C0FFEE) deviceID=u1",
          "CUSBDevice::CloseDevice: Handle is already closed!",
          "CUSBDevice::Write: INVALID_HANDLE_VALUE == m_hDevice",
          "CUSBDevice::Read: INVALID_HANDLE_VALUE == m_hDevice"})
        EXPECT_THAT(LogText(), HasSubstr(text));
}

TEST_F(USBDeviceTest, ImageIsReadInChunksAndDeliveredAtFullSizeOrFailsWithTheLedOff) {
    OpenU2 device(Handle(), "u2");
    Bytes sent(100000);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i % 251 + 1);
    m_script->QueueStateAnswer();
    m_script->QueueAnswer(0x01, sent);
    m_script->QueueStateAnswer();

    Bytes frame;
    ASSERT_TRUE(device.GetSingleImage(frame, 0x80, 3, 4));
    EXPECT_EQ(m_script->Writes()[3], Body({96, 80, 3, 4, 0x80}, 16));
    EXPECT_THAT(m_script->ReadLengths(), ElementsAre(8, 4, 8, 32768, 32768, 32768, 1696, 8, 4));
    ASSERT_EQ(frame.size(), 384u * 320u);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), frame.begin()));
    EXPECT_TRUE(std::all_of(frame.begin() + 100000, frame.end(), [](uint8_t b) { return b == 0; }));

    // A failed exchange is logged and turns the LED off.
    const std::pair<Bytes, const char*> cases[] = {
        {Header(16, 0x02), "invalid response header CmdID"},
        {Header(384 * 320 + 1, 0x01), "invalid response header lenght"},
        {Header(40000, 0x01), "receive body chunk failed"},
        {Header(100, 0x01), "receive body remainder failed"},
        {{}, "receive response header failed."},
    };
    for (const auto& [answer, text] : cases) {
        m_script->Clear();
        m_script->QueueStateAnswer();
        m_script->Queue(answer);
        EXPECT_FALSE(device.GetSingleImage(frame, 0x80, 0, 0));
        EXPECT_THAT(LogText(), HasSubstr(std::string("GetSingleImage: exception ") + text));
        // The command LED is set back to idle.
        const auto writes = m_script->Writes();
        ASSERT_EQ(writes.size(), 6u) << text;
        EXPECT_EQ(writes[5], Body({0x08, 0x40, 0x00, 0x00, 1, 0, 0, 0, 0}, 40)) << text;
    }
}

TEST_F(USBDeviceTest, ConcurrentExchangesDoNotInterleave) {
    // Answers each register read with the low byte of its address.
    m_script->responder = [](UsbScript& script, const Bytes& written) {
        if (written.size() == 8 && written[1] == 0x51) script.QueueAnswer(0x02, {written[3]});
    };
    OpenU1 device(Handle(), "u1");
    std::atomic<int> mismatches{0};
    auto reader = [&](uint16_t reg, uint8_t expected) {
        for (int i = 0; i < 200; ++i) {
            uint8_t value = 0;
            mismatches += !device.ReadI2CRegisterFromDevice(usb::MemoryBioBoard, reg, &value, 1) ||
                          value != expected;
        }
    };
    std::thread a(reader, usb::OffsetX, 0x21);
    reader(usb::OffsetY, 0x22);
    a.join();
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
