// Minutiae extraction from 8-bit grey fingerprint images.
#pragma once

#include <cstdint>

#include "fp/Features.h"

namespace fp {

inline constexpr int kMinImageSide = 64;
inline constexpr int kMaxImageSide = 2048;
// Declared resolutions accepted; features always come out as if at 500 dpi.
inline constexpr int kMinResolution = 300;
inline constexpr int kMaxResolution = 1000;

struct ImageView {
    const std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes from one row to the next, at least width
    // The first row in memory is the bottom of the picture (BMP order, as the
    // SDK passes images). The print is still read upright, and the features
    // are then mirrored so that y counts from the first row in memory.
    bool bottomUp = false;
};

struct ExtractorSettings {
    bool enhance = true;         // contextual filtering before binarisation
    int minMinutiaQuality = 10;  // minutiae below this quality (0..100) are dropped
    int maxMinutiae = 120;       // the best this many are kept (at most 255)
    bool fullTemplate = true;    // foreground mask and orientation grid in the template
    bool singularPoints = true;  // cores and deltas
    int maxCores = 2;
    int maxDeltas = 2;
    int maxDoubleCores = 1;
    int resolution = 500;  // dots per inch of the image, as the sensor declares it
};

enum class ExtractStatus {
    Ok = 0,
    BadArgument,    // null pixels or a stride shorter than a row
    BadSize,        // a side outside kMinImageSide..kMaxImageSide
    BadResolution,  // outside kMinResolution..kMaxResolution
    NoFingerprint,  // no foreground with ridges was found
};

const char* ToString(ExtractStatus status);

// Finds the minutiae of one image. The image is first brought to 500 dpi: by
// the declared resolution, and when the print's ridges are wider than those
// of any finger at 500 dpi, by its own ridge period (the declared resolution
// of some sensors is not their true one). Coordinates, width and height of
// `out` are those of the image so rescaled, and its resolution is 500.
// Thread-safe: keeps no state between calls.
ExtractStatus Extract(const ImageView& image, const ExtractorSettings& settings, Features& out);

}  // namespace fp
