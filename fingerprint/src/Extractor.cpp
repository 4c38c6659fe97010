#include "fp/Extractor.h"

#include <algorithm>
#include <cmath>
#include <utility>

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

// The block rows of the field that a grid row of `cell` pixels covers; with
// bottomUp the grid counts rows from the bottom of the picture.
std::pair<int, int> BlockRows(int row, int cell, int height, bool bottomUp) {
    const int top = row * cell, bottom = std::min(top + cell, height);
    if (bottomUp) return {(height - bottom) / kBlock, (height - 1 - top) / kBlock};
    return {top / kBlock, (bottom - 1) / kBlock};
}

ForegroundMask MaskOf(const BlockField& field, int width, int height, bool bottomUp) {
    constexpr int kCell = 16, kPer = kCell / kBlock;
    ForegroundMask mask;
    mask.cell = kCell;
    mask.columns = static_cast<std::uint16_t>((width + kCell - 1) / kCell);
    mask.rows = static_cast<std::uint16_t>((height + kCell - 1) / kCell);
    mask.bits.assign(static_cast<std::size_t>(mask.columns) * mask.rows, 0);
    for (int r = 0; r < mask.rows; ++r) {
        const auto [first, last] = BlockRows(r, kCell, height, bottomUp);
        for (int br = first; br <= last; ++br)
            for (int c = 0; c < field.columns; ++c)
                if (field.inMask(c, br))
                    mask.bits[static_cast<std::size_t>(r) * mask.columns + c / kPer] = 1;
    }
    return mask;
}

OrientationGrid OrientationOf(const BlockField& field, int width, int height, bool bottomUp) {
    // Coarser cells for large images keep the template small.
    const int cell = std::max(width, height) > 1024 ? 32 : 16;
    const int per = cell / kBlock;
    OrientationGrid o;
    o.cell = static_cast<std::uint8_t>(cell);
    o.columns = static_cast<std::uint16_t>((width + cell - 1) / cell);
    o.rows = static_cast<std::uint16_t>((height + cell - 1) / cell);
    o.angles.assign(static_cast<std::size_t>(o.columns) * o.rows, OrientationGrid::kNone);
    for (int r = 0; r < o.rows; ++r) {
        const auto [first, last] = BlockRows(r, cell, height, bottomUp);
        for (int c = 0; c < o.columns; ++c) {
            float c2 = 0, s2 = 0;
            int n = 0;
            for (int br = first; br <= last; ++br)
                for (int dc = 0; dc < per; ++dc) {
                    if (!field.inMask(c * per + dc, br)) continue;
                    const std::size_t i = field.index(c * per + dc, br);
                    c2 += field.cos2[i], s2 += field.sin2[i], ++n;
                }
            if (n == 0) continue;
            // Mirroring the rows turns an angle theta into pi - theta.
            float theta = 0.5f * std::atan2(bottomUp ? -s2 : s2, c2);
            if (theta < 0) theta += detail::kPi;
            o.angles[static_cast<std::size_t>(r) * o.columns + c] =
                static_cast<std::uint8_t>(static_cast<int>(theta / detail::kPi * 255) % 255);
        }
    }
    return o;
}

// Minutiae and singular points as seen with the rows in the opposite order:
// y from the other end, angles turned the other way.
void MirrorRows(Features& f) {
    const int last = f.height - 1;
    for (Minutia& m : f.minutiae) {
        m.y = static_cast<std::uint16_t>(last - m.y);
        m.direction = static_cast<std::uint8_t>(256 - m.direction);
    }
    for (SingularPoint& s : f.singularPoints) {
        s.y = static_cast<std::uint16_t>(last - s.y);
        s.direction = static_cast<std::uint8_t>(256 - s.direction);
    }
}

// Bilinear, sampled at the centres of the new pixels. Ridges stay well below
// the sampling limit at the scales used here, so no prefilter is needed.
detail::FloatImage Resample(const detail::FloatImage& src, float scale) {
    const int w = static_cast<int>(std::lround(src.width * scale));
    const int h = static_cast<int>(std::lround(src.height * scale));
    const float sx = static_cast<float>(src.width) / w, sy = static_cast<float>(src.height) / h;
    detail::FloatImage out(w, h);
    for (int y = 0; y < h; ++y) {
        const float fy = std::clamp((y + 0.5f) * sy - 0.5f, 0.f, src.height - 1.f);
        const int y0 = static_cast<int>(fy), y1 = std::min(y0 + 1, src.height - 1);
        const float ay = fy - y0;
        for (int x = 0; x < w; ++x) {
            const float fx = std::clamp((x + 0.5f) * sx - 0.5f, 0.f, src.width - 1.f);
            const int x0 = static_cast<int>(fx), x1 = std::min(x0 + 1, src.width - 1);
            const float ax = fx - x0;
            out.at(x, y) = (1 - ay) * ((1 - ax) * src.at(x0, y0) + ax * src.at(x1, y0)) +
                           ay * ((1 - ax) * src.at(x0, y1) + ax * src.at(x1, y1));
        }
    }
    return out;
}

