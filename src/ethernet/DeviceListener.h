#pragma once

#include <vector>

#include "ethernet/ListenerConfig.h"

class SensorHost;

// Opens one listener per entry that can bind and accepts sensors on each, on a
// worker thread of host, until host stops or suspends. Listeners that cannot
// bind are skipped; those that open are logged.
void StartDeviceListeners(SensorHost& host, const std::vector<ListenerConfig>& listeners);
