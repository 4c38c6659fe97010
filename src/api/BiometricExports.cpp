#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "algo/Algo.h"
#include "api/ExportFrame.h"
#include "api/LibraryState.h"
#include "common/Log.h"
#include "common/Records.h"
#include "image/PLBmpDecoder.h"
#include "image/PLFilter.h"
#include "image/PLTextException.h"
#include "image/PLWinBmp.h"
#include "properties/Properties.h"

namespace {

constexpr uint32_t kImageModePhoto = 1;

// The started library's algorithm, held for the whole call; empty, logged for
// the export, when there is none (also once a stop has begun).
class AvailableAlgorithm {
public:
    explicit AvailableAlgorithm(const char* exportName) : m_use(State().algorithm) {
        if (m_use.get() == nullptr)
            CLog::Instance().Info("%s: BioAlgorithm is not available", exportName);
    }
    CAlgo* get() const { return m_use.get(); }

private:
    CAlgorithmSlot::Use m_use;
};

template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// The picture as 8-bit grey, whatever depth the file has; false when the
// bytes are not a BMP file the decoder accepts.
bool DecodeGrey(const KVT_CapturedData& image, PLWinBmp& bitmap) {
    if (image.image == nullptr || image.imageSize == 0) return false;
    try {
        PLBmpDecoder().DecodeMemory(image.image, image.imageSize, bitmap);
    } catch (const PLTextException&) {
        return false;
    }
    if (!bitmap.GetPixelFormat().IsGrayscale()) bitmap.RunFilter(PLFilterGrayscale());
    return true;
}

// The algorithm reads rows of exactly width bytes; the bitmap pads its rows to
// 4 bytes, so other widths are repacked (bottom row first, as the bitmap keeps them).
const uint8_t* UnpaddedRows(const PLWinBmp& bitmap, std::vector<uint8_t>& packed) {
    const size_t width = static_cast<size_t>(bitmap.GetWidth());
    const size_t stride = static_cast<size_t>(bitmap.GetRowStride());
    if (stride == width) return bitmap.GetPixels();
    const size_t height = static_cast<size_t>(bitmap.GetHeight());
    packed.resize(width * height);
    for (size_t row = 0; row < height; ++row)
        std::memcpy(packed.data() + row * width, bitmap.GetPixels() + row * stride, width);
    return packed.data();
}

// Template bytes beyond the record's data would be read from whatever follows it.
bool HasValidLength(const KVT_Template& t) {
    return t.bytesEffective >= 0 && t.bytesEffective <= static_cast<int>(sizeof t.data);
}

// Points into the application's record for the duration of the call; no copy.
kvt__BioTemplate Describe(const KVT_Template& t) {
    kvt__BioTemplate d;
    d.data.ptr = const_cast<unsigned char*>(t.data);
    d.data.size = t.bytesEffective;
    d.bytesEffective = t.bytesEffective;
    d.quality = t.quality;
    d.minutiaeCount = t.minutiaeCount;
    d.type = t.type;
    d.subType = t.subType;
    d.properties = FieldText(t.properties);
    return d;
}

}  // namespace

