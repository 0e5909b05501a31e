// Compn: the small complex arithmetic of the Butterworth designer (pairs of
// doubles). Plain value type with inline operators; only what the design needs.
#pragma once

#include <cmath>

namespace amx {

struct TComplex {
  double re = 0, im = 0;
};

inline TComplex operator+(TComplex a, TComplex b) { return {a.re + b.re, a.im + b.im}; }
inline TComplex operator-(TComplex a, TComplex b) { return {a.re - b.re, a.im - b.im}; }
inline TComplex operator-(TComplex a) { return {-a.re, -a.im}; }
inline TComplex operator*(TComplex a, TComplex b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
inline TComplex operator*(double s, TComplex a) { return {s * a.re, s * a.im}; }
inline TComplex operator/(TComplex a, TComplex b)
{
  const double d = b.re * b.re + b.im * b.im;
  return {(a.re * b.re + a.im * b.im) / d, (a.im * b.re - a.re * b.im) / d};
}
inline TComplex operator/(double s, TComplex b) { return TComplex{s, 0} / b; }
inline TComplex csqr(TComplex a) { return a * a; }
inline TComplex conj(TComplex a) { return {a.re, -a.im}; }
inline double cabs(TComplex a) { return std::hypot(a.re, a.im); }
inline TComplex expj(double t) { return {std::cos(t), std::sin(t)}; }

// Principal square root: both parts from sqrt((|z| +- re) / 2), the imaginary
// part taking the sign of z's imaginary part; a negative radicand (rounding)
// gives 0.
inline TComplex csqrt(TComplex z)
{
  const double m = cabs(z);
  const double r = (m + z.re) / 2, i = (m - z.re) / 2;
  const double im = i > 0 ? std::sqrt(i) : 0;
  return {r > 0 ? std::sqrt(r) : 0, z.im < 0 ? -im : im};
}

}  // namespace amx
