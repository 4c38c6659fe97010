#include "sim/DetMath.h"

#include <cmath>

namespace kvt::sim::det {

namespace {

// sin and cos of r in [-pi/4, pi/4] by their Taylor series (error < 1e-16).
double SinPoly(double r) {
    const double r2 = r * r;
    double p = -1.0 / 1307674368000.0;  // -1/15!
    p = p * r2 + 1.0 / 6227020800.0;    // 1/13!
    p = p * r2 - 1.0 / 39916800.0;      // -1/11!
    p = p * r2 + 1.0 / 362880.0;        // 1/9!
    p = p * r2 - 1.0 / 5040.0;          // -1/7!
    p = p * r2 + 1.0 / 120.0;           // 1/5!
    p = p * r2 - 1.0 / 6.0;             // -1/3!
    return r + r * r2 * p;
}

double CosPoly(double r) {
    const double r2 = r * r;
    double p = 1.0 / 87178291200.0;  // 1/14!
    p = p * r2 - 1.0 / 479001600.0;  // -1/12!
    p = p * r2 + 1.0 / 3628800.0;    // 1/10!
    p = p * r2 - 1.0 / 40320.0;      // -1/8!
    p = p * r2 + 1.0 / 720.0;        // 1/6!
    p = p * r2 - 1.0 / 24.0;         // -1/4!
    p = p * r2 + 0.5;                // 1/2!
    return 1.0 - r2 * p;
}

// atan(t) for |t| <= tan(pi/16) ~ 0.199 by its series (error < 1e-15).
double AtanPoly(double t) {
    const double t2 = t * t;
    double p = 1.0 / 21.0;
    p = p * t2 - 1.0 / 19.0;
    p = p * t2 + 1.0 / 17.0;
    p = p * t2 - 1.0 / 15.0;
    p = p * t2 + 1.0 / 13.0;
    p = p * t2 - 1.0 / 11.0;
    p = p * t2 + 1.0 / 9.0;
    p = p * t2 - 1.0 / 7.0;
    p = p * t2 + 1.0 / 5.0;
    p = p * t2 - 1.0 / 3.0;
    return t + t * t2 * p;
}

// atan(t) for |t| <= 1: two half-angle steps bring t below tan(pi/16).
double AtanUnit(double t) {
    t = t / (1.0 + std::sqrt(1.0 + t * t));
    t = t / (1.0 + std::sqrt(1.0 + t * t));
    return 4.0 * AtanPoly(t);
}

}  // namespace

double Round(double x) {
    return x < 0.0 ? -std::floor(-x + 0.5) : std::floor(x + 0.5);
}

void SinCos(double x, double* s, double* c) {
    // x = k * pi/2 + r, |r| <= pi/4; pi/2 split in two parts for accuracy.
    const double k = std::floor(x * (2.0 / kPi) + 0.5);
    const double r = (x - k * 1.57079632673412561417) - k * 6.07710050650619224932e-11;
    const double sr = SinPoly(r);
    const double cr = CosPoly(r);
    const double m = k - 4.0 * std::floor(k * 0.25);  // k mod 4 in 0..3
    const int q = static_cast<int>(m);
    switch (q) {
        case 0:
            *s = sr;
            *c = cr;
            break;
        case 1:
            *s = cr;
            *c = -sr;
            break;
        case 2:
            *s = -sr;
            *c = -cr;
            break;
        default:
            *s = -cr;
            *c = sr;
            break;
    }
}

double Sin(double x) {
    double s, c;
    SinCos(x, &s, &c);
    return s;
}

double Cos(double x) {
    double s, c;
    SinCos(x, &s, &c);
    return c;
}

double Atan2(double y, double x) {
    if (x == 0.0 && y == 0.0) return 0.0;
    const double ax = std::fabs(x);
    const double ay = std::fabs(y);
    double a = ay <= ax ? AtanUnit(ay / ax) : kHalfPi - AtanUnit(ax / ay);
    if (x < 0.0) a = kPi - a;
    return y < 0.0 ? -a : a;
}

double Exp(double x) {
    if (x < -700.0) return 0.0;
    if (x > 700.0) x = 700.0;
    const double k = std::floor(x * 1.44269504088896340736 + 0.5);
    const double r = (x - k * 0.693147180369123816490) - k * 1.90821492927058770002e-10;
    double p = 1.0 / 479001600.0;  // 1/12!
    p = p * r + 1.0 / 39916800.0;
    p = p * r + 1.0 / 3628800.0;
    p = p * r + 1.0 / 362880.0;
    p = p * r + 1.0 / 40320.0;
    p = p * r + 1.0 / 5040.0;
    p = p * r + 1.0 / 720.0;
    p = p * r + 1.0 / 120.0;
    p = p * r + 1.0 / 24.0;
    p = p * r + 1.0 / 6.0;
    p = p * r + 0.5;
    p = p * r + 1.0;
    p = p * r + 1.0;
    return std::ldexp(p, static_cast<int>(k));
}

double Cbrt(double x) {
    if (x <= 0.0) return 0.0;
    // Newton's iteration from a start above the root converges monotonically.
    double y = x > 1.0 ? x : 1.0;
    for (int i = 0; i < 200; ++i) {
        const double next = y - (y * y * y - x) / (3.0 * y * y);
        if (next >= y) break;
        y = next;
    }
    return y;
}

double WrapTwoPi(double a) {
    a = a - kTwoPi * std::floor(a / kTwoPi);
    return a >= kTwoPi ? 0.0 : a;
}

double WrapPi(double a) {
    a = WrapTwoPi(a);
    return a > kPi ? a - kTwoPi : a;
}

}  // namespace kvt::sim::det
