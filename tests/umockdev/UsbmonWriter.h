#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace kvt_umock {

// Writes bulk transfers of one device as a usbmon capture (pcap, link type
// LINKTYPE_USB_LINUX_MMAPPED), the form umockdev replays for libusb: a submit
// record per transfer and, when it finished, a completion record with the
// bytes that moved.
class UsbmonWriter {
public:
    UsbmonWriter(const std::string& path, uint8_t bus, uint8_t address);
    UsbmonWriter(const UsbmonWriter&) = delete;
    UsbmonWriter& operator=(const UsbmonWriter&) = delete;

    bool IsOpen() const { return m_file != nullptr; }
    // endpoint carries the direction bit (0x80 = IN). data holds what went
    // out (OUT) or came in (IN); moved < 0 records a transfer that never
    // completed, which a replay ends with the caller's time-out.
    void Transfer(uint8_t endpoint, uint32_t length, const uint8_t* data, int64_t moved);
    // False when a write failed.
    bool Close();

private:
    void Record(char event, uint8_t endpoint, uint32_t urbLength, const uint8_t* data,
                uint32_t dataLength);

    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, FileCloser> m_file;
    uint8_t m_bus;
    uint8_t m_address;
    uint64_t m_urbId = 0;
    uint64_t m_microseconds = 0;  // a made-up clock: one step per record
    bool m_failed = false;
};

}  // namespace kvt_umock
