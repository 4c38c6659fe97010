#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>

#include "common/DataFile.h"
#include "common/fstream_encrypted.h"
#include "support/ScrambledText.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using kvt_test::ReadFile;
using kvt_test::Scrambled;
using kvt_test::WriteFile;
using testing::HasSubstr;

class DataFileTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return (m_temp.Path() / name).string(); }

    void LoadText(CDataFile& file, const std::string& text, const std::string& name = "in.ini") {
        WriteFile(Path(name), text);
        ASSERT_TRUE(file.Load(Path(name)));
    }

    kvt_test::TempDir m_temp{"kvt-datafile"};
};

TEST_F(DataFileTest, LoadedTextReadsAsWritten) {
    // The text, then a section, a key and the value read for them.
    const std::array<const char*, 4> cases[] = {
        // Keys ignore case; the value is the rest of the trimmed line.
        {"Key=Value\n", "", "KEY", "Value"},
        {"[One]\nkey = value\n", "one", "Key", " value"},
        {"[Two]\nKEY:value\n", "TWO", "key", "value"},
        {"Url=http://host:80/a=b\n", "", "url", "http://host:80/a=b"},
        {"Time:12:30\n", "", "time", "12:30"},
        {"[S]\r\n\tB = 2 \r\n", "s", "b", " 2"},
        {"#B=2\n;C=3\nA=1\n", "", "B", ""},
        {"A=1\na=2\n", "", "A", "2"},
        {"Key=\nKey2=   \n=value\nno separator\n", "", "Key2", ""},
        // A section name ends at the last bracket, or at the end of the line.
        {"[Section] trailing\nA=1\n", "section", "A", "1"},
        {"[a]b] x\nB=2\n", "a]b", "B", "2"},
        {"[NoClose\nC=3\n", "noclose", "C", "3"},
        {"[ Spaced ]\nD=4\n", " spaced ", "D", "4"},
        // A repeated header continues its section; "[]" is the unnamed one.
        {"[S]\nA=1\n[Other]\n[s]\nB=2\n", "S", "B", "2"},
        {"[S]\n[]\nTop=3\n", "", "Top", "3"},
        {"[S]\nA=1\n", "Three", "A", ""},
    };
    for (const auto& [text, section, key, value] : cases) {
        SCOPED_TRACE(text);
        CDataFile ini;
        LoadText(ini, text);
        EXPECT_EQ(ini.GetValue(key, section), value);
    }
}

TEST_F(DataFileTest, CommentsAttachToTheNextKeyTaken) {
    CDataFile ini;
    LoadText(ini, "# hash\n; semi\nEmpty=\nA=1\nA=2\n; c\r\n[S]\r\nB=1\n");
    ASSERT_EQ(std::tuple(ini.SectionCount(), ini.Sections()[0].keys.size()), std::tuple(2u, 1u));
    // A duplicate key keeps its first name, the last value and loses its comment.
    EXPECT_EQ(std::pair(ini.Sections()[0].keys[0].comment, ini.Sections()[1].comment),
              std::pair(std::string(), std::string("\n; c")));

    const std::pair<const char*, const char*> written[] = {
        {"max count", "; max count"}, {"  max count \r\n", "; max count"},
        {"; already", "; already"},   {"#hash", "#hash"},
        {"\n# a\n; b", "# a\n; b"},   {" \t\r\n", ""},
    };
    for (const auto& [given, text] : written) EXPECT_EQ(CDataFile::CommentText(given), text);
}

