#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "common/Text.h"

class CLog;
class CPropertyType;

// One client's capture properties for one sensor, as texts and as the packed
// 128-bit block whose 32-character text travels with images and templates.
class CProperties {
public:
    static constexpr size_t kTextLength = 32;

    CProperties();
    CProperties(const CProperties& other);
    CProperties& operator=(const CProperties& other);

    void SetDefaults();
    // key "default" resets every property; value "default" resets one.
    bool SetProperty(const std::string& key, const std::string& value);
    bool GetProperty(const std::string& name, std::string& value) const;
    // The number of a registered property; its default when never set.
    uint32_t GetValue(const std::string& name) const;
    std::string ToText() const;
    // Empty resets; otherwise exactly 32 upper-case hex digits, else refused
    // without change.
    bool FromText(const std::string& text);
    void CopyFrom(const CProperties& other);

private:
    uint32_t ReadField(const CPropertyType& type) const;
    void WriteField(const CPropertyType& type, uint32_t value);
    void DeriveTextsFromBlock();

    std::map<std::string, std::string, LessNoCase> m_values;
    uint64_t m_block[2] = {0, 0};
    CLog* m_log;
};
