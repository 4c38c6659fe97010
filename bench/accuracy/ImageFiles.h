// Readers for the grey images of fingerprint databases: PGM (binary), 8-bit
// BMP, uncompressed 8-bit TIFF and, when built with libpng, PNG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "GreyImage.h"

namespace accuracy {

// BMP files are read by the tools' decoder; the image type is theirs too.
using ::GreyImage;

// False with a reason in `error` when the file cannot be read as 8-bit grey.
bool ReadGreyImage(const std::string& path, GreyImage& image, std::string& error);

// RGB output for looking at extraction results; false without libpng.
bool WriteRgbPng(const std::string& path, int width, int height,
                 const std::vector<std::uint8_t>& rgb);

}  // namespace accuracy
