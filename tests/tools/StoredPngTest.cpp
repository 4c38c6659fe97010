// The PNG writer used where libpng is missing, read back by libpng.
#include <gtest/gtest.h>
#include <png.h>

#include <cstdint>
#include <tuple>
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

// Width, height and pixels as libpng reads them.
std::tuple<int, int, std::vector<uint8_t>> DecodeWithLibpng(const std::vector<uint8_t>& bytes) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_memory(&png, bytes.data(), bytes.size())) {
        png.format = PNG_FORMAT_GRAY;
        std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(png));
        if (png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr))
            return {static_cast<int>(png.width), static_cast<int>(png.height), pixels};
    }
    ADD_FAILURE() << png.message;
    return {};
}

TEST(StoredPng, LibpngReadsBackEveryPixel) {
    // A sensor picture spans several stored blocks; 1 x 1 and a single row fit in one.
    for (const auto& [width, height] : {std::pair{332, 416}, {1, 1}, {700, 1}, {1, 300}}) {
        const GreyImage image = Pattern(width, height);
        EXPECT_EQ(DecodeWithLibpng(EncodeStoredPng(image)), std::tuple(width, height, image.pixels))
            << width << " x " << height;
    }
}

}  // namespace
