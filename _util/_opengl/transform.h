// _util/_opengl/transform: the 4x4 transform builders for poses, the camera and
// the frames that lay primitives along vectors. Column-major double tensors
// (element (r, c) at data[4c + r], translation in column 3), ready for glMultMatrixd.
// Builds on tensor and tensor_math.
#pragma once
#include <cmath>
#include "_util/contract.h"
#include "_util/tensor.h"
#include "_util/tensor_math.h"

// Cross-product matrix: skew(v) * w = v x w.
inline tensor<double> skew(const tensor<double>& myTensor)
{
  VY_CONTRACT(myTensor.numel==3||myTensor.numel==4, "_util/_opengl");
  const double* v = myTensor.data;
  tensor<double> ret(2, 4, 4);
  ret.data[1] = v[2];
  ret.data[2] = -v[1];
  ret.data[4] = -v[2];
  ret.data[6] = v[0];
  ret.data[8] = v[1];
  ret.data[9] = -v[0];
  return ret;
}

inline tensor<double> translation(double x, double y, double z)
{
  tensor<double> ret = tensor<double>::eye(4);
  ret.data[12] = x;
  ret.data[13] = y;
  ret.data[14] = z;
  return ret;
}

inline tensor<double> translation(const tensor<double>& myTensor)
{
  VY_CONTRACT(3<=myTensor.numel, "_util/_opengl");
  return translation(myTensor.data[0], myTensor.data[1], myTensor.data[2]);
}

// Inverse of a rotation-plus-translation pose: (R^T, -R^T t).
inline tensor<double> rigid_inverse(const tensor<double>& m)
{
  const double* a = m.data;
  tensor<double> ret(2, 4, 4);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) ret.data[4 * c + r] = a[4 * r + c];
    ret.data[12 + r] = -(a[4 * r] * a[12] + a[4 * r + 1] * a[13] + a[4 * r + 2] * a[14]);
  }
  ret.data[15] = 1;
  return ret;
}

inline tensor<double> outer(const tensor<double>& a)
{
  tensor<double> ret(2, 4, 4);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) ret.data[4 * c + r] = a.data[r] * a.data[c];
  ret.data[15] = 1;
  return ret;
}

inline tensor<double> vec3(const double p[3])
{
  tensor<double> ret(1, 3);
  for (int k = 0; k < 3; ++k) ret.data[k] = p[k];
  return ret;
}

inline tensor<double> dir4(const double p[3])
{
  tensor<double> ret(1, 4);
  for (int k = 0; k < 3; ++k) ret.data[k] = p[k];
  return ret;
}

// p[c][r] becomes element (r, c): the array's rows (four doubles apart) are the columns.
inline tensor<double> mat3(const double (*p)[4])
{
  tensor<double> ret(2, 3, 3);
  for (int c = 0; c < 3; ++c)
    for (int r = 0; r < 3; ++r) ret.data[3 * c + r] = p[c][r];
  return ret;
}

inline tensor<double> mat4(const double (*p)[4])
{
  tensor<double> ret(2, 4, 4);
  for (int c = 0; c < 3; ++c)
    for (int r = 0; r < 3; ++r) ret.data[4 * c + r] = p[c][r];
  ret.data[15] = 1;
  return ret;
}

