// _util/collision_model: a tree of oriented bounding boxes over a rigid triangle set,
// and the query that lists which triangles of two placed sets intersect.
// Plain double arithmetic; builds on _util/contract.h and the C library only.
#pragma once
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include "_util/contract.h"

// Result codes of every entry point.
enum {
  COLL_OK = 0,
  COLL_MODEL_NO_MEMORY = 1,  // an allocation failed while adding triangles or building
  COLL_QUERY_NO_MEMORY = 2,  // the contact list could not grow during a query
  COLL_UNBUILT_MODEL = 3,    // a query was given a model that is not built
  COLL_OUT_OF_SEQUENCE = 4,  // triangles added to a built model, or begin_model twice
  COLL_EMPTY_MODEL = 5,      // end_model on a model with no triangles
  COLL_BAD_TRIANGLE = 6,     // add_triangle with a corner coordinate that is not finite
};

// Query modes (the flag of collide): any value but 2 reports all contacts.
enum { COLL_ALL_CONTACTS = 1, COLL_FIRST_CONTACT = 2 };

struct collision_triangle {
  int id;
  double p1[3], p2[3], p3[3];
};

// A tree node. R is row-major with column k the box's axis k; R and T are in model
// coordinates for the root and relative to the parent box for every other node.
struct collision_box {
  double R[3][3];
  double T[3];
  double d[3];  // half-extents along the axes
  collision_box* first;
  collision_box* second;
  collision_triangle* tri;  // leaves only
  bool leaf() const { return first == nullptr; }
};

// Area moments of a triangle set, used only while building. An accumulated
// first_moment is the area-weighted sum of the triangles' mean points.
struct collision_moment {
  double area;
  double first_moment[3];
  double second_moment[3][3];
};

struct collision_contact {
  int id1, id2;  // id1 from the first model of the query
};

// Model states.
enum { COLL_STATE_FRESH = 0, COLL_STATE_BEGUN = 1, COLL_STATE_BUILT = 3 };

struct collision_model {
  collision_box* boxes = nullptr;  // root at element 0
  int box_count = 0;               // allocated boxes (2n)
  collision_triangle* tris = nullptr;
  int tri_count = 0;
  int tri_capacity = 0;
  int state = COLL_STATE_FRESH;

  collision_model() = default;
  ~collision_model()
  {
    std::free(boxes);
    std::free(tris);
  }
  collision_model(const collision_model&) = delete;
  collision_model& operator=(const collision_model&) = delete;

  int begin_model();
  int add_triangle(const double* p1, const double* p2, const double* p3, int id);
  int end_model();
};

// Results of the last query, process-wide; valid until the next query.
inline collision_contact* contacts = nullptr;
inline int num_contacts = 0;
inline int contact_capacity = 0;
inline int num_box_tests = 0;
inline int num_tri_tests = 0;

// ---- small 3-vector and 3x3 helpers (row-major) ----

inline double coll_dot(const double a[3], const double b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline void coll_cross(double r[3], const double a[3], const double b[3])
{
  r[0] = a[1] * b[2] - a[2] * b[1];
  r[1] = a[2] * b[0] - a[0] * b[2];
  r[2] = a[0] * b[1] - a[1] * b[0];
}
inline void coll_sub(double r[3], const double a[3], const double b[3])
{
  for (int k = 0; k < 3; ++k) r[k] = a[k] - b[k];
}
// r = M·v
inline void coll_mul(double r[3], const double M[3][3], const double v[3])
{
  for (int i = 0; i < 3; ++i) r[i] = M[i][0] * v[0] + M[i][1] * v[1] + M[i][2] * v[2];
}
// r = Mᵀ·v
inline void coll_mul_t(double r[3], const double M[3][3], const double v[3])
{
  for (int i = 0; i < 3; ++i) r[i] = M[0][i] * v[0] + M[1][i] * v[1] + M[2][i] * v[2];
}
// R = A·B
inline void coll_mul(double R[3][3], const double A[3][3], const double B[3][3])
{
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) R[i][j] = A[i][0] * B[0][j] + A[i][1] * B[1][j] + A[i][2] * B[2][j];
}
// R = Aᵀ·B
inline void coll_mul_t(double R[3][3], const double A[3][3], const double B[3][3])
{
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) R[i][j] = A[0][i] * B[0][j] + A[1][i] * B[1][j] + A[2][i] * B[2][j];
}
// Normalises v in place; false (v unchanged) when it has no direction.
inline bool coll_normalize(double v[3])
{
  double n = std::sqrt(coll_dot(v, v));
  if (!(n > 0) || !std::isfinite(n)) return false;
  for (int k = 0; k < 3; ++k) v[k] /= n;
  return true;
}

