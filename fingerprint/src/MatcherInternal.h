// Pieces shared by the preparation and the comparison of prints; not part of
// the library's interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Internal.h"

// SSE2 is part of x86-64, so its vector paths need no check at run time.
// FP_MATCHER_PORTABLE builds the plain C++ paths only: the tests compare the
// two builds result for result.
#if (defined(__SSE2__) || defined(_M_X64)) && !defined(FP_MATCHER_PORTABLE)
#include <emmintrin.h>
#define FP_MATCHER_SSE2 1
#endif

#if defined(__GNUC__) || defined(__clang__)
#define FP_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define FP_ALWAYS_INLINE inline
#endif

namespace fp::detail {

// A coordinate outside every image, for padding.
constexpr float kOutside = -1e9f;
constexpr float kUnitToRadians = kPi / 128;

// Difference of two angles in steps of pi/128, 0..128.
inline int AngleDiff(int a, int b) {
    const int d = (a - b) & 255;
    return d > 128 ? 256 - d : d;
}

inline int ToUnits(float radians) {
    // floor by hand: without SSE4.1 std::floor is a library call, and
    // preparation converts an angle for every pair of near minutiae.
    const float v = radians / kUnitToRadians + 0.5f;
    int units = static_cast<int>(v);
    if (static_cast<float>(units) > v) --units;
    return units & 255;
}

// Occupancy cell of a neighbour: 4 rings of 20 pixels, 8 sectors, 4 direction classes.
constexpr float kCellReach = 80.f;
inline int CellBit(int ring, int sector, int turn) {
    return (ring * 8 + (sector & 7)) * 4 + (turn & 3);
}

#ifdef FP_MATCHER_SSE2
// The lanes set in a 4-bit lane mask (std::popcount would be a library call
// without a popcnt target).
inline int LaneCount(int mask) {
    return static_cast<int>((0x4332322132212110ull >> (4 * mask)) & 0xF);
}
#endif

}  // namespace fp::detail
