#include "properties/PropertyTypes.h"

#include "common/Text.h"

bool CPropertyType::TextToValue(const std::string& text, uint32_t& value) const {
    for (const auto& [permitted, number] : m_values) {
        if (EqualNoCase(permitted, text)) {
            value = number;
            return true;
        }
    }
    return false;
}

bool CPropertyType::ValueToText(uint32_t value, std::string& text) const {
    for (const auto& [permitted, number] : m_values) {
        if (number == value) {
            text = permitted;
            return true;
        }
    }
    return false;
}

CPropertyTypeImageMode::CPropertyTypeImageMode() {
    Permit("Stamp", 0);
    Permit("Photo", 1);
}

CPropertyTypeLFD::CPropertyTypeLFD() {
    Permit("false", 0);
    Permit("true", 1);
}

CPropertyTypeFastMode::CPropertyTypeFastMode() {
    Permit("false", 0);
    Permit("true", 1);
}

CPropertyTypePictureSize::CPropertyTypePictureSize() {
    Permit("ROI", 0);
    Permit("Half", 1);
    Permit("Full", 2);
}

CPropertyTypeInverted::CPropertyTypeInverted() {
    Permit("false", 0);
    Permit("true", 1);
}

const std::vector<const CPropertyType*>& RegisteredPropertyTypes() {
    static const CPropertyTypeImageMode imageMode;
    static const CPropertyTypeLFD lfd;
    static const CPropertyTypeFastMode fastMode;
    static const CPropertyTypePictureSize pictureSize;
    static const CPropertyTypeInverted inverted;
    static const std::vector<const CPropertyType*> types{&imageMode, &lfd, &fastMode, &pictureSize,
                                                         &inverted};
    return types;
}

const CPropertyType* FindPropertyType(const std::string& name) {
    for (const CPropertyType* type : RegisteredPropertyTypes()) {
        if (EqualNoCase(type->GetName(), name)) return type;
    }
    return nullptr;
}
