// _util/meshgl: the renderable mesh: an element mesh whose vertex array holds one
// OpenGL interleaved record per vertex, with normals, transforms, volume, inertia
// and drawing. Builds on _util/mesh, _util/tensor and OpenGL (through GLEW).
#pragma once
#include <GL/glew.h>
#include <cmath>
#include <cstdio>
#include "_util/contract.h"
#include "_util/mesh.h"
#include "_util/tensor.h"

// Float offsets of the parts of one interleaved vertex record; -1 where the
// layout has no such part.
struct meshgl_layout {
  int format, stride, tex, col, nrm, vtx;
};

inline const meshgl_layout meshgl_layouts[] = {
    {GL_V3F, 3, -1, -1, -1, 0},
    {GL_T2F_V3F, 5, 0, -1, -1, 2},
    {GL_N3F_V3F, 6, -1, -1, 0, 3},
    {GL_T2F_N3F_V3F, 8, 0, -1, 2, 5},
    {GL_C4F_N3F_V3F, 10, -1, 0, 4, 7},
    {GL_T2F_C4F_N3F_V3F, 12, 0, 2, 6, 9},
    {GL_T4F_C4F_N3F_V4F, 15, 0, 4, 8, 11},
    // Known to the offset queries, never chosen when loading:
    {GL_C3F_V3F, 6, -1, 0, -1, 3},
    {GL_T2F_C4UB_V3F, 6, 0, -1, -1, 3},
    {GL_T2F_C3F_V3F, 8, 0, 2, -1, 5},
};
inline const int meshgl_loadable_layouts = 7;

inline const meshgl_layout* meshgl_find_format(int format)
{
  for (const meshgl_layout& l : meshgl_layouts)
    if (l.format == format) return &l;
  return nullptr;
}

inline const meshgl_layout* meshgl_find_stride(int stride)
{
  for (int i = 0; i < meshgl_loadable_layouts; i++)
    if (meshgl_layouts[i].stride == stride) return &meshgl_layouts[i];
  return nullptr;
}

// Adds the unnormalised normal of triangle (a, b, c) (twice its area in length)
// to the normals of its corners.
inline void meshgl_add_normal(float* arr, int stride, int nrm, int vtx, int a, int b, int c)
{
  const float* pa = arr + a * stride + vtx;
  const float* pb = arr + b * stride + vtx;
  const float* pc = arr + c * stride + vtx;
  const float u0 = pb[0] - pa[0], u1 = pb[1] - pa[1], u2 = pb[2] - pa[2];
  const float v0 = pc[0] - pa[0], v1 = pc[1] - pa[1], v2 = pc[2] - pa[2];
  const float n0 = u1 * v2 - u2 * v1, n1 = u2 * v0 - u0 * v2, n2 = u0 * v1 - u1 * v0;
  for (int v : {a, b, c}) {
    float* n = arr + v * stride + nrm;
    n[0] += n0, n[1] += n1, n[2] += n2;
  }
}

inline double meshgl_det3(const double* a, const double* b, const double* c)
{
  return a[0] * (b[1] * c[2] - b[2] * c[1]) - a[1] * (b[0] * c[2] - b[2] * c[0]) + a[2] * (b[0] * c[1] - b[1] * c[0]);
}

struct meshgl : mesh {
  meshgl() = default;

  // Loads the element mesh `name` and picks the layout from its stride. A stride
  // no layout has is bad data, not a programming error: the mesh loads empty with
  // a message (and ok 0) instead of ending the process.
  explicit meshgl(const char* name) : mesh(name)
  {
    if (!ok || !arr.numel) return;
    const meshgl_layout* l = meshgl_find_stride(arr.size[0]);
    if (l) {
      format = l->format;
      return;
    }
    std::printf("error mesh %s: no vertex layout has %i floats\n", name, arr.size[0]);
    *this = meshgl();
    ok = 0;
  }

  int tex_offset() const { return offset(&meshgl_layout::tex); }
  int col_offset() const { return offset(&meshgl_layout::col); }
  int nrm_offset() const { return offset(&meshgl_layout::nrm); }
  int vtx_offset() const
  {
    if (!meshgl_find_format(format)) std::printf("format error %d\n", format);
    return offset(&meshgl_layout::vtx);
  }

  int stride() const { return arr.size[0]; }
  // Vertices held; a vertex array without floats holds none, whatever its shape.
  int vertex_count() const { return arr.numel ? arr.size[1] : 0; }

