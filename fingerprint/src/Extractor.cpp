#include "fp/Extractor.h"

#include <algorithm>
#include <cmath>

#include "Internal.h"

namespace fp {

const char* ToString(ExtractStatus status) {
    switch (status) {
        case ExtractStatus::Ok:
            return "ok";
        case ExtractStatus::BadArgument:
            return "no pixels, or a row stride shorter than the width";
        case ExtractStatus::BadSize:
            return "image side outside the supported range";
        case ExtractStatus::BadResolution:
            return "unsupported image resolution";
        case ExtractStatus::NoFingerprint:
            return "no fingerprint found in the image";
    }
    return "unknown extraction status";
}

namespace {

using detail::BlockField;
using detail::kBlock;

ForegroundMask MaskOf(const BlockField& field, int width, int height) {
    constexpr int kCell = 16, kPer = kCell / kBlock;
    ForegroundMask mask;
    mask.cell = kCell;
    mask.columns = static_cast<std::uint16_t>((width + kCell - 1) / kCell);
    mask.rows = static_cast<std::uint16_t>((height + kCell - 1) / kCell);
    mask.bits.assign(static_cast<std::size_t>(mask.columns) * mask.rows, 0);
    for (int r = 0; r < field.rows; ++r)
        for (int c = 0; c < field.columns; ++c)
            if (field.mask[field.index(c, r)])
                mask.bits[static_cast<std::size_t>(r / kPer) * mask.columns + c / kPer] = 1;
    return mask;
}

OrientationGrid OrientationOf(const BlockField& field, int width, int height) {
    // Coarser cells for large images keep the template small.
    const int cell = std::max(width, height) > 1024 ? 32 : 16;
    const int per = cell / kBlock;
    OrientationGrid o;
    o.cell = static_cast<std::uint8_t>(cell);
    o.columns = static_cast<std::uint16_t>((width + cell - 1) / cell);
    o.rows = static_cast<std::uint16_t>((height + cell - 1) / cell);
    o.angles.assign(static_cast<std::size_t>(o.columns) * o.rows, OrientationGrid::kNone);
    for (int r = 0; r < o.rows; ++r)
        for (int c = 0; c < o.columns; ++c) {
            float c2 = 0, s2 = 0;
            int n = 0;
            for (int dr = 0; dr < per; ++dr)
                for (int dc = 0; dc < per; ++dc) {
                    if (!field.inMask(c * per + dc, r * per + dr)) continue;
                    const std::size_t i = field.index(c * per + dc, r * per + dr);
                    c2 += field.cos2[i], s2 += field.sin2[i], ++n;
                }
            if (n == 0) continue;
            float theta = 0.5f * std::atan2(s2, c2);
            if (theta < 0) theta += detail::kPi;
            o.angles[static_cast<std::size_t>(r) * o.columns + c] =
                static_cast<std::uint8_t>(static_cast<int>(theta / detail::kPi * 255) % 255);
        }
    return o;
}

}  // namespace

ExtractStatus Extract(const ImageView& image, const ExtractorSettings& settings, Features& out) {
    using namespace detail;
    if (image.pixels == nullptr || image.stride < image.width) return ExtractStatus::BadArgument;
    if (image.width < kMinImageSide || image.height < kMinImageSide ||
        image.width > kMaxImageSide || image.height > kMaxImageSide)
        return ExtractStatus::BadSize;
    // Ridge periods and all tolerances assume about 500 dpi.
    if (settings.resolution < 450 || settings.resolution > 550) return ExtractStatus::BadResolution;

    FloatImage img(image.width, image.height);
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t* row = image.pixels + static_cast<std::size_t>(y) * image.stride;
        for (int x = 0; x < image.width; ++x) img.at(x, y) = row[x];
    }
    const BlockField field = ComputeField(img);
    const auto foreground = std::count(field.mask.begin(), field.mask.end(), 1);
    if (foreground < 24) return ExtractStatus::NoFingerprint;  // less than about 40 x 40 pixels

    const ByteImage ridges = Binarise(img, field, settings.enhance);
    ByteImage skeleton = ridges;
    Thin(skeleton);

    Features f;
    f.width = static_cast<std::uint16_t>(image.width);
    f.height = static_cast<std::uint16_t>(image.height);
    f.resolution = static_cast<std::uint16_t>(settings.resolution);
    f.minutiae = FindMinutiae(skeleton, ridges, field, settings);
    f.singularPoints = FindSingularPoints(field, settings);
    if (settings.fullTemplate) {
        f.mask = MaskOf(field, image.width, image.height);
        f.orientation = OrientationOf(field, image.width, image.height);
    }
    out = std::move(f);
    return ExtractStatus::Ok;
}

}  // namespace fp
