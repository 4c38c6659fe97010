#include "properties/Properties.h"

#include "common/Log.h"
#include "properties/PropertyTypes.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

uint64_t FieldMask(const CPropertyType& type) {
    const int first = type.GetFirstBit() % 64;
    const int width = type.GetLastBit() % 64 - first + 1;
    const uint64_t ones = width >= 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
    return ones << first;
}

}  // namespace

CProperties::CProperties() : m_log(&CLog::Instance()) {
    SetDefaults();
}

CProperties::CProperties(const CProperties& other) : m_log(&CLog::Instance()) {
    CopyFrom(other);
}

CProperties& CProperties::operator=(const CProperties& other) {
    if (this != &other) CopyFrom(other);
    return *this;
}

void CProperties::SetDefaults() {
    for (const CPropertyType* type : RegisteredPropertyTypes())
        SetProperty(type->GetName(), type->GetDefault());
}

bool CProperties::SetProperty(const std::string& key, const std::string& value) {
    if (EqualNoCase(key, "default")) {
        SetDefaults();
        return true;
    }
    const CPropertyType* type = FindPropertyType(key);
    if (type == nullptr) return false;
    if (EqualNoCase(value, "default")) return SetProperty(key, type->GetDefault());
    uint32_t number = 0;
    if (!type->TextToValue(value, number)) return false;
    WriteField(*type, number);
    m_log->Debug("CProperties::SetProperty: key=%s, value=%s", key.c_str(), value.c_str());
    // Keyed by the type's own spelling so a later differently-cased set replaces it.
    m_values[type->GetName()] = value;
    return true;
}

bool CProperties::GetProperty(const std::string& name, std::string& value) const {
    const auto found = m_values.find(name);
    if (found == m_values.end()) return false;
    value = found->second;
    return true;
}

uint32_t CProperties::GetValue(const std::string& name) const {
    const CPropertyType* type = FindPropertyType(name);
    if (type == nullptr) return 0;
    const auto found = m_values.find(name);
    uint32_t number = type->GetDefaultValue();
    if (found != m_values.end()) type->TextToValue(found->second, number);
    return number;
}

std::string CProperties::ToText() const {
    std::string text;
    text.reserve(kTextLength);
    for (int byteIndex = 0; byteIndex < 16; ++byteIndex) {
        const auto byte = static_cast<uint8_t>(m_block[byteIndex / 8] >> ((byteIndex % 8) * 8));
        text.push_back(kHexDigits[byte & 0x0F]);
        text.push_back(kHexDigits[byte >> 4]);
    }
    return text;
}

bool CProperties::FromText(const std::string& text) {
    if (text.empty()) {
        SetDefaults();
        return true;
    }
    if (text.size() != kTextLength) return false;
    uint64_t block[2] = {0, 0};
    for (size_t byteIndex = 0; byteIndex < 16; ++byteIndex) {
        const int low = HexValue(text[2 * byteIndex]);
        const int high = HexValue(text[2 * byteIndex + 1]);
        if (low < 0 || high < 0) return false;
        block[byteIndex / 8] |= static_cast<uint64_t>(low | (high << 4)) << ((byteIndex % 8) * 8);
    }
    m_block[0] = block[0];
    m_block[1] = block[1];
    DeriveTextsFromBlock();
    return true;
}

void CProperties::CopyFrom(const CProperties& other) {
    m_block[0] = other.m_block[0];
    m_block[1] = other.m_block[1];
    DeriveTextsFromBlock();
}

uint32_t CProperties::ReadField(const CPropertyType& type) const {
    const uint64_t word = m_block[type.GetFirstBit() / 64];
    return static_cast<uint32_t>((word & FieldMask(type)) >> (type.GetFirstBit() % 64));
}

void CProperties::WriteField(const CPropertyType& type, uint32_t value) {
    uint64_t& word = m_block[type.GetFirstBit() / 64];
    const uint64_t mask = FieldMask(type);
    word = (word & ~mask) | ((static_cast<uint64_t>(value) << (type.GetFirstBit() % 64)) & mask);
}

void CProperties::DeriveTextsFromBlock() {
    m_values.clear();
    for (const CPropertyType* type : RegisteredPropertyTypes()) {
        std::string text;
        // A number without a text keeps its bits but reads back as the default.
        if (!type->ValueToText(ReadField(*type), text)) text = type->GetDefault();
        m_values[type->GetName()] = text;
    }
}