  // Whether every point, line, triangle and quad index names a vertex.
  bool indices_fit() const
  {
    const int vertices = vertex_count();
    for (int k = MESH_VERT; k <= MESH_QUAD; k++)
      for (int c = 0; c < ind[k].numel; c++)
        if (ind[k].data[c] < 0 || ind[k].data[c] >= vertices) return false;
    return true;
  }

  // Every triangle, as the geometry loops see them: the triangle list, then each
  // quad (q0, q1, q2, q3) as (q3, q0, q1) and (q1, q2, q3). With quads_split_last
  // all first halves come before all second halves (the inertia order).
  template <class F>
  void for_each_triangle(F f, bool quads_split_last = false) const
  {
    const int* t = ind[MESH_TRIA].data;
    for (int e = 0; e < ind[MESH_TRIA].numel; e += 3) f(t[e], t[e + 1], t[e + 2]);
    const int* q = ind[MESH_QUAD].data;
    const int nq = ind[MESH_QUAD].numel;
    if (quads_split_last) {
      for (int e = 0; e < nq; e += 4) f(q[e + 3], q[e], q[e + 1]);
      for (int e = 0; e < nq; e += 4) f(q[e + 1], q[e + 2], q[e + 3]);
    } else {
      for (int e = 0; e < nq; e += 4) f(q[e + 3], q[e], q[e + 1]), f(q[e + 1], q[e + 2], q[e + 3]);
    }
  }

  // A copy whose positions p become m·(p, 1) and normals n become m·(n, 0) (not
  // renormalised). m is a 4x4 column-major double matrix. Like the other vertex
  // loops it leaves a mesh without vertices (a missing file) alone rather than
  // asking for the layout such a mesh does not have.
  meshgl transform(const tensor<double>& m) const
  {
    VY_CONTRACT(m.numel==16, "_util/meshgl");
    meshgl ret(*this);
    if (!vertex_count()) return ret;
    const int s = stride(), nv = vertex_count(), vtx = records().vtx, nrm = records().nrm;
    const double* M = m.data;
    for (int v = 0; v < nv; v++) {
      const float* src = arr.data + v * s;
      float* dst = ret.arr.data + v * s;
      const double x = src[vtx], y = src[vtx + 1], z = src[vtx + 2];
      for (int r = 0; r < 3; r++) dst[vtx + r] = (float)(M[r] * x + M[r + 4] * y + M[r + 8] * z + M[r + 12]);
      if (nrm < 0) continue;
      const double a = src[nrm], b = src[nrm + 1], c = src[nrm + 2];
      for (int r = 0; r < 3; r++) dst[nrm + r] = (float)(M[r] * a + M[r + 4] * b + M[r + 8] * c);
    }
    return ret;
  }

  void scale(float s)
  {
    if (!vertex_count()) return;
    const int st = stride(), vtx = records().vtx;
    for (int v = 0; v < vertex_count(); v++)
      for (int r = 0; r < 3; r++) arr.data[v * st + vtx + r] *= s;
  }

  void set_color(const tensor<double>& c) { put_color(c, 3); }
  void set_color4(const tensor<double>& c) { put_color(c, 4); }

  // Vertex normals: the area-weighted sum of the normals of the triangles (and
  // quad halves) around each vertex, normalised; an unused vertex keeps (0, 0, 0).
  // A layout without normals has nothing to compute.
  void normals()
  {
    const meshgl_layout* layout = meshgl_find_format(format);
    if (!vertex_count() || !layout || layout->nrm < 0) return;
    const int s = stride(), nv = vertex_count(), nrm = nrm_offset(), vtx = records().vtx;
    float* a = arr.data;
    for (int v = 0; v < nv; v++) a[v * s + nrm] = a[v * s + nrm + 1] = a[v * s + nrm + 2] = 0.0f;
    for_each_triangle([&](int p, int q, int r) { meshgl_add_normal(a, s, nrm, vtx, p, q, r); });
    for (int v = 0; v < nv; v++) {
      float* n = a + v * s + nrm;
      const float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
      if (len < 1e-9f) continue;
      n[0] /= len, n[1] /= len, n[2] /= len;
    }
  }

