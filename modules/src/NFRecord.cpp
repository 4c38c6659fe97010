// NFRecord: minutiae of a template. The adapter never releases the records it
// creates, so handles name slots of a fixed pool of recent records instead of
// owning memory: the oldest record expires when the pool wraps.
#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "ModuleSupport.h"
#include "fp/Template.h"

using namespace vfmodules;

namespace {

constexpr std::size_t kPoolSize = 64;

struct Slot {
    std::uintptr_t id = 0;
    std::vector<NFMinutia> minutiae;
};

struct Pool {
    std::mutex lock;
    std::uintptr_t next = 1;
    std::array<Slot, kPoolSize> slots;
};

Pool& ThePool() {
    static Pool pool;
    return pool;
}

std::uintptr_t IdOf(HNFRECORD record) {
    return reinterpret_cast<std::uintptr_t>(record);
}

// The slot of a live record, or null; call with the pool locked.
Slot* Find(Pool& pool, HNFRECORD record) {
    const std::uintptr_t id = IdOf(record);
    if (id == 0) return nullptr;
    Slot& slot = pool.slots[id % kPoolSize];
    return slot.id == id ? &slot : nullptr;
}

}  // namespace

extern "C" {

VF_EXPORT std::int32_t VF_API NFRecordCreateFromMemory(const std::uint8_t* data, std::int32_t size,
                                                       std::uint32_t /*flags*/, void* /*reserved*/,
                                                       HNFRECORD* record) {
    return Guarded([&]() -> std::int32_t {
        if (record != nullptr) *record = nullptr;
        if (data == nullptr || size <= 0 || record == nullptr) return VF_ERROR_ARGUMENT;
        fp::Features features;
        if (fp::DecodeTemplate(data, static_cast<std::size_t>(size), features) !=
            fp::TemplateError::None)
            return VF_ERROR_TEMPLATE;
        std::vector<NFMinutia> minutiae;
        minutiae.reserve(features.minutiae.size());
        for (const fp::Minutia& m : features.minutiae) {
            NFMinutia n{};
            n.x = m.x;
            n.y = m.y;
            n.type = static_cast<std::int32_t>(m.type);
            n.direction = m.direction;
            n.curvature = m.curvature;
            n.g = m.quality;
            minutiae.push_back(n);
        }
        Pool& pool = ThePool();
        std::lock_guard guard(pool.lock);
        std::uintptr_t id = pool.next++;
        if (id == 0) id = pool.next++;  // after wrapping, 0 stays the null handle
        Slot& slot = pool.slots[id % kPoolSize];
        slot.id = id;
        slot.minutiae = std::move(minutiae);
        *record = reinterpret_cast<HNFRECORD>(id);
        return VF_OK;
    });
}

VF_EXPORT std::int32_t VF_API NFRecordGetMinutiaCount(HNFRECORD record, std::int32_t* count) {
    if (count != nullptr) *count = 0;
    if (count == nullptr) return VF_ERROR_ARGUMENT;
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    const Slot* slot = Find(pool, record);
    if (slot == nullptr) return VF_ERROR_HANDLE;
    *count = static_cast<std::int32_t>(slot->minutiae.size());
    return VF_OK;
}

VF_EXPORT std::int32_t VF_API NFRecordGetMinutiae(HNFRECORD record, NFMinutia* minutiae) {
    if (minutiae == nullptr) return VF_ERROR_ARGUMENT;
    Pool& pool = ThePool();
    std::lock_guard guard(pool.lock);
    const Slot* slot = Find(pool, record);
    if (slot == nullptr) return VF_ERROR_HANDLE;
    std::copy(slot->minutiae.begin(), slot->minutiae.end(), minutiae);
    return VF_OK;
}

}  // extern "C"

static_assert(sizeof(NFMinutia) == 12, "minutia records are 12 bytes");
