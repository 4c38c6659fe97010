#pragma once

#include <cstdint>
#include <string>

#include "algo/Algo.h"
#include "platform/CritSec.h"
#include "platform/Module.h"
#include "vfmodules/VfModules.h"

class CDataFile;

// The algorithm on the VeriFinger 5.0 modules "VFExtractor.dll",
// "VFMatcher.dll" and "NFRecord.dll", loaded at run time. One extractor and
// one matcher serve every caller, one at a time under m_lock.
class CAlgoNeuro50 final : public CAlgo {
public:
    static constexpr const char* kConfigFileName = "KVTBiometricsManager.ini";

    // moduleFolder empty: the modules are found the platform's usual way
    // (platform::Module); otherwise they are taken from that folder only.
    explicit CAlgoNeuro50(std::string moduleFolder = {});
    ~CAlgoNeuro50() override;

    // Loads the modules, creates the extractor and matcher, sets the fixed
    // parameters, then those of "KVTBiometricsManager.ini" in the data folder.
    bool InitAlgo() override;
    bool GetFeatureList(const kvt__BioTemplate* biometricTemplate, kvt__BioFeature* features,
                        int32_t capacity, int32_t* count) override;
    // Frees the extractor and matcher; the modules stay loaded until destruction.
    bool ExitAlgo() override;

    // A configured threshold, a false-match percentage in (0, 100], in the
    // vendor's score units: (2 - log10(percent)) * 12, rounded.
    static int32_t ThresholdFromPercent(double percent);

private:
    bool LoadDll();
    bool ResolveEntryPoints();
    void SetExtractorParameter(int32_t id, int32_t value);
    void SetMatcherParameter(int32_t id, int32_t value);
    int32_t GetExtractorParameter(int32_t id);
    // The keys of "KVTBiometricsManager.ini"; a missing key keeps the module's value.
    void ApplyConfiguration(const CDataFile& config);
    void FreeVendorObjects();

    bool _Extract(const uint8_t* pixels, int32_t width, int32_t height, uint8_t* templateBuffer,
                  int32_t* size, int32_t* type, int32_t* subType, int32_t* minutiaeCount,
                  int32_t* quality) override;
    bool _Match(const kvt__BioTemplate* probe, const kvt__BioTemplate* references, int32_t count,
                kvt__Match* success, int32_t* index, int32_t* quality, int32_t* score) override;

    std::string m_moduleFolder;
    platform::Module m_extractorModule;
    platform::Module m_matcherModule;
    platform::Module m_recordModule;

    decltype(&::VfeCreate) m_pfVfeCreate = nullptr;
    decltype(&::VfeFree) m_pfVfeFree = nullptr;
    decltype(&::VfeReset) m_pfVfeReset = nullptr;
    decltype(&::VfeCopyParameters) m_pfVfeCopyParameters = nullptr;
    decltype(&::VfeGetMaxTemplateSize) m_pfVfeGetMaxTemplateSize = nullptr;
    decltype(&::VfeExtract) m_pfVfeExtract = nullptr;
    decltype(&::VfeExtractFromImage) m_pfVfeExtractFromImage = nullptr;
    decltype(&::VfeExtractUnpacked) m_pfVfeExtractUnpacked = nullptr;
    decltype(&::VfeExtractUnpackedFromImage) m_pfVfeExtractUnpackedFromImage = nullptr;
    decltype(&::VfeGeneralize) m_pfVfeGeneralize = nullptr;
    decltype(&::VfeGeneralizeUnpacked) m_pfVfeGeneralizeUnpacked = nullptr;
    decltype(&::VfeGetParameterA) m_pfVfeGetParameter = nullptr;
    decltype(&::VfeSetParameterA) m_pfVfeSetParameter = nullptr;
    decltype(&::VfmCopyParameters) m_pfVfmCopyParameters = nullptr;
    decltype(&::VfmCreate) m_pfVfmCreate = nullptr;
    decltype(&::VfmFree) m_pfVfmFree = nullptr;
    decltype(&::VfmReset) m_pfVfmReset = nullptr;
    decltype(&::VfmVerify) m_pfVfmVerify = nullptr;
    decltype(&::VfmIdentifyStart) m_pfVfmIdentifyStart = nullptr;
    decltype(&::VfmIdentifyNext) m_pfVfmIdentifyNext = nullptr;
    decltype(&::VfmIdentifyEnd) m_pfVfmIdentifyEnd = nullptr;
    decltype(&::VfmMatchDetailsFree) m_pfVfmMatchDetailsFree = nullptr;
    decltype(&::VfmGetParameterA) m_pfVfmGetParameter = nullptr;
    decltype(&::VfmSetParameterA) m_pfVfmSetParameter = nullptr;
    decltype(&::NFRecordCreateFromMemory) m_pfNFRecordCreateFromMemory = nullptr;
    decltype(&::NFRecordGetMinutiaCount) m_pfNFRecordGetMinutiaCount = nullptr;
    decltype(&::NFRecordGetMinutiae) m_pfNFRecordGetMinutiae = nullptr;

    HVFEXTRACTOR m_extractor = nullptr;
    HVFMATCHER m_matcher = nullptr;
    CCritSec m_lock;
};
