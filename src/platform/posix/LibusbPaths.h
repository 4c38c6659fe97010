#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct libusb_interface_descriptor;

namespace platform {

constexpr uint16_t kSensorVendorId = 0x1013;

// The device-interface path the rest of the library knows sensors by:
// \\?\usb#vid_1013&pid_0019#<bus>-<port chain>#{4f6e7f7f-b621-403a-9af3-8cd5a6a1daa4}
std::string FormatLibusbPath(uint16_t vendorId, uint16_t productId, uint8_t busNumber,
                             const std::vector<uint8_t>& portChain);

// The driver's pipe 0 and pipe 1: the first bulk OUT and bulk IN endpoints
// of the interface. False when either is missing.
bool FindBulkEndpoints(const libusb_interface_descriptor& interface, uint8_t& outEndpoint,
                       uint8_t& inEndpoint);

}  // namespace platform
