#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/Text.h"
#include "platform/CritSec.h"
#include "properties/Properties.h"

class CLog;
class CPropertyType;

// The process's property sets, one per client and sensor.
class CPropertiesManager {
public:
    static CPropertiesManager& Instance();
    // Destroys the store and every set; the next Instance() starts empty.
    static void DropInstance();

    // The set of client for target, created with defaults on first request. The
    // reference stays valid until the target is lost or the store is dropped.
    CProperties& GetProperties(const std::string& clientId, const std::string& target);
    // Removes every client's set for target.
    void OnTargetLost(const std::string& target);

    const std::vector<const CPropertyType*>& Types() const { return m_types; }
    size_t Count();

    ~CPropertiesManager();

private:
    struct Token {
        explicit Token() = default;
    };

public:
    explicit CPropertiesManager(Token);

private:
    const std::vector<const CPropertyType*>& m_types;
    std::map<std::string, std::unique_ptr<CProperties>, LessNoCase> m_sets;
    CLog* m_log;
    CCritSec m_lock;
};
