/* Entry points of our three loadable fingerprint modules, VFExtractor,
 * VFMatcher and NFRecord, which stand in for the vendor modules that the SDK's
 * algorithm adapter loads by name. The names, argument order and calling
 * convention are those the adapter uses; templates, scores and parameter
 * meanings are our engine's (fingerprint/README.md).
 *
 * Every function returns 0 on success and a negative VF_ERROR_* code
 * otherwise. A handle may be used by one thread at a time per call (each
 * handle has its own lock, so concurrent calls on one handle are serialised);
 * different handles share nothing except NFRecord's pool of recent records. */
#ifndef KVT_VFMODULES_H
#define KVT_VFMODULES_H

#include <stdint.h>

#if defined(_WIN32)
#define VF_API __stdcall
#else
#define VF_API
#endif

#if defined(VF_BUILDING_MODULE) && !defined(_WIN32)
#define VF_EXPORT __attribute__((visibility("default")))
#else
#define VF_EXPORT /* exported through the module's .def file on Windows */
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
    VF_OK = 0,
    VF_ERROR_ARGUMENT = -1,      /* null pointer, bad size or an unusable image geometry */
    VF_ERROR_PARAMETER = -2,     /* unknown parameter id or value out of its range */
    VF_ERROR_TEMPLATE = -3,      /* template corrupt, truncated or of another format */
    VF_ERROR_NOT_SUPPORTED = -4, /* entry point present for the loader only */
    VF_ERROR_MEMORY = -5,
    VF_ERROR_STATE = -6,  /* e.g. VfmIdentifyNext without VfmIdentifyStart */
    VF_ERROR_BUFFER = -7, /* output capacity too small */
    VF_ERROR_HANDLE = -8, /* null or foreign handle, or an expired record */
    VF_ERROR_INTERNAL = -9
};

typedef struct VfeExtractorObject* HVFEXTRACTOR;
typedef struct VfmMatcherObject* HVFMATCHER;
typedef struct NFRecordObject* HNFRECORD;

/* Extractor parameter ids (values are 32-bit integers). */
enum {
    VFE_PARAM_TEMPLATE_SIZE = 100,        /* 256 full template (with foreground mask), 0 small */
    VFE_PARAM_MAX_MINUTIAE = 110,         /* 1..255, default 120 */
    VFE_PARAM_SINGULAR_POINTS = 130,      /* 0/1, default 1 */
    VFE_PARAM_MAX_CORES = 131,            /* 0..4, default 2 */
    VFE_PARAM_MAX_DELTAS = 132,           /* 0..4, default 2 */
    VFE_PARAM_MAX_DOUBLE_CORES = 133,     /* 0..2, default 1 */
    VFE_PARAM_ENHANCE = 190,              /* 0/1 contextual filtering, default 1 */
    VFE_PARAM_GENERALIZE_THRESHOLD = 300, /* score units 0..1000, default 24 */
    VFE_PARAM_MIN_QUALITY = 900           /* 0..100 extra minutia quality floor, default 0 */
};

/* Matcher parameter ids. */
enum {
    VFM_PARAM_THRESHOLD = 200, /* score units 0..1000: lower scores are reported as 0; default 0 */
    VFM_PARAM_MAX_ROTATION = 201, /* steps of pi/128, 0..128, default 32 (45 degrees) */
    VFM_PARAM_HYPOTHESES = 1000   /* alignments tried per comparison, 0..64, 0 = default (12) */
};

/* One minutia as NFRecordGetMinutiae writes it: 12 bytes. */
typedef struct NFMinutia {
    uint16_t x;
    uint16_t y;
    int32_t type;      /* 0 unknown, 1 ridge ending, 2 bifurcation */
    uint8_t direction; /* steps of pi/128, counter-clockwise with y pointing down */
    uint8_t unused;
    uint8_t curvature; /* 0 straight .. 255 strongly curved ridges */
    uint8_t g;         /* minutia quality 0..100 */
} NFMinutia;

/* Details of the last comparison of an identification. */
typedef struct VfmMatchDetails {
    int32_t score;    /* as VfmIdentifyNext reported it */
    int32_t matched;  /* minutiae paired */
    int32_t rotation; /* probe to reference, steps of pi/128 */
    int32_t dx, dy;   /* probe to reference translation in pixels */
} VfmMatchDetails;
typedef VfmMatchDetails* HVFMATCHDETAILS;

/* VFExtractor */
VF_EXPORT int32_t VF_API VfeCreate(HVFEXTRACTOR* extractor);
VF_EXPORT int32_t VF_API VfeFree(HVFEXTRACTOR extractor);
VF_EXPORT int32_t VF_API VfeReset(HVFEXTRACTOR extractor);
VF_EXPORT int32_t VF_API VfeCopyParameters(HVFEXTRACTOR destination, HVFEXTRACTOR source);
VF_EXPORT int32_t VF_API VfeGetMaxTemplateSize(HVFEXTRACTOR extractor, int32_t* size);
/* Extracts a template from 8-bit grey pixels (rows rowLength bytes apart,
 * bottom-up as in a BMP file, as the adapter passes them; the template's y
 * counts from the first row given). reserved and mode are accepted and
 * ignored (the adapter passes 0 and 9). An image without a usable
 * fingerprint succeeds with *size = 0. */
