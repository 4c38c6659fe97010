#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/PLObject.h"
#include "image/PLPixelDesc.h"

class PLFilter;

struct PLPoint {
    int32_t x = 0;
    int32_t y = 0;

    bool operator==(const PLPoint&) const = default;
};

// An in-memory bitmap: size, resolution (dots per inch, 0 when unknown), pixel
// format, palette (formats of at most 8 bits) and a table of line pointers
// whose entry 0 is the top line. Subclasses decide where the pixels live.
// Errors are thrown as PLTextException.
class PLBmp : public PLObject {
public:
    // Blocks beyond this are refused: sizes travel as signed 32-bit values.
    static constexpr uint64_t kMaxBlockBytes = INT32_MAX;

    PLBmp(const PLBmp&) = delete;
    PLBmp& operator=(const PLBmp&) = delete;

    // Replaces the content. With initialPixels, line y receives the line's
    // bytes from initialPixels + y * sourceStride (0: tightly packed rows).
    // Formats of at most 8 bits get the default palette.
    void Create(int32_t width, int32_t height, const PLPixelDesc& format,
                const uint8_t* initialPixels = nullptr, int32_t sourceStride = 0,
                PLPoint resolution = {});
    void CreateLike(const PLBmp& other);
    // Makes this bitmap a copy of source in format (DontCare: the source's).
    // Supported: the same depth (bytes and palette copied as they are) and a
    // paletted source to 32 bits (each pixel becomes its palette entry).
    void CopyWithFormat(const PLBmp& source, const PLPixelDesc& format = PLPixelDesc::DontCare);
    void RunFilter(const PLFilter& filter);

    int32_t GetWidth() const { return m_width; }
    int32_t GetHeight() const { return m_height; }
    PLPoint GetSize() const { return {m_width, m_height}; }
    PLPoint GetResolution() const { return m_resolution; }
    void SetResolution(PLPoint resolution) { m_resolution = resolution; }
    const PLPixelDesc& GetPixelFormat() const { return m_format; }
    int GetBitsPerPixel() const { return m_format.GetBitsPerPixel(); }
    // Bytes of pixel data in one line, without padding.
    size_t GetLineBytes() const { return LineBytes(m_width, GetBitsPerPixel()); }

    // The start of the pixel storage (where it starts depends on the layout).
    uint8_t* GetPixels() { return m_pixels; }
    const uint8_t* GetPixels() const { return m_pixels; }
    uint8_t* GetLine(int32_t y) { return m_lines[static_cast<size_t>(y)]; }
    const uint8_t* GetLine(int32_t y) const { return m_lines[static_cast<size_t>(y)]; }

    // Null when the format has no palette.
    PLPixel32* GetPalette() { return m_palette; }
    const PLPixel32* GetPalette() const { return m_palette; }
    // Copies one entry per palette slot of the current format.
    void SetPalette(const PLPixel32* entries);

    virtual int32_t GetRowStride() const = 0;

    static size_t LineBytes(int32_t width, int bits) {
        return (static_cast<size_t>(width) * static_cast<size_t>(bits) + 7) / 8;
    }

protected:
    PLBmp() = default;

    // Allocates zeroed pixel (and palette) storage for the given shape and
    // points m_pixels and m_palette at it. May throw std::bad_alloc.
    virtual void AllocateStorage(int32_t width, int32_t height, const PLPixelDesc& format) = 0;
    // Fills m_lines from m_pixels once size and format are set.
    virtual void BuildRowTable() = 0;
    virtual void ReleaseStorage() = 0;
    // Bytes the storage of a bitmap of this shape takes; checked against
    // kMaxBlockBytes before anything is allocated.
    virtual uint64_t StorageBytes(int32_t width, int32_t height,
                                  const PLPixelDesc& format) const = 0;

    uint8_t* m_pixels = nullptr;
    PLPixel32* m_palette = nullptr;
    std::vector<uint8_t*> m_lines;

private:
    void SetDefaultPalette();

    int32_t m_width = 0;
    int32_t m_height = 0;
    PLPoint m_resolution;
    PLPixelDesc m_format = PLPixelDesc::I8;
};
