#pragma once

// Elementary functions built from IEEE-754 +, -, *, / and sqrt only, so that
// the synthesizer produces the same bits on every platform and standard
// library (the C library's sin, exp, atan2 differ in their last bits between
// glibc, msvcrt and others). Accurate to about 1e-13 relative, which is far
// more than the synthesizer needs; what matters is that the result is fixed.
namespace kvt::sim::det {

inline constexpr double kPi = 3.14159265358979323846;
inline constexpr double kTwoPi = 6.28318530717958647692;
inline constexpr double kHalfPi = 1.57079632679489661923;

double Sin(double x);
double Cos(double x);
// Both at once (cheaper than two calls).
void SinCos(double x, double* s, double* c);
// Angle of (x, y) in (-pi, pi]; Atan2(0, 0) is 0.
double Atan2(double y, double x);
double Exp(double x);
// Cube root of x >= 0.
double Cbrt(double x);
// x rounded to the nearest integer, halves away from zero (std::round is exact
// too; this keeps every rounding rule in one place).
double Round(double x);
// Angle wrapped into [0, 2 pi).
double WrapTwoPi(double a);
// Angle wrapped into (-pi, pi].
double WrapPi(double a);
// Degrees and radians.
inline double Deg(double radians) {
    return radians * (180.0 / kPi);
}
inline double Rad(double degrees) {
    return degrees * (kPi / 180.0);
}
inline double Smoothstep(double e0, double e1, double x) {
    double t = (x - e0) / (e1 - e0);
    t = t < 0.0 ? 0.0 : (t > 1.0 ? 1.0 : t);
    return t * t * (3.0 - 2.0 * t);
}
inline double Clamp(double x, double lo, double hi) {
    return x < lo ? lo : (x > hi ? hi : x);
}

}  // namespace kvt::sim::det
