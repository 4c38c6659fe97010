#include "image/PLWinBmp.h"

#include <cstring>

namespace {

void PutLE32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t PaletteBytes(const PLPixelDesc& format) {
    return sizeof(PLPixel32) * static_cast<uint64_t>(format.PaletteEntries());
}

}  // namespace

PLWinBmp::PLWinBmp() {
    Create(16, 16, PLPixelDesc::I8);
}

PLWinBmp::~PLWinBmp() = default;

uint64_t PLWinBmp::GetMemNeeded(int32_t width, int32_t height, int bits) {
    const uint64_t palette = bits <= 8 ? sizeof(PLPixel32) << bits : 0;
    return kFileHeaderSize + kInfoHeaderSize + palette +
           static_cast<uint64_t>(StrideFor(width, bits)) * static_cast<uint64_t>(height);
}

size_t PLWinBmp::GetMemUsed() const {
    return static_cast<size_t>(GetMemNeeded(GetWidth(), GetHeight(), GetBitsPerPixel())) +
           sizeof(*this);
}

uint64_t PLWinBmp::StorageBytes(int32_t width, int32_t height, const PLPixelDesc& format) const {
    return kInfoHeaderSize + PaletteBytes(format) +
           static_cast<uint64_t>(StrideFor(width, format.GetBitsPerPixel())) *
               static_cast<uint64_t>(height);
}

void PLWinBmp::AllocateStorage(int32_t width, int32_t height, const PLPixelDesc& format) {
    const auto bytes = static_cast<size_t>(StorageBytes(width, height, format));
    m_block = std::make_unique<uint8_t[]>(bytes);

    uint8_t* header = m_block.get();
    PutLE32(header, kInfoHeaderSize);
    PutLE32(header + 4, static_cast<uint32_t>(width));
    PutLE32(header + 8, static_cast<uint32_t>(height));
    header[12] = 1;  // planes
    header[14] = static_cast<uint8_t>(format.GetBitsPerPixel());

    m_palette =
        format.HasPalette() ? reinterpret_cast<PLPixel32*>(header + kInfoHeaderSize) : nullptr;
    m_pixels = header + kInfoHeaderSize + PaletteBytes(format);
}

void PLWinBmp::BuildRowTable() {
    const auto stride = static_cast<size_t>(GetRowStride());
    const int32_t height = GetHeight();
    for (int32_t y = 0; y < height; ++y) {
        m_lines[static_cast<size_t>(y)] = m_pixels + static_cast<size_t>(height - 1 - y) * stride;
    }
}

void PLWinBmp::ReleaseStorage() {
    m_block.reset();
    m_pixels = nullptr;
    m_palette = nullptr;
}
