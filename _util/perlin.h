// _util/perlin: simplex gradient noise in one to four dimensions, single precision.
// Pure functions over two constant byte tables; no state, no allocation, so they
// can run per vertex and per frame. Builds on _util/contract.h only.
#pragma once
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include "_util/contract.h"

// The reference permutation of 0..255, stored twice in a row so that an index
// below 256 plus a table entry never leaves the table.
inline constexpr std::array<unsigned char, 512> perm = [] {
  constexpr unsigned char p[256] = {
      151, 160, 137, 91,  90,  15,  131, 13,  201, 95,  96,  53,  194, 233, 7,   225, 140, 36,  103, 30,  69,  142,
      8,   99,  37,  240, 21,  10,  23,  190, 6,   148, 247, 120, 234, 75,  0,   26,  197, 62,  94,  252, 219, 203,
      117, 35,  11,  32,  57,  177, 33,  88,  237, 149, 56,  87,  174, 20,  125, 136, 171, 168, 68,  175, 74,  165,
      71,  134, 139, 48,  27,  166, 77,  146, 158, 231, 83,  111, 229, 122, 60,  211, 133, 230, 220, 105, 92,  41,
      55,  46,  245, 40,  244, 102, 143, 54,  65,  25,  63,  161, 1,   216, 80,  73,  209, 76,  132, 187, 208, 89,
      18,  169, 200, 196, 135, 130, 116, 188, 159, 86,  164, 100, 109, 198, 173, 186, 3,   64,  52,  217, 226, 250,
      124, 123, 5,   202, 38,  147, 118, 126, 255, 82,  85,  212, 207, 206, 59,  227, 47,  16,  58,  17,  182, 189,
      28,  42,  223, 183, 170, 213, 119, 248, 152, 2,   44,  154, 163, 70,  221, 153, 101, 155, 167, 43,  172, 9,
      129, 22,  39,  253, 19,  98,  108, 110, 79,  113, 224, 232, 178, 185, 112, 104, 218, 246, 97,  228, 251, 34,
      242, 193, 238, 210, 144, 12,  191, 179, 162, 241, 81,  51,  145, 235, 249, 14,  239, 107, 49,  192, 214, 31,
      181, 199, 106, 157, 184, 84,  204, 176, 115, 121, 50,  45,  127, 4,   150, 254, 138, 236, 205, 93,  222, 114,
      67,  29,  24,  72,  243, 141, 128, 195, 78,  66,  215, 61,  156, 180};
  std::array<unsigned char, 512> t{};
  for (int k = 0; k < 512; ++k) t[k] = p[k & 255];
  return t;
}();

// simplex4_order[c]: the rank (3 = largest) of x0, y0, z0, w0, where the index
// c = 32[x0>y0] + 16[x0>z0] + 8[y0>z0] + 4[x0>w0] + 2[y0>w0] + [z0>w0] encodes
// the six pairwise comparisons. Comparison patterns that no four numbers can
// produce hold (0, 0, 0, 0).
inline constexpr std::array<std::array<unsigned char, 4>, 64> simplex4_order = [] {
  std::array<std::array<unsigned char, 4>, 64> t{};
  for (int c = 0; c < 64; ++c) {
    int xy = c >> 5 & 1, xz = c >> 4 & 1, yz = c >> 3 & 1, xw = c >> 2 & 1, yw = c >> 1 & 1, zw = c & 1;
    int r[4] = {xy + xz + xw, (1 - xy) + yz + yw, (1 - xz) + (1 - yz) + zw, (1 - xw) + (1 - yw) + (1 - zw)};
    bool seen[4] = {};
    bool consistent = true;
    for (int k = 0; k < 4; ++k) {
      consistent = consistent && !seen[r[k]];
      seen[r[k]] = true;
    }
    for (int k = 0; k < 4; ++k) t[c][k] = consistent ? (unsigned char)r[k] : 0;
  }
  return t;
}();

