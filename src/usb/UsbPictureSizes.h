#pragma once

#include <cstdint>

// The picture a USB sensor is asked for, per PictureSize property value: its
// size and where its window lies on the sensor (a negative origin reaches
// past the default window).
struct UsbPictureSize {
    uint16_t width;
    uint16_t height;
    int16_t columnOrigin;
    int16_t rowOrigin;
};

inline constexpr UsbPictureSize kUsbPictureSizes[] = {
    {384, 320, 0, 0},      // ROI
    {192, 160, 96, 80},    // Half
    {416, 332, -32, -12},  // Full
};

// Null for a value outside the table.
inline const UsbPictureSize* FindUsbPictureSize(uint32_t pictureSize) {
    constexpr uint32_t count = sizeof(kUsbPictureSizes) / sizeof(kUsbPictureSizes[0]);
    return pictureSize < count ? &kUsbPictureSizes[pictureSize] : nullptr;
}
