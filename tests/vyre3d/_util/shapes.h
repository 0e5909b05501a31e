// tests/vyre3d/_util/shapes: small meshes built in code for the shadow and mesh editing
// tests (tetrahedron, UV spheres and hemispheres, meshes from explicit lists), and
// checks on their topology. Builds on _util/meshgl.
#pragma once
#include <cmath>
#include <map>
#include <utility>
#include <vector>
#include "_util/meshgl.h"

// A stride-3 (positions only) mesh from positions and triangles/quads.
inline meshgl make_mesh(const std::vector<float>& xyz, const std::vector<int>& tris, const std::vector<int>& quads = {})
{
  meshgl m;
  m.format = GL_V3F;
  m.arr = tensor<float>(2, 3, (int)xyz.size() / 3);
  for (size_t c = 0; c < xyz.size(); c++) m.arr.data[c] = xyz[c];
  m.ind[MESH_TRIA] = tensor<int>(2, 3, (int)tris.size() / 3);
  for (size_t c = 0; c < tris.size(); c++) m.ind[MESH_TRIA].data[c] = tris[c];
  m.ind[MESH_QUAD] = tensor<int>(2, 4, (int)quads.size() / 4);
  for (size_t c = 0; c < quads.size(); c++) m.ind[MESH_QUAD].data[c] = quads[c];
  return m;
}

// A closed tetrahedron wound counter-clockwise seen from outside.
inline meshgl tetrahedron()
{
  return make_mesh({0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 2, 1, 0, 1, 3, 0, 3, 2, 1, 2, 3});
}

// A closed UV sphere of radius 1 with `stacks` bands and its poles on coordinate
// axis `axis`, wound counter-clockwise seen from outside; stride 8 (texture,
// normal, position). With an even stack count the middle ring lies exactly on the
// plane through the centre. With `half` only the bands up to that ring are made
// (an open hemisphere whose rim is the middle ring).
inline meshgl uv_sphere(int slices, int stacks, int axis = 2, bool half = false)
{
  const double pi = std::acos(-1.0);
  const int rings = half ? stacks / 2 : stacks - 1;
  const int nv = 1 + slices * rings + (half ? 0 : 1);
  meshgl m;
  m.format = GL_T2F_N3F_V3F;
  m.arr = tensor<float>(2, 8, nv);
  auto put = [&](int v, int i) {  // ring i (-1 = north pole, rings = south pole)
    double theta = pi * (i + 1) / stacks, phi = 2 * pi * ((v - 1) % slices) / slices;
    double c = 2 * (i + 1) == stacks ? 0.0 : std::cos(theta), s = std::sin(theta);
    if (i < 0 || i == rings) s = 0, c = i < 0 ? 1 : -1;
    float* r = m.arr.data + 8 * v;
    r[2 + (axis + 1) % 3] = r[5 + (axis + 1) % 3] = (float)(s * std::cos(phi));
    r[2 + (axis + 2) % 3] = r[5 + (axis + 2) % 3] = (float)(s * std::sin(phi));
    r[2 + axis] = r[5 + axis] = (float)c;
  };
  auto at = [&](int i, int j) { return 1 + i * slices + j % slices; };
  put(0, -1);
  for (int i = 0; i < rings; i++)
    for (int j = 0; j < slices; j++) put(at(i, j), i);
  if (!half) put(nv - 1, rings);
  std::vector<int> t;
  for (int j = 0; j < slices; j++) {
    t.insert(t.end(), {0, at(0, j), at(0, j + 1)});
    for (int i = 0; i + 1 < rings; i++)
      t.insert(t.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1), at(i, j + 1)});
    if (!half) t.insert(t.end(), {at(rings - 1, j), nv - 1, at(rings - 1, j + 1)});
  }
  m.ind[MESH_TRIA] = tensor<int>(2, 3, (int)t.size() / 3);
  for (size_t c = 0; c < t.size(); c++) m.ind[MESH_TRIA].data[c] = t[c];
  return m;
}

// Directed edge counts of the triangles and quad halves of a mesh.
inline std::map<std::pair<int, int>, int> directed_edges(const meshgl& m)
{
  std::map<std::pair<int, int>, int> e;
  m.for_each_triangle([&](int a, int b, int c) { e[{a, b}]++, e[{b, c}]++, e[{c, a}]++; });
  return e;
}

// Whether the surface is closed and consistently wound: every directed edge occurs
// once and its reverse once.
inline bool closed_surface(const meshgl& m)
{
  auto e = directed_edges(m);
  for (auto& [k, n] : e)
    if (n != 1 || k.first == k.second || !e.count({k.second, k.first}) || e[{k.second, k.first}] != 1) return false;
  return !e.empty();
}

// Whether a list of segments (pairs of vertex numbers) forms closed loops: every
// endpoint is shared by exactly two segments.
inline bool closed_loops(const std::vector<std::pair<int, int>>& seg)
{
  std::map<int, int> uses;
  for (auto& [a, b] : seg) uses[a]++, uses[b]++;
  for (auto& [v, n] : uses)
    if (n != 2) return false;
  return !seg.empty();
}
