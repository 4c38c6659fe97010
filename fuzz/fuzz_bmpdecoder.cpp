// libFuzzer target: arbitrary bytes as an application's BMP file. Decoding
// either throws PLTextException or yields a picture whose every line can be
// read; such a picture encodes and decodes back to the same pixels. A format
// request goes through the conversion path as well.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image/PLAnyBmp.h"
#include "image/PLBmpDecoder.h"
#include "image/PLBmpEncoder.h"
#include "image/PLMemSink.h"
#include "image/PLTextException.h"
#include "image/PLWinBmp.h"

namespace {

constexpr uint64_t kCheckedPixels = uint64_t{1} << 20;

void Check(bool condition) {
    if (!condition) std::abort();
}

// Colour bytes only: the encoder writes 32-bit pictures as 24 bits.
bool SamePixels(const PLBmp& a, const PLBmp& b) {
    if (a.GetSize() != b.GetSize()) return false;
    for (int32_t y = 0; y < a.GetHeight(); ++y) {
        const uint8_t* lineA = a.GetLine(y);
        const uint8_t* lineB = b.GetLine(y);
        if (a.GetBitsPerPixel() == 8) {
            if (std::memcmp(lineA, lineB, a.GetLineBytes()) != 0) return false;
            continue;
        }
        for (size_t i = 0; i < a.GetLineBytes(); ++i) {
            if (i % 4 != 3 && lineA[i] != lineB[i]) return false;
        }
    }
    return true;
}

void RoundTrip(const PLWinBmp& decoded) {
    Check(decoded.GetWidth() > 0 && decoded.GetHeight() > 0);
    PLMemSink sink;
    if (sink.Open("mem", decoded.GetMemUsed()) != 0) return;
    PLBmpEncoder().EncodeToSink(decoded, sink);
    PLWinBmp again;
    PLBmpDecoder().DecodeMemory(sink.GetBytes(), sink.GetPosition(), again);
    Check(SamePixels(decoded, again));
    if (decoded.GetPalette() != nullptr) {
        Check(std::memcmp(decoded.GetPalette(), again.GetPalette(), 256 * sizeof(PLPixel32)) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PLWinBmp decoded;
    try {
        PLBmpDecoder().DecodeMemory(data, size, decoded);
    } catch (const PLTextException&) {
        return 0;
    }
    // The checks below cost time in proportion to the picture; the decoder
    // has done its part on the huge ones already.
    if (static_cast<uint64_t>(decoded.GetWidth()) * decoded.GetHeight() > kCheckedPixels) return 0;
    RoundTrip(decoded);

    PLAnyBmp converted;
    try {
        PLBmpDecoder().DecodeMemory(data, size, converted, PLPixelDesc::A8R8G8B8);
    } catch (const PLTextException&) {
        std::abort();  // the file decoded once; a deeper format is always reachable
    }
    Check(converted.GetSize() == decoded.GetSize());
    return 0;
}
