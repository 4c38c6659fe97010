#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// One capture property: its name, permitted values and place in the packed block.
class CPropertyType {
public:
    virtual ~CPropertyType() = default;
    virtual const char* GetName() const = 0;
    virtual const char* GetDefault() const = 0;
    virtual uint32_t GetDefaultValue() const = 0;
    virtual int GetFirstBit() const = 0;
    virtual int GetLastBit() const = 0;
    // Case-insensitive lookup among the permitted texts.
    virtual bool TextToValue(const std::string& text, uint32_t& value) const;
    virtual bool ValueToText(uint32_t value, std::string& text) const;

protected:
    void Permit(const char* text, uint32_t value) { m_values.emplace_back(text, value); }

private:
    std::vector<std::pair<std::string, uint32_t>> m_values;
};

class CPropertyTypeImageMode : public CPropertyType {
public:
    CPropertyTypeImageMode();
    const char* GetName() const override { return "ImageMode"; }
    const char* GetDefault() const override { return "Stamp"; }
    uint32_t GetDefaultValue() const override { return 0; }
    int GetFirstBit() const override { return 0; }
    int GetLastBit() const override { return 0; }
};

class CPropertyTypeLFD : public CPropertyType {
public:
    CPropertyTypeLFD();
    const char* GetName() const override { return "LFD"; }
    const char* GetDefault() const override { return "true"; }
    uint32_t GetDefaultValue() const override { return 1; }
    int GetFirstBit() const override { return 1; }
    int GetLastBit() const override { return 1; }
};

class CPropertyTypeFastMode : public CPropertyType {
public:
    CPropertyTypeFastMode();
    const char* GetName() const override { return "FastMode"; }
    const char* GetDefault() const override { return "false"; }
    uint32_t GetDefaultValue() const override { return 0; }
    int GetFirstBit() const override { return 2; }
    int GetLastBit() const override { return 2; }
};

class CPropertyTypePictureSize : public CPropertyType {
public:
    CPropertyTypePictureSize();
    const char* GetName() const override { return "PictureSize"; }
    const char* GetDefault() const override { return "ROI"; }
    uint32_t GetDefaultValue() const override { return 0; }
    int GetFirstBit() const override { return 3; }
    int GetLastBit() const override { return 4; }
};

class CPropertyTypeInverted : public CPropertyType {
public:
    CPropertyTypeInverted();
    const char* GetName() const override { return "Inverted"; }
    const char* GetDefault() const override { return "false"; }
    uint32_t GetDefaultValue() const override { return 0; }
    int GetFirstBit() const override { return 5; }
    int GetLastBit() const override { return 5; }
};

// The registered types in block order; they live for the whole process.
const std::vector<const CPropertyType*>& RegisteredPropertyTypes();
// Null when no registered type has that name (case-insensitive).
const CPropertyType* FindPropertyType(const std::string& name);
