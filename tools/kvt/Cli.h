#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The command line of kvt: exit codes, the option tables of the commands, the
// parsed arguments and the reporting of errors in text or JSON.
namespace cli {

// 1 to 7 are the library's result codes -1 to -7.
enum Exit : int {
    kExitOk = 0,
    kExitNoMatch = 8,
    kExitNoSensor = 9,
    kExitNoImage = 10,
    kExitFile = 11,
    kExitUsage = 64,
};

int ExitFromResult(int result);
const char* ResultText(int result);

struct OptionSpec {
    const char* name;   // "--timeout"
    const char* value;  // "S" for an option with a value, nullptr for a flag
    const char* help;
};

class Args {
public:
    bool Has(const std::string& name) const;
    // The option's value, or fallback when it was not given.
    std::string Value(const std::string& name, const std::string& fallback = {}) const;
    const std::vector<std::string>& Positional() const { return m_positional; }
    bool Json() const { return Has("--json"); }

    void Set(const std::string& name, const std::string& value);
    void AddPositional(const std::string& value) { m_positional.push_back(value); }

private:
    std::vector<std::pair<std::string, std::string>> m_options;
    std::vector<std::string> m_positional;
};

// Writes the command's results to out and its errors to stderr (text) or out (JSON).
class Reporter {
public:
    Reporter(std::FILE* out, const char* command, bool json)
        : m_out(out), m_command(command), m_json(json) {}
    std::FILE* Out() const { return m_out; }
    bool Json() const { return m_json; }

    // Reports the error and returns the exit code to end with.
    int Fail(int exitCode, const std::string& message) const;
    int LibraryFail(const char* call, int result) const;

private:
    std::FILE* m_out;
    const char* m_command;
    bool m_json;
};

struct Command {
    const char* name;
    const char* operands;  // "IMAGE -o TEMPLATE"
    const char* summary;   // one line
    const char* details;   // the rest of --help, may be empty
    std::vector<OptionSpec> options;
    int minOperands;
    int maxOperands;  // -1: any number
    bool json;        // takes --json
    int (*run)(const Args&, const Reporter&);
};

// Parses argv after the command name. False with a message for the user when
// the command line is wrong.
bool Parse(const Command& command, int argc, char** argv, Args& args, std::string& error);
void PrintCommandHelp(const Command& command, std::FILE* out);

// Whole numbers within [min, max] only.
bool ParseInt(const std::string& text, int min, int max, int& value);

// Whether progress lines on standard error would reach a person.
bool StderrIsTerminal();

}  // namespace cli
