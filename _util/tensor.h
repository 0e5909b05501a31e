// _util/tensor: the one container of vyre3d, an N-dimensional array value type
// (first index fastest) with its binary file form and its two text forms.
// Builds on _util/contract.h; the algebra lives in _util/tensor_math.h (included below).
#pragma once
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <type_traits>
#include <utility>

#include "_util/contract.h"

// Shared result buffer of describe(), print() and str(): each call overwrites it.
inline char tensor_text[8192];
// When set, a tensor file read that fails is reported on standard output as well.
inline int tensor_verbose = 1;

namespace tensor_detail {

// The size array and the element array of a tensor share one block: sizes first,
// elements from the next 16-byte boundary. One allocation per tensor instead of two
// is most of what makes small results (4x4 poses) cheap.
inline std::size_t header_bytes(int ndims) { return (std::size_t(ndims) * sizeof(int) + 15) & ~std::size_t(15); }

// Small blocks are recycled through a per-thread free list per 16-byte size class,
// which is cheaper than a malloc/free pair. Sanitizer builds use plain malloc so
// that use-after-free stays detectable.
#if defined(__SANITIZE_ADDRESS__)
#define TENSOR_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TENSOR_POOL 0
#endif
#endif
#ifndef TENSOR_POOL
#define TENSOR_POOL 1
#endif

constexpr int pool_classes = 32;  // blocks up to 512 bytes (with their 16-byte prefix)
constexpr int pool_depth = 64;    // cached blocks per class

// Plain data, so that every access is a direct thread-local access; the clean-up at
// thread exit lives in a separate object, armed when the thread first caches a block.
struct pool {
  void* head[pool_classes] = {};
  int cached[pool_classes] = {};
  bool armed = false;
  bool gone = false;  // set at thread exit: blocks freed later go straight to free()
};
inline thread_local pool thread_pool;

struct pool_drain {
  ~pool_drain()
  {
    pool& p = thread_pool;
    for (int k = 0; k < pool_classes; k++)
      while (void* b = p.head[k]) {
        p.head[k] = *static_cast<void**>(b);
        std::free(b);
      }
    p.gone = true;
  }
};

inline void arm_pool()
{
  static thread_local pool_drain drain;
  (void)drain;
  thread_pool.armed = true;
}

// Every block starts with a 16-byte prefix: the free-list link at offset 0 and the
// size class (-1: not pooled) at offset 8, so freeing does not depend on fields a
// caller might have changed.
inline int& block_class(void* b) { return static_cast<int*>(b)[2]; }

inline void* block_alloc(std::size_t bytes)
{
  std::size_t total = bytes + 16;
  int cls = -1;
  if (TENSOR_POOL && total <= std::size_t(pool_classes) * 16 && !thread_pool.gone) {
    pool& p = thread_pool;
    cls = int((total - 1) / 16);
    if (void* b = p.head[cls]) {
      p.head[cls] = *static_cast<void**>(b);
      p.cached[cls]--;
      return static_cast<char*>(b) + 16;
    }
    total = std::size_t(cls + 1) * 16;
  }
  void* b = std::malloc(total);
  if (!b) throw std::bad_alloc();
  block_class(b) = cls;
  return static_cast<char*>(b) + 16;
}

inline void block_free(void* user)
{
  void* b = static_cast<char*>(user) - 16;
  const int cls = block_class(b);
  if (cls >= 0) {
    pool& p = thread_pool;
    if (!p.gone && p.cached[cls] < pool_depth) {
      if (!p.armed) arm_pool();
      *static_cast<void**>(b) = p.head[cls];
      p.head[cls] = b;
      p.cached[cls]++;
      return;
    }
  }
  std::free(b);
}

// Byte-wise writer into tensor_text that stops at the end of the buffer.
struct text_writer {
  char* buf;
  std::size_t cap, pos = 0;
  void put(const char* fmt, ...)
  {
    if (pos + 1 >= cap) return;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf + pos, cap - pos, fmt, ap);
    va_end(ap);
    if (n > 0) pos = pos + std::size_t(n) < cap ? pos + std::size_t(n) : cap - 1;
  }
};

}  // namespace tensor_detail

template <class T>
struct tensor {
  int ndims;
  int* size;
  int numel;
  T* data;

  // Status of the last file read, solve, LU decomposition or normalisation of this element type.
  static inline int ok = 1;

  // ---- construction, copy, destruction -------------------------------------------

  tensor() : ndims(0), size(nullptr), numel(0), data(nullptr) {}

  // tensor(n, s0, s1, ...): n dimensions of the given sizes, all elements zero.
  template <class... I, class = std::enable_if_t<(std::is_integral_v<I> && ...)>>
  explicit tensor(int n, I... s) : tensor()
  {
    const int given = int(sizeof...(s));
    VY_CONTRACT(n==given, "_util/tensor");
    const int sizes[] = {int(s)..., 0};
    create(n, sizes);
  }

