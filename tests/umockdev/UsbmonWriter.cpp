#include "umockdev/UsbmonWriter.h"

#include <cerrno>
#include <vector>

namespace kvt_umock {

namespace {

constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kSnapLength = 1u << 20;  // above the largest transfer (32 KB chunks)
constexpr uint8_t kTransferBulk = 3;
constexpr char kNoSetup = '-';
constexpr char kDataPresent = 0;
constexpr char kNoDataIn = '<';  // what the kernel writes when nothing was captured
constexpr char kNoDataOut = '>';

void Put(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

UsbmonWriter::UsbmonWriter(const std::string& path, uint8_t bus, uint8_t address)
    : m_file(std::fopen(path.c_str(), "wb")), m_bus(bus), m_address(address) {
    if (!m_file) return;
    std::vector<uint8_t> header;
    Put(header, 0xA1B2C3D4, 4);   // microsecond time stamps; little-endian like the rest
    Put(header, 2 | 4 << 16, 4);  // version 2.4
    Put(header, 0, 8);            // time zone, accuracy
    Put(header, kSnapLength, 4);
    Put(header, kLinkTypeUsbLinuxMmapped, 4);
    m_failed = std::fwrite(header.data(), 1, header.size(), m_file.get()) != header.size();
}

void UsbmonWriter::Transfer(uint8_t endpoint, uint32_t length, const uint8_t* data, int64_t moved) {
    const bool in = (endpoint & 0x80) != 0;
    ++m_urbId;
    Record('S', endpoint, length, in ? nullptr : data, in ? 0 : length);
    if (moved < 0) return;
    const auto count = static_cast<uint32_t>(moved);
    Record('C', endpoint, count, in ? data : nullptr, in ? count : 0);
}

void UsbmonWriter::Record(char event, uint8_t endpoint, uint32_t urbLength, const uint8_t* data,
                          uint32_t dataLength) {
    if (!m_file) return;
    const bool in = (endpoint & 0x80) != 0;
    const bool submit = event == 'S';
    char dataFlag = kDataPresent;
    if (dataLength == 0) dataFlag = in ? kNoDataIn : kNoDataOut;
    const uint64_t seconds = m_microseconds / 1000000;
    const uint64_t micros = m_microseconds % 1000000;
    m_microseconds += 1000;

    // The binary usbmon header with the isochronous fields (64 bytes).
    std::vector<uint8_t> packet;
    Put(packet, m_urbId, 8);
    Put(packet, static_cast<uint8_t>(event), 1);
    Put(packet, kTransferBulk, 1);
    Put(packet, endpoint, 1);
    Put(packet, m_address, 1);
    Put(packet, m_bus, 2);
    Put(packet, static_cast<uint8_t>(kNoSetup), 1);
    Put(packet, static_cast<uint8_t>(dataFlag), 1);
    Put(packet, seconds, 8);
    Put(packet, micros, 4);
    Put(packet, static_cast<uint32_t>(submit ? -EINPROGRESS : 0), 4);
    Put(packet, urbLength, 4);
    Put(packet, dataLength, 4);
    // Setup bytes, interval, start frame, transfer flags, isochronous descriptors.
    packet.resize(packet.size() + 24, 0);
    if (dataLength > 0) packet.insert(packet.end(), data, data + dataLength);

    std::vector<uint8_t> record;
    Put(record, seconds, 4);
    Put(record, micros, 4);
    Put(record, packet.size(), 4);
    Put(record, packet.size(), 4);
    record.insert(record.end(), packet.begin(), packet.end());
    if (std::fwrite(record.data(), 1, record.size(), m_file.get()) != record.size())
        m_failed = true;
}

bool UsbmonWriter::Close() {
    if (!m_file) return false;
    const bool closed = std::fclose(m_file.release()) == 0;
    return closed && !m_failed;
}

}  // namespace kvt_umock
