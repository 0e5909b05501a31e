// vyre3d/make_assets/mesh_assets: the meshes of the program's data tree, built in
// code so that get/ is generated, never committed. Builds on _util/meshgl.
#pragma once
#include <cmath>
#include "_util/meshgl.h"

// The floor: a flat grid of 10 x 23 quads (460 triangles) over [-1, 1]², at z = 0,
// facing +z; stride 8 (texture, normal, position), texture 0..1 across the grid.
inline meshgl asset_plane()
{
  const int nx = 11, ny = 24;  // vertices per side
  meshgl flat = grid(tensor<float>(2, nx, ny));
  tensor<double> to_square(2, 4, 4);  // (i, j) -> (-1 + 2i/(nx-1), -1 + 2j/(ny-1))
  to_square.data[0] = 2.0 / (nx - 1), to_square.data[5] = 2.0 / (ny - 1);
  to_square.data[10] = to_square.data[15] = 1.0;
  to_square.data[12] = to_square.data[13] = -1.0;
  return flat.transform(to_square);
}

// The ball: a closed unit sphere of 896 triangles with shared vertices (2 poles and
// 14 rings of 32), wound counter-clockwise seen from outside, so that every edge
// joins exactly two triangles and shadow volumes built from it stay closed.
// Stride 8; the normal is the exact unit position; texture (longitude, latitude)
// in 0..1. Without seam vertices the texture wraps back across the last column.
inline meshgl asset_sphere()
{
  const int slices = 32, stacks = 15, rings = stacks - 1;
  const int nv = 2 + slices * rings, south = nv - 1;
  const double pi = std::acos(-1.0);
  meshgl ret;
  ret.format = GL_T2F_N3F_V3F;
  ret.arr = tensor<float>(2, 8, nv);
  auto put = [&](int v, double theta, double phi) {
    float* rec = ret.arr.data + 8 * v;
    const double p[3] = {std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta)};
    rec[0] = (float)(phi / (2 * pi)), rec[1] = (float)(theta / pi);
    for (int r = 0; r < 3; r++) rec[2 + r] = rec[5 + r] = (float)p[r];
  };
  put(0, 0.0, 0.0);
  put(south, pi, 0.0);
  // Vertex of ring i (0 = nearest the north pole) and slice j.
  auto at = [&](int i, int j) { return 1 + i * slices + j % slices; };
  for (int i = 0; i < rings; i++)
    for (int j = 0; j < slices; j++) put(at(i, j), pi * (i + 1) / stacks, 2 * pi * j / slices);

  ret.ind[MESH_TRIA] = tensor<int>(2, 3, 2 * slices * rings);
  int* t = ret.ind[MESH_TRIA].data;
  auto tri = [&](int a, int b, int c) { t[0] = a, t[1] = b, t[2] = c, t += 3; };
  for (int j = 0; j < slices; j++) {
    tri(0, at(0, j), at(0, j + 1));
    for (int i = 0; i + 1 < rings; i++) {  // band between ring i and ring i+1
      tri(at(i, j), at(i + 1, j), at(i + 1, j + 1));
      tri(at(i, j), at(i + 1, j + 1), at(i, j + 1));
    }
    tri(at(rings - 1, j), south, at(rings - 1, j + 1));
  }
  return ret;
}
