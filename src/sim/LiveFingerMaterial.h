#pragma once

#include <cstdint>
#include <vector>

#include "sim/Random.h"

// Live-finger material: what a sensor with live finger detection (LFD)
// delivers besides the normal frame, for a live finger or a fake one.
//
// How the live material lands inside the library's default LFD thresholds
// (colour conditions and fxRatio of the LFD check):
//
// * Colour readings. A live finger is drawn around Off ~ 180, Red ~ 6500,
//   Blue ~ 1150, Green ~ 1400 and Ir = Off + (Red - Off) / k with k ~ 0.70,
//   each with a few per cent of spread, and every draw is kept inside a box
//   that lies strictly within all nine default ranges with a margin:
//   Red 4500..9000 (3000..12000), Red - Blue, Red - Green, Red - Off
//   3800..7800 (3000..8500), k 0.62..0.78 (0.55..0.85), and Red / Blue,
//   Red / Green, Ir / Green, Ir / Blue at least 3.6 (above 3). So all nine
//   conditions hold: level 5. A fake (gelatine, silicone, paper) reflects
//   the colours nearly alike: Red ~ 2400, Blue ~ 1900, Green ~ 2100,
//   Ir ~ 2600, which fails Red, Red - Blue, Red - Green, Red - Off and the four
//   ratio conditions; at most the (Red - Off) / (Ir - Off) condition may hold
//   (level 1 at most on colours alone).
//
// * The cross-polarised frame. Skin depolarises the light that it scatters
//   back from below its surface, so a live finger's cross-polarised frame is a
//   bright, diffuse picture of the finger with the ridges strongly damped. A
//   fake reflects at its surface and keeps the polarisation: its cross frame
//   is the normal frame with slightly less contrast. The LFD check measures
//   fxRatio = (HDyn1 + VDyn1) / (HDyn2 + VDyn2) from the envelopes of one
//   horizontal and one vertical intensity profile through the centre of each
//   frame. MakeCrossFrame builds frame 2 as
//       frame2 = diffuse glow of the contact area + k * (ridge detail of frame 1) + noise
//   and chooses k by bisection, measuring fxRatio with the same profile and
//   envelope algorithm, so that fxRatio hits a target drawn in 7..14 for a live
//   finger (default range 3..30, exclusive). A fake gets 0.72..0.92 times
//   frame 1 plus a small offset, which measures fxRatio about 1.1..1.9, below 3.
//   For the "Half" size (150 x 75 window, for which the check's profile
//   positions are not defined) the profile bands are scaled to the window.
namespace kvt::sim {

// The five colour readings in the order of the sensor's measurement record.
struct ColourReadings {
    int16_t ir = 0, blue = 0, green = 0, red = 0, off = 0;
};

ColourReadings MakeColourReadings(bool live, Rng& rng);

// Frame 2 for frame 1 (raw frames, rawWidth x rawHeight). contact, when not
// null, is the contact weight (0..255) per raw pixel; without it the contact
// area is estimated from frame 1.
std::vector<uint8_t> MakeCrossFrame(const uint8_t* frame1, const uint8_t* contact, int rawWidth,
                                    int rawHeight, bool live, Rng& rng);

// fxRatio of two raw frames by the profile and envelope algorithm of the LFD
// check, with its window centred in the frame (300 x 150 for raw frames of at
// least 384 x 320, 150 x 75 below, with the profile bands scaled).
float MeasureFxRatio(const uint8_t* frame1, const uint8_t* frame2, int rawWidth, int rawHeight);

}  // namespace kvt::sim
