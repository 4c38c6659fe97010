// What the three modules share: the exception barrier of every entry point and
// the checks of handle objects.
#pragma once

#include <cstdint>
#include <exception>
#include <new>

#include "vfmodules/VfModules.h"

namespace vfmodules {

// No exception may cross the C boundary.
template <typename F>
std::int32_t Guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return VF_ERROR_MEMORY;
    } catch (...) {
        return VF_ERROR_INTERNAL;
    }
}

// Handle objects start with a tag so that a handle of another module, or a
// freed one that was not reused yet, is refused instead of misused.
template <typename T>
bool Valid(const T* object) {
    return object != nullptr && object->tag == T::kTag;
}

inline bool ReadInt(const void* value, std::int32_t& out) {
    if (value == nullptr) return false;
    out = *static_cast<const std::int32_t*>(value);
    return true;
}

inline bool InRange(std::int32_t value, std::int32_t low, std::int32_t high) {
    return value >= low && value <= high;
}

}  // namespace vfmodules
