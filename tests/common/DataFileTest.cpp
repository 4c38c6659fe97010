#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "common/DataFile.h"
#include "common/fstream_encrypted.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Every test gets its own folder below the system's temporary folder.
class DataFileTest : public ::testing::Test {
protected:
    void SetUp() override { m_temp = std::make_unique<kvt_test::TempDir>("kvt-datafile"); }
    void TearDown() override { m_temp.reset(); }

    std::string Path(const std::string& name) const { return (Dir() / name).string(); }
    const fs::path& Dir() const { return m_temp->Path(); }

    static void WriteBytes(const std::string& path, const std::string& bytes) {
        kvt_test::WriteFile(path, bytes);
    }
    static std::string ReadBytes(const std::string& path) { return kvt_test::ReadFile(path); }

    // The scrambled form of plain text: every byte's 4-bit halves exchanged,
    // so a line feed becomes 0xA0.
    static std::string Scrambled(const std::string& plain) {
        std::string out = plain;
        for (char& c : out) {
            const auto u = static_cast<unsigned char>(c);
            c = static_cast<char>(static_cast<unsigned char>((u << 4) | (u >> 4)));
        }
        return out;
    }

    // Loads text written to a file of its own.
    void LoadText(CDataFile& file, const std::string& text, const std::string& name = "in.ini") {
        const std::string path = Path(name);
        WriteBytes(path, text);
        ASSERT_TRUE(file.Load(path));
    }

    std::unique_ptr<kvt_test::TempDir> m_temp;
};

// ---------------------------------------------------------------------------
// Syntax of loaded files

TEST_F(DataFileTest, KeysCompareCaseInsensitivelyAndColonSeparates) {
    CDataFile ini;
    LoadText(ini, "Key=Value\n[One]\nkey = value\n[Two]\nKEY:value\n");

    EXPECT_EQ(ini.GetValue("key"), "Value");
    EXPECT_EQ(ini.GetValue("KEY", ""), "Value");
    // The value is the rest of the trimmed line, blanks after '=' included.
    EXPECT_EQ(ini.GetValue("key", "one"), " value");
    EXPECT_EQ(ini.GetValue("Key", "TWO"), "value");
    EXPECT_EQ(ini.GetValue("key", "Three"), "");
    EXPECT_EQ(ini.GetValue("other"), "");
    EXPECT_EQ(ini.SectionCount(), 3u);
    EXPECT_EQ(ini.KeyCount(), 3u);
}

TEST_F(DataFileTest, OnlyTheFirstSeparatorSplits) {
    CDataFile ini;
    LoadText(ini, "Url=http://host:80/a=b\nTime:12:30\n");
    EXPECT_EQ(ini.GetValue("url"), "http://host:80/a=b");
    EXPECT_EQ(ini.GetValue("time"), "12:30");
}

TEST_F(DataFileTest, CrLfLineEndsAreBlanks) {
    CDataFile ini;
    LoadText(ini, "; c\r\n[S]\r\nA=1\r\n\tB = 2 \r\n");
    EXPECT_EQ(ini.GetValue("a", "s"), "1");
    EXPECT_EQ(ini.GetValue("b", "s"), " 2");
    EXPECT_EQ(ini.Sections()[1].comment, "\n; c");
}

TEST_F(DataFileTest, HashAndSemicolonLinesAreComments) {
    CDataFile ini;
    LoadText(ini, "# hash comment\n; semicolon comment\nA=1\n#B=2\n;C=3\n");

    EXPECT_EQ(ini.KeyCount(), 1u);
    EXPECT_EQ(ini.GetValue("B"), "");
    EXPECT_EQ(ini.GetValue("C"), "");
    ASSERT_EQ(ini.Sections()[0].keys.size(), 1u);
    // Each comment line is appended with a line feed in front.
    EXPECT_EQ(ini.Sections()[0].keys[0].comment, "\n# hash comment\n; semicolon comment");
}