  // tensor(n, sizes): from an array of n sizes; a null array gives sizes 0 and numel 0.
  tensor(int n, const int* sizes) : tensor() { create(n, sizes); }

  // The tensor stored in a binary tensor file (the empty tensor when it cannot be read).
  explicit tensor(const char* filename) : tensor() { read(filename); }

  tensor(const tensor& src) : tensor()
  {
    if (src.ndims > 3) std::printf("constr %i\n", src.ndims);
    copy_from(src);
  }

  // Moves only ever take from temporaries; the source is left as the empty tensor.
  tensor(tensor&& src) noexcept : ndims(src.ndims), size(src.size), numel(src.numel), data(src.data)
  {
    src.ndims = 0, src.size = nullptr, src.numel = 0, src.data = nullptr;
  }

  tensor& operator=(const tensor& src)
  {
    if (data == src.data) return *this;
    release();
    copy_from(src);
    return *this;
  }

  tensor& operator=(tensor&& src) noexcept
  {
    if (data == src.data) return *this;
    release();
    ndims = src.ndims, size = src.size, numel = src.numel, data = src.data;
    src.ndims = 0, src.size = nullptr, src.numel = 0, src.data = nullptr;
    return *this;
  }

  ~tensor() { release(); }

  // ---- named constructors ----------------------------------------------------------

  template <class... I>
  static tensor ramp(int n, I... s)
  {
    tensor ret(n, s...);
    for (int j = 0; j < ret.numel; j++) ret.data[j] = T(j);
    return ret;
  }

  static tensor eye(int n)
  {
    tensor ret(2, n, n);
    for (int j = 0; j < ret.numel; j += n + 1) ret.data[j] = T(1);
    return ret;
  }

  static tensor diag(const tensor& v)
  {
    const int n = v.numel;
    tensor ret(2, n, n);
    for (int j = 0; j < n; j++) ret.data[j * (n + 1)] = v.data[j];
    return ret;
  }

  static tensor<char> str(const char* text)
  {
    tensor<char> ret(1, int(std::strlen(text)));
    std::memcpy(ret.data, text, std::size_t(ret.numel));
    return ret;
  }
  static tensor<char> str(char c)
  {
    std::snprintf(tensor_text, sizeof tensor_text, "%c", c);
    tensor<char> ret(1, 1);
    ret.data[0] = tensor_text[0];
    return ret;
  }
  static tensor<char> str(double x)
  {
    std::snprintf(tensor_text, sizeof tensor_text, "%10.2e ", x);
    return str(static_cast<const char*>(tensor_text));
  }

  tensor<double> to_double() const { return convert<double>(); }
  tensor<float> to_float() const { return convert<float>(); }

  template <class U>
  tensor<U> convert() const
  {
    tensor<U> ret(ndims, size);
    for (int j = 0; j < numel; j++) ret.data[j] = U(data[j]);
    return ret;
  }

  // ---- element access and placement ------------------------------------------------

  // Checked access by linear index (the one check every subscripted access ends in).
  T& at(int ind0) const
  {
    VY_CONTRACT(0<=ind0&&ind0<numel, "_util/tensor");
    return data[ind0];
  }

  // t(i0, i1, ...): only the combined linear index is checked. Subscripts beyond
  // ndims count as trailing dimensions of size 1.
  template <class... I>
  T& operator()(int i0, I... rest) const
  {
    const int sub[] = {int(rest)..., 0};
    int ind = i0, m = 1;
    for (int k = 1; k <= int(sizeof...(rest)); k++) {
      if (k - 1 < ndims) m *= size[k - 1];
      ind += m * sub[k - 1];
    }
    return at(ind);
  }

  T& last() const
  {
    VY_CONTRACT(numel, "_util/tensor");
    return data[numel - 1];
  }

  // The c1-th contiguous run along the last dimension.
  tensor slice(int c1) const
  {
    VY_CONTRACT(ndims, "_util/tensor");
    tensor ret(ndims - 1, size);
    VY_CONTRACT(c1+ret.numel<=numel, "_util/tensor");
    // the check above alone lets c1 run past the last slice
    VY_CONTRACT(0<=c1&&(long long)(c1+1)*ret.numel<=numel, "_util/tensor");
    copy_elems(ret.data, data + std::size_t(c1) * ret.numel, ret.numel);
    return ret;
  }

  void set(int ind, const T* src, int len)
  {
    VY_CONTRACT(ind+len<=numel, "_util/tensor");
    VY_CONTRACT(0<=ind&&0<=len, "_util/tensor");  // nothing written before data
    copy_elems(data + ind, src, len);
  }

