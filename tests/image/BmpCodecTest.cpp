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

using image_test::BmpFile;
using image_test::Get32;
using image_test::PackRows;

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

// The code and text of what decoding file throws.
std::pair<int, std::string> DecodeError(const std::vector<uint8_t>& file,
                                        const PLPixelDesc& format = PLPixelDesc::DontCare) {
    PLAnyBmp bitmap;
    try {
        Decode(file, bitmap, format);
    } catch (const PLTextException& e) {
        return {e.GetCode(), e.GetText()};
    }
    return {0, "decoded"};
}

uint32_t Index(int32_t x, int32_t y, int bits) {
    return static_cast<uint32_t>(x * 3 + y * 5) % (1u << bits);
}

PLPixel32 PaletteEntry(uint32_t i) {
    return {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7), 0};
}

BmpFile Paletted(int bits, int32_t w, int32_t h) {
    BmpFile file(w, h, bits);
    for (uint32_t i = 0; i < (1u << bits); ++i) file.palette.push_back(PaletteEntry(i));
    file.pixels = PackRows(w, h, bits, [bits](int32_t x, int32_t y) { return Index(x, y, bits); });
    return file;
}

void ExpectIndices(const PLBmp& bitmap, int bits) {
    ASSERT_EQ(bitmap.GetPixelFormat(), PLPixelDesc::I8);
    for (int32_t y = 0; y < bitmap.GetHeight(); ++y)
        for (int32_t x = 0; x < bitmap.GetWidth(); ++x)
            ASSERT_EQ(bitmap.GetLine(y)[x], Index(x, y, bits)) << x << "," << y;
    PLPixel32 expected = PaletteEntry(1);
    expected.a = 255;
    EXPECT_EQ(bitmap.GetPalette()[1], expected);
}

TEST(BmpEncoderTest, WritesTheGreyPictureFileByteForByte) {
    PLWinBmp bitmap;
    bitmap.Create(256, 360, PLPixelDesc::L8, nullptr, 0, {500, 500});
    bitmap.GetLine(359)[0] = 7;  // bottom line, first pixel
    bitmap.GetLine(0)[255] = 9;  // top line, last pixel
    const std::vector<uint8_t> file = Encode(bitmap);

    ASSERT_EQ(file.size(), 93238u);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(Get32(file, 2), 93238u);
    EXPECT_EQ(Get32(file, 10), 1078u);
    EXPECT_EQ(Get32(file, 14), 40u);
    EXPECT_EQ(Get32(file, 18), 256u);
    EXPECT_EQ(Get32(file, 22), 360u);
    EXPECT_EQ(Get32(file, 26), 1u | (8u << 16));
    EXPECT_EQ(Get32(file, 34), 0u);
    EXPECT_EQ(Get32(file, 38), 19685u);
    EXPECT_EQ(Get32(file, 42), 19685u);
    EXPECT_EQ(Get32(file, 54 + 4 * 200), 0xFFC8C8C8u);
    EXPECT_EQ(file[1078], 7);
    EXPECT_EQ(file.back(), 9);
}

TEST(BmpEncoderTest, ASinkOneByteTooSmallOverflows) {
    PLWinBmp bitmap;
    bitmap.Create(6, 3, PLPixelDesc::L8);
    const uint64_t size = PLWinBmp::GetMemNeeded(6, 3, 8);
    PLMemSink sink;
    ASSERT_EQ(sink.Open("mem", size - 1), 0);
    try {
        PLBmpEncoder().EncodeToSink(bitmap, sink);
        FAIL() << "no overflow";
    } catch (const PLTextException& e) {
        EXPECT_EQ(e.GetCode(), 11);
        EXPECT_STREQ(e.GetText(), "Buffer overflow while encoding.\n");
    }
    ASSERT_EQ(sink.Open("mem", size), 0);
    EXPECT_NO_THROW(PLBmpEncoder().EncodeToSink(bitmap, sink));
    EXPECT_EQ(sink.GetPosition(), size);
}

TEST(BmpEncoderTest, TheSinkRefusesUseBeforeOpenAndReportsAFailedAllocation) {
    PLMemSink sink;
    try {
        sink.GetBytes();
        FAIL() << "no exception";
    } catch (const PLTextException& e) {
        EXPECT_EQ(e.GetCode(), 7);
        EXPECT_STREQ(e.GetText(), "Open was not called for CMemSink");
    }
    EXPECT_EQ(sink.Open("mem", SIZE_MAX), -1);
    EXPECT_FALSE(sink.IsOpen());
}

