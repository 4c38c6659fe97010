#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

#include "usb/ScriptedUsbHandle.h"

using namespace kvt_test;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace {

class USBDeviceTest : public UsbLogFixture {
protected:
    // The status LED states written: the newer model's illumination-board
    // command 0x06, the older one's type-10 records.
    Bytes States() const {
        Bytes states;
        for (const Bytes& w : m_script->Writes()) {
            if (w.size() == 40 && w[1] == 0x40 && w[3] == 0x06) states.push_back(w[8]);
            if (w.size() == 6 && w[0] == 6 && w[1] == 10) states.push_back(w[2]);
        }
        return states;
    }
    // Illumination-board register writes as {address, value}.
    std::vector<RegisterWrite> RegisterWrites() const {
        std::vector<RegisterWrite> writes;
        uint8_t address = 0;
        for (const Bytes& w : m_script->Writes()) {
            if (w.size() == 40 && w[3] == 0x08) address = w[8];
            if (w.size() == 40 && w[3] == 0x07) writes.emplace_back(address, w[8]);
        }
        return writes;
    }
};

// The bytes of register exchanges are checked against the emulated sensors,
// which refuse malformed requests (ModelEmulatorTest); here what they cannot see.
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
    for (const auto& [cmdId, body] : {std::pair<uint8_t, Bytes>{0x00, {1}}, {0x02, {1, 2}}}) {
        m_script->Clear();
        m_script->QueueAnswer(cmdId, body);
        EXPECT_FALSE(
            device.ReadI2CRegisterFromDevice(usb::MemoryBioBoard, usb::OffsetX, &value, 1));
    }
    m_script->Clear();
    EXPECT_TRUE(device.ReadI2CRegisterFromDevice(usb::MemoryBioBoard, usb::OffsetX, &value, 0));
    EXPECT_TRUE(m_script->Writes().empty());
    EXPECT_EQ(device.GetDeviceStatus(), 3);

    // Known state records are stored; a short one ends the update.
    const auto update = [&](const Bytes& body) {
        return device.UpdateStates(body.data(), static_cast<uint32_t>(body.size()));
    };
    EXPECT_TRUE(update({1}) && update({1, 0}));
    EXPECT_FALSE(update({4, 0, 7, 9, 2, 0, 0, 0}));
    EXPECT_THAT(device.m_State0, ElementsAre(4, 0, 7, 9));
    EXPECT_THAT(LogText(),
                HasSubstr("CUSBDevice::UpdateStates Received state smaller than 3 bytes "));

    // A type-2 record of length 5 is skipped; the records after it count.
    ASSERT_TRUE(update({5, 2, 1, 2, 3, 4, 2, 1, 5, 8, 1, 1, 2, 3, 4, 5, 6, 6, 10, 9, 8, 7, 6}));
    EXPECT_THAT(device.m_State2, ElementsAre(4, 2, 1, 5));
    EXPECT_THAT(device.m_State1, ElementsAre(8, 1, 1, 2, 3, 4, 5, 6));
    EXPECT_THAT(device.m_State10, ElementsAre(6, 10, 9, 8, 7, 6));

    // A record that runs past the body is not stored.
    EXPECT_TRUE(update({4, 2, 9, 9, 4, 2, 7}));
    EXPECT_THAT(device.m_State2, ElementsAre(4, 2, 9, 9));
}