  // Sends the material, the interleaved array and every point, line, triangle and
  // quad list to GL. Indices are checked first: GL reads the vertex array through
  // them and must never be sent past its end.
  void draw() const
  {
    VY_CONTRACT(indices_fit(), "_util/meshgl");
    const float shine[4] = {(float)specular.data[0], (float)specular.data[1], (float)specular.data[2],
                            (float)specular.data[3]};
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, shine);
    glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, (float)shininess);
    glEnable(GL_TEXTURE_2D);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, texture);
    glColor4dv(color.data);
    if (format && arr.numel) {
      glInterleavedArrays(format, stride() * (int)sizeof(float), arr.data);
      const GLenum modes[] = {GL_POINTS, GL_LINES, GL_TRIANGLES, GL_QUADS};
      for (int k = MESH_VERT; k <= MESH_QUAD; k++)
        if (ind[k].numel) glDrawElements(modes[k], ind[k].numel, GL_UNSIGNED_INT, ind[k].data);
    }
    glDisable(GL_TEXTURE_2D);
  }

  void draw_normals(float len, int skip) const
  {
    if (!vertex_count()) return;
    const int s = stride(), nrm = nrm_offset(), vtx = records().vtx;
    glBegin(GL_LINES);
    for (int v = 0; v < vertex_count(); v += skip + 1) {
      const float* n = arr.data + v * s + nrm;
      const float* p = arr.data + v * s + vtx;
      const float tip[3] = {p[0] + len * n[0], p[1] + len * n[1], p[2] + len * n[2]};
      glNormal3fv(n);
      glVertex3fv(p);
      glVertex3fv(tip);
    }
    glEnd();
  }

  // Enclosed volume (to vol) and centroid (x, y, z, 1), from the signed tetrahedra
  // each triangle spans with the origin. Outward counter-clockwise winding gives a
  // positive volume; a volume too small to divide by gives 0 and the origin.
  tensor<double> volume(double& vol) const
  {
    double sum = 0, acc[4] = {0, 0, 0, 0};
    const int vtx = vertex_count() ? records().vtx : 0;
    for_each_triangle([&](int a, int b, int c) {
      double p[3][3];
      position(a, vtx, p[0]), position(b, vtx, p[1]), position(c, vtx, p[2]);
      const double d = meshgl_det3(p[0], p[1], p[2]);
      sum += d;
      for (int r = 0; r < 3; r++) acc[r] += d * (p[0][r] + p[1][r] + p[2][r]) / 3.0;
      acc[3] += d * 4.0 / 3.0;
    });
    tensor<double> ret(1, 4);
    ret.data[3] = 1.0;
    vol = 0.0;
    if (std::fabs(acc[3]) > 1e-9) {
      for (int r = 0; r < 4; r++) ret.data[r] = acc[r] / acc[3];
      vol = sum / 6.0;
    }
    return ret;
  }

  // Unit-density inertia tensor about the mesh origin (upper-left 3x3) and the
  // volume (element (3, 3)), summed over the tetrahedra of the triangles.
  tensor<double> inertia() const
  {
    static const double C0[3][3] = {
        {2 / 120.0, 1 / 120.0, 1 / 120.0}, {1 / 120.0, 2 / 120.0, 1 / 120.0}, {1 / 120.0, 1 / 120.0, 2 / 120.0}};
    double sum = 0, S[3][3] = {};
    const int vtx = vertex_count() ? records().vtx : 0;
    for_each_triangle(
        [&](int a, int b, int c) {
          double A[3][3];  // rows: the corner positions
          position(a, vtx, A[0]), position(b, vtx, A[1]), position(c, vtx, A[2]);
          const double d = meshgl_det3(A[0], A[1], A[2]);
          sum += d;
          for (int i = 0; i < 3; i++)
            for (int j = 0; j < 3; j++) {
              double s = 0;  // (A^T C0 A)(i, j)
              for (int k = 0; k < 3; k++)
                for (int l = 0; l < 3; l++) s += A[k][i] * C0[k][l] * A[l][j];
              S[i][j] += d * s;
            }
        },
        true);
    const double trace = S[0][0] + S[1][1] + S[2][2];
    tensor<double> ret(2, 4, 4);
    for (int i = 0; i < 3; i++)
      for (int j = 0; j < 3; j++) ret.data[i + 4 * j] = (i == j ? trace : 0.0) - S[i][j];
    ret.data[15] = sum / 6.0;
    return ret;
  }

  // Column 0 the smallest, column 1 the largest x, y, z; row 3 is (1, 1).
  tensor<double> bbox() const
  {
    tensor<double> ret(2, 4, 2);
    ret.data[3] = ret.data[7] = 1.0;
    const int vtx = vertex_count() ? records().vtx : 0;
    for (int v = 0; v < vertex_count(); v++) {
      double p[3];
      position(v, vtx, p);
      for (int r = 0; r < 3; r++) {
        if (v == 0 || p[r] < ret.data[r]) ret.data[r] = p[r];
        if (v == 0 || p[r] > ret.data[4 + r]) ret.data[4 + r] = p[r];
      }
    }
    return ret;
  }

  tensor<double> vertices() const
  {
    tensor<double> ret(2, 4, vertex_count());
    const int vtx = vertex_count() ? records().vtx : 0;
    for (int v = 0; v < vertex_count(); v++) {
      position(v, vtx, ret.data + 4 * v);
      ret.data[4 * v + 3] = 1.0;
    }
    return ret;
  }

  tensor<double> vertex(int v) const { return column(v, records().vtx, 1.0); }
  tensor<double> vertex_direction(int v) const { return column(v, records().vtx, 0.0); }
  tensor<double> normal(int v) const
  {
    records();
    return column(v, nrm_offset(), 0.0);
  }

  const char* describe() const
  {
    static char text[sizeof mesh_text + 64];
    const char* head = mesh::describe();
    const int vtx = vtx_offset();
    std::snprintf(text, sizeof text, "%s V3F:%i N3F:%i", head, vtx, nrm_offset());
    return text;
  }

