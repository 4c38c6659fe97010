#include "Cli.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Output.h"
#include "kvt/KVTBasic.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace cli {

namespace {

const OptionSpec kJson{"--json", nullptr, "print the result as JSON"};
const OptionSpec kVerbose{"--verbose", nullptr, "show the library's log lines on standard error"};
const OptionSpec kHelp{"--help", nullptr, "show this help"};

const OptionSpec* Find(const Command& command, const std::string& name) {
    for (const OptionSpec& option : command.options)
        if (name == option.name) return &option;
    if (command.json && name == kJson.name) return &kJson;
    if (name == kVerbose.name) return &kVerbose;
    if (name == kHelp.name || name == "-h") return &kHelp;
    return nullptr;
}

void PrintOption(std::FILE* out, const OptionSpec& option) {
    std::string name = option.name;
    if (option.value != nullptr) name += std::string(" ") + option.value;
    std::fprintf(out, "  %-22s %s\n", name.c_str(), option.help);
}

}  // namespace

int ExitFromResult(int result) {
    return result < 0 ? -result : result;
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
            return "bad argument, or not a picture the library can read";
        case KVT_RESULT_START_FAILED:
            return "another device manager is running on this machine";
        case KVT_RESULT_NO_ALGORITHM:
            return "no fingerprint algorithm available (are the VF modules installed?)";
        default:
            return "failed (the log file in the data folder says why)";
    }
}

bool Args::Has(const std::string& name) const {
    for (const auto& [key, value] : m_options)
        if (key == name) return true;
    return false;
}

std::string Args::Value(const std::string& name, const std::string& fallback) const {
    // The last one given wins, as usual on command lines.
    for (auto it = m_options.rbegin(); it != m_options.rend(); ++it)
        if (it->first == name) return it->second;
    return fallback;
}

void Args::Set(const std::string& name, const std::string& value) {
    m_options.emplace_back(name, value);
}

int Reporter::Fail(int exitCode, const std::string& message) const {
    if (m_json) {
        std::fprintf(m_out, "%s\n",
                     JsonObject().Text("error", message).Number("exit", exitCode).Str().c_str());
    } else {
        std::fprintf(stderr, "kvt %s: %s\n", m_command, message.c_str());
    }
    return exitCode;
}

int Reporter::LibraryFail(const char* call, int result) const {
    return Fail(ExitFromResult(result), std::string(call) + ": " + ResultText(result) + " (" +
                                            std::to_string(result) + ")");
}

bool Parse(const Command& command, int argc, char** argv, Args& args, std::string& error) {
    bool operandsOnly = false;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (operandsOnly || arg.size() < 2 || arg[0] != '-') {
            args.AddPositional(arg);
            continue;
        }
        if (arg == "--") {
            operandsOnly = true;
            continue;
        }
        // --name=value as well as --name value.
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const OptionSpec* option = Find(command, name);
        if (option == nullptr) {
            error = "unknown option '" + name + "'";
            return false;
        }
        if (option->value == nullptr) {
            if (equals != std::string::npos) {
                error = "option '" + name + "' takes no value";
                return false;
            }
            args.Set(option->name, {});
        } else if (equals != std::string::npos) {
            args.Set(option->name, arg.substr(equals + 1));
        } else if (i + 1 < argc) {
            args.Set(option->name, argv[++i]);
        } else {
            error = "option '" + name + "' needs a value (" + option->value + ")";
            return false;
        }
    }
    if (args.Has("--help")) return true;
    const int count = static_cast<int>(args.Positional().size());
    if (count < command.minOperands) {
        error = std::string("missing operand; usage: kvt ") + command.name + " " + command.operands;
        return false;
    }
    if (command.maxOperands >= 0 && count > command.maxOperands) {
        error = "unexpected operand '" + args.Positional()[command.maxOperands] + "'";
        return false;
    }
    return true;
}

void PrintCommandHelp(const Command& command, std::FILE* out) {
    std::fprintf(out, "usage: kvt %s %s\n\n%s\n", command.name, command.operands, command.summary);
    if (command.details != nullptr && *command.details != '\0')
        std::fprintf(out, "\n%s\n", command.details);
    std::fprintf(out, "\noptions:\n");
    for (const OptionSpec& option : command.options) PrintOption(out, option);
    if (command.json) PrintOption(out, kJson);
    PrintOption(out, kVerbose);
    PrintOption(out, kHelp);
}

bool ParseInt(const std::string& text, int min, int max, int& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || number < min || number > max) return false;
    value = static_cast<int>(number);
    return true;
}

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return ::isatty(STDERR_FILENO) != 0;
#endif
}

}  // namespace cli
