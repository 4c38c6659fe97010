#include "properties/Properties.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "properties/PropertiesManager.h"
#include "properties/PropertyTypes.h"

namespace {

const std::string kDefaultsText = "20" + std::string(30, '0');

std::string Text(const CProperties& properties, const char* name) {
    std::string value;
    EXPECT_TRUE(properties.GetProperty(name, value)) << name;
    return value;
}

// Each line: settings applied in turn (a refused one marked), then the block
// and some properties as they read back.
TEST(PropertiesTest, SettingsLandInTheirOwnBitsAndRefusalsChangeNothing) {
    struct Setting {
        const char* name;
        const char* value;
        bool accepted = true;
    };
    struct Case {
        std::vector<Setting> settings;
        std::string text;
        std::vector<std::pair<const char*, const char*>> reads;
    };
    const Case cases[] = {
        {{{"LFD", "maybe", false},
          {"Brightness", "true", false},
          {"Brightness", "default", false},
          {"PictureSize", "", false}},
         kDefaultsText,
         {{"ImageMode", "Stamp"}, {"Inverted", "false"}, {"LFD", "true"}, {"PictureSize", "ROI"}}},
        {{{"PictureSize", "Full"}}, "21" + std::string(30, '0'), {{"PictureSize", "Full"}}},
        // 1 | 4 | (1 << 3) | 32 = 0x2D
        {{{"PictureSize", "Half"},
          {"ImageMode", "Photo"},
          {"LFD", "false"},
          {"FastMode", "true"},
          {"Inverted", "true"}},
         "D2" + std::string(30, '0'),
         {{"PictureSize", "Half"}, {"LFD", "false"}}},
        // Names and values ignore case and keep the given spelling.
        {{{"imagemode", "photo"}}, "30" + std::string(30, '0'), {{"IMAGEMODE", "photo"}}},
        {{{"ImageMode", "Photo"}, {"ImageMode", "STAMP"}}, kDefaultsText, {{"imageMode", "STAMP"}}},
        // "default" resets one property, the name "Default" all of them.
        {{{"Inverted", "true"}, {"PictureSize", "Full"}, {"Inverted", "DEFAULT"}},
         "21" + std::string(30, '0'),
         {{"Inverted", "false"}}},
        {{{"LFD", "false"}, {"PictureSize", "Full"}, {"Default", "anything"}},
         kDefaultsText,
         {{"PictureSize", "ROI"}, {"LFD", "true"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CProperties properties;
        for (const Setting& s : c.settings)
            EXPECT_EQ(properties.SetProperty(s.name, s.value), s.accepted) << s.name << s.value;
        EXPECT_EQ(properties.ToText(), c.text);
        for (const auto& [name, value] : c.reads) EXPECT_EQ(Text(properties, name), value);
    }
    CProperties properties;
    std::string value;
    EXPECT_FALSE(properties.GetProperty("Brightness", value));
    EXPECT_EQ(properties.GetValue("LFD"), 1u);
    ASSERT_TRUE(properties.SetProperty("PictureSize", "half"));
    EXPECT_EQ(properties.GetValue("picturesize"), 1u);
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