private:
  // The offset of one part of the record, failing the contract when the layout
  // has no such part (or no layout is set).
  int offset(int meshgl_layout::*part) const
  {
    const meshgl_layout* l = meshgl_find_format(format);
    if (!l || l->*part < 0) VY_CONTRACT(false, "_util/meshgl");
    return l->*part;
  }

  // The layout after checking it against the stride, so that no loop reads past
  // a vertex record; fails like vtx_offset() when no layout is set.
  const meshgl_layout& records() const
  {
    vtx_offset();
    const meshgl_layout& l = *meshgl_find_format(format);
    VY_CONTRACT(l.stride==stride(), "_util/meshgl");
    return l;
  }

  void position(int v, int vtx, double* p) const
  {
    const float* src = arr.data + v * stride() + vtx;
    p[0] = src[0], p[1] = src[1], p[2] = src[2];
  }

  tensor<double> column(int v, int off, double w) const
  {
    VY_CONTRACT(0<=v&&v<vertex_count(), "_util/meshgl");
    tensor<double> ret(1, 4);
    const float* src = arr.data + v * stride() + off;
    ret.data[0] = src[0], ret.data[1] = src[1], ret.data[2] = src[2], ret.data[3] = w;
    return ret;
  }

  void put_color(const tensor<double>& c, int n)
  {
    VY_CONTRACT(c.numel>=n, "_util/meshgl");
    if (!vertex_count()) return;
    const int s = stride(), col = col_offset();
    records();
    for (int v = 0; v < vertex_count(); v++)
      for (int r = 0; r < n; r++) arr.data[v * s + col + r] = (float)c.data[r];
  }
};

// Quad mesh of a height field h (nx x ny): vertex i + nx·j at (i, j, h(i, j)) with
// texture (i/(nx-1), j/(ny-1)); quads wound counter-clockwise seen from +z.
inline meshgl grid(const tensor<float>& height)
{
  VY_CONTRACT(height.ndims==2, "_util/meshgl");
  const int nx = height.size[0], ny = height.size[1];
  const int c3 = nx > 1 && ny > 1 ? (nx - 1) * (ny - 1) : 0;
  meshgl ret;
  ret.format = GL_T2F_N3F_V3F;
  ret.arr = tensor<float>(2, 8, nx * ny);
  ret.ind[MESH_QUAD] = tensor<int>(2, 4, c3);
  int quads = 0;
  for (int j = 0; j < ny; j++)
    for (int i = 0; i < nx; i++) {
      const int c = i + nx * j;
      float* rec = ret.arr.data + 8 * c;
      rec[0] = (float)(nx > 1 ? (double)i / (nx - 1) : 0.0);
      rec[1] = (float)(ny > 1 ? (double)j / (ny - 1) : 0.0);
      rec[5] = (float)i, rec[6] = (float)j, rec[7] = height.data[c];
      if (i == 0 || j == 0) continue;
      int* q = ret.ind[MESH_QUAD].data + 4 * quads++;
      q[0] = c, q[1] = c - 1, q[2] = c - nx - 1, q[3] = c - nx;
    }
  VY_CONTRACT(ret.ind[MESH_QUAD].size[1]==c3, "_util/meshgl");
  for (int c0 = 0; c0 < ret.ind[MESH_QUAD].numel; c0++)
    VY_CONTRACT(0<=ret.ind[MESH_QUAD].data[c0]&&ret.ind[MESH_QUAD].data[c0]<ret.arr.size[1], "_util/meshgl");
  ret.normals();
  return ret;
}