TEST(BmpDecoderTest, PalettedDepthsRoundTrip) {
    for (int bits : {1, 4, 8}) {
        SCOPED_TRACE(bits);
        PLWinBmp bitmap;
        Decode(Paletted(bits, 13, 5).Bytes(), bitmap);
        ASSERT_EQ(bitmap.GetSize(), (PLPoint{13, 5}));
        ExpectIndices(bitmap, bits);
    }
    // Core header: 3-byte palette entries.
    BmpFile core = Paletted(8, 7, 3);
    core.headerSize = 12;
    PLAnyBmp bitmap;
    Decode(core.Bytes(), bitmap);
    ExpectIndices(bitmap, 8);
}

TEST(BmpDecoderTest, TheEncodersFileDecodesToTheSamePicture) {
    PLWinBmp grey;
    grey.Create(9, 4, PLPixelDesc::L8, nullptr, 0, {500, 250});
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 9; ++x) grey.GetLine(y)[x] = static_cast<uint8_t>(x * 20 + y);
    PLWinBmp back;
    Decode(Encode(grey), back);
    EXPECT_EQ(back.GetResolution(), (PLPoint{500, 250}));
    for (int32_t y = 0; y < 4; ++y) EXPECT_EQ(0, std::memcmp(back.GetLine(y), grey.GetLine(y), 9));

    // 32-bit pictures are written as 24 bits and come back opaque.
    PLAnyBmp colour;
    colour.Create(3, 2, PLPixelDesc::A8R8G8B8);
    for (int i = 0; i < 12; ++i) colour.GetLine(i / 12)[i % 12] = static_cast<uint8_t>(i * 21);
    const std::vector<uint8_t> file = Encode(colour);
    EXPECT_EQ(file[28], 24);
    Decode(file, back);
    EXPECT_EQ(back.GetPixelFormat(), PLPixelDesc::X8R8G8B8);
    EXPECT_EQ(0, std::memcmp(back.GetLine(0), colour.GetLine(0), 3));
    EXPECT_EQ(back.GetLine(0)[3], 255);
}

TEST(BmpDecoderTest, TrueColourDepthsRoundTrip) {
    const auto colour = [](int32_t x, int32_t y) {
        return PLPixel32{static_cast<uint8_t>(x * 40), static_cast<uint8_t>(y * 60),
                         static_cast<uint8_t>(x + y), static_cast<uint8_t>(x * y + 1)};
    };
    for (int bits : {24, 32}) {
        BmpFile file(5, 3, bits);
        file.pixels = PackRows(5, 3, bits, [&](int32_t x, int32_t y) {
            const PLPixel32 p = colour(x, y);
            return p.b | (p.g << 8) | (p.r << 16) | (static_cast<uint32_t>(p.a) << 24);
        });
        PLAnyBmp bitmap;
        Decode(file.Bytes(), bitmap);
        EXPECT_EQ(bitmap.GetPixelFormat(),
                  bits == 32 ? PLPixelDesc::A8R8G8B8 : PLPixelDesc::X8R8G8B8);
        for (int32_t y = 0; y < 3; ++y) {
            for (int32_t x = 0; x < 5; ++x) {
                PLPixel32 expected = colour(x, y);
                if (bits == 24) expected.a = 255;
                PLPixel32 got;
                std::memcpy(&got, bitmap.GetLine(y) + 4 * x, 4);
                ASSERT_EQ(got, expected) << bits << " bits at " << x << "," << y;
            }
        }
    }
}