  void set(int ind, const tensor& copy)
  {
    VY_CONTRACT(ind+copy.numel<=numel, "_util/tensor");
    VY_CONTRACT(0<=ind, "_util/tensor");
    copy_elems(data + ind, copy.data, copy.numel);
  }

  void fill(const T& x)
  {
    for (int j = 0; j < numel; j++) data[j] = x;
  }

  // values(x0, x1, ...): exactly numel values, in linear order.
  template <class... X>
  void values(X... x)
  {
    const int given = int(sizeof...(x));
    VY_CONTRACT(given==numel, "_util/tensor");
    int j = 0;
    ((data[j++] = T(x)), ...);
  }

  // set_diag(x0, x1, ...): the diagonal (every size[0]+1-th element) from the front.
  template <class... X>
  void set_diag(X... x)
  {
    int j = 0;
    auto put = [&](const T& v) {
      if (j < numel) data[j] = v;
      j += size[0] + 1;
    };
    (put(T(x)), ...);
  }

  tensor<int> strides() const
  {
    tensor<int> ret(1, ndims);
    int s = 1;
    for (int k = 0; k < ndims; k++) ret.data[k] = s, s *= size[k];
    return ret;
  }

  tensor<int> subscripts(int ind) const
  {
    VY_CONTRACT(0<=ind&&ind<numel, "_util/tensor");
    tensor<int> stride = strides(), ret(1, ndims);
    for (int k = ndims - 1; k >= 0; k--) {
      ret.data[k] = ind / stride.data[k];
      ind %= stride.data[k];
    }
    return ret;
  }

  // ---- shape operations ------------------------------------------------------------

  // Joined along the last dimension; missing trailing dimensions of myTensor count as 1.
  tensor concat(const tensor& myTensor) const
  {
    VY_CONTRACT(ndims, "_util/tensor");
    long long m = 1;
    for (int c0 = 0; c0 < ndims - 1; c0++) {
      if (c0 < myTensor.ndims)
        VY_CONTRACT(size[c0]==myTensor.size[c0], "_util/tensor");
      else
        VY_CONTRACT(size[c0]==1, "_util/tensor");
      m *= size[c0];
    }
    tensor<int> sizes(1, ndims);
    sizes.set(0, size, ndims);
    sizes.last() += m ? int(myTensor.numel / m) : myTensor.dim(ndims - 1);
    tensor ret(ndims, sizes.data);
    copy_elems(ret.data, data, numel);
    copy_elems(ret.data + numel, myTensor.data, myTensor.numel);
    return ret;
  }

  tensor append(const T& x) const
  {
    VY_CONTRACT(ndims==1, "_util/tensor");
    tensor ret(1, numel + 1);
    copy_elems(ret.data, data, numel);
    ret.data[numel] = x;
    return ret;
  }

  tensor flatten() const
  {
    tensor ret(1, numel);
    copy_elems(ret.data, data, numel);
    return ret;
  }

  // select(ind0, ind1, ...): one index vector per dimension; the result has the
  // index vectors' lengths as sizes.
  template <class... I>
  tensor select(I... ind) const
  {
    const tensor<int>* idx[] = {&ind...};
    constexpr int n = int(sizeof...(ind));
    int sizes[n];
    for (int k = 0; k < n; k++) sizes[k] = idx[k]->numel;
    tensor ret(n, sizes);
    int sub[n] = {};
    for (int j = 0; j < ret.numel; j++) {
      int ind0 = 0, m = 1;
      for (int k = 0; k < n; k++) {
        ind0 += m * idx[k]->data[sub[k]];
        if (k < ndims) m *= size[k];
      }
      ret.data[j] = at(ind0);
      for (int k = 0; k < n && ++sub[k] == sizes[k]; k++) sub[k] = 0;
    }
    return ret;
  }

  // Dimension q of this tensor becomes dimension sig[q] of the result.
  tensor permute(const tensor<int>& sig) const
  {
    VY_CONTRACT(ndims==sig.numel, "_util/tensor");
    tensor<int> sizes(1, ndims), seen(1, ndims);
    for (int q = 0; q < ndims; q++) {
      const int d = sig.data[q];
      VY_CONTRACT(0<=d&&d<ndims&&!seen.data[d], "_util/tensor");  // a permutation of 0..ndims-1
      seen.data[d] = 1;
      sizes.data[d] = size[q];
    }
    tensor ret(ndims, sizes.data);
    // Walk the source in linear order, stepping the result index by the result
    // stride that each source dimension maps to.
    tensor<int> to = ret.strides(), step(1, ndims), sub(1, ndims);
    for (int q = 0; q < ndims; q++) step.data[q] = to.data[sig.data[q]];
    for (int src = 0, dst = 0; src < numel; src++) {
      ret.data[dst] = data[src];
      for (int q = 0; q < ndims; q++) {
        dst += step.data[q];
        if (++sub.data[q] < size[q]) break;
        dst -= step.data[q] * size[q];
        sub.data[q] = 0;
      }
    }
    return ret;
  }