// Lattice cell of a coordinate: truncation, one lower for v <= 0 (so 0 maps to -1;
// the noise is continuous across the switch). Coordinates are clamped to +-2^28
// first, which keeps the int conversion and the index sums of the callers
// defined for every float, NaN and infinities included; floats that large are
// spaced far wider than a lattice cell, so no meaningful value changes.
constexpr int simplex_floor(float v)
{
  const float limit = 268435456.0f;
  if (!(v > -limit && v < limit)) v = v > 0 ? limit : -limit;
  return (int)v - (v <= 0);  // branch-free: the sign of v is random across a mesh
}

constexpr float simplex_grad1(int h, float x)
{
  float g = 1.0f + (h & 7);
  if (h & 8) g = -g;
  return g * x;
}

constexpr float simplex_grad2(int h, float x, float y)
{
  float u = (h & 4) ? y : x;
  float v = (h & 4) ? x : y;
  return ((h & 1) ? -u : u) + ((h & 2) ? -2.0f * v : 2.0f * v);
}

constexpr float simplex_grad3(int h, float x, float y, float z)
{
  int k = h & 15;
  float u = k < 8 ? x : y;
  float v = k < 4 ? y : (k == 12 || k == 14) ? x : z;
  return ((h & 1) ? -u : u) + ((h & 2) ? -v : v);
}

constexpr float simplex_grad4(int h, float x, float y, float z, float t)
{
  int k = h & 31;
  float u = k < 24 ? x : y;
  float v = k < 16 ? y : z;
  float w = k < 8 ? z : t;
  return ((h & 1) ? -u : u) + ((h & 2) ? -v : v) + ((h & 4) ? -w : w);
}

// The gradient functions are linear in the coordinates, with coefficients 0, +-1
// or +-2; these tables hold the coefficients per hash so that the noise takes a
// dot product instead of hash-dependent branches. Every product is exact and the
// non-zero terms are added in the same order, so the results are the same.
inline constexpr auto simplex_g2 = [] {
  std::array<std::array<float, 2>, 8> g{};
  for (int h = 0; h < 8; ++h) g[h] = {simplex_grad2(h, 1, 0), simplex_grad2(h, 0, 1)};
  return g;
}();
inline constexpr auto simplex_g3 = [] {
  std::array<std::array<float, 3>, 16> g{};
  for (int h = 0; h < 16; ++h) g[h] = {simplex_grad3(h, 1, 0, 0), simplex_grad3(h, 0, 1, 0), simplex_grad3(h, 0, 0, 1)};
  return g;
}();
inline constexpr auto simplex_g4 = [] {
  std::array<std::array<float, 4>, 32> g{};
  for (int h = 0; h < 32; ++h)
    g[h] = {simplex_grad4(h, 1, 0, 0, 0), simplex_grad4(h, 0, 1, 0, 0), simplex_grad4(h, 0, 0, 1, 0),
            simplex_grad4(h, 0, 0, 0, 1)};
  return g;
}();

inline float simplex_dot2(int h, float x, float y)
{
  const auto& g = simplex_g2[h & 7];
  return g[0] * x + g[1] * y;
}
inline float simplex_dot3(int h, float x, float y, float z)
{
  const auto& g = simplex_g3[h & 15];
  return g[0] * x + g[1] * y + g[2] * z;
}
inline float simplex_dot4(int h, float x, float y, float z, float w)
{
  const auto& g = simplex_g4[h & 31];
  return g[0] * x + g[1] * y + g[2] * z + g[3] * w;
}

// One corner's weight: (t^2)^2, or 0 outside its radius (t < 0). Whether a
// corner is in reach is random, so the choice is made with a bit mask instead of
// a branch the processor would mispredict.
inline float simplex_falloff(float t)
{
  float w = (t * t) * (t * t);
  std::uint32_t bits;
  std::memcpy(&bits, &w, sizeof bits);
  bits &= 0u - (std::uint32_t)(t > 0.0f);
  std::memcpy(&w, &bits, sizeof w);
  return w;
}