// Doubles a growable array (to `first` elements when empty), copying the `count`
// used elements; false, with the array untouched, when memory is short or the
// size would overflow.
template <class T>
bool coll_grow(T*& items, int count, int& capacity, int first)
{
  if (capacity > INT_MAX / 2) return false;
  int grown_capacity = capacity ? 2 * capacity : first;
  if ((size_t)grown_capacity > SIZE_MAX / sizeof(T)) return false;
  T* grown = static_cast<T*>(std::malloc(sizeof(T) * (size_t)grown_capacity));
  if (!grown) return false;
  if (count) std::memcpy(grown, items, sizeof(T) * (size_t)count);
  std::free(items);
  items = grown;
  capacity = grown_capacity;
  return true;
}

// ---- eigen decomposition of a symmetric 3x3 matrix ----

// Cyclic Jacobi rotations. V receives the eigenvectors as columns, d the
// eigenvalues; returns the number of sweeps used. Gives up after 50 sweeps with a
// message and leaves V and d as they are then.
inline int collision_eigen(const double C[3][3], double V[3][3], double d[3])
{
  double a01 = C[0][1], a02 = C[0][2], a12 = C[1][2];
  double* off[3] = {&a01, &a02, &a12};  // off-diagonal element of pair (0,1), (0,2), (1,2)
  const int P[3] = {0, 0, 1}, Q[3] = {1, 2, 2};
  double* other[3][2] = {{&a02, &a12}, {&a01, &a12}, {&a01, &a02}};  // the two elements a pair's rotation mixes
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) V[r][c] = r == c ? 1.0 : 0.0;
  double b[3];  // diagonal at the start of the sweep
  for (int k = 0; k < 3; ++k) d[k] = b[k] = C[k][k];

  for (int i = 0;; ++i) {
    if (i > 49) {
      std::fprintf(stderr, "eigen: too many iterations in Jacobi transform (%d).\n", i);
      return i;
    }
    double sm = std::fabs(a01) + std::fabs(a02) + std::fabs(a12);
    if (sm == 0) return i;
    double thresh = i < 3 ? 0.2 * sm / 9 : 0.0;
    double z[3] = {0, 0, 0};  // corrections collected over the sweep
    for (int k = 0; k < 3; ++k) {
      int p = P[k], q = Q[k];
      double& apq = *off[k];
      double g = 100.0 * std::fabs(apq);
      if (i > 3 && std::fabs(d[p]) + g == std::fabs(d[p]) && std::fabs(d[q]) + g == std::fabs(d[q])) {
        apq = 0;
      } else if (std::fabs(apq) > thresh) {
        double h = d[q] - d[p], t;
        if (std::fabs(h) + g == std::fabs(h)) {
          t = apq / h;
        } else {
          double theta = h / (2.0 * apq);
          t = 1.0 / (std::fabs(theta) + std::sqrt(1.0 + theta * theta));
          if (theta < 0) t = -t;
        }
        double c = 1.0 / std::sqrt(1.0 + t * t), s = t * c, tau = s / (1.0 + c);
        double hh = t * apq;
        z[p] -= hh;
        z[q] += hh;
        d[p] -= hh;
        d[q] += hh;
        apq = 0;
        double u = *other[k][0], w = *other[k][1];
        *other[k][0] = u - s * (w + tau * u);
        *other[k][1] = w + s * (u - tau * w);
        for (int r = 0; r < 3; ++r) {
          double vp = V[r][p], vq = V[r][q];
          V[r][p] = vp - s * (vq + tau * vp);
          V[r][q] = vq + s * (vp - tau * vq);
        }
      }
    }
    for (int k = 0; k < 3; ++k) d[k] = b[k] += z[k];
  }
}

// As collision_eigen, then the eigenvector of the largest eigenvalue is swapped
// into column 0 (the third column stays where it is).
inline int collision_eigen_sorted(const double C[3][3], double V[3][3])
{
  double d[3];
  int sweeps = collision_eigen(C, V, d);
  int big = (d[0] >= d[2] && d[0] > d[1]) ? 0 : (d[2] > d[0] && d[2] > d[1]) ? 2 : 1;
  if (big != 0)
    for (int r = 0; r < 3; ++r) {
      double t = V[r][0];
      V[r][0] = V[r][big];
      V[r][big] = t;
    }
  return sweeps;
}

