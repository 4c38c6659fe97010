// The kvt program, run as a separate process on simulated sensors and on the
// pictures, templates and ISO and ANSI records it writes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/Wait.h"
#include "tools/MiniJson.h"

namespace fs = std::filesystem;
using kvt_test::ChildResult;
using kvt_test::Json;
using kvt_test::JsonReader;
using kvt_test::RunChild;
using kvt_test::TempDir;

namespace {

// Runs kvt as a user would, in the test's data folder; env: extra NAME=value
// entries on top of the test's environment.
ChildResult RunKvt(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return RunChild(KVT_TOOL, args, env);
}

const std::string kTwoSensors = "KVT_SIMULATED_SENSORS=u2,u1";

// Parses kvt's --json output; a failure names the output.
Json ParseOutput(const std::string& out) {
    try {
        return JsonReader::Parse(out);
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what() << " in:\n" << out;
        return {};
    }
}

TEST(KvtCommandLine, EveryCommandDescribesItself) {
    const auto top = RunKvt({"--help"});
    ASSERT_EQ(top.exit, 0) << top.err;
    EXPECT_NE(top.out.find("exit status"), std::string::npos);
    for (const char* command : {"list", "info", "capture", "monitor", "extract", "match",
                                "identify", "demo", "version"}) {
        SCOPED_TRACE(command);
        EXPECT_NE(top.out.find(std::string("  ") + command + " "), std::string::npos);
        const auto help = RunKvt({command, "--help"});
        EXPECT_EQ(help.exit, 0);
        EXPECT_EQ(help.out.rfind(std::string("usage: kvt ") + command, 0), 0u) << help.out;
        EXPECT_NE(help.out.find("--verbose"), std::string::npos);
    }
}

TEST(KvtCommandLine, WrongCommandLinesEndBeforeTheLibraryStarts) {
    const std::vector<std::string> lines[] = {{},
                                              {"bogus"},
                                              {"list", "--nope"},
                                              {"list", "extra"},
                                              {"list", "--json=yes"},
                                              {"demo", "--json"},
                                              {"capture", "--out"},
                                              {"capture", "--size", "huge"},
                                              {"capture", "--timeout", "5"},
                                              {"capture", "--async", "--timeout", "0"},
                                              {"capture", "--async", "--timeout", "5s"},
                                              {"capture", "--finger", "3"},
                                              {"capture", "--simulate", "u9"},
                                              {"capture", "--simulate", "u2", "--finger", "3:x"},
                                              {"capture", "--simulate", "u2", "--device", "0"},
                                              {"monitor", "--seconds", "-1"},
                                              {"extract"},
                                              {"match", "only-a-probe.tpl"},
                                              {"identify", "probe.bmp", "folder", "third"},
                                              {"extract", "f.bmp", "--format", "pdf"}};
    for (const auto& args : lines) {
        SCOPED_TRACE(testing::PrintToString(args));
        const auto result = RunKvt(args);
        EXPECT_EQ(result.exit, 64);
        EXPECT_NE(result.err.find("kvt"), std::string::npos) << "no explanation";
    }
    // A started library would have written its settings into the data folder.
    EXPECT_FALSE(fs::exists(kvt_test::DataDir() / "KVTDeviceManager.ini"));
}

TEST(KvtJson, ListInfoAndErrorsAreValidJsonAndTheHumanListATable) {
    const auto list = RunKvt({"list", "--json"}, {kTwoSensors});
    ASSERT_EQ(list.exit, 0) << list.err;
    const Json sensors = ParseOutput(list.out)["sensors"];
    ASSERT_EQ(sensors.items.size(), 2u) << list.out;
    // Each sensor's description, connection and whether it has an id.
    using Listed = std::set<std::tuple<std::string, std::string, bool>>;
    Listed listed;
    for (const Json& s : sensors.items)
        listed.emplace(s["description"].text, s["connection"].text, !s["deviceId"].text.empty());
    EXPECT_EQ(listed, (Listed{{"Kelo U1 USB", "USB", true}, {"Kelo U2 USB", "USB", true}}));

    // Without --json the list is a table: the serial column starts at the same place in every row.
    const auto table = RunKvt({"list"}, {kTwoSensors});
    ASSERT_EQ(table.exit, 0) << table.err;
    std::istringstream lines(table.out);
    std::string header, first, second;
    std::getline(std::getline(std::getline(lines, header), first), second);
    const size_t column = header.find("SERIAL");
    ASSERT_NE(column, std::string::npos) << table.out;
    EXPECT_EQ(std::tuple(first[column - 1], first[column] == ' ', second[column] == ' '),
              std::tuple(' ', false, false));
    EXPECT_NE(table.out.find("2 sensors"), std::string::npos);

    const auto info = RunKvt({"info", "--json"}, {kTwoSensors});
    ASSERT_EQ(info.exit, 0) << info.err;
    const Json described = ParseOutput(info.out);
    EXPECT_EQ(fs::path(described["dataFolder"].text), kvt_test::DataDir());
    ASSERT_EQ(described["sensors"].items.size(), 2u);
    EXPECT_EQ(std::tuple(described["version"].text, described["algorithm"]["name"].text,
                         described["sensors"][0]["properties"]["PictureSize"].text),
              std::tuple("2.1.0.7", "VeriFinger50", "ROI"));
    bool settingsPresent = false;
    for (const Json& file : described["files"].items)
        if (fs::path(file["path"].text).filename() == "KVTDeviceManager.ini")
            settingsPresent = file["present"].boolean;
    EXPECT_TRUE(settingsPresent);

    const auto missing = RunKvt({"capture", "--json", "--device", "no-such-sensor"}, {kTwoSensors});
    const Json error = ParseOutput(missing.out);
    EXPECT_EQ(std::tuple(missing.exit, error["exit"].number), std::tuple(9, 9));
    EXPECT_NE(error["error"].text.find("no-such-sensor"), std::string::npos);
}

TEST(KvtCapture, WritesABmpThatImageMagickReadsAndAPngAndGradesTheFinger) {
    TempDir dir("kvt-capture");
    const std::string bmp = (dir / "finger.bmp").string();
    const std::string png = (dir / "finger.png").string();
    const auto result = RunKvt({"capture", "--simulate", "u2", "--size", "full", "--invert",
                                "--out", bmp, "--png", png, "--json"});
    ASSERT_EQ(result.exit, 0) << result.out << result.err;
    const Json captured = ParseOutput(result.out);
    EXPECT_EQ(std::tuple(captured["mode"].text, captured["width"].number, captured["height"].number,
                         captured["sensor"]["description"].text, captured["bytes"].number),
              std::tuple("sync", 332, 416, "Kelo U2 USB", static_cast<double>(fs::file_size(bmp))));
    EXPECT_GE(captured["lfdLevel"].number, 4);
    // Not checked at all, even a live finger scores nothing.
    const auto unchecked = RunKvt({"capture", "--simulate", "u2", "--no-lfd", "--json", "--out",
                                   (dir / "unchecked.bmp").string()});
    ASSERT_EQ(unchecked.exit, 0) << unchecked.err;
    EXPECT_EQ(ParseOutput(unchecked.out)["lfdLevel"].number, 0);
    EXPECT_EQ(kvt_test::ReadFile(png).substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));

