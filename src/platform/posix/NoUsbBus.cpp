#include "platform/UsbDriver.h"

namespace platform {

// Built without libusb: the simulated bus is the only one.
UsbBus* SystemUsbBus() {
    return nullptr;
}

}  // namespace platform