// ---- moments ----

inline void collision_moment_clear(collision_moment& m) { std::memset(&m, 0, sizeof m); }

// Area, mean point and second moment of one triangle. A triangle without area
// keeps the plain sum of its corner products.
inline void collision_moment_of(collision_moment& m, const collision_triangle& t)
{
  double e1[3], e2[3], n[3];
  coll_sub(e1, t.p2, t.p1);
  coll_sub(e2, t.p3, t.p1);
  coll_cross(n, e1, e2);
  m.area = 0.5 * std::sqrt(coll_dot(n, n));
  for (int i = 0; i < 3; ++i) m.first_moment[i] = (t.p1[i] + t.p2[i] + t.p3[i]) / 3.0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double corners = t.p1[i] * t.p1[j] + t.p2[i] * t.p2[j] + t.p3[i] * t.p3[j];
      m.second_moment[i][j] =
          m.area != 0 ? m.area * (9.0 * m.first_moment[i] * m.first_moment[j] + corners) / 12.0 : corners;
    }
}

inline void collision_moment_add(collision_moment& a, const collision_moment& b)
{
  a.area += b.area;
  for (int i = 0; i < 3; ++i) {
    a.first_moment[i] += b.area * b.first_moment[i];
    for (int j = 0; j < 3; ++j) a.second_moment[i][j] += b.second_moment[i][j];
  }
}

inline void collision_covariance(double C[3][3], const collision_moment& M)
{
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) C[i][j] = M.second_moment[i][j] - M.first_moment[i] * M.first_moment[j] / M.area;
}

// ---- build ----

struct collision_build {
  collision_model* model;
  collision_moment* moments;  // per triangle
  int next_box;               // next free box of the array
};

// Box axes and extent over the corners of the triangles t[0..k) projected onto R's
// columns; the centre goes to T (model coordinates).
inline void collision_fit(collision_box& B, const collision_triangle* tris, const int* t, int k)
{
  double lo[3], hi[3];
  for (int n = 0; n < k; ++n) {
    const double* corner[3] = {tris[t[n]].p1, tris[t[n]].p2, tris[t[n]].p3};
    for (int c = 0; c < 3; ++c) {
      double p[3];
      coll_mul_t(p, B.R, corner[c]);
      for (int a = 0; a < 3; ++a) {
        if (n == 0 && c == 0) lo[a] = hi[a] = p[a];
        lo[a] = p[a] < lo[a] ? p[a] : lo[a];
        hi[a] = p[a] > hi[a] ? p[a] : hi[a];
      }
    }
  }
  double c[3];
  for (int a = 0; a < 3; ++a) {
    c[a] = (lo[a] + hi[a]) / 2;
    B.d[a] = (hi[a] - lo[a]) / 2;
  }
  coll_mul(B.T, B.R, c);
}

// A leaf over one triangle: axis 0 along the longest edge, axis 2 along the normal.
// A triangle without a longest edge or a normal still gets an orthonormal frame,
// so no NaN enters the tree.
inline void collision_make_leaf(collision_box& B, collision_triangle* tri)
{
  double e12[3], e23[3], e31[3];
  coll_sub(e12, tri->p1, tri->p2);
  coll_sub(e23, tri->p2, tri->p3);
  coll_sub(e31, tri->p3, tri->p1);
  double L12 = coll_dot(e12, e12), L23 = coll_dot(e23, e23), L31 = coll_dot(e31, e31);
  const double* e = L12 > L23 ? (L12 > L31 ? e12 : e31) : (L23 > L31 ? e23 : e31);
  double a0[3] = {e[0], e[1], e[2]}, a1[3], a2[3];
  if (!coll_normalize(a0)) a0[0] = 1, a0[1] = 0, a0[2] = 0;
  coll_cross(a2, e12, e23);
  if (!coll_normalize(a2)) {
    // Collinear or coincident corners: any direction across axis 0 will do.
    double helper[3] = {0, 0, 0};
    helper[std::fabs(a0[0]) < 0.6 ? 0 : 1] = 1;
    coll_cross(a2, a0, helper);
    coll_normalize(a2);
  }
  coll_cross(a1, a2, a0);
  for (int r = 0; r < 3; ++r) B.R[r][0] = a0[r], B.R[r][1] = a1[r], B.R[r][2] = a2[r];
  int self = 0;
  collision_fit(B, tri, &self, 1);
  B.first = B.second = nullptr;
  B.tri = tri;
}

