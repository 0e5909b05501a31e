// _util/tensor_math: linear algebra on tensor<double> — the generalised matrix
// product, Gaussian elimination, LU decomposition, determinant, matrix exponential
// and multilinear interpolation. Builds on _util/tensor.h (which includes this file).
#pragma once
#include "_util/tensor.h"

// A pivot whose magnitude is not above this counts as zero in the solver.
constexpr double TENSOR_NO_DIVISION = 1e-9;

inline double sign(double x) { return x >= 0 ? 1 : -1; }

namespace tensor_detail {

// Four-row product (poses and homogeneous points): the four rows of a result column
// are kept in registers. INNER is the inner length when known at compile time (4:
// fully unrolled), else 0 and the run-time inner length applies.
template <int INNER, class T>
void multiply4(const T* a, const T* b, T* out, int inner, int cols)
{
  if (INNER) inner = INNER;
  for (int s = 0; s < cols; s++, out += 4, b += inner) {
    T o0 = 0, o1 = 0, o2 = 0, o3 = 0;
    for (int p = 0; p < inner; p++) {
      const T bp = b[p], *ap = a + 4 * p;
      o0 += ap[0] * bp, o1 += ap[1] * bp, o2 += ap[2] * bp, o3 += ap[3] * bp;
    }
    out[0] = o0, out[1] = o1, out[2] = o2, out[3] = o3;
  }
}

// out (rows x cols) = a (rows x inner) . b (inner x cols), all column by column; every
// result element sums over p in ascending order, starting from zero.
template <class T>
void multiply(const T* a, const T* b, T* out, int rows, int inner, int cols)
{
  if (rows == 4 && inner == 4) return multiply4<4>(a, b, out, inner, cols);
  if (rows == 4) return multiply4<0>(a, b, out, inner, cols);
  // the k loop innermost runs down contiguous columns of a and of the result
  for (int s = 0; s < cols; s++, out += rows, b += inner) {
    for (int k = 0; k < rows; k++) out[k] = 0;
    for (int p = 0; p < inner; p++) {
      const T bp = b[p], *ap = a + std::size_t(p) * rows;
      for (int k = 0; k < rows; k++) out[k] += ap[k] * bp;
    }
  }
}

}  // namespace tensor_detail

// Generalised product: the last dimension of a meets the first of b. The result has
// a's leading sizes, then b's trailing ones (matrix x vector is a vector, vector x
// vector a scalar).
template <class T>
tensor<T> operator*(const tensor<T>& a, const tensor<T>& b)
{
  VY_CONTRACT(a.ndims&&b.ndims, "_util/tensor_math");
  long long rows = 1, cols = 1;
  const int inner = b.size[0];
  const int n = a.ndims + b.ndims - 2;
  int small[8];
  int* sizes = n <= 8 ? small : static_cast<int*>(std::malloc(sizeof(int) * std::size_t(n)));
  for (int k = 0; k < a.ndims - 1; k++) rows *= sizes[k] = a.size[k];
  for (int k = 1; k < b.ndims; k++) cols *= sizes[a.ndims - 2 + k] = b.size[k];
  // a may have more columns than b rows (only the first ones are used), never fewer
  VY_CONTRACT(rows*inner<=a.numel, "_util/tensor_math");
  tensor<T> ret;
  ret.shape(n, sizes);
  if (sizes != small) std::free(sizes);
  tensor_detail::multiply(a.data, b.data, ret.data, int(rows), inner, int(cols));
  return ret;
}

// X with A X = rhs by Gaussian elimination with partial pivoting. Rows are swapped
// through an index vector only; a pivot at or below TENSOR_NO_DIVISION clears ok
// and then fails the contract in back substitution.
template <class T>
tensor<T> tensor<T>::solve(tensor rhs) const
{
  using std::abs;
  VY_CONTRACT(ndims==2, "_util/tensor_math");
  VY_CONTRACT(size[0]==size[1], "_util/tensor_math");
  VY_CONTRACT(size[1]==rhs.size[0], "_util/tensor_math");
  const int n = size[0], m = rhs.ndims > 1 ? rhs.size[1] : 1;
  tensor work(*this, 0);
  T* copy = work.data;
  T* b = rhs.data;
  tensor<int> ind = tensor<int>::ramp(1, n);
  ok = 1;
  for (int r = 0; r < n; r++) {
    const int col = r * n;
    int best = r;
    T big = 0;
    for (int pos = r; pos < n; pos++)
      if (abs(copy[ind.data[pos] + col]) > big) big = abs(copy[ind.data[pos] + col]), best = pos;
    std::swap(ind.data[r], ind.data[best]);
    const int pr = ind.data[r];
    for (int pos = r + 1; pos < n; pos++) {
      if (!(abs(copy[pr + col]) > TENSOR_NO_DIVISION)) {
        ok = 0;
        break;
      }
      const int row = ind.data[pos];
      const T f = copy[row + col] / copy[pr + col];
      for (int c = r + 1; c < n; c++) copy[row + c * n] -= copy[pr + c * n] * f;
      for (int c = 0; c < m; c++) b[row + c * n] -= b[pr + c * n] * f;
    }
  }
  tensor ret(rhs.ndims, rhs.size);
  T* x = ret.data;
  for (int c0 = n - 1; c0 >= 0; c0--) {
    VY_CONTRACT(TENSOR_NO_DIVISION<abs(copy[ind.data[c0]+c0*size[0]]), "_util/tensor_math");
    const int row = ind.data[c0];
    const T inv = T(1) / copy[row + c0 * n];
    for (int c = 0; c < m; c++) {
      T s = b[row + c * n];
      for (int k = c0 + 1; k < n; k++) s -= copy[row + k * n] * x[k + c * n];
      x[c0 + c * n] = s * inv;
    }
  }
  return ret;
}

