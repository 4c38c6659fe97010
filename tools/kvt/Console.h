#pragma once

#include <cstdio>

// The library echoes its log lines to standard output. The tool keeps its own
// output on the real standard output: the echo is switched off, or sent to
// standard error with --verbose.
class Console {
public:
    explicit Console(bool verbose);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    std::FILE* Out() const { return m_out; }

private:
    std::FILE* m_out = stdout;
    int m_savedStdout = -1;
};
