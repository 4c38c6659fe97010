// libFuzzer target: arbitrary bytes as an INI file (plain or scrambled), loaded,
// queried, saved and loaded again. Binary content must be refused whole; the
// saved text must load back to the same text when saved once more.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#if defined(_WIN32)
#include <process.h>
#define KVT_FUZZ_GETPID _getpid
#else
#include <unistd.h>
#define KVT_FUZZ_GETPID getpid
#endif

#include "common/DataFile.h"

namespace {

std::string TempPath(const char* suffix) {
    return (std::filesystem::temp_directory_path() /
            ("kvt_fuzz_datafile_" + std::to_string(KVT_FUZZ_GETPID()) + suffix))
        .string();
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string g_files[3];

void RemoveFiles() {
    for (const std::string& file : g_files) std::remove(file.c_str());
}

void Query(const CDataFile& ini) {
    static const char* const kKeys[] = {"Port", "IP", "LogLevel", "key", "a", ""};
    static const char* const kSections[] = {"", "DeviceListener_1", "Section", "s"};
    for (const char* section : kSections) {
        for (const char* key : kKeys) {
            (void)ini.GetValue(key, section);
            (void)ini.GetInt(key, section);
            (void)ini.GetFloat(key, section);
        }
    }
    // Every key that was loaded is found again under its own name.
    for (const auto& section : ini.Sections()) {
        for (const auto& key : section.keys) {
            if (ini.GetValue(key.name, section.name).empty()) std::abort();
            (void)ini.GetInt(key.name, section.name);
            (void)ini.GetFloat(key.name, section.name);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string input = TempPath(".in.ini");
    static const std::string first = TempPath(".1.ini");
    static const std::string second = TempPath(".2.ini");
    static const bool registered = [] {
        g_files[0] = input;
        g_files[1] = first;
        g_files[2] = second;
        return std::atexit(RemoveFiles) == 0;
    }();
    (void)registered;

    {
        std::FILE* f = std::fopen(input.c_str(), "wb");
        if (f == nullptr) return 0;
        if (size > 0) std::fwrite(data, 1, size, f);
        std::fclose(f);
    }

    std::remove(first.c_str());
    std::remove(second.c_str());
    {
        CDataFile ini;
        if (!ini.Load(input)) {
            // Refused as a whole: nothing of it may be left behind.
            if (ini.LastLoadStatus() != CDataFile::LoadStatus::kUnparsable) std::abort();
            if (ini.KeyCount() != 0 || ini.SectionCount() != 1 || ini.IsDirty()) std::abort();
            return 0;
        }
        if (ini.IsDirty()) std::abort();
        Query(ini);
        ini.SetFileName(first);
        const bool saved = ini.Save();
        if (saved != (ini.KeyCount() > 0 || ini.SectionCount() > 1)) std::abort();
        if (!saved) return 0;
    }
    {
        CDataFile ini;
        if (!ini.Load(first)) std::abort();
        Query(ini);
        ini.SetFileName(second);
        if (!ini.Save()) std::abort();
    }
    // Saving is a fixed point: what was written loads and saves unchanged.
    if (ReadBytes(first) != ReadBytes(second)) std::abort();
    return 0;
}
