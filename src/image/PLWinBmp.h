#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "image/PLBmp.h"

// A bitmap in the Windows layout: one block holding the 40-byte bitmap
// information header, the palette and the pixel rows, bottom row first, each
// row padded to a multiple of 4 bytes. So GetPixels() is the bottom row and
// the rows lie in memory exactly as in a BMP file.
class PLWinBmp final : public PLBmp {
public:
    static constexpr size_t kInfoHeaderSize = 40;
    static constexpr size_t kFileHeaderSize = 14;

    // 16 x 16 in "I8".
    PLWinBmp();
    ~PLWinBmp() override;

    static int32_t StrideFor(int32_t width, int bits) {
        return static_cast<int32_t>((LineBytes(width, bits) + 3) & ~size_t{3});
    }
    // The BMP file size of such a picture: both headers, palette and rows.
    static uint64_t GetMemNeeded(int32_t width, int32_t height, int bits);
    // What this bitmap takes: its memory need plus the object itself.
    size_t GetMemUsed() const;

    int32_t GetRowStride() const override { return StrideFor(GetWidth(), GetBitsPerPixel()); }

protected:
    void AllocateStorage(int32_t width, int32_t height, const PLPixelDesc& format) override;
    void BuildRowTable() override;
    void ReleaseStorage() override;
    uint64_t StorageBytes(int32_t width, int32_t height, const PLPixelDesc& format) const override;

private:
    std::unique_ptr<uint8_t[]> m_block;
};
