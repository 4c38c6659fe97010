// kvt: the command line of the KVTBasic SDK.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Console.h"
#include "Demo.h"
#include "kvt/KVTBasic.h"

namespace {

struct Options {
    bool json = false;
    bool verbose = false;
    bool help = false;
};

struct Command {
    const char* name;
    const char* summary;
    const char* usage;
    int (*run)(const Options&, std::FILE* out);
};

void KVT_CALLBACK IgnoreMessage(KVT_Message*, void*) {}

std::string JsonString(const char* text) {
    std::string s = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            s += esc;
        } else {
            s += static_cast<char>(c);
        }
    }
    return s + "\"";
}

const char* ResultText(int result) {
    switch (result) {
        case KVT_RESULT_OK:
            return "success";
        case KVT_RESULT_NOT_RUNNING:
            return "the library is not running";
        case KVT_RESULT_TOO_SMALL:
            return "buffer too small";
        case KVT_RESULT_NO_CALLBACK:
            return "no callback given";
        case KVT_RESULT_BAD_ARGUMENT:
            return "bad argument";
        case KVT_RESULT_START_FAILED:
            return "another device manager is running on this machine";
        case KVT_RESULT_NO_ALGORITHM:
            return "no fingerprint algorithm available";
        default:
            return "failure (see the log file)";
    }
}

// Exit codes follow the library's result codes: 0, or the code's magnitude.
int ExitCode(int result) {
    return result < 0 ? -result : result;
}

int Fail(const Options& options, std::FILE* out, const char* what, int result) {
    if (options.json) {
        std::fprintf(out, "{\"error\": %s, \"result\": %d}\n",
                     JsonString((std::string(what) + ": " + ResultText(result)).c_str()).c_str(),
                     result);
    } else {
        std::fprintf(stderr, "kvt: %s: %s (%d)\n", what, ResultText(result), result);
    }
    return ExitCode(result);
}

int RunVersion(const Options& options, std::FILE* out) {
    char version[32];
    const int result = KVT_GetVersion(version, sizeof version);
    if (result != KVT_RESULT_OK) return Fail(options, out, "KVT_GetVersion", result);
    if (options.json) {
        std::fprintf(out, "{\"library\": \"KVTBasic\", \"version\": %s}\n",
                     JsonString(version).c_str());
    } else {
        std::fprintf(out, "KVTBasic %s\n", version);
    }
    return 0;
}

const char* ConnectionText(int connection) {
    return connection == KVT_CONNECTION_ETH ? "Ethernet" : "USB";
}

const char* DeviceTypeText(int type) {
    switch (type) {
        case KVT_DEVICE_KELO_A:
            return "Kelo-A";
        case KVT_DEVICE_KELO_B:
            return "Kelo-B";
        case KVT_DEVICE_KELO_C:
            return "Kelo-C";
        default:
            return "unknown";
    }
}

int RunList(const Options& options, std::FILE* out) {
    int result = KVT_Start(IgnoreMessage, nullptr);
    if (result != KVT_RESULT_OK) return Fail(options, out, "KVT_Start", result);

    std::vector<KVT_DeviceInfo> devices;
    unsigned int count = 0;
    result = KVT_GetDeviceList(nullptr, &count);
    // Sensors may arrive between the two calls; ask again until the list fits.
    while (result == KVT_RESULT_TOO_SMALL) {
        devices.resize(count);
        result = KVT_GetDeviceList(devices.data(), &count);
    }
    KVT_Stop();
    if (result != KVT_RESULT_OK) return Fail(options, out, "KVT_GetDeviceList", result);
    devices.resize(count);

    if (options.json) {
        std::fprintf(out, "[");
        for (size_t i = 0; i < devices.size(); ++i) {
            const KVT_DeviceInfo& d = devices[i];
            std::fprintf(out,
                         "%s\n  {\"deviceId\": %s, \"deviceType\": %s, \"connection\": %s, "
                         "\"serialNumber\": %s, \"firmwareVersion\": %s, \"description\": %s}",
                         i == 0 ? "" : ",", JsonString(d.deviceId).c_str(),
                         JsonString(DeviceTypeText(d.deviceType)).c_str(),
                         JsonString(ConnectionText(d.connectionType)).c_str(),
                         JsonString(d.serialNumber).c_str(), JsonString(d.firmwareVersion).c_str(),
                         JsonString(d.description).c_str());
        }
        std::fprintf(out, "%s]\n", devices.empty() ? "" : "\n");
        return 0;
    }
    if (devices.empty()) {
        std::fprintf(out, "No sensors connected.\n");
        return 0;
    }
    std::fprintf(out, "%-40s %-7s %-9s %-12s %s\n", "DEVICE ID", "TYPE", "CONNECT", "SERIAL",
                 "FIRMWARE");
    for (const KVT_DeviceInfo& d : devices) {
        std::fprintf(out, "%-40s %-7s %-9s %-12s %s\n", d.deviceId, DeviceTypeText(d.deviceType),
                     ConnectionText(d.connectionType), d.serialNumber, d.firmwareVersion);
    }
    std::fprintf(out, "%zu sensor%s\n", devices.size(), devices.size() == 1 ? "" : "s");
    return 0;
}

int RunDemoCommand(const Options&, std::FILE* out) {
    return RunDemo(out);
}

const Command kCommands[] = {
    {"demo", "walk through the SDK on simulated sensors", "kvt demo [--verbose]", RunDemoCommand},
    {"list", "list the connected sensors", "kvt list [--json] [--verbose]", RunList},
    {"version", "print the library version", "kvt version [--json]", RunVersion},
};

void PrintUsage(std::FILE* out) {
    std::fprintf(out, "usage: kvt <command> [options]\n\ncommands:\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
    std::fprintf(out,
                 "\noptions:\n"
                 "  --json     machine-readable output\n"
                 "  --verbose  show the library's log echo on standard error\n"
                 "  --help     help for a command\n"
                 "\nThe library keeps its settings and log in KVT_DATA_DIR when that is set.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
        std::strcmp(argv[1], "help") == 0) {
        PrintUsage(stdout);
        return argc < 2 ? 2 : 0;
    }
    const Command* command = nullptr;
    for (const Command& c : kCommands) {
        if (std::strcmp(argv[1], c.name) == 0) command = &c;
    }
    if (command == nullptr) {
        std::fprintf(stderr, "kvt: unknown command '%s'\n\n", argv[1]);
        PrintUsage(stderr);
        return 2;
    }
    Options options;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            options.json = true;
        } else if (std::strcmp(argv[i], "--verbose") == 0) {
            options.verbose = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            options.help = true;
        } else {
            std::fprintf(stderr, "kvt %s: unknown option '%s'\nusage: %s\n", command->name, argv[i],
                         command->usage);
            return 2;
        }
    }
    if (options.help) {
        std::printf("usage: %s\n\n%s\n", command->usage, command->summary);
        return 0;
    }
    Console console(options.verbose);
    return command->run(options, console.Out());
}
