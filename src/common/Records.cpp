#include "common/Records.h"

namespace {

template <size_t N>
const char* Lookup(const char* const (&texts)[N], int32_t value) {
    return (value >= 0 && static_cast<size_t>(value) < N) ? texts[value] : "";
}

}  // namespace

const char* ToText(kvt__MessageType value) {
    static const char* const texts[] = {
        "Unspecified",      "NewDevice",      "LostDevice", "CapturedImage", "Timeout",
        "CaptureCancelled", "DMGoingOffline", "Locked",     "Unlocked",      "NoMessage"};
    return Lookup(texts, value);
}

const char* ToText(kvt__DeviceType value) {
    static const char* const texts[] = {"Kelo-A", "Kelo-B", "Kelo-C"};
    return Lookup(texts, value);
}

const char* ToText(kvt__ConnectionType value) {
    static const char* const texts[] = {"USB", "ETH"};
    return Lookup(texts, value);
}

const char* ToText(kvt__Match value) {
    static const char* const texts[] = {"enNoMatch", "enMatch"};
    return Lookup(texts, value);
}

const char* ToText(kvt__ResultFeedback value) {
    static const char* const texts[] = {"Failed", "Succeeded", "Tentative", "Error"};
    return Lookup(texts, value);
}

void ToPublic(const kvt__DeviceInformation& in, KVT_DeviceInfo& out) {
    std::memset(&out, 0, sizeof out);
    out.size = sizeof(KVT_DeviceInfo);
    CopyToField(out.deviceId, in.deviceId);
    CopyToField(out.firmwareVersion, in.firmwareVersion);
    out.connectionType = in.connectionType;
    out.deviceType = in.deviceType;
    CopyToField(out.description, in.description);
    CopyToField(out.serialNumber, in.serialNumber);
}
