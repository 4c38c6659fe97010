#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/PLObject.h"

// Where an encoder writes: a fixed capacity, a write position, and a check
// before every write that it fits.
class PLDataSink : public PLObject {
public:
    // Throws code 11 when count bytes do not fit behind the position.
    void WriteNBytes(size_t count, const uint8_t* data);
    void WriteByte(uint8_t value) { WriteNBytes(1, &value); }
    void WriteLE16(uint16_t value);
    void WriteLE32(uint32_t value);
    // Zero bytes, for row padding.
    void WriteZeros(size_t count);

    size_t GetPosition() const { return m_position; }

protected:
    // The buffer the writes go to; throws when there is none.
    virtual uint8_t* Buffer() = 0;

    size_t m_position = 0;
    size_t m_capacity = 0;
};

// A sink over a buffer of its own, zeroed when opened and freed when closed.
class PLMemSink : public PLDataSink {
public:
    // 0, or -1 when the buffer cannot be allocated.
    int Open(const char* name, size_t capacity);
    void Close();
    bool IsOpen() const { return m_open; }

    // Throws code 7 before Open.
    uint8_t* GetBytes();
    const std::string& GetName() const { return m_name; }

protected:
    uint8_t* Buffer() override;

private:
    std::vector<uint8_t> m_buffer;
    std::string m_name;
    bool m_open = false;
};
