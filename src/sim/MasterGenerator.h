#pragma once

#include <cstdint>

#include "sim/MasterPrint.h"

namespace kvt::sim {

// Builds the master print of a finger id: layout (class, outline, singular
// points), orientation and period maps, ridges grown from random seeds, and
// the true minutiae; a finger tip with too few minutiae is grown again with a
// busier ridge spacing. Deterministic in (populationSeed, fingerId).
MasterPrint GenerateMaster(uint64_t populationSeed, uint32_t fingerId);

}  // namespace kvt::sim