TEST_F(DataFileTest, CommentsAreWrittenWithIndicator) {
    EXPECT_EQ(CDataFile::CommentText("max count"), "; max count");
    EXPECT_EQ(CDataFile::CommentText("  max count \r\n"), "; max count");
    EXPECT_EQ(CDataFile::CommentText("; already"), "; already");
    EXPECT_EQ(CDataFile::CommentText("#hash"), "#hash");
    EXPECT_EQ(CDataFile::CommentText("\n# a\n; b"), "# a\n; b");
    EXPECT_EQ(CDataFile::CommentText(""), "");
    EXPECT_EQ(CDataFile::CommentText(" \t\r\n"), "");

    const std::string path = Path("out.ini");
    {
        CDataFile ini(path);
        ASSERT_TRUE(ini.SetValue("Max", "5", "max count"));
        ASSERT_TRUE(ini.SetValue("Hash", "6", "# hashed"));
        ASSERT_TRUE(ini.Save());
    }
    EXPECT_EQ(ReadBytes(path), "\n; max count\nMax=5\n\n# hashed\nHash=6\n");
}

TEST_F(DataFileTest, LoadedCommentsSurviveSave) {
    const std::string path = Path("c.ini");
    WriteBytes(path, "# top\n;second\nA=1\n");
    {
        CDataFile ini;
        ASSERT_TRUE(ini.Load(path));
        ASSERT_TRUE(ini.Save());
    }
    EXPECT_EQ(ReadBytes(path), "\n# top\n;second\nA=1\n");
}

TEST_F(DataFileTest, SectionHeaderIsCutAtLastBracket) {
    CDataFile ini;
    LoadText(ini, "[Section] trailing\nA=1\n[a]b] x\nB=2\n[NoClose\nC=3\n[ Spaced ]\nD=4\n");

    ASSERT_EQ(ini.SectionCount(), 5u);
    EXPECT_EQ(ini.Sections()[1].name, "Section");
    EXPECT_EQ(ini.Sections()[2].name, "a]b");
    EXPECT_EQ(ini.Sections()[3].name, "NoClose");
    EXPECT_EQ(ini.Sections()[4].name, " Spaced ");
    EXPECT_EQ(ini.GetValue("A", "section"), "1");
    EXPECT_EQ(ini.GetValue("B", "a]b"), "2");
    EXPECT_EQ(ini.GetValue("C", "noclose"), "3");
    EXPECT_EQ(ini.GetValue("D", " spaced "), "4");
}

TEST_F(DataFileTest, RepeatedSectionHeaderContinuesTheSection) {
    CDataFile ini;
    LoadText(ini, "[S]\nA=1\n[Other]\nX=0\n[s]\nB=2\n[]\nTop=3\n");

    ASSERT_EQ(ini.SectionCount(), 3u);
    EXPECT_EQ(ini.Sections()[1].keys.size(), 2u);
    EXPECT_EQ(ini.GetValue("B", "S"), "2");
    // "[]" names the unnamed section.
    EXPECT_EQ(ini.GetValue("Top"), "3");
}

TEST_F(DataFileTest, DuplicateKeyKeepsLastValue) {
    CDataFile ini;
    LoadText(ini, "; first\nA=1\na=2\n");
    EXPECT_EQ(ini.KeyCount(), 1u);
    EXPECT_EQ(ini.GetValue("A"), "2");
    EXPECT_EQ(ini.Sections()[0].keys[0].name, "A");
    EXPECT_EQ(ini.Sections()[0].keys[0].comment, "");
}

TEST_F(DataFileTest, KeyWithEmptyValueIsIgnoredOnLoad) {
    CDataFile ini;
    LoadText(ini, "; pending\nKey=\nKey2=   \n=value\nno separator\nOther=1\n");

    EXPECT_EQ(ini.KeyCount(), 1u);
    EXPECT_EQ(ini.GetValue("Key"), "");
    EXPECT_EQ(ini.GetValue("Key2"), "");
    EXPECT_EQ(ini.GetValue("no separator"), "");
    // The comment waits for the next key that is taken.
    EXPECT_EQ(ini.Sections()[0].keys[0].comment, "\n; pending");
}

TEST_F(DataFileTest, KeyWithEmptyValueIsNeverWritten) {
    const std::string path = Path("empty.ini");
    CDataFile ini(path);
    ASSERT_TRUE(ini.SetValue("Empty", "", "a comment"));
    ASSERT_TRUE(ini.SetValue("Full", "1"));
    ASSERT_TRUE(ini.SetValue("AlsoEmpty", "", "", "S"));
    EXPECT_EQ(ini.KeyCount(), 3u);
    ASSERT_TRUE(ini.Save());
    EXPECT_EQ(ReadBytes(path), "Full=1\n\n[S]\n");
}

// ---------------------------------------------------------------------------
// Typed lookups

