#include "common/Records.h"

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