inline float simplex1(float x)
{
  int i = simplex_floor(x);
  float x0 = x - i;
  float x1 = x0 - 1.0f;
  float t0 = 1.0f - x0 * x0;
  t0 *= t0;
  float t1 = 1.0f - x1 * x1;
  t1 *= t1;
  float n0 = t0 * t0 * simplex_grad1(perm[i & 255], x0);
  float n1 = t1 * t1 * simplex_grad1(perm[(i + 1) & 255], x1);
  return 0.395f * (n0 + n1);
}

inline float simplex2(float x, float y)
{
  using std::abs;
  const float F2 = 0.366025403f, G2 = 0.211324865f;
  float s = (x + y) * F2;
  int i = simplex_floor(x + s), j = simplex_floor(y + s);
  float t = (i + j) * G2;
  float x0 = x - (i - t), y0 = y - (j - t);
  int i1 = x0 > y0 ? 1 : 0, j1 = 1 - i1;
  float x1 = x0 - i1 + G2, y1 = y0 - j1 + G2;
  float x2 = x0 - 1.0f + 0.42264973f, y2 = y0 - 1.0f + 0.42264973f;
  int ii = i & 255, jj = j & 255;
  float n0 = simplex_falloff(0.5f - x0 * x0 - y0 * y0) * simplex_dot2(perm[ii + perm[jj]], x0, y0);
  float n1 = simplex_falloff(0.5f - x1 * x1 - y1 * y1) * simplex_dot2(perm[ii + i1 + perm[jj + j1]], x1, y1);
  float n2 = simplex_falloff(0.5f - x2 * x2 - y2 * y2) * simplex_dot2(perm[ii + 1 + perm[jj + 1]], x2, y2);
  VY_CONTRACT(abs(45.0f * (n0 + n1 + n2))<1, "_util/perlin");
  return 45.0f * (n0 + n1 + n2);
}

inline float simplex3(float x, float y, float z)
{
  using std::abs;
  const float F3 = 0.333333333f, G3 = 0.166666667f;
  float s = (x + y + z) * F3;
  int i = simplex_floor(x + s), j = simplex_floor(y + s), k = simplex_floor(z + s);
  float t = (i + j + k) * G3;
  float x0 = x - (i - t), y0 = y - (j - t), z0 = z - (k - t);
  // Offsets of the second and third corners: step along the axes in decreasing
  // order of the in-cell coordinates (ties broken as x before y before z).
  bool xy = x0 >= y0, yz = y0 >= z0, xz = x0 >= z0;
  int i1 = xy & xz, j1 = !xy & yz, k1 = !yz & !xz;
  int i2 = xy | (yz & xz), j2 = !xy | yz, k2 = !(yz & xz);
  float x1 = x0 - i1 + G3, y1 = y0 - j1 + G3, z1 = z0 - k1 + G3;
  float x2 = x0 - i2 + 0.333333334f, y2 = y0 - j2 + 0.333333334f, z2 = z0 - k2 + 0.333333334f;
  float x3 = x0 - 1.0f + 0.500000001f, y3 = y0 - 1.0f + 0.500000001f, z3 = z0 - 1.0f + 0.500000001f;
  int ii = i & 255, jj = j & 255, kk = k & 255;
  int h0 = perm[ii + perm[jj + perm[kk]]];
  int h1 = perm[ii + i1 + perm[jj + j1 + perm[kk + k1]]];
  int h2 = perm[ii + i2 + perm[jj + j2 + perm[kk + k2]]];
  int h3 = perm[ii + 1 + perm[jj + 1 + perm[kk + 1]]];
  float n0 = simplex_falloff(0.6f - x0 * x0 - y0 * y0 - z0 * z0) * simplex_dot3(h0, x0, y0, z0);
  float n1 = simplex_falloff(0.6f - x1 * x1 - y1 * y1 - z1 * z1) * simplex_dot3(h1, x1, y1, z1);
  float n2 = simplex_falloff(0.6f - x2 * x2 - y2 * y2 - z2 * z2) * simplex_dot3(h2, x2, y2, z2);
  float n3 = simplex_falloff(0.6f - x3 * x3 - y3 * y3 - z3 * z3) * simplex_dot3(h3, x3, y3, z3);
  VY_CONTRACT(abs(32.0f * (n0 + n1 + n2 + n3))<1, "_util/perlin");
  return 32.0f * (n0 + n1 + n2 + n3);
}

