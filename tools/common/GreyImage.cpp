#include "GreyImage.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

#ifdef KVT_TOOLS_HAVE_PNG
#include <png.h>
#endif

namespace {
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

constexpr size_t kFileHeader = 14;
constexpr size_t kInfoHeader = 40;
constexpr int kMaxSide = 8192;

uint32_t Le16(const uint8_t* p) {
    return p[0] | (p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
}  // namespace

bool DecodeBmp(const std::vector<uint8_t>& d, GreyImage& image, std::string& error) {
    if (d.size() < kFileHeader + kInfoHeader || d[0] != 'B' || d[1] != 'M') {
        error = "not a BMP file";
        return false;
    }
    const uint32_t offset = Le32(&d[10]);
    const uint32_t infoSize = Le32(&d[14]);
    const int32_t width = static_cast<int32_t>(Le32(&d[18]));
    const int32_t rawHeight = static_cast<int32_t>(Le32(&d[22]));
    const uint32_t bits = Le16(&d[28]);
    const uint32_t compression = Le32(&d[30]);
    uint32_t colours = Le32(&d[46]);
    if (colours == 0) colours = 256;
    if (bits != 8 || compression != 0) {
        error = "not an uncompressed 8-bit BMP";
        return false;
    }
    if (width <= 0 || width > kMaxSide || rawHeight == 0 || rawHeight < -kMaxSide ||
        rawHeight > kMaxSide) {
        error = "BMP size out of range";
        return false;
    }
    const size_t palette = kFileHeader + infoSize;
    const int height = std::abs(rawHeight);
    const size_t stride = (static_cast<size_t>(width) + 3) / 4 * 4;
    if (infoSize < kInfoHeader || colours > 256 || palette + 4 * size_t{colours} > offset ||
        offset > d.size() || d.size() - offset < stride * height) {
        error = "BMP file damaged or truncated";
        return false;
    }
    image.width = width;
    image.height = height;
    image.pixels.resize(static_cast<size_t>(width) * height);
    const bool topDown = rawHeight < 0;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = &d[offset + stride * (topDown ? y : height - 1 - y)];
        uint8_t* out = &image.pixels[static_cast<size_t>(y) * width];
        for (int x = 0; x < width; ++x) {
            // The green channel: the grey level of a grey palette.
            out[x] = row[x] < colours ? d[palette + 4 * size_t{row[x]} + 1] : row[x];
        }
    }
    return true;
}

bool WritePgm(const std::string& path, const GreyImage& image) {
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) return false;
    std::fprintf(f.get(), "P5\n%d %d\n255\n", image.width, image.height);
    const size_t n = image.pixels.size();
    return std::fwrite(image.pixels.data(), 1, n, f.get()) == n;
}

#ifdef KVT_TOOLS_HAVE_PNG
bool PngSupported() {
    return true;
}

bool WritePng(const std::string& path, const GreyImage& image) {
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < image.height; ++y)
        png_write_row(png, image.pixels.data() + static_cast<size_t>(y) * image.width);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}
#else
// Without libpng (the Windows cross builds) the picture goes into stored,
// uncompressed deflate blocks: larger files, but no zlib needed.
bool PngSupported() {
    return true;
}

bool WritePng(const std::string& path, const GreyImage& image) {
    const std::vector<uint8_t> bytes = EncodeStoredPng(image);
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) return false;
    return std::fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size() &&
           std::fflush(f.get()) == 0;
}
#endif

namespace {

uint32_t Crc32(const uint8_t* data, size_t length, uint32_t crc = 0) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void PutBe32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutChunk(std::vector<uint8_t>& out, const char (&type)[5], const std::vector<uint8_t>& data) {
    PutBe32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    PutBe32(out, Crc32(out.data() + start, out.size() - start));
}

}  // namespace

std::vector<uint8_t> EncodeStoredPng(const GreyImage& image) {
    // Scanlines with filter type 0 in front of each row.
    const size_t width = static_cast<size_t>(image.width);
    std::vector<uint8_t> raw;
    raw.reserve((width + 1) * static_cast<size_t>(image.height));
    for (int y = 0; y < image.height; ++y) {
        raw.push_back(0);
        const auto row = image.pixels.begin() + static_cast<std::ptrdiff_t>(y * width);
        raw.insert(raw.end(), row, row + static_cast<std::ptrdiff_t>(width));
    }
    // zlib stream: header (deflate, 32K window, no dictionary), stored blocks
    // of at most 65535 bytes each, Adler-32 of the raw bytes.
    constexpr size_t kMaxBlock = 65535;
    std::vector<uint8_t> zlib{0x78, 0x01};
    size_t offset = 0;
    do {
        const size_t length = std::min(kMaxBlock, raw.size() - offset);
        const bool last = offset + length == raw.size();
        zlib.push_back(last ? 1 : 0);
        const auto len = static_cast<uint16_t>(length);
        const auto nlen = static_cast<uint16_t>(~len);
        zlib.insert(zlib.end(), {static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8),
                                 static_cast<uint8_t>(nlen), static_cast<uint8_t>(nlen >> 8)});
        zlib.insert(zlib.end(), raw.begin() + static_cast<std::ptrdiff_t>(offset),
                    raw.begin() + static_cast<std::ptrdiff_t>(offset + length));
        offset += length;
    } while (offset < raw.size());
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    PutBe32(zlib, (b << 16) | a);

    std::vector<uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    PutBe32(header, static_cast<uint32_t>(image.width));
    PutBe32(header, static_cast<uint32_t>(image.height));
    // 8-bit grey, deflate, adaptive filtering, no interlace.
    header.insert(header.end(), {8, 0, 0, 0, 0});
    PutChunk(png, "IHDR", header);
    PutChunk(png, "IDAT", zlib);
    PutChunk(png, "IEND", {});
    return png;
}
