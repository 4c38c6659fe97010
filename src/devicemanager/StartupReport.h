#pragma once

#include <string>

// Says what went wrong while the device manager started (a repaired setting,
// or why it could not start): in the log when it is open, else on standard
// error, so that a failed start is never silent. level is a CLog level.
void ReportStartup(int level, const std::string& text);
