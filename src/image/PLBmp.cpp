#include "image/PLBmp.h"

#include <cstring>
#include <new>

#include "image/PLAnyBmp.h"
#include "image/PLFilter.h"
#include "image/PLTextException.h"

void PLBmp::Create(int32_t width, int32_t height, const PLPixelDesc& format,
                   const uint8_t* initialPixels, int32_t sourceStride, PLPoint resolution) {
    if (format.IsDontCare()) {
        throw PLTextException(kPLErrInternal, "A bitmap needs a pixel format.");
    }
    if (width < 0 || height < 0 || StorageBytes(width, height, format) > kMaxBlockBytes) {
        throw PLTextException(kPLErrBadSize, "Bitmap size out of range.");
    }
    ReleaseStorage();
    m_lines.clear();
    m_width = 0;
    m_height = 0;
    try {
        AllocateStorage(width, height, format);
        m_lines.resize(static_cast<size_t>(height));
    } catch (const std::bad_alloc&) {
        ReleaseStorage();
        m_lines.clear();
        throw PLTextException(kPLErrNoMemory, "Out of memory creating bitmap.");
    }
    m_width = width;
    m_height = height;
    m_format = format;
    m_resolution = resolution;
    BuildRowTable();
    if (format.HasPalette()) SetDefaultPalette();

    if (initialPixels != nullptr) {
        const size_t lineBytes = GetLineBytes();
        const size_t stride = sourceStride > 0 ? static_cast<size_t>(sourceStride) : lineBytes;
        for (int32_t y = 0; y < height; ++y) {
            std::memcpy(GetLine(y), initialPixels + static_cast<size_t>(y) * stride, lineBytes);
        }
    }
}

void PLBmp::CreateLike(const PLBmp& other) {
    Create(other.m_width, other.m_height, other.m_format, nullptr, 0, other.m_resolution);
}

void PLBmp::CopyWithFormat(const PLBmp& source, const PLPixelDesc& format) {
    const PLPixelDesc target = format.IsDontCare() ? source.m_format : format;
    if (&source == this) {
        if (target == m_format) return;
        PLAnyBmp copy;
        copy.CopyWithFormat(*this);
        CopyWithFormat(copy, target);
        return;
    }
    const int sourceBits = source.GetBitsPerPixel();
    const bool sameDepth = sourceBits == target.GetBitsPerPixel();
    if (!sameDepth && !(source.m_format.HasPalette() && target.GetBitsPerPixel() == 32)) {
        throw PLTextException(kPLErrFormatNotSupported, "Unsupported pixel format conversion.");
    }

    Create(source.m_width, source.m_height, target, nullptr, 0, source.m_resolution);
    if (sameDepth) {
        if (m_palette != nullptr) SetPalette(source.m_palette);
        const size_t lineBytes = GetLineBytes();
        for (int32_t y = 0; y < m_height; ++y)
            std::memcpy(GetLine(y), source.GetLine(y), lineBytes);
        return;
    }
    // Paletted to 32 bits: one byte index per pixel (paletted sources are 8 bits).
    for (int32_t y = 0; y < m_height; ++y) {
        const uint8_t* in = source.GetLine(y);
        auto* out = reinterpret_cast<PLPixel32*>(GetLine(y));
        for (int32_t x = 0; x < m_width; ++x) out[x] = source.m_palette[in[x]];
    }
}

void PLBmp::RunFilter(const PLFilter& filter) {
    filter.FilterInPlace(*this);
}

void PLBmp::SetPalette(const PLPixel32* entries) {
    if (m_palette == nullptr || entries == nullptr) return;
    std::memcpy(m_palette, entries,
                sizeof(PLPixel32) * static_cast<size_t>(m_format.PaletteEntries()));
}

void PLBmp::SetDefaultPalette() {
    const int entries = m_format.PaletteEntries();
    const int step = 255 / (entries - 1);
    for (int i = 0; i < entries; ++i) {
        const auto v = static_cast<uint8_t>(i * step);
        m_palette[i] = PLPixel32{v, v, v, 255};
    }
}
