#include "sim/MasterCache.h"

namespace kvt::sim {

MasterCache::MasterCache(size_t capacity, Factory factory)
    : m_capacity(capacity), m_factory(std::move(factory)) {}

MasterPtr MasterCache::Get(uint32_t fingerId) {
    std::promise<MasterPtr> promise;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (auto it = m_index.find(fingerId); it != m_index.end()) {
            m_lru.splice(m_lru.begin(), m_lru, it->second);
            ++m_hits;
            return it->second->second;
        }
        if (auto it = m_pending.find(fingerId); it != m_pending.end()) {
            std::shared_future<MasterPtr> future = it->second;
            ++m_hits;
            lock.unlock();
            return future.get();
        }
        m_pending.emplace(fingerId, promise.get_future().share());
        ++m_builds;
    }
    MasterPtr master;
    try {
        master = std::make_shared<const MasterPrint>(m_factory(fingerId));
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending.erase(fingerId);
        promise.set_exception(std::current_exception());
        throw;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_capacity > 0) {
            m_lru.emplace_front(fingerId, master);
            m_index[fingerId] = m_lru.begin();
            while (m_lru.size() > m_capacity) {
                m_index.erase(m_lru.back().first);
                m_lru.pop_back();
            }
        }
        m_pending.erase(fingerId);
    }
    promise.set_value(master);
    return master;
}

void MasterCache::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lru.clear();
    m_index.clear();
}

size_t MasterCache::Size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lru.size();
}

uint64_t MasterCache::Hits() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hits;
}

uint64_t MasterCache::Builds() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_builds;
}

}  // namespace kvt::sim