TEST_F(DataFileTest, GetIntConvertsLikeAtoi) {
    CDataFile ini;
    LoadText(ini,
             "Plain=42\nTrailing=12abc\nBlanks=  -7\nPlus=+5\nText=abc\nHuge=99999999999\n"
             "Tiny=-99999999999\nMax=2147483647\nMin=-2147483648\n[S]\nInner=3\n");

    EXPECT_EQ(ini.GetInt("plain"), 42);
    EXPECT_EQ(ini.GetInt("Trailing"), 12);
    EXPECT_EQ(ini.GetValue("Blanks"), "  -7");
    EXPECT_EQ(ini.GetInt("Blanks"), -7);
    EXPECT_EQ(ini.GetInt("Plus"), 5);
    EXPECT_EQ(ini.GetInt("Text"), 0);
    EXPECT_EQ(ini.GetInt("Huge"), INT32_MAX);
    EXPECT_EQ(ini.GetInt("Tiny"), INT32_MIN);
    EXPECT_EQ(ini.GetInt("Max"), INT32_MAX);
    EXPECT_EQ(ini.GetInt("Min"), INT32_MIN);
    EXPECT_EQ(ini.GetInt("Inner", "S"), 3);
}

TEST_F(DataFileTest, GetIntMissingIsInt32Min) {
    CDataFile ini;
    LoadText(ini, "A=1\n");
    EXPECT_EQ(ini.GetInt("Missing"), INT32_MIN);
    EXPECT_EQ(ini.GetInt("Missing"), -2147483647 - 1);
    EXPECT_EQ(ini.GetInt("A", "NoSuchSection"), INT32_MIN);
    ASSERT_TRUE(ini.SetValue("Empty", ""));
    EXPECT_EQ(ini.GetInt("Empty"), INT32_MIN);
    EXPECT_EQ(CDataFile::kIntMissing, INT32_MIN);
}

TEST_F(DataFileTest, GetFloatConvertsDecimal) {
    CDataFile ini;
    LoadText(ini, "A=0.55\nB=  -1.5e2x\nC=7\nD=abc\nE=1e400\nF=-1e400\nG=1e-400\nH=.25\n");

    EXPECT_EQ(ini.GetFloat("A"), 0.55f);
    EXPECT_DOUBLE_EQ(static_cast<double>(ini.GetFloat("A")), 0.550000011920929);
    EXPECT_EQ(ini.GetFloat("B"), -150.0f);
    EXPECT_EQ(ini.GetFloat("C"), 7.0f);
    EXPECT_EQ(ini.GetFloat("D"), 0.0f);
    EXPECT_TRUE(std::isinf(ini.GetFloat("E")));
    EXPECT_GT(ini.GetFloat("E"), 0.0f);
    EXPECT_TRUE(std::isinf(ini.GetFloat("F")));
    EXPECT_LT(ini.GetFloat("F"), 0.0f);
    EXPECT_EQ(ini.GetFloat("G"), 0.0f);
    EXPECT_EQ(ini.GetFloat("H"), 0.25f);
}

TEST_F(DataFileTest, GetFloatMissingIsFltMin) {
    CDataFile ini;
    LoadText(ini, "A=1\n");
    const float missing = ini.GetFloat("Missing");
    EXPECT_EQ(missing, FLT_MIN);
    EXPECT_EQ(missing, 1.17549435e-38f);
    uint32_t bits = 0;
    std::memcpy(&bits, &missing, sizeof(bits));
    EXPECT_EQ(bits, 0x00800000u);
    EXPECT_EQ(ini.GetFloat("A", "NoSuchSection"), FLT_MIN);
    ASSERT_TRUE(ini.SetValue("Empty", ""));
    EXPECT_EQ(ini.GetFloat("Empty"), FLT_MIN);
}

// ---------------------------------------------------------------------------
// Scrambled files and long lines