namespace opengl_detail {
inline double dot3(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

inline void normalize3(double* a)
{
  double len = std::sqrt(dot3(a, a));
  for (int k = 0; k < 3; ++k) a[k] /= len;
}

inline void cross3(const double* a, const double* b, double* out)
{
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

// Unit vector orthogonal to the unit vector z: the coordinate axis along z's
// smallest component, with its z part removed.
inline void orthogonal_unit(const double* z, double* x)
{
  int axis = 0;
  for (int k = 1; k < 3; ++k)
    if (std::fabs(z[k]) < std::fabs(z[axis])) axis = k;
  for (int k = 0; k < 3; ++k) x[k] = (k == axis) - z[axis] * z[k];
  normalize3(x);
}

// 4x4 from three direction columns and a position.
inline tensor<double> frame(const double* c0, const double* c1, const double* c2, const double* p)
{
  tensor<double> ret(2, 4, 4);
  const double* cols[] = {c0, c1, c2, p};
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 3; ++r) ret.data[4 * c + r] = cols[c][r];
  ret.data[15] = 1;
  return ret;
}

// s = dst - src as a unit vector and a unit u orthogonal to it; false when src == dst.
inline bool frame_axes(const tensor<double>& src, const tensor<double>& dst, double* s, double* u)
{
  for (int k = 0; k < 3; ++k) s[k] = dst.data[k] - src.data[k];
  if (std::sqrt(dot3(s, s)) <= 1e-40) return false;
  normalize3(s);
  orthogonal_unit(s, u);
  return true;
}
}  // namespace opengl_detail

// Gram-Schmidt on the three direction columns; the translation is kept.
inline tensor<double> orthonormalize(const tensor<double>& m)
{
  using namespace opengl_detail;
  double c[3][3];
  for (int j = 0; j < 3; ++j) {
    for (int r = 0; r < 3; ++r) c[j][r] = m.data[4 * j + r];
    for (int i = 0; i < j; ++i) {
      double d = dot3(c[j], c[i]);
      for (int r = 0; r < 3; ++r) c[j][r] -= d * c[i][r];
    }
    normalize3(c[j]);
  }
  return frame(c[0], c[1], c[2], m.data + 12);
}

// Frame at src whose z axis points to dst.
inline tensor<double> frame_from(const tensor<double>& src, const tensor<double>& dst)
{
  using namespace opengl_detail;
  VY_CONTRACT(src.numel==4 && dst.numel==4, "_util/_opengl");
  double s[3], u[3], v[3];
  if (!frame_axes(src, dst, s, u)) return tensor<double>::eye(4);
  cross3(s, u, v);
  return frame(u, v, s, src.data);
}

// Frame at src whose x axis points away from dst.
inline tensor<double> frame_to(const tensor<double>& src, const tensor<double>& dst)
{
  using namespace opengl_detail;
  VY_CONTRACT(src.numel==4 && dst.numel==4, "_util/_opengl");
  double s[3], u[3], v[3];
  if (!frame_axes(src, dst, s, u)) return tensor<double>::eye(4);
  cross3(s, u, v);
  double ms[3] = {-s[0], -s[1], -s[2]}, mu[3] = {-u[0], -u[1], -u[2]};
  return frame(ms, mu, v, src.data);
}

// exp(skew(w)) = I + A K + B K^2 with A = sin t / t, B = (1 - cos t) / t^2; near
// zero A and B come from their series, where the closed forms lose precision.
inline tensor<double> rotation(const tensor<double>& w)
{
  double t2 = w.data[0] * w.data[0] + w.data[1] * w.data[1] + w.data[2] * w.data[2];
  double a, b;
  if (t2 < 0.5) {
    a = 0, b = 0;
    double term = 1, fact_a = 1, fact_b = 2;  // t^(2k), (2k+1)!, (2k+2)!
    for (int k = 0; k <= 7; ++k) {
      double sign = k % 2 ? -1 : 1;
      a += sign * term / fact_a;
      b += sign * term / fact_b;
      term *= t2;
      fact_a *= (2 * k + 2) * (2 * k + 3);
      fact_b *= (2 * k + 3) * (2 * k + 4);
    }
  } else {
    double t = std::sqrt(t2), h = std::sin(t / 2);
    a = std::sin(t) / t;
    b = 2 * h * h / t2;
  }
  tensor<double> k = skew(w);
  tensor<double> k2 = k * k;
  tensor<double> ret = tensor<double>::eye(4);
  for (int i = 0; i < 16; ++i) ret.data[i] += a * k.data[i] + b * k2.data[i];
  return ret;
}

// Frame at p whose z axis runs along v, for laying cylinders and cones along a vector.
inline tensor<double> frame_along(const tensor<double>& v, const tensor<double>& p)
{
  using namespace opengl_detail;
  double z[3] = {v.data[0], v.data[1], v.data[2]}, x[3], y[3];
  if (std::sqrt(dot3(z, z)) <= 1e-40) return translation(p);
  normalize3(z);
  orthogonal_unit(z, x);
  cross3(z, x, y);
  return frame(x, y, z, p.data);
}
