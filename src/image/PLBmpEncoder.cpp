#include "image/PLBmpEncoder.h"

#include <algorithm>
#include <cstdint>

#include "image/PLBmp.h"
#include "image/PLMemSink.h"
#include "image/PLWinBmp.h"

namespace {

// Resolutions too large for the field are written as large as it holds.
int32_t PixelsPerMetre(int32_t dotsPerInch) {
    const double value = dotsPerInch * PLBmpEncoder::kInchesPerMetre + 0.5;
    return static_cast<int32_t>(std::clamp<double>(value, INT32_MIN, INT32_MAX));
}

}  // namespace

void PLBmpEncoder::EncodeToSink(const PLBmp& bitmap, PLDataSink& sink) const {
    const bool paletted = bitmap.GetPixelFormat().HasPalette();
    const int bits = paletted ? bitmap.GetBitsPerPixel() : 24;
    const int32_t width = bitmap.GetWidth();
    const int32_t height = bitmap.GetHeight();
    const auto stride = static_cast<uint32_t>(PLWinBmp::StrideFor(width, bits));
    const uint32_t paletteEntries = paletted ? 1u << bits : 0;
    const auto offset = static_cast<uint32_t>(PLWinBmp::kFileHeaderSize +
                                              PLWinBmp::kInfoHeaderSize + 4 * paletteEntries);

    sink.WriteByte('B');
    sink.WriteByte('M');
    sink.WriteLE32(stride * static_cast<uint32_t>(height) + offset);
    sink.WriteLE16(0);
    sink.WriteLE16(0);
    sink.WriteLE32(offset);

    sink.WriteLE32(PLWinBmp::kInfoHeaderSize);
    sink.WriteLE32(static_cast<uint32_t>(width));
    sink.WriteLE32(static_cast<uint32_t>(height));
    sink.WriteLE16(1);  // planes
    sink.WriteLE16(static_cast<uint16_t>(bits));
    sink.WriteLE32(0);  // no compression
    sink.WriteLE32(0);  // image size, optional when uncompressed
    sink.WriteLE32(static_cast<uint32_t>(PixelsPerMetre(bitmap.GetResolution().x)));
    sink.WriteLE32(static_cast<uint32_t>(PixelsPerMetre(bitmap.GetResolution().y)));
    sink.WriteLE32(0);  // colours used: all
    sink.WriteLE32(0);  // important colours: all

    if (paletted) {
        const auto* palette = reinterpret_cast<const uint8_t*>(bitmap.GetPalette());
        const size_t bytes = sizeof(PLPixel32) * paletteEntries;
        // A bitmap whose creation failed has no palette.
        if (palette != nullptr) {
            sink.WriteNBytes(bytes, palette);
        } else {
            sink.WriteZeros(bytes);
        }
    }

    const size_t lineBytes = PLBmp::LineBytes(width, bits);
    for (int32_t y = height - 1; y >= 0; --y) {
        const uint8_t* line = bitmap.GetLine(y);
        if (paletted) {
            sink.WriteNBytes(lineBytes, line);
        } else {
            for (int32_t x = 0; x < width; ++x) sink.WriteNBytes(3, line + 4 * x);
        }
        sink.WriteZeros(stride - lineBytes);
    }
}