TEST_F(DataFileTest, ScrambledFileReadsLikePlainText) {
    const std::string plain = "; comment\nTop=1\n[Section]\nKey = two\nLast:3";

    CDataFile fromPlain;
    LoadText(fromPlain, plain, "plain.ini");
    CDataFile fromScrambled;
    LoadText(fromScrambled, "ini" + Scrambled(plain), "scrambled.ini");

    EXPECT_EQ(fromScrambled.GetValue("top"), "1");
    EXPECT_EQ(fromScrambled.GetValue("key", "section"), " two");
    EXPECT_EQ(fromScrambled.GetInt("last", "section"), 3);
    EXPECT_EQ(fromScrambled.Sections()[0].keys[0].comment, "\n; comment");
    ASSERT_EQ(fromScrambled.SectionCount(), fromPlain.SectionCount());
    for (size_t s = 0; s < fromPlain.SectionCount(); ++s) {
        const auto& a = fromPlain.Sections()[s];
        const auto& b = fromScrambled.Sections()[s];
        EXPECT_EQ(a.name, b.name);
        EXPECT_EQ(a.comment, b.comment);
        ASSERT_EQ(a.keys.size(), b.keys.size());
        for (size_t k = 0; k < a.keys.size(); ++k) {
            EXPECT_EQ(a.keys[k].name, b.keys[k].name);
            EXPECT_EQ(a.keys[k].value, b.keys[k].value);
            EXPECT_EQ(a.keys[k].comment, b.keys[k].comment);
        }
    }
}

TEST_F(DataFileTest, ScrambledBytesWithoutMagicReadAsPlain) {
    const std::string scrambled = Scrambled("Top=1\n[Section]\nKey=2\n");

    fstream_encrypted stream;
    const std::string path = Path("nomagic.ini");
    WriteBytes(path, scrambled);
    ASSERT_TRUE(stream.Open(path, fstream_encrypted::kRead));
    EXPECT_FALSE(stream.IsScrambled());
    std::string line;
    stream.ReadLine(line);
    // Read from the first byte, unchanged: there is no line feed in it.
    EXPECT_EQ(line, scrambled);
    EXPECT_TRUE(stream.eof());
    stream.Close();

    // As plain text it is binary content, which is refused as a whole.
    CDataFile ini;
    ASSERT_TRUE(ini.SetValue("Kept", "1"));
    EXPECT_FALSE(ini.Load(path));
    EXPECT_EQ(ini.LastLoadStatus(), CDataFile::LoadStatus::kUnparsable);
    EXPECT_EQ(ini.GetValue("Top"), "");
    EXPECT_EQ(ini.GetValue("Kept"), "1");
    EXPECT_EQ(ini.KeyCount(), 1u);
}

TEST_F(DataFileTest, ShortFilesAreNotScrambled) {
    fstream_encrypted stream;
    std::string line;

    const std::string two = Path("two.ini");
    WriteBytes(two, "in");
    ASSERT_TRUE(stream.Open(two, fstream_encrypted::kRead));
    EXPECT_FALSE(stream.IsScrambled());
    EXPECT_TRUE(stream.ReadLine(line));
    EXPECT_EQ(line, "in");

    const std::string magicOnly = Path("magic.ini");
    WriteBytes(magicOnly, "ini");
    ASSERT_TRUE(stream.Open(magicOnly, fstream_encrypted::kRead));
    EXPECT_TRUE(stream.IsScrambled());
    EXPECT_FALSE(stream.ReadLine(line));
    EXPECT_EQ(line, "");
}

TEST_F(DataFileTest, ScrambledWriterRoundTrips) {
    const std::string path = Path("w.ini");
    {
        fstream_encrypted out;
        ASSERT_TRUE(out.Open(path, fstream_encrypted::kWrite, true));
        EXPECT_TRUE(out.WriteLine("[%s]", "Section"));
        EXPECT_TRUE(out.WriteLine("%s=%d", "Key", 7));
    }
    EXPECT_EQ(ReadBytes(path), "ini" + Scrambled("[Section]\nKey=7\n"));

    CDataFile ini;
    ASSERT_TRUE(ini.Load(path));
    EXPECT_EQ(ini.GetInt("key", "section"), 7);
}

TEST_F(DataFileTest, PlainWriterNeverStartsWithMagic) {
    const std::string path = Path("ini.ini");
    {
        CDataFile ini(path);
        ASSERT_TRUE(ini.SetValue("iniPath", "x"));
        ASSERT_TRUE(ini.Save());
    }
    // A leading empty line keeps the file from reading as scrambled.
    EXPECT_EQ(ReadBytes(path), "\niniPath=x\n");
    CDataFile ini;
    ASSERT_TRUE(ini.Load(path));
    EXPECT_EQ(ini.GetValue("inipath"), "x");
}

