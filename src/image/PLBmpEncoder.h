#pragma once

#include "image/PLObject.h"

class PLBmp;
class PLDataSink;

// Writes a bitmap as a BMP file: paletted formats as they are, deeper ones as
// 24 bits per pixel. The resolution fields carry the bitmap's resolution in
// pixels per metre.
class PLBmpEncoder : public PLObject {
public:
    static constexpr float kInchesPerMetre = 39.37f;

    // Writes from the sink's current position (0 for a fresh sink); throws
    // code 11 when the sink is too small.
    void EncodeToSink(const PLBmp& bitmap, PLDataSink& sink) const;
};
