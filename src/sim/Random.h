#pragma once

#include <cstdint>

// The synthesizer's only source of randomness: xoshiro256** seeded through
// splitmix64. Every draw is defined here bit for bit (no std:: distributions,
// whose results differ between standard libraries), so a (finger, impression)
// pair gives the same print on every platform.
namespace kvt::sim {

inline uint64_t SplitMix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A 64-bit key from a few integers (finger id, impression, purpose tag...).
inline uint64_t MixKey(uint64_t a, uint64_t b = 0, uint64_t c = 0, uint64_t d = 0) {
    uint64_t s = a * 0xD1B54A32D192ED03ull + 0x2545F4914F6CDD1Dull;
    uint64_t h = SplitMix64(s);
    s ^= b + 0x9E3779B97F4A7C15ull;
    h ^= SplitMix64(s);
    s ^= c + 0xC2B2AE3D27D4EB4Full;
    h ^= SplitMix64(s);
    s ^= d + 0x165667B19E3779F9ull;
    h ^= SplitMix64(s);
    return h;
}

class Rng {
public:
    explicit Rng(uint64_t seed) {
        for (auto& w : m_s) w = SplitMix64(seed);
    }

    uint64_t Next() {
        const uint64_t result = Rotl(m_s[1] * 5, 7) * 9;
        const uint64_t t = m_s[1] << 17;
        m_s[2] ^= m_s[0];
        m_s[3] ^= m_s[1];
        m_s[1] ^= m_s[2];
        m_s[0] ^= m_s[3];
        m_s[2] ^= t;
        m_s[3] = Rotl(m_s[3], 45);
        return result;
    }

    // Uniform in [0, 1) with 53 random bits.
    double Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
    double Uniform(double lo, double hi) { return lo + (hi - lo) * Uniform(); }
    // Uniform integer in [0, n).
    uint32_t Below(uint32_t n) {
        return static_cast<uint32_t>(((Next() >> 32) * static_cast<uint64_t>(n)) >> 32);
    }
    bool Chance(double p) { return Uniform() < p; }
    // Approximately normal (Irwin-Hall sum of four uniforms, scaled to unit
    // variance; bounded to +-3.46 sigma, which suits physical parameters).
    double Normal() {
        // One draw per statement: operands of + are evaluated in no fixed order.
        double s = Uniform();
        s += Uniform();
        s += Uniform();
        s += Uniform();
        return (s - 2.0) * 1.7320508075688772;
    }
    double Normal(double mean, double sd) { return mean + sd * Normal(); }

private:
    static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t m_s[4];
};

}  // namespace kvt::sim