TEST_F(DataFileTest, TypedLookupsConvertLikeTheCLibrary) {
    CDataFile ini;
    ASSERT_TRUE(ini.SetValue("Empty", ""));
    const std::pair<const char*, int32_t> ints[] = {
        {"42", 42},
        {"12abc", 12},
        {"  -7", -7},
        {"+5", 5},
        {"abc", 0},
        {"99999999999", INT32_MAX},
        {"-99999999999", INT32_MIN},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
    };
    for (const auto& [text, value] : ints) {
        ASSERT_TRUE(ini.SetValue("I", text));
        EXPECT_EQ(ini.GetInt("i"), value) << text;
    }
    const std::pair<const char*, float> floats[] = {
        {"0.55", 0.55f},  {"  -1.5e2x", -150.0f}, {"7", 7.0f},         {"abc", 0.0f},
        {"1e-400", 0.0f}, {".25", 0.25f},         {"1e400", INFINITY}, {"-1e400", -INFINITY},
    };
    for (const auto& [text, value] : floats) {
        ASSERT_TRUE(ini.SetValue("F", text));
        EXPECT_EQ(ini.GetFloat("f"), value) << text;
    }
    // Missing and empty values have markers of their own.
    for (const char* key : {"Missing", "Empty"})
        EXPECT_EQ(std::tuple(ini.GetInt(key), ini.GetFloat(key)), std::tuple(INT32_MIN, FLT_MIN));
    EXPECT_EQ(ini.GetInt("I", "NoSuchSection"), INT32_MIN);
    ASSERT_TRUE(ini.SetInt("B", INT32_MIN, "", "DeviceListener_1"));
    EXPECT_EQ(ini.GetValue("b", "devicelistener_1"), "-2147483648");
}

TEST_F(DataFileTest, ScrambledFilesReadLikePlainTextAndLongLinesWhole) {
    // Longer than the read-ahead block, so a line spans several blocks.
    const std::string longComment = "; " + std::string(70000, 'c');
    const std::string longValue(600, 'x');
    const std::string text = "A=1\n" + longComment + "\nB=" + longValue + "\n[S]\nC:3";
    CDataFile plain, scrambled;
    LoadText(plain, text, "plain.ini");
    LoadText(scrambled, "ini" + Scrambled(text), "scrambled.ini");
    for (const CDataFile* ini : {&plain, &scrambled}) {
        EXPECT_EQ(
            std::tuple(ini->GetValue("A"), ini->GetValue("B"), ini->Sections()[0].keys[1].comment,
                       ini->GetInt("c", "s"), ini->IsDirty()),
            std::tuple("1", longValue, "\n" + longComment, 3, false));
    }

    // A plain file never starts with the magic.
    const std::string magic = Path("ini.ini");
    {
        CDataFile ini(magic);
        ASSERT_TRUE(ini.SetValue("iniPath", "x"));
    }
    EXPECT_EQ(ReadFile(magic), "\niniPath=x\n");

    // Scrambled bytes without the magic are binary as plain text: refused whole.
    WriteFile(Path("w.ini"), Scrambled("Top=1\n"));
    CDataFile ini;
    ASSERT_TRUE(ini.SetValue("Kept", "1"));
    EXPECT_FALSE(ini.Load(Path("w.ini")));
    EXPECT_EQ(std::tuple(ini.LastLoadStatus(), ini.GetValue("Kept"), ini.KeyCount()),
              std::tuple(CDataFile::LoadStatus::kUnparsable, "1", 1u));
}

TEST_F(DataFileTest, LinesAreWrittenAndReadLikeGetline) {
    const std::string path = Path("lines.txt");
    for (bool scrambled : {false, true}) {
        {
            fstream_encrypted out;
            ASSERT_TRUE(out.Open(path, fstream_encrypted::kWrite, scrambled));
            for (const char* line : {"a", "b\n", "c\r", ""}) EXPECT_TRUE(out.WriteLine("%s", line));
            EXPECT_TRUE(out.WriteLine("%d-%s", 5, "x"));
        }
        const std::string lines = "a\nb\nc\r\n5-x\n";
        EXPECT_EQ(ReadFile(path), scrambled ? "ini" + Scrambled(lines) : lines);
    }

    WriteFile(path, "one\n\nlast");
    fstream_encrypted in;
    ASSERT_TRUE(in.Open(path, fstream_encrypted::kRead));
    std::string line;
    for (const char* expected : {"one", "", "last"})
        EXPECT_EQ(in.ReadLine(line) ? line : "(nothing read)", expected);
    // After the last line: at the end, and a further read fails.
    EXPECT_EQ((std::vector<bool>{in.eof(), in.ReadLine(line), in.fail()}),
              (std::vector<bool>{true, false, true}));

    // Three bytes are the magic alone: an empty scrambled file; two are plain text.
    for (const auto& [bytes, scrambled] : {std::pair{"in", false}, std::pair{"ini", true}}) {
        WriteFile(path, bytes);
        fstream_encrypted shortFile;
        ASSERT_TRUE(shortFile.Open(path, fstream_encrypted::kRead));
        EXPECT_EQ(shortFile.IsScrambled(), scrambled);
        EXPECT_EQ(shortFile.ReadLine(line), !scrambled) << bytes;
    }
}

