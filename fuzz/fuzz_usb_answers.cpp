// libFuzzer target: arbitrary bytes as everything a USB sensor answers. The
// first byte picks the model; the rest is the stream that the sensor's reads
// deliver, while every write is taken. The models must end each operation
// with a result, whatever the sensor says. Operations that wait on the
// sensor's timing (register writes to the illumination board, trigger and
// measurement polls, the EEPROM diagnostic) are left out to keep runs fast.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "usb/USBDeviceU1.h"
#include "usb/USBDeviceU2.h"

namespace {

class FuzzedHandle : public platform::UsbDriverHandle {
public:
    FuzzedHandle(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool Write(const uint8_t*, uint32_t length, uint32_t& transferred) override {
        transferred = length;
        return true;
    }
    bool Read(uint8_t* data, uint32_t length, uint32_t& transferred) override {
        if (m_position == m_size) return false;
        transferred = static_cast<uint32_t>(std::min<size_t>(length, m_size - m_position));
        std::copy_n(m_data + m_position, transferred, data);
        m_position += transferred;
        return true;
    }
    bool ReadDescriptor(uint8_t*, uint32_t, uint32_t&) override { return false; }
    void Close() override {}
    bool IsOpen() const override { return true; }
    uintptr_t LogValue() const override { return 1; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_position = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    auto handle = std::make_unique<FuzzedHandle>(data + 1, size - 1);
    std::vector<uint8_t> image;
    if (data[0] & 1) {
        LFDMeasurement lfd;
        uint16_t trigger = 0;
        CUSBDeviceU1 device(std::move(handle), "fuzz");
        device.InitImager();
        device.GetDeviceStatus();
        device.GetTriggerValue(trigger);
        device.GetBoundLFD(0, lfd);
        device.GetSyncImage(image);
        device.CloseDevice();
    } else {
        CUSBDeviceU2 device(std::move(handle), "fuzz");
        uint8_t major = 0;
        uint8_t minor = 0;
        device.GetDeviceStatus();
        device.GetFirmwareVersionIlluBoard(major, minor);
        device.GetSerialNumberBioBoard();
        device.GetSingleImage(image, 0x80, 1, 2);
        device.CloseDevice();
    }
    return 0;
}
