#include "image/PLAnyBmp.h"

uint64_t PLAnyBmp::StorageBytes(int32_t width, int32_t height, const PLPixelDesc& format) const {
    return LineBytes(width, format.GetBitsPerPixel()) * static_cast<uint64_t>(height) +
           sizeof(PLPixel32) * static_cast<uint64_t>(format.PaletteEntries());
}

void PLAnyBmp::AllocateStorage(int32_t width, int32_t height, const PLPixelDesc& format) {
    m_pixelStore.assign(LineBytes(width, format.GetBitsPerPixel()) * static_cast<size_t>(height),
                        0);
    m_paletteStore.assign(static_cast<size_t>(format.PaletteEntries()), PLPixel32{});
    m_pixels = m_pixelStore.data();
    m_palette = m_paletteStore.empty() ? nullptr : m_paletteStore.data();
}

void PLAnyBmp::BuildRowTable() {
    const auto stride = static_cast<size_t>(GetRowStride());
    for (size_t y = 0; y < m_lines.size(); ++y) m_lines[y] = m_pixels + y * stride;
}

void PLAnyBmp::ReleaseStorage() {
    m_pixelStore = {};
    m_paletteStore = {};
    m_pixels = nullptr;
    m_palette = nullptr;
}
