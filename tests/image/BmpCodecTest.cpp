#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "image/ImageTestSupport.h"
#include "image/PLAnyBmp.h"
#include "image/PLBmpDecoder.h"
#include "image/PLBmpEncoder.h"
#include "image/PLMemSink.h"
#include "image/PLTextException.h"
#include "image/PLWinBmp.h"
#include "support/BmpFile.h"

using image_test::Failure;
using image_test::Pixels;
using image_test::Thrown;
using kvt_test::BmpFile;
using kvt_test::Get32;
using kvt_test::PackRows;

namespace {

std::vector<uint8_t> Encode(const PLBmp& bitmap) {
    PLMemSink sink;
    EXPECT_EQ(sink.Open("mem", 1 << 20), 0);
    PLBmpEncoder().EncodeToSink(bitmap, sink);
    return {sink.GetBytes(), sink.GetBytes() + sink.GetPosition()};
}

void Decode(const std::vector<uint8_t>& file, PLBmp& bitmap,
            const PLPixelDesc& format = PLPixelDesc::DontCare) {
    PLBmpDecoder().DecodeMemory(file.data(), file.size(), bitmap, format);
}

Failure DecodeError(const std::vector<uint8_t>& file,
                    const PLPixelDesc& format = PLPixelDesc::DontCare) {
    PLAnyBmp bitmap;
    return Thrown([&] { Decode(file, bitmap, format); });
}

uint32_t Index(int32_t x, int32_t y, int bits) {
    return static_cast<uint32_t>(x * 3 + y * 5) % (1u << bits);
}

// As decoded: opaque.
PLPixel32 PaletteEntry(uint32_t i) {
    return {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7),
            255};
}

BmpFile Paletted(int bits, int32_t w, int32_t h) {
    BmpFile file(w, h, bits);
    for (uint32_t i = 0; i < (1u << bits); ++i) {
        const PLPixel32 p = PaletteEntry(i);
        file.palette.push_back({p.b, p.g, p.r});
    }
    file.pixels = PackRows(w, h, bits, [bits](int32_t x, int32_t y) { return Index(x, y, bits); });
    return file;
}

// Decodes a paletted file into `bitmap` and checks its every index.
void ExpectIndices(const std::vector<uint8_t>& file, int bits, PLWinBmp& bitmap) {
    Decode(file, bitmap);
    ASSERT_EQ(bitmap.GetPixelFormat(), PLPixelDesc::I8);
    for (int32_t y = 0; y < bitmap.GetHeight(); ++y)
        for (int32_t x = 0; x < bitmap.GetWidth(); ++x)
            ASSERT_EQ(bitmap.GetLine(y)[x], Index(x, y, bits)) << x << "," << y;
    EXPECT_EQ(bitmap.GetPalette()[1], PaletteEntry(1));
}

// The encoder's grey pictures are read back field by field and pixel by pixel
// in MakeupTest.
TEST(BmpEncoderTest, TheSinkOverflowsAtOneByteTooFewAndIsUselessUnopened) {
    PLWinBmp bitmap;
    bitmap.Create(6, 3, PLPixelDesc::L8);
    const uint64_t size = PLWinBmp::GetMemNeeded(6, 3, 8);
    PLMemSink sink;
    ASSERT_EQ(sink.Open("mem", size - 1), 0);
    EXPECT_EQ(Thrown([&] { PLBmpEncoder().EncodeToSink(bitmap, sink); }),
              (Failure{11, "Buffer overflow while encoding.\n"}));
    ASSERT_EQ(sink.Open("mem", size), 0);
    EXPECT_NO_THROW(PLBmpEncoder().EncodeToSink(bitmap, sink));
    EXPECT_EQ(sink.GetPosition(), size);

    EXPECT_EQ(sink.Open("mem", SIZE_MAX), -1);
    EXPECT_EQ(Thrown([&] { sink.GetBytes(); }), (Failure{7, "Open was not called for CMemSink"}));
}

