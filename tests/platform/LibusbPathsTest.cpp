#ifdef KVT_HAVE_LIBUSB

#include "platform/posix/LibusbPaths.h"

#include <libusb-1.0/libusb.h>

#include <gtest/gtest.h>

#include <tuple>

namespace {

libusb_endpoint_descriptor Endpoint(uint8_t address, uint8_t type) {
    libusb_endpoint_descriptor endpoint{};
    endpoint.bEndpointAddress = address;
    endpoint.bmAttributes = type;
    return endpoint;
}

libusb_interface_descriptor Interface(const std::vector<libusb_endpoint_descriptor>& endpoints) {
    libusb_interface_descriptor interface {};
    interface.bNumEndpoints = static_cast<uint8_t>(endpoints.size());
    interface.endpoint = endpoints.data();
    return interface;
}

// Port chains of sensors are LibusbUnderUmockdev's business, which finds its
// sensors at 1-1 and behind a hub at 1-2.3.
TEST(LibusbPathsTest, PathsHaveTheDriverInterfaceFormInLowerCaseEvenWithoutAPortChain) {
    EXPECT_EQ(platform::FormatLibusbPath(0x1d6b, 0xABCD, 2, {}),
              "\\\\?\\usb#vid_1d6b&pid_abcd#2-0#{4f6e7f7f-b621-403a-9af3-8cd5a6a1daa4}");
}

TEST(LibusbPathsTest, PipesAreTheFirstBulkOutAndInEndpointsWhenThereAreBoth) {
    const std::vector<libusb_endpoint_descriptor> endpoints{
        Endpoint(0x81, LIBUSB_TRANSFER_TYPE_INTERRUPT), Endpoint(0x82, LIBUSB_TRANSFER_TYPE_BULK),
        Endpoint(0x02, LIBUSB_TRANSFER_TYPE_BULK), Endpoint(0x83, LIBUSB_TRANSFER_TYPE_BULK),
        Endpoint(0x04, LIBUSB_TRANSFER_TYPE_BULK)};
    uint8_t out = 0, in = 0;
    ASSERT_TRUE(platform::FindBulkEndpoints(Interface(endpoints), out, in));
    EXPECT_EQ(std::tuple(out, in), std::tuple(0x02, 0x82));

    const std::vector<libusb_endpoint_descriptor> onlyIn{
        Endpoint(0x81, LIBUSB_TRANSFER_TYPE_BULK),
        Endpoint(0x02, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS)};
    EXPECT_FALSE(platform::FindBulkEndpoints(Interface(onlyIn), out, in));
}

}  // namespace

#endif
