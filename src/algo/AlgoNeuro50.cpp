#include "algo/AlgoNeuro50.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <numbers>
#include <utility>
#include <vector>

#include "common/DataFile.h"
#include "common/Log.h"
#include "platform/Paths.h"

static_assert(sizeof(NFMinutia) == 12, "the vendor's minutia record is 12 bytes");

namespace {

constexpr int32_t kResolution = 500;  // dots per inch of every picture the library delivers
constexpr int32_t kExtractReserved = 0;
constexpr int32_t kExtractMode = 9;
constexpr int32_t kQualityPerMinutiae = 70;  // this many minutiae make quality 100
constexpr int32_t kMinQuality = 20;          // templates at or below this are refused
constexpr int32_t kMatchScoreScale = 500;    // score giving quality 100
constexpr int32_t kMatchSuccessQuality = 8;  // a match needs a quality above this

// Fixed parameters, set before the configuration file is read.
constexpr int32_t kEnhance = 1;
constexpr int32_t kMinMinutiaQuality = 0;
constexpr int32_t kMatchingThreshold = 80;
constexpr int32_t kMaxRotation = 32;
constexpr int32_t kMatchingHypotheses = 0;

// Template size values of extractor parameter 100.
constexpr int32_t kFullTemplates = 256;
constexpr int32_t kSmallTemplates = 0;

const char* TrueFalse(bool value) {
    return value ? "true" : "false";
}

// Resolves one entry point; name is looked up, shown is what the log calls it.
template <typename F>
bool Resolve(const platform::Module& module, const char* name, F& target,
             const char* shown = nullptr) {
    target = reinterpret_cast<F>(module.Symbol(name));
    if (target != nullptr) return true;
    CLog::Instance().Error("CAlgoNeuro50::LoadDll: function %s not found",
                           shown != nullptr ? shown : name);
    return false;
}

}  // namespace

CAlgoNeuro50::CAlgoNeuro50(std::string moduleFolder) : m_moduleFolder(std::move(moduleFolder)) {
    m_name = "VeriFinger50";
    m_version = "5.0";
    m_info = "VeriFinger 5.0 modules of Neurotechnologija";
    m_type = 2;
    m_subType = 50;
    m_capabilities = 1;
}

CAlgoNeuro50::~CAlgoNeuro50() {
    FreeVendorObjects();
    m_extractorModule.Unload();
    m_matcherModule.Unload();
    m_recordModule.Unload();
}

int32_t CAlgoNeuro50::ThresholdFromPercent(double percent) {
    if (percent > 100.0) percent = 100.0;
    if (!(percent > 0.0)) percent = 1e-100;  // NaN too
    return static_cast<int32_t>(std::lround((2.0 - std::log10(percent)) * 12.0));
}

bool CAlgoNeuro50::LoadDll() {
    CLog& log = CLog::Instance();
    if (m_extractorModule.IsLoaded()) {
        log.Error("CAlgoNeuro50::LoadDll: DLLs already loaded");
        return false;
    }
    const std::pair<platform::Module*, const char*> modules[] = {
        {&m_extractorModule, "VFExtractor.dll"},
        {&m_matcherModule, "VFMatcher.dll"},
        {&m_recordModule, "NFRecord.dll"},
    };
    for (const auto& [module, name] : modules) {
        std::string reason;
        if (!module->Load(name, m_moduleFolder, &reason)) {
            log.Error("CAlgoNeuro50::LoadDll: failed to load %s", name);
            log.Debug("CAlgoNeuro50::LoadDll: %s", reason.c_str());
            return false;
        }
    }
    return ResolveEntryPoints();
}

