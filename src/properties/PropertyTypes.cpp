#include "properties/PropertyTypes.h"

#include "common/Text.h"
#include "platform/Immortal.h"

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
    struct Types {
        CPropertyTypeImageMode imageMode;
        CPropertyTypeLFD lfd;
        CPropertyTypeFastMode fastMode;
        CPropertyTypePictureSize pictureSize;
        CPropertyTypeInverted inverted;
        std::vector<const CPropertyType*> all{&imageMode, &lfd, &fastMode, &pictureSize, &inverted};
    };
    static platform::Immortal<Types> types;
    return types.Get().all;
}

const CPropertyType* FindPropertyType(const std::string& name) {
    for (const CPropertyType* type : RegisteredPropertyTypes()) {
        if (EqualNoCase(type->GetName(), name)) return type;
    }
    return nullptr;
}
