#pragma once

#include <array>
#include <cstdint>

// The raw frame of each PictureSize value ("ROI" 0, "Half" 1, "Full" 2): its
// size, the margins make-up cuts away (yo rows at top and bottom, xo columns
// left and right) and the shift the device adds to the sensor's window origin.
struct PictureGeometry {
    int32_t rawWidth;
    int32_t rawHeight;
    int32_t cropRows;
    int32_t cropColumns;
    int32_t windowShiftX;
    int32_t windowShiftY;
};

inline constexpr std::array<PictureGeometry, 3> kPictureGeometry{{
    {384, 320, 32, 12, 0, 0},
    {192, 160, 16, 8, 96, 80},
    {416, 332, 0, 0, -32, -12},
}};

// Make-up copies a raw frame into a bitmap in one block; that needs rows
// without padding.
static_assert([] {
    for (const PictureGeometry& g : kPictureGeometry) {
        if (g.rawWidth % 4 != 0) return false;
    }
    return true;
}());

// Throws std::out_of_range for a value the property store would not accept.
inline const PictureGeometry& PictureGeometryFor(uint32_t pictureSize) {
    return kPictureGeometry.at(pictureSize);
}

// Null for a value outside the table; for callers that check rather than throw.
inline const PictureGeometry* FindPictureGeometry(uint32_t pictureSize) {
    return pictureSize < kPictureGeometry.size() ? &kPictureGeometry[pictureSize] : nullptr;
}