TEST(BmpDecoderTest, SixteenBitPixelsUseFiveBitChannelsOrTheFilesMasks) {
    // Red, green, blue and white in 5-5-5, then in 5-6-5 bit fields.
    const uint32_t rgb555[] = {0x7C00, 0x03E0, 0x001F, 0x7FFF};
    const uint32_t rgb565[] = {0xF800, 0x07E0, 0x001F, 0xFFFF};
    const PLPixel32 expected[] = {
        {0, 0, 255, 255}, {0, 255, 0, 255}, {255, 0, 0, 255}, {255, 255, 255, 255}};
    for (const uint32_t* pixels : {rgb555, rgb565}) {
        BmpFile file(4, 1, 16);
        if (pixels == rgb565) {
            file.compression = 3;
            file.masks = {0xF800, 0x07E0, 0x001F};
        }
        file.pixels = PackRows(4, 1, 16, [pixels](int32_t x, int32_t) { return pixels[x]; });
        PLAnyBmp bitmap;
        Decode(file.Bytes(), bitmap);
        for (int x = 0; x < 4; ++x) {
            PLPixel32 got;
            std::memcpy(&got, bitmap.GetLine(0) + 4 * x, 4);
            EXPECT_EQ(got, expected[x]) << x;
        }
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
    const uint8_t lines8[3][6] = {{7, 0, 0, 0, 0, 0}, {5, 5, 0, 0, 0, 0}, {9, 9, 9, 9, 1, 2}};
    for (int32_t y = 0; y < 3; ++y)
        EXPECT_EQ(0, std::memcmp(bitmap.GetLine(y), lines8[y], 6)) << "RLE8 line " << y;

    // RLE4: runs alternate the two nibbles; a literal group of 3 nibbles.
    BmpFile rle4(5, 2, 4, 2);
    rle4.palette.resize(16);
    rle4.pixels = {5, 0x12, 0, 0, 0, 3, 0xAB, 0xC0, 0, 1};
    Decode(rle4.Bytes(), bitmap);
    const uint8_t lines4[2][5] = {{10, 11, 12, 0, 0}, {1, 2, 1, 2, 1}};
    for (int32_t y = 0; y < 2; ++y)
        EXPECT_EQ(0, std::memcmp(bitmap.GetLine(y), lines4[y], 5)) << "RLE4 line " << y;
}

TEST(BmpDecoderTest, ArraysLongHeadersTopDownFilesAndResolution) {
    BmpFile file = Paletted(8, 4, 3);
    file.headerSize = 124;
    file.pixelsPerMetre = 19685;
    std::vector<uint8_t> bytes = file.Bytes();
    // A bitmap array around the file: 14 bytes of array header.
    std::vector<uint8_t> array{'B', 'A'};
    array.resize(14, 0);
    array.insert(array.end(), bytes.begin(), bytes.end());
    PLWinBmp bitmap;
    Decode(array, bitmap);
    ExpectIndices(bitmap, 8);
    EXPECT_EQ(bitmap.GetResolution(), (PLPoint{500, 500}));

    // A negative height stores the top line first.
    file = Paletted(8, 4, 3);
    file.height = -3;
    file.pixels = PackRows(4, 3, 8, [](int32_t x, int32_t y) { return Index(x, 2 - y, 8); });
    Decode(file.Bytes(), bitmap);
    ExpectIndices(bitmap, 8);
}

TEST(BmpDecoderTest, AFormatRequestConvertsUpOrIsRefused) {
    const std::vector<uint8_t> file = Paletted(8, 4, 2).Bytes();
    PLWinBmp bitmap;
    Decode(file, bitmap, PLPixelDesc::X8R8G8B8);
    EXPECT_EQ(bitmap.GetPixelFormat(), PLPixelDesc::X8R8G8B8);
    const PLPixel32 entry = PaletteEntry(Index(3, 1, 8));
    EXPECT_EQ(bitmap.GetLine(1)[12], entry.b);
    EXPECT_EQ(bitmap.GetLine(1)[14], entry.r);

    BmpFile colour(1, 1, 24);
    colour.pixels = {1, 2, 3, 0};
    EXPECT_EQ(DecodeError(colour.Bytes(), PLPixelDesc::L8),
              std::make_pair(6, std::string("Image bit depth doesn't match request.")));
}

TEST(BmpDecoderTest, BrokenFilesFailWithTheirCodeAndText) {
    const std::vector<uint8_t> good = Paletted(8, 4, 2).Bytes();
    const std::string endOfFile = "End of file reached while decoding.\n";

    std::vector<uint8_t> bytes = good;
    bytes[0] = 'X';
    EXPECT_EQ(DecodeError(bytes),
              std::make_pair(1, std::string("Bitmap decoder: This isn't a bitmap.")));

    bytes = good;
    bytes[28] = 2;  // bits per pixel
    EXPECT_EQ(DecodeError(bytes),
              std::make_pair(2, std::string("Decoding bmp: Illegal bpp value.")));

    BmpFile delta(4, 2, 8, 1);
    delta.coloursUsed = 2;
    delta.palette.resize(2);
    delta.pixels = {2, 1, 0, 2, 1, 1, 0, 1};
    EXPECT_EQ(DecodeError(delta.Bytes()),
              std::make_pair(6, std::string("Encountered delta escape.")));

    // Cut anywhere: in the headers, the palette, the rows, or run-length data.
    for (size_t cut : {size_t{0}, size_t{20}, size_t{500}, good.size() - 1}) {
        bytes.assign(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut));
        EXPECT_EQ(DecodeError(bytes), std::make_pair(11, endOfFile)) << "cut at " << cut;
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
