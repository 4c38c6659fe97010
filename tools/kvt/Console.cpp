#include "Console.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

Console::Console(bool verbose) {
#ifndef _WIN32
    std::fflush(stdout);
    m_savedStdout = ::dup(STDOUT_FILENO);
    if (m_savedStdout < 0) return;
    std::FILE* out = ::fdopen(m_savedStdout, "w");
    if (out == nullptr) {
        ::close(m_savedStdout);
        m_savedStdout = -1;
        return;
    }
    const int target = verbose ? ::dup(STDERR_FILENO) : ::open("/dev/null", O_WRONLY);
    if (target >= 0) {
        ::dup2(target, STDOUT_FILENO);
        ::close(target);
    }
    m_out = out;
#else
    (void)verbose;
#endif
}

Console::~Console() {
#ifndef _WIN32
    if (m_out != stdout) std::fclose(m_out);
#endif
}
