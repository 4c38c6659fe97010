// The picture a capture delivers: make-up of the raw frame and its BMP file.
#include "image/Makeup.h"

#include <cstddef>
#include <cstring>

#include "common/Log.h"
#include "image/PLBmpEncoder.h"
#include "image/PLMemSink.h"
#include "image/PLWinBmp.h"
#include "image/PictureGeometry.h"

namespace {

// The synchronous path's files say 500 dots per inch (19685 pixels per metre).
constexpr int32_t kSyncDotsPerInch = 500;

// Makes up raw and encodes it into sink. Returns the file size, or 0 (logged
// under the caller's name) when the sink cannot get its buffer.
size_t EncodePicture(const uint8_t* raw, const CProperties& properties, int32_t dotsPerInch,
                     PLMemSink& sink, const char* caller) {
    PLWinBmp bitmap;
    picture::MakeupImage(raw, properties, bitmap);
    bitmap.SetResolution({dotsPerInch, dotsPerInch});
    // The object's own size on top of the file: room to spare for the encoder.
    if (sink.Open("mem", bitmap.GetMemUsed()) != 0) {
        CLog::Instance().Error("%s: cannot allocate %lu bytes for the picture", caller,
                               static_cast<unsigned long>(bitmap.GetMemUsed()));
        return 0;
    }
    PLBmpEncoder().EncodeToSink(bitmap, sink);
    return sink.GetPosition();
}

}  // namespace

// The picture is the frame without its margins, turned a quarter so that raw
// columns become picture rows, then mirrored and inverted as asked. Done in
// one pass straight from the frame: the same result as cropping, rotating,
// mirroring and inverting in turn, without four intermediate pictures.
void picture::MakeupImage(const uint8_t* raw, const CProperties& properties, PLWinBmp& bitmap) {
    CFunctionTrace trace("CDevicesManager::MakeupImage");
    const PictureGeometry& g = PictureGeometryFor(properties.GetValue("PictureSize"));
    const int32_t croppedWidth = g.rawWidth - 2 * g.cropColumns;
    const int32_t croppedHeight = g.rawHeight - 2 * g.cropRows;
    const bool photo = properties.GetValue("ImageMode") == 1;
    const uint8_t invert = properties.GetValue("Inverted") != 0 ? 0xFF : 0x00;

    bitmap.Create(croppedHeight, croppedWidth, PLPixelDesc::L8);
    const auto rawStride = static_cast<ptrdiff_t>(g.rawWidth);
    const uint8_t* topLeft = raw + g.cropRows * rawStride + g.cropColumns;
    for (int32_t r = 0; r < croppedWidth; ++r) {
        uint8_t* line = bitmap.GetLine(r);
        const uint8_t* column = topLeft + r;
        if (photo) {
            for (int32_t c = 0; c < croppedHeight; ++c) {
                line[croppedHeight - 1 - c] = column[c * rawStride] ^ invert;
            }
        } else {
            for (int32_t c = 0; c < croppedHeight; ++c) line[c] = column[c * rawStride] ^ invert;
        }
    }
}

void picture::CopyImageToBase64Binary(const uint8_t* raw, CCallContext* context,
                                      const CProperties& properties, xsd__base64Binary* target) {
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
    const size_t size = EncodePicture(raw, properties, kSyncDotsPerInch, sink, kName);
    if (size == 0) return;
    const uint8_t* file = sink.GetBytes();

    unsigned char* block = context->Allocate(size);
    if (block == nullptr) {
        CLog::Instance().Error("%s: cannot allocate %lu bytes for the picture", kName,
                               static_cast<unsigned long>(size));
        return;
    }
    std::memcpy(block, file, size);
    target->ptr = block;
    target->size = static_cast<int32_t>(size);
}

void picture::CopyImageToFile(const uint8_t* raw, const CProperties& properties,
                              std::vector<uint8_t>& file) {
    static constexpr const char* kName = "CDevicesManager::CopyImageToMessage";
    CFunctionTrace trace(kName);
    if (raw == nullptr) return;
    file.clear();

    PLMemSink sink;
    const size_t size = EncodePicture(raw, properties, 0, sink, kName);
    if (size == 0) return;
    const uint8_t* bytes = sink.GetBytes();
    file.assign(bytes, bytes + size);
}
