#include "devicemanager/StartupReport.h"

#include <cstdarg>
#include <cstdio>

#include "common/Log.h"

namespace {

void WriteAt(int level, const char* format, ...) KVT_PRINTF(2, 3);
void WriteAt(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CLog::Instance().WriteV(level, format, args);
    va_end(args);
}

}  // namespace

void ReportStartup(int level, const std::string& text) {
    if (CLog::Instance().IsOpen()) {
        WriteAt(level, "%s", text.c_str());
    } else if (level >= CLog::kWarning) {
        std::fprintf(stderr, "KVTBasic: %s\n", text.c_str());
    }
}
