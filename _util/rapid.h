// _util/rapid: a renderable mesh bound to a collision model and a world pose, and
// the queries that turn the intersecting triangle pairs of two such meshes into one
// contact (point, normal, weight). Builds on collision_model, meshgl and tensor.
#pragma once
#include <algorithm>
#include "_util/collision_model.h"
#include "_util/contract.h"
#include "_util/meshgl.h"
#include "_util/tensor.h"
#include "_util/tensor_math.h"

// The contact of one query: count of intersecting pairs, mean contact point
// (x, y, z, 1), unit normal (x, y, z, 0) pointing from the second mesh's surface
// towards the first, and the summed weight of the facing pairs.
struct rapid_report {
  unsigned int count = 0;
  tensor<double> point;
  tensor<double> normal;
  double weight = 0;
};

struct rapid {
  tensor<double> pose;     // 4x4 world placement, rotation and translation only
  collision_model* model;  // owned
  tensor<double> area;     // per triangle
  tensor<double> V4D;      // 4 x triangles: centroids (x, y, z, 1), mesh coordinates
  tensor<double> N4D;      // 4 x triangles: unit normals (x, y, z, 0), mesh coordinates

  // Triangles are numbered as the mesh's triangle list, then every quad's
  // (q3, q0, q1), then every quad's (q1, q2, q3).
  explicit rapid(const meshgl& mesh);
  ~rapid() { delete model; }
  rapid(const rapid&) = delete;
  rapid& operator=(const rapid&) = delete;
};

inline rapid::rapid(const meshgl& mesh) : pose(tensor<double>::eye(4)), model(new collision_model)
{
  VY_CONTRACT(mesh.indices_fit(), "_util/rapid");
  const int n = mesh.ind[MESH_TRIA].numel / 3 + 2 * (mesh.ind[MESH_QUAD].numel / 4);
  area = tensor<double>(1, n);
  V4D = tensor<double>(2, 4, n);
  N4D = tensor<double>(2, 4, n);
  model->begin_model();
  if (!n) return;  // nothing to build: the model stays unbuilt and never reports contacts

  const tensor<double> corner = mesh.vertices();  // column v: (position of v, 1)
  int t = 0;
  mesh.for_each_triangle(
      [&](int ia, int ib, int ic) {
        const double *a = corner.data + 4 * ia, *b = corner.data + 4 * ib, *c = corner.data + 4 * ic;
        double e[3], f[3], nrm[3];
        // A triangle with a corner that is not finite is refused by the model and
        // so never takes part in a contact; its other entries are never read.
        model->add_triangle(a, b, c, t);
        coll_sub(e, b, a);
        coll_sub(f, c, a);
        coll_cross(nrm, e, f);
        tensor<double> normal(1, 4);
        normal.values(nrm[0], nrm[1], nrm[2], 0.0);
        area.data[t] = 0.5 * normal.norm();
        N4D.set(4 * t, normal.normalize());
        for (int k = 0; k < 3; ++k) V4D.data[4 * t + k] = (a[k] + b[k] + c[k]) * (1.0 / 3);
        V4D.data[4 * t + 3] = 1;
        ++t;
      },
      true);
  model->end_model();  // an all-refused mesh stays unbuilt: queries find no contact
}

namespace rapid_detail {

// Rotation (row-major) and translation of a 4x4 column-major pose.
inline void placement(const tensor<double>& pose, double R[3][3], double T[3])
{
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) R[r][c] = pose.data[r + 4 * c];
    T[r] = pose.data[12 + r];
  }
}

// Runs the query and gives the number of pairs found. A model without triangles
// is never built: its queries report nothing rather than the list of an earlier
// query. Running out of memory mid-query keeps the pairs found so far.
inline int query(const rapid& rap0, const rapid& rap1, int flag)
{
  double R0[3][3], T0[3], R1[3][3], T1[3];
  placement(rap0.pose, R0, T0);
  placement(rap1.pose, R1, T1);
  int code = collide(R0, T0, rap0.model, R1, T1, rap1.model, flag);
  return code == COLL_OK || code == COLL_QUERY_NO_MEMORY ? num_contacts : 0;
}

// out += m·v for a 4x4 column-major m and a 4-vector v (times s).
inline void add_mul(double out[4], const tensor<double>& m, const double* v, double s = 1)
{
  for (int r = 0; r < 4; ++r)
    out[r] += s * (m.data[r] * v[0] + m.data[r + 4] * v[1] + m.data[r + 8] * v[2] + m.data[r + 12] * v[3]);
}

}  // namespace rapid_detail

// Whether the two placed meshes touch at all: stops at the first intersecting pair.
// Returns the number of pairs found, 0 or 1.
inline int rapid_first(const rapid& rap0, const rapid& rap1)
{
  VY_CONTRACT(rap0.model!=rap1.model, "_util/rapid");
  return rapid_detail::query(rap0, rap1, COLL_FIRST_CONTACT);
}

// Full query. Point: mean of the centroids of the smaller triangle of every pair.
// Normal: sum of (n1 - n0) weighted by how squarely the pair faces (pairs whose
// normals point the same way weigh 0), normalised. Returns 1 when there is a contact
// with a usable normal; with no contact, point and normal keep their old values.
inline int rapid_contact(const rapid& rap0, const rapid& rap1, rapid_report& report)
{
  VY_CONTRACT(rap0.model!=rap1.model, "_util/rapid");
  report.count = (unsigned)rapid_detail::query(rap0, rap1, COLL_ALL_CONTACTS);
  tensor<double>::ok = 1;
  report.weight = 0;
  if (!report.count) return 0;

  double P[4] = {0, 0, 0, 0}, B[4] = {0, 0, 0, 0};
  for (unsigned i = 0; i < report.count; ++i) {
    const int id0 = contacts[i].id1, id1 = contacts[i].id2;
    VY_CONTRACT(id0<rap0.V4D.size[1], "_util/rapid");
    VY_CONTRACT(id1<rap1.V4D.size[1], "_util/rapid");
    const double a0 = rap0.area.data[id0], a1 = rap1.area.data[id1];
    if (a1 > a0)
      rapid_detail::add_mul(P, rap0.pose, rap0.V4D.data + 4 * id0);
    else
      rapid_detail::add_mul(P, rap1.pose, rap1.V4D.data + 4 * id1);
    double n0[4] = {0, 0, 0, 0}, n1[4] = {0, 0, 0, 0};
    rapid_detail::add_mul(n0, rap0.pose, rap0.N4D.data + 4 * id0);
    rapid_detail::add_mul(n1, rap1.pose, rap1.N4D.data + 4 * id1);
    const double c = n0[0] * n1[0] + n0[1] * n1[1] + n0[2] * n1[2] + n0[3] * n1[3];
    const double w = -(c > 0 ? 0 : c) * std::min(a0, a1);
    for (int k = 0; k < 4; ++k) B[k] += (n1[k] - n0[k]) * w;
    report.weight += w;
  }
  report.point = tensor<double>(1, 4);
  for (int k = 0; k < 4; ++k) report.point.data[k] = P[k] / P[3];
  tensor<double> sum(1, 4);
  sum.set(0, B, 4);
  report.normal = sum.normalize();
  return tensor<double>::ok ? 1 : 0;
}
