#include "image/PLBmpDecoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

#include "image/PLAnyBmp.h"
#include "image/PLBmp.h"
#include "image/PLMemSource.h"
#include "image/PLTextException.h"

namespace {

constexpr uint16_t Signature(char first, char second) {
    return static_cast<uint16_t>(static_cast<uint8_t>(first) | (static_cast<uint8_t>(second) << 8));
}

constexpr uint16_t kBitmapArray = Signature('B', 'A');
constexpr uint16_t kAcceptedSignatures[] = {Signature('B', 'M'), Signature('I', 'C'),
                                            Signature('C', 'I'), Signature('C', 'P')};

constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kBitFields = 3;
constexpr double kInchesPerMetre = 39.37;

struct Header {
    int32_t width = 0;
    int32_t height = 0;
    bool topDown = false;
    int bits = 0;
    uint32_t compression = 0;
    int32_t xPixelsPerMetre = 0;
    int32_t yPixelsPerMetre = 0;
    uint32_t coloursUsed = 0;
    bool core = false;
    uint32_t dataOffset = 0;
    // Red, green, blue of a 16-bit pixel.
    uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
};

[[noreturn]] void BadSize() {
    throw PLTextException(kPLErrBadSize, "Decoding bmp: Illegal bitmap size.");
}

Header ReadHeader(PLDataSource& source) {
    uint16_t signature = source.ReadLE16();
    // A bitmap array: the rest of its header, then the first image's.
    while (signature == kBitmapArray) {
        source.Skip(12);
        signature = source.ReadLE16();
    }
    if (std::find(std::begin(kAcceptedSignatures), std::end(kAcceptedSignatures), signature) ==
        std::end(kAcceptedSignatures)) {
        throw PLTextException(kPLErrWrongSignature, "Bitmap decoder: This isn't a bitmap.");
    }
    Header h;
    source.Skip(8);  // file size and the two reserved words
    h.dataOffset = source.ReadLE32();

    const uint32_t headerSize = source.ReadLE32();
    if (headerSize == kCoreHeaderSize) {
        h.core = true;
        h.width = source.ReadLE16();
        h.height = source.ReadLE16();
        source.Skip(2);  // planes
        h.bits = source.ReadLE16();
    } else if (headerSize >= kInfoHeaderSize) {
        h.width = static_cast<int32_t>(source.ReadLE32());
        const auto height = static_cast<int32_t>(source.ReadLE32());
        if (height == INT32_MIN) BadSize();
        h.topDown = height < 0;
        h.height = h.topDown ? -height : height;
        source.Skip(2);  // planes
        h.bits = source.ReadLE16();
        h.compression = source.ReadLE32();
        source.Skip(4);  // image size
        h.xPixelsPerMetre = static_cast<int32_t>(source.ReadLE32());
        h.yPixelsPerMetre = static_cast<int32_t>(source.ReadLE32());
        h.coloursUsed = source.ReadLE32();
        source.Skip(4);  // important colours
        uint32_t consumed = kInfoHeaderSize;
        // The masks follow the 40 bytes, inside a longer header or behind a short one.
        if (h.compression == kBitFields && (h.bits == 16 || h.bits == 32)) {
            for (uint32_t& mask : h.masks) mask = source.ReadLE32();
            consumed += sizeof h.masks;
        }
        if (headerSize > consumed) source.Skip(headerSize - consumed);
    } else {
        throw PLTextException(kPLErrWrongSignature, "Bitmap decoder: This isn't a bitmap.");
    }

    switch (h.bits) {
        case 1:
        case 4:
        case 8:
        case 16:
        case 24:
        case 32:
            break;
        default:
            throw PLTextException(kPLErrFormatUnknown, "Decoding bmp: Illegal bpp value.");
    }
    if (h.width <= 0 || h.height <= 0 || h.width > PLBmpDecoder::kMaxSide ||
        h.height > PLBmpDecoder::kMaxSide ||
        static_cast<uint64_t>(h.width) * static_cast<uint64_t>(h.height) >
            PLBmpDecoder::kMaxPixels) {
        BadSize();
    }
    return h;
}

const PLPixelDesc& DecodedFormat(int bits) {
    if (bits <= 8) return PLPixelDesc::I8;
    return bits == 32 ? PLPixelDesc::A8R8G8B8 : PLPixelDesc::X8R8G8B8;
}

int32_t DotsPerInch(int32_t pixelsPerMetre) {
    if (pixelsPerMetre <= 0) return 0;
    const auto dpi = static_cast<int32_t>(std::lround(pixelsPerMetre / kInchesPerMetre));
    return dpi < 2 ? 0 : dpi;
}

struct FilePalette {
    PLPixel32 entries[256];
    size_t count = 0;
};

FilePalette ReadPalette(PLDataSource& source, const Header& h) {
    FilePalette palette;
    const uint32_t entrySize = h.core ? 3 : 4;
    const uint64_t count = !h.core && h.coloursUsed != 0 ? h.coloursUsed : uint64_t{1} << h.bits;
    palette.count = static_cast<size_t>(std::min<uint64_t>(count, 256));
    for (size_t i = 0; i < palette.count; ++i) {
        const uint8_t* entry = source.ReadNBytes(entrySize);
        palette.entries[i] = PLPixel32{entry[0], entry[1], entry[2], 255};
    }
    source.Skip((count - palette.count) * entrySize);
    return palette;
}

// Maps a stored row to its line: files store the bottom line first unless
// their height is negative.
int32_t LineOfRow(const Header& h, int32_t row) {
    return h.topDown ? row : h.height - 1 - row;
}

uint8_t Channel(uint32_t pixel, uint32_t mask) {
    if (mask == 0) return 0;
    const uint32_t shift = static_cast<uint32_t>(std::countr_zero(mask));
    return static_cast<uint8_t>(((pixel & mask) >> shift) * 255 / (mask >> shift));
}

uint64_t StoredStride(const Header& h) {
    return (static_cast<uint64_t>(h.width) * static_cast<uint64_t>(h.bits) + 31) / 32 * 4;
}

void DecodeUncompressed(PLDataSource& source, const Header& h, PLBmp& bitmap) {
    const auto stride = static_cast<size_t>(StoredStride(h));
    const int32_t w = h.width;
    for (int32_t row = 0; row < h.height; ++row) {
        const uint8_t* in = source.ReadNBytes(stride);
        uint8_t* out = bitmap.GetLine(LineOfRow(h, row));
        switch (h.bits) {
            case 1:
                for (int32_t x = 0; x < w; ++x) out[x] = (in[x >> 3] >> (7 - (x & 7))) & 1;
                break;
            case 4:
                for (int32_t x = 0; x < w; ++x) out[x] = (in[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0F;
                break;
            case 8:
                std::copy_n(in, w, out);
                break;
            case 16:
                for (int32_t x = 0; x < w; ++x, out += 4) {
                    const uint32_t p = in[2 * x] | (in[2 * x + 1] << 8);
                    out[0] = Channel(p, h.masks[2]);
                    out[1] = Channel(p, h.masks[1]);
                    out[2] = Channel(p, h.masks[0]);
                    out[3] = 255;
                }
                break;
            case 24:
                for (int32_t x = 0; x < w; ++x, out += 4, in += 3) {
                    std::copy_n(in, 3, out);
                    out[3] = 255;
                }
                break;
            default:  // 32: blue, green, red, alpha as stored
                std::copy_n(in, 4 * static_cast<size_t>(w), out);
                break;
        }
    }
}

// RLE8 and RLE4: runs and literal groups, with escapes for end of line, end
// of picture and delta. Pixels beyond the row's end are dropped and rows
// beyond the picture's end are not read.
void DecodeRunLength(PLDataSource& source, const Header& h, PLBmp& bitmap) {
    const bool fourBit = h.bits == 4;
    int32_t row = 0;
    int32_t x = 0;
    uint8_t* out = bitmap.GetLine(LineOfRow(h, 0));
    const auto put = [&](uint8_t index) {
        if (x < h.width) out[x] = index;
        ++x;
    };
    while (row < h.height) {
        const uint8_t count = source.ReadByte();
        const uint8_t value = source.ReadByte();
        if (count > 0) {
            for (int i = 0; i < count; ++i) {
                put(fourBit ? static_cast<uint8_t>((i & 1) ? value & 0x0F : value >> 4) : value);
            }
            continue;
        }
        switch (value) {
            case 0:  // end of line
                x = 0;
                if (++row < h.height) out = bitmap.GetLine(LineOfRow(h, row));
                break;
            case 1:  // end of picture
                return;
            case 2:
                throw PLTextException(kPLErrFormatNotSupported, "Encountered delta escape.");
            default: {  // a literal group of `value` pixels, padded to 16 bits
                const size_t bytes = fourBit ? (value + 1u) / 2 : value;
                const uint8_t* in = source.ReadNBytes(bytes);
                for (int i = 0; i < value; ++i) {
                    put(fourBit ? static_cast<uint8_t>((i & 1) ? in[i / 2] & 0x0F : in[i / 2] >> 4)
                                : in[i]);
                }
                if (bytes & 1) source.Skip(1);
                break;
            }
        }
    }
}

void Decode(const uint8_t* bytes, size_t size, PLBmp& bitmap, const PLPixelDesc& format) {
    PLMemSource source(bytes, size);
    const Header h = ReadHeader(source);
    const PLPixelDesc& decoded = DecodedFormat(h.bits);
    if (!format.IsDontCare() && format.GetBitsPerPixel() < decoded.GetBitsPerPixel()) {
        throw PLTextException(kPLErrFormatNotSupported, "Image bit depth doesn't match request.");
    }

    const bool runLength = (h.bits == 4 || h.bits == 8) && h.compression != 0;
    const FilePalette palette = h.bits <= 8 ? ReadPalette(source, h) : FilePalette{};

    // The pixels start at the file's data offset; an offset that points back
    // into the headers or past the end is ignored and the pixels are taken
    // to follow the palette.
    if (h.dataOffset >= source.GetPosition() && h.dataOffset <= size) source.Seek(h.dataOffset);
    // A short file fails before the picture is allocated.
    if (!runLength && StoredStride(h) * static_cast<uint64_t>(h.height) > source.GetRemaining()) {
        throw PLTextException(kPLErrEndOfFile, "End of file reached while decoding.\n");
    }

    // Another format is reached through a temporary in the file's own format.
    const bool convert = !format.IsDontCare() && !(format == decoded);
    PLAnyBmp temporary;
    PLBmp& target = convert ? static_cast<PLBmp&>(temporary) : bitmap;
    target.Create(h.width, h.height, decoded, nullptr, 0,
                  {DotsPerInch(h.xPixelsPerMetre), DotsPerInch(h.yPixelsPerMetre)});
    if (palette.count > 0) {
        std::copy_n(palette.entries, palette.count, target.GetPalette());
    }

    if (runLength) {
        DecodeRunLength(source, h, target);
    } else {
        DecodeUncompressed(source, h, target);
    }
    if (convert) bitmap.CopyWithFormat(temporary, format);
}

}  // namespace

void PLBmpDecoder::DecodeMemory(const uint8_t* bytes, size_t size, PLBmp& bitmap,
                                const PLPixelDesc& format) const {
    try {
        Decode(bytes, size, bitmap, format);
    } catch (const std::bad_alloc&) {
        throw PLTextException(kPLErrNoMemory, "Out of memory.");
    }
}
