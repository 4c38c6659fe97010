#include "image/LFDProfile.h"

#include <algorithm>
#include <cstddef>

namespace {

constexpr int32_t kBand = 4;

bool IsPeak(const LFDProfile& p, size_t i) {
    return p[i].value >= p[i - 1].value && p[i].value >= p[i + 1].value;
}

bool IsValley(const LFDProfile& p, size_t i) {
    return p[i].value <= p[i - 1].value && p[i].value <= p[i + 1].value;
}

// Node i + 1 averages the kBand samples across the band at step i along it.
LFDProfile BandProfile(const uint8_t* band, int32_t length, ptrdiff_t along, ptrdiff_t across,
                       int32_t position) {
    LFDProfile profile(static_cast<size_t>(length) + 2);
    for (size_t i = 0; i < profile.size(); ++i) {
        profile[i].across = position;
        profile[i].b = static_cast<int32_t>(i);
    }
    for (int32_t i = 0; i < length; ++i) {
        int32_t sum = 0;
        for (int32_t k = 0; k < kBand; ++k) sum += band[i * along + k * across];
        profile[static_cast<size_t>(i) + 1].value = static_cast<uint8_t>(sum / kBand);
    }
    return profile;
}

}  // namespace

LFDProfile HorizontalProfile(const uint8_t* window, int32_t w, int32_t h) {
    const int32_t row = h / 2;
    return BandProfile(window + static_cast<ptrdiff_t>(row - kBand / 2) * w, w, 1, w, row);
}

LFDProfile VerticalProfile(const uint8_t* window, int32_t w, int32_t h) {
    const int32_t column = 2 * w / 5;
    return BandProfile(window + (column - kBand / 2), h, w, 1, column);
}

LFDProfile UpperEnvelope(const LFDProfile& profile) {
    LFDProfile u = profile;
    const size_t n = u.size();
    if (n < 2) return u;
    u.front().mark = 1;
    u.back().mark = 1;
    // highestFrom[i]: the largest value at or after node i.
    std::vector<uint8_t> highestFrom(n);
    highestFrom[n - 1] = u[n - 1].value;
    for (size_t i = n - 1; i-- > 0;) highestFrom[i] = std::max(u[i].value, highestFrom[i + 1]);

    uint8_t level = 0;
    for (size_t i = 1; i + 1 < n; ++i) {
        const uint8_t v = u[i].value;
        if (v >= level) {
            level = v;
            if (IsPeak(u, i)) u[i].mark = 1;
        } else if (highestFrom[i] <= v) {
            // Past the highest peak the envelope may come down again.
            level = v;
            if (v > u[i - 1].value && v > u[i + 1].value) u[i].mark = 1;
        }
    }
    Interpolate(u);
    return u;
}

LFDProfile LowerEnvelope(const LFDProfile& profile) {
    LFDProfile e = profile;
    const size_t n = e.size();
    if (n < 2) return e;
    e.back().mark = 1;
    // Between two peaks, the first valley becomes a corner.
    size_t cursor = 0;
    for (size_t i = 1; i + 1 < n; ++i) {
        if (!IsPeak(e, i)) continue;
        if (cursor == 0) cursor = 1;
        for (size_t j = cursor; j < i; ++j) {
            if (IsValley(e, j)) {
                e[j].mark = 1;
                break;
            }
        }
        cursor = i;
    }
    Interpolate(e);
    return e;
}

void Interpolate(LFDProfile& envelope) {
    const size_t n = envelope.size();
    size_t i = 0;
    while (i + 1 < n) {
        if (!envelope[i].mark) {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < n && !envelope[j].mark) ++j;
        if (j == n) break;
        const ProfileNode& from = envelope[i];
        const ProfileNode& to = envelope[j];
        for (size_t k = i + 1; k < j; ++k) {
            const int32_t value =
                from.value + ((envelope[k].b - from.b) * (to.value - from.value)) / (to.b - from.b);
            envelope[k].value = static_cast<uint8_t>(value);
        }
        i = j;
    }
}

uint32_t SumOfValues(const LFDProfile& profile) {
    uint32_t sum = 0;
    for (const ProfileNode& node : profile) sum += node.value;
    return sum;
}