VF_EXPORT int32_t VF_API VfeExtract(HVFEXTRACTOR extractor, int32_t width, int32_t height,
                                    int32_t rowLength, int32_t horizontalResolution,
                                    int32_t verticalResolution, const uint8_t* pixels,
                                    int32_t reserved, int32_t mode, uint8_t* buffer,
                                    int32_t capacity, int32_t* size);
VF_EXPORT int32_t VF_API VfeExtractFromImage(HVFEXTRACTOR extractor, const void* image,
                                             uint8_t* buffer, int32_t capacity, int32_t* size);
VF_EXPORT int32_t VF_API VfeExtractUnpacked(HVFEXTRACTOR extractor, int32_t width, int32_t height,
                                            int32_t rowLength, const uint8_t* pixels,
                                            void* features);
VF_EXPORT int32_t VF_API VfeExtractUnpackedFromImage(HVFEXTRACTOR extractor, const void* image,
                                                     void* features);
/* Of `count` templates of one finger, writes the one that agrees best with the
 * others; *size = 0 when some pair scores below VFE_PARAM_GENERALIZE_THRESHOLD. */
VF_EXPORT int32_t VF_API VfeGeneralize(HVFEXTRACTOR extractor, int32_t count,
                                       const uint8_t* const* templates, const int32_t* sizes,
                                       uint8_t* buffer, int32_t capacity, int32_t* size);
VF_EXPORT int32_t VF_API VfeGeneralizeUnpacked(HVFEXTRACTOR extractor, int32_t count,
                                               const void* const* features, void* result);
VF_EXPORT int32_t VF_API VfeSetParameterA(HVFEXTRACTOR extractor, int32_t id, const void* value);
VF_EXPORT int32_t VF_API VfeGetParameterA(HVFEXTRACTOR extractor, int32_t id, void* value);

/* VFMatcher */
VF_EXPORT int32_t VF_API VfmCreate(HVFMATCHER* matcher);
VF_EXPORT int32_t VF_API VfmFree(HVFMATCHER matcher);
VF_EXPORT int32_t VF_API VfmReset(HVFMATCHER matcher);
VF_EXPORT int32_t VF_API VfmCopyParameters(HVFMATCHER destination, HVFMATCHER source);
/* One-to-one comparison; details may be null, else freed with VfmMatchDetailsFree. */
VF_EXPORT int32_t VF_API VfmVerify(HVFMATCHER matcher, const uint8_t* probe, int32_t probeSize,
                                   const uint8_t* reference, int32_t referenceSize,
                                   HVFMATCHDETAILS* details, int32_t* score);
/* *details (the pointer may be null) receives a record that VfmIdentifyNext
 * fills and VfmMatchDetailsFree releases; it is set to null when the start fails. */
VF_EXPORT int32_t VF_API VfmIdentifyStart(HVFMATCHER matcher, const uint8_t* probe, int32_t size,
                                          HVFMATCHDETAILS* details);
VF_EXPORT int32_t VF_API VfmIdentifyNext(HVFMATCHER matcher, const uint8_t* reference, int32_t size,
                                         HVFMATCHDETAILS details, int32_t* score);
VF_EXPORT int32_t VF_API VfmIdentifyEnd(HVFMATCHER matcher);
VF_EXPORT int32_t VF_API VfmMatchDetailsFree(HVFMATCHDETAILS details); /* null is fine */
VF_EXPORT int32_t VF_API VfmSetParameterA(HVFMATCHER matcher, int32_t id, const void* value);
VF_EXPORT int32_t VF_API VfmGetParameterA(HVFMATCHER matcher, int32_t id, void* value);

/* NFRecord. Records live in a pool of the 64 most recent ones, shared by all
 * threads: the adapter never releases them, so the oldest expire instead and
 * a handle to an expired record returns VF_ERROR_HANDLE. */
VF_EXPORT int32_t VF_API NFRecordCreateFromMemory(const uint8_t* data, int32_t size, uint32_t flags,
                                                  void* reserved, HNFRECORD* record);
VF_EXPORT int32_t VF_API NFRecordGetMinutiaCount(HNFRECORD record, int32_t* count);
/* Writes NFRecordGetMinutiaCount() records to minutiae. */
VF_EXPORT int32_t VF_API NFRecordGetMinutiae(HNFRECORD record, NFMinutia* minutiae);

#ifdef __cplusplus
}
#endif

#endif
