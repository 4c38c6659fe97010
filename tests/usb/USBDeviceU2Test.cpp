#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "usb/ScriptedUsbHandle.h"
#include "usb/UsbTestModels.h"

using namespace kvt_test;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace {

class USBDeviceU2Test : public UsbLogFixture {
protected:
    // The data byte of every illumination-board command sent with this code.
    Bytes Sent(uint8_t code) const {
        Bytes data;
        for (const Bytes& w : m_script->Writes()) {
            if (w.size() == 40 && w[1] == 0x40 && w[3] == code) data.push_back(w[8]);
        }
        return data;
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

TEST_F(USBDeviceU2Test, CapturesAlwaysEndWithTheIdleState) {
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
    EXPECT_THAT(Sent(0x06), ElementsAre(1, 1));

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
    EXPECT_THAT(Sent(0x06), ElementsAre(5, 5, 1));
}

TEST_F(USBDeviceU2Test, FirmwareChecksCompareBothBoardsAndTheDiagnosticReportsRepairs) {
    OpenU2 device(Handle(), "u2");
    const Bytes main100{4, 2, 1, 0};
    const Bytes main101{4, 2, 1, 1};
    auto supported = [&](const Bytes& main, uint8_t illuMajor, uint8_t illuMinor) {
        device.UpdateStates(main.data(), 4);
        m_script->QueueIlluRegister(illuMajor);
        m_script->QueueIlluRegister(illuMinor);
        return device.IsFirmwareSupported();
    };
    EXPECT_FALSE(supported(main100, 0, 17));
    EXPECT_THAT(LogText(), HasSubstr("CUSBDeviceU2::IsFirmwareSupported: Firmware is not "
                                     "supported! Existing Firmware - BioBoard: 1.00 (requested: "
                                     "1.01) - IlluBoard: 0.17 (requested: 0.17)"));
    EXPECT_TRUE(supported(main101, 0, 17));
    EXPECT_FALSE(supported(main101, 2, 16));

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

TEST_F(USBDeviceU2Test, TriggerLevelsAreWrittenOnlyWhenMissing) {
    OpenU2 device(Handle(), "u2");
    m_script->QueueIlluRegister(0x70);
    EXPECT_TRUE(device.InitTriggerValuesForAsyncImage());
    EXPECT_TRUE(RegisterWrites().empty());

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
}

TEST_F(USBDeviceU2Test, BioBoardSerialNumberIsReadAsUtf16Digits) {
    OpenU2 device(Handle(), "u2");
    auto serial = [&](std::u16string units) {
        m_script->Clear();
        units.resize(8, u'\0');
        for (char16_t unit : units) {
            m_script->QueueAnswer(0x02, {static_cast<uint8_t>(unit)});
            m_script->QueueAnswer(0x02, {static_cast<uint8_t>(unit >> 8)});
        }
        return device.GetSerialNumberBioBoard();
    };
    EXPECT_EQ(serial(u"12345678"), 12345678u);
    EXPECT_EQ(serial(u"42"), 42u);
    EXPECT_EQ(serial(u"none"), 0u);
    EXPECT_EQ(serial(u"12\u00e945678"), 0u);
    EXPECT_THAT(LogText(), HasSubstr("CUSBDeviceU2::GetSerialNumberBioBoard:(u2-) "
                                     "WideCharToMultiByte failed with error 1113"));
}

TEST_F(USBDeviceU2Test, CloseWaitsForARunningCapture) {
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
    EXPECT_THAT(Sent(0x06), ElementsAre(0));
    EXPECT_TRUE(m_script->Closed());
    for (const char* text : {"Device is not ready to shutdown right now - please wait",
                             "CUSBDeviceU2::GetImage Unable to set shutdown lock. Probably already "
                             "received shutodown request.",
                             "Device is ready to shutdown right now "})
        EXPECT_THAT(LogText(), HasSubstr(text));
}

}  // namespace
