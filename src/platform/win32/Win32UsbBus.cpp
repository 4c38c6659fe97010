#include "platform/UsbDriver.h"

namespace platform {

UsbBus* SystemUsbBus() {
    return nullptr;
}

}  // namespace platform
