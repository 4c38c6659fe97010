#pragma once

#include <cstddef>
#include <cstdint>

#include "image/PLObject.h"
#include "image/PLPixelDesc.h"

class PLBmp;

// Reads BMP files from memory: Windows info headers (40 bytes and the longer
// variants) and OS/2 core headers, bitmap arrays (the first image is taken),
// 1, 4 and 8 bits per pixel uncompressed or run-length encoded, 16 bits
// (5-5-5, or the masks of a bit-field file), 24 bits, and 32 bits (blue,
// green, red, alpha, whatever masks the file names). Paletted files decode to
// "I8", 16 and 24 bits to "X8R8G8B8", 32 bits to "A8R8G8B8". The pixels are
// read from the file's data offset when it lies behind the palette, else
// right after the palette.
//
// The input is untrusted: every size, count and offset is checked against
// the data before it is used, and failures are thrown as PLTextException.
class PLBmpDecoder : public PLObject {
public:
    // Larger pictures are refused before anything is allocated.
    static constexpr int32_t kMaxSide = 1 << 15;
    static constexpr uint64_t kMaxPixels = uint64_t{1} << 24;

    // format DontCare keeps the file's depth; a deeper format is reached by
    // conversion; a shallower one is refused (code 6).
    void DecodeMemory(const uint8_t* bytes, size_t size, PLBmp& bitmap,
                      const PLPixelDesc& format = PLPixelDesc::DontCare) const;
};
