#!/usr/bin/env python3
"""Refits the score scale from kvt-accuracy score files.

Usage: refit.py SCORES...  (files written by kvt-accuracy --all-impostors --scores)

Pools the impostor similarities of all files, prints the calibration table and
tail slope for fingerprint/src/Calibration.cpp, and what that scale gives: the
share of genuine pairs scoring 48 and 80 or more per file and on average, and
the pooled impostors scoring 24, 36, 48 and 60 or more. Comparing matcher
variants on the scale each one would get refitted is what keeps a change that
only moves the impostor tail from looking like a gain.
"""
import math
import sys


def read(path):
    genuine, impostor = [], []
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) < 4:
                continue
            if fields[0] == "genuine":
                genuine.append(float(fields[3]))
            elif fields[0] == "impostor":
                impostor.append(float(fields[3]))
    return genuine, impostor


def fit(impostors):
    """Table points at every quarter decade down to FMR 0.1 %, and the tail's
    decades per unit of similarity from the largest mean excess of the top
    0.05 %, 0.1 % and 0.2 % (the slowest growth)."""
    high = sorted(impostors, reverse=True)
    n = len(high)
    points = [(0.0, 0.0)]
    for k in range(1, 13):
        rank = int(n * 10 ** (-k / 4))
        points.append((high[max(rank - 1, 0)], k / 4))
    excess = []
    for share in (0.0005, 0.001, 0.002):
        top = max(round(n * share), 1)
        excess.append(sum(s - high[top] for s in high[:top]) / top)
    return points, 1 / (max(excess) * math.log(10))


def score(similarity, points, slope, power_from=8.0):
    """As ScoreFromSimilarity in Calibration.cpp."""
    if not similarity > 0:
        return 0
    last_s, last_m = points[-1]
    if similarity >= last_s:
        start = last_s + (power_from - last_m) / slope
        if similarity <= start:
            minus_log = last_m + slope * (similarity - last_s)
        else:
            minus_log = power_from + slope * start * math.log(similarity / start)
    else:
        k = 1
        while points[k][0] < similarity:
            k += 1
        (a_s, a_m), (b_s, b_m) = points[k - 1], points[k]
        minus_log = a_m + (similarity - a_s) * (b_m - a_m) / (b_s - a_s)
    return round(12 * min(max(minus_log, 0.0), 10000.0))


def main(paths):
    if not paths:
        sys.exit(__doc__)
    sets = [(path, *read(path)) for path in paths]
    pooled = [s for _, _, impostor in sets for s in impostor]
    if len(pooled) < 2000:
        sys.exit("need at least 2000 impostor pairs for a table down to FMR 0.1 %")
    points, slope = fit(pooled)
    print("constexpr CalibrationPoint kMeasured[] = {")
    print("    " + ", ".join("{%.4g, %.3f}" % p for p in points) + ",")
    print("};")
    print("constexpr double kTailDecadesPerUnit = %.1f;" % slope)
    at48, at80 = [], []
    for path, genuine, _ in sets:
        scores = [score(s, points, slope) for s in genuine]
        at48.append(100 * sum(v >= 48 for v in scores) / max(len(scores), 1))
        at80.append(100 * sum(v >= 80 for v in scores) / max(len(scores), 1))
        print("%s: genuine >= 48 %.2f %%, >= 80 %.2f %%" % (path, at48[-1], at80[-1]))
    print("average: genuine >= 48 %.2f %%, >= 80 %.2f %%" % (sum(at48) / len(at48), sum(at80) / len(at80)))
    scores = [score(s, points, slope) for s in pooled]
    n = len(scores)
    print("pooled impostors (%d): >= 24 %.3f %%, >= 36 %.3f %%, >= 48 %d, >= 60 %d, highest %d" % (
        n, 100 * sum(v >= 24 for v in scores) / n, 100 * sum(v >= 36 for v in scores) / n,
        sum(v >= 48 for v in scores), sum(v >= 60 for v in scores), max(scores)))


if __name__ == "__main__":
    main(sys.argv[1:])