TEST_F(USBDeviceTest, UnavailableEntriesAndOverlongAnswersAreRefused) {
    OpenU2 device(Handle(), "u2");
    uint8_t buffer[8] = {};
    uint8_t length = sizeof buffer;
    EXPECT_FALSE(
        device.ReadI2CCommandFromDevice(usb::MemoryImager, usb::GetCommand_State, buffer, length));
    EXPECT_FALSE(device.WriteI2CCommandToDevice(usb::MemoryImager, usb::SetCommand_LED, buffer, 1));
    for (uint8_t memory : {usb::MemoryBioBoard, usb::MemoryIlluBoard})
        EXPECT_FALSE(
            device.ReadI2CCommandFromDevice(memory, usb::GetCommand_Image, buffer, length));
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

    // In turn (a braced list runs left to right): a close, a second one, then transfers.
    EXPECT_EQ((std::vector<int>{device.CloseDevice(), m_script->Closed(), device.IsDeviceOpen(),
                                device.CloseDevice(), device.SetDeviceState(0),
                                device.Read(&value, 1, true)}),
              (std::vector<int>{0, true, false, 0, false, false}));

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
    EXPECT_EQ(m_script->Writes()[3], (Bytes{96, 80, 3, 4, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_THAT(m_script->ReadLengths(), ElementsAre(8, 4, 8, 32768, 32768, 32768, 1696, 8, 4));
    sent.resize(384 * 320);
    EXPECT_TRUE(frame == sent);

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
        EXPECT_EQ(writes[5], simtest::I2CWriteBody(simtest::kIlluBoard, 0x00, 0)) << text;
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

TEST_F(USBDeviceTest, CapturesAlwaysEndWithTheIdleState) {
    OpenU2 device(Handle(), "u2");
    // A failed capturing state skips the capture.
    m_script->failing.insert(0);
    m_script->QueueStateAnswer();
    Bytes image;
    EXPECT_FALSE(device.GetSyncImage(image));
    EXPECT_THAT(LogText(), HasSubstr("CUSBDeviceU2::SetStateLED: set status LED failed."));

    // An asynchronous capture without time polls nothing.
    m_script->QueueStateAnswer();
    EXPECT_FALSE(device.GetAsyncImage(image));
    EXPECT_EQ(m_script->Writes().size(), 5u);
    EXPECT_THAT(States(), ElementsAre(1, 1));

    // No finger comes; the application cancels during the second poll.
    m_script->Clear();
    int polls = 0;
    m_script->responder = [&](UsbScript& script, const Bytes& w) {
        if (w.size() == 40) script.QueueStateAnswer();
        if (w.size() == 8 && w[1] == 0x40 && w[3] == 0x24) {
            script.QueueAnswer(0x02, {0, 0});
            if (++polls == 2) device.ResetAsyncWaitDevice();
        }
    };
    device.SetAsyncTimeout(10);
    EXPECT_FALSE(device.GetAsyncImage(image));
    m_script->responder = nullptr;
    EXPECT_EQ(polls, 2);
    EXPECT_THAT(States(), ElementsAre(5, 5, 1));
}

TEST_F(USBDeviceTest, FirmwareChecksCompareBothBoardsAndTheDiagnosticReportsRepairs) {
    OpenU2 device(Handle(), "u2");
    // The bio board's version comes with a type-2 state record.
    auto supported = [&](uint8_t mainMinor, uint8_t illuMajor, uint8_t illuMinor) {
        const Bytes main{4, 2, 1, mainMinor};
        device.UpdateStates(main.data(), 4);
        m_script->QueueIlluRegister(illuMajor);
        m_script->QueueIlluRegister(illuMinor);
        return device.IsFirmwareSupported();
    };
    EXPECT_FALSE(supported(0, 0, 17));
    EXPECT_THAT(LogText(), HasSubstr("CUSBDeviceU2::IsFirmwareSupported: Firmware is not "
                                     "supported! Existing Firmware - BioBoard: 1.00 (requested: "
                                     "1.01) - IlluBoard: 0.17 (requested: 0.17)"));
    EXPECT_TRUE(supported(1, 0, 17));
    EXPECT_FALSE(supported(1, 2, 16));

    for (uint8_t minor : {18, 19}) {
        m_script->QueueIlluRegister(0);
        m_script->QueueIlluRegister(minor);
        EXPECT_EQ(device.FirmwareRequiresDiagnostic(), minor == 19);
    }

    // The diagnostic reports repairs and fails on double corruption.
    const std::string prefix = "CUSBDeviceU2::FirmwareDiagnostic: EEPROM - ";
    const std::string notIdentical = prefix + "Original not identical. Repaired.",
                      originalCorrupt = prefix + "Original corrupt. Repaired.",
                      mirrorCorrupt = prefix + "Mirror corrupt. Repaired.";
    // The results, one per round; the outcome; lines logged and lines not logged.
    using Lines = std::vector<std::string>;
    using Case = std::tuple<Bytes, bool, Lines, Lines>;
    const Case cases[] = {
        {{0x06}, false, {prefix + "Original and Mirror corrupt. Unable to repair!"}, {}},
        {{0x05}, true, {notIdentical, mirrorCorrupt}, {originalCorrupt}},
        {{0x03}, true, {notIdentical, originalCorrupt}, {mirrorCorrupt}},
        {{0x88, 0x08}, true, {"CUSBDeviceU2::FirmwareDiagnostic: Mirror created."}, {notIdentical}},
    };
    for (const auto& [results, ok, logged, notLogged] : cases) {
        m_script->Clear();
        const size_t logStart = LogText().size();
        m_script->QueueStateAnswer();
        for (uint8_t result : results) m_script->QueueAnswer(0x02, {result});
        EXPECT_EQ(device.FirmwareDiagnostic(), ok);
        const auto writes = m_script->Writes();
        ASSERT_EQ(writes.size(), 2 + 2 * results.size());
        EXPECT_EQ(writes[1][3], 0x0A);
        EXPECT_THAT(writes[3], ElementsAre(0x08, 0x40, 0x00, 0x20, 1, 0, 0, 0));
        const std::string log = LogText().substr(logStart);
        for (const auto& text : logged) EXPECT_THAT(log, HasSubstr(text));
        for (const auto& text : notLogged) EXPECT_THAT(log, Not(HasSubstr(text)));
    }
}

TEST_F(USBDeviceTest, BoardRegistersPauseTriggerLevelsAreWrittenWhenMissingAndTheSerialIsUtf16) {
    OpenU2 device(Handle(), "u2");
    m_script->QueueIlluWrite();
    ASSERT_TRUE(
        device.WriteI2CRegisterToDevice(usb::MemoryIlluBoard, usb::MinTriggerLevelLow, 0x70));
    // Address command, then parameter write: between the second body (call 5)
    // and its response header (call 6).
    const auto calls = m_script->Calls();
    ASSERT_EQ(calls.size(), 8u);
    EXPECT_GE(calls[6].when - calls[5].when, std::chrono::milliseconds(100));

    m_script->Clear();
    m_script->QueueIlluRegister(0x70);
    EXPECT_TRUE(device.InitTriggerValuesForAsyncImage() && RegisterWrites().empty());

    // The parameter write of MinTriggerLevelHigh (call 28) fails: the low
    // byte read before goes back, and the EEPROM is locked again.
    m_script->Clear();
    m_script->QueueIlluRegister(0);
    for (int write = 0; write < 4; ++write) {
        if (write == 2) m_script->QueueStateAnswer();
        m_script->QueueIlluWrite();
    }
    m_script->failing.insert(28);
    EXPECT_FALSE(device.InitTriggerValuesForAsyncImage());
    EXPECT_THAT(RegisterWrites(), ElementsAre(RegisterWrite{0x87, 0}, RegisterWrite{0x96, 0x70},
                                              RegisterWrite{0x96, 0}, RegisterWrite{0x87, 1}));
    EXPECT_THAT(LogText(), HasSubstr("CUSBDeviceU2::InitTriggerValuesForAsyncImage:(u2-) Unable "
                                     "to threshold value"));

    // The bio board serial number comes as UTF-16 digits.
    auto serial = [&](std::u16string units) {
        m_script->Clear();
        units.resize(8, u'\0');
        for (char16_t unit : units) {
            m_script->QueueAnswer(0x02, {static_cast<uint8_t>(unit)});
            m_script->QueueAnswer(0x02, {static_cast<uint8_t>(unit >> 8)});
        }
        return device.GetSerialNumberBioBoard();
    };
    EXPECT_EQ((std::vector{serial(u"12345678"), serial(u"42"), serial(u"none"),
                           serial(u"12\u00e945678")}),
              (std::vector<uint32_t>{12345678, 42, 0, 0}));
    EXPECT_THAT(LogText(), HasSubstr("CUSBDeviceU2::GetSerialNumberBioBoard:(u2-) "
                                     "WideCharToMultiByte failed with error 1113"));
}

TEST_F(USBDeviceTest, CloseWaitsForARunningCapture) {
    OpenU2 device(Handle(), "u2");
    ASSERT_TRUE(device.BeginUse());
    EXPECT_EQ(device.CloseDevice(), -1);
    EXPECT_TRUE(device.IsDeviceOpen());
    Bytes image;
    EXPECT_FALSE(device.GetImage(image));
    EXPECT_TRUE(m_script->Writes().empty());

    ASSERT_TRUE(device.EndUse());
    m_script->QueueStateAnswer();
    EXPECT_EQ(device.CloseDevice(), 0);
    EXPECT_THAT(States(), ElementsAre(0));
    EXPECT_TRUE(m_script->Closed());
    for (const char* text : {"Device is not ready to shutdown right now - please wait",
                             "CUSBDeviceU2::GetImage Unable to set shutdown lock. Probably already "
                             "received shutodown request.",
                             "Device is ready to shutdown right now "})
        EXPECT_THAT(LogText(), HasSubstr(text));
}

TEST_F(USBDeviceTest, TriggerThresholdFollowsSensitivityResultsHoldTheLedAndBothFramesComeAtOnce) {
    OpenU1 device(Handle(), "u1");
    auto isFree = [&](uint8_t trigger) {
        m_script->QueueAnswer(0x03, {trigger, 0, 0, 0});
        bool free = false;
        EXPECT_TRUE(device.IsSensorFree(free));
        return free;
    };
    EXPECT_TRUE(isFree(70));
    EXPECT_THAT(m_script->Writes(), ElementsAre(Header(4, 0x03), Bytes{0x88, 1, 2, 3}));
    EXPECT_FALSE(isFree(71));
    device.m_AutoTriggerSensitivity = 30;
    EXPECT_EQ((std::pair{isFree(150), isFree(151)}), std::pair(true, false));

    // The history starts with 20 zeros: 5 * 255 / 21 is below 70, 6 * 255 / 21 above.
    device.m_AutoTriggerSensitivity = 0;
    for (int reading = 1; reading <= 5; ++reading) EXPECT_FALSE(device.IsFingerDetected(255));
    EXPECT_TRUE(device.IsFingerDetected(255));

    // An asynchronous capture without time ends after one reading.
    m_script->Clear();
    m_script->QueueAnswer(0x03, {200, 0, 0, 0});
    Bytes image;
    EXPECT_FALSE(device.GetAsyncImage(image));
    EXPECT_EQ(m_script->Writes().size(), 2u);

    // ADC answers other than ADC fail.
    m_script->Clear();
    m_script->QueueAnswer(0x05, {});
    uint16_t value = 0;
    EXPECT_FALSE(device.GetTriggerValue(value));
    EXPECT_THAT(LogText(), HasSubstr("CUSBDeviceU1::GetADC:(u1-) GET_ADC reply was neither "
                                     "GET_ADC nor GET_STATUS."));
    // A state answer is applied, but the read fails.
    m_script->QueueStateAnswer({4, 2, 1, 7});
    EXPECT_FALSE(device.GetTriggerValue(value));
    EXPECT_THAT(device.m_State2, ElementsAre(4, 2, 1, 7));

    // Colours in a short answer are all dropped.
    LFDMeasurement lfd{1, 2, 3, 4, 5};
    m_script->QueueAnswer(0x03, {10, 20, 30});
    EXPECT_FALSE(device.GetBoundLFD(0, lfd));
    EXPECT_THAT((std::array{lfd.Ir, lfd.Blue, lfd.Green, lfd.Red}), ElementsAre(0, 0, 0, 0));

    // Results hold the LED for a while.
    m_script->Clear();
    m_script->QueueStateAnswer();
    m_script->QueueStateAnswer();
    EXPECT_TRUE(device.IndicateResult(1));
    const auto calls = m_script->Calls();
    ASSERT_EQ(calls.size(), 8u);
    EXPECT_GE(calls[4].when - calls[3].when, std::chrono::milliseconds(100));
    EXPECT_FALSE(device.IndicateResult(7));
    EXPECT_FALSE(device.IndicateResult(3));  // no answer to the first state
    EXPECT_THAT(States(), ElementsAre(2, 0, 1));

    // A synchronous capture asks for both frames at once.
    m_script->Clear();
    device.Set("PictureSize", "Half");
    const size_t frame = 192 * 160;
    // The offsets (1, 2) and the state answer to the capturing state.
    const auto queueOffsets = [&] {
        m_script->QueueAnswer(0x02, {1});
        m_script->QueueAnswer(0x02, {2});
        m_script->QueueStateAnswer();
    };
    queueOffsets();
    m_script->QueueAnswer(0x01, Bytes(frame, 7));
    m_script->QueueStateAnswer();
    ASSERT_TRUE(device.GetSyncImage(image));
    EXPECT_EQ(image.size(), 2 * frame);
    // Both frames of the window at the offsets (1, 2) in one request.
    EXPECT_EQ(m_script->Writes()[7],
              (Bytes{48, 40, 25, 22, 0x80, 0, 0x80, 0, 48, 40, 25, 22, 0x80, 0, 0x80, 0}));
    EXPECT_THAT(States(), ElementsAre(3, 0));
    // A failed image exchange leaves the LED as it is.
    m_script->Clear();
    queueOffsets();
    EXPECT_FALSE(device.GetSyncImage(image));
    EXPECT_TRUE(image.empty());  // no half picture
    EXPECT_THAT(States(), ElementsAre(3));
}

}  // namespace