// Scale that brings a print to 500 dpi. The declared resolution is not always
// the true one, so the print's own ridge period corrects it; periods within
// the usual spread of fingers are left alone, since fingers differ too.
float NormalisingScale(float typicalPeriod, int resolution) {
    const float declared = 500.f / static_cast<float>(resolution);
    if (typicalPeriod <= 0) return declared;
    // Fingers at 500 dpi measure about 8 to 10 pixels. Wide prints are pulled in
    // further than narrow ones are pushed out: enlarging adds no detail.
    constexpr float kWidest = 10.f, kNarrowest = 7.f;
    const float period = typicalPeriod * declared;
    const float fix = period > kWidest      ? kWidest / period
                      : period < kNarrowest ? kNarrowest / period
                                            : 1.f;
    return declared * std::clamp(fix, 0.75f, 1.25f);
}

// Fewer minutiae than the SDK asks of a template.
constexpr std::size_t kFewMinutiae = 15;

}  // namespace

ExtractStatus Extract(const ImageView& image, const ExtractorSettings& settings, Features& out) {
    using namespace detail;
    if (image.pixels == nullptr || image.stride < image.width) return ExtractStatus::BadArgument;
    if (image.width < kMinImageSide || image.height < kMinImageSide ||
        image.width > kMaxImageSide || image.height > kMaxImageSide)
        return ExtractStatus::BadSize;
    if (settings.resolution < kMinResolution || settings.resolution > kMaxResolution)
        return ExtractStatus::BadResolution;

    FloatImage img(image.width, image.height);
    for (int y = 0; y < image.height; ++y) {
        const int stored = image.bottomUp ? image.height - 1 - y : y;
        const std::uint8_t* row = image.pixels + static_cast<std::size_t>(stored) * image.stride;
        for (int x = 0; x < image.width; ++x) img.at(x, y) = row[x];
    }
    BlockField field = ComputeField(img);
    // The result stays within the sizes accepted, which also bounds the memory.
    const float scale =
        std::min(NormalisingScale(field.typicalPeriod, settings.resolution),
                 static_cast<float>(kMaxImageSide) / std::max(image.width, image.height));
    // Below a few percent the matcher's tolerances absorb the difference.
    if (std::fabs(scale - 1.f) > 0.02f &&
        std::min(image.width, image.height) * scale >= kMinImageSide) {
        img = Resample(img, scale);
        field = ComputeField(img);
    }
    const auto foreground = std::count(field.mask.begin(), field.mask.end(), 1);
    if (foreground < 24) return ExtractStatus::NoFingerprint;  // less than about 40 x 40 pixels

    const Enhancement usual;
    ByteImage ridges = Binarise(img, field, settings.enhance ? &usual : nullptr);
    ByteImage skeleton = ridges;
    Thin(skeleton);
    std::vector<Minutia> reserve;
    std::vector<Minutia> minutiae = FindMinutiae(skeleton, ridges, field, settings, &reserve);
    // A print this poor may have had its detail smoothed away with the breaks
    // (dry prints with little area): filters that keep more detail may find more.
    if (settings.enhance && minutiae.size() < kFewMinutiae) {
        const Enhancement sharp{2.f, 0.4f};
        ridges = Binarise(img, field, &sharp);
        skeleton = ridges;
        Thin(skeleton);
        std::vector<Minutia> moreReserve;
        std::vector<Minutia> more = FindMinutiae(skeleton, ridges, field, settings, &moreReserve);
        if (more.size() > minutiae.size()) minutiae.swap(more), reserve.swap(moreReserve);
    }
    // Still too few for a template: the doubtful ones fill up to the minimum,
    // at the lowest ranks, rather than leave a finger without a template.
    const std::size_t limit = static_cast<std::size_t>(std::clamp(settings.maxMinutiae, 0, 255));
    for (std::size_t i = 0; i < reserve.size() && minutiae.size() < std::min(kFewMinutiae, limit);
         ++i)
        minutiae.push_back(reserve[i]);

    Features f;
    f.width = static_cast<std::uint16_t>(img.width);
    f.height = static_cast<std::uint16_t>(img.height);
    f.resolution = 500;
    f.minutiae = std::move(minutiae);
    f.singularPoints = FindSingularPoints(field, settings);
    if (settings.fullTemplate) {
        f.mask = MaskOf(field, img.width, img.height, image.bottomUp);
        f.orientation = OrientationOf(field, img.width, img.height, image.bottomUp);
    }
    CountNeighbourRidges(ridges, field, f);
    if (image.bottomUp) MirrorRows(f);
    out = std::move(f);
    return ExtractStatus::Ok;
}

}  // namespace fp
