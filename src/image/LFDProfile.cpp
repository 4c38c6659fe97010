#include "image/LFDProfile.h"

#include <algorithm>

namespace {

constexpr int32_t kBand = 4;

LFDProfile Framed(int32_t length, int32_t across) {
    LFDProfile profile(static_cast<size_t>(length) + 2);
    for (size_t i = 0; i < profile.size(); ++i) {
        profile[i].across = across;
        profile[i].b = static_cast<int32_t>(i);
    }
    return profile;
}

bool IsPeak(const LFDProfile& p, size_t i) {
    return p[i].value >= p[i - 1].value && p[i].value >= p[i + 1].value;
}

bool IsValley(const LFDProfile& p, size_t i) {
    return p[i].value <= p[i - 1].value && p[i].value <= p[i + 1].value;
}

}  // namespace

LFDProfile HorizontalProfile(const uint8_t* window, int32_t w, int32_t h) {
    const int32_t across = h / 2;
    const int32_t first = across - kBand / 2;
    LFDProfile profile = Framed(w, across);
    for (int32_t x = 0; x < w; ++x) {
        int32_t sum = 0;
        for (int32_t m = first; m < first + kBand; ++m) sum += window[m * w + x];
        profile[static_cast<size_t>(x) + 1].value = static_cast<uint8_t>(sum / kBand);
    }
    return profile;
}

LFDProfile VerticalProfile(const uint8_t* window, int32_t w, int32_t h) {
    const int32_t across = 2 * w / 5;
    const int32_t first = across - kBand / 2;
    LFDProfile profile = Framed(h, across);
    for (int32_t m = 0; m < h; ++m) {
        const uint8_t* row = window + m * w;
        int32_t sum = 0;
        for (int32_t x = first; x < first + kBand; ++x) sum += row[x];
        profile[static_cast<size_t>(m) + 1].value = static_cast<uint8_t>(sum / kBand);
    }
    return profile;
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
