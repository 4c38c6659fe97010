#pragma once

#include <cstdint>

#include "image/PLBmp.h"
#include "image/PLObject.h"

// A picture operation. Apply writes the result into a separate bitmap;
// FilterInPlace runs it through a temporary so the bitmap keeps its layout
// (a PLWinBmp stays Windows-layout) and takes the result's size and format.
class PLFilter : public PLObject {
public:
    virtual void FilterInPlace(PLBmp& bitmap) const;
    virtual void Apply(const PLBmp& source, PLBmp& destination) const = 0;
};

// Keeps [left, right) x [top, bottom); the rectangle must lie in the picture.
class PLFilterCrop : public PLFilter {
public:
    PLFilterCrop(int32_t left, int32_t top, int32_t right, int32_t bottom)
        : m_left(left), m_top(top), m_right(right), m_bottom(bottom) {}
    void Apply(const PLBmp& source, PLBmp& destination) const override;

private:
    int32_t m_left;
    int32_t m_top;
    int32_t m_right;
    int32_t m_bottom;
};

class PLFilterRotate : public PLFilter {
public:
    enum Angle : int32_t { k90 = 0, k180 = 1, k270 = 2 };

    explicit PLFilterRotate(Angle angle) : m_angle(angle) {}
    void Apply(const PLBmp& source, PLBmp& destination) const override;

private:
    Angle m_angle;
};

// Left to right.
class PLFilterMirror : public PLFilter {
public:
    void Apply(const PLBmp& source, PLBmp& destination) const override;
};

// Complements the colour bytes; a paletted picture keeps its palette, so on a
// grey picture the indices are inverted and the palette stays the ramp.
class PLFilterInvert : public PLFilter {
public:
    void Apply(const PLBmp& source, PLBmp& destination) const override;
};

// To "L8" by luminance; a grey source is copied as it is.
class PLFilterGrayscale : public PLFilter {
public:
    void Apply(const PLBmp& source, PLBmp& destination) const override;
};
