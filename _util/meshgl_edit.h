// _util/meshgl_edit: editing operations on a renderable mesh: removing the
// elements at a vertex, compacting, merging and snapping vertices, mirroring a half
// model and cutting a surface at the plane z = 0. Builds on meshgl, hash and timer.
#pragma once
#include <cmath>
#include <cstdio>
#include "_util/contract.h"
#include "_util/hash.h"
#include "_util/meshgl.h"
#include "_util/tensor.h"
#include "_util/timer.h"

namespace meshgl_edit_detail {

inline int vertex_count(const meshgl& m) { return m.arr.ndims == 2 ? m.arr.size[1] : 0; }
inline int record_size(const meshgl& m) { return m.arr.ndims == 2 ? m.arr.size[0] : 0; }

inline const float* position(const meshgl& m, int v) { return m.arr.data + (size_t)v * m.arr.size[0] + m.vtx_offset(); }

inline float distance(const meshgl& m, int a, int b)
{
  const float* p = position(m, a);
  const float* q = position(m, b);
  float dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Every element entry must name a vertex of the array before positions are read or
// columns are selected through it; element lists come from files unchecked.
inline void check_elements(const meshgl& m)
{
  int n = vertex_count(m);
  for (int k = 0; k < MESH_KINDS; k++)
    for (int c0 = 0; c0 < m.ind[k].numel; c0++) {
      int e = m.ind[k].data[c0];
      VY_CONTRACT(0<=e&&e<n, "_util/meshgl_edit");
    }
}

// Replaces every element entry e by map[e].
inline void renumber(meshgl& m, const tensor<int>& map)
{
  for (int k = 0; k < MESH_KINDS; k++)
    for (int c0 = 0; c0 < m.ind[k].numel; c0++) m.ind[k].data[c0] = map.data[m.ind[k].data[c0]];
}

inline tensor<int> identity_map(int n)
{
  tensor<int> map(1, n);
  for (int c0 = 0; c0 < n; c0++) map.data[c0] = c0;
  return map;
}

}  // namespace meshgl_edit_detail

// Removes every element, of every kind, that has v among its corners; the others
// keep their order and the vertex array is left alone.
inline void remove_vertex(meshgl& m, int v)
{
  using namespace meshgl_edit_detail;
  for (int k = 0; k < MESH_KINDS; k++) {
    tensor<int>& list = m.ind[k];
    int w = list.size[0], kept = 0, count = w ? list.numel / w : 0;
    for (int e = 0; e < count; e++) {
      bool hit = false;
      for (int c = 0; c < w; c++) hit = hit || list.data[e * w + c] == v;
      if (!hit) {
        for (int c = 0; c < w; c++) list.data[kept * w + c] = list.data[e * w + c];
        kept++;
      }
    }
    tensor<int> shorter(2, w, kept);
    shorter.set(0, list.data, kept * w);
    list = shorter;
  }
}

// The sorted distinct vertex numbers that occur in any element list.
inline tensor<int> used_vertices(const meshgl& m)
{
  using namespace meshgl_edit_detail;
  int total = 0;
  for (int k = 0; k < MESH_KINDS; k++) total += m.ind[k].numel;
  tensor<int> all(1, total);
  total = 0;
  for (int k = 0; k < MESH_KINDS; k++) {
    all.set(total, m.ind[k].data, m.ind[k].numel);
    total += m.ind[k].numel;
  }
  return all.unique();
}

// Keeps only the used vertices, in ascending order of their old numbers, and
// renumbers the element lists to match.
inline meshgl compact(const meshgl& m)
{
  using namespace meshgl_edit_detail;
  check_elements(m);
  tensor<int> used = used_vertices(m);
  int stride = record_size(m);
  meshgl ret(m);
  ret.arr = tensor<float>(2, stride, used.numel);
  tensor<int> map(1, vertex_count(m));
  for (int c0 = 0; c0 < used.numel; c0++) {
    ret.arr.set(c0 * stride, m.arr.data + (size_t)used.data[c0] * stride, stride);
    map.data[used.data[c0]] = c0;
  }
  renumber(ret, map);
  return ret;
}

// Sends every vertex closer than tol to an earlier unmerged vertex to that vertex
// (all pairs compared; one progress character per vertex but the last: "." for a
// vertex that stays, "x" for one already merged). The vertex array keeps all vertices.
inline meshgl merge(const meshgl& m, double tol)
{
  using namespace meshgl_edit_detail;
  check_elements(m);
  int n = vertex_count(m);
  tensor<int> map = identity_map(n);
  for (int e = 0; e < n - 1; e++) {
    if (map.data[e] != e) {
      std::printf("x");
      continue;
    }
    std::printf(".");
    for (int g = e + 1; g < n; g++)
      if (distance(m, e, g) < tol) map.data[g] = e;
  }
  std::printf("\n");
  meshgl ret(m);
  renumber(ret, map);
  return ret;
}

// Replaces every vertex closer than tol to a listed vertex by that listed vertex,
// in all element lists; of several listed matches the last wins.
inline meshgl snap(const meshgl& m, const tensor<int>& list, double tol)
{
  using namespace meshgl_edit_detail;
  check_elements(m);
  int n = vertex_count(m);
  for (int c0 = 0; c0 < list.numel; c0++) {
    int e = list.data[c0];
    VY_CONTRACT(0<=e&&e<n, "_util/meshgl_edit");
  }
  tensor<int> map = identity_map(n);
  for (int v = 0; v < n; v++)
    for (int c0 = 0; c0 < list.numel; c0++)
      if (distance(m, v, list.data[c0]) < tol) map.data[v] = list.data[c0];
  meshgl ret(m);
  renumber(ret, map);
  return ret;
}

// Joins a half model with its mirror image in the plane y = 0. The seam vertices
// are moved onto the plane and shared by both halves; every mirrored element is
// wound the other way round so that both halves face outwards.
inline meshgl mirror(const meshgl& m, const tensor<int>& seam)
{
  using namespace meshgl_edit_detail;
  check_elements(m);
  int n = vertex_count(m);
  for (int c0 = 0; c0 < seam.numel; c0++) {
    int e = seam.data[c0];
    VY_CONTRACT(0<=e&&e<n, "_util/meshgl_edit");
  }
  int stride = record_size(m);
  int y = m.vtx_offset() + 1;
  // A mirrored surface needs mirrored normals, or the copy is lit as if it faced
  // the other way along y.
  const meshgl_layout* layout = meshgl_find_format(m.format);
  int ny = layout && layout->nrm >= 0 ? layout->nrm + 1 : -1;

  meshgl ret(m);
  ret.arr = m.arr.concat(m.arr);
  tensor<int> map(1, n);
  for (int v = 0; v < n; v++) {
    ret.arr.data[(size_t)(v + n) * stride + y] *= -1;
    if (ny >= 0) ret.arr.data[(size_t)(v + n) * stride + ny] *= -1;
    map.data[v] = v + n;
  }
  for (int c0 = 0; c0 < seam.numel; c0++) {
    int s = seam.data[c0];
    ret.arr.data[(size_t)s * stride + y] = 0;
    map.data[s] = s;
  }
  for (int k = 0; k < MESH_KINDS; k++) {
    const tensor<int>& list = m.ind[k];
    int w = list.size[0], count = w ? list.numel / w : 0;
    tensor<int> copy(2, w, count);
    for (int e = 0; e < count; e++)
      for (int c = 0; c < w; c++) {
        int from = k == MESH_QUAD ? (4 - c) % 4 : w - 1 - c;  // quads: 0, 3, 2, 1
        copy.data[e * w + c] = map.data[list.data[e * w + from]];
      }
    ret.ind[k] = list.concat(copy);
  }
  return compact(ret);
}

// The part of a triangle and quad surface below the plane z = 0. Triangles that
// straddle the plane are split at their crossing edges; the result holds the kept
// and split triangles and, as edges, the rim segments along the plane.
//
// A height of exactly 0 counts as above the plane, and a crossing that ends in such
// a vertex is that vertex itself. So triangles touching the plane from below are
// kept whole, a vertex on the plane joins the rim without a copy, and a mesh whose
// vertices lie on the plane still gets a closed rim. Crossing vertices are keyed by
// the undirected edge and interpolated from its lower-numbered end, so the two
// triangles along an edge share one bit-identical vertex.
inline meshgl cut(const meshgl& m)
{
  using namespace meshgl_edit_detail;
  timer* t1 = timer_start("meshgl::cut1");
  int n = vertex_count(m);
  int stride = record_size(m);
  bool any_below = false;
  for (int v = 0; v < n && !any_below; v++) any_below = !(position(m, v)[2] > 0);
  t1->stop();
  if (!any_below) return meshgl();

  timer* t2 = timer_start("meshgl::cut2");
  // Edge keys hold two 16-bit vertex numbers.
  const tensor<float>& arr = m.arr;
  VY_CONTRACT(arr.size[1]<0x10000, "_util/meshgl_edit");
  check_elements(m);
  int ntri = m.ind[MESH_TRIA].numel / 3, nquad = m.ind[MESH_QUAD].numel / 4;
  hash<unsigned int, int> edges(ntri / 2 + nquad);
  // Worst-case sizes: two triangles and two new vertices per source triangle.
  int total = ntri + 2 * nquad;
  tensor<float> added(2, stride, 2 * total);
  tensor<int> segments(2, 2, total), triangles(2, 3, 2 * total);
  int nadded = 0, nseg = 0, ntris = 0;

  auto emit = [&](int a, int b, int c) {
    int* t = triangles.data + 3 * ntris++;
    t[0] = a, t[1] = b, t[2] = c;
  };
  // The vertex where the edge (a, b) crosses the plane; a and b lie on opposite sides.
  auto crossing = [&](int a, int b) {
    float za = position(m, a)[2], zb = position(m, b)[2];
    if (za == 0) return a;
    if (zb == 0) return b;
    if (b < a) std::swap(a, b), std::swap(za, zb);
    unsigned key = (unsigned)a * 65536u + (unsigned)b;
    int number;
    if (edges.lookup(key, number)) return number;
    number = n + nadded;
    float t = za / (zb - za);
    const float* ra = m.arr.data + (size_t)a * stride;
    const float* rb = m.arr.data + (size_t)b * stride;
    float* r = added.data + (size_t)nadded++ * stride;
    for (int c = 0; c < stride; c++) r[c] = ra[c] + (ra[c] - rb[c]) * t;
    edges.assign(key, number);
    return number;
  };
  auto triangle = [&](int v0, int v1, int v2) {
    int v[3] = {v0, v1, v2};
    float z[3];
    int below = 0;
    for (int c = 0; c < 3; c++) {
      z[c] = position(m, v[c])[2];
      below += z[c] < 0;
    }
    if (below == 3) emit(v0, v1, v2);
    if (below == 0 || below == 3) return;
    int mnd = 0;
    while (mnd < 3 && !(z[mnd] < 0 && !(z[(mnd + 1) % 3] < 0))) mnd++;
    VY_CONTRACT(mnd<3, "_util/meshgl_edit");
    int k = mnd, cnt = 0, c[2] = {0, 0};
    for (int j = k; j < k + 3; j++) {
      int a = j % 3, b = (j + 1) % 3;
      if ((z[a] < 0) != (z[b] < 0)) {
        int x = crossing(v[a], v[b]);
        if (cnt < 2) c[cnt] = x;
        cnt++;
      }
    }
    VY_CONTRACT(cnt==2, "_util/meshgl_edit");
    // Both crossings are the same on-plane vertex when the triangle only touches
    // the plane there: no rim segment and no sliver.
    if (c[0] != c[1]) {
      int* s = segments.data + 2 * nseg++;
      s[0] = c[0], s[1] = c[1];
      emit(v[k], c[0], c[1]);
    }
    if (z[(k + 2) % 3] < 0) emit(v[k], c[1], v[(k + 2) % 3]);
  };

  m.for_each_triangle(triangle);

  meshgl ret;
  ret.format = m.format;
  ret.arr = tensor<float>(2, stride, n + nadded);
  ret.arr.set(0, m.arr.data, n * stride);
  ret.arr.set(n * stride, added.data, nadded * stride);
  ret.ind[MESH_EDGE] = tensor<int>(2, 2, nseg);
  ret.ind[MESH_EDGE].set(0, segments.data, 2 * nseg);
  ret.ind[MESH_TRIA] = tensor<int>(2, 3, ntris);
  ret.ind[MESH_TRIA].set(0, triangles.data, 3 * ntris);
  t2->stop();
  return ret;
}
