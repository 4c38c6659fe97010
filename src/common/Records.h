#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "kvt/KVTBasic.h"

// Records exchanged between the subsystems. Texts are growable strings; byte
// buffers are pointer-and-count pairs whose storage belongs to a call context
// (or to whoever filled them).

enum kvt__MessageType : int32_t {
    kvt__MessageType__Unspecified = 0,
    kvt__MessageType__NewDevice = 1,
    kvt__MessageType__LostDevice = 2,
    kvt__MessageType__CapturedImage = 3,
    kvt__MessageType__Timeout = 4,
    kvt__MessageType__CaptureCancelled = 5,
    kvt__MessageType__DMGoingOffline = 6,
    kvt__MessageType__Locked = 7,
    kvt__MessageType__Unlocked = 8,
    kvt__MessageType__NoMessage = 9,
};

enum kvt__DeviceType : int32_t {
    kvt__DeviceType__Kelo_A = 0,
    kvt__DeviceType__Kelo_B = 1,
    kvt__DeviceType__Kelo_C = 2,
};

enum kvt__ConnectionType : int32_t {
    kvt__ConnectionType__USB = 0,
    kvt__ConnectionType__ETH = 1,
};

enum kvt__Match : int32_t {
    kvt__Match__enNoMatch = 0,
    kvt__Match__enMatch = 1,
};

enum kvt__ResultFeedback : int32_t {
    kvt__ResultFeedback__Failed = 0,
    kvt__ResultFeedback__Succeeded = 1,
    kvt__ResultFeedback__Tentative = 2,
    kvt__ResultFeedback__Error = 3,
};

struct xsd__base64Binary {
    unsigned char* ptr = nullptr;
    int32_t size = 0;
};

struct kvt__CapturedData {
    xsd__base64Binary image;  // the complete BMP file
    int32_t LFDLevel = 0;
    std::string properties;
    std::string LFDData;
};

struct kvt__TransportMessage {
    kvt__MessageType type = kvt__MessageType__Unspecified;
    std::string receiver;
    std::string deviceId;
    std::string additionalInfo;
    kvt__CapturedData data;
};

struct kvt__DeviceInformation {
    std::string deviceId;
    std::string firmwareVersion;
    kvt__ConnectionType connectionType = kvt__ConnectionType__USB;
    kvt__DeviceType deviceType = kvt__DeviceType__Kelo_A;
    std::string description;
    std::string serialNumber;
};

struct kvt__BioAlgorithmInfo {
    std::string name;
    std::string version;
    std::string info;
    std::string id;
    int32_t type = 0;
    int32_t subType = 0;
    uint32_t capabilities = 0;
};

struct kvt__BioTemplate {
    xsd__base64Binary data;
    int32_t bytesEffective = 0;
    int32_t quality = 0;
    int32_t minutiaeCount = 0;
    int32_t type = 0;
    int32_t subType = 0;
    std::string properties;
};

struct kvt__BioFeature {
    int32_t x = 0;
    int32_t y = 0;
    int32_t type = 0;
    double direction = 0.0;
    double curvature = 0.0;
    double g = 0.0;
};

struct kvt__MatchResult {
    kvt__Match success = kvt__Match__enNoMatch;
    int32_t index = -1;
    int32_t quality = -1;
    int32_t score = -1;
};

// A contiguous run of records and its element count; empty when constructed.
template <typename T>
struct ArrayOf {
    T* ptr = nullptr;
    int32_t size = 0;
    T* begin() const { return ptr; }
    T* end() const { return ptr + size; }
};

using ArrayOfDeviceInformation = ArrayOf<kvt__DeviceInformation>;
using ArrayOfBioFeature = ArrayOf<kvt__BioFeature>;
using ArrayOfBioTemplate = ArrayOf<kvt__BioTemplate>;
using ArrayOfBioAlgorithmInfo = ArrayOf<kvt__BioAlgorithmInfo>;

// Argument types of the sensors' maintenance operations.
struct dm__LFDParameter {
    uint16_t nIntensityRed = 0;
    uint16_t nIntensityGreen = 0;
    uint16_t nIntensityBlue = 0;
    uint16_t nIntensityIr = 0;
    uint16_t nMeasuredRed = 0;
    uint16_t nMeasuredGreen = 0;
    uint16_t nMeasuredBlue = 0;
    uint16_t nMeasuredIr = 0;
    uint16_t nMeasuredOff = 0;
    uint16_t nTolerance = 0;
};

struct dm__TriggerThresholds {
    uint16_t min = 0;
    uint16_t max = 0;
};

struct Position {
    int16_t xPixelOffset = 0;
    int16_t yPixelOffset = 0;
};

// Copies text into a fixed public text field, cut to the field's width minus
// one, always zero-terminated.
template <size_t N>
void CopyToField(char (&field)[N], std::string_view text) {
    static_assert(N > 0);
    const size_t n = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

// Fills a public device record, size field included.
void ToPublic(const kvt__DeviceInformation& in, KVT_DeviceInfo& out);
