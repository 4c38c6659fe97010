// The picture a capture delivers: make-up of the raw frame and its BMP file.
#include <cstring>

#include "common/Log.h"
#include "devicemanager/DevicesManager.h"
#include "image/PLBmpEncoder.h"
#include "image/PLFilter.h"
#include "image/PLMemSink.h"
#include "image/PLWinBmp.h"
#include "image/PictureGeometry.h"

namespace {

// 500 dots per inch.
constexpr int32_t kSyncPixelsPerMetre = 19685;
constexpr size_t kXResolutionOffset = 38;
constexpr size_t kYResolutionOffset = 42;

void PutLE32(uint8_t* at, int32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i));
}

// Makes up raw and encodes it into sink. Returns the file size, or 0 (logged
// for caller) when the sink cannot get its buffer.
size_t EncodePicture(const uint8_t* raw, const CProperties& properties, PLMemSink& sink,
                     const char* caller) {
    PLWinBmp bitmap;
    CDevicesManager::MakeupImage(raw, properties, bitmap);
    // The object's own size on top of the file: room to spare for the encoder.
    if (sink.Open("mem", bitmap.GetMemUsed()) != 0) {
        CLog::Instance().Error("%s: cannot allocate %zu bytes for the picture", caller,
                               bitmap.GetMemUsed());
        return 0;
    }
    PLBmpEncoder().EncodeToSink(bitmap, sink);
    return static_cast<size_t>(
        PLWinBmp::GetMemNeeded(bitmap.GetWidth(), bitmap.GetHeight(), bitmap.GetBitsPerPixel()));
}

}  // namespace

void CDevicesManager::MakeupImage(const uint8_t* raw, const CProperties& properties,
                                  PLWinBmp& bitmap) {
    CFunctionTrace trace("CDevicesManager::MakeupImage");
    const PictureGeometry& g = PictureGeometryFor(properties.GetValue("PictureSize"));
    const int32_t w = g.rawWidth;
    const int32_t h = g.rawHeight;

    bitmap.Create(w, h, PLPixelDesc::L8);
    // One block: the bitmap stores its lines bottom-up, so line y now holds
    // raw row h - 1 - y. The quarter turn below accounts for that.
    std::memcpy(bitmap.GetPixels(), raw, static_cast<size_t>(w) * static_cast<size_t>(h));
    bitmap.RunFilter(PLFilterCrop(g.cropColumns, g.cropRows, w - g.cropColumns, h - g.cropRows));
    bitmap.RunFilter(PLFilterRotate(PLFilterRotate::k90));
    if (properties.GetValue("ImageMode") == 1) bitmap.RunFilter(PLFilterMirror());
    if (properties.GetValue("Inverted") != 0) bitmap.RunFilter(PLFilterInvert());
}

void CDevicesManager::CopyImageToBase64Binary(const uint8_t* raw, CCallContext* context,
                                              const CProperties& properties,
                                              xsd__base64Binary* target) {
    static constexpr const char* kName = "CDevicesManager::CopyImageToBase64Binary";
    CFunctionTrace trace(kName);
    if (raw == nullptr) return;
    if (context == nullptr || target == nullptr) {
        CLog::Instance().Error("%s: no call context or target", kName);
        return;
    }
    // A picture that cannot be delivered whole is delivered empty.
    target->ptr = nullptr;
    target->size = 0;

    PLMemSink sink;
    const size_t size = EncodePicture(raw, properties, sink, kName);
    if (size == 0) return;
    uint8_t* file = sink.GetBytes();
    PutLE32(file + kXResolutionOffset, kSyncPixelsPerMetre);
    PutLE32(file + kYResolutionOffset, kSyncPixelsPerMetre);

    unsigned char* block = context->Allocate(size);
    if (block == nullptr) {
        CLog::Instance().Error("%s: cannot allocate %zu bytes for the picture", kName, size);
        return;
    }
    std::memcpy(block, file, size);
    target->ptr = block;
    target->size = static_cast<int32_t>(size);
}

void CDevicesManager::CopyImageToMessage(const uint8_t* raw, const CProperties& properties,
                                         QueuedMessage& message) {
    static constexpr const char* kName = "CDevicesManager::CopyImageToMessage";
    CFunctionTrace trace(kName);
    if (raw == nullptr) return;
    message.image.clear();

    PLMemSink sink;
    const size_t size = EncodePicture(raw, properties, sink, kName);
    if (size == 0) return;
    const uint8_t* file = sink.GetBytes();
    message.image.assign(file, file + size);
}
