// Tests of the tensor algebra (_util/tensor_math.h) against hand-computed values.
#include <cmath>

#include "_util/tensor.h"
#include "test_util.h"

using td = tensor<double>;

static td mat(int rows, int cols, std::initializer_list<double> row_major)
{
  td m(2, rows, cols);
  int j = 0;
  for (double x : row_major) m(j / cols, j % cols) = x, j++;
  return m;
}
static td vec(std::initializer_list<double> v)
{
  td t(1, int(v.size()));
  int j = 0;
  for (double x : v) t.data[j++] = x;
  return t;
}

TEST(TensorProduct, ShapesAndValues)
{
  td a = mat(2, 3, {1, 2, 3, 4, 5, 6}), b = mat(3, 2, {7, 8, 9, 10, 11, 12});
  td c = a * b;
  ASSERT_EQ(c.ndims, 2);
  EXPECT_EQ(c.size[0], 2);
  EXPECT_EQ(c.size[1], 2);
  EXPECT_EQ(c(0, 0), 58);
  EXPECT_EQ(c(0, 1), 64);
  EXPECT_EQ(c(1, 0), 139);
  EXPECT_EQ(c(1, 1), 154);

  td pose = td::eye(4);
  pose(0, 3) = 5;  // translation in column 3
  td p = pose * vec({1, 2, 3, 1});
  ASSERT_EQ(p.ndims, 1);
  EXPECT_EQ(p.numel, 4);
  EXPECT_EQ(p(0), 6);
  td r = vec({1, 1}) * a;  // vector times matrix: the column count
  ASSERT_EQ(r.ndims, 1);
  EXPECT_EQ(r.numel, 3);
  EXPECT_EQ(r(1), 7);
  td s = vec({1, 2}) * vec({3, 4});  // vector times vector: a scalar
  EXPECT_EQ(s.ndims, 0);
  EXPECT_EQ(s.data[0], 11);
  // a must supply at least b's rows
  EXPECT_DEATH(vec({1, 2}) * vec({1, 2, 3}), contract_re("_util/tensor_math", "rows*inner<=a.numel"));
}

TEST(TensorSolve, SolvesWithPivoting)
{
  td a = mat(2, 2, {0, 1, 1, 0});
  td x = a.solve(vec({1, 2}));
  EXPECT_EQ(td::ok, 1);
  ASSERT_EQ(x.ndims, 1);
  EXPECT_EQ(x(0), 2);
  EXPECT_EQ(x(1), 1);

  td m = mat(3, 3, {2, 1, -1, -3, -1, 2, -2, 1, 2});
  td b = mat(3, 2, {8, 1, -11, 0, -3, 0});
  td y = m.solve(b);
  ASSERT_EQ(y.ndims, 2);
  EXPECT_EQ(y.size[1], 2);
  EXPECT_NEAR(y(0, 0), 2, 1e-12);
  EXPECT_NEAR(y(1, 0), 3, 1e-12);
  EXPECT_NEAR(y(2, 0), -1, 1e-12);
  td back = m * y;
  for (int j = 0; j < 6; j++) EXPECT_NEAR(back.data[j], b.data[j], 1e-12);

  EXPECT_DEATH(td(1, 3).solve(vec({1, 2, 3})), contract_re("_util/tensor_math", "ndims==2"));
  EXPECT_DEATH(td(2, 2, 3).solve(vec({1, 2})), contract_re("_util/tensor_math", "size[0]==size[1]"));
  EXPECT_DEATH(td::eye(2).solve(vec({1, 2, 3})), contract_re("_util/tensor_math", "size[1]==rhs.size[0]"));
  EXPECT_DEATH(mat(2, 2, {1, 2, 2, 4}).solve(vec({1, 2})),
               contract_re("_util/tensor_math", "TENSOR_NO_DIVISION<abs(copy[ind.data[c0]+c0*size[0]])"));
}

