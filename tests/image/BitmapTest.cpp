#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "image/PLAnyBmp.h"
#include "image/PLFilter.h"
#include "image/PLTextException.h"
#include "image/PLWinBmp.h"

namespace {

// A picture whose every pixel differs from its neighbours in both directions.
void Fill(PLBmp& bitmap, int32_t w, int32_t h, const PLPixelDesc& format = PLPixelDesc::L8) {
    bitmap.Create(w, h, format);
    const size_t bytes = bitmap.GetBitsPerPixel() / 8;
    for (int32_t y = 0; y < h; ++y) {
        for (size_t i = 0; i < static_cast<size_t>(w) * bytes; ++i) {
            bitmap.GetLine(y)[i] = static_cast<uint8_t>(y * 40 + i * 3 + 1);
        }
    }
}

std::vector<uint8_t> Pixels(const PLBmp& bitmap) {
    std::vector<uint8_t> out;
    for (int32_t y = 0; y < bitmap.GetHeight(); ++y) {
        out.insert(out.end(), bitmap.GetLine(y), bitmap.GetLine(y) + bitmap.GetLineBytes());
    }
    return out;
}

TEST(BitmapTest, LayoutsStrideAndMemoryNeed) {
    PLWinBmp fresh;
    EXPECT_EQ(fresh.GetSize(), (PLPoint{16, 16}));
    EXPECT_EQ(fresh.GetPixelFormat(), PLPixelDesc::I8);

    PLWinBmp win;
    PLAnyBmp any;
    win.Create(150, 75, PLPixelDesc::L8);
    any.Create(150, 75, PLPixelDesc::L8);
    EXPECT_EQ(win.GetRowStride(), 152);
    EXPECT_EQ(any.GetRowStride(), 150);
    EXPECT_EQ(PLWinBmp::GetMemNeeded(256, 360, 8), 93238u);

    // The Windows layout keeps its top line last in memory, like a BMP file.
    EXPECT_EQ(win.GetLine(74), win.GetPixels());
    EXPECT_EQ(win.GetLine(0), win.GetPixels() + 74 * 152);
    EXPECT_EQ(any.GetLine(0), any.GetPixels());
}

TEST(BitmapTest, CreateCopiesInitialRowsAndSetsTheDefaultPalette) {
    const uint8_t rows[2][6] = {{1, 2, 3, 0, 0, 0}, {4, 5, 6, 0, 0, 0}};
    PLWinBmp bitmap;
    bitmap.Create(3, 2, PLPixelDesc::L8, &rows[0][0], 6, {300, 200});
    EXPECT_EQ(bitmap.GetLine(0)[2], 3);
    EXPECT_EQ(bitmap.GetLine(1)[0], 4);
    EXPECT_EQ(bitmap.GetResolution(), (PLPoint{300, 200}));
    for (int i = 0; i < 256; ++i) {
        const uint8_t v = static_cast<uint8_t>(i);
        ASSERT_EQ(bitmap.GetPalette()[i], (PLPixel32{v, v, v, 255}));
    }
}

TEST(BitmapTest, ImpossibleSizesAreRefusedAndTheBitmapStaysUsable) {
    PLWinBmp bitmap;
    for (const PLPoint size : {PLPoint{-1, 5}, PLPoint{5, -1}, PLPoint{70000, 70000}}) {
        try {
            bitmap.Create(size.x, size.y, PLPixelDesc::A8R8G8B8);
            ADD_FAILURE() << "created " << size.x << " x " << size.y;
        } catch (const PLTextException& e) {
            EXPECT_EQ(e.GetCode(), kPLErrBadSize);
        }
    }
    bitmap.Create(2, 2, PLPixelDesc::L8);
    EXPECT_EQ(bitmap.GetWidth(), 2);
}

TEST(BitmapTest, CopyWithFormatExpandsPaletteIndicesAndRefusesLosingDepth) {
    PLAnyBmp grey;
    Fill(grey, 3, 2);
    PLWinBmp colour;
    colour.CopyWithFormat(grey, PLPixelDesc::X8R8G8B8);
    ASSERT_EQ(colour.GetSize(), grey.GetSize());
    const uint8_t v = grey.GetLine(1)[2];
    EXPECT_EQ(0, std::memcmp(colour.GetLine(1) + 8, std::vector<uint8_t>{v, v, v, 255}.data(), 4));

    PLAnyBmp back;
    EXPECT_THROW(back.CopyWithFormat(colour, PLPixelDesc::L8), PLTextException);

    colour.CopyWithFormat(colour, PLPixelDesc::A8R8G8B8);  // onto itself, relabelled
    EXPECT_EQ(colour.GetPixelFormat(), PLPixelDesc::A8R8G8B8);
    EXPECT_EQ(colour.GetLine(1)[8], v);
}

TEST(FilterTest, CropKeepsTheRectangleAndRefusesOneOutside) {
    PLWinBmp bitmap;
    Fill(bitmap, 6, 5);
    const uint8_t corner = bitmap.GetLine(1)[2];
    const uint8_t last = bitmap.GetLine(3)[4];
    bitmap.RunFilter(PLFilterCrop(2, 1, 5, 4));
    ASSERT_EQ(bitmap.GetSize(), (PLPoint{3, 3}));
    EXPECT_EQ(bitmap.GetLine(0)[0], corner);
    EXPECT_EQ(bitmap.GetLine(2)[2], last);
    EXPECT_THROW(bitmap.RunFilter(PLFilterCrop(0, 0, 4, 3)), PLTextException);
}

TEST(FilterTest, RotationsMapPixelsAsQuarterAndHalfTurns) {
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
    }
}

