#include "algo/Algo.h"

#include <algorithm>
#include <cstring>

#include "common/Log.h"

namespace {

constexpr int32_t kMaxQuality = 100;

void ClearExtractOutputs(uint8_t* templateBuffer, int32_t* size, int32_t* type, int32_t* subType,
                         int32_t* minutiaeCount, int32_t* quality) {
    if (templateBuffer != nullptr) std::memset(templateBuffer, 0, CAlgo::kTemplateCapacity);
    if (size != nullptr) *size = 0;
    if (type != nullptr) *type = -1;
    if (subType != nullptr) *subType = -1;
    if (minutiaeCount != nullptr) *minutiaeCount = 0;
    if (quality != nullptr) *quality = 0;
}

void PresetMatchOutputs(kvt__Match* success, int32_t* index, int32_t* quality, int32_t* score) {
    *success = kvt__Match__enNoMatch;
    *index = -1;
    *quality = -1;
    *score = -1;
}

}  // namespace

bool CAlgo::Extract(const uint8_t* pixels, int32_t width, int32_t height, uint8_t* templateBuffer,
                    int32_t* size, int32_t* type, int32_t* subType, int32_t* minutiaeCount,
                    int32_t* quality) {
    if (!m_initialized) return false;
    if (pixels == nullptr || templateBuffer == nullptr || size == nullptr || type == nullptr ||
        subType == nullptr || minutiaeCount == nullptr || quality == nullptr) {
        ClearExtractOutputs(templateBuffer, size, type, subType, minutiaeCount, quality);
        CLog::Instance().Error("CAlgo::Extract: Invalid Param");
        return false;
    }
    const bool extracted = _Extract(pixels, width, height, templateBuffer, size, type, subType,
                                    minutiaeCount, quality);
    *quality = std::min(*quality, kMaxQuality);
    if (!extracted) {
        ClearExtractOutputs(templateBuffer, size, type, subType, minutiaeCount, quality);
        return false;
    }
    return true;
}

bool CAlgo::Match(const kvt__BioTemplate* probe, const kvt__BioTemplate* references, int32_t count,
                  kvt__Match* success, int32_t* index, int32_t* quality, int32_t* score) {
    if (!m_initialized) return false;
    if (probe == nullptr || references == nullptr || count <= 0 || success == nullptr ||
        index == nullptr || quality == nullptr || score == nullptr) {
        CLog::Instance().Error("CAlgo::Match: Invalid Param");
        return false;
    }
    PresetMatchOutputs(success, index, quality, score);

    if (!IsTemplateProcessable(probe->type, probe->subType)) return false;
    for (int32_t i = 0; i < count; ++i) {
        if (!IsTemplateProcessable(references[i].type, references[i].subType)) return false;
    }

    const bool matched = _Match(probe, references, count, success, index, quality, score);
    *quality = std::min(*quality, kMaxQuality);
    if (!matched) {
        PresetMatchOutputs(success, index, quality, score);
        return false;
    }
    // Nothing could be compared: no half-filled result.
    if (*index == -1) PresetMatchOutputs(success, index, quality, score);
    return true;
}

bool CAlgo::IsTemplateProcessable(int32_t type, int32_t subType) {
    if (type == m_type && subType == m_subType) return true;
    CLog::Instance().Error(
        "CAlgo::IsTemplateProcessable: Template mismatch, expected (type, subtype): (%d, %d), "
        "received: (%d, %d)",
        m_type, m_subType, type, subType);
    return false;
}

kvt__BioAlgorithmInfo CAlgo::GetAlgorithmInfo() const {
    kvt__BioAlgorithmInfo info;
    info.name = m_name;
    info.version = m_version;
    info.info = m_info;
    info.type = m_type;
    info.subType = m_subType;
    info.capabilities = m_capabilities;
    return info;
}