  tensor transpose() const
  {
    tensor<int> sig(1, 2);
    sig.values(1, 0);
    return permute(sig);
  }

  // Sums over the listed dimensions taken together (one of them: sum along it;
  // (0, 1) of a square matrix: the trace).
  tensor<double> contract(const tensor<int>& dims) const
  {
    VY_CONTRACT(dims.numel, "_util/tensor");
    tensor<int> listed(1, ndims);
    for (int c0 = 0; c0 < dims.numel; c0++) {
      VY_CONTRACT(dims(c0)<ndims, "_util/tensor");
      VY_CONTRACT(0<=dims(c0), "_util/tensor");
      if (c0) VY_CONTRACT(dims(c0-1)<dims(c0), "_util/tensor");
      listed.data[dims(c0)] = 1;
    }
    const int sze0 = size[dims(0)];
    for (int c0 = 0; c0 < dims.numel; c0++) VY_CONTRACT(sze0==size[dims(c0)], "_util/tensor");
    // the kept dimensions in order, and the step that advances every listed subscript at once
    tensor<int> stride = strides(), keep_stride(1, ndims), sizes(1, ndims);
    int n = 0, diag_step = 0;
    for (int k = 0; k < ndims; k++) {
      if (listed.data[k])
        diag_step += stride.data[k];
      else
        keep_stride.data[n] = stride.data[k], sizes.data[n++] = size[k];
    }
    tensor<double> ret(n, sizes.data);
    tensor<int> sub(1, n);
    for (int j = 0; j < ret.numel; j++) {
      int base = 0;
      for (int k = 0; k < n; k++) base += sub.data[k] * keep_stride.data[k];
      double s = 0;
      for (int p = 0; p < sze0; p++) s += double(data[base + p * diag_step]);
      ret.data[j] = s;
      for (int k = 0; k < n && ++sub.data[k] == sizes.data[k]; k++) sub.data[k] = 0;
    }
    return ret;
  }

  tensor unique() const
  {
    VY_CONTRACT(ndims==1, "_util/tensor");
    tensor<int> order;
    tensor s = sort(1, order);
    int w = 0;
    for (int r = 1; r < s.numel; r++)
      if (s.data[r] != s.data[w]) s.data[++w] = s.data[r];
    tensor ret(1, s.numel ? w + 1 : 0);
    copy_elems(ret.data, s.data, ret.numel);
    return ret;
  }

  tensor<int> find() const
  {
    int n = 0;
    for (int j = 0; j < numel; j++) n += data[j] != T();
    tensor<int> ret(1, n);
    for (int j = 0, w = 0; j < numel; j++)
      if (data[j] != T()) ret.data[w++] = j;
    return ret;
  }

  tensor<int> equal(const T& x) const
  {
    tensor<int> ret(ndims, size);
    for (int j = 0; j < numel; j++) ret.data[j] = data[j] == x;
    return ret;
  }

  // ---- arithmetic ------------------------------------------------------------------

  tensor& operator+=(const tensor& myTensor)
  {
    VY_CONTRACT(ndims==myTensor.ndims, "_util/tensor");
    VY_CONTRACT(numel==myTensor.numel, "_util/tensor");
    for (int j = 0; j < numel; j++) data[j] += myTensor.data[j];
    return *this;
  }

  tensor& operator-=(const tensor& myTensor)
  {
    VY_CONTRACT(numel==myTensor.numel, "_util/tensor");
    for (int j = 0; j < numel; j++) data[j] -= myTensor.data[j];
    return *this;
  }

  // Element-wise product in place (the binary * of two tensors is the matrix product).
  tensor& operator*=(const tensor& myTensor)
  {
    VY_CONTRACT(ndims==myTensor.ndims, "_util/tensor");
    VY_CONTRACT(numel==myTensor.numel, "_util/tensor");
    for (int j = 0; j < numel; j++) data[j] *= myTensor.data[j];
    return *this;
  }

  tensor operator+(const tensor& myTensor) const
  {
    VY_CONTRACT(numel==myTensor.numel, "_util/tensor");
    tensor ret(*this, 0);
    ret += myTensor;
    return ret;
  }

  tensor operator-(const tensor& myTensor) const
  {
    VY_CONTRACT(numel==myTensor.numel, "_util/tensor");
    tensor ret(*this, 0);
    ret -= myTensor;
    return ret;
  }

