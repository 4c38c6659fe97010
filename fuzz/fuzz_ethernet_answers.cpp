// libFuzzer target: arbitrary bytes as everything an Ethernet sensor answers.
// The first byte picks the capture properties and which operation goes first;
// the rest is written into the sensor's end of a connected socket pair, which
// then stops sending, so every wait ends at once instead of timing out. The
// device must end each operation with a result, whatever the sensor says.
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "ethernet/EthernetDevice.h"

namespace {

void RunOperation(CEthernetDevice& device, int which) {
    std::vector<uint8_t> image;
    LFDMeasurement measurement;
    switch (which) {
        case 0:
            device.Initialize();
            break;
        case 1:
            device.GetSyncImage(image);
            break;
        case 2:
            device.GetBoundLFD(1, measurement);
            break;
        case 3:
            device.IndicateResult(kvt__ResultFeedback__Tentative);
            break;
        case 4:
            device.SetAsyncTimeout(1);
            device.GetAsyncImage(image);
            break;
        default:
            device.GetFirmwareVersion();
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
    // The answers wait in the socket buffer; larger inputs add nothing.
    const size_t answers = std::min<size_t>(size - 1, 64 * 1024);
    if (answers > 0) platform::SendSome(pair[1], data + 1, static_cast<int>(answers));
    ::shutdown(pair[1], SHUT_WR);

    CProperties properties;
    const char* sizes[] = {"ROI", "Half", "Full"};
    properties.SetProperty("PictureSize", sizes[(data[0] & 3) % 3]);
    properties.SetProperty("LFD", (data[0] & 4) != 0 ? "true" : "false");
    properties.SetProperty("FastMode", (data[0] & 8) != 0 ? "true" : "false");
    {
        SocketEndpoint connection;
        connection.socket = pair[0];
        CEthernetDevice device(connection, SocketEndpoint{});
        device.SetCaptureProperties(properties);
        const int first = data[0] >> 4;
        for (int i = 0; i < 6; ++i) RunOperation(device, (first + i) % 6);
        device.CloseDevice();
    }
    platform::CloseSocket(pair[1]);
    return 0;
}
