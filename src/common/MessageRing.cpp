#include "common/MessageRing.h"

#include <cstring>
#include <new>

namespace {

void ClearSlot(KVT_Message& slot) {
    std::memset(&slot, 0, sizeof slot);
    slot.size = sizeof(KVT_Message);
    slot.capturedData.size = sizeof(KVT_CapturedData);
}

}  // namespace

CMessageRing::CMessageRing() {
    for (KVT_Message& slot : m_slots) ClearSlot(slot);
}

KVT_Message* CMessageRing::Convert(const kvt__TransportMessage& message) {
    CCritSecLock lock(m_lock);
    const size_t index = m_next;
    m_next = (m_next + 1) % kSlots;

    KVT_Message& slot = m_slots[index];
    m_images[index].reset();
    ClearSlot(slot);
    slot.type = message.type;
    CopyToField(slot.deviceId, message.deviceId);
    CopyToField(slot.additionalInfo, message.additionalInfo);

    if (message.type == kvt__MessageType__CapturedImage) {
        KVT_CapturedData& data = slot.capturedData;
        data.LFDLevel = message.data.LFDLevel;
        CopyToField(data.LFDData, message.data.LFDData);
        CopyToField(data.properties, message.data.properties);
        const xsd__base64Binary& image = message.data.image;
        if (image.ptr != nullptr && image.size > 0) {
            // Without memory for the image the message still arrives, with no image.
            std::unique_ptr<unsigned char[]> copy;
            try {
                copy = std::make_unique<unsigned char[]>(static_cast<size_t>(image.size));
            } catch (const std::bad_alloc&) {
            }
            if (copy) {
                std::memcpy(copy.get(), image.ptr, static_cast<size_t>(image.size));
                data.image = copy.get();
                data.imageSize = static_cast<unsigned int>(image.size);
                m_images[index] = std::move(copy);
            }
        }
    }
    return &slot;
}

void CMessageRing::ReleaseAll() {
    CCritSecLock lock(m_lock);
    for (size_t i = 0; i < kSlots; ++i) {
        m_images[i].reset();
        ClearSlot(m_slots[i]);
    }
    m_next = 0;
}

size_t CMessageRing::NextSlot() const {
    CCritSecLock lock(m_lock);
    return m_next;
}
