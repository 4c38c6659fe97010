#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/CallContext.h"
#include "devicemanager/DevicesManager.h"
#include "image/PictureGeometry.h"
#include "support/BmpFile.h"

using kvt_test::Get32;

namespace {

// The picture sizes by their value. Their widths, heights and file sizes are
// checked through the library's interface (CaptureTest).
const char* const kSizes[] = {"ROI", "Half", "Full"};

uint8_t RawValue(int32_t row, int32_t column) {
    return static_cast<uint8_t>(row * 3 + column * 7 + row * column);
}

// Frame 1, then frame 2 with every value inverted: only frame 1 may show.
std::vector<uint8_t> RawFrames(uint32_t pictureSize) {
    const PictureGeometry& g = kPictureGeometry[pictureSize];
    const size_t frame = static_cast<size_t>(g.rawWidth) * g.rawHeight;
    std::vector<uint8_t> raw(2 * frame);
    for (size_t i = 0; i < raw.size(); ++i) {
        const auto pixel = static_cast<int32_t>(i % frame);
        raw[i] = RawValue(pixel / g.rawWidth, pixel % g.rawWidth) ^ (i < frame ? 0 : 0xFF);
    }
    return raw;
}

CProperties Properties(const char* size, const char* mode = "Stamp",
                       const char* inverted = "false") {
    CProperties properties;
    EXPECT_TRUE(properties.SetProperty("PictureSize", size) &&
                properties.SetProperty("ImageMode", mode) &&
                properties.SetProperty("Inverted", inverted));
    return properties;
}

std::vector<uint8_t> SyncFile(const std::vector<uint8_t>& raw, const CProperties& properties) {
    CCallContext context;
    kvt__CapturedData data;
    CDevicesManager::CopyImageToBase64Binary(raw.data(), &context, properties, &data.image);
    return {data.image.ptr, data.image.ptr + data.image.size};
}

std::vector<uint8_t> MessageFile(const std::vector<uint8_t>& raw, const CProperties& properties) {
    QueuedMessage message;
    CDevicesManager::CopyImageToMessage(raw.data(), properties, message);
    return message.image;
}

// "Stamp": picture (row r, column c) is raw (row yo + c, column xo + r), so for
// ROI picture (0, 0) is raw (32, 12), (0, 255) is raw (287, 12) and (359, 0)
// is raw (32, 371). "Photo" mirrors the columns: (0, 0) is raw (287, 12).
TEST(MakeupTest, EveryPixelOfEverySizeAndModeOnBothPathsFromTheFirstFrameOnly) {
    for (uint32_t size = 0; size < 3; ++size) {
        const PictureGeometry& g = kPictureGeometry[size];
        const int32_t width = g.rawHeight - 2 * g.cropRows, height = g.rawWidth - 2 * g.cropColumns;
        for (const char* mode : {"Stamp", "Photo"}) {
            for (const char* inverted : {"false", "true"}) {
                const CProperties properties = Properties(kSizes[size], mode, inverted);
                const std::vector<uint8_t> file = MessageFile(RawFrames(size), properties);
                SCOPED_TRACE(std::string(kSizes[size]) + " " + mode + " inverted " + inverted);
                // Only the synchronous path's files state a resolution: 500 dots per inch.
                std::vector<uint8_t> sync = SyncFile(RawFrames(size), properties);
                EXPECT_EQ(std::pair(Get32(sync, 38), Get32(sync, 42)), std::pair(19685u, 19685u));
                std::fill_n(sync.begin() + 38, 8, 0);
                EXPECT_EQ(sync, file);
                ASSERT_EQ(file.size(), 1078u + static_cast<size_t>(height) * ((width + 3) & ~3));
                // Pixel offset, header size, width, height, planes and bits; image size,
                // resolution and colour counts are 0. The rows need no padding.
                std::vector<uint32_t> header;
                for (size_t at : {10, 14, 18, 22, 26, 34, 38, 42, 46, 50})
                    header.push_back(Get32(file, at));
                EXPECT_EQ(header, (std::vector<uint32_t>{1078, 40, static_cast<uint32_t>(width),
                                                         static_cast<uint32_t>(height), 1 | 8 << 16,
                                                         0, 0, 0, 0, 0}));
                const bool photo = mode[0] == 'P';
                int wrong = 0;
                for (uint32_t i = 0; i < 256; ++i)  // the grey ramp, inverted or not
                    wrong += Get32(file, 54 + 4 * i) != (i * 0x010101u | 0xFF000000u);
                for (int32_t r = 0; r < height; ++r) {
                    for (int32_t col = 0; col < width; ++col) {
                        const int32_t rawRow = g.cropRows + (photo ? width - 1 - col : col);
                        uint8_t expected = RawValue(rawRow, g.cropColumns + r);
                        if (inverted[0] == 't') expected = static_cast<uint8_t>(255 - expected);
                        wrong += file[1078 + static_cast<size_t>(height - 1 - r) * width + col] !=
                                 expected;
                    }
                }
                EXPECT_EQ(wrong, 0);
            }
        }
    }

    // No frame leaves the targets alone.
    const CProperties properties = Properties("Half");
    CCallContext context;
    unsigned char held = 0;
    xsd__base64Binary target{&held, 1};
    CDevicesManager::CopyImageToBase64Binary(nullptr, &context, properties, &target);
    EXPECT_EQ(std::tuple(target.ptr, target.size), std::tuple(&held, 1));

    QueuedMessage message;
    message.image = {1, 2, 3};
    CDevicesManager::CopyImageToMessage(nullptr, properties, message);
    EXPECT_EQ(message.image, (std::vector<uint8_t>{1, 2, 3}));
}

}  // namespace
