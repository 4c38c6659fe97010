#include "GreyImage.h"

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
bool PngSupported() {
    return false;
}
bool WritePng(const std::string&, const GreyImage&) {
    return false;
}
#endif
