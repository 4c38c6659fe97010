#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/Records.h"

// Everything made during one exported call (byte blocks, copied texts,
// records, the fault of a failed operation) belongs to its call context and is
// released with it in one step.
class CCallContext {
public:
    enum class FaultKind { None, Client, Server };

    static constexpr int kClientFault = 1;
    static constexpr int kServerFault = 2;
    static constexpr size_t kMessageBlockSize = 1024;

    CCallContext() = default;
    CCallContext(const CCallContext&) = delete;
    CCallContext& operator=(const CCallContext&) = delete;

    // A zeroed block of n bytes, or null when memory is exhausted.
    unsigned char* Allocate(size_t n);
    // A copy of a zero-terminated text; null copies to null.
    char* CopyString(const char* text);

    template <typename T>
    T* Create() {
        auto record = std::make_shared<T>();
        m_owned.push_back(record);
        return record.get();
    }
    // A contiguous run of n default-constructed records.
    template <typename T>
    ArrayOf<T> CreateArray(size_t n) {
        ArrayOf<T> array;
        if (n == 0) return array;
        auto records = std::make_shared<T[]>(n);
        m_owned.push_back(records);
        array.ptr = records.get();
        array.size = static_cast<int32_t>(n);
        return array;
    }
    kvt__DeviceInformation* CreateDeviceInformation() { return Create<kvt__DeviceInformation>(); }

    // Records a fault and returns the non-zero failure code of its kind.
    int ClientFault(const char* text);
    int InvalidArgument() { return ClientFault("Error: Invalid Argument"); }
    int ServerFault(const char* text);
    // Frees everything made so far and forgets the fault; the context can be reused.
    void Release();

    FaultKind Fault() const { return m_faultKind; }
    const char* FaultText() const { return m_faultText.c_str(); }

private:
    std::vector<std::shared_ptr<void>> m_owned;
    FaultKind m_faultKind = FaultKind::None;
    std::string m_faultText;
};

// Formats into a 1024-byte block of the context (cut to fit). Falls back to a
// fixed text when the block cannot be had.
const char* BuildMsgString(CCallContext* context, const char* format, ...) KVT_PRINTF(2, 3);
