// Readers for the grey images of fingerprint databases: PGM (binary), 8-bit
// BMP, uncompressed 8-bit TIFF and, when built with libpng, PNG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace accuracy {

struct GreyImage {
    int width = 0, height = 0;
    std::vector<std::uint8_t> pixels;  // row-major, top row first
};

// False with a reason in `error` when the file cannot be read as 8-bit grey.
bool ReadGreyImage(const std::string& path, GreyImage& image, std::string& error);

// RGB output for looking at extraction results; false without libpng.
bool WriteRgbPng(const std::string& path, int width, int height,
                 const std::vector<std::uint8_t>& rgb);

}  // namespace accuracy
