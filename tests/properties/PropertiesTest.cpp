#include "properties/Properties.h"

#include <gtest/gtest.h>

#include <string>

#include "properties/PropertiesManager.h"
#include "properties/PropertyTypes.h"

namespace {

const std::string kDefaultsText = "20" + std::string(30, '0');

std::string Text(const CProperties& properties, const char* name) {
    std::string value;
    EXPECT_TRUE(properties.GetProperty(name, value)) << name;
    return value;
}

TEST(PropertiesTest, DefaultsStayWhenASettingIsRefused) {
    CProperties properties;
    EXPECT_FALSE(properties.SetProperty("LFD", "maybe"));
    EXPECT_FALSE(properties.SetProperty("Brightness", "true"));
    EXPECT_FALSE(properties.SetProperty("Brightness", "default"));
    EXPECT_FALSE(properties.SetProperty("PictureSize", ""));
    EXPECT_EQ(properties.ToText(), kDefaultsText);
    EXPECT_EQ(properties.GetValue("LFD"), 1u);
    EXPECT_EQ(properties.GetValue("PictureSize"), 0u);
    EXPECT_EQ(Text(properties, "ImageMode"), "Stamp");
    EXPECT_EQ(Text(properties, "Inverted"), "false");
    EXPECT_EQ(Text(properties, "LFD"), "true");
    std::string value;
    EXPECT_FALSE(properties.GetProperty("Brightness", value));
}

TEST(PropertiesTest, EachPropertyLandsInItsOwnBits) {
    CProperties properties;
    ASSERT_TRUE(properties.SetProperty("PictureSize", "Full"));
    EXPECT_EQ(properties.ToText(), "21" + std::string(30, '0'));
    ASSERT_TRUE(properties.SetProperty("PictureSize", "Half"));
    ASSERT_TRUE(properties.SetProperty("ImageMode", "Photo"));
    ASSERT_TRUE(properties.SetProperty("LFD", "false"));
    ASSERT_TRUE(properties.SetProperty("FastMode", "true"));
    ASSERT_TRUE(properties.SetProperty("Inverted", "true"));
    // 1 | 4 | (1 << 3) | 32 = 0x2D
    EXPECT_EQ(properties.ToText(), "D2" + std::string(30, '0'));
    EXPECT_EQ(properties.GetValue("PictureSize"), 1u);
}

TEST(PropertiesTest, NamesAndValuesIgnoreCaseAndKeepTheGivenSpelling) {
    CProperties properties;
    ASSERT_TRUE(properties.SetProperty("imagemode", "photo"));
    EXPECT_EQ(properties.GetValue("ImageMode"), 1u);
    EXPECT_EQ(Text(properties, "IMAGEMODE"), "photo");
    ASSERT_TRUE(properties.SetProperty("ImageMode", "STAMP"));
    EXPECT_EQ(properties.GetValue("imageMode"), 0u);
}

TEST(PropertiesTest, DefaultResetsOnePropertyOrAll) {
    CProperties properties;
    ASSERT_TRUE(properties.SetProperty("Inverted", "true"));
    ASSERT_TRUE(properties.SetProperty("PictureSize", "Full"));
    ASSERT_TRUE(properties.SetProperty("Inverted", "DEFAULT"));
    EXPECT_EQ(Text(properties, "Inverted"), "false");
    EXPECT_EQ(properties.GetValue("PictureSize"), 2u);

    ASSERT_TRUE(properties.SetProperty("LFD", "false"));
    ASSERT_TRUE(properties.SetProperty("Default", "anything"));
    EXPECT_EQ(properties.ToText(), kDefaultsText);
    EXPECT_EQ(Text(properties, "PictureSize"), "ROI");
    EXPECT_EQ(Text(properties, "LFD"), "true");
}

TEST(PropertiesTest, FromTextAcceptsOnlyThirtyTwoUpperCaseHexDigits) {
    CProperties properties;
    ASSERT_TRUE(properties.SetProperty("ImageMode", "Photo"));
    const std::string before = properties.ToText();
    EXPECT_FALSE(properties.FromText(std::string(31, '0')));
    EXPECT_FALSE(properties.FromText(std::string(33, '0')));
    EXPECT_FALSE(properties.FromText("2a" + std::string(30, '0')));
    EXPECT_FALSE(properties.FromText("2G" + std::string(30, '0')));
    EXPECT_EQ(properties.ToText(), before);
    EXPECT_EQ(Text(properties, "ImageMode"), "Photo");

    EXPECT_TRUE(properties.FromText(""));
    EXPECT_EQ(properties.ToText(), kDefaultsText);
}

TEST(PropertiesTest, FromTextRestoresTextsAndKeepsUnusedBits) {
    CProperties source;
    ASSERT_TRUE(source.SetProperty("PictureSize", "Half"));
    ASSERT_TRUE(source.SetProperty("Inverted", "true"));
    CProperties copy;
    ASSERT_TRUE(copy.FromText(source.ToText()));
    EXPECT_EQ(Text(copy, "PictureSize"), "Half");
    EXPECT_EQ(Text(copy, "Inverted"), "true");
    EXPECT_EQ(copy.ToText(), source.ToText());

    // Bits no property uses travel unchanged; a picture size of 3 has no text
    // and reads back as the default while its bits stay.
    const std::string odd = "A3" + std::string(28, '0') + "F1";
    ASSERT_TRUE(copy.FromText(odd));
    EXPECT_EQ(copy.ToText(), odd);
    EXPECT_EQ(Text(copy, "PictureSize"), "ROI");
    EXPECT_EQ(copy.GetValue("PictureSize"), 0u);
    EXPECT_EQ(Text(copy, "LFD"), "true");
}

TEST(PropertiesTest, CopiesFollowTheBlock) {
    CProperties source;
    ASSERT_TRUE(source.SetProperty("FastMode", "true"));
    CProperties copy(source);
    EXPECT_EQ(Text(copy, "FastMode"), "true");
    ASSERT_TRUE(source.SetProperty("FastMode", "false"));
    EXPECT_EQ(Text(copy, "FastMode"), "true");
    copy = source;
    EXPECT_EQ(Text(copy, "FastMode"), "false");
}

TEST(PropertyTypesTest, FieldsDoNotOverlapAndDefaultsAreTabled) {
    uint64_t used = 0;
    for (const CPropertyType* type : RegisteredPropertyTypes()) {
        for (int bit = type->GetFirstBit(); bit <= type->GetLastBit(); ++bit) {
            EXPECT_EQ(used & (uint64_t{1} << bit), 0u) << type->GetName();
            used |= uint64_t{1} << bit;
        }
        uint32_t number = 99;
        EXPECT_TRUE(type->TextToValue(type->GetDefault(), number));
        EXPECT_EQ(number, type->GetDefaultValue()) << type->GetName();
    }
    EXPECT_EQ(used, 0x3Fu);
}

class PropertiesManagerTest : public testing::Test {
protected:
    void TearDown() override { CPropertiesManager::DropInstance(); }
};

TEST_F(PropertiesManagerTest, EachClientAndSensorHasItsOwnSetUntilTheSensorIsLost) {
    CPropertiesManager& manager = CPropertiesManager::Instance();
    CProperties& a = manager.GetProperties("KVTBasic", "{A}");
    ASSERT_TRUE(a.SetProperty("PictureSize", "Full"));
    EXPECT_EQ(&manager.GetProperties("kvtbasic", "{a}"), &a);
    EXPECT_EQ(manager.GetProperties("Other", "{A}").GetValue("PictureSize"), 0u);
    ASSERT_TRUE(manager.GetProperties("KVTBasic", "{B}").SetProperty("Inverted", "true"));
    manager.GetProperties("KVTBasic", "{AB}");
    manager.GetProperties("{A}", "{B}");
    EXPECT_EQ(manager.Count(), 5u);
    manager.OnTargetLost("{a}");
    EXPECT_EQ(manager.Count(), 3u);
    EXPECT_EQ(manager.GetProperties("KVTBasic", "{B}").GetValue("Inverted"), 1u);
    // The lost sensor's sets start over at the defaults.
    EXPECT_EQ(manager.Count(), 3u);
    EXPECT_EQ(manager.GetProperties("KVTBasic", "{A}").ToText(), kDefaultsText);
    EXPECT_EQ(manager.Count(), 4u);

    CPropertiesManager::DropInstance();
    EXPECT_EQ(CPropertiesManager::Instance().Count(), 0u);
}

}  // namespace
