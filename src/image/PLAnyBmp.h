#pragma once

#include <cstdint>
#include <vector>

#include "image/PLBmp.h"

// A bitmap with its rows top-down and unpadded in one allocation and its
// palette in another: the temporary of the filters and the decoder.
class PLAnyBmp final : public PLBmp {
public:
    // Empty until created.
    PLAnyBmp() = default;

    int32_t GetRowStride() const override {
        return static_cast<int32_t>(LineBytes(GetWidth(), GetBitsPerPixel()));
    }

protected:
    void AllocateStorage(int32_t width, int32_t height, const PLPixelDesc& format) override;
    void BuildRowTable() override;
    void ReleaseStorage() override;
    uint64_t StorageBytes(int32_t width, int32_t height, const PLPixelDesc& format) const override;

private:
    std::vector<uint8_t> m_pixelStore;
    std::vector<PLPixel32> m_paletteStore;
};
