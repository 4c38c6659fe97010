#pragma once

#include <cstdio>

// Plugs in simulated sensors, captures from them in every way the SDK offers
// and prints a summary; returns the exit code.
int RunDemo(std::FILE* out);
