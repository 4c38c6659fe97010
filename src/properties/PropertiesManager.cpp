#include "properties/PropertiesManager.h"

#include <mutex>

#include "common/Log.h"
#include "properties/PropertyTypes.h"

namespace {

std::mutex g_instanceMutex;
std::unique_ptr<CPropertiesManager> g_instance;

}  // namespace

CPropertiesManager& CPropertiesManager::Instance() {
    std::lock_guard<std::mutex> guard(g_instanceMutex);
    if (!g_instance) g_instance = std::make_unique<CPropertiesManager>(Token{});
    return *g_instance;
}

void CPropertiesManager::DropInstance() {
    std::unique_ptr<CPropertiesManager> dropped;
    {
        std::lock_guard<std::mutex> guard(g_instanceMutex);
        dropped = std::move(g_instance);
    }
}

CPropertiesManager::CPropertiesManager(Token)
    : m_types(RegisteredPropertyTypes()), m_log(&CLog::Instance()) {}

CPropertiesManager::~CPropertiesManager() {
    CCritSecLock lock(m_lock);
    m_sets.clear();
}

CProperties& CPropertiesManager::GetProperties(const std::string& clientId,
                                               const std::string& target) {
    CCritSecLock lock(m_lock);
    std::unique_ptr<CProperties>& set = m_sets[clientId + '\t' + target];
    if (!set) set = std::make_unique<CProperties>();
    return *set;
}

void CPropertiesManager::OnTargetLost(const std::string& target) {
    CCritSecLock lock(m_lock);
    m_log->Debug("CPropertiesManager::OnTargetLost: Anzahl ClientTargets: %d",
                 static_cast<int>(m_sets.size()));
    for (auto entry = m_sets.begin(); entry != m_sets.end();) {
        const size_t tab = entry->first.find('\t');
        if (tab != std::string::npos && EqualNoCase(entry->first.substr(tab + 1), target))
            entry = m_sets.erase(entry);
        else
            ++entry;
    }
    m_log->Debug("CPropertiesManager::OnTargetLost: Anzahl ClientTargets: %d",
                 static_cast<int>(m_sets.size()));
}

size_t CPropertiesManager::Count() {
    CCritSecLock lock(m_lock);
    return m_sets.size();
}