extern "C" {

KVT_API int KVT_CALL KVT_ExtractTemplate(const KVT_CapturedData* image, KVT_Template* result) {
    CFunctionTrace trace("KVT_ExtractTemplate");
    return GuardExport("KVT_ExtractTemplate", [&] {
        const AvailableAlgorithm available("KVT_ExtractTemplate");
        CAlgo* algorithm = available.get();
        if (algorithm == nullptr) return KVT_RESULT_NO_ALGORITHM;
        CLog& log = CLog::Instance();
        if (image == nullptr || image->size != static_cast<int>(sizeof(KVT_CapturedData)) ||
            result == nullptr || result->size != static_cast<int>(sizeof(KVT_Template)))
            return KVT_RESULT_BAD_ARGUMENT;

        PLWinBmp bitmap;
        if (!DecodeGrey(*image, bitmap)) {
            log.Error("KVT_ExtractTemplate: extraction error: Imagedata corrupted");
            return KVT_RESULT_BAD_ARGUMENT;
        }
        CProperties properties;
        const std::string text = FieldText(image->properties);
        if (!properties.FromText(text))
            log.Warning("KVT_ExtractTemplate: properties not valid (%s)", text.c_str());
        if (properties.GetValue("ImageMode") == kImageModePhoto) bitmap.RunFilter(PLFilterMirror());

        std::vector<uint8_t> packed;
        const uint8_t* pixels = UnpaddedRows(bitmap, packed);
        if (!algorithm->Extract(pixels, bitmap.GetWidth(), bitmap.GetHeight(), result->data,
                                &result->bytesEffective, &result->type, &result->subType,
                                &result->minutiaeCount, &result->quality)) {
            log.Error("KVT_ExtractTemplate: extraction call failed");
            return KVT_RESULT_FAILED;
        }
        return KVT_RESULT_OK;
    });
}

KVT_API int KVT_CALL KVT_MatchTemplate(const KVT_Template* probe, const KVT_Template* references,
                                       unsigned int count, KVT_MatchResult* result) {
    CFunctionTrace trace("KVT_MatchTemplate");
    return GuardExport("KVT_MatchTemplate", [&] {
        const AvailableAlgorithm available("KVT_MatchTemplate");
        CAlgo* algorithm = available.get();
        if (algorithm == nullptr) return KVT_RESULT_NO_ALGORITHM;
        CLog& log = CLog::Instance();
        if (result == nullptr || result->size != static_cast<int>(sizeof(KVT_MatchResult)) ||
            probe == nullptr || probe->size != static_cast<int>(sizeof(KVT_Template)) ||
            !HasValidLength(*probe) || count > static_cast<unsigned int>(INT32_MAX))
            return KVT_RESULT_BAD_ARGUMENT;

        const kvt__BioTemplate probeDescription = Describe(*probe);
        // Without references (or with a count of 0) the algorithm refuses the call.
        std::vector<kvt__BioTemplate> descriptions;
        if (references != nullptr) {
            descriptions.reserve(count);
            for (unsigned int i = 0; i < count; ++i) {
                if (references[i].size != static_cast<int>(sizeof(KVT_Template))) {
                    log.Error("KVT_MatchTemplate: reference %u has the size field %d", i,
                              references[i].size);
                    return KVT_RESULT_BAD_ARGUMENT;
                }
                if (!HasValidLength(references[i])) return KVT_RESULT_BAD_ARGUMENT;
                descriptions.push_back(Describe(references[i]));
            }
        }

        kvt__Match success = kvt__Match__enNoMatch;
        const bool matched = algorithm->Match(&probeDescription,
                                              descriptions.empty() ? nullptr : descriptions.data(),
                                              static_cast<int32_t>(count), &success, &result->index,
                                              &result->quality, &result->score);
        result->success = success == kvt__Match__enMatch ? 0 : 1;
        if (!matched) {
            log.Error("KVT_MatchTemplate: Extraction of template failed with error code: %d", 0);
            return KVT_RESULT_FAILED;
        }
        log.Debug("  Match result .success: %d, .index:%d, .quality:%d, .score:%d", result->success,
                  result->index, result->quality, result->score);
        return KVT_RESULT_OK;
    });
}

KVT_API int KVT_CALL KVT_GetBiometricsInfo(KVT_BiometricsInfo* info) {
    CFunctionTrace trace("KVT_GetBiometricsInfo");
    return GuardExport("KVT_GetBiometricsInfo", [&] {
        const AvailableAlgorithm available("KVT_GetBiometricsInfo");
        CAlgo* algorithm = available.get();
        if (algorithm == nullptr) return KVT_RESULT_NO_ALGORITHM;
        if (info == nullptr || info->size != static_cast<int>(sizeof(KVT_BiometricsInfo)))
            return KVT_RESULT_BAD_ARGUMENT;

        const kvt__BioAlgorithmInfo description = algorithm->GetAlgorithmInfo();
        CopyToField(info->name, description.name);
        CopyToField(info->version, description.version);
        CopyToField(info->info, description.info);
        info->type = description.type;
        info->subType = description.subType;
        info->capabilities = description.capabilities;
        return KVT_RESULT_OK;
    });
}

}  // extern "C"
