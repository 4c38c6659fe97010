#include "LfdReference.h"

#include <cstddef>

using std::size_t;

namespace kvt_test {

int ColourConditionsMet(const kvt::sim::ColourReadings& m) {
    const int ir = m.ir, blue = m.blue, green = m.green, red = m.red, off = m.off;
    auto in = [](double v, double lo, double hi) { return lo < v && v < hi ? 1 : 0; };
    auto ratio = [](int a, int b) { return static_cast<double>(a) / static_cast<double>(b); };
    int met = 0;
    met += in(red, 3000, 12000);
    met += in(red - blue, 3000, 8500);
    met += in(red - green, 3000, 8500);
    met += in(red - off, 3000, 8500);
    met += in(ratio(red - off, ir - off), 0.55, 0.85);
    met += in(ratio(red, blue), 3.0, 99999.0);
    met += in(ratio(red, green), 3.0, 99999.0);
    met += in(ratio(ir, green), 3.0, 99999.0);
    met += in(ratio(ir, blue), 3.0, 99999.0);
    return met;
}

namespace {

struct Node {
    int b;
    int value;
    bool marked;
};

void Interpolate(std::vector<Node>& nodes) {
    const int n = static_cast<int>(nodes.size());
    for (int i = 0; i < n - 1;) {
        if (!nodes[i].marked) {
            ++i;
            continue;
        }
        int j = i + 1;
        while (j < n && !nodes[j].marked) ++j;
        if (j == n) break;
        for (int k = i + 1; k < j; ++k)
            nodes[k].value = static_cast<uint8_t>(
                nodes[i].value + ((nodes[k].b - nodes[i].b) * (nodes[j].value - nodes[i].value)) /
                                     (nodes[j].b - nodes[i].b));
        i = j;
    }
}

unsigned Sum(const std::vector<Node>& nodes) {
    unsigned s = 0;
    for (const Node& x : nodes) s += static_cast<unsigned>(x.value);
    return s;
}

unsigned Upper(std::vector<Node> u) {
    const int n = static_cast<int>(u.size());
    u[0].marked = true;
    u[n - 1].marked = true;
    int level = 0;
    for (int i = 1; i <= n - 2; ++i) {
        const int v = u[i].value;
        if (v >= level) {
            level = v;
            u[i].marked = v >= u[i - 1].value && v >= u[i + 1].value;
            continue;
        }
        bool above = false;
        for (int j = i; j < n; ++j)
            if (u[j].value > v) above = true;
        if (above) continue;
        level = v;
        u[i].marked = v > u[i - 1].value && v > u[i + 1].value;
    }
    Interpolate(u);
    return Sum(u);
}

unsigned Lower(std::vector<Node> e) {
    const int n = static_cast<int>(e.size());
    e[n - 1].marked = true;
    int cursor = 0;
    for (int i = 1; i <= n - 2; ++i) {
        const bool peak = e[i].value >= e[i - 1].value && e[i].value >= e[i + 1].value;
        if (!peak) continue;
        if (cursor == 0) cursor = 1;
        for (int j = cursor; j <= i - 1; ++j) {
            if (e[j].value <= e[j - 1].value && e[j].value <= e[j + 1].value) {
                e[j].marked = true;
                break;
            }
        }
        cursor = i;
    }
    Interpolate(e);
    return Sum(e);
}

std::vector<Node> Profile(const std::vector<int>& values) {
    std::vector<Node> p;
    p.push_back({0, 0, false});
    for (size_t i = 0; i < values.size(); ++i)
        p.push_back({static_cast<int>(i) + 1, values[i], false});
    p.push_back({static_cast<int>(values.size()) + 1, 0, false});
    return p;
}

}  // namespace

int ProfileDynamic(const std::vector<int>& values) {
    const std::vector<Node> p = Profile(values);
    return static_cast<int>(Upper(p)) - static_cast<int>(Lower(p));
}

Dynamics FrameDynamics(const uint8_t* frame, int rw, int rh) {
    const int w = 300, h = 150;
    const int left = (rw - w) / 2, top = (rh - h) / 2;
    // Window row m, column x = frame row top + (h - 1 - m), column left + x.
    std::vector<uint8_t> window(static_cast<size_t>(w) * h);
    for (int m = 0; m < h; ++m)
        for (int x = 0; x < w; ++x)
            window[static_cast<size_t>(m) * w + x] =
                frame[static_cast<size_t>(top + (h - 1 - m)) * rw + left + x];
    std::vector<int> horizontal(w), vertical(h);
    for (int x = 0; x < w; ++x) {
        int s = 0;
        for (int m = 73; m <= 76; ++m) s += window[static_cast<size_t>(m) * w + x];
        horizontal[x] = s / 4;
    }
    for (int m = 0; m < h; ++m) {
        int s = 0;
        for (int x = 118; x <= 121; ++x) s += window[static_cast<size_t>(m) * w + x];
        vertical[m] = s / 4;
    }
    return {ProfileDynamic(horizontal), ProfileDynamic(vertical)};
}

float FxRatio(const uint8_t* f1, const uint8_t* f2, int rw, int rh) {
    const Dynamics a = FrameDynamics(f1, rw, rh), b = FrameDynamics(f2, rw, rh);
    return static_cast<float>(static_cast<double>(a.hdyn + a.vdyn) /
                              static_cast<double>(b.hdyn + b.vdyn));
}

}  // namespace kvt_test
