#pragma once

#include <cstdint>

// The registers and commands behind a USB sensor's controller. Each lives in
// up to three memories; a sensor model keeps its copy of the imager setup in
// one of them. The enumerators and the tables are made from the same lists,
// so an index always names the entry it points at.

namespace usb {

constexpr uint16_t kNotAvailable = 0xFFFF;

// X(name, imager, bio board, illumination board)
#define KVT_USB_REGISTERS(X)                                                  \
    X(Update, 0x00, kNotAvailable, kNotAvailable)                             \
    X(CamBRDI2CAddr, kNotAvailable, 0x0200, 0x00)                             \
    X(CamCHPI2CAddr, kNotAvailable, 0x0201, 0x01)                             \
    X(MainConfig0, 0x02, 0x0202, 0x02)                                        \
    X(MainConfig1, 0x03, 0x0203, 0x03)                                        \
    X(PowerControl, 0x04, 0x0204, 0x04)                                       \
    X(VideoClockGenerator, 0x05, 0x0205, 0x05)                                \
    X(VideoMode0, 0x06, 0x0206, 0x06)                                         \
    X(VideoMode1, 0x07, 0x0207, 0x07)                                         \
    X(VideoMode2, 0x08, 0x0208, 0x08)                                         \
    X(SnapMode, 0x09, 0x0209, 0x09)                                           \
    X(ScanWindowRowStart, 0x0B, kNotAvailable, 0x0B)                          \
    X(ScanWindowRowEnd, 0x0C, kNotAvailable, 0x0C)                            \
    X(ScanWindowLSB, 0x0D, kNotAvailable, 0x0D)                               \
    X(DisplayWindowRowStart, 0x0E, kNotAvailable, 0x0E)                       \
    X(DisplayWindowRowEnd, 0x0F, kNotAvailable, 0x0F)                         \
    X(DisplayWindowColumnStart, 0x10, kNotAvailable, 0x10)                    \
    X(DisplayWindowColumnE, 0x11, kNotAvailable, 0x11)                        \
    X(DisplayWindowLSB, 0x12, kNotAvailable, 0x12)                            \
    X(IntegrationTimeHigh, 0x13, 0x020A, 0x13)                                \
    X(IntegrationTimeLow, 0x14, 0x020B, 0x14)                                 \
    X(RowDelayHigh, 0x15, 0x020C, 0x15)                                       \
    X(RowDelayLow, 0x16, 0x020D, 0x16)                                        \
    X(FrameDelayHigh, 0x17, 0x020E, 0x17)                                     \
    X(FrameDelayLow, 0x18, 0x020F, 0x18)                                      \
    X(VideoGain, 0x19, 0x0210, 0x19)                                          \
    X(BluePixelGain, 0x1A, 0x0211, 0x1A)                                      \
    X(GreenPixelGain, 0x1B, 0x0212, 0x1B)                                     \
    X(RedPixelGain, 0x1C, 0x0213, 0x1C)                                       \
    X(BreakPoint1SlopeHigh, 0x1D, 0x0214, 0x1D)                               \
    X(BreakPoint1SlopeLow, 0x1E, 0x0215, 0x1E)                                \
    X(BreakPoint1LevelA, 0x1F, 0x0216, 0x1F)                                  \
    X(BreakPoint2SlopeHigh, 0x20, 0x0217, 0x20)                               \
    X(BreakPoint2SlopeLow, 0x21, 0x0218, 0x21)                                \
    X(BreakPoint1LevelB, 0x22, 0x0219, 0x22)                                  \
    X(BreakPoint2Level, 0x25, 0x021A, 0x25)                                   \
    X(BlackLevelCompensationCoefficient, 0x26, 0x021B, 0x26)                  \
    X(BadPixelThreshold0High, 0x27, 0x021C, 0x27)                             \
    X(BadPixelThreshold0Low, 0x28, 0x021D, 0x28)                              \
    X(BadPixelThreshold1High, 0x29, 0x021E, 0x29)                             \
    X(BadPixelThreshold1Low, 0x2A, 0x021F, 0x2A)                              \
    X(OffsetCompensation, 0x2B, 0x0220, 0x2B)                                 \
    X(SerialNumberSensorHeadHigh, kNotAvailable, kNotAvailable, 0x82)         \
    X(SerialNumberSensorHeadMid, kNotAvailable, kNotAvailable, 0x83)          \
    X(SerialNumberSensorHeadLow, kNotAvailable, kNotAvailable, 0x84)          \
    X(FirmwareVersionSensorHeadHigh, kNotAvailable, kNotAvailable, 0x85)      \
    X(FirmwareVersionSensorHeadLow, kNotAvailable, kNotAvailable, 0x86)       \
    X(TimeOutAccess, kNotAvailable, kNotAvailable, 0x93)                      \
    X(TimeOutNoAccess, kNotAvailable, kNotAvailable, 0x94)                    \
    X(TimeOutTrigger, kNotAvailable, kNotAvailable, 0x95)                     \
    X(OffsetX, kNotAvailable, 0x0221, 0x30)                                   \
    X(OffsetY, kNotAvailable, 0x0222, 0x31)                                   \
    X(AutoTriggerSensitivity, kNotAvailable, 0x0223, 0x32)                    \
    X(CalibratedValueRedLFD, kNotAvailable, kNotAvailable, 0xB2)              \
    X(CalibratedValueGreenLFD, kNotAvailable, kNotAvailable, 0xB3)            \
    X(CalibratedValueBlueLFD, kNotAvailable, kNotAvailable, 0xB4)             \
    X(CalibratedValueIRLFD, kNotAvailable, kNotAvailable, 0xB5)               \
    X(EEPROMLockBit, kNotAvailable, kNotAvailable, 0x87)                      \
    X(MinTriggerLevelLow, kNotAvailable, kNotAvailable, 0x96)                 \
    X(MinTriggerLevelHigh, kNotAvailable, kNotAvailable, 0x97)                \
    X(MaxTriggerLevelLow, kNotAvailable, kNotAvailable, 0x98)                 \
    X(MaxTriggerLevelHigh, kNotAvailable, kNotAvailable, 0x99)                \
    X(SerialNumberBioBoardRead, kNotAvailable, 0x01AE, kNotAvailable)         \
    X(SerialNumberBioBoard0Low, kNotAvailable, 0x01B0, kNotAvailable)         \
    X(SerialNumberBioBoard0High, kNotAvailable, 0x01B1, kNotAvailable)        \
    X(SerialNumberBioBoard1Low, kNotAvailable, 0x01B2, kNotAvailable)         \
    X(SerialNumberBioBoard1High, kNotAvailable, 0x01B3, kNotAvailable)        \
    X(SerialNumberBioBoard2Low, kNotAvailable, 0x01B4, kNotAvailable)         \
    X(SerialNumberBioBoard2High, kNotAvailable, 0x01B5, kNotAvailable)        \
    X(SerialNumberBioBoard3Low, kNotAvailable, 0x01B6, kNotAvailable)         \
    X(SerialNumberBioBoard3High, kNotAvailable, 0x01B7, kNotAvailable)        \
    X(SerialNumberBioBoard4Low, kNotAvailable, 0x01B8, kNotAvailable)         \
    X(SerialNumberBioBoard4High, kNotAvailable, 0x01B9, kNotAvailable)        \
    X(SerialNumberBioBoard5Low, kNotAvailable, 0x01BA, kNotAvailable)         \
    X(SerialNumberBioBoard5High, kNotAvailable, 0x01BB, kNotAvailable)        \
    X(SerialNumberBioBoard6Low, kNotAvailable, 0x01BC, kNotAvailable)         \
    X(SerialNumberBioBoard6High, kNotAvailable, 0x01BD, kNotAvailable)        \
    X(SerialNumberBioBoard7Low, kNotAvailable, 0x01BE, kNotAvailable)         \
    X(SerialNumberBioBoard7High, kNotAvailable, 0x01BF, kNotAvailable)        \
    X(RequestedLEDValues, kNotAvailable, kNotAvailable, 0x27)                 \
    X(SerialNumberBioBoardHighWordHigh, kNotAvailable, 0x023C, kNotAvailable) \
    X(SerialNumberBioBoardHighWordLow, kNotAvailable, 0x023D, kNotAvailable)  \
    X(SerialNumberBioBoardLowWordHigh, kNotAvailable, 0x023E, kNotAvailable)  \
    X(SerialNumberBioBoardLowWordLow, kNotAvailable, 0x023F, kNotAvailable)

#define KVT_USB_COMMANDS(X)                                               \
    X(SetCommand_LED, kNotAvailable, kNotAvailable, 0x00)                 \
    X(SetCommand_State, kNotAvailable, 0x40, 0x06)                        \
    X(SetCommand_Parameter, kNotAvailable, kNotAvailable, 0x07)           \
    X(SetCommand_Address, kNotAvailable, kNotAvailable, 0x08)             \
    X(SetCommand_DefaultEEPROMValues, kNotAvailable, kNotAvailable, 0x09) \
    X(Command_Diagnostic, kNotAvailable, kNotAvailable, 0x0A)             \
    X(GetCommand_DiagnosticResult, kNotAvailable, kNotAvailable, 0x20)    \
    X(GetCommand_ADC, kNotAvailable, kNotAvailable, 0x22)                 \
    X(GetCommand_State, kNotAvailable, 0x00, 0x23)                        \
    X(GetCommand_Parameter, kNotAvailable, kNotAvailable, 0x25)           \
    X(GetCommand_Address, kNotAvailable, kNotAvailable, 0x26)             \
    X(GetCommand_LFD, kNotAvailable, kNotAvailable, 0x27)                 \
    X(GetCommand_Image, kNotAvailable, kNotAvailable, kNotAvailable)      \
    X(GetCommand_Trigger, kNotAvailable, kNotAvailable, 0x24)             \
    X(GetCommand_LFD_SyncFlag, kNotAvailable, kNotAvailable, 0x29)        \
    X(SetCommand_TemperatureReset, kNotAvailable, kNotAvailable, 0x11)    \
    X(SetCommand_TemperatureCompensation, kNotAvailable, kNotAvailable, 0x12)

#define KVT_USB_ENUMERATOR(name, imager, bio, illu) name,

enum Memory : uint8_t { MemoryImager = 0, MemoryBioBoard = 1, MemoryIlluBoard = 2 };
constexpr uint8_t kMemoryCount = 3;

enum Register : uint8_t { KVT_USB_REGISTERS(KVT_USB_ENUMERATOR) kRegisterCount };
enum Command : uint8_t { KVT_USB_COMMANDS(KVT_USB_ENUMERATOR) kCommandCount };

#undef KVT_USB_ENUMERATOR

struct DeviceMemory {
    uint8_t i2cAddress;
    uint8_t addressWidth;
};

// A register or command: its name for the log and its address (or code) in
// each memory, kNotAvailable where the memory has none.
struct MapEntry {
    const char* name;
    uint16_t address[kMemoryCount];
};

extern const DeviceMemory kDeviceMemories[kMemoryCount];
extern const MapEntry kRegisterMap[kRegisterCount];
extern const MapEntry kCommandMap[kCommandCount];

}  // namespace usb
