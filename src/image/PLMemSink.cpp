#include "image/PLMemSink.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "image/PLTextException.h"

void PLDataSink::WriteNBytes(size_t count, const uint8_t* data) {
    uint8_t* buffer = Buffer();
    if (count > m_capacity - m_position) {
        throw PLTextException(kPLErrEndOfFile, "Buffer overflow while encoding.\n");
    }
    if (count > 0) std::memcpy(buffer + m_position, data, count);
    m_position += count;
}

void PLDataSink::WriteLE16(uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    WriteNBytes(sizeof bytes, bytes);
}

void PLDataSink::WriteLE32(uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    WriteNBytes(sizeof bytes, bytes);
}

void PLDataSink::WriteZeros(size_t count) {
    static constexpr uint8_t kZeros[4] = {};
    while (count > 0) {
        const size_t n = count < sizeof kZeros ? count : sizeof kZeros;
        WriteNBytes(n, kZeros);
        count -= n;
    }
}

int PLMemSink::Open(const char* name, size_t capacity) {
    Close();
    try {
        m_buffer.assign(capacity, 0);
    } catch (const std::bad_alloc&) {
        return -1;
    } catch (const std::length_error&) {
        return -1;
    }
    m_name = name != nullptr ? name : "";
    m_capacity = capacity;
    m_position = 0;
    m_open = true;
    return 0;
}

void PLMemSink::Close() {
    m_buffer = {};
    m_capacity = 0;
    m_position = 0;
    m_open = false;
}

uint8_t* PLMemSink::GetBytes() {
    return Buffer();
}

uint8_t* PLMemSink::Buffer() {
    if (!m_open) throw PLTextException(kPLErrInternal, "Open was not called for CMemSink");
    return m_buffer.data();
}
