#include "usb/UsbMaps.h"

namespace usb {

#define KVT_USB_MAP_ENTRY(name, imager, bio, illu) {#name, {imager, bio, illu}},

const DeviceMemory kDeviceMemories[kMemoryCount] = {
    {0x55, 1},  // MemoryImager
    {0x51, 2},  // MemoryBioBoard
    {0x40, 1},  // MemoryIlluBoard
};

const MapEntry kRegisterMap[kRegisterCount] = {KVT_USB_REGISTERS(KVT_USB_MAP_ENTRY)};
const MapEntry kCommandMap[kCommandCount] = {KVT_USB_COMMANDS(KVT_USB_MAP_ENTRY)};

#undef KVT_USB_MAP_ENTRY

static_assert(kRegisterCount == 84);
static_assert(kCommandCount == 17);
static_assert(SerialNumberBioBoardLowWordLow == 83 && RequestedLEDValues == 79);
static_assert(SetCommand_TemperatureCompensation == 16 && GetCommand_Image == 12);

}  // namespace usb
