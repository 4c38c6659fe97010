#include "properties/Properties.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "properties/PropertiesManager.h"

namespace {

const std::string kDefaultsText = "20" + std::string(30, '0');

std::string Text(const CProperties& properties, const char* name) {
    std::string value;
    EXPECT_TRUE(properties.GetProperty(name, value)) << name;
    return value;
}

// Words "Name=Value" as pairs.
std::vector<std::pair<std::string, std::string>> Pairs(const std::string& words) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::istringstream in(words);
    for (std::string word; in >> word;) {
        const size_t equals = word.find('=');
        pairs.emplace_back(word.substr(0, equals), word.substr(equals + 1));
    }
    return pairs;
}

TEST(PropertiesTest, SettingsLandInTheirOwnBitsAndRefusalsChangeNothing) {
    // Settings applied in turn ("!": refused), the block's first byte, properties read back.
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"!LFD=maybe !Brightness=true !Brightness=default !PictureSize=", "20",
         "ImageMode=Stamp Inverted=false LFD=true PictureSize=ROI"},
        {"PictureSize=Full", "21", "PictureSize=Full"},
        // 1 | 4 | (1 << 3) | 32 = 0x2D
        {"PictureSize=Half ImageMode=Photo LFD=false FastMode=true Inverted=true", "D2",
         "PictureSize=Half LFD=false"},
        // Names and values ignore case and keep the given spelling.
        {"imagemode=photo", "30", "IMAGEMODE=photo"},
        {"ImageMode=Photo ImageMode=STAMP", "20", "imageMode=STAMP"},
        // "default" resets one property, the name "Default" all of them.
        {"Inverted=true PictureSize=Full Inverted=DEFAULT", "21", "Inverted=false"},
        {"LFD=false PictureSize=Full Default=anything", "20", "PictureSize=ROI LFD=true"},
    };
    for (const auto& [settings, block, reads] : cases) {
        SCOPED_TRACE(settings);
        CProperties properties;
        for (const auto& [name, value] : Pairs(settings))
            EXPECT_EQ(properties.SetProperty(name.substr(name[0] == '!'), value), name[0] != '!')
                << name;
        EXPECT_EQ(properties.ToText(), block + std::string(30, '0'));
        for (const auto& [name, value] : Pairs(reads))
            EXPECT_EQ(Text(properties, name.c_str()), value);
    }
    // An unknown name is refused by KVT_GetProperty too: SimulatedSensorTest.
    CProperties properties;
    EXPECT_EQ(properties.GetValue("LFD"), 1u);
    ASSERT_TRUE(properties.SetProperty("PictureSize", "half"));
    EXPECT_EQ(properties.GetValue("picturesize"), 1u);
}

TEST(PropertiesTest, TextsRoundTripWithTheirUnusedBitsAndOnlyThirtyTwoUpperCaseHexDigitsAreRead) {
    CProperties source;
    ASSERT_TRUE(source.SetProperty("PictureSize", "Half"));
    ASSERT_TRUE(source.SetProperty("Inverted", "true"));
    const std::string before = source.ToText();
    for (const std::string& bad : {std::string(31, '0'), std::string(33, '0'),
                                   "2a" + std::string(30, '0'), "2G" + std::string(30, '0')})
        EXPECT_FALSE(source.FromText(bad)) << bad;
    CProperties copy;
    ASSERT_TRUE(copy.FromText(source.ToText()));
    EXPECT_EQ(std::tuple(Text(copy, "PictureSize"), Text(copy, "Inverted"), copy.ToText()),
              std::tuple("Half", "true", before));
    CProperties constructed(source);
    ASSERT_TRUE(source.SetProperty("Inverted", "false"));
    EXPECT_EQ(Text(constructed, "Inverted"), "true");  // a copy, not a view
    constructed = source;
    EXPECT_EQ(Text(constructed, "Inverted"), "false");
    EXPECT_TRUE(constructed.FromText(""));
    EXPECT_EQ(constructed.ToText(), kDefaultsText);

    // Bits no property uses travel unchanged; a picture size of 3 has no text
    // and reads back as the default while its bits stay.
    const std::string odd = "A3" + std::string(28, '0') + "F1";
    ASSERT_TRUE(copy.FromText(odd));
    EXPECT_EQ(std::tuple(copy.ToText(), Text(copy, "PictureSize"), copy.GetValue("PictureSize"),
                         Text(copy, "LFD")),
              std::tuple(odd, "ROI", 0u, "true"));
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
