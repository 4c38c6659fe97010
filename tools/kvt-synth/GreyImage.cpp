#include "GreyImage.h"

#include <cstdio>
#include <memory>

#ifdef KVT_SYNTH_HAVE_PNG
#include <png.h>
#endif

namespace {
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;
}  // namespace

bool WritePgm(const std::string& path, const GreyImage& image) {
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) return false;
    std::fprintf(f.get(), "P5\n%d %d\n255\n", image.width, image.height);
    const size_t n = image.pixels.size();
    return std::fwrite(image.pixels.data(), 1, n, f.get()) == n;
}

#ifdef KVT_SYNTH_HAVE_PNG
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
