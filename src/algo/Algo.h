#pragma once

#include <cstdint>
#include <string>

#include "common/Records.h"

// The fingerprint algorithm as the biometric exports see it. Extract and Match
// check their arguments and the templates' family, clamp and normalise what
// the subclass delivers, so that a caller never sees half-filled results; the
// work itself is the subclass's _Extract and _Match.
//
// Extract and Match may run on several threads at once. This class holds no
// lock: the subclass serialises what needs it.
class CAlgo {
public:
    // Capacity of the template buffer that Extract fills.
    static constexpr int32_t kTemplateCapacity = 10000;

    CAlgo() = default;
    virtual ~CAlgo() = default;
    CAlgo(const CAlgo&) = delete;
    CAlgo& operator=(const CAlgo&) = delete;

    virtual bool InitAlgo() { return false; }

    // pixels: 8-bit grey, height rows of exactly width bytes. On failure the
    // outputs that are present are cleared: the buffer to kTemplateCapacity
    // zero bytes, size 0, type and subType -1, minutiae count and quality 0.
    virtual bool Extract(const uint8_t* pixels, int32_t width, int32_t height,
                         uint8_t* templateBuffer, int32_t* size, int32_t* type, int32_t* subType,
                         int32_t* minutiaeCount, int32_t* quality);

    // Identifies probe among count references. True with index -1 when no
    // reference could be compared; false (outputs at success enNoMatch and -1)
    // on bad arguments, a template of another family or a failure of the
    // subclass.
    virtual bool Match(const kvt__BioTemplate* probe, const kvt__BioTemplate* references,
                       int32_t count, kvt__Match* success, int32_t* index, int32_t* quality,
                       int32_t* score);

    // The template's minutiae, at most capacity of them.
    virtual bool GetFeatureList(const kvt__BioTemplate* /*biometricTemplate*/,
                                kvt__BioFeature* /*features*/, int32_t /*capacity*/,
                                int32_t* /*count*/) {
        return false;
    }

    virtual bool ExitAlgo() { return false; }

    // True for templates of this algorithm's own type and subType.
    virtual bool IsTemplateProcessable(int32_t type, int32_t subType);

    bool IsInitialized() const { return m_initialized; }
    kvt__BioAlgorithmInfo GetAlgorithmInfo() const;

protected:
    std::string m_name;
    std::string m_version;
    std::string m_info;
    int32_t m_type = -1;
    int32_t m_subType = -1;
    uint32_t m_capabilities = 0;
    bool m_initialized = false;

private:
    virtual bool _Extract(const uint8_t* pixels, int32_t width, int32_t height,
                          uint8_t* templateBuffer, int32_t* size, int32_t* type, int32_t* subType,
                          int32_t* minutiaeCount, int32_t* quality) = 0;
    virtual bool _Match(const kvt__BioTemplate* probe, const kvt__BioTemplate* references,
                        int32_t count, kvt__Match* success, int32_t* index, int32_t* quality,
                        int32_t* score) = 0;
};
