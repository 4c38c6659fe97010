// kvt: the command line of the KVTBasic SDK.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "Demo.h"
#include "Output.h"
#include "kvt/KVTBasic.h"

namespace {

int RunVersion(const cli::Args&, const cli::Reporter& report) {
    char version[32];
    const int result = KVT_GetVersion(version, sizeof version);
    if (result != KVT_RESULT_OK) return report.LibraryFail("KVT_GetVersion", result);
    if (report.Json()) {
        std::fprintf(
            report.Out(), "%s\n",
            JsonObject().Text("library", "KVTBasic").Text("version", version).Str().c_str());
    } else {
        std::fprintf(report.Out(), "KVTBasic %s\n", version);
    }
    return cli::kExitOk;
}

int RunDemoCommand(const cli::Args&, const cli::Reporter& report) {
    return RunDemo(report.Out());
}

std::vector<cli::Command> AllCommands() {
    std::vector<cli::Command> commands = DeviceCommands();
    for (cli::Command& c : BiometricCommands()) commands.push_back(std::move(c));
    commands.push_back(
        {"demo",
         "[options]",
         "Walk through the SDK on simulated sensors.",
         "Plugs in simulated sensors in a fresh data folder, captures from each in\n"
         "every way, grades a live and a fake finger, cancels a capture, identifies\n"
         "a finger among several and writes the pictures. Needs no hardware.",
         {},
         0,
         0,
         false,
         RunDemoCommand});
    commands.push_back(
        {"version", "[options]", "Print the library version.", "", {}, 0, 0, true, RunVersion});
    return commands;
}

void PrintUsage(const std::vector<cli::Command>& commands, std::FILE* out) {
    std::fprintf(out, "usage: kvt <command> [options]\n\ncommands:\n");
    for (const cli::Command& c : commands) {
        std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
    }
    std::fprintf(out,
                 "\n"
                 "kvt <command> --help describes a command. Most commands take --json for\n"
                 "scripts and --verbose to show the library's log lines on standard error.\n"
                 "\n"
                 "environment:\n"
                 "  KVT_DATA_DIR           folder for the library's settings and log\n"
                 "  KVT_SIMULATED_SENSORS  simulated USB sensors to plug in, e.g. u2,u1\n"
                 "\n"
                 "exit status:\n"
                 "  0      success\n"
                 "  1-7    the library's result code -1 to -7: 1 failed, 2 not running,\n"
                 "         3 buffer too small, 4 no callback, 5 bad argument or picture,\n"
                 "         6 another device manager runs, 7 no fingerprint algorithm\n"
                 "  8      no match (match, identify)\n"
                 "  9      no sensor, or not the one asked for\n"
                 "  10     no picture: the capture timed out or was cancelled\n"
                 "  11     a file could not be read or written, or is not a picture/template\n"
                 "  64     wrong command line\n");
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<cli::Command> commands = AllCommands();
    if (argc < 2) {
        PrintUsage(commands, stderr);
        return cli::kExitUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        PrintUsage(commands, stdout);
        return cli::kExitOk;
    }
    const cli::Command* command = nullptr;
    for (const cli::Command& c : commands)
        if (name == c.name) command = &c;
    if (command == nullptr) {
        std::fprintf(stderr, "kvt: unknown command '%s' (kvt --help lists them)\n", argv[1]);
        return cli::kExitUsage;
    }
    cli::Args args;
    std::string error;
    if (!cli::Parse(*command, argc - 2, argv + 2, args, error)) {
        std::fprintf(stderr, "kvt %s: %s (kvt %s --help)\n", command->name, error.c_str(),
                     command->name);
        return cli::kExitUsage;
    }
    if (args.Has("--help")) {
        cli::PrintCommandHelp(*command, stdout);
        return cli::kExitOk;
    }
    Console console(args.Has("--verbose"));
    return command->run(args, cli::Reporter(console.Out(), command->name, args.Json()));
}
