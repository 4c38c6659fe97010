#pragma once

// Attaches the simulated sensors that KVT_SIMULATED_SENSORS names ("u2,u1"),
// once per process, so an unchanged application runs against them.
void AttachSimulatedSensorsFromEnvironment();