// Axes of a child box over a moment: the sorted eigenvectors of its covariance,
// or the identity when the decomposition did not settle.
inline void collision_child_axes(collision_box& B, const collision_moment& M)
{
  double C[3][3];
  collision_covariance(C, M);
  if (collision_eigen_sorted(C, B.R) > 30)
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) B.R[r][c] = r == c ? 1.0 : 0.0;
  for (int a = 0; a < 3; ++a) B.T[a] = M.first_moment[a] / M.area;
}

inline void collision_split(collision_build& b, collision_box& B, int* t, int k);

// Builds the child over t[0..k) with moment M, then expresses it in its parent's frame.
inline void collision_child(collision_build& b, const collision_box& parent, collision_box& C,
                            const collision_moment& M, int* t, int k)
{
  if (k > 1) {
    collision_child_axes(C, M);
    collision_split(b, C, t, k);
  } else {
    collision_make_leaf(C, &b.model->tris[t[0]]);
  }
  double R[3][3], D[3], T[3];
  coll_mul_t(R, parent.R, C.R);
  std::memcpy(C.R, R, sizeof R);
  coll_sub(D, C.T, parent.T);
  coll_mul_t(T, parent.R, D);
  std::memcpy(C.T, T, sizeof T);
}

// Splits box B (axes and mean point set, model coordinates) over t[0..k) by the
// plane through the mean point across its main axis.
inline void collision_split(collision_build& b, collision_box& B, int* t, int k)
{
  if (k == 1) {
    collision_make_leaf(B, &b.model->tris[t[0]]);
    return;
  }
  double axis0[3] = {B.R[0][0], B.R[1][0], B.R[2][0]};
  double a = coll_dot(axis0, B.T);
  collision_moment M1, M2;
  collision_moment_clear(M1);
  collision_moment_clear(M2);
  int k1 = 0;
  for (int n = 0; n < k; ++n) {
    const collision_moment& m = b.moments[t[n]];
    bool low = k == 2 ? n == 0 : coll_dot(m.first_moment, axis0) < a;
    if (low) {
      int s = t[k1];
      t[k1++] = t[n];
      t[n] = s;
      collision_moment_add(M1, m);
    } else {
      collision_moment_add(M2, m);
    }
  }
  if (k1 == 0 || k1 == k) {
    k1 = k / 2;
    collision_moment_clear(M1);
    collision_moment_clear(M2);
    for (int n = 0; n < k; ++n) collision_moment_add(n < k1 ? M1 : M2, b.moments[t[n]]);
  }
  collision_fit(B, b.model->tris, t, k);
  B.tri = nullptr;
  B.first = &b.model->boxes[b.next_box++];
  B.second = &b.model->boxes[b.next_box++];
  collision_child(b, B, *B.first, M1, t, k1);
  collision_child(b, B, *B.second, M2, t + k1, k - k1);
}

inline int collision_model::begin_model()
{
  int previous = state;
  std::free(boxes);
  std::free(tris);
  boxes = nullptr;
  tris = nullptr;
  box_count = tri_count = tri_capacity = 0;
  state = COLL_STATE_BEGUN;
  return previous == COLL_STATE_BEGUN ? COLL_OUT_OF_SEQUENCE : COLL_OK;
}

inline int collision_model::add_triangle(const double* p1, const double* p2, const double* p3, int id)
{
  VY_CONTRACT(p1&&p2&&p3, "_util/collision_model");
  if (state == COLL_STATE_BUILT) return COLL_OUT_OF_SEQUENCE;
  for (int k = 0; k < 3; ++k)
    if (!std::isfinite(p1[k]) || !std::isfinite(p2[k]) || !std::isfinite(p3[k])) return COLL_BAD_TRIANGLE;
  if (tri_count == tri_capacity && !coll_grow(tris, tri_count, tri_capacity, 1)) return COLL_MODEL_NO_MEMORY;
  collision_triangle& t = tris[tri_count++];
  t.id = id;
  std::memcpy(t.p1, p1, sizeof t.p1);
  std::memcpy(t.p2, p2, sizeof t.p2);
  std::memcpy(t.p3, p3, sizeof t.p3);
  return COLL_OK;
}

