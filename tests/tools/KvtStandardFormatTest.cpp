// kvt extract --format iso|ansi, and match and identify reading such records.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tools/KvtRunner.h"

namespace fs = std::filesystem;
using kvt_test::RunKvt;

namespace {

class KvtStandardFormats : public kvt_test::KvtFilesTest {
protected:
    std::string Extract(const std::string& picture, const std::string& format) {
        const std::string path =
            (m_dir / (fs::path(picture).stem().string() + "." + format)).string();
        const auto result = RunKvt({"extract", picture, "--format", format, "-o", path});
        EXPECT_EQ(result.exit, 0) << result.err;
        return path;
    }
};

TEST_F(KvtStandardFormats, RecordsAreWrittenAndMatchedLikeTemplates) {
    const std::string enrolled = Picture("f8-0", "8:0");
    const std::string probe = Picture("f8-2", "8:2");
    const std::string other = Picture("f9-0", "9:0");
    const std::string iso = Extract(enrolled, "iso");
    const std::string ansi = Extract(enrolled, "ansi");

    const std::string isoBytes = kvt_test::ReadFile(iso);
    const std::string ansiBytes = kvt_test::ReadFile(ansi);
    ASSERT_GT(isoBytes.size(), 28u);
    EXPECT_EQ(isoBytes.substr(0, 8), std::string("FMR\0 20\0", 8));
    EXPECT_EQ(ansiBytes.substr(0, 8), std::string("FMR\0 20\0", 8));
    // ISO: a 4-byte record length; ANSI: 2 bytes, then the CBEFF product id.
    auto u16 = [](const std::string& b, int at) {
        return static_cast<size_t>(static_cast<unsigned char>(b[at]) << 8 |
                                   static_cast<unsigned char>(b[at + 1]));
    };
    EXPECT_EQ(std::tuple(u16(isoBytes, 10), u16(ansiBytes, 8)),
              std::tuple(isoBytes.size(), ansiBytes.size()));
    EXPECT_EQ(ansiBytes.size(), isoBytes.size() + 2);

    EXPECT_EQ(RunKvt({"match", probe, iso, ansi}).exit, 0);
    EXPECT_EQ(RunKvt({"match", iso, ansi}).exit, 0);
    EXPECT_EQ(RunKvt({"match", other, iso}).exit, 8);

    const fs::path gallery = m_dir / "gallery";
    fs::create_directory(gallery);
    fs::copy_file(ansi, gallery / "f8.ansi");
    fs::copy_file(Extract(other, "iso"), gallery / "f9.iso");
    const auto identify = RunKvt({"identify", probe, gallery.string()});
    EXPECT_EQ(identify.exit, 0) << identify.err;
    EXPECT_NE(identify.out.find("f8.ansi"), std::string::npos) << identify.out;
}

TEST_F(KvtStandardFormats, MalformedRecordsAreRefusedByName) {
    const std::string iso = Extract(Picture("f10", "10:0"), "iso");
    std::string bad = kvt_test::ReadFile(iso);
    bad[24] = 11;  // finger position beyond the left little finger
    kvt_test::WriteFile(m_dir / "bad.iso", bad);
    const auto match = RunKvt({"match", iso, (m_dir / "bad.iso").string()});
    EXPECT_EQ(match.exit, 11);
    EXPECT_NE(match.err.find("ISO record refused: finger view header out of range"),
              std::string::npos)
        << match.err;
    EXPECT_EQ(RunKvt({"extract", iso, "--format", "pdf"}).exit, 64);
}

}  // namespace
