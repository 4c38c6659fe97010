// Every tuning constant of the matcher, in one place. Angles are in steps of
// pi/128 unless said otherwise, distances in pixels at about 500 dpi.
#pragma once

#include <cstddef>

namespace fp::detail::params {

// Preparation: the nearest neighbours kept per minutia and how far they may lie.
inline constexpr int kNeighbours = 8;
inline constexpr float kNeighbourReach = 120.f;
// Occupancy cells: 4 rings of kCellRing pixels, 8 sectors, 4 relative directions.
inline constexpr float kCellRing = 20.f;
inline constexpr float kCellReach = 4 * kCellRing;
// A probe's cells are spread by these tolerances: distance, bearing, direction.
inline constexpr float kCellSpreadDistance = 6.f;
inline constexpr int kCellSpreadBearing = 10;
inline constexpr int kCellSpreadTurn = 14;

// Candidate search.
inline constexpr int kDefaultHypotheses = 10;
// A comparison whose best score lies from kSearchAgainFrom (about 2 % of
// comparisons of different fingers score that much) to below
// kSearchAgainBelow (far beyond every one of them) is searched again with
// kSearchAgainFactor times the hypotheses.
inline constexpr int kSearchAgainFrom = 20;
inline constexpr int kSearchAgainBelow = 96;
inline constexpr std::size_t kSearchAgainFactor = 4;
// Minutiae of each print, best quality first, that may seed an alignment:
// the candidate search grows with the product of the two counts, and the
// weakest minutiae of large prints are the likeliest to be false.
inline constexpr std::size_t kSeedMinutiae = 32;
// Candidates compared neighbour by neighbour per alignment tried. Shared
// cells are a coarse ranking: where two impressions show little common area,
// the true seed shares fewer cells than chance pairs of crowded
// neighbourhoods, and only the local similarity tells them apart.
inline constexpr std::size_t kShortlistFactor = 4;
// Occupancy cells a candidate pair must share at least.
inline constexpr int kMinSharedCells = 2;
// Local similarity a candidate needs to seed an alignment.
inline constexpr float kMinSeedSimilarity = 0.2f;
// A seed pair's direction difference is the rotation plus the direction
// errors of both minutiae; allowed beyond the rotation limit.
inline constexpr int kSeedAngleSlack = 12;

// Local similarity: neighbours agree within kLocalDistanceBase plus
// kLocalDistanceShare of their distance, and these angles.
inline constexpr float kLocalDistanceBase = 6.f;
inline constexpr float kLocalDistanceShare = 0.08f;
inline constexpr int kBearingTolerance = 14;  // about 20 degrees
inline constexpr int kTurnTolerance = 18;     // about 25 degrees
// Where both prints counted the ridges between a minutia and a neighbour, the
// counts must agree within kRidgeCountTolerance, and each ridge of difference
// adds kRidgeCountCost to the neighbour's cost (0..1 from the tolerances
// above). Chance neighbours of different fingers agree in geometry far more
// often than in ridges crossed.
inline constexpr int kRidgeCountTolerance = 1;
inline constexpr float kRidgeCountCost = 0.25f;

// Pairing: partners lie within a base distance plus kStretch of the distance
// to the alignment centre (skin stretches), at most kMostPairDistance, and
// within kPairAngleTolerance in direction.
inline constexpr float kSeedPairDistance = 10.f;
inline constexpr float kRefitPairDistance = 8.f;
inline constexpr float kStretch = 0.05f;
inline constexpr float kMostPairDistance = 18.f;
inline constexpr int kPairAngleTolerance = 16;  // about 22 degrees
// Pairs an alignment needs before it is refitted by least squares, and to count at all.
inline constexpr int kRefitPairs = 5;
inline constexpr int kMinPairs = 2;
// A refit may turn beyond the rotation limit by this much.
inline constexpr int kRefitRotationSlack = 8;
// A refit on this many pairs may also scale, by at most kMostRescale either
// way: each print is brought to 500 dpi by its own typical ridge period, and
// that varies by a few percent between impressions of one finger with the part
// of it shown. Fewer pairs would fit the scale to chance.
inline constexpr std::size_t kScaledRefitPairs = 9;
inline constexpr float kMostRescale = 0.1f;

// Overlap: the minutiae of each print in the other's foreground, each
// counted by its quality (0..1), count at least this much, so that tiny
// overlaps cannot score high.
inline constexpr float kOverlapFloor = 10.f;
// An alignment with m pairs counts (m / (m + kFewPairs))^2 of its similarity.
inline constexpr float kFewPairs = 4.f;

// Ridge flow: agreement below kFlowUnrelated is what chance alignments of
// different fingers show, above kFlowAgrees what impressions of one finger
// show; in between the similarity is scaled by the square of where the
// agreement lies, f = (a - kFlowUnrelated) / (kFlowAgrees - kFlowUnrelated),
// never by less than kFlowLeast squared.
inline constexpr float kFlowUnrelated = 0.6f;
inline constexpr float kFlowAgrees = 0.95f;
inline constexpr float kFlowLeast = 0.05f;
inline constexpr int kMinFlowCells = 8;

// Elastic consolidation of the best alignment, for comparisons scoring from
// kSearchAgainFrom to below kSearchAgainBelow: a thin-plate spline, in units
// of kWarpUnit pixels and smoothed by kWarpSmoothing, needs kElasticPairs
// pairs (a spline has three parameters more than its pairs, and bends to
// chance pairs when they are few); kElasticRounds rounds of fit and pairing
// within kElasticPairDistance (the warp takes up the stretch).
inline constexpr int kElasticPairs = 12;
inline constexpr double kWarpUnit = 100.0;
inline constexpr double kWarpSmoothing = 1.0;
inline constexpr int kElasticRounds = 2;
inline constexpr float kElasticPairDistance = 6.f;

}  // namespace fp::detail::params