inline float simplex4(float x, float y, float z, float w)
{
  using std::abs;
  const float F4 = 0.309016994f, G4 = 0.138196601f;
  float s = (x + y + z + w) * F4;
  int i = simplex_floor(x + s), j = simplex_floor(y + s), k = simplex_floor(z + s), l = simplex_floor(w + s);
  float t = (i + j + k + l) * G4;
  float x0 = x - (i - t), y0 = y - (j - t), z0 = z - (k - t), w0 = w - (l - t);
  int c = 32 * (x0 > y0) + 16 * (x0 > z0) + 8 * (y0 > z0) + 4 * (x0 > w0) + 2 * (y0 > w0) + (z0 > w0);
  const auto& r = simplex4_order[c];
  // Corner m (1..3) steps along the coordinates of rank >= 4 - m.
  int i1 = r[0] >= 3, j1 = r[1] >= 3, k1 = r[2] >= 3, l1 = r[3] >= 3;
  int i2 = r[0] >= 2, j2 = r[1] >= 2, k2 = r[2] >= 2, l2 = r[3] >= 2;
  int i3 = r[0] >= 1, j3 = r[1] >= 1, k3 = r[2] >= 1, l3 = r[3] >= 1;
  float x1 = x0 - i1 + G4, y1 = y0 - j1 + G4, z1 = z0 - k1 + G4, w1 = w0 - l1 + G4;
  float x2 = x0 - i2 + 0.276393202f, y2 = y0 - j2 + 0.276393202f, z2 = z0 - k2 + 0.276393202f,
        w2 = w0 - l2 + 0.276393202f;
  float x3 = x0 - i3 + 0.414589803f, y3 = y0 - j3 + 0.414589803f, z3 = z0 - k3 + 0.414589803f,
        w3 = w0 - l3 + 0.414589803f;
  float x4 = x0 - 1.0f + 0.552786404f, y4 = y0 - 1.0f + 0.552786404f, z4 = z0 - 1.0f + 0.552786404f,
        w4 = w0 - 1.0f + 0.552786404f;
  int ii = i & 255, jj = j & 255, kk = k & 255, ll = l & 255;
  int h0 = perm[ii + perm[jj + perm[kk + perm[ll]]]];
  int h1 = perm[ii + i1 + perm[jj + j1 + perm[kk + k1 + perm[ll + l1]]]];
  int h2 = perm[ii + i2 + perm[jj + j2 + perm[kk + k2 + perm[ll + l2]]]];
  int h3 = perm[ii + i3 + perm[jj + j3 + perm[kk + k3 + perm[ll + l3]]]];
  int h4 = perm[ii + 1 + perm[jj + 1 + perm[kk + 1 + perm[ll + 1]]]];
  float n0 = simplex_falloff(0.6f - x0 * x0 - y0 * y0 - z0 * z0 - w0 * w0) * simplex_dot4(h0, x0, y0, z0, w0);
  float n1 = simplex_falloff(0.6f - x1 * x1 - y1 * y1 - z1 * z1 - w1 * w1) * simplex_dot4(h1, x1, y1, z1, w1);
  float n2 = simplex_falloff(0.6f - x2 * x2 - y2 * y2 - z2 * z2 - w2 * w2) * simplex_dot4(h2, x2, y2, z2, w2);
  float n3 = simplex_falloff(0.6f - x3 * x3 - y3 * y3 - z3 * z3 - w3 * w3) * simplex_dot4(h3, x3, y3, z3, w3);
  float n4 = simplex_falloff(0.6f - x4 * x4 - y4 * y4 - z4 * z4 - w4 * w4) * simplex_dot4(h4, x4, y4, z4, w4);
  VY_CONTRACT(abs(27.0f * (n0 + n1 + n2 + n3 + n4))<1, "_util/perlin");
  return 27.0f * (n0 + n1 + n2 + n3 + n4);
}
