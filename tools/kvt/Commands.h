#pragma once

#include <vector>

#include "Cli.h"

// The commands of kvt, by group.
std::vector<cli::Command> DeviceCommands();     // list, info, capture, monitor
std::vector<cli::Command> BiometricCommands();  // extract, match, identify