TEST(FilterTest, QuarterTurnsUndoEachOther) {
    PLWinBmp bitmap;
    Fill(bitmap, 70, 45);
    PLAnyBmp original;
    original.CopyWithFormat(bitmap);
    for (int i = 0; i < 4; ++i) bitmap.RunFilter(PLFilterRotate(PLFilterRotate::k90));
    EXPECT_EQ(Pixels(bitmap), Pixels(original));
    bitmap.RunFilter(PLFilterRotate(PLFilterRotate::k90));
    bitmap.RunFilter(PLFilterRotate(PLFilterRotate::k270));
    EXPECT_EQ(Pixels(bitmap), Pixels(original));
}

TEST(FilterTest, MirrorAndInvertUndoThemselvesAndKeepThePalette) {
    for (const PLPixelDesc* format : {&PLPixelDesc::L8, &PLPixelDesc::X8R8G8B8}) {
        PLWinBmp bitmap;
        Fill(bitmap, 5, 3, *format);
        const std::vector<uint8_t> original = Pixels(bitmap);

        bitmap.RunFilter(PLFilterMirror());
        EXPECT_NE(Pixels(bitmap), original);
        bitmap.RunFilter(PLFilterMirror());
        EXPECT_EQ(Pixels(bitmap), original);

        bitmap.RunFilter(PLFilterInvert());
        EXPECT_EQ(bitmap.GetLine(0)[0], static_cast<uint8_t>(255 - original[0]));
        if (bitmap.GetPalette() != nullptr) {
            EXPECT_EQ(bitmap.GetPalette()[7], (PLPixel32{7, 7, 7, 255}));
        }
    }
    PLWinBmp grey;
    Fill(grey, 5, 3);
    const std::vector<uint8_t> original = Pixels(grey);
    grey.RunFilter(PLFilterInvert());
    grey.RunFilter(PLFilterInvert());
    EXPECT_EQ(Pixels(grey), original);
}

TEST(FilterTest, GrayscaleGivesTheGreyValueOfEveryGreyPixel) {
    PLAnyBmp ramp;
    ramp.Create(256, 1, PLPixelDesc::X8R8G8B8);
    for (int v = 0; v < 256; ++v) std::memset(ramp.GetLine(0) + 4 * v, v, 3);
    ramp.RunFilter(PLFilterGrayscale());
    ASSERT_EQ(ramp.GetPixelFormat(), PLPixelDesc::L8);
    for (int v = 0; v < 256; ++v) ASSERT_EQ(ramp.GetLine(0)[v], v);

    // Pure colours weigh as the luminance of sRGB primaries.
    PLAnyBmp colours;
    colours.Create(3, 1, PLPixelDesc::X8R8G8B8);
    colours.GetLine(0)[2] = 255;  // red
    colours.GetLine(0)[5] = 255;  // green
    colours.GetLine(0)[8] = 255;  // blue
    colours.RunFilter(PLFilterGrayscale());
    EXPECT_EQ(colours.GetLine(0)[0], 54);
    EXPECT_EQ(colours.GetLine(0)[1], 182);
    EXPECT_EQ(colours.GetLine(0)[2], 18);
}

}  // namespace