    if (std::system("identify -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ImageMagick's identify is not installed";
    const auto identify = [](const std::string& format, const std::string& file) {
        return RunChild("/bin/sh", {"-c", "identify -format '" + format + "' '" + file + "'"}).out;
    };
    EXPECT_EQ(identify("%m %w %h %z", bmp), "BMP3 332 416 8");
    EXPECT_EQ(identify("%m %w %h", png), "PNG 332 416");
}

TEST(KvtCapture, AsynchronousCapturesWaitForAFingerAndTellAFake) {
    TempDir dir("kvt-async");
    const auto result = RunKvt({"capture", "--json", "--async", "--timeout", "5", "--simulate",
                                "u1", "--fake", "--out", (dir / "f.bmp").string()});
    ASSERT_EQ(result.exit, 0) << result.err;
    const Json captured = ParseOutput(result.out);
    EXPECT_EQ(std::tuple(captured["mode"].text, captured["width"].number),
              std::tuple("async", 256));
    EXPECT_LE(captured["lfdLevel"].number, 1);
    EXPECT_TRUE(fs::exists(dir / "f.bmp"));

    // Sensors from the environment carry no finger: the wait ends empty-handed.
    const auto empty =
        RunKvt({"capture", "--async", "--timeout", "1", "--out", (dir / "none.bmp").string()},
               {"KVT_SIMULATED_SENSORS=u2"});
    EXPECT_EQ(empty.exit, 10);
    EXPECT_NE(empty.err.find("no finger"), std::string::npos) << empty.err;
    EXPECT_FALSE(fs::exists(dir / "none.bmp"));
}

// A folder of the test's own for the pictures, templates and records kvt writes.
class KvtBiometrics : public testing::Test {
protected:
    // A picture of a virtual finger ("5:3": finger 5, impression 3), taken by kvt capture.
    std::string Picture(const std::string& name, const std::string& finger,
                        const char* model = "u2") {
        const std::string path = (m_dir / (name + ".bmp")).string();
        const auto result =
            RunKvt({"capture", "--simulate", model, "--finger", finger, "--out", path});
        EXPECT_EQ(result.exit, 0) << result.err;
        return path;
    }
    // An ISO or ANSI record of a picture, beside it.
    std::string Extract(const std::string& picture, const std::string& format) {
        const std::string path =
            (m_dir / (fs::path(picture).stem().string() + "." + format)).string();
        const auto result = RunKvt({"extract", picture, "--format", format, "-o", path});
        EXPECT_EQ(result.exit, 0) << result.err;
        return path;
    }
    TempDir m_dir{"kvt-files"};
};

TEST_F(KvtBiometrics, TemplatesAndStandardRecordsMatchTheSameFingerOnly) {
    const std::string enrolled = Picture("f5-0", "5:0");
    const std::string probe = Picture("f5-3", "5:3", "u1");
    const std::string other = Picture("f6-0", "6:0");
    const std::string tpl = (m_dir / "f5.tpl").string();

    const auto extract = RunKvt({"extract", enrolled, "-o", tpl, "--json"});
    ASSERT_EQ(extract.exit, 0) << extract.err;
    EXPECT_GT(ParseOutput(extract.out)["minutiae"].number, 10);

    const auto match = RunKvt({"match", "--json", probe, tpl, other});
    EXPECT_EQ(match.exit, 0) << match.err;
    const Json compared = ParseOutput(match.out);
    const std::vector<Json>& references = compared["references"].items;
    ASSERT_EQ(references.size(), 2u);
    EXPECT_EQ(std::tuple(references[0]["match"].boolean, references[1]["match"].boolean),
              std::tuple(true, false));
    EXPECT_GT(references[0]["score"].number, references[1]["score"].number);
    EXPECT_EQ(RunKvt({"match", other, tpl}).exit, 8);

    // ISO and ANSI records: ANSI has the 4 bytes of the CBEFF product id more
    // and 2 of record length fewer. Their fields are StandardTemplateTest's.
    const std::string iso = Extract(enrolled, "iso"), ansi = Extract(enrolled, "ansi");
    const std::string isoBytes = kvt_test::ReadFile(iso), ansiBytes = kvt_test::ReadFile(ansi);
    ASSERT_GT(isoBytes.size(), 28u);
    EXPECT_EQ(std::tuple(isoBytes.substr(0, 8), ansiBytes.substr(0, 8), ansiBytes.size()),
              std::tuple(std::string("FMR\0 20\0", 8), std::string("FMR\0 20\0", 8),
                         isoBytes.size() + 2));
    EXPECT_EQ(RunKvt({"match", probe, iso, ansi}).exit, 0);
    EXPECT_EQ(RunKvt({"match", iso, ansi}).exit, 0);
    EXPECT_EQ(RunKvt({"match", other, iso}).exit, 8);

    // The gallery: the template, a picture of another finger and its ISO
    // record, and a stray file.
    const fs::path gallery = m_dir / "gallery";
    fs::create_directory(gallery);
    fs::copy_file(tpl, gallery / "f5.tpl");
    fs::copy_file(other, gallery / "f6-0.bmp");
    fs::copy_file(Extract(other, "iso"), gallery / "f6.iso");
    kvt_test::WriteFile(gallery / "notes.txt", "not a fingerprint");
    const auto identify = RunKvt({"identify", "--json", probe, gallery.string()});
    EXPECT_EQ(identify.exit, 0) << identify.err;
    const Json found = ParseOutput(identify.out);
    EXPECT_EQ(std::tuple(fs::path(found["file"].text).filename().string(), found["compared"].number,
                         found["skipped"].number),
              std::tuple("f5.tpl", 3, 1));

    fs::remove(gallery / "f5.tpl");
    EXPECT_EQ(RunKvt({"identify", probe, gallery.string()}).exit, 8);
    fs::copy_file(ansi, gallery / "f5.ansi");
    const auto byRecord = RunKvt({"identify", probe, gallery.string()});
    EXPECT_EQ(byRecord.exit, 0) << byRecord.err;
    EXPECT_NE(byRecord.out.find("f5.ansi"), std::string::npos) << byRecord.out;
}

TEST_F(KvtBiometrics, DamagedFilesGetAClearError) {
    const std::string picture = Picture("f7", "7:0");
    const std::string tpl = (m_dir / "f7.tpl").string();
    ASSERT_EQ(RunKvt({"extract", picture, "-o", tpl}).exit, 0);
    const std::string good = kvt_test::ReadFile(tpl);
    std::string badIso = kvt_test::ReadFile(Extract(picture, "iso"));
    badIso[24] = 11;  // finger position beyond the left little finger

    // The file, its bytes, kvt's exit status and what its error says. The
    // oversized template's bytesEffective lies far beyond its room.
    const std::tuple<const char*, std::string, int, const char*> cases[] = {
        {"truncated.tpl", good.substr(0, 20), 11, ""},
        {"oversized.tpl", good.substr(0, 8) + "\xff\xff" + good.substr(10), 11, ""},
        {"extended.tpl", good + "x", 11, ""},
        {"text.bmp", "hello", 11, ""},
        {"header-only.bmp", "BM" + std::string(60, '\x7f'), 5, ""},
        {"truncated.bmp", kvt_test::ReadFile(picture).substr(0, 2000), 5, ""},
        {"bad.iso", badIso, 11, "ISO record refused: finger view header out of range"},
    };
    for (const auto& [name, bytes, exit, says] : cases) {
        SCOPED_TRACE(name);
        kvt_test::WriteFile(m_dir / name, bytes);
        const auto result = RunKvt({"match", (m_dir / name).string(), tpl});
        EXPECT_EQ(result.exit, exit);
        EXPECT_NE(result.err.find(name), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(says), std::string::npos) << result.err;
    }
    EXPECT_EQ(RunKvt({"match", (m_dir / "absent.tpl").string(), tpl}).exit, 11);
}

#ifndef _WIN32  // a console's Ctrl-C cannot be sent to one child process alone
TEST(KvtMonitor, CtrlCStopsTheLibraryCleanly) {
    kvt_test::ChildProcess monitor(KVT_TOOL, {"monitor", "--json"}, {"KVT_SIMULATED_SENSORS=u2"});
    kvt_test::WaitUntil([&] { return monitor.Out().find("NewDevice") != std::string::npos; },
                        std::chrono::seconds(20));
    monitor.Signal(SIGINT);
    const auto result = monitor.Wait(std::chrono::seconds(20));
    ASSERT_EQ(result.exit, 0) << result.err;
    std::istringstream lines(result.out);
    int events = 0;
    for (std::string line; std::getline(lines, line);)
        events += ParseOutput(line)["event"].text == "NewDevice";
    EXPECT_EQ(events, 1) << result.out;
}
#endif

}  // namespace