TEST(TensorLu, FactorsAndDeterminant)
{
  td a = mat(3, 3, {1, 2, 0, 3, 4, 4, 5, 6, 3});
  tensor<int> ind;
  double d = 0;
  td f = a.lu(ind, d);
  EXPECT_EQ(td::ok, 1);
  ASSERT_EQ(ind.numel, 3);
  EXPECT_EQ(ind(0), 2);  // the scaled largest first pivot is in row 2
  // L U reproduces the rows of a in the interchanged order
  td l = td::eye(3), u(2, 3, 3);
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) (r > c ? l(r, c) : u(r, c)) = f(r, c);
  td pa = a;
  for (int j = 0; j < 3; j++)
    if (ind(j) != j)
      for (int c = 0; c < 3; c++) std::swap(pa(j, c), pa(ind(j), c));
  td lu = l * u;
  for (int j = 0; j < 9; j++) EXPECT_NEAR(lu.data[j], pa.data[j], 1e-12);

  EXPECT_NEAR(a.det(), 1 * (12 - 24) - 2 * (9 - 20), 1e-12);
  EXPECT_EQ(td::eye(3).det(), 1);
  EXPECT_EQ(mat(3, 3, {0, 1, 0, 1, 0, 0, 0, 0, 1}).det(), -1);
  EXPECT_EQ(mat(3, 3, {1, 2, 3, 0, 0, 0, 4, 5, 6}).det(), 0);
  EXPECT_EQ(td::ok, 0);
  // singular without a zero row: a zero pivot gives 0, not NaN
  EXPECT_EQ(mat(3, 3, {0, 1, 2, 0, 3, 4, 0, 5, 6}).det(), 0);
  EXPECT_EQ(mat(3, 3, {1, 2, 3, 2, 4, 6, 1, 1, 1}).det(), 0);
  EXPECT_DEATH(td(2, 2, 3).det(), contract_re("_util/tensor_math", "size[0]==size[1]"));
  EXPECT_DEATH(td(1, 3).lu(ind, d), contract_re("_util/tensor_math", "ndims==2"));
}

TEST(TensorExpm, SeriesValues)
{
  EXPECT_EQ(td(2, 1, 1).expm()(0, 0), 1);
  EXPECT_NEAR(td::eye(1).expm()(0, 0), std::exp(1.0), 1e-15);
  // a rotation generator gives the rotation by its angle
  const double t = 0.7;
  td g = mat(2, 2, {0, -t, t, 0});
  td r = g.expm();
  EXPECT_NEAR(r(0, 0), std::cos(t), 1e-14);
  EXPECT_NEAR(r(1, 0), std::sin(t), 1e-14);
  // nilpotent: exp([[0,1],[0,0]]) = [[1,1],[0,1]]
  td n = mat(2, 2, {0, 1, 0, 0}).expm();
  EXPECT_EQ(n(0, 1), 1);
  EXPECT_EQ(n(1, 1), 1);
  EXPECT_DEATH(td(2, 0, 0).expm(), contract_re("_util/tensor", "ndims==2&&size[0]&&size[1]"));
  EXPECT_DEATH(td(2, 2, 3).expm(), contract_re("_util/tensor", "numel==myTensor.numel"));
}

TEST(TensorInterp, MultilinearWithClamping)
{
  td v = vec({10, 20});
  EXPECT_EQ(v.interp(vec({0.25})), 12.5);
  EXPECT_EQ(v.interp(vec({-1})), 10);
  EXPECT_EQ(v.interp(vec({1})), 20);
  EXPECT_EQ(v.interp(vec({NAN})), 10);
  td g = mat(2, 3, {0, 1, 2, 10, 11, 12});  // value = 10 row + column
  EXPECT_NEAR(g.interp(vec({0.5, 0.75})), 5 + 1.5, 1e-12);
  EXPECT_NEAR(g.interp(vec({1, 1})), 12, 1e-12);
  EXPECT_DEATH(g.interp(vec({0.5})), contract_re("_util/tensor_math", "itp.numel==ndims"));
  EXPECT_EQ(sign(0), 1);
  EXPECT_EQ(sign(-0.5), -1);
}
