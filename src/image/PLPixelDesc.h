#pragma once

#include <cstdint>

// One palette entry or one 32-bit pixel, in memory order.
struct PLPixel32 {
    uint8_t b = 0;
    uint8_t g = 0;
    uint8_t r = 0;
    uint8_t a = 0;

    bool operator==(const PLPixel32&) const = default;
};

// A named pixel layout: bits per pixel and the channel masks of a pixel read
// as a little-endian number. Only the layouts the image path meets exist.
class PLPixelDesc {
public:
    // Means "keep the source's format" wherever a format is requested.
    static const PLPixelDesc DontCare;
    // 8-bit palette index.
    static const PLPixelDesc I8;
    // 8-bit grey: a palette index into the grey ramp.
    static const PLPixelDesc L8;
    // Blue, green, red and an unused byte.
    static const PLPixelDesc X8R8G8B8;
    // Blue, green, red and alpha.
    static const PLPixelDesc A8R8G8B8;

    constexpr PLPixelDesc(const char* name, int bits, uint32_t red, uint32_t green, uint32_t blue,
                          uint32_t alpha, uint32_t luminance)
        : m_name(name),
          m_bits(bits),
          m_red(red),
          m_green(green),
          m_blue(blue),
          m_alpha(alpha),
          m_luminance(luminance) {}

    const char* GetName() const { return m_name; }
    int GetBitsPerPixel() const { return m_bits; }
    bool IsDontCare() const { return m_bits == 0; }
    bool HasPalette() const { return m_bits > 0 && m_bits <= 8; }
    int PaletteEntries() const { return HasPalette() ? 1 << m_bits : 0; }
    // Grey when the luminance mask covers every bit of the pixel.
    bool IsGrayscale() const {
        return m_bits > 0 && m_luminance == (m_bits >= 32 ? ~0u : (1u << m_bits) - 1);
    }

    bool operator==(const PLPixelDesc&) const = default;

private:
    const char* m_name;
    int m_bits;
    uint32_t m_red;
    uint32_t m_green;
    uint32_t m_blue;
    uint32_t m_alpha;
    uint32_t m_luminance;
};

inline constexpr PLPixelDesc PLPixelDesc::DontCare{"DontCare", 0, 0, 0, 0, 0, 0};
inline constexpr PLPixelDesc PLPixelDesc::I8{"I8", 8, 0, 0, 0, 0, 0};
inline constexpr PLPixelDesc PLPixelDesc::L8{"L8", 8, 0, 0, 0, 0, 0xFF};
inline constexpr PLPixelDesc PLPixelDesc::X8R8G8B8{"X8R8G8B8", 32, 0xFF0000, 0xFF00, 0xFF, 0, 0};
inline constexpr PLPixelDesc PLPixelDesc::A8R8G8B8{"A8R8G8B8", 32,         0xFF0000, 0xFF00,
                                                   0xFF,       0xFF000000, 0};
