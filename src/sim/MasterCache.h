#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <mutex>
#include <unordered_map>

#include "sim/MasterPrint.h"

namespace kvt::sim {

// A bounded, thread-safe least-recently-used cache of master prints. Several
// threads that ask for the same missing finger at once wait for one build.
class MasterCache {
public:
    using Factory = std::function<MasterPrint(uint32_t fingerId)>;

    MasterCache(size_t capacity, Factory factory);
    MasterCache(const MasterCache&) = delete;
    MasterCache& operator=(const MasterCache&) = delete;

    MasterPtr Get(uint32_t fingerId);
    void Clear();

    size_t Size() const;
    size_t Capacity() const { return m_capacity; }
    uint64_t Hits() const;
    uint64_t Builds() const;

private:
    const size_t m_capacity;
    const Factory m_factory;
    mutable std::mutex m_mutex;
    std::list<std::pair<uint32_t, MasterPtr>> m_lru;  // most recent first
    std::unordered_map<uint32_t, std::list<std::pair<uint32_t, MasterPtr>>::iterator> m_index;
    std::unordered_map<uint32_t, std::shared_future<MasterPtr>> m_pending;
    uint64_t m_hits = 0;
    uint64_t m_builds = 0;
};

}  // namespace kvt::sim