TEST_F(DataFileTest, UnusableFilesAreRefusedAndSayWhy) {
    // What is wrong, the bytes and the words of the problem said.
    const std::tuple<const char*, std::string, const char*> cases[] = {
        {"NUL byte", std::string("A=1\nB=\0\x01\x02\n", 10), "line 2"},
        {"escape in a comment", "; \x1b[31m\nA=1\n", "line 1"},
        {"too large in empty lines", std::string(CDataFile::kMaxFileSize + 1, '\n'), "larger than"},
    };
    for (const auto& [what, bytes, problem] : cases) {
        SCOPED_TRACE(what);
        WriteFile(Path("bad.ini"), bytes);
        CDataFile ini;
        EXPECT_EQ((std::tuple{ini.Load(Path("bad.ini")), ini.LastLoadStatus(), ini.KeyCount(),
                              ini.IsDirty()}),
                  std::tuple(false, CDataFile::LoadStatus::kUnparsable, 0u, false));
        EXPECT_THAT(ini.LoadProblem(), HasSubstr(problem));
    }
    // The largest file loads; tabs, carriage returns and bytes above 0x7F are text.
    CDataFile largest, text;
    LoadText(largest, std::string(CDataFile::kMaxFileSize - 5, ';') + "\nA=1\n");
    LoadText(text, "; Gr\xc3\xbc\xc3\x9f\x65\r\nA=\t1\r\n");
    EXPECT_EQ(std::pair(largest.GetInt("A"), text.GetInt("A")), std::pair(1, 1));
}

TEST_F(DataFileTest, ManyKeysAndSectionsAreAllFound) {
    std::string text;
    for (int n = 0; n < 3000; ++n)
        text += "Key" + std::to_string(n) + "=" + std::to_string(n) + "\n";
    for (int n = 0; n < 300; ++n)
        text += "[Sec" + std::to_string(n) + "]\nk=" + std::to_string(n) + "\n";
    text += "KEY17=again\n[sec5]\nK=five\n";
    CDataFile ini;
    LoadText(ini, text);
    EXPECT_EQ(
        std::tuple(ini.KeyCount(), ini.SectionCount(), ini.GetInt("key2999"), ini.GetValue("Key17"),
                   ini.GetValue("key17", "SEC299"), ini.GetValue("k", "Sec5")),
        std::tuple(3301u, 301u, 2999, "17", "again", "five"));
}

TEST_F(DataFileTest, SaveWritesExactTextThatLoadsBackTheSame) {
    const std::string first = Path("first.ini");
    {
        CDataFile ini(first);
        ASSERT_TRUE(ini.SetValue("Top", "0", "# a\n;b"));
        ASSERT_TRUE(ini.CreateSection("Alpha", "section comment"));
        ASSERT_TRUE(ini.SetValue("First", "1", "key comment", "Alpha"));
        ASSERT_TRUE(ini.SetValue("Empty", "", "never written", "Alpha"));
        ASSERT_TRUE(ini.SetInt("Third", -3, "", "Beta"));
        ASSERT_TRUE(ini.SetValue("Last", "t"));  // unnamed section, after the others
    }                                            // saved by the destructor
    const std::string expected =
        "\n# a\n;b\nTop=0\nLast=t\n\n; section comment\n[Alpha]\n\n; key comment\nFirst=1\n"
        "\n[Beta]\nThird=-3\n";
    EXPECT_EQ(ReadFile(first), expected);

    CDataFile loaded;
    EXPECT_EQ((std::pair{loaded.Load(first), loaded.IsDirty()}), std::pair(true, false));
    loaded.SetFileName(Path("second.ini"));
    ASSERT_TRUE(loaded.Save());
    EXPECT_EQ(ReadFile(Path("second.ini")), expected);
}

