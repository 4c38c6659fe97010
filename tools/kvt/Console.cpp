#include "Console.h"

#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

Console::Console(bool verbose) {
    if (!verbose) {
        // Before KVT_Start: the library then keeps its log lines to its log file.
#ifdef _WIN32
        _putenv_s("KVT_LOG_CONSOLE", "0");
#else
        ::setenv("KVT_LOG_CONSOLE", "0", 1);
#endif
        return;
    }
    // The library echoes on standard output; that becomes standard error here,
    // and kvt writes to a copy of the real standard output.
    std::fflush(stdout);
    m_savedStdout = ::dup(::fileno(stdout));
    if (m_savedStdout < 0) return;
    std::FILE* out = ::fdopen(m_savedStdout, "w");
    if (out == nullptr) {
        ::close(m_savedStdout);
        return;
    }
    ::dup2(::fileno(stderr), ::fileno(stdout));
    m_out = out;
}

Console::~Console() {
    if (m_out != stdout) std::fclose(m_out);
}
