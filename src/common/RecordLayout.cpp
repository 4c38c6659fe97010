// The public records cross the C boundary to applications built with other
// compilers; a field that moves breaks them silently, so pin every offset and size.
#include <cstddef>

#include "kvt/KVTBasic.h"

static_assert(sizeof(void*) == 4 || sizeof(void*) == 8);
constexpr bool kPointers64 = sizeof(void*) == 8;

static_assert(sizeof(KVT_DeviceInfo) == 732);
static_assert(offsetof(KVT_DeviceInfo, size) == 0);
static_assert(offsetof(KVT_DeviceInfo, deviceId) == 4);
static_assert(offsetof(KVT_DeviceInfo, firmwareVersion) == 260);
static_assert(offsetof(KVT_DeviceInfo, connectionType) == 364);
static_assert(offsetof(KVT_DeviceInfo, deviceType) == 368);
static_assert(offsetof(KVT_DeviceInfo, description) == 372);
static_assert(offsetof(KVT_DeviceInfo, serialNumber) == 628);

static_assert(sizeof(KVT_CapturedData) == (kPointers64 ? 536 : 528));
static_assert(offsetof(KVT_CapturedData, size) == 0);
static_assert(offsetof(KVT_CapturedData, LFDLevel) == 4);
static_assert(offsetof(KVT_CapturedData, LFDData) == 8);
static_assert(offsetof(KVT_CapturedData, properties) == 264);
static_assert(offsetof(KVT_CapturedData, image) == 520);
static_assert(offsetof(KVT_CapturedData, imageSize) == (kPointers64 ? 528 : 524));

static_assert(sizeof(KVT_Message) == (kPointers64 ? 1056 : 1048));
static_assert(offsetof(KVT_Message, size) == 0);
static_assert(offsetof(KVT_Message, type) == 4);
static_assert(offsetof(KVT_Message, deviceId) == 8);
static_assert(offsetof(KVT_Message, additionalInfo) == 264);
static_assert(offsetof(KVT_Message, capturedData) == 520);

static_assert(sizeof(KVT_Template) == 10280);
static_assert(offsetof(KVT_Template, size) == 0);
static_assert(offsetof(KVT_Template, data) == 4);
static_assert(offsetof(KVT_Template, bytesEffective) == 10004);
static_assert(offsetof(KVT_Template, quality) == 10008);
static_assert(offsetof(KVT_Template, minutiaeCount) == 10012);
static_assert(offsetof(KVT_Template, type) == 10016);
static_assert(offsetof(KVT_Template, subType) == 10020);
static_assert(offsetof(KVT_Template, properties) == 10024);

static_assert(sizeof(KVT_MatchResult) == 20);
static_assert(offsetof(KVT_MatchResult, size) == 0);
static_assert(offsetof(KVT_MatchResult, success) == 4);
static_assert(offsetof(KVT_MatchResult, index) == 8);
static_assert(offsetof(KVT_MatchResult, quality) == 12);
static_assert(offsetof(KVT_MatchResult, score) == 16);

static_assert(sizeof(KVT_BiometricsInfo) == 96);
static_assert(offsetof(KVT_BiometricsInfo, size) == 0);
static_assert(offsetof(KVT_BiometricsInfo, name) == 4);
static_assert(offsetof(KVT_BiometricsInfo, version) == 24);
static_assert(offsetof(KVT_BiometricsInfo, info) == 34);
static_assert(offsetof(KVT_BiometricsInfo, type) == 84);
static_assert(offsetof(KVT_BiometricsInfo, subType) == 88);
static_assert(offsetof(KVT_BiometricsInfo, capabilities) == 92);