// Crout LU decomposition with implicit row scaling: U on and above the diagonal, L
// (unit diagonal implied) below it; ind receives the row interchanges, d their parity.
// A zero row clears ok and gives all-zero factors.
template <class T>
tensor<T> tensor<T>::lu(tensor<int>& ind, double& d) const
{
  using std::abs;
  VY_CONTRACT(ndims==2, "_util/tensor_math");
  VY_CONTRACT(size[0]==size[1], "_util/tensor_math");
  const int n = size[0];
  tensor ret(*this, 0);
  T* a = ret.data;
  auto at = [&](int i, int j) -> T& { return a[i + j * n]; };
  d = 1;
  ind = tensor<int>(1, n);
  ok = 1;
  tensor scale(1, n);
  for (int i = 0; i < n; i++) {
    T big = 0;
    for (int j = 0; j < n; j++) big = std::max(big, abs(at(i, j)));
    if (big < 1e-40) {
      ok = 0;
      return tensor(ndims, size);
    }
    scale.data[i] = 1 / big;
  }
  for (int j = 0; j < n; j++) {
    for (int i = 0; i < j; i++) {
      T s = at(i, j);
      for (int k = 0; k < i; k++) s -= at(i, k) * at(k, j);
      at(i, j) = s;
    }
    T big = 0;
    int imax = j;
    for (int i = j; i < n; i++) {
      T s = at(i, j);
      for (int k = 0; k < j; k++) s -= at(i, k) * at(k, j);
      at(i, j) = s;
      if (scale.data[i] * abs(s) >= big) big = scale.data[i] * abs(s), imax = i;
    }
    if (imax != j) {
      for (int k = 0; k < n; k++) std::swap(at(imax, k), at(j, k));
      d = -d;
      scale.data[imax] = scale.data[j];
    }
    ind.data[j] = imax;
    // A zero pivot means the rest of the column is zero too (it was the largest):
    // leave it so (a singular matrix gets determinant 0, not 0 * inf).
    if (j < n - 1 && at(j, j) != 0) {
      const T inv = 1 / at(j, j);
      for (int i = j + 1; i < n; i++) at(i, j) *= inv;
    }
  }
  return ret;
}

template <class T>
double tensor<T>::det() const
{
  VY_CONTRACT(size[0]==size[1], "_util/tensor_math");
  tensor<int> ind;
  double d;
  const tensor f = lu(ind, d);
  for (int j = 0; j < f.numel; j += size[0] + 1) d *= f.data[j];
  return d;
}

// Matrix exponential by its Taylor series, up to the 99th term or until a term's
// norm falls to 1e-40.
template <class T>
tensor<T> tensor<T>::expm() const
{
  VY_CONTRACT(ndims==2&&size[0]&&size[1], "_util/tensor");
  const int n = size[0];
  tensor sum = eye(n), term = eye(n);
  if (size[1] != n) {  // not square: the sum cannot take the terms
    term = term * *this;
    sum += term;
  }
  // term = term . A; term *= 1/i; sum += term, with the product written into a
  // second buffer instead of a new tensor per term
  tensor next(*this, 0);
  for (int i = 1; i < 100 && term.norm1() > 1e-40; i++) {
    tensor_detail::multiply(term.data, data, next.data, n, n, n);
    const T inv = T(1) / T(i);
    for (int j = 0; j < sum.numel; j++) next.data[j] *= inv, sum.data[j] += next.data[j];
    std::swap(term, next);
  }
  return sum;
}

// Multilinear interpolation on the grid of this tensor; itp holds one coordinate
// per dimension, 0 at the first node and 1 at the last (clamped to [0, 1]).
template <class T>
double tensor<T>::interp(tensor itp) const
{
  VY_CONTRACT(itp.numel==ndims, "_util/tensor_math");
  VY_CONTRACT(numel, "_util/tensor_math");
  tensor<int> lo(1, ndims), hi(1, ndims), stride = strides();
  tensor<double> w0(1, ndims);
  for (int k = 0; k < ndims; k++) {
    double t = double(itp.data[k]);
    t = t > 0 ? (t < 1 ? t : 1) : 0;  // also maps NaN to 0
    itp.data[k] = T(t);
    const double x = (size[k] - 1) * t;
    const int c = int(x);
    w0.data[k] = c + 1 - x;
    lo.data[k] = std::min(std::max(c, 0), size[k] - 1);
    hi.data[k] = std::min(std::max(c + 1, 0), size[k] - 1);
  }
  double value = 0;
  for (long long j = 0; j < (1LL << ndims); j++) {
    double weight = 1;
    int ind = 0;
    for (int k = 0; k < ndims; k++) {
      const bool upper = (j >> k) & 1;
      weight *= upper ? 1 - w0.data[k] : w0.data[k];
      ind += stride.data[k] * (upper ? hi.data[k] : lo.data[k]);
    }
    value += weight * double(data[ind]);
  }
  return value;
}
