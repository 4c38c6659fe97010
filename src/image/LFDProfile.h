#pragma once

#include <cstdint>
#include <vector>

// One sample of an intensity profile: its position across the profile
// (informational), its position b along it, its value and whether an
// envelope keeps it as a corner.
struct ProfileNode {
    int32_t across = 0;
    int32_t b = 0;
    uint8_t value = 0;
    uint8_t mark = 0;
};

// A profile along a line of the analysis window, framed by two nodes of value
// 0 at b = 0 and b = length + 1.
using LFDProfile = std::vector<ProfileNode>;

// The window is w x h bytes, rows contiguous. Each sample averages a band of
// four lines: rows h/2 - 2 .. h/2 + 1 for the horizontal profile, columns
// 2w/5 - 2 .. 2w/5 + 1 for the vertical one (rows 73..76 and columns
// 118..121 of the 300 x 150 window).
LFDProfile HorizontalProfile(const uint8_t* window, int32_t w, int32_t h);
LFDProfile VerticalProfile(const uint8_t* window, int32_t w, int32_t h);

// The envelopes mark their corner nodes and interpolate straight lines
// between them. The upper one rides over the peaks; the lower one runs
// through the valleys between peaks.
LFDProfile UpperEnvelope(const LFDProfile& profile);
LFDProfile LowerEnvelope(const LFDProfile& profile);
// Every node between two marked nodes gets the value on the line through them.
void Interpolate(LFDProfile& envelope);

uint32_t SumOfValues(const LFDProfile& profile);