  tensor& operator+=(const T& x)
  {
    return apply([&](T& e) { e += x; });
  }
  tensor& operator-=(const T& x)
  {
    return apply([&](T& e) { e -= x; });
  }
  tensor& operator*=(const T& x)
  {
    return apply([&](T& e) { e *= x; });
  }
  tensor& operator/=(const T& x)
  {
    return apply([&](T& e) { e /= x; });
  }
  tensor operator+(const T& x) const
  {
    return tensor(*this, 0).apply([&](T& e) { e += x; }, 0);
  }
  tensor operator-(const T& x) const
  {
    return tensor(*this, 0).apply([&](T& e) { e -= x; }, 0);
  }
  tensor operator*(const T& x) const
  {
    return tensor(*this, 0).apply([&](T& e) { e *= x; }, 0);
  }
  tensor operator/(const T& x) const
  {
    return tensor(*this, 0).apply([&](T& e) { e /= x; }, 0);
  }

  // ---- reductions and vector functions ---------------------------------------------

  T dot(const tensor& myTensor) const
  {
    VY_CONTRACT(numel==myTensor.numel, "_util/tensor");
    VY_CONTRACT(ndims==myTensor.ndims, "_util/tensor");
    T s = T(0);
    for (int j = 0; j < numel; j++) s += data[j] * myTensor.data[j];
    return s;
  }

  tensor cross(const tensor& myTensor) const
  {
    VY_CONTRACT(ndims==1&&myTensor.ndims==1, "_util/tensor");
    VY_CONTRACT(numel==myTensor.numel, "_util/tensor");
    VY_CONTRACT(numel==3||numel==4, "_util/tensor");
    const T *a = data, *b = myTensor.data;
    tensor ret(1, numel);
    ret.data[0] = a[1] * b[2] - a[2] * b[1];
    ret.data[1] = a[2] * b[0] - a[0] * b[2];
    ret.data[2] = a[0] * b[1] - a[1] * b[0];
    return ret;
  }

  T norm() const
  {
    T s = T(0);
    for (int j = 0; j < numel; j++) s += data[j] * data[j];
    return T(std::sqrt(s));
  }

  T norm1() const
  {
    if (ndims == 0) return T(std::abs(data[0]));
    if (ndims <= 2) {
      const int rows = ndims == 1 ? numel : size[0];
      T best = T(0);
      for (int c = 0; c * rows < numel; c++) {
        T s = T(0);
        for (int r = 0; r < rows; r++) s += T(std::abs(data[c * rows + r]));
        if (c == 0 || best < s) best = s;
      }
      return best;
    }
    VY_CONTRACT(0, "_util/tensor");  // ndims above 2
    return T(0);
  }

  // Unit vector; a norm of 1e-9 or less clears the double status flag and gives an unchanged copy.
  tensor normalize() const
  {
    VY_CONTRACT(ndims==1, "_util/tensor");
    const T x = norm();
    tensor ret(*this, 0);
    tensor<double>::ok = x > 1e-9;
    if (tensor<double>::ok) ret *= T(1) / x;
    return ret;
  }

  double sum() const
  {
    double s = 0;
    for (int j = 0; j < numel; j++) s += double(data[j]);
    return s;
  }

  T min(int& ind) const
  {
    return extreme(ind, [](const T& a, const T& b) { return a < b; });
  }
  T max(int& ind) const
  {
    return extreme(ind, [](const T& a, const T& b) { return b < a; });
  }

  tensor<double> mean() const
  {
    VY_CONTRACT(ndims, "_util/tensor");
    VY_CONTRACT(size[ndims-1], "_util/tensor");
    tensor<double> ret(ndims - 1, size);
    const int last_size = size[ndims - 1];
    for (int c = 0; c < last_size; c++)
      for (int j = 0; j < ret.numel; j++) ret.data[j] += double(data[j + c * ret.numel]);
    ret /= double(last_size);
    return ret;
  }

  template <class F>
  tensor map(F fn) const
  {
    tensor ret(ndims, size);
    for (int j = 0; j < numel; j++) ret.data[j] = T(fn(data[j]));
    return ret;
  }

  // Sorted copy (quicksort, not stable); order[k] is the source index of element k.
  tensor sort(int ascending, tensor<int>& order) const
  {
    if (!data) {
      order = tensor<int>();
      return tensor();
    }
    order = tensor<int>::ramp(1, numel);
    tensor ret(*this, 0);
    if (numel) ret.quicksort(0, numel - 1, ascending, order.data);
    for (int c0 = 1; c0 < numel; c0++) {
      if (ascending)
        VY_CONTRACT(ret.data[c0-1]<=ret.data[c0], "_util/tensor");
      else
        VY_CONTRACT(ret.data[c0]<=ret.data[c0-1], "_util/tensor");
    }
    return ret;
  }

