#include "ImageFiles.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#if KVT_ACCURACY_PNG
#include <png.h>
#endif

namespace accuracy {
namespace {

constexpr int kMaxSide = 8192;

std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool ReadPgm(const std::vector<std::uint8_t>& data, GreyImage& img, std::string& error) {
    std::size_t pos = 2;
    auto number = [&](int& value) {
        while (pos < data.size()) {
            if (data[pos] == '#') {
                while (pos < data.size() && data[pos] != '\n') ++pos;
            } else if (std::isspace(data[pos])) {
                ++pos;
            } else {
                break;
            }
        }
        long v = 0;
        bool any = false;
        while (pos < data.size() && std::isdigit(data[pos]) && v < 1000000) {
            v = v * 10 + (data[pos++] - '0');
            any = true;
        }
        value = static_cast<int>(v);
        return any;
    };
    int maxValue = 0;
    if (!number(img.width) || !number(img.height) || !number(maxValue) || maxValue != 255 ||
        img.width <= 0 || img.height <= 0 || img.width > kMaxSide || img.height > kMaxSide) {
        error = "unsupported PGM header";
        return false;
    }
    ++pos;  // the single white space after the header
    const std::size_t need = static_cast<std::size_t>(img.width) * img.height;
    if (data.size() < pos + need) {
        error = "PGM truncated";
        return false;
    }
    img.pixels.assign(data.begin() + pos, data.begin() + pos + need);
    return true;
}

bool ReadTiff(const std::vector<std::uint8_t>& d, GreyImage& img, std::string& error) {
    const bool little = d[0] == 'I';
    auto u16 = [&](std::size_t p) -> unsigned {
        if (p + 2 > d.size()) return 0;
        return little ? (d[p] | (d[p + 1] << 8)) : ((d[p] << 8) | d[p + 1]);
    };
    auto u32 = [&](std::size_t p) -> std::uint32_t {
        if (p + 4 > d.size()) return 0;
        return little ? Le32(&d[p])
                      : (static_cast<std::uint32_t>(d[p]) << 24) | (d[p + 1] << 16) |
                            (d[p + 2] << 8) | d[p + 3];
    };
    const std::uint32_t ifd = u32(4);
    const unsigned entries = u16(ifd);
    std::uint32_t width = 0, height = 0, bits = 8, compression = 1, samples = 1, strips = 0,
                  stripCount = 0, rowsPerStrip = 0;
    for (unsigned i = 0; i < entries; ++i) {
        const std::size_t e = ifd + 2 + 12 * i;
        const unsigned tag = u16(e), type = u16(e + 2);
        const std::uint32_t count = u32(e + 4);
        const std::uint32_t value = type == 3 ? u16(e + 8) : u32(e + 8);
        switch (tag) {
            case 256:
                width = value;
                break;
            case 257:
                height = value;
                break;
            case 258:
                bits = value;
                break;
            case 259:
                compression = value;
                break;
            case 273:
                strips = value, stripCount = count;
                break;
            case 277:
                samples = value;
                break;
            case 278:
                rowsPerStrip = value;
                break;
            default:
                break;
        }
        if (tag == 273 && count > 1) strips = value;  // offset of the offsets table
    }
    if (bits != 8 || compression != 1 || samples != 1 || width == 0 || height == 0 ||
        width > kMaxSide || height > kMaxSide) {
        error = "only uncompressed 8-bit grey TIFF is supported";
        return false;
    }
    img.width = static_cast<int>(width);
    img.height = static_cast<int>(height);
    img.pixels.resize(static_cast<std::size_t>(width) * height);
    if (rowsPerStrip == 0) rowsPerStrip = height;
    for (std::uint32_t s = 0; s < std::max<std::uint32_t>(stripCount, 1); ++s) {
        const std::uint32_t start = stripCount > 1 ? u32(strips + 4 * s) : strips;
        const std::size_t first = static_cast<std::size_t>(s) * rowsPerStrip * width;
        const std::size_t bytes =
            std::min<std::size_t>(static_cast<std::size_t>(rowsPerStrip) * width,
                                  img.pixels.size() - std::min(first, img.pixels.size()));
        if (start > d.size() || d.size() - start < bytes) {
            error = "TIFF truncated";
            return false;
        }
        std::copy_n(d.begin() + start, bytes, img.pixels.begin() + first);
    }
    return true;
}

#if KVT_ACCURACY_PNG
bool ReadPng(const std::string& path, GreyImage& img, std::string& error) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        error = png.message;
        return false;
    }
    png.format = PNG_FORMAT_GRAY;
    img.width = static_cast<int>(png.width);
    img.height = static_cast<int>(png.height);
    img.pixels.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, img.pixels.data(), 0, nullptr)) {
        error = png.message;
        png_image_free(&png);
        return false;
    }
    return true;
}
#endif

}  // namespace

bool ReadGreyImage(const std::string& path, GreyImage& img, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open";
        return false;
    }
    const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), {});
    if (data.size() < 8) {
        error = "file too short";
        return false;
    }
    if (data[0] == 'P' && data[1] == '5') return ReadPgm(data, img, error);
    if (data[0] == 'B' && data[1] == 'M') return DecodeBmp(data, img, error);
    if ((data[0] == 'I' && data[1] == 'I') || (data[0] == 'M' && data[1] == 'M'))
        return ReadTiff(data, img, error);
#if KVT_ACCURACY_PNG
    if (data[0] == 0x89 && data[1] == 'P') return ReadPng(path, img, error);
#endif
    error = "unknown image format";
    return false;
}

bool WriteRgbPng(const std::string& path, int width, int height,
                 const std::vector<std::uint8_t>& rgb) {
#if KVT_ACCURACY_PNG
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(width);
    png.height = static_cast<png_uint_32>(height);
    png.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&png, path.c_str(), 0, rgb.data(), 0, nullptr) != 0;
#else
    (void)path, (void)width, (void)height, (void)rgb;
    return false;
#endif
}

}  // namespace accuracy
