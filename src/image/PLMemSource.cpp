#include "image/PLMemSource.h"

#include "image/PLTextException.h"

namespace {

[[noreturn]] void EndOfData() {
    throw PLTextException(kPLErrEndOfFile, "End of file reached while decoding.\n");
}

}  // namespace

const uint8_t* PLDataSource::ReadNBytes(size_t count) {
    if (count > m_size - m_position) EndOfData();
    const uint8_t* at = m_data + m_position;
    m_position += count;
    return at;
}

uint16_t PLDataSource::ReadLE16() {
    const uint8_t* b = ReadNBytes(2);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t PLDataSource::ReadLE32() {
    const uint8_t* b = ReadNBytes(4);
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

void PLDataSource::Skip(uint64_t count) {
    if (count > GetRemaining()) EndOfData();
    m_position += static_cast<size_t>(count);
}

void PLDataSource::Seek(size_t position) {
    if (position > m_size) EndOfData();
    m_position = position;
}
