#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/ImageTestSupport.h"
#include "image/PLAnyBmp.h"
#include "image/PLFilter.h"
#include "image/PLTextException.h"
#include "image/PLWinBmp.h"

using image_test::Pixels;
using image_test::Thrown;

namespace {

// A picture whose every byte differs from its neighbours in both directions.
void Fill(PLBmp& bitmap, int32_t w, int32_t h, const PLPixelDesc& format = PLPixelDesc::L8) {
    bitmap.Create(w, h, format);
    for (int32_t y = 0; y < h; ++y)
        for (size_t i = 0; i < bitmap.GetLineBytes(); ++i)
            bitmap.GetLine(y)[i] = static_cast<uint8_t>(y * 40 + i * 3 + 1);
}

TEST(BitmapTest, LayoutsStrideResolutionAndImpossibleSizes) {
    const uint8_t rows[2][152] = {{1, 2, 3}, {4, 5, 6}};
    PLWinBmp win;
    PLAnyBmp any;
    win.Create(150, 2, PLPixelDesc::L8, &rows[0][0], 152, {300, 200});
    any.Create(150, 2, PLPixelDesc::L8);
    EXPECT_EQ(std::pair(win.GetRowStride(), any.GetRowStride()), std::pair(152, 150));
    // The Windows layout keeps its top line last in memory, like a BMP file.
    EXPECT_EQ(std::tuple(win.GetLine(1), win.GetLine(0), any.GetLine(0)),
              std::tuple(win.GetPixels(), win.GetPixels() + 152, any.GetPixels()));
    EXPECT_EQ(std::tuple(win.GetLine(0)[2], win.GetLine(1)[0], win.GetResolution()),
              std::tuple(3, 4, PLPoint{300, 200}));

    // Impossible sizes are refused and leave the bitmap usable, at its default size.
    PLWinBmp bitmap;
    for (const PLPoint size : {PLPoint{-1, 5}, PLPoint{5, -1}, PLPoint{70000, 70000}}) {
        EXPECT_EQ(Thrown([&] { bitmap.Create(size.x, size.y, PLPixelDesc::A8R8G8B8); }).first,
                  kPLErrBadSize);
    }
    EXPECT_EQ(bitmap.GetSize(), (PLPoint{16, 16}));
}

TEST(BitmapTest, CopyWithFormatExpandsPaletteIndicesAndRefusesLosingDepth) {
    PLAnyBmp grey;
    Fill(grey, 3, 2);
    PLWinBmp colour;
    colour.CopyWithFormat(grey, PLPixelDesc::X8R8G8B8);
    const uint8_t v = grey.GetLine(1)[2];
    EXPECT_EQ(std::vector<uint8_t>(colour.GetLine(1) + 8, colour.GetLine(1) + 12),
              (std::vector<uint8_t>{v, v, v, 255}));
    EXPECT_THROW(grey.CopyWithFormat(colour, PLPixelDesc::L8), PLTextException);

    colour.CopyWithFormat(colour, PLPixelDesc::A8R8G8B8);  // onto itself, relabelled
    EXPECT_EQ(std::tuple(colour.GetPixelFormat(), colour.GetLine(1)[8]),
              std::tuple(PLPixelDesc::A8R8G8B8, v));
}

TEST(FilterTest, RotationsTurnMirrorAndInvertUndoThemselvesAndCropKeepsTheRectangle) {
    for (const PLPixelDesc* format : {&PLPixelDesc::L8, &PLPixelDesc::X8R8G8B8}) {
        PLAnyBmp source;
        Fill(source, 3, 2, *format);
        const size_t n = source.GetBitsPerPixel() / 8;
        const auto at = [n](const PLBmp& b, int32_t x, int32_t y) {
            return std::vector<uint8_t>(b.GetLine(y) + x * n, b.GetLine(y) + (x + 1) * n);
        };
        PLWinBmp turned;
        PLFilterRotate(PLFilterRotate::k90).Apply(source, turned);
        ASSERT_EQ(turned.GetSize(), (PLPoint{2, 3}));
        EXPECT_EQ(at(turned, 0, 0), at(source, 0, 1));
        EXPECT_EQ(at(turned, 1, 2), at(source, 2, 0));
        PLFilterRotate(PLFilterRotate::k270).Apply(source, turned);
        EXPECT_EQ(at(turned, 0, 0), at(source, 2, 0));
        EXPECT_EQ(at(turned, 1, 2), at(source, 0, 1));
        PLFilterRotate(PLFilterRotate::k180).Apply(source, turned);
        ASSERT_EQ(turned.GetSize(), (PLPoint{3, 2}));
        EXPECT_EQ(at(turned, 0, 0), at(source, 2, 1));

        // Mirror and invert undo themselves and keep the palette.
        PLWinBmp bitmap;
        Fill(bitmap, 5, 3, *format);
        const std::vector<uint8_t> original = Pixels(bitmap);
        bitmap.RunFilter(PLFilterMirror());
        EXPECT_TRUE(std::equal(bitmap.GetLine(0), bitmap.GetLine(0) + n, original.begin() + 4 * n));
        bitmap.RunFilter(PLFilterMirror());
        EXPECT_EQ(Pixels(bitmap), original);
        bitmap.RunFilter(PLFilterInvert());
        EXPECT_EQ(bitmap.GetLine(0)[0], static_cast<uint8_t>(255 - original[0]));
        if (format->HasPalette()) {
            EXPECT_EQ(bitmap.GetPalette()[7], (PLPixel32{7, 7, 7, 255}));
            bitmap.RunFilter(PLFilterInvert());
            EXPECT_EQ(Pixels(bitmap), original);
        }
    }

    // Crop keeps the rectangle and refuses one outside.
    PLWinBmp bitmap;
    Fill(bitmap, 6, 5);
    const uint8_t first = bitmap.GetLine(1)[2];
    const uint8_t last = bitmap.GetLine(3)[4];
    bitmap.RunFilter(PLFilterCrop(2, 1, 5, 4));
    ASSERT_EQ(bitmap.GetSize(), (PLPoint{3, 3}));
    EXPECT_EQ(std::pair(bitmap.GetLine(0)[0], bitmap.GetLine(2)[2]), std::pair(first, last));
    EXPECT_THROW(bitmap.RunFilter(PLFilterCrop(0, 0, 4, 3)), PLTextException);
}

TEST(FilterTest, GrayscaleWeighsTheChannelsAndKeepsGreyValues) {
    PLAnyBmp pixels;
    pixels.Create(259, 1, PLPixelDesc::X8R8G8B8);
    for (int v = 0; v < 256; ++v) std::memset(pixels.GetLine(0) + 4 * v, v, 3);
    uint8_t* primaries = pixels.GetLine(0) + 4 * 256;
    primaries[2] = primaries[4 + 1] = primaries[8] = 255;  // red, green, blue
    pixels.RunFilter(PLFilterGrayscale());
    ASSERT_EQ(pixels.GetPixelFormat(), PLPixelDesc::L8);
    for (int v = 0; v < 256; ++v) ASSERT_EQ(pixels.GetLine(0)[v], v);
    EXPECT_EQ(std::vector(pixels.GetLine(0) + 256, pixels.GetLine(0) + 259),
              (std::vector<uint8_t>{54, 182, 18}));
}

}  // namespace