inline int collision_model::end_model()
{
  if (tri_count == 0) return COLL_EMPTY_MODEL;
  int n = tri_count;
  auto* new_boxes = static_cast<collision_box*>(std::calloc(2 * (size_t)n, sizeof(collision_box)));
  auto* moments = static_cast<collision_moment*>(std::calloc((size_t)n, sizeof(collision_moment)));
  auto* order = static_cast<int*>(std::calloc((size_t)n, sizeof(int)));
  if (!new_boxes || !moments || !order) {
    std::free(new_boxes);
    std::free(moments);
    std::free(order);
    return COLL_MODEL_NO_MEMORY;
  }
  // A rebuild of a built model replaces its tree.
  std::free(boxes);
  boxes = new_boxes;
  box_count = 2 * n;

  bool zero_area = false;
  double smallest = 0;
  for (int k = 0; k < n; ++k) {
    order[k] = k;
    collision_moment_of(moments[k], tris[k]);
    double A = moments[k].area;
    if (A == 0)
      zero_area = true;
    else if (smallest == 0 || A < smallest)
      smallest = A;
  }
  if (zero_area) {
    std::fprintf(stderr, "----\n");
    std::fprintf(stderr, "Warning!  Some triangles have zero area!\n");
    std::fprintf(stderr, "----\n");
    for (int k = 0; k < n; ++k)
      if (moments[k].area == 0) moments[k].area = smallest != 0 ? smallest : 1.0;
  }
  collision_moment all;
  collision_moment_clear(all);
  for (int k = 0; k < n; ++k) collision_moment_add(all, moments[k]);
  collision_box& root = boxes[0];
  double C[3][3];
  collision_covariance(C, all);
  collision_eigen_sorted(C, root.R);
  for (int a = 0; a < 3; ++a) root.T[a] = all.first_moment[a] / all.area;

  collision_build b{this, moments, 1};
  collision_split(b, root, order, n);
  std::free(moments);
  std::free(order);
  state = COLL_STATE_BUILT;
  return COLL_OK;
}

// ---- overlap tests ----

// Separating-axis test of two boxes: B and T give box 2's axes and centre in box
// 1's frame, a and b the half-extents (b already scaled). Returns the number of
// the first axis that separates them, or 0 when they overlap. The 1e-6 added to
// every |B(i,j)| keeps nearly parallel edge pairs from producing false separations.
inline int collision_box_disjoint(const double B[3][3], const double T[3], const double a[3], const double b[3])
{
  double Bf[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) Bf[i][j] = std::fabs(B[i][j]) + 1e-6;
  using std::fabs;
  if (fabs(T[0]) > a[0] + b[0] * Bf[0][0] + b[1] * Bf[0][1] + b[2] * Bf[0][2]) return 1;
  if (fabs(T[0] * B[0][0] + T[1] * B[1][0] + T[2] * B[2][0]) >
      b[0] + a[0] * Bf[0][0] + a[1] * Bf[1][0] + a[2] * Bf[2][0])
    return 2;
  if (fabs(T[1]) > a[1] + b[0] * Bf[1][0] + b[1] * Bf[1][1] + b[2] * Bf[1][2]) return 3;
  if (fabs(T[2]) > a[2] + b[0] * Bf[2][0] + b[1] * Bf[2][1] + b[2] * Bf[2][2]) return 4;
  if (fabs(T[0] * B[0][1] + T[1] * B[1][1] + T[2] * B[2][1]) >
      b[1] + a[0] * Bf[0][1] + a[1] * Bf[1][1] + a[2] * Bf[2][1])
    return 5;
  if (fabs(T[0] * B[0][2] + T[1] * B[1][2] + T[2] * B[2][2]) >
      b[2] + a[0] * Bf[0][2] + a[1] * Bf[1][2] + a[2] * Bf[2][2])
    return 6;
  if (fabs(T[2] * B[1][0] - T[1] * B[2][0]) > a[1] * Bf[2][0] + a[2] * Bf[1][0] + b[1] * Bf[0][2] + b[2] * Bf[0][1])
    return 7;
  if (fabs(T[2] * B[1][1] - T[1] * B[2][1]) > a[1] * Bf[2][1] + a[2] * Bf[1][1] + b[0] * Bf[0][2] + b[2] * Bf[0][0])
    return 8;
  if (fabs(T[2] * B[1][2] - T[1] * B[2][2]) > a[1] * Bf[2][2] + a[2] * Bf[1][2] + b[0] * Bf[0][1] + b[1] * Bf[0][0])
    return 9;
  if (fabs(T[0] * B[2][0] - T[2] * B[0][0]) > a[0] * Bf[2][0] + a[2] * Bf[0][0] + b[1] * Bf[1][2] + b[2] * Bf[1][1])
    return 10;
  if (fabs(T[0] * B[2][1] - T[2] * B[0][1]) > a[0] * Bf[2][1] + a[2] * Bf[0][1] + b[0] * Bf[1][2] + b[2] * Bf[1][0])
    return 11;
  if (fabs(T[0] * B[2][2] - T[2] * B[0][2]) > a[0] * Bf[2][2] + a[2] * Bf[0][2] + b[0] * Bf[1][1] + b[1] * Bf[1][0])
    return 12;
  if (fabs(T[1] * B[0][0] - T[0] * B[1][0]) > a[0] * Bf[1][0] + a[1] * Bf[0][0] + b[1] * Bf[2][2] + b[2] * Bf[2][1])
    return 13;
  if (fabs(T[1] * B[0][1] - T[0] * B[1][1]) > a[0] * Bf[1][1] + a[1] * Bf[0][1] + b[0] * Bf[2][2] + b[2] * Bf[2][0])
    return 14;
  if (fabs(T[1] * B[0][2] - T[0] * B[1][2]) > a[0] * Bf[1][2] + a[1] * Bf[0][2] + b[0] * Bf[2][1] + b[1] * Bf[2][0])
    return 15;
  return 0;
}