TEST_F(DataFileTest, WriteLineAppendsLineFeedOnlyWhenMissing) {
    const std::string path = Path("lines.txt");
    {
        fstream_encrypted out;
        ASSERT_TRUE(out.Open(path, fstream_encrypted::kWrite));
        EXPECT_FALSE(out.IsScrambled());
        out.WriteLine("a");
        out.WriteLine("b\n");
        out.WriteLine("c\r");
        out.WriteLine("%s", "");
        out.WriteLine("%d-%s", 5, "x");
    }
    EXPECT_EQ(ReadBytes(path), "a\nb\nc\r\n5-x\n");
}

TEST_F(DataFileTest, ReadLineFollowsGetline) {
    const std::string path = Path("r.txt");
    WriteBytes(path, "one\n\nlast");
    fstream_encrypted in;
    ASSERT_TRUE(in.Open(path, fstream_encrypted::kRead));
    std::string line;
    EXPECT_TRUE(in.ReadLine(line));
    EXPECT_EQ(line, "one");
    EXPECT_TRUE(in.ReadLine(line));
    EXPECT_EQ(line, "");
    EXPECT_TRUE(in.ReadLine(line));  // the last line, without a line feed
    EXPECT_EQ(line, "last");
    EXPECT_TRUE(in.eof());
    EXPECT_FALSE(in.fail());
    EXPECT_FALSE(in.ReadLine(line));
    EXPECT_TRUE(in.fail());
}

TEST_F(DataFileTest, LongLinesAreReadWholeAndReadingGoesOn) {
    // Longer than the read-ahead block too, so a line spans several blocks.
    const std::string longComment = "; " + std::string(70000, 'c');
    const std::string longValue(600, 'x');
    const std::string text = "A=1\n" + longComment + "\nB=" + longValue + "\n[S]\nC=3\n";

    CDataFile plain;
    LoadText(plain, text, "plain.ini");
    CDataFile scrambled;
    LoadText(scrambled, "ini" + Scrambled(text), "scrambled.ini");
    for (const CDataFile* ini : {&plain, &scrambled}) {
        EXPECT_EQ(ini->GetValue("A"), "1");
        EXPECT_EQ(ini->GetValue("B"), longValue);
        EXPECT_EQ(ini->Sections()[0].keys[1].comment, "\n" + longComment);
        EXPECT_EQ(ini->GetValue("C", "S"), "3");
        EXPECT_FALSE(ini->IsDirty());
    }
}

