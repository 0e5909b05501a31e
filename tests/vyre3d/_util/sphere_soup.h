// Triangle soups for the collision-model tests and benchmarks: a closed
// latitude-longitude sphere built from plain corner triples.
#pragma once
#include <cmath>
#include <vector>

struct tri {
  double a[3], b[3], c[3];
};
using soup = std::vector<tri>;

// Closed latitude-longitude sphere of radius r: 2·slices·(stacks-1) triangles.
inline soup sphere(int slices, int stacks, double r)
{
  auto at = [&](int i, int j, double* p) {
    double th = M_PI * j / stacks, ph = 2 * M_PI * i / slices;
    p[0] = r * std::sin(th) * std::cos(ph);
    p[1] = r * std::sin(th) * std::sin(ph);
    p[2] = r * std::cos(th);
  };
  soup s;
  for (int j = 0; j < stacks; ++j)
    for (int i = 0; i < slices; ++i) {
      tri t1, t2;
      at(i, j, t1.a), at(i, j + 1, t1.b), at(i + 1, j + 1, t1.c);
      at(i, j, t2.a), at(i + 1, j + 1, t2.b), at(i + 1, j, t2.c);
      if (j != stacks - 1) s.push_back(t1);
      if (j != 0) s.push_back(t2);
    }
  return s;
}
