#pragma once

#include <string>

namespace platform {

// A shared library loaded at run time; unloaded by Unload or with the object.
class Module {
public:
    Module() = default;
    ~Module() { Unload(); }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Loads a module by its Windows file name, e.g. "VFExtractor.dll", looked
    // up next to this library first, then in the system's search order. Off
    // Windows the name becomes "libVFExtractor.so". A non-empty folder replaces all of
    // that: the module is taken from that folder or not at all. On failure
    // whyNot (when given) receives the system's reason. A module already
    // loaded by this object is unloaded first.
    bool Load(const std::string& name, const std::string& folder = {},
              std::string* whyNot = nullptr);
    void Unload();
    bool IsLoaded() const { return m_handle != nullptr; }

    // The address of an exported entry point; null when there is none or
    // nothing is loaded.
    void* Symbol(const char* name) const;

private:
    void* m_handle = nullptr;
};

}  // namespace platform
