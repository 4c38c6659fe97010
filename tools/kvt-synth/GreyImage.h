#pragma once

#include <cstdint>
#include <string>
#include <vector>

// 8-bit grey images written as PNG (when built with libpng) or PGM.
struct GreyImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // row after row, no padding
};

// Writes a binary PGM (P5). False on an I/O error.
bool WritePgm(const std::string& path, const GreyImage& image);
// Writes an 8-bit grey PNG. False on an I/O error or when PNG support was not built.
bool WritePng(const std::string& path, const GreyImage& image);
bool PngSupported();
