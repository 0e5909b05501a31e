// HFltrCalc: Butterworth design by pole placement, prewarping and the bilinear
// map (Compn). Besides the expanded coefficients it builds the second-order
// sections that TButterFilter runs: same poles, zeros and gain, stable and
// accurate at every accepted order and corner.
#include "common/HFltrCalc.h"

#include <cstdio>
#include <cstring>

#include "amvex.h"

namespace amx {

namespace {

const double kPi = 3.1415926535897932385;

TComplex Bilinear(TComplex s) { return (TComplex{2, 0} + s) / (TComplex{2, 0} - s); }

// c[0..n] (index = power of z) = product of (z - root); every coefficient must
// come out real.
void PolyFromRoots(const TComplex* roots, int n, TComplex* c)
{
  for (int i = 0; i <= n; ++i) c[i] = {i == 0 ? 1.0 : 0.0, 0};
  for (int k = 0; k < n; ++k) {
    const TComplex w = roots[k];
    for (int i = n; i >= 1; --i) c[i] = -w * c[i] + c[i - 1];
    c[0] = -w * c[0];
  }
  for (int i = 0; i <= n; ++i) {
    if (std::fabs(c[i].im) > 1e-10) {
      char text[64];
      std::snprintf(text, sizeof text, "Butt. filter: coeff of z^ %d is not real", i);
      throw EButtFilter(AMX_BF_NOT_REAL, text);
    }
  }
}

TComplex Horner(const TComplex* c, int n, TComplex z)
{
  TComplex r = c[n];
  for (int i = n - 1; i >= 0; --i) r = r * z + c[i];
  return r;
}

// (1 - c)(1 - m c) + k c: the shared shape of section numerators and denominators.
TComplex SectionPoly(double m, double k, TComplex c)
{
  const TComplex one{1, 0};
  return (one - c) * (one - m * c) + k * c;
}

// |H(z)| of the cascade without its gain.
double CascadeMagnitude(const TCascadeDesign& d, TComplex z)
{
  const TComplex c = 1.0 / z;
  double m = 1;
  for (int i = 0; i < d.Count; ++i) {
    const TBiquad& s = d.Sections[i];
    m *= cabs(SectionPoly(s.M, s.Nn, c)) / cabs(SectionPoly(s.A2, s.E, c));
  }
  return m;
}

// The largest of the gains at DC, at the centre of the corners and at Nyquist.
template <class Gain>
double ReferenceGain(Gain gain, double alpha1, double alpha2)
{
  double g = std::fmax(gain(TComplex{1, 0}), gain(expj(kPi * (alpha1 + alpha2))));
  const double nyquist = gain(TComplex{-1, 0});
  return nyquist > g ? nyquist : g;
}

}  // namespace

void TFilterCalculator::Design()
{
  if (Order > 8 || FilterType > kBandStop) throw EButtFilter(AMX_BF_OUT_OF_RANGE, "Invalid Filter Parameters");
  PoleMask = 0xFFFF;
  std::memset(XCoeffs, 0, sizeof XCoeffs);
  std::memset(YCoeffs, 0, sizeof YCoeffs);
  SPoleCount = SZeroCount = ZPoleCount = ZZeroCount = 0;
  MakePrototypePoles();
  TransformBand();
  MapToZPlane();
  BuildCoefficients();
  BuildSections();
}

void TFilterCalculator::MakePrototypePoles()
{
  const int n = Order;
  for (int i = 0; i < 2 * n; ++i) {
    const double t = (n % 2 == 1) ? i * kPi / n : (i + 0.5) * kPi / n;
    AddPole(expj(t));
  }
}

void TFilterCalculator::AddPole(TComplex z)
{
  if (z.re < 0 && (PoleMask & 1) && SPoleCount < 8) {
    SPoles[SPoleCount++] = z;
    PoleMask >>= 1;
  }
}

void TFilterCalculator::TransformBand()
{
  const double w1 = 2 * kPi * std::tan(kPi * Alpha1) / kPi;
  const double w2 = 2 * kPi * std::tan(kPi * Alpha2) / kPi;
  const int n = SPoleCount;
  switch (FilterType) {
    case kLowPass:
      for (int i = 0; i < n; ++i) SPoles[i] = w1 * SPoles[i];
      break;
    case kHighPass:
      for (int i = 0; i < n; ++i) SPoles[i] = w1 / SPoles[i];
      for (int i = 0; i < n; ++i) SZeros[i] = {0, 0};
      SZeroCount = n;
      break;
    case kBandPass:
    case kBandStop: {
      const double w0 = std::sqrt(w1 * w2), bw = w2 - w1;
      if (bw == 0) throw EButtFilter(AMX_BF_EQUAL_CORNERS, "Low cut off is equal to High cut off");
      for (int i = 0; i < n; ++i) {
        const TComplex p = SPoles[i];
        const TComplex h = FilterType == kBandPass ? 0.5 * (p * TComplex{bw, 0}) : 0.5 * (bw / p);
        const TComplex r = csqrt(TComplex{1, 0} - csqr(w0 / h));
        SPoles[i] = h * (TComplex{1, 0} + r);
        // h (1 - r), taken from the pair's product w0^2: no cancellation when r ~ 1.
        SPoles[n + i] = (w0 * w0) / SPoles[i];
        if (FilterType == kBandPass) {
          SZeros[i] = SZeros[n + i] = {0, 0};
        } else {
          SZeros[i] = {0, w0};
          SZeros[n + i] = {0, -w0};
        }
      }
      SPoleCount = 2 * n;
      SZeroCount = FilterType == kBandPass ? n : 2 * n;
      break;
    }
    default: break;
  }
}

void TFilterCalculator::MapToZPlane()
{
  for (int i = 0; i < SPoleCount; ++i) ZPoles[i] = Bilinear(SPoles[i]);
  for (int i = 0; i < SZeroCount; ++i) ZZeros[i] = Bilinear(SZeros[i]);
  ZPoleCount = SPoleCount;
  ZZeroCount = SZeroCount;
  while (ZZeroCount < ZPoleCount) ZZeros[ZZeroCount++] = {-1, 0};
}

void TFilterCalculator::BuildCoefficients()
{
  const int p = ZPoleCount;
  TComplex top[17], bottom[17];
  PolyFromRoots(ZZeros, p, top);
  PolyFromRoots(ZPoles, p, bottom);
  const double g =
      ReferenceGain([&](TComplex z) { return cabs(Horner(top, p, z) / Horner(bottom, p, z)); }, Alpha1, Alpha2);
  for (int i = 0; i <= p; ++i) top[i] = (1 / g) * top[i];
  for (int i = 0; i <= p; ++i) {
    XCoeffs[i] = top[i].re / bottom[p].re;
    YCoeffs[i] = -(bottom[i].re / bottom[p].re);
  }
}

// Sections straight from the prototype, one conjugate pair (or the real pole
// of an odd order) at a time, with exact conjugate symmetry. For a pair of
// s-plane poles with real sum S and product P, the bilinear map gives
// A2 = p1 p2 = (4 + 2S + P) / (4 - 2S + P) and E = (1 - p1)(1 - p2) = 4P / (4 - 2S + P).
void TFilterCalculator::BuildSections()
{
  const double w1 = 2 * kPi * std::tan(kPi * Alpha1) / kPi;
  const double w2 = 2 * kPi * std::tan(kPi * Alpha2) / kPi;
  const double w0 = std::sqrt(w1 * w2), bw = w2 - w1;
  // Zeros as (M, Nn): LP (1 + c)^2, HP (1 - c)^2, BP (1 - c)(1 + c),
  // BS the conjugate pair on the unit circle at the bilinear image of j w0.
  double zm = 1, zn = 0;
  switch (FilterType) {
    case kLowPass: zn = 4; break;
    case kHighPass: break;
    case kBandPass: zm = -1; break;
    default: zn = 4 * w0 * w0 / (4 + w0 * w0); break;
  }
  TCascadeDesign& d = Cascade;
  d = TCascadeDesign{};
  auto pair = [&](double sum, double product) {
    const double den = 4 - 2 * sum + product;
    d.Sections[d.Count++] = {zm, zn, (4 + 2 * sum + product) / den, 4 * product / den};
  };
  auto conjugates = [&](TComplex s) { pair(2 * s.re, s.re * s.re + s.im * s.im); };
  const int n = Order;
  for (int k = 0; 2 * k + 1 <= n; ++k) {
    const bool real = 2 * k + 1 == n;
    const TComplex proto = real ? TComplex{-1, 0} : expj(kPi / 2 + (2 * k + 1) * kPi / (2 * n));
    if (FilterType == kLowPass || FilterType == kHighPass) {
      const TComplex s = FilterType == kLowPass ? w1 * proto : w1 / proto;
      if (!real) {
        conjugates(s);
      } else {  // first order: (1 +- c) over (1 - p c)
        d.Sections[d.Count++] = {0, FilterType == kLowPass ? 2.0 : 0.0, 0, -2 * s.re / (2 - s.re)};
      }
      continue;
    }
    const TComplex h = FilterType == kBandPass ? 0.5 * (proto * TComplex{bw, 0}) : 0.5 * (bw / proto);
    if (real) {  // h is real: its two poles have sum 2h and product w0^2
      pair(2 * h.re, w0 * w0);
      continue;
    }
    const TComplex r = csqrt(TComplex{1, 0} - csqr(w0 / h));
    const TComplex sa = h * (TComplex{1, 0} + r);
    conjugates(sa);
    conjugates((w0 * w0) / sa);
  }
  d.Gain = 1 / ReferenceGain([&](TComplex z) { return CascadeMagnitude(d, z); }, Alpha1, Alpha2);
}

}  // namespace amx