TEST(BmpDecoderTest, PalettedFilesOfEveryDepthHeaderAndLayoutDecode) {
    PLWinBmp bitmap;
    for (int bits : {1, 4, 8}) {
        SCOPED_TRACE(bits);
        ExpectIndices(Paletted(bits, 13, 5).Bytes(), bits, bitmap);
        EXPECT_EQ(bitmap.GetSize(), (PLPoint{13, 5}));
    }
    // Core header: 3-byte palette entries.
    BmpFile file = Paletted(8, 7, 3);
    file.headerSize = 12;
    ExpectIndices(file.Bytes(), 8, bitmap);

    // A long header with the resolution, in a bitmap array (14 bytes of array header).
    file.headerSize = 124;
    file.pixelsPerMetre = 19685;
    std::vector<uint8_t> array = file.Bytes();
    array.insert(array.begin(), {'B', 'A', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    ExpectIndices(array, 8, bitmap);
    EXPECT_EQ(bitmap.GetResolution(), (PLPoint{500, 500}));

    // A negative height stores the top line first.
    file = Paletted(8, 4, 3);
    file.height = -3;
    file.pixels = PackRows(4, 3, 8, [](int32_t x, int32_t y) { return Index(x, 2 - y, 8); });
    ExpectIndices(file.Bytes(), 8, bitmap);
}

TEST(BmpDecoderTest, TheEncodersFilesDecodeToTheSamePictureAndFormatRequestsConvertUp) {
    PLWinBmp grey;
    grey.Create(9, 4, PLPixelDesc::L8, nullptr, 0, {500, 250});
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 9; ++x) grey.GetLine(y)[x] = static_cast<uint8_t>(x * 20 + y);
    PLWinBmp back;
    Decode(Encode(grey), back);
    EXPECT_EQ(std::tuple(back.GetResolution(), Pixels(back)),
              std::tuple(PLPoint{500, 250}, Pixels(grey)));

    // 32-bit pictures are written as 24 bits and come back opaque.
    PLAnyBmp colour;
    colour.Create(3, 1, PLPixelDesc::A8R8G8B8);
    for (int i = 0; i < 12; ++i) colour.GetLine(0)[i] = static_cast<uint8_t>(i * 21);
    Decode(Encode(colour), back);
    EXPECT_EQ(back.GetPixelFormat(), PLPixelDesc::X8R8G8B8);
    EXPECT_EQ(0, std::memcmp(back.GetLine(0) + 4, colour.GetLine(0) + 4, 3));
    EXPECT_EQ(back.GetLine(0)[7], 255);

    // A format request converts up or is refused.
    const std::vector<uint8_t> file = Paletted(8, 4, 2).Bytes();
    PLWinBmp bitmap;
    Decode(file, bitmap, PLPixelDesc::X8R8G8B8);
    EXPECT_EQ(bitmap.GetPixelFormat(), PLPixelDesc::X8R8G8B8);
    PLPixel32 pixel;
    std::memcpy(&pixel, bitmap.GetLine(1) + 12, 4);
    EXPECT_EQ(pixel, PaletteEntry(Index(3, 1, 8)));

    BmpFile rgb(1, 1, 24);
    rgb.pixels = {1, 2, 3, 0};
    EXPECT_EQ(DecodeError(rgb.Bytes(), PLPixelDesc::L8),
              (Failure{6, "Image bit depth doesn't match request."}));
}

TEST(BmpDecoderTest, TrueColourDepthsDecodeToBlueGreenRedAlpha) {
    // Bits, compression, masks, the value stored and the pixel it decodes to.
    using Case = std::tuple<int, uint32_t, std::vector<uint32_t>, uint32_t, PLPixel32>;
    const std::vector<uint32_t> rgb565 = {0xF800, 0x07E0, 0x001F};
    const Case cases[] = {
        {24, 0, {}, 0x302010, {0x10, 0x20, 0x30, 255}},
        {32, 0, {}, 0x80302010, {0x10, 0x20, 0x30, 0x80}},
        {16, 0, {}, 0x7C00, {0, 0, 255, 255}},  // 5-5-5 unless masks say otherwise
        {16, 0, {}, 0x001F, {255, 0, 0, 255}},
        {16, 3, rgb565, 0x07E0, {0, 255, 0, 255}},
        {16, 3, rgb565, 0xF800, {0, 0, 255, 255}},
    };
    for (const auto& [bits, compression, masks, stored, expected] : cases) {
        // Only the last pixel of the bottom line has a colour; rows are padded.
        BmpFile file(3, 2, bits, compression);
        file.masks = masks;
        file.pixels = PackRows(3, 2, bits, [stored = stored](int32_t x, int32_t y) {
            return x == 2 && y == 1 ? stored : 0u;
        });
        PLAnyBmp bitmap;
        Decode(file.Bytes(), bitmap);
        PLPixel32 coloured, black;
        std::memcpy(&coloured, bitmap.GetLine(1) + 8, 4);
        std::memcpy(&black, bitmap.GetLine(0) + 8, 4);
        EXPECT_EQ(std::pair(coloured, black.b + black.g + black.r), std::pair(expected, 0))
            << bits << " bits, stored " << stored;
    }
}

TEST(BmpDecoderTest, RunLengthDataDecodesRunsLiteralsAndEscapes) {
    // 6 x 3, stored bottom line first. Row 0: a run of 4 and a literal group
    // of 3 (padded) of which one pixel falls beyond the row; row 1 ends
    // early; row 2 is cut short by the end of the picture.
    BmpFile rle8(6, 3, 8, 1);
    rle8.palette.resize(256);
    rle8.pixels = {4, 9, 0, 3, 1, 2, 3, 0, 0, 0, 2, 5, 0, 0, 1, 7, 0, 1};
    PLWinBmp bitmap;
    Decode(rle8.Bytes(), bitmap);
    EXPECT_EQ(Pixels(bitmap),
              (std::vector<uint8_t>{7, 0, 0, 0, 0, 0, 5, 5, 0, 0, 0, 0, 9, 9, 9, 9, 1, 2}));

    // RLE4: runs alternate the two nibbles; a literal group of 3 nibbles.
    BmpFile rle4(5, 2, 4, 2);
    rle4.palette.resize(16);
    rle4.pixels = {5, 0x12, 0, 0, 0, 3, 0xAB, 0xC0, 0, 1};
    Decode(rle4.Bytes(), bitmap);
    EXPECT_EQ(Pixels(bitmap), (std::vector<uint8_t>{10, 11, 12, 0, 0, 1, 2, 1, 2, 1}));
}

TEST(BmpDecoderTest, BrokenFilesFailWithTheirCodeAndText) {
    const std::vector<uint8_t> good = Paletted(8, 4, 2).Bytes();
    const std::string endOfFile = "End of file reached while decoding.\n";

    // The signature, and the bits per pixel.
    for (const auto& [at, value, failure] :
         {std::tuple{0, 'X', Failure{1, "Bitmap decoder: This isn't a bitmap."}},
          {28, 2, Failure{2, "Decoding bmp: Illegal bpp value."}}}) {
        std::vector<uint8_t> bytes = good;
        bytes[at] = static_cast<uint8_t>(value);
        EXPECT_EQ(DecodeError(bytes), failure);
    }

    BmpFile delta(4, 2, 8, 1);
    delta.coloursUsed = 2;
    delta.palette.resize(2);
    delta.pixels = {2, 1, 0, 2, 1, 1, 0, 1};
    EXPECT_EQ(DecodeError(delta.Bytes()), (Failure{6, "Encountered delta escape."}));

    // Cut anywhere: in the headers, the palette, the rows, or run-length data.
    for (size_t cut : {size_t{0}, size_t{20}, size_t{500}, good.size() - 1}) {
        const std::vector<uint8_t> bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut));
        EXPECT_EQ(DecodeError(bytes), (Failure{11, endOfFile})) << "cut at " << cut;
    }
    BmpFile unfinished = delta;
    unfinished.pixels = {4, 1};
    EXPECT_EQ(DecodeError(unfinished.Bytes()).first, 11);

    // A tiny file that claims an enormous picture is refused before allocation.
    for (const auto& [w, h] : {std::pair{1 << 14, 1 << 14}, {1, 1 << 16}, {0, 3}}) {
        BmpFile file(w, h, 8, 1);
        EXPECT_EQ(DecodeError(file.Bytes()).first, kPLErrBadSize) << w << " x " << h;
    }
}

}  // namespace
