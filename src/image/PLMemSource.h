#pragma once

#include <cstddef>
#include <cstdint>

#include "image/PLObject.h"

// Where a decoder reads from. Every read is checked against the end of the
// data and throws code 11 rather than read past it.
class PLDataSource : public PLObject {
public:
    // The next count bytes; the pointer stays valid as long as the data.
    const uint8_t* ReadNBytes(size_t count);
    uint8_t ReadByte() { return *ReadNBytes(1); }
    uint16_t ReadLE16();
    uint32_t ReadLE32();
    void Skip(uint64_t count);
    // Moves to an absolute position within the data.
    void Seek(size_t position);

    size_t GetPosition() const { return m_position; }
    size_t GetRemaining() const { return m_size - m_position; }

protected:
    PLDataSource(const uint8_t* data, size_t size) : m_data(data), m_size(data ? size : 0) {}

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_position = 0;
};

// A source over a caller's memory block, which must outlive it.
class PLMemSource : public PLDataSource {
public:
    PLMemSource(const uint8_t* data, size_t size) : PLDataSource(data, size) {}
};