// True when the two triangles share a point (touching counts). Separating-axis
// test over the two normals, the nine edge-pair directions and the six in-plane
// edge normals (which decide the coplanar case), on coordinates relative to P1.
inline bool collision_tri_contact(const double P1[3], const double P2[3], const double P3[3], const double Q1[3],
                                  const double Q2[3], const double Q3[3])
{
  double p[3][3] = {{0, 0, 0}}, q[3][3];
  coll_sub(p[1], P2, P1);
  coll_sub(p[2], P3, P1);
  coll_sub(q[0], Q1, P1);
  coll_sub(q[1], Q2, P1);
  coll_sub(q[2], Q3, P1);
  double e[3][3], f[3][3], n[3], m[3];
  for (int k = 0; k < 3; ++k) {
    coll_sub(e[k], p[(k + 1) % 3], p[k]);
    coll_sub(f[k], q[(k + 1) % 3], q[k]);
  }
  coll_cross(n, e[0], e[1]);
  coll_cross(m, f[0], f[1]);
  auto separates = [&](const double axis[3]) {
    double pmin = coll_dot(axis, p[0]), pmax = pmin, qmin = coll_dot(axis, q[0]), qmax = qmin;
    for (int k = 1; k < 3; ++k) {
      double v = coll_dot(axis, p[k]), w = coll_dot(axis, q[k]);
      pmin = v < pmin ? v : pmin;
      pmax = v > pmax ? v : pmax;
      qmin = w < qmin ? w : qmin;
      qmax = w > qmax ? w : qmax;
    }
    return pmin > qmax || qmin > pmax;
  };
  if (separates(n) || separates(m)) return false;
  double axis[3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      coll_cross(axis, e[i], f[j]);
      if (separates(axis)) return false;
    }
  for (int i = 0; i < 3; ++i) {
    coll_cross(axis, e[i], n);
    if (separates(axis)) return false;
  }
  for (int i = 0; i < 3; ++i) {
    coll_cross(axis, f[i], m);
    if (separates(axis)) return false;
  }
  return true;
}

// ---- query ----

// Transform of model 1's coordinates into model 2's, and the mode, of one query.
struct collision_query {
  double mR[3][3], mT[3], ms;
  bool first_only;
};

inline int collision_add_contact(int id1, int id2)
{
  if (num_contacts == contact_capacity && !coll_grow(contacts, num_contacts, contact_capacity, 10))
    return COLL_QUERY_NO_MEMORY;
  contacts[num_contacts++] = {id1, id2};
  return COLL_OK;
}