TEST_F(DataFileTest, UnusableFilesAreRefusedAndSayWhy) {
    struct Case {
        const char* what;
        std::string bytes;
        CDataFile::LoadStatus status;
        const char* problem;
    };
    const Case cases[] = {
        {"NUL byte", std::string("A=1\nB=\0\x01\x02\n", 10), CDataFile::LoadStatus::kUnparsable,
         "line 2"},
        {"escape in a comment", "; \x1b[31m\nA=1\n", CDataFile::LoadStatus::kUnparsable, "line 1"},
        {"too large", std::string(CDataFile::kMaxFileSize + 10, 'x'),
         CDataFile::LoadStatus::kUnparsable, "larger than"},
        {"too large in empty lines", std::string(CDataFile::kMaxFileSize + 1, '\n'),
         CDataFile::LoadStatus::kUnparsable, "larger than"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = Path("bad.ini");
        WriteBytes(path, c.bytes);
        CDataFile ini;
        EXPECT_FALSE(ini.Load(path));
        EXPECT_EQ(ini.LastLoadStatus(), c.status);
        EXPECT_NE(ini.LoadProblem().find(c.problem), std::string::npos) << ini.LoadProblem();
        EXPECT_EQ(ini.KeyCount(), 0u);
        EXPECT_EQ(ini.SectionCount(), 1u);
        EXPECT_FALSE(ini.IsDirty());
    }

    // The largest file that is taken.
    CDataFile largest;
    LoadText(largest, std::string(CDataFile::kMaxFileSize - 5, ';') + "\nA=1\n");
    EXPECT_EQ(largest.GetInt("A"), 1);

    // Tabs, carriage returns and bytes above 0x7F are text.
    CDataFile text;
    LoadText(text, "; Gr\xc3\xbc\xc3\x9f\x65\r\nA=\t1\r\n");
    EXPECT_EQ(text.GetInt("A"), 1);
    EXPECT_EQ(text.LastLoadStatus(), CDataFile::LoadStatus::kLoaded);
    EXPECT_TRUE(text.LoadProblem().empty());

    CDataFile missing;
    EXPECT_FALSE(missing.Load(Path("none.ini")));
    EXPECT_EQ(missing.LastLoadStatus(), CDataFile::LoadStatus::kMissing);

    CDataFile folder;
    EXPECT_FALSE(folder.Load(Dir().string()));
    EXPECT_EQ(folder.LastLoadStatus(), CDataFile::LoadStatus::kUnreadable);
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
    EXPECT_EQ(ini.KeyCount(), 3301u);
    EXPECT_EQ(ini.SectionCount(), 301u);
    EXPECT_EQ(ini.GetInt("key2999"), 2999);
    EXPECT_EQ(ini.GetValue("Key17"), "17");  // the later KEY17 belongs to [Sec299]
    EXPECT_EQ(ini.GetValue("key17", "SEC299"), "again");
    EXPECT_EQ(ini.GetValue("k", "Sec5"), "five");
    EXPECT_EQ(ini.Sections()[6].keys.size(), 1u);
}

// ---------------------------------------------------------------------------
// Saving

TEST_F(DataFileTest, SaveWritesExactText) {
    const std::string path = Path("exact.ini");
    CDataFile ini(path);
    ASSERT_TRUE(ini.SetValue("Top", "0"));
    ASSERT_TRUE(ini.CreateSection("Alpha", "section comment"));
    ASSERT_TRUE(ini.SetValue("First", "1", "key comment", "Alpha"));
    ASSERT_TRUE(ini.SetValue("Second", "2", "", "Alpha"));
    ASSERT_TRUE(ini.CreateSection("Beta"));
    ASSERT_TRUE(ini.SetInt("Third", -3, "", "Beta"));
    ASSERT_TRUE(ini.Save());

    EXPECT_EQ(ReadBytes(path),
              "Top=0\n"
              "\n"
              "; section comment\n"
              "[Alpha]\n"
              "\n"
              "; key comment\n"
              "First=1\n"
              "Second=2\n"
              "\n"
              "[Beta]\n"
              "Third=-3\n");
}

TEST_F(DataFileTest, MultiLineCommentIsWrittenAsGiven) {
    const std::string path = Path("multi.ini");
    {
        CDataFile ini(path);
        ASSERT_TRUE(ini.SetInt("Port", 82,
                               "; Port the Device Manager listens on\r\n; Has to match with "
                               "corresponding entry in KVTCoreService.ini"));
        ASSERT_TRUE(ini.Save());
    }
    EXPECT_EQ(ReadBytes(path),
              "\n; Port the Device Manager listens on\r\n; Has to match with corresponding entry "
              "in KVTCoreService.ini\nPort=82\n");
    CDataFile ini;
    ASSERT_TRUE(ini.Load(path));
    EXPECT_EQ(ini.GetInt("port"), 82);
    EXPECT_EQ(ini.KeyCount(), 1u);
}

TEST_F(DataFileTest, SaveLoadRoundTripKeepsOrderAndComments) {
    const std::string first = Path("first.ini");
    const std::string second = Path("second.ini");
    {
        CDataFile ini(first);
        ASSERT_TRUE(ini.SetValue("Zeta", "z", "last letter"));
        ASSERT_TRUE(ini.SetValue("Alpha", "a"));
        ASSERT_TRUE(ini.CreateSection("Second", "# the second"));
        ASSERT_TRUE(ini.SetValue("b", "2", "", "Second"));
        ASSERT_TRUE(ini.SetValue("a", "1", "; one", "Second"));
        ASSERT_TRUE(ini.SetValue("Key", "v", "", "First"));
        ASSERT_TRUE(ini.SetValue("Top", "t"));  // unnamed section, after the others
        ASSERT_TRUE(ini.Save());
    }

    CDataFile loaded;
    ASSERT_TRUE(loaded.Load(first));
    EXPECT_FALSE(loaded.IsDirty());
    ASSERT_EQ(loaded.SectionCount(), 3u);
    const auto& sections = loaded.Sections();
    EXPECT_EQ(sections[0].name, "");
    ASSERT_EQ(sections[0].keys.size(), 3u);
    EXPECT_EQ(sections[0].keys[0].name, "Zeta");
    EXPECT_EQ(sections[0].keys[0].comment, "\n; last letter");
    EXPECT_EQ(sections[0].keys[1].name, "Alpha");
    EXPECT_EQ(sections[0].keys[2].name, "Top");
    EXPECT_EQ(sections[1].name, "Second");
    EXPECT_EQ(sections[1].comment, "\n# the second");
    ASSERT_EQ(sections[1].keys.size(), 2u);
    EXPECT_EQ(sections[1].keys[0].name, "b");
    EXPECT_EQ(sections[1].keys[1].name, "a");
    EXPECT_EQ(sections[1].keys[1].comment, "\n; one");
    EXPECT_EQ(sections[2].name, "First");
    EXPECT_EQ(loaded.GetValue("key", "first"), "v");

    loaded.SetFileName(second);
    ASSERT_TRUE(loaded.Save());
    EXPECT_EQ(ReadBytes(second), ReadBytes(first));
}

TEST_F(DataFileTest, SaveWithNothingToWriteFails) {
    const std::string path = Path("nothing.ini");
    CDataFile ini(path);
    EXPECT_FALSE(ini.Save());
    EXPECT_FALSE(fs::exists(path));

    // An empty section is something to write.
    ASSERT_TRUE(ini.CreateSection("Only"));
    EXPECT_TRUE(ini.Save());
    EXPECT_EQ(ReadBytes(path), "\n[Only]\n");
}

TEST_F(DataFileTest, SaveWithoutFileNameFails) {
    CDataFile ini;
    ASSERT_TRUE(ini.SetValue("A", "1"));
    EXPECT_FALSE(ini.Save());
    EXPECT_TRUE(ini.IsDirty());
    ini.SetFileName(Path("named.ini"));
    EXPECT_TRUE(ini.Save());
    EXPECT_FALSE(ini.IsDirty());
}

TEST_F(DataFileTest, SaveToUnopenableFileFails) {
    const std::string path = (Dir() / "no" / "such" / "folder" / "x.ini").string();
    CDataFile ini(path);
    ASSERT_TRUE(ini.SetValue("A", "1"));
    EXPECT_FALSE(ini.Save());
    EXPECT_TRUE(ini.IsDirty());
    ini.SetFileName(Path("ok.ini"));  // so the destructor does not try again
    EXPECT_TRUE(ini.Save());
}

TEST_F(DataFileTest, MissingFileLoadsEmptyAndLaterSaveCreatesIt) {
    const std::string path = Path("new.ini");
    {
        CDataFile ini;
        EXPECT_FALSE(ini.Load(path));
        EXPECT_EQ(ini.GetFileName(), path);
        EXPECT_EQ(ini.GetInt("Port"), INT32_MIN);
        EXPECT_EQ(ini.GetValue("IP"), "");
        EXPECT_EQ(ini.GetFlags(), CDataFile::kDefaultFlags);
        ASSERT_TRUE(ini.SetInt("Port", 82, "port"));
    }  // saved here
    EXPECT_EQ(ReadBytes(path), "\n; port\nPort=82\n");
}

// ---------------------------------------------------------------------------
// Dirty flag, destruction, flags

TEST_F(DataFileTest, DestructorSavesWhenDirty) {
    const std::string path = Path("dirty.ini");
    {
        CDataFile ini(path);
        EXPECT_FALSE(ini.IsDirty());
        ASSERT_TRUE(ini.SetValue("A", "1"));
        EXPECT_TRUE(ini.IsDirty());
    }
    EXPECT_EQ(ReadBytes(path), "A=1\n");
}

TEST_F(DataFileTest, DestructorDoesNotSaveWhenClean) {
    const std::string path = Path("clean.ini");
    {
        CDataFile ini(path);
        ASSERT_TRUE(ini.SetValue("A", "1"));
        ASSERT_TRUE(ini.Save());
        EXPECT_FALSE(ini.IsDirty());
        WriteBytes(path, "changed elsewhere\n");
    }
    EXPECT_EQ(ReadBytes(path), "changed elsewhere\n");

    // A fresh object with a name writes nothing either.
    const std::string untouched = Path("untouched.ini");
    { CDataFile ini(untouched); }
    EXPECT_FALSE(fs::exists(untouched));
}

TEST_F(DataFileTest, LoadingDoesNotMakeDirty) {
    const std::string path = Path("loaded.ini");
    const std::string text = "  A = 1   \n[s]\n# trailing comment\n";
    WriteBytes(path, text);
    {
        CDataFile ini;
        ASSERT_TRUE(ini.Load(path));
        EXPECT_FALSE(ini.IsDirty());
        EXPECT_EQ(ini.GetFlags(), CDataFile::kDefaultFlags);
    }
    EXPECT_EQ(ReadBytes(path), text);

    // A change before loading stays a change.
    {
        CDataFile ini;
        ASSERT_TRUE(ini.SetValue("B", "2"));
        ASSERT_TRUE(ini.Load(path));
        EXPECT_TRUE(ini.IsDirty());
        EXPECT_EQ(ini.GetValue("a"), " 1");
        EXPECT_EQ(ini.GetValue("b"), "2");
    }  // saved into path
    EXPECT_EQ(ReadBytes(path), "B=2\nA= 1\n\n[s]\n");
}

TEST_F(DataFileTest, SetValueWithoutAutoCreateFlagsFails) {
    CDataFile ini;
    EXPECT_EQ(ini.GetFlags(), 6);
    ASSERT_TRUE(ini.SetValue("Existing", "1", "", "S"));
    ini.SetFlags(0);

    EXPECT_FALSE(ini.SetValue("New", "1"));
    EXPECT_FALSE(ini.SetValue("New", "1", "", "Missing"));
    EXPECT_EQ(ini.SectionCount(), 2u);
    EXPECT_EQ(ini.GetValue("New"), "");
    // Existing keys can still change.
    EXPECT_TRUE(ini.SetValue("existing", "2", "", "s"));
    EXPECT_EQ(ini.GetValue("Existing", "S"), "2");

    ini.SetFlags(CDataFile::kAutoCreateSections);
    EXPECT_FALSE(ini.SetValue("New", "1", "", "Created"));
    EXPECT_EQ(ini.SectionCount(), 3u);  // the section was created, the key was not
    EXPECT_EQ(ini.GetValue("New", "Created"), "");

    ini.SetFlags(CDataFile::kAutoCreateKeys);
    EXPECT_TRUE(ini.SetValue("New", "1", "", "Created"));
    EXPECT_FALSE(ini.SetValue("New", "1", "", "Other"));
}

TEST_F(DataFileTest, LoadWorksWithAutoCreateFlagsClearedAndRestoresThem) {
    CDataFile ini;
    ini.SetFlags(0);
    LoadText(ini, "A=1\n[S]\nB=2\n");
    EXPECT_EQ(ini.GetFlags(), 0);
    EXPECT_EQ(ini.GetValue("b", "s"), "2");
}

TEST_F(DataFileTest, SetValueWithEmptyKeyNameFails) {
    CDataFile ini;
    EXPECT_FALSE(ini.SetValue("", "1"));
    EXPECT_EQ(ini.KeyCount(), 0u);
    EXPECT_FALSE(ini.IsDirty());
}

TEST_F(DataFileTest, SetValueReplacesCommentEvenWithEmpty) {
    CDataFile ini;
    ASSERT_TRUE(ini.SetValue("A", "1", "first comment"));
    ASSERT_TRUE(ini.SetValue("a", "2"));
    ASSERT_EQ(ini.Sections()[0].keys.size(), 1u);
    EXPECT_EQ(ini.Sections()[0].keys[0].name, "A");
    EXPECT_EQ(ini.Sections()[0].keys[0].value, "2");
    EXPECT_EQ(ini.Sections()[0].keys[0].comment, "");
}

TEST_F(DataFileTest, CreateSectionAppendsOnlyNewNames) {
    CDataFile ini;
    EXPECT_EQ(ini.SectionCount(), 1u);
    EXPECT_FALSE(ini.CreateSection(""));
    EXPECT_FALSE(ini.IsDirty());
    EXPECT_TRUE(ini.CreateSection("One", "c"));
    EXPECT_TRUE(ini.IsDirty());
    EXPECT_FALSE(ini.CreateSection("ONE", "other"));
    EXPECT_TRUE(ini.CreateSection("Two"));
    ASSERT_EQ(ini.SectionCount(), 3u);
    EXPECT_EQ(ini.Sections()[1].name, "One");
    EXPECT_EQ(ini.Sections()[1].comment, "c");
    EXPECT_EQ(ini.Sections()[2].name, "Two");
}

TEST_F(DataFileTest, SetIntFormatsDecimal) {
    CDataFile ini;
    ASSERT_TRUE(ini.SetInt("A", INT32_MIN));
    ASSERT_TRUE(ini.SetInt("B", 43981, "", "DeviceListener_1"));
    EXPECT_EQ(ini.GetValue("A"), "-2147483648");
    EXPECT_EQ(ini.GetInt("B", "devicelistener_1"), 43981);
}

}  // namespace
