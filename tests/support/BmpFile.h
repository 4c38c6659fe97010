// BMP files of drawn pictures, as the library's captures deliver them, for
// feeding KVT_ExtractTemplate in tests and benchmarks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "SyntheticPrint.h"

namespace kvt_test {

// A BMP file of a grey picture, rows bottom-up and padded to 4 bytes: 8 bits
// with a grey palette (or an inverted palette and inverted indices, the same
// picture), or 24 or 32 bits.
inline std::vector<unsigned char> EncodeBmp(const fptest::Image& image, int bits,
                                            bool inverted = false) {
    const size_t pixelBytes = static_cast<size_t>(bits / 8);
    const size_t stride = (static_cast<size_t>(image.width) * pixelBytes + 3) & ~size_t{3};
    const size_t offset = bits == 8 ? 1078 : 54;
    std::vector<unsigned char> bmp(offset + stride * static_cast<size_t>(image.height));
    auto put = [&](size_t at, size_t value) {
        for (size_t i = 0; i < 4; ++i) bmp[at + i] = static_cast<unsigned char>(value >> (8 * i));
    };
    bmp[0] = 'B';
    bmp[1] = 'M';
    put(2, bmp.size());
    put(10, offset);
    put(14, 40);
    put(18, static_cast<size_t>(image.width));
    put(22, static_cast<size_t>(image.height));
    put(26, 1 + (static_cast<size_t>(bits) << 16));  // planes, bits per pixel
    for (size_t i = 0; offset == 1078 && i < 256; ++i)
        std::memset(&bmp[54 + 4 * i], static_cast<int>(inverted ? 255 - i : i), 3);
    for (int y = 0; y < image.height; ++y) {
        unsigned char* row = &bmp[offset + stride * static_cast<size_t>(image.height - 1 - y)];
        for (int x = 0; x < image.width; ++x) {
            const int grey = image.pixels[static_cast<size_t>(y * image.width + x)];
            std::memset(row + static_cast<size_t>(x) * pixelBytes, inverted ? 255 - grey : grey,
                        std::min<size_t>(pixelBytes, 3));
        }
    }
    return bmp;
}

}  // namespace kvt_test