// Every entry point, also those never called, in the vendor's documented order.
bool CAlgoNeuro50::ResolveEntryPoints() {
    const platform::Module& vfe = m_extractorModule;
    const platform::Module& vfm = m_matcherModule;
    const platform::Module& nfr = m_recordModule;
    return Resolve(vfe, "VfeCreate", m_pfVfeCreate) && Resolve(vfe, "VfeFree", m_pfVfeFree) &&
           Resolve(vfe, "VfeReset", m_pfVfeReset) &&
           Resolve(vfe, "VfeCopyParameters", m_pfVfeCopyParameters) &&
           Resolve(vfe, "VfeGetMaxTemplateSize", m_pfVfeGetMaxTemplateSize) &&
           Resolve(vfe, "VfeExtract", m_pfVfeExtract) &&
           Resolve(vfe, "VfeExtractFromImage", m_pfVfeExtractFromImage) &&
           Resolve(vfe, "VfeExtractUnpacked", m_pfVfeExtractUnpacked) &&
           Resolve(vfe, "VfeExtractUnpackedFromImage", m_pfVfeExtractUnpackedFromImage) &&
           Resolve(vfe, "VfeGeneralize", m_pfVfeGeneralize) &&
           Resolve(vfe, "VfeGeneralizeUnpacked", m_pfVfeGeneralizeUnpacked) &&
           Resolve(vfe, "VfeGetParameterA", m_pfVfeGetParameter, "VfeGetParameter") &&
           Resolve(vfe, "VfeSetParameterA", m_pfVfeSetParameter, "VfeSetParameter") &&
           Resolve(vfm, "VfmCopyParameters", m_pfVfmCopyParameters) &&
           Resolve(vfm, "VfmCreate", m_pfVfmCreate) && Resolve(vfm, "VfmFree", m_pfVfmFree) &&
           Resolve(vfm, "VfmReset", m_pfVfmReset) && Resolve(vfm, "VfmVerify", m_pfVfmVerify) &&
           Resolve(vfm, "VfmIdentifyStart", m_pfVfmIdentifyStart) &&
           Resolve(vfm, "VfmIdentifyNext", m_pfVfmIdentifyNext) &&
           Resolve(vfm, "VfmIdentifyEnd", m_pfVfmIdentifyEnd) &&
           Resolve(vfm, "VfmMatchDetailsFree", m_pfVfmMatchDetailsFree) &&
           Resolve(vfm, "VfmGetParameterA", m_pfVfmGetParameter, "VfmGetParameter") &&
           Resolve(vfm, "VfmSetParameterA", m_pfVfmSetParameter, "VfmSetParameter") &&
           Resolve(nfr, "NFRecordCreateFromMemory", m_pfNFRecordCreateFromMemory) &&
           Resolve(nfr, "NFRecordGetMinutiaCount", m_pfNFRecordGetMinutiaCount) &&
           Resolve(nfr, "NFRecordGetMinutiae", m_pfNFRecordGetMinutiae);
}

bool CAlgoNeuro50::InitAlgo() {
    CFunctionTrace trace("CAlgoNeuro50::InitAlgo");
    CLog& log = CLog::Instance();
    if (m_initialized) return false;
    if (!LoadDll()) {
        log.Error("CAlgoNeuro50::InitAlgo: LoadDll() failed");
        return false;
    }
    if (m_pfVfeCreate(&m_extractor) != 0) {
        m_extractor = nullptr;
        log.Error("CAlgoNeuro50::InitAlgo: m_pfVfeCreate() failed");
        return false;
    }
    if (m_pfVfmCreate(&m_matcher) != 0) {
        m_matcher = nullptr;
        log.Error("CAlgoNeuro50::InitAlgo: m_pfVfmCreate() failed");
        FreeVendorObjects();
        return false;
    }

    SetExtractorParameter(VFE_PARAM_ENHANCE, kEnhance);
    SetExtractorParameter(VFE_PARAM_MIN_QUALITY, kMinMinutiaQuality);
    SetMatcherParameter(VFM_PARAM_THRESHOLD, kMatchingThreshold);
    SetMatcherParameter(VFM_PARAM_MAX_ROTATION, kMaxRotation);
    SetMatcherParameter(VFM_PARAM_HYPOTHESES, kMatchingHypotheses);
    log.Info(
        "Max-Minutiae:%d, Extract Singular Points:%s, Max-Core:%d, MaxDelta:%d, "
        "Max-DoubleCore:%d",
        GetExtractorParameter(VFE_PARAM_MAX_MINUTIAE),
        TrueFalse(GetExtractorParameter(VFE_PARAM_SINGULAR_POINTS) != 0),
        GetExtractorParameter(VFE_PARAM_MAX_CORES), GetExtractorParameter(VFE_PARAM_MAX_DELTAS),
        GetExtractorParameter(VFE_PARAM_MAX_DOUBLE_CORES));

    const std::string folder = GetApplicationDataFolder();
    CDataFile config;
    if (!folder.empty() && config.Load(platform::JoinPath(folder, kConfigFileName)))
        ApplyConfiguration(config);

    log.Info("VeriFinger 5.0 initialized");
    m_initialized = true;
    return true;
}

// Results of setting and reading parameters are not checked: a module that
// refuses a value keeps its own, and the read-back in the log shows it.
void CAlgoNeuro50::SetExtractorParameter(int32_t id, int32_t value) {
    m_pfVfeSetParameter(m_extractor, id, &value);
}

void CAlgoNeuro50::SetMatcherParameter(int32_t id, int32_t value) {
    m_pfVfmSetParameter(m_matcher, id, &value);
}

int32_t CAlgoNeuro50::GetExtractorParameter(int32_t id) {
    int32_t value = 0;
    m_pfVfeGetParameter(m_extractor, id, &value);
    return value;
}

