#pragma once

#include <cstdint>
#include <memory>

#include "sim/ImageSource.h"
#include "sim/Impression.h"
#include "sim/MasterCache.h"
#include "sim/MasterPrint.h"

// The fingerprint synthesizer: master prints per virtual finger id (cached),
// impressions per (finger id, impression number), and live-finger material.
// Everything is a pure function of (population seed, finger id, impression
// number, live): the same request gives the same bytes on every run and
// platform.
namespace kvt::sim {

class FingerprintSynth {
public:
    // populationSeed selects a population of fingers (0 is the standard one);
    // cacheCapacity bounds the cached master prints (about 2 MB each).
    explicit FingerprintSynth(uint64_t populationSeed = 0, size_t cacheCapacity = 32);

    uint64_t PopulationSeed() const { return m_seed; }
    MasterPtr Master(uint32_t fingerId);
    Impression Render(uint32_t fingerId, uint32_t impression, const RawGeometry& geometry);
    // Frame 2 for an impression's frame 1 (raw orientation).
    std::vector<uint8_t> CrossFrame(const Impression& impression, uint32_t fingerId,
                                    uint32_t impressionNumber, bool live);
    ColourReadings Colours(uint32_t fingerId, uint32_t impression, bool live);
    MasterCache& Cache() { return m_cache; }

private:
    uint64_t m_seed;
    MasterCache m_cache;
};

// The synthesizer behind the emulated sensors' image-source interface.
class SynthImageSource : public ImageSource {
public:
    explicit SynthImageSource(
        std::shared_ptr<FingerprintSynth> synth = std::make_shared<FingerprintSynth>());
    std::vector<uint8_t> Frame(const FrameRequest& request) override;
    ColourReadings Colours(const FrameRequest& request) override;
    FingerprintSynth& Synth() { return *m_synth; }

private:
    std::shared_ptr<FingerprintSynth> m_synth;
};

}  // namespace kvt::sim
