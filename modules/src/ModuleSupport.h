// What the three modules share: the exception barrier of every entry point and
// the checks of handle objects.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
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

inline bool InRange(std::int32_t value, std::int32_t low, std::int32_t high) {
    return value >= low && value <= high;
}

// One settable parameter of a handle: its id, where it lives in the handle's
// parameter record, and the values it takes (low..high in steps of `step`).
template <typename Params>
struct ParameterInfo {
    std::int32_t id;
    int Params::*field;
    int low, high, step;
};

// The handle entry points common to the extractor and the matcher. A handle
// type has a tag, a lock, params() and a table kParameters.
template <typename Object>
std::int32_t CreateObject(Object** out) {
    return Guarded([&]() -> std::int32_t {
        if (out == nullptr) return VF_ERROR_ARGUMENT;
        // Ownership passes to the caller until FreeObject.
        *out = std::make_unique<Object>().release();
        return VF_OK;
    });
}

template <typename Object>
std::int32_t FreeObject(Object* object) {
    if (!Valid(object)) return VF_ERROR_HANDLE;
    std::unique_ptr<Object> owned(object);
    return VF_OK;
}

template <typename Object>
std::int32_t ResetParameters(Object* object) {
    if (!Valid(object)) return VF_ERROR_HANDLE;
    std::lock_guard guard(object->lock);
    object->params() = {};
    return VF_OK;
}

template <typename Object>
std::int32_t CopyParameters(Object* destination, Object* source) {
    if (!Valid(destination) || !Valid(source)) return VF_ERROR_HANDLE;
    if (destination == source) return VF_OK;
    std::scoped_lock guard(destination->lock, source->lock);
    destination->params() = source->params();
    return VF_OK;
}

template <typename Object>
std::int32_t SetParameter(Object* object, std::int32_t id, const void* value) {
    if (!Valid(object)) return VF_ERROR_HANDLE;
    if (value == nullptr) return VF_ERROR_ARGUMENT;
    const std::int32_t v = *static_cast<const std::int32_t*>(value);
    for (const auto& p : Object::kParameters) {
        if (p.id != id) continue;
        if (!InRange(v, p.low, p.high) || (v - p.low) % p.step != 0) return VF_ERROR_PARAMETER;
        std::lock_guard guard(object->lock);
        object->params().*p.field = v;
        return VF_OK;
    }
    return VF_ERROR_PARAMETER;
}

template <typename Object>
std::int32_t GetParameter(Object* object, std::int32_t id, void* value) {
    if (!Valid(object)) return VF_ERROR_HANDLE;
    if (value == nullptr) return VF_ERROR_ARGUMENT;
    for (const auto& p : Object::kParameters) {
        if (p.id != id) continue;
        std::lock_guard guard(object->lock);
        *static_cast<std::int32_t*>(value) = object->params().*p.field;
        return VF_OK;
    }
    return VF_ERROR_PARAMETER;
}

}  // namespace vfmodules