TEST_F(DataFileTest, OnlyChangesMakeTheFileDirtyAndASaveNeedsSomethingAndAWritableFile) {
    CDataFile empty(Path("nothing.ini"));
    EXPECT_EQ((std::vector<bool>{empty.Save(), fs::exists(Path("nothing.ini")),
                                 empty.CreateSection("Only"), empty.Save()}),
              (std::vector<bool>{false, false, true, true}));
    EXPECT_EQ(ReadFile(Path("nothing.ini")), "\n[Only]\n");
    for (const std::string& name : {std::string(), Path("no/such/folder/x.ini")}) {
        CDataFile ini(name);
        ASSERT_TRUE(ini.SetValue("A", "1"));
        EXPECT_EQ((std::tuple{ini.Save(), ini.IsDirty()}), std::tuple(false, true));
        ini.SetFileName(Path("ok.ini"));
        EXPECT_EQ((std::tuple{ini.Save(), ini.IsDirty()}), std::tuple(true, false));
    }

    const std::string path = Path("loaded.ini");
    const std::string text = "  A = 1   \n[s]\n# trailing comment\n";
    WriteFile(path, text);
    {
        CDataFile ini;
        ASSERT_TRUE(ini.Load(path));
        // Nothing to name, or a section that exists, is no change.
        EXPECT_EQ((std::vector<bool>{ini.IsDirty(), ini.SetValue("", "1"), ini.CreateSection(""),
                                     ini.CreateSection("S"), ini.IsDirty()}),
                  std::vector<bool>(5, false));
    }
    EXPECT_EQ(ReadFile(path), text);

    // A change before loading stays a change, and a missing file is created.
    {
        CDataFile ini, fresh;
        ASSERT_TRUE(ini.SetValue("B", "2"));
        ASSERT_TRUE(ini.Load(path));
        EXPECT_EQ(std::tuple(ini.IsDirty(), ini.GetValue("a")), std::tuple(true, " 1"));
        EXPECT_FALSE(fresh.Load(Path("new.ini")));
        ASSERT_TRUE(fresh.SetInt("Port", 82, "port"));
    }
    EXPECT_EQ(ReadFile(path), "B=2\nA= 1\n\n[s]\n");
    EXPECT_EQ(ReadFile(Path("new.ini")), "\n; port\nPort=82\n");
}

TEST_F(DataFileTest, FlagsDecideWhatSetValueMayCreate) {
    CDataFile ini;
    ASSERT_TRUE(ini.SetValue("Existing", "1", "old comment", "S"));
    ini.SetFlags(0);
    // An existing key still changes, and its comment is replaced, even by none.
    EXPECT_EQ((std::vector<bool>{ini.SetValue("New", "1"), ini.SetValue("New", "1", "", "Missing"),
                                 ini.SetValue("existing", "2", "", "s")}),
              (std::vector<bool>{false, false, true}));
    EXPECT_EQ(std::tuple(ini.SectionCount(), ini.Sections()[1].keys[0].name,
                         ini.Sections()[1].keys[0].comment),
              std::tuple(2u, "Existing", ""));

    // Sections alone: the section is created, the key is not.
    ini.SetFlags(CDataFile::kAutoCreateSections);
    EXPECT_EQ((std::tuple{ini.SetValue("New", "1", "", "Created"), ini.SectionCount()}),
              std::tuple(false, 3u));
    ini.SetFlags(CDataFile::kAutoCreateKeys);
    EXPECT_EQ((std::tuple{ini.SetValue("New", "1", "", "Created"),
                          ini.SetValue("New", "1", "", "Other")}),
              std::tuple(true, false));

    // Loading works without the flags and leaves them as they were.
    ini.SetFlags(0);
    LoadText(ini, "A=1\n[T]\nB=2\n");
    EXPECT_EQ(std::pair(ini.GetFlags(), ini.GetValue("b", "t")), std::pair(0, std::string("2")));
}

}  // namespace