// Walks box b1 of model 1 against box b2 of model 2; R, T place b2 in b1's frame
// (model 1 units) and s is the scale of model 2 relative to model 1.
inline int collision_descend(const collision_query& q, const collision_box* b1, const collision_box* b2,
                             const double R[3][3], const double T[3], double s)
{
  if (q.first_only && num_contacts > 0) return COLL_OK;
  ++num_box_tests;
  double d2[3] = {s * b2->d[0], s * b2->d[1], s * b2->d[2]};
  if (collision_box_disjoint(R, T, b1->d, d2)) return COLL_OK;

  if (b1->leaf() && b2->leaf()) {
    const collision_triangle& t1 = *b1->tri;
    const collision_triangle& t2 = *b2->tri;
    double p[3][3];
    const double* src[3] = {t1.p1, t1.p2, t1.p3};
    for (int c = 0; c < 3; ++c) {
      coll_mul(p[c], q.mR, src[c]);
      for (int k = 0; k < 3; ++k) p[c][k] = q.ms * p[c][k] + q.mT[k];
    }
    ++num_tri_tests;
    if (collision_tri_contact(p[0], p[1], p[2], t2.p1, t2.p2, t2.p3)) return collision_add_contact(t1.id, t2.id);
    return COLL_OK;
  }

  double cR[3][3], cT[3], D[3];
  if (b2->leaf() || (!b1->leaf() && b1->d[0] > b2->d[0])) {
    const collision_box* kids[2] = {b1->second, b1->first};
    for (const collision_box* C : kids) {
      coll_mul_t(cR, C->R, R);
      coll_sub(D, T, C->T);
      coll_mul_t(cT, C->R, D);
      if (int code = collision_descend(q, C, b2, cR, cT, s)) return code;
    }
  } else {
    const collision_box* kids[2] = {b2->second, b2->first};
    for (const collision_box* C : kids) {
      coll_mul(cR, R, C->R);
      coll_mul(D, R, C->T);
      for (int k = 0; k < 3; ++k) cT[k] = s * D[k] + T[k];
      if (int code = collision_descend(q, b1, C, cR, cT, s)) return code;
    }
  }
  return COLL_OK;
}

// Lists in contacts every pair (triangle of model1, triangle of model2) that
// intersects when a point x of model k lies at s_k·R_k·x + T_k in the world
// (R row-major). flag COLL_FIRST_CONTACT stops at the first pair found.
inline int collide(const double R1[3][3], const double T1[3], double s1, const collision_model* model1,
                   const double R2[3][3], const double T2[3], double s2, const collision_model* model2, int flag)
{
  VY_CONTRACT(model1&&model2, "_util/collision_model");
  VY_CONTRACT(s1>0&&s2>0, "_util/collision_model");
  if (model1->state != COLL_STATE_BUILT || model2->state != COLL_STATE_BUILT) return COLL_UNBUILT_MODEL;
  const collision_box& root1 = model1->boxes[0];
  const collision_box& root2 = model2->boxes[0];

  double W1[3][3], W2[3][3], U1[3], U2[3], v[3];
  coll_mul(W1, R1, root1.R);
  coll_mul(W2, R2, root2.R);
  coll_mul(v, R1, root1.T);
  for (int k = 0; k < 3; ++k) U1[k] = s1 * v[k] + T1[k];
  coll_mul(v, R2, root2.T);
  for (int k = 0; k < 3; ++k) U2[k] = s2 * v[k] + T2[k];

  double R[3][3], T[3], D[3];
  coll_mul_t(R, W1, W2);
  coll_sub(D, U2, U1);
  coll_mul_t(T, W1, D);
  for (int k = 0; k < 3; ++k) T[k] /= s1;

  collision_query q;
  coll_mul_t(q.mR, R2, R1);
  coll_sub(D, T1, T2);
  coll_mul_t(q.mT, R2, D);
  for (int k = 0; k < 3; ++k) q.mT[k] /= s2;
  q.ms = s1 / s2;
  q.first_only = flag == COLL_FIRST_CONTACT;

  num_box_tests = num_tri_tests = num_contacts = 0;
  return collision_descend(q, &root1, &root2, R, T, s2 / s1);
}

// The same with both scales 1.
inline int collide(const double R1[3][3], const double T1[3], const collision_model* model1, const double R2[3][3],
                   const double T2[3], const collision_model* model2, int flag)
{
  return collide(R1, T1, 1.0, model1, R2, T2, 1.0, model2, flag);
}
