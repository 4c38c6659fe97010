// The PNG writer used where libpng is missing, read back by libpng.
#include <gtest/gtest.h>
#include <png.h>

#include <cstdint>
#include <vector>

#include "GreyImage.h"

namespace {

GreyImage Pattern(int width, int height) {
    GreyImage image{width, height, {}};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.pixels.push_back(static_cast<uint8_t>((x * 7 + y * 13) ^ (x * y)));
    return image;
}

std::vector<uint8_t> DecodeWithLibpng(const std::vector<uint8_t>& bytes, int& width, int& height) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size())) {
        ADD_FAILURE() << png.message;
        return {};
    }
    png.format = PNG_FORMAT_GRAY;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr)) {
        ADD_FAILURE() << png.message;
        return {};
    }
    width = static_cast<int>(png.width);
    height = static_cast<int>(png.height);
    return pixels;
}

TEST(StoredPng, LibpngReadsBackEveryPixel) {
    // A sensor picture spans several stored blocks; 1 x 1 and a single row fit in one.
    for (const auto& [width, height] : {std::pair{332, 416}, {1, 1}, {700, 1}, {1, 300}}) {
        const GreyImage image = Pattern(width, height);
        int decodedWidth = 0, decodedHeight = 0;
        const std::vector<uint8_t> pixels =
            DecodeWithLibpng(EncodeStoredPng(image), decodedWidth, decodedHeight);
        EXPECT_EQ(decodedWidth, width);
        EXPECT_EQ(decodedHeight, height);
        EXPECT_EQ(pixels, image.pixels) << width << " x " << height;
    }
}

}  // namespace
