#include "image/PLFilter.h"

#include <cstring>

#include "image/PLAnyBmp.h"
#include "image/PLTextException.h"

namespace {

// The per-pixel filters move whole pixels: one byte for the 8-bit formats,
// four for the 32-bit ones (the only depths the image path has).
template <typename Visit>
void WithPixelType(const PLBmp& bitmap, Visit visit) {
    switch (bitmap.GetBitsPerPixel()) {
        case 8:
            visit(uint8_t{});
            break;
        case 32:
            visit(PLPixel32{});
            break;
        default:
            throw PLTextException(kPLErrFormatNotSupported, "Filter: unsupported pixel depth.");
    }
}

template <typename Pixel>
const Pixel* LineOf(const PLBmp& bitmap, int32_t y) {
    return reinterpret_cast<const Pixel*>(bitmap.GetLine(y));
}

template <typename Pixel>
Pixel* LineOf(PLBmp& bitmap, int32_t y) {
    return reinterpret_cast<Pixel*>(bitmap.GetLine(y));
}

// Gives destination the size, format and palette of source, then fills each
// of its lines with map(source line, destination line, width).
template <typename Map>
void MapLines(const PLBmp& source, PLBmp& destination, Map map) {
    destination.CreateLike(source);
    destination.SetPalette(source.GetPalette());
    WithPixelType(source, [&](auto pixel) {
        using Pixel = decltype(pixel);
        for (int32_t y = 0; y < source.GetHeight(); ++y) {
            map(LineOf<Pixel>(source, y), LineOf<Pixel>(destination, y), source.GetWidth());
        }
    });
}

}  // namespace

void PLFilter::FilterInPlace(PLBmp& bitmap) const {
    PLAnyBmp result;
    Apply(bitmap, result);
    bitmap.CopyWithFormat(result);
}

void PLFilterCrop::Apply(const PLBmp& source, PLBmp& destination) const {
    if (m_left < 0 || m_top < 0 || m_left > m_right || m_top > m_bottom ||
        m_right > source.GetWidth() || m_bottom > source.GetHeight()) {
        throw PLTextException(kPLErrInternal, "Crop rectangle outside the bitmap.");
    }
    const int bits = source.GetBitsPerPixel();
    destination.Create(m_right - m_left, m_bottom - m_top, source.GetPixelFormat(), nullptr, 0,
                       source.GetResolution());
    destination.SetPalette(source.GetPalette());
    const size_t offset = PLBmp::LineBytes(m_left, bits);
    const size_t bytes = destination.GetLineBytes();
    for (int32_t y = m_top; y < m_bottom; ++y) {
        std::memcpy(destination.GetLine(y - m_top), source.GetLine(y) + offset, bytes);
    }
}

void PLFilterRotate::Apply(const PLBmp& source, PLBmp& destination) const {
    const int32_t w = source.GetWidth();
    const int32_t h = source.GetHeight();
    const bool quarterTurn = m_angle == k90 || m_angle == k270;
    if (!quarterTurn && m_angle != k180) {
        throw PLTextException(kPLErrInternal, "Unknown rotation angle.");
    }
    // The destination keeps its default palette.
    destination.Create(quarterTurn ? h : w, quarterTurn ? w : h, source.GetPixelFormat(), nullptr,
                       0, source.GetResolution());
    WithPixelType(source, [&](auto pixel) {
        using Pixel = decltype(pixel);
        const int32_t dw = destination.GetWidth();
        const int32_t dh = destination.GetHeight();
        for (int32_t y = 0; y < dh; ++y) {
            Pixel* out = LineOf<Pixel>(destination, y);
            for (int32_t x = 0; x < dw; ++x) {
                switch (m_angle) {
                    case k90:
                        out[x] = LineOf<Pixel>(source, h - 1 - x)[y];
                        break;
                    case k180:
                        out[x] = LineOf<Pixel>(source, h - 1 - y)[w - 1 - x];
                        break;
                    case k270:
                        out[x] = LineOf<Pixel>(source, x)[w - 1 - y];
                        break;
                }
            }
        }
    });
}

void PLFilterMirror::Apply(const PLBmp& source, PLBmp& destination) const {
    MapLines(source, destination, [](const auto* in, auto* out, int32_t w) {
        for (int32_t x = 0; x < w; ++x) out[w - 1 - x] = in[x];
    });
}

void PLFilterInvert::Apply(const PLBmp& source, PLBmp& destination) const {
    MapLines(source, destination, [](const auto* in, auto* out, int32_t w) {
        for (int32_t x = 0; x < w; ++x) {
            if constexpr (sizeof(*in) == 1) {
                out[x] = static_cast<uint8_t>(~in[x]);
            } else {
                // The fourth byte stays as created.
                out[x].b = static_cast<uint8_t>(~in[x].b);
                out[x].g = static_cast<uint8_t>(~in[x].g);
                out[x].r = static_cast<uint8_t>(~in[x].r);
            }
        }
    });
}

void PLFilterGrayscale::Apply(const PLBmp& source, PLBmp& destination) const {
    if (source.GetPixelFormat().IsGrayscale()) {
        destination.CopyWithFormat(source);
        return;
    }
    destination.Create(source.GetWidth(), source.GetHeight(), PLPixelDesc::L8, nullptr, 0,
                       source.GetResolution());
    const auto luminance = [](const PLPixel32& p) {
        return static_cast<uint8_t>((212671 * p.r + 715160 * p.g + 72169 * p.b) / 1000000);
    };
    WithPixelType(source, [&](auto pixel) {
        using Pixel = decltype(pixel);
        const PLPixel32* palette = source.GetPalette();
        for (int32_t y = 0; y < source.GetHeight(); ++y) {
            const Pixel* in = LineOf<Pixel>(source, y);
            uint8_t* out = destination.GetLine(y);
            for (int32_t x = 0; x < source.GetWidth(); ++x) {
                if constexpr (sizeof(Pixel) == 1) {
                    out[x] = luminance(palette[in[x]]);
                } else {
                    out[x] = luminance(in[x]);
                }
            }
        }
    });
}