void CAlgoNeuro50::ApplyConfiguration(const CDataFile& config) {
    CLog& log = CLog::Instance();
    const float generalization = config.GetFloat("VF50-GThreshold");
    if (generalization != CDataFile::kFloatMissing) {
        const int32_t threshold = ThresholdFromPercent(generalization);
        SetExtractorParameter(VFE_PARAM_GENERALIZE_THRESHOLD, threshold);
        log.Info("CAlgoNeuro50::InitAlgo: Generalization threshold is set to %d (%g)", threshold,
                 static_cast<double>(generalization));
    }
    const float matching = config.GetFloat("VF50-MThreshold");
    if (matching != CDataFile::kFloatMissing) {
        const int32_t threshold = ThresholdFromPercent(matching);
        SetMatcherParameter(VFM_PARAM_THRESHOLD, threshold);
        log.Info("CAlgoNeuro50::InitAlgo: Matching threshold is set to %d (%g)", threshold,
                 static_cast<double>(matching));
    }
    const int32_t singularPoints = config.GetInt("VF50-ExtractSingularPoints");
    if (singularPoints != CDataFile::kIntMissing) {
        SetExtractorParameter(VFE_PARAM_SINGULAR_POINTS, singularPoints != 0 ? 1 : 0);
        log.Info("CAlgoNeuro50::InitAlgo: Extract Singular Points is set to %s",
                 TrueFalse(singularPoints != 0));
    }
    // Taken as they are; the module refuses values outside its range.
    const struct {
        const char* key;
        int32_t parameter;
        const char* logged;  // null: applied without a log line
    } counts[] = {
        {"VF50-MaxMinutiaeCount", VFE_PARAM_MAX_MINUTIAE, "Max minutiae count"},
        {"VF50-MaxCoreCount", VFE_PARAM_MAX_CORES, "Max core count"},
        {"VF50-MaxDoubleCoreCount", VFE_PARAM_MAX_DOUBLE_CORES, "Max double core count"},
        {"VF50-MaxDeltaCount", VFE_PARAM_MAX_DELTAS, nullptr},
    };
    for (const auto& count : counts) {
        const int32_t value = config.GetInt(count.key);
        if (value == CDataFile::kIntMissing) continue;
        SetExtractorParameter(count.parameter, value);
        if (count.logged != nullptr)
            log.Info("CAlgoNeuro50::InitAlgo: %s is set to %d", count.logged, value);
    }
    const int32_t small = config.GetInt("VF50-UseSmallTemplateSize");
    if (small != CDataFile::kIntMissing) {
        SetExtractorParameter(VFE_PARAM_TEMPLATE_SIZE,
                              small != 0 ? kSmallTemplates : kFullTemplates);
        log.Info("CAlgoNeuro50::InitAlgo: Use small template Size is set to %s",
                 TrueFalse(small != 0));
    }

    log.Info(
        "Create small templates:%s Max-Minutiae:%d, Extract Singular Points:%s, "
        "Max-Core:%d, MaxDelta:%d, Max-DoubleCore:%d",
        TrueFalse(GetExtractorParameter(VFE_PARAM_TEMPLATE_SIZE) == kSmallTemplates),
        GetExtractorParameter(VFE_PARAM_MAX_MINUTIAE),
        TrueFalse(GetExtractorParameter(VFE_PARAM_SINGULAR_POINTS) != 0),
        GetExtractorParameter(VFE_PARAM_MAX_CORES), GetExtractorParameter(VFE_PARAM_MAX_DELTAS),
        GetExtractorParameter(VFE_PARAM_MAX_DOUBLE_CORES));
}

bool CAlgoNeuro50::ExitAlgo() {
    if (!m_initialized) return true;
    FreeVendorObjects();
    // Without its extractor and matcher the object must not extract or match.
    m_initialized = false;
    return true;
}

void CAlgoNeuro50::FreeVendorObjects() {
    if (m_extractor != nullptr) m_pfVfeFree(m_extractor);
    if (m_matcher != nullptr) m_pfVfmFree(m_matcher);
    m_extractor = nullptr;
    m_matcher = nullptr;
}

