// _util/shadow: stencil shadow volumes of a closed triangle mesh for a point light,
// drawn with the depth-fail method (near cap, far cap at infinity, silhouette quads
// extruded to infinity). Builds on meshgl, hash and the OpenGL 1.x immediate mode.
#pragma once
#include <GL/glew.h>
#include <cmath>
#include "_util/contract.h"
#include "_util/hash.h"
#include "_util/meshgl.h"
#include "_util/tensor.h"

// A triangle mesh prepared for shadow volumes: ind[2] holds the source's triangles,
// then every quad's (q3, q0, q1), then every quad's (q1, q2, q3); arr holds one
// homogeneous position (x, y, z, 1) per source vertex; face_normals holds the
// unnormalised normal (v1 - v0) x (v2 - v0) of each triangle, fourth element 0.
//
// Zero-area triangles (collinear or coincident corners) have no usable normal. If
// they simply counted as averted from the light, the edges they share with lit
// neighbours would become silhouette edges that overlap each other in opposite
// directions, and their quads would leave stencil residue. Instead such a triangle
// takes the side of the majority of its neighbours, so it adds at most one real
// silhouette edge. `slivers` lists them: one column (triangle, neighbour across
// edge 0-1, across 1-2, across 2-0), -1 where an edge has no neighbour.
// Vertex numbers are packed into 16 bits: meshes of this many vertices or more
// cannot be drawn as shadow volumes.
constexpr int shadow_mesh_vertex_limit = 0xffff;

struct shadow_mesh : meshgl {
  tensor<float> face_normals;
  tensor<int> slivers;

  explicit shadow_mesh(const meshgl* msh);

  // The triangles facing the light (in list order) and the silhouette edges, each
  // packed as from * 65536 + to in the direction of its light-facing triangle.
  tensor<unsigned int> silhouette(const tensor<double>& light, tensor<int>& facing) const;

  // Emits the shadow volume for the light (first three elements: its position in
  // this mesh's coordinates) once, two-sided: back faces increment the stencil on
  // depth fail, front faces decrement it (both wrapping). Leaves face culling as it
  // was, glCullFace(GL_BACK) and
  // glStencilOp(GL_KEEP, GL_DECR, GL_KEEP). The caller sets up the stencil test,
  // masks and a projection without a far plane (points at infinity must survive).
  void draw_volume(const tensor<double>& light) const;

private:
  void build_volume(const tensor<int>& facing, const tensor<unsigned int>& edges, const float* light) const;
};

