#pragma once

#include <cstdint>
#include <vector>

#include "common/CallContext.h"
#include "common/Records.h"
#include "image/PLWinBmp.h"
#include "properties/Properties.h"

// The picture a capture delivers, made from frame 1 of a raw capture buffer
// under the capture properties (picture size, image mode, inversion).
namespace picture {

void MakeupImage(const uint8_t* raw, const CProperties& properties, PLWinBmp& bitmap);
// The picture as a BMP file of 500 dpi, owned by context. A null raw leaves
// target as it is.
void CopyImageToBase64Binary(const uint8_t* raw, CCallContext* context,
                             const CProperties& properties, xsd__base64Binary* target);
// The picture as a BMP file without resolution. A null raw leaves file as it is.
void CopyImageToFile(const uint8_t* raw, const CProperties& properties, std::vector<uint8_t>& file);

}  // namespace picture
