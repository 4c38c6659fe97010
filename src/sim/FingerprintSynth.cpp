#include "sim/FingerprintSynth.h"

#include "sim/MasterGenerator.h"
#include "sim/Random.h"

namespace kvt::sim {

namespace {
constexpr uint64_t kCrossTag = 0x43524F5353ull;  // "CROSS"
constexpr uint64_t kColourTag = 0x434F4C4Full;   // "COLO"
}  // namespace

FingerprintSynth::FingerprintSynth(uint64_t populationSeed, size_t cacheCapacity)
    : m_seed(populationSeed), m_cache(cacheCapacity, [populationSeed](uint32_t id) {
          return GenerateMaster(populationSeed, id);
      }) {}

MasterPtr FingerprintSynth::Master(uint32_t fingerId) {
    return m_cache.Get(fingerId);
}

Impression FingerprintSynth::Render(uint32_t fingerId, uint32_t impression,
                                    const RawGeometry& geometry) {
    const MasterPtr master = Master(fingerId);
    return RenderImpression(*master, m_seed, impression, geometry);
}

std::vector<uint8_t> FingerprintSynth::CrossFrame(const Impression& imp, uint32_t fingerId,
                                                  uint32_t impression, bool live) {
    Rng rng(MixKey(m_seed, fingerId, impression, kCrossTag + (live ? 1 : 0)));
    const std::vector<uint8_t> raw = imp.Raw();
    const std::vector<uint8_t> contact = UprightToRaw(imp.contact, imp.geometry);
    return MakeCrossFrame(raw.data(), contact.data(), imp.geometry.rawWidth, imp.geometry.rawHeight,
                          live, rng);
}

ColourReadings FingerprintSynth::Colours(uint32_t fingerId, uint32_t impression, bool live) {
    Rng rng(MixKey(m_seed, fingerId, impression, kColourTag + (live ? 1 : 0)));
    return MakeColourReadings(live, rng);
}

SynthImageSource::SynthImageSource(std::shared_ptr<FingerprintSynth> synth)
    : m_synth(std::move(synth)) {}

std::vector<uint8_t> SynthImageSource::Frame(const FrameRequest& r) {
    const RawGeometry g = GeometryForRawSize(r.rawWidth, r.rawHeight);
    const Impression imp = m_synth->Render(r.fingerId, r.impression, g);
    std::vector<uint8_t> out = imp.Raw();
    if (r.crossFrame) {
        const std::vector<uint8_t> cross =
            m_synth->CrossFrame(imp, r.fingerId, r.impression, r.live);
        out.insert(out.end(), cross.begin(), cross.end());
    }
    return out;
}

ColourReadings SynthImageSource::Colours(const FrameRequest& r) {
    return m_synth->Colours(r.fingerId, r.impression, r.live);
}

}  // namespace kvt::sim