inline shadow_mesh::shadow_mesh(const meshgl* msh)
{
  VY_CONTRACT(msh, "_util/shadow");
  int n = msh->arr.ndims == 2 ? msh->arr.size[1] : 0;
  int total = msh->ind[MESH_TRIA].numel / 3 + 2 * (msh->ind[MESH_QUAD].numel / 4);

  tensor<int>& list = ind[MESH_TRIA];
  list = tensor<int>(2, 3, total);
  int* out = list.data;
  msh->for_each_triangle([&](int a, int b, int c) { out[0] = a, out[1] = b, out[2] = c, out += 3; }, true);
  for (int c0 = 0; c0 < list.numel; c0++) {
    int e = list.data[c0];
    VY_CONTRACT(0<=e&&e<n, "_util/shadow");
  }

  arr = tensor<float>(2, 4, n);
  int off = n ? msh->vtx_offset() : 0, stride = n ? msh->arr.size[0] : 0;
  for (int v = 0; v < n; v++) {
    const float* p = msh->arr.data + (size_t)v * stride + off;
    float* q = arr.data + 4 * v;
    q[0] = p[0], q[1] = p[1], q[2] = p[2], q[3] = 1;
  }

  // A triangle with a repeated corner is never lit, so its edges pair up around it
  // as if it were not there; it needs no neighbours.
  auto repeated = [](const int* c) { return c[0] == c[1] || c[1] == c[2] || c[2] == c[0]; };
  face_normals = tensor<float>(2, 4, total);
  int nsliver = 0;
  tensor<int> sliver_list(1, total);
  for (int t = 0; t < total; t++) {
    const int* c = list.data + 3 * t;
    const float *p0 = arr.data + 4 * c[0], *p1 = arr.data + 4 * c[1], *p2 = arr.data + 4 * c[2];
    float e1[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
    float e2[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
    float* f = face_normals.data + 4 * t;
    f[0] = e1[1] * e2[2] - e1[2] * e2[1];
    f[1] = e1[2] * e2[0] - e1[0] * e2[2];
    f[2] = e1[0] * e2[1] - e1[1] * e2[0];
    f[3] = 0;
    // Zero area up to float rounding: the sine of the corner angle at v0 is
    // |e1 x e2| / (|e1| |e2|); below 1e-6 the normal's direction is noise.
    double nn = (double)f[0] * f[0] + (double)f[1] * f[1] + (double)f[2] * f[2];
    double l1 = (double)e1[0] * e1[0] + (double)e1[1] * e1[1] + (double)e1[2] * e1[2];
    double l2 = (double)e2[0] * e2[0] + (double)e2[1] * e2[1] + (double)e2[2] * e2[2];
    if (nn <= 1e-12 * l1 * l2 && !repeated(c)) sliver_list.data[nsliver++] = t;
  }

  // Neighbours of the slivers: enter their edges (undirected) into a table, then let
  // every other triangle claim the sliver edges it shares. Meshes too large for the
  // 16-bit edge keys are refused when drawn and need none.
  if (n >= 0xffff) nsliver = 0;
  slivers = tensor<int>(2, 4, nsliver);
  if (!nsliver) return;
  hash<unsigned int, int> sliver_edges(3 * nsliver);
  auto key = [](int a, int b) { return a < b ? (unsigned)a * 65536u + b : (unsigned)b * 65536u + a; };
  for (int s = 0; s < nsliver; s++) {
    int t = sliver_list.data[s];
    const int* c = list.data + 3 * t;
    slivers.data[4 * s] = t;
    for (int j = 0; j < 3; j++) {
      slivers.data[4 * s + 1 + j] = -1;
      sliver_edges.assign(key(c[j], c[(j + 1) % 3]), 4 * s + 1 + j);
    }
  }
  for (int t = 0; t < total; t++) {
    const int* c = list.data + 3 * t;
    for (int j = 0; j < 3 && !repeated(c); j++) {
      int slot;
      if (sliver_edges.lookup(key(c[j], c[(j + 1) % 3]), slot) && slivers.data[slot & ~3] != t) slivers.data[slot] = t;
    }
  }
}

inline tensor<unsigned int> shadow_mesh::silhouette(const tensor<double>& light, tensor<int>& facing) const
{
  VY_CONTRACT(arr.size[1]<0xffff, "_util/shadow");
  VY_CONTRACT(light.numel>=3, "_util/shadow");
  const float L[3] = {(float)light.data[0], (float)light.data[1], (float)light.data[2]};
  const tensor<int>& list = ind[MESH_TRIA];
  int total = list.numel / 3;

  // Which triangles face the light; the test is strict, so a light in the plane of
  // a triangle leaves it averted.
  tensor<unsigned char> lit(1, total);
  for (int t = 0; t < total; t++) {
    const float* p = arr.data + 4 * list.data[3 * t];
    const float* f = face_normals.data + 4 * t;
    lit.data[t] = f[0] * (p[0] - L[0]) + f[1] * (p[1] - L[1]) + f[2] * (p[2] - L[2]) < 0;
  }
  for (int s = 0; s < slivers.size[1]; s++) {
    const int* c = slivers.data + 4 * s;
    int votes = 0, voters = 0;
    for (int j = 1; j < 4; j++)
      if (c[j] >= 0) voters++, votes += lit.data[c[j]];
    lit.data[c[0]] = 2 * votes > voters;
  }

  // An edge shared by two lit triangles is toggled twice and drops out; what stays
  // lies between a lit and an averted triangle (or on an open border).
  hash<unsigned int, unsigned int> edges((int)(7 * std::sqrt((double)total)));
  tensor<int> found(1, total);
  int nfacing = 0;
  for (int t = 0; t < total; t++) {
    if (!lit.data[t]) continue;
    found.data[nfacing++] = t;
    const int* c = list.data + 3 * t;
    for (int j = 0; j < 3; j++) {
      unsigned a = c[j], b = c[(j + 1) % 3];
      edges.toggle(a < b ? a * 65536u + b : b * 65536u + a, a * 65536u + b);
    }
  }
  facing = tensor<int>(1, nfacing);
  facing.set(0, found.data, nfacing);
  return edges.value_list();
}

namespace shadow_detail {
inline tensor<float> caps, sides;  // the last volume built, reused (grown only) by the next
}

// The volume as two vertex arrays of homogeneous points, in the order the passes
// draw them: caps (each light-facing triangle, then the same pushed to infinity
// with w = 0 and reversed) and the silhouette quads (near edge, then its two far
// ends). Arrays rather than one call per vertex: the same primitives in the same
// order, for a fraction of the driver's work.
inline void shadow_mesh::build_volume(const tensor<int>& facing, const tensor<unsigned int>& edges,
                                      const float* light) const
{
  tensor<float>& caps = shadow_detail::caps;
  tensor<float>& sides = shadow_detail::sides;
  if (caps.numel < 24 * facing.numel) caps = tensor<float>(1, 24 * facing.numel);
  if (sides.numel < 16 * edges.numel) sides = tensor<float>(1, 16 * edges.numel);
  float* out = caps.data;
  auto near_vertex = [&](int v) {
    const float* p = arr.data + 4 * v;
    out[0] = p[0], out[1] = p[1], out[2] = p[2], out[3] = 1, out += 4;
  };
  auto far_vertex = [&](int v) {
    const float* p = arr.data + 4 * v;
    out[0] = p[0] - light[0], out[1] = p[1] - light[1], out[2] = p[2] - light[2], out[3] = 0, out += 4;
  };
  for (int f = 0; f < facing.numel; f++) {
    const int* c = ind[MESH_TRIA].data + 3 * facing.data[f];
    near_vertex(c[0]), near_vertex(c[1]), near_vertex(c[2]);
    far_vertex(c[0]), far_vertex(c[2]), far_vertex(c[1]);
  }
  out = sides.data;
  for (int e = 0; e < edges.numel; e++) {
    const int b = edges.data[e] >> 16, c = edges.data[e] & 0xffff;
    near_vertex(b), far_vertex(b), far_vertex(c), near_vertex(c);
  }
}

inline void shadow_mesh::draw_volume(const tensor<double>& light) const
{
  tensor<int> facing;
  tensor<unsigned int> edges = silhouette(light, facing);
  const float L[3] = {(float)light.data[0], (float)light.data[1], (float)light.data[2]};
  build_volume(facing, edges, L);
  // Only the positions come from arrays (a mesh drawn before may have left its
  // normal, colour or texture arrays on).
  glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
  glDisableClientState(GL_NORMAL_ARRAY);
  glDisableClientState(GL_COLOR_ARRAY);
  glDisableClientState(GL_TEXTURE_COORD_ARRAY);
  glDisableClientState(GL_EDGE_FLAG_ARRAY);
  glEnableClientState(GL_VERTEX_ARRAY);
  // Both sides in one draw: back faces count up, front faces down. The counts wrap
  // rather than saturate, so the order in which the faces reach a pixel does not
  // change the sum.
  const GLboolean culling = glIsEnabled(GL_CULL_FACE);
  glDisable(GL_CULL_FACE);
  glStencilOpSeparate(GL_BACK, GL_KEEP, GL_INCR_WRAP, GL_KEEP);
  glStencilOpSeparate(GL_FRONT, GL_KEEP, GL_DECR_WRAP, GL_KEEP);
  glVertexPointer(4, GL_FLOAT, 0, shadow_detail::caps.data);
  glDrawArrays(GL_TRIANGLES, 0, 6 * facing.numel);
  glVertexPointer(4, GL_FLOAT, 0, shadow_detail::sides.data);
  glDrawArrays(GL_QUADS, 0, 4 * edges.numel);
  if (culling) glEnable(GL_CULL_FACE);
  glCullFace(GL_BACK);
  glStencilOp(GL_KEEP, GL_DECR, GL_KEEP);
  glPopClientAttrib();
}
