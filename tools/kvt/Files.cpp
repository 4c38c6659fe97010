#include "Files.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "GreyImage.h"
#include "Output.h"

namespace {

constexpr char kTemplateMagic[8] = {'K', 'V', 'T', 'T', 'P', 'L', '0', '1'};
constexpr size_t kTemplateHeader = sizeof kTemplateMagic + 6 * 4;
constexpr size_t kMaxPictureFile = 64u << 20;

void PutLe32(std::vector<uint8_t>& out, int32_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

int32_t GetLe32(const uint8_t* p) {
    return static_cast<int32_t>(p[0] | (p[1] << 8) | (p[2] << 16) |
                                (static_cast<uint32_t>(p[3]) << 24));
}

}  // namespace

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        error = "cannot open " + Quoted(path);
        return false;
    }
    const std::streamoff size = file.tellg();
    if (size < 0 || static_cast<uint64_t>(size) > kMaxPictureFile) {
        error = Quoted(path) + " is not a picture or template (too large)";
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    file.seekg(0);
    if (!file.read(reinterpret_cast<char*>(bytes.data()), size)) {
        error = "cannot read " + Quoted(path);
        return false;
    }
    return true;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        error = "cannot write " + Quoted(path);
        return false;
    }
    return true;
}

bool LooksLikeBmp(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
}

bool LooksLikeTemplate(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= sizeof kTemplateMagic &&
           std::memcmp(bytes.data(), kTemplateMagic, sizeof kTemplateMagic) == 0;
}

std::vector<uint8_t> EncodeTemplate(const KVT_Template& tpl) {
    std::vector<uint8_t> out(std::begin(kTemplateMagic), std::end(kTemplateMagic));
    const size_t used = tpl.bytesEffective < 0 ? 0
                        : static_cast<size_t>(tpl.bytesEffective) > sizeof tpl.data
                            ? sizeof tpl.data
                            : static_cast<size_t>(tpl.bytesEffective);
    const size_t propertiesLength = strnlen(tpl.properties, sizeof tpl.properties - 1);
    PutLe32(out, static_cast<int32_t>(used));
    PutLe32(out, tpl.quality);
    PutLe32(out, tpl.minutiaeCount);
    PutLe32(out, tpl.type);
    PutLe32(out, tpl.subType);
    PutLe32(out, static_cast<int32_t>(propertiesLength));
    out.insert(out.end(), tpl.properties, tpl.properties + propertiesLength);
    out.insert(out.end(), tpl.data, tpl.data + used);
    return out;
}

bool DecodeTemplate(const std::vector<uint8_t>& bytes, KVT_Template& tpl, std::string& error) {
    if (!LooksLikeTemplate(bytes)) {
        error = "not a kvt template file";
        return false;
    }
    if (bytes.size() < kTemplateHeader) {
        error = "damaged template file";
        return false;
    }
    const uint8_t* p = bytes.data() + sizeof kTemplateMagic;
    const int32_t used = GetLe32(p);
    const int32_t propertiesLength = GetLe32(p + 20);
    if (used < 0 || static_cast<size_t>(used) > sizeof tpl.data || propertiesLength < 0 ||
        static_cast<size_t>(propertiesLength) >= sizeof tpl.properties ||
        bytes.size() != kTemplateHeader + propertiesLength + used) {
        error = "damaged template file";
        return false;
    }
    tpl = KVT_Template{};
    tpl.size = sizeof tpl;
    tpl.bytesEffective = used;
    tpl.quality = GetLe32(p + 4);
    tpl.minutiaeCount = GetLe32(p + 8);
    tpl.type = GetLe32(p + 12);
    tpl.subType = GetLe32(p + 16);
    const uint8_t* text = bytes.data() + kTemplateHeader;
    std::memcpy(tpl.properties, text, static_cast<size_t>(propertiesLength));
    std::memcpy(tpl.data, text + propertiesLength, static_cast<size_t>(used));
    return true;
}

bool WriteBmpAsPng(const std::vector<uint8_t>& bmp, const std::string& path, std::string& error) {
    if (!PngSupported()) {
        error =
            "this kvt was built without libpng, so it cannot write PNG (install libpng-dev "
            "and build again)";
        return false;
    }
    GreyImage image;
    if (!DecodeBmp(bmp, image, error)) return false;
    if (!WritePng(path, image)) {
        error = "cannot write " + Quoted(path);
        return false;
    }
    return true;
}

bool BmpSize(const std::vector<uint8_t>& bmp, int& width, int& height) {
    if (!LooksLikeBmp(bmp) || bmp.size() < 26) return false;
    width = GetLe32(&bmp[18]);
    const int32_t rows = GetLe32(&bmp[22]);
    // Top-down pictures have a negative height.
    height = rows == INT32_MIN ? 0 : std::abs(rows);
    return width > 0 && height > 0;
}