  // ---- file and text forms ---------------------------------------------------------

  // Replaces this tensor by the one in the file; returns and sets ok.
  int read(const char* filename);
  int write(const char* filename) const;
  // Parses the bytes of a tensor file (the reader's checks without the file and the report).
  static tensor parse(const void* bytes, std::size_t len);
  const char* describe() const;
  const char* print(const char* fmt) const;

  // ---- algebra (_util/tensor_math.h) -------------------------------------------------

  tensor solve(tensor rhs) const;
  tensor lu(tensor<int>& ind, double& d) const;
  double det() const;
  tensor expm() const;
  double interp(tensor itp) const;

  // ---- internals -------------------------------------------------------------------

  // Size of dimension k, with dimensions beyond ndims counting as 1.
  int dim(int k) const { return k < ndims ? size[k] : 1; }

  // Deep copy without the trace line of the public copy constructor: the library
  // copies 4-D tensors internally (arithmetic on copies) without announcing it.
  tensor(const tensor& src, int) : tensor() { copy_from(src); }

  // Allocates the block for n sizes and the elements they imply, all elements zero.
  void create(int n, const int* sizes)
  {
    shape(n, sizes);
    if constexpr (std::is_trivial_v<T>)
      std::memset(static_cast<void*>(data), 0, sizeof(T) * std::size_t(numel));
    else
      for (int j = 0; j < numel; j++) new (data + j) T();
  }

  // The same with the elements left unset, for results that write every element.
  void shape(int n, const int* sizes)
  {
    VY_CONTRACT(0<=n, "_util/tensor");
    long long count = sizes ? 1 : 0;
    for (int k = 0; k < n && sizes; k++) {
      VY_CONTRACT(0<=sizes[k], "_util/tensor");
      count *= sizes[k];
      VY_CONTRACT(count<=INT_MAX, "_util/tensor");
    }
    allocate(n, int(count));
    for (int k = 0; k < n; k++) size[k] = sizes ? sizes[k] : 0;
  }

  void allocate(int n, int count)
  {
    const std::size_t head = tensor_detail::header_bytes(n);
    char* block = static_cast<char*>(tensor_detail::block_alloc(head + sizeof(T) * std::size_t(count)));
    ndims = n;
    numel = count;
    size = reinterpret_cast<int*>(block);
    data = reinterpret_cast<T*>(block + head);
  }

  void copy_from(const tensor& src)
  {
    allocate(src.ndims, src.numel);
    if (src.ndims) std::memcpy(size, src.size, sizeof(int) * std::size_t(src.ndims));
    if constexpr (std::is_trivial_v<T>) {
      if (src.numel) std::memcpy(static_cast<void*>(data), src.data, sizeof(T) * std::size_t(src.numel));
    } else {
      // like construction: every element made empty, then filled by assignment
      for (int j = 0; j < numel; j++) new (data + j) T(), data[j] = src.data[j];
    }
  }

  void release()
  {
    if (!data) return;
    if constexpr (!std::is_trivial_v<T>)
      for (int j = 0; j < numel; j++) data[j].~T();
    tensor_detail::block_free(size);
    ndims = 0, size = nullptr, numel = 0, data = nullptr;
  }

  static void copy_elems(T* dst, const T* src, int n)
  {
    if constexpr (std::is_trivial_v<T>) {
      if (n > 0) std::memmove(static_cast<void*>(dst), src, sizeof(T) * std::size_t(n));
    } else {
      for (int j = 0; j < n; j++) dst[j] = src[j];
    }
  }

  template <class F>
  tensor& apply(F f)
  {
    for (int j = 0; j < numel; j++) f(data[j]);
    return *this;
  }
  // The same on a temporary, handing it on by move (no copy, no trace line).
  template <class F>
  tensor apply(F f, int) &&
  {
    apply(f);
    return std::move(*this);
  }

  template <class Before>
  T extreme(int& ind, Before before) const
  {
    VY_CONTRACT(numel, "_util/tensor");
    ind = 0;
    for (int j = 1; j < numel; j++)
      if (before(data[j], data[ind])) ind = j;
    return data[ind];
  }

  void quicksort(int lo, int hi, int ascending, int* order)
  {
    const int ind_ = (lo + hi) / 2;
    VY_CONTRACT(0<=ind_&&ind_<numel, "_util/tensor");
    const T pivot = data[ind_];
    int i = lo, j = hi;
    do {
      if (ascending) {
        while (data[i] < pivot) i++;
        while (pivot < data[j]) j--;
      } else {
        while (pivot < data[i]) i++;
        while (data[j] < pivot) j--;
      }
      if (i <= j) {
        std::swap(data[i], data[j]);
        std::swap(order[i], order[j]);
        i++, j--;
      }
    } while (i <= j);
    if (lo < j) quicksort(lo, j, ascending, order);
    if (i < hi) quicksort(i, hi, ascending, order);
  }
};

