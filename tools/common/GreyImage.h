#pragma once

#include <cstdint>
#include <string>
#include <vector>

// 8-bit grey images: read from the library's BMP files, written as PNG or PGM.
struct GreyImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // row after row, top row first, no padding
};

// Decodes an uncompressed 8-bit palette BMP, the format of the library's
// pictures, mapping each pixel through its palette. False with a reason in
// error for anything else or for a damaged file.
bool DecodeBmp(const std::vector<uint8_t>& bytes, GreyImage& image, std::string& error);

// Writes a binary PGM (P5). False on an I/O error.
bool WritePgm(const std::string& path, const GreyImage& image);
// Writes an 8-bit grey PNG, compressed with libpng where the build has it. False
// on an I/O error.
bool WritePng(const std::string& path, const GreyImage& image);
bool PngSupported();
// An 8-bit grey PNG without compression (stored deflate blocks), as WritePng
// writes it where libpng is missing.
std::vector<uint8_t> EncodeStoredPng(const GreyImage& image);