bool CAlgoNeuro50::_Extract(const uint8_t* pixels, int32_t width, int32_t height,
                            uint8_t* templateBuffer, int32_t* size, int32_t* type, int32_t* subType,
                            int32_t* minutiaeCount, int32_t* quality) {
    CCritSecLock lock(m_lock);
    CFunctionTrace trace("CAlgoNeuro50::_Extract");
    CLog& log = CLog::Instance();

    *size = 0;
    if (m_pfVfeExtract(m_extractor, width, height, width, kResolution, kResolution, pixels,
                       kExtractReserved, kExtractMode, templateBuffer, kTemplateCapacity,
                       size) != 0 ||
        *size > kTemplateCapacity) {
        log.Error("CAlgoNeuro50::_Extract: m_pfVFeExtract() failed");
        return false;
    }
    if (*size <= 0) {
        log.Debug("CAlgoNeuro50::_Extract: Image quality not sufficient");
        return false;
    }
    HNFRECORD record = nullptr;
    if (m_pfNFRecordCreateFromMemory(templateBuffer, *size, 0, nullptr, &record) != 0) {
        log.Error("CAlgoNeuro50::_Extract: m_pfNFRecordCreateFromMemory failed");
        return false;
    }
    if (m_pfNFRecordGetMinutiaCount(record, minutiaeCount) != 0) {
        log.Error("CAlgoNeuro50::_Extract: m_pfNFRecordGetMinutiaCount failed");
        return false;
    }
    *quality = *minutiaeCount * 100 / kQualityPerMinutiae;
    *type = m_type;
    *subType = m_subType;
    if (*quality <= kMinQuality) {
        log.Debug("CAlgoNeuro50::_Extract: Template generated, quality not sufficient");
        return false;
    }
    return true;
}

bool CAlgoNeuro50::_Match(const kvt__BioTemplate* probe, const kvt__BioTemplate* references,
                          int32_t count, kvt__Match* success, int32_t* index, int32_t* quality,
                          int32_t* score) {
    CCritSecLock lock(m_lock);
    CFunctionTimer timer("CAlgoNeuro50::_Match");
    CLog& log = CLog::Instance();

    int32_t bestScore = -1;
    int32_t bestIndex = -1;
    bool result = true;
    HVFMATCHDETAILS details = nullptr;
    if (m_pfVfmIdentifyStart(m_matcher, probe->data.ptr, probe->data.size, &details) == 0) {
        for (int32_t i = 0; i < count; ++i) {
            int32_t current = 0;
            if (m_pfVfmIdentifyNext(m_matcher, references[i].data.ptr, references[i].data.size,
                                    details, &current) != 0) {
                log.Error("CAlgoNeuro50::_Match: m_pfVFIdentifyNext() delivered unexpected error");
                result = false;
                break;
            }
            if (current > 0) {
                log.Info("CAlgoNeuro50::_Match: Match with score %d at index %d of %d templates",
                         current, i, count);
            }
            // Strictly greater: the first of equal scores wins.
            if (current > bestScore) {
                bestScore = current;
                bestIndex = i;
            }
        }
    }
    m_pfVfmIdentifyEnd(m_matcher);
    m_pfVfmMatchDetailsFree(details);

    *score = bestScore;
    *quality = bestScore * 100 / kMatchScoreScale;
    *index = bestIndex;
    if (*quality > kMatchSuccessQuality) *success = kvt__Match__enMatch;
    return result;
}

bool CAlgoNeuro50::GetFeatureList(const kvt__BioTemplate* biometricTemplate,
                                  kvt__BioFeature* features, int32_t capacity, int32_t* count) {
    CFunctionTrace trace("CAlgoNeuro50::GetFeatureList");
    CLog& log = CLog::Instance();
    if (!m_initialized || biometricTemplate == nullptr || biometricTemplate->data.ptr == nullptr ||
        features == nullptr || count == nullptr) {
        log.Error("CAlgoNeuro50::GetFeatureList: Invalid Param");
        return false;
    }
    HNFRECORD record = nullptr;
    if (m_pfNFRecordCreateFromMemory(biometricTemplate->data.ptr, biometricTemplate->data.size, 0,
                                     nullptr, &record) != 0) {
        log.Error("CAlgoNeuro50::GetFeatureList: m_pfNFRecordCreateFromMemory failed");
        return false;
    }
    int32_t minutiae = 0;
    if (m_pfNFRecordGetMinutiaCount(record, &minutiae) != 0) {
        log.Error("CAlgoNeuro50::GetFeatureList: m_pfNFRecordGetMinutiaCount failed");
        return false;
    }
    if (minutiae < 1) {
        log.Error(
            "CAlgoNeuro50::GetFeatureList: Invalid Param, template does not deliver minutiae");
        return false;
    }
    std::vector<NFMinutia> records;
    try {
        records.resize(static_cast<size_t>(minutiae));
    } catch (const std::bad_alloc&) {
        log.Error("CAlgoNeuro50::GetFeatureList: memory allocation failed");
        return false;
    }
    m_pfNFRecordGetMinutiae(record, records.data());

    const int32_t n = std::max(0, std::min(minutiae, capacity));
    for (int32_t i = 0; i < n; ++i) {
        const NFMinutia& m = records[static_cast<size_t>(i)];
        kvt__BioFeature& f = features[i];
        f.x = m.x;
        f.y = m.y;
        f.type = m.type;
        f.direction = m.direction * std::numbers::pi / 128.0;
        f.curvature = m.curvature;
        f.g = m.g;
    }
    *count = n;
    return true;
}
