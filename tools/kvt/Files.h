#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kvt/KVTBasic.h"

// The files kvt reads and writes: pictures (the library's BMP files) and
// templates.
//
// Template file, all numbers 32-bit little-endian:
//   "KVTTPL01"                       8 bytes
//   bytesEffective quality minutiaeCount type subType
//   length of the properties text, then the text (no terminating zero)
//   bytesEffective template bytes
// A reader refuses anything else, so a damaged file never reaches the matcher.

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

bool LooksLikeBmp(const std::vector<uint8_t>& bytes);
bool LooksLikeTemplate(const std::vector<uint8_t>& bytes);

std::vector<uint8_t> EncodeTemplate(const KVT_Template& tpl);
bool DecodeTemplate(const std::vector<uint8_t>& bytes, KVT_Template& tpl, std::string& error);

// Writes a picture as PNG. False with a reason when the BMP cannot be
// decoded, the file cannot be written or kvt was built without libpng.
bool WriteBmpAsPng(const std::vector<uint8_t>& bmp, const std::string& path, std::string& error);

// Width and height from a BMP header; false when it is not one.
bool BmpSize(const std::vector<uint8_t>& bmp, int& width, int& height);
