// BMP files written field by field, independent of the library's encoder: for
// the decoder's tests, and as the library's captures deliver drawn pictures,
// for feeding KVT_ExtractTemplate in tests and benchmarks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "fingerprint/SyntheticPrint.h"

namespace kvt_test {

// The low `bytes` bytes of v, little-endian.
inline void Put(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
           (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

struct BmpFile {
    BmpFile(int32_t w, int32_t h, int bitsPerPixel, uint32_t compressionType = 0)
        : width(w),
          height(h),
          bits(static_cast<uint16_t>(bitsPerPixel)),
          compression(compressionType) {}

    int32_t width = 0;
    int32_t height = 0;
    uint16_t bits = 8;
    uint32_t compression = 0;
    uint32_t headerSize = 40;  // 12: core header with 3-byte palette entries
    int32_t pixelsPerMetre = 0;
    uint32_t coloursUsed = 0;
    std::vector<std::array<uint8_t, 3>> palette;  // blue, green, red
    std::vector<uint32_t> masks;                  // behind the information header
    std::vector<uint8_t> pixels;                  // stored rows or run-length data

    std::vector<uint8_t> Bytes() const {
        const bool core = headerSize == 12;
        const uint32_t offset = static_cast<uint32_t>(14 + headerSize + 4 * masks.size() +
                                                      (core ? 3 : 4) * palette.size());
        std::vector<uint8_t> out{'B', 'M'};
        for (uint32_t v : {offset + static_cast<uint32_t>(pixels.size()), 0u, offset, headerSize})
            Put(out, v, 4);
        // A core header holds 16-bit sizes and nothing after the bits.
        Put(out, static_cast<uint32_t>(width), core ? 2 : 4);
        Put(out, static_cast<uint32_t>(height), core ? 2 : 4);
        Put(out, 1, 2);
        Put(out, bits, 2);
        if (!core) {
            const auto ppm = static_cast<uint32_t>(pixelsPerMetre);
            for (uint32_t v : {compression, 0u, ppm, ppm, coloursUsed, 0u}) Put(out, v, 4);
            out.resize(14 + headerSize, 0);
        }
        for (uint32_t mask : masks) Put(out, mask, 4);
        for (const auto& entry : palette) {
            out.insert(out.end(), entry.begin(), entry.end());
            if (!core) out.push_back(0);
        }
        out.insert(out.end(), pixels.begin(), pixels.end());
        return out;
    }
};

// Rows bottom first, each padded to 4 bytes. value(x, y), y = 0 the top line,
// is the index (up to 8 bits) or the little-endian pixel (16, 24, 32 bits).
inline std::vector<uint8_t> PackRows(int32_t w, int32_t h, int bits,
                                     const std::function<uint32_t(int32_t, int32_t)>& value) {
    const size_t stride = (static_cast<size_t>(w) * bits + 31) / 32 * 4;
    std::vector<uint8_t> out(stride * static_cast<size_t>(h), 0);
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = out.data() + static_cast<size_t>(h - 1 - y) * stride;
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t v = value(x, y);
            if (bits < 8) {
                const int bit = x * bits;
                row[bit / 8] |= static_cast<uint8_t>(v << (8 - bits - bit % 8));
            } else {
                for (int i = 0; i < bits / 8; ++i) row[x * bits / 8 + i] = uint8_t(v >> (8 * i));
            }
        }
    }
    return out;
}

// A grey picture: 8 bits with a grey palette (or an inverted palette and
// inverted indices, the same picture), or 24 or 32 bits.
inline std::vector<uint8_t> EncodeBmp(const fptest::Image& image, int bits, bool inverted = false) {
    BmpFile file(image.width, image.height, bits);
    for (uint32_t i = 0; bits == 8 && i < 256; ++i) {
        const auto v = static_cast<uint8_t>(inverted ? 255 - i : i);
        file.palette.push_back({v, v, v});
    }
    file.pixels = PackRows(image.width, image.height, bits, [&](int32_t x, int32_t y) {
        const uint32_t grey = image.pixels[static_cast<size_t>(y) * image.width + x];
        return (inverted ? 255 - grey : grey) * (bits == 8 ? 1 : 0x010101u);
    });
    return file.Bytes();
}

}  // namespace kvt_test