// Two strings are equal when they hold the same bytes; their shapes are not compared.
inline bool operator==(const tensor<char>& a, const tensor<char>& b)
{
  return a.numel == b.numel && (a.numel == 0 || std::memcmp(a.data, b.data, std::size_t(a.numel)) == 0);
}
inline bool operator!=(const tensor<char>& a, const tensor<char>& b) { return !(a == b); }

// Largest magnitude vyre3d accepts in its data files (coordinates, paths, poses):
// beyond any scene it draws, and far enough inside the float range that sums and
// products of such values stay finite.
constexpr double tensor_sane_limit = 1e6;

// True when every element is a finite number of magnitude below limit.
template <class T>
bool tensor_within(const tensor<T>& t, double limit = tensor_sane_limit)
{
  for (int k = 0; k < t.numel; k++)
    if (!(std::fabs(double(t.data[k])) < limit)) return false;
  return true;
}

// Whether anything (a file, a folder) is at path: a read that gave no tensor then
// met a file it could not take, not a missing one.
inline bool tensor_path_exists(const char* path)
{
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

// Permutation that orders at most 29 strings (bubble passes; a prefix compares equal).
inline tensor<int> str_order(const tensor<tensor<char>>& str)
{
  VY_CONTRACT(str.numel<30, "_util/tensor");
  tensor<int> order = tensor<int>::ramp(1, str.numel);
  for (bool swapped = true; swapped;) {
    swapped = false;
    for (int k = 1; k < str.numel; k++) {
      const tensor<char>&a = str.data[order.data[k - 1]], &b = str.data[order.data[k]];
      const int n = a.numel < b.numel ? a.numel : b.numel;
      if (n && std::memcmp(a.data, b.data, std::size_t(n)) > 0) {
        std::swap(order.data[k - 1], order.data[k]);
        swapped = true;
      }
    }
  }
  return order;
}

// ---- binary file form ------------------------------------------------------------------

namespace tensor_detail {

// Byte sources for the one tensor reader: a file (its size taken up front) or memory.
struct file_source {
  std::FILE* f;
  std::size_t left;
  bool take(void* dst, std::size_t n)
  {
    if (n > left || std::fread(dst, 1, n, f) != n) return false;
    left -= n;
    return true;
  }
};
struct memory_source {
  const unsigned char* p;
  std::size_t left;
  bool take(void* dst, std::size_t n)
  {
    if (n > left) return false;
    if (n) std::memcpy(dst, p, n);
    p += n, left -= n;
    return true;
  }
};

// Reads ndims, the sizes and the elements, trusting nothing: negative counts, an
// element count beyond int, or more bytes than the source holds reject the whole
// input and leave ret empty. Elements are read in the host's (little-endian) form.
template <class T, class Source>
bool read_tensor(tensor<T>& ret, Source& src)
{
  static_assert(std::is_trivial_v<T>, "tensor files hold plain elements");
  std::int32_t n;
  if (!src.take(&n, 4) || n < 0 || std::size_t(n) > src.left / 4) return false;
  int sizes_small[16];
  int* sizes = n <= 16 ? sizes_small : static_cast<int*>(std::malloc(sizeof(int) * std::size_t(n)));
  bool good = src.take(sizes, 4 * std::size_t(n));
  long long count = 1;
  for (int k = 0; good && k < n; k++) {
    good = sizes[k] >= 0;
    count *= sizes[k];
    if (count > INT_MAX) good = false;
  }
  good = good && std::size_t(count) <= src.left / sizeof(T);
  if (good) {
    ret.allocate(n, int(count));
    std::memcpy(ret.size, sizes, sizeof(int) * std::size_t(n));
    good = src.take(ret.data, sizeof(T) * std::size_t(count));
    if (!good) ret.release();
  }
  if (sizes != sizes_small) std::free(sizes);
  return good;
}

}  // namespace tensor_detail

template <class T>
tensor<T> tensor<T>::parse(const void* bytes, std::size_t len)
{
  tensor ret;
  tensor_detail::memory_source src{static_cast<const unsigned char*>(bytes), len};
  ok = tensor_detail::read_tensor(ret, src);
  return ret;
}

template <class T>
int tensor<T>::read(const char* filename)
{
  release();
  std::FILE* f = std::fopen(filename, "rb");
  ok = f != nullptr;
  if (!f) {
    if (tensor_verbose) std::printf("%s ->\t%s\n", filename, describe());
    return ok;
  }
  long len = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) len = std::ftell(f);
  std::rewind(f);
  tensor_detail::file_source src{f, len > 0 ? std::size_t(len) : 0};
  ok = tensor_detail::read_tensor(*this, src);
  std::fclose(f);
  // A file that is there but cannot be read as a tensor is always reported.
  if (!ok)
    std::printf("%s -> (error)\t%s\n", filename, describe());
  else
    std::printf("%s ->\t%s\n", filename, describe());
  return ok;
}

template <class T>
int tensor<T>::write(const char* filename) const
{
  static_assert(std::is_trivial_v<T>, "tensor files hold plain elements");
  std::FILE* f = std::fopen(filename, "wb");
  bool good = f != nullptr;
  if (f) {
    const std::int32_t n = ndims;
    good = std::fwrite(&n, 4, 1, f) == 1;
    if (good && ndims) good = std::fwrite(size, 4, std::size_t(ndims), f) == std::size_t(ndims);
    if (good && numel) good = std::fwrite(data, sizeof(T), std::size_t(numel), f) == std::size_t(numel);
    good = (std::fclose(f) == 0) && good;
  }
  return std::printf(good ? "%s <-\t%s\n" : "%s <- (error)\t%s\n", filename, describe());
}

template <class T>
const char* tensor<T>::describe() const
{
  tensor_detail::text_writer w{tensor_text, sizeof tensor_text};
  w.put("tensor<%i>([", int(sizeof(T)));
  for (int k = 0; k < ndims; k++) w.put("%ix", size[k]);
  if (ndims && w.pos > 0 && tensor_text[w.pos - 1] == 'x') w.pos--;  // "],n," replaces the last "x"
  w.put("],%i,", numel);
  if (data)
    w.put("%08x)", unsigned(reinterpret_cast<std::uintptr_t>(data)));  // low 32 bits of the address
  else
    w.put("null)");
  return tensor_text;
}

template <class T>
const char* tensor<T>::print(const char* fmt) const
{
  tensor_detail::text_writer w{tensor_text, sizeof tensor_text};
  tensor_text[0] = 0;
  if (!fmt || !data || !numel) return tensor_text;
  if (ndims > 4) VY_CONTRACT("sprintf of tensor with 4<ndims" && 0, "_util/tensor");
  // printf arguments: doubles as double, integers after the usual promotion
  auto arg = [](const T& x) {
    if constexpr (std::is_floating_point_v<T>)
      return double(x);
    else
      return +x;
  };
  // Elements below 1e-9 in magnitude print as a zero that is aligned on the decimal
  // point: the formatted zero with everything but "0." blanked.
  char zero[256];
  std::snprintf(zero, sizeof zero, fmt, arg(T(0)));
  if (zero[0])
    if (char* dot = std::strrchr(zero + 1, '.')) {
      std::memset(zero, ' ', std::strlen(zero));
      dot[-1] = '0';
      dot[0] = '.';
    }
  auto elem = [&](int j) {
    if (std::fabs(double(data[j])) < 1e-9)
      w.put("%s", zero);
    else
      w.put(fmt, arg(data[j]));
  };
  const int rows = ndims ? size[0] : 1, cols = ndims > 1 ? size[1] : 1;
  auto rows_of_layer = [&](int base, bool line_after_each) {
    for (int r = 0; r < rows; r++) {
      if (r && !line_after_each) w.put("\n");
      for (int c = 0; c < cols; c++) elem(base + r + c * rows);
      if (line_after_each) w.put("\n");
    }
  };
  if (ndims <= 1) {
    for (int j = 0; j < numel; j++) elem(j);
  } else if (ndims == 2) {
    rows_of_layer(0, false);
  } else {
    const int layers = size[2], blocks = ndims == 4 ? size[3] : 1, layer = rows * cols;
    for (int k = 0; k < blocks; k++)
      for (int l = 0; l < layers; l++) {
        if (ndims == 3)
          w.put(rows == 1 ? "{:,:,%i}" : "{:,:,%i}\n", l);
        else
          w.put(rows == 1 ? "{:,:,%i,%i}" : "{:,:,%i,%i}\n", l, k);
        rows_of_layer((k * layers + l) * layer, true);
      }
  }
  return tensor_text;
}

// The whole text of a file as characters without a terminating zero (numel 0 when
// the file cannot be opened).
inline tensor<char> read_text(const char* filename)
{
  tensor<char> ret;
  if (std::FILE* f = std::fopen(filename, "rt")) {
    long len = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) len = std::ftell(f);
    std::rewind(f);
    ret = tensor<char>(1, int(len > 0 && len < INT_MAX ? len : 0));
    if (ret.numel) (void)!std::fread(ret.data, 1, std::size_t(ret.numel), f);
    std::fclose(f);
  }
  std::printf("%s -> %s\n", filename, ret.describe());
  return ret;
}

#include "_util/tensor_math.h"
