// Tests of the tensor container and its file and text forms (_util/tensor.h).
#include "_util/tensor.h"

#include <cstring>
#include <regex>
#include <thread>

#include "test_util.h"

using td = tensor<double>;
using ti = tensor<int>;

static td vec(std::initializer_list<double> v)
{
  td t(1, int(v.size()));
  int j = 0;
  for (double x : v) t.data[j++] = x;
  return t;
}

TEST(TensorShape, ConstructionZeroesAndCountsElements)
{
  td m(2, 3, 4);
  EXPECT_EQ(m.ndims, 2);
  EXPECT_EQ(m.size[0], 3);
  EXPECT_EQ(m.size[1], 4);
  EXPECT_EQ(m.numel, 12);
  for (int j = 0; j < 12; j++) EXPECT_EQ(m.data[j], 0.0);

  td s(0);  // scalar
  EXPECT_EQ(s.numel, 1);
  EXPECT_EQ(s(0), 0.0);

  td z(2, 3, 0);  // no elements, yet not the empty tensor
  EXPECT_EQ(z.numel, 0);
  EXPECT_NE(z.data, nullptr);

  const int sizes[] = {2, 5};
  ti a(2, sizes);
  EXPECT_EQ(a.numel, 10);
  ti n(2, nullptr);
  EXPECT_EQ(n.numel, 0);
  EXPECT_EQ(n.size[0], 0);
  EXPECT_EQ(n.size[1], 0);

  td e;
  EXPECT_EQ(e.ndims, 0);
  EXPECT_EQ(e.size, nullptr);
  EXPECT_EQ(e.numel, 0);
  EXPECT_EQ(e.data, nullptr);

  tensor<tensor<char>> names(1, 2);  // elements start empty
  EXPECT_EQ(names.data[1].data, nullptr);
}

TEST(TensorShape, BadSizesFailContracts)
{
  EXPECT_DEATH(td(2, 3, -1), contract_re("_util/tensor", "0<=sizes[k]"));
  EXPECT_DEATH(td(2, 3), contract_re("_util/tensor", "n==given"));
  EXPECT_DEATH(tensor<char>(2, 1 << 16, 1 << 16), contract_re("_util/tensor", "count<=INT_MAX"));
}

TEST(TensorCopy, DeepCopiesAndTraceLine)
{
  td a(2, 2, 2);
  a.values(1, 2, 3, 4);
  td b = a;
  b.data[0] = 9;
  EXPECT_EQ(a.data[0], 1);
  EXPECT_NE(a.size, b.size);

  td four(4, 1, 2, 1, 2);
  td three(3, 1, 2, 2);
  EXPECT_EQ(stdout_of([&] { td c(four); }), "constr 4\n");
  EXPECT_EQ(stdout_of([&] { td c(three); }), "");
  EXPECT_EQ(stdout_of([&] {
              td c;
              c = four;
              EXPECT_EQ(c.ndims, 4);
            }),
            "");
  // arithmetic on a 4-D tensor copies internally without the trace
  EXPECT_EQ(stdout_of([&] { td c = four + four; }), "");
}

TEST(TensorCopy, SelfAndEmptyAssignment)
{
  td a = vec({1, 2, 3});
  double* p = a.data;
  const td& alias = a;
  a = alias;
  EXPECT_EQ(a.data, p);
  EXPECT_EQ(a.data[2], 3);

  td e1, e2;
  e1 = e2;
  EXPECT_EQ(e1.data, nullptr);  // same (null) data: nothing happens

  td copy(e2);  // copies always allocate
  EXPECT_NE(copy.data, nullptr);
  EXPECT_EQ(copy.numel, 0);
  EXPECT_EQ(copy.ndims, 0);

  a = e2;  // a real target takes copies of the empty tensor's fields
  EXPECT_EQ(a.numel, 0);
  EXPECT_NE(a.data, nullptr);

  tensor<tensor<char>> names(1, 2);
  names.data[0] = tensor<char>::str("ab");
  tensor<tensor<char>> other = names;
  other.data[0].data[0] = 'x';
  EXPECT_EQ(names.data[0].data[0], 'a');
  EXPECT_EQ(other.data[1].numel, 0);
}

TEST(TensorAccess, ColumnOrderAndLinearIndexCheck)
{
  ti m = ti::ramp(2, 3, 2);
  EXPECT_EQ(m(2, 1), 5);
  EXPECT_EQ(&m(1, 1), &m.data[1 + 1 * 3]);
  EXPECT_EQ(m(5, 0), 5);  // only the combined index is checked
  EXPECT_DEATH(m(6, 0), contract_re("_util/tensor", "0<=ind0&&ind0<numel"));
  EXPECT_DEATH(m(-1, 0), contract_re("_util/tensor", "0<=ind0&&ind0<numel"));
  EXPECT_EQ(m.last(), 5);
  EXPECT_DEATH(ti(1, 0).last(), contract_re("_util/tensor", "numel"));

  ti c = ti::ramp(3, 2, 3, 4);
  EXPECT_EQ(c(1, 2, 3), 1 + 2 * 2 + 3 * 6);
  ti s = c.subscripts(1 + 2 * 2 + 3 * 6);
  EXPECT_EQ(s(0), 1);
  EXPECT_EQ(s(1), 2);
  EXPECT_EQ(s(2), 3);
  ti st = c.strides();
  EXPECT_EQ(st(2), 6);
  EXPECT_DEATH(c.subscripts(24), contract_re("_util/tensor", "0<=ind&&ind<numel"));
}

TEST(TensorAccess, NamedConstructors)
{
  td e = td::eye(3);
  EXPECT_EQ(e.sum(), 3);
  EXPECT_EQ(e(1, 1), 1);
  td d = td::diag(vec({1, 2, 3}));
  EXPECT_EQ(d(2, 2), 3);
  EXPECT_EQ(d(2, 1), 0);
  tensor<char> s = tensor<char>::str("abc");
  EXPECT_EQ(s.ndims, 1);
  EXPECT_EQ(s.numel, 3);
  EXPECT_EQ(std::memcmp(s.data, "abc", 3), 0);
  EXPECT_EQ(tensor<char>::str('q').data[0], 'q');
  tensor<char> x = tensor<char>::str(1234.5);
  EXPECT_EQ(std::string(x.data, size_t(x.numel)), "  1.23e+03 ");
  tensor<float> f = td::eye(2).to_float();
  EXPECT_EQ(f(1, 1), 1.0f);
}

TEST(TensorAccess, SliceSetValuesDiag)
{
  ti m = ti::ramp(2, 2, 3);
  ti s = m.slice(2);
  EXPECT_EQ(s.ndims, 1);
  EXPECT_EQ(s(0), 4);
  EXPECT_EQ(s(1), 5);
  EXPECT_DEATH(m.slice(5), contract_re("_util/tensor", "c1+ret.numel<=numel"));
  // passes the weaker check above, but would read past the end
  EXPECT_DEATH(m.slice(3), contract_re("_util/tensor", "0<=c1&&(long long)(c1+1)*ret.numel<=numel"));

  ti v(1, 5);
  const int src[] = {7, 8};
  v.set(3, src, 2);
  EXPECT_EQ(v(4), 8);
  EXPECT_DEATH(v.set(4, src, 2), contract_re("_util/tensor", "ind+len<=numel"));
  EXPECT_DEATH(v.set(-1, src, 2), contract_re("_util/tensor", "0<=ind&&0<=len"));
  v.set(0, ti::ramp(1, 2) + 1);
  EXPECT_EQ(v(1), 2);
  EXPECT_DEATH(v.set(4, ti(1, 2)), contract_re("_util/tensor", "ind+copy.numel<=numel"));

  td a(2, 3, 3);
  a.set_diag(1, 2, 3, 4);  // the fourth value falls outside
  EXPECT_EQ(a(2, 2), 3);
  EXPECT_EQ(a.sum(), 6);
  a.values(1, 2, 3, 4, 5, 6, 7, 8, 9);
  EXPECT_EQ(a(0, 2), 7);
  a.fill(2);
  EXPECT_EQ(a.sum(), 18);
}

TEST(TensorShapeOps, ConcatAppendFlattenSelect)
{
  ti a = ti::ramp(2, 2, 3), b(2, 2, 1);
  b.values(10, 11);
  ti c = a.concat(b);
  EXPECT_EQ(c.size[0], 2);
  EXPECT_EQ(c.size[1], 4);
  for (int j = 0; j < 6; j++) EXPECT_EQ(c.data[j], j);
  EXPECT_EQ(c(1, 3), 11);
  ti col(1, 2);  // a plain vector joins as one more column
  EXPECT_EQ(a.concat(col).size[1], 4);
  EXPECT_DEATH(a.concat(ti(2, 3, 1)), contract_re("_util/tensor", "size[c0]==myTensor.size[c0]"));

  ti v = ti::ramp(1, 2).append(9);
  EXPECT_EQ(v.numel, 3);
  EXPECT_EQ(v(2), 9);
  EXPECT_DEATH(a.append(1), contract_re("_util/tensor", "ndims==1"));
  EXPECT_EQ(a.flatten().size[0], 6);

  ti rows(1, 2), cols(1, 2);
  rows.values(1, 0);
  cols.values(2, 2);
  ti s = a.select(rows, cols);
  EXPECT_EQ(s.numel, 4);
  EXPECT_EQ(s(0, 0), a(1, 2));
  EXPECT_EQ(s(1, 0), a(0, 2));
  EXPECT_EQ(s(1, 1), a(0, 2));
  cols.values(2, 3);
  EXPECT_DEATH(a.select(rows, cols), contract_re("_util/tensor", "0<=ind0&&ind0<numel"));
}

TEST(TensorShapeOps, PermuteTransposeContract)
{
  ti a = ti::ramp(3, 2, 3, 4);
  ti sig(1, 3);
  sig.values(2, 0, 1);  // dim 0 -> 2, dim 1 -> 0, dim 2 -> 1
  ti p = a.permute(sig);
  EXPECT_EQ(p.size[0], 3);
  EXPECT_EQ(p.size[1], 4);
  EXPECT_EQ(p.size[2], 2);
  for (int i = 0; i < 2; i++)
    for (int j = 0; j < 3; j++)
      for (int k = 0; k < 4; k++) EXPECT_EQ(p(j, k, i), a(i, j, k));
  EXPECT_DEATH(a.permute(ti(1, 2)), contract_re("_util/tensor", "ndims==sig.numel"));
  sig.values(0, 0, 1);
  EXPECT_DEATH(a.permute(sig), "Assertion");

  ti m = ti::ramp(2, 2, 3), t = m.transpose();
  EXPECT_EQ(t.size[0], 3);
  EXPECT_EQ(t(2, 1), m(1, 2));

  td sq(2, 3, 3);
  sq.values(1, 2, 3, 4, 5, 6, 7, 8, 9);
  ti both(1, 2);
  both.values(0, 1);
  td trace = sq.contract(both);
  EXPECT_EQ(trace.ndims, 0);
  EXPECT_EQ(trace.data[0], 15);
  td rowsum = sq.contract(ti(1, 1) + 1);  // sum along dimension 1
  EXPECT_EQ(rowsum.numel, 3);
  EXPECT_EQ(rowsum(0), 1 + 4 + 7);
  td colsum = m.contract(ti(1, 1));
  EXPECT_EQ(colsum(2), 4 + 5);
  both.values(1, 0);
  EXPECT_DEATH(sq.contract(both), contract_re("_util/tensor", "dims(c0-1)<dims(c0)"));
  both.values(0, 2);
  EXPECT_DEATH(sq.contract(both), contract_re("_util/tensor", "dims(c0)<ndims"));
  both.values(0, 1);
  EXPECT_DEATH(td(2, 2, 3).contract(both), contract_re("_util/tensor", "sze0==size[dims(c0)]"));
}

TEST(TensorShapeOps, UniqueFindEqual)
{
  ti v(1, 4);
  v.values(3, 1, 3, 2);
  ti u = v.unique();
  ASSERT_EQ(u.numel, 3);
  EXPECT_EQ(u.size[0], 3);
  EXPECT_EQ(u(0), 1);
  EXPECT_EQ(u(2), 3);
  EXPECT_EQ(ti(1, 0).unique().numel, 0);
  ti f = v.equal(3).find();
  ASSERT_EQ(f.numel, 2);
  EXPECT_EQ(f(0), 0);
  EXPECT_EQ(f(1), 2);
}

TEST(TensorArithmetic, ElementWiseAndScalar)
{
  td a = vec({1, 2, 3}), b = vec({4, 5, 6});
  td c = a + b;
  EXPECT_EQ(c(2), 9);
  EXPECT_EQ((b - a)(0), 3);
  c = a;
  c *= b;
  EXPECT_EQ(c(1), 10);
  EXPECT_EQ((a * 2.0)(2), 6);
  EXPECT_EQ((a / 2.0)(0), 0.5);
  EXPECT_EQ((a + 1.0)(0), 2);
  EXPECT_EQ((a - 1.0)(0), 0);
  ti n = ti::ramp(1, 3);
  n += 2;
  n -= 1;
  n *= 3;
  EXPECT_EQ(n(2), 9);
  EXPECT_DEATH(a + vec({1}), contract_re("_util/tensor", "numel==myTensor.numel"));
  EXPECT_DEATH(a += td(2, 1, 3), contract_re("_util/tensor", "ndims==myTensor.ndims"));
  td m13(2, 1, 3);
  a -= m13;  // dimension counts are not compared
  EXPECT_DEATH(a *= m13, contract_re("_util/tensor", "ndims==myTensor.ndims"));
}

TEST(TensorReductions, VectorFunctions)
{
  td a = vec({1, 2, 3}), b = vec({4, 5, 6});
  EXPECT_EQ(a.dot(b), 32);
  EXPECT_EQ(ti::ramp(1, 3).dot(ti::ramp(1, 3)), 5);
  EXPECT_DEATH(a.dot(vec({1})), contract_re("_util/tensor", "numel==myTensor.numel"));
  td x = vec({1, 0, 0, 7}).cross(vec({0, 1, 0, 9}));
  EXPECT_EQ(x.numel, 4);
  EXPECT_EQ(x(2), 1);
  EXPECT_EQ(x(3), 0);
  EXPECT_DEATH(vec({1, 2}).cross(vec({1, 2})), contract_re("_util/tensor", "numel==3||numel==4"));
  EXPECT_EQ(vec({3, 4}).norm(), 5);

  td m(2, 2, 2);
  m.values(1, -2, 3, 1);  // column sums 3 and 4
  EXPECT_EQ(m.norm1(), 4);
  EXPECT_EQ(vec({-1, 2}).norm1(), 3);
  EXPECT_EQ(td(0).norm1(), 0);
  EXPECT_DEATH(td(3, 1, 1, 1).norm1(), contract_re("_util/tensor", "0"));

  td u = vec({3, 4}).normalize();
  EXPECT_EQ(td::ok, 1);
  EXPECT_DOUBLE_EQ(u(0), 0.6);
  u = vec({0, 0, 0}).normalize();
  EXPECT_EQ(td::ok, 0);
  EXPECT_EQ(u.norm(), 0);
  EXPECT_DEATH(m.normalize(), contract_re("_util/tensor", "ndims==1"));

  int ind = -1;
  ti v(1, 3);
  v.values(4, 1, 1);
  EXPECT_EQ(v.min(ind), 1);
  EXPECT_EQ(ind, 1);
  ti w(1, 2);
  w.values(5, 5);
  EXPECT_EQ(w.max(ind), 5);
  EXPECT_EQ(ind, 0);

  ti mm = ti::ramp(2, 2, 3);
  td mean = mm.mean();
  EXPECT_EQ(mean.numel, 2);
  EXPECT_EQ(mean(0), 2);
  EXPECT_EQ(mean(1), 3);
  EXPECT_DEATH(ti(2, 2, 0).mean(), contract_re("_util/tensor", "size[ndims-1]"));
  EXPECT_EQ(vec({1, 4}).map([](double e) { return std::sqrt(e); })(1), 2);
}

TEST(TensorReductions, SortAndStringOrder)
{
  ti order;
  td s = vec({2, 1, 2}).sort(1, order);
  EXPECT_EQ(s(0), 1);
  EXPECT_EQ(s(2), 2);
  EXPECT_EQ(order(0), 1);
  ti d(1, 6);
  d.values(3, 9, -1, 9, 0, 4);
  ti ds = d.sort(0, order);
  for (int k = 0; k < 6; k++) EXPECT_EQ(ds(k), d(order(k)));
  for (int k = 1; k < 6; k++) EXPECT_GE(ds(k - 1), ds(k));
  EXPECT_EQ(td().sort(1, order).data, nullptr);
  EXPECT_EQ(order.data, nullptr);

  EXPECT_TRUE(tensor<char>::str("abc") == tensor<char>::str("abc"));
  EXPECT_FALSE(tensor<char>::str("abc") == tensor<char>::str("abd"));
  EXPECT_FALSE(tensor<char>::str("ab") == tensor<char>::str("abc"));

  tensor<tensor<char>> names(1, 4);
  const char* n[] = {"pear", "apple", "fig", "app"};
  for (int k = 0; k < 4; k++) names.data[k] = tensor<char>::str(n[k]);
  ti o = str_order(names);
  // "app" is a prefix of "apple" and compares equal, so their relative order stays
  EXPECT_EQ(o(0), 1);
  EXPECT_EQ(o(1), 3);
  EXPECT_EQ(o(2), 2);
  EXPECT_EQ(o(3), 0);
  EXPECT_DEATH(str_order(tensor<tensor<char>>(1, 30)), contract_re("_util/tensor", "str.numel<30"));
}

// ---- file form ---------------------------------------------------------------------

TEST(TensorFile, WriteLayoutAndRoundTrip)
{
  const std::string path = scratch("m.arr");
  tensor<float> m(2, 2, 3);
  m.values(1, 2, 3, 4, 5, 6);
  std::string out = stdout_of([&] { m.write(path.c_str()); });
  EXPECT_TRUE(std::regex_match(out, std::regex(".*m\\.arr <-\ttensor<4>\\(\\[2x3\\],6,[0-9a-f]{8}\\)\n")));
  auto bytes = file_bytes(path);
  ASSERT_EQ(bytes.size(), 36u);
  const unsigned char head[] = {2, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
  EXPECT_EQ(std::memcmp(bytes.data(), head, 12), 0);
  float third;
  std::memcpy(&third, bytes.data() + 12 + 8, 4);
  EXPECT_EQ(third, 3.0f);

  tensor<float> back;
  out = stdout_of([&] { back = tensor<float>(path.c_str()); });
  EXPECT_EQ(tensor<float>::ok, 1);
  EXPECT_EQ(back.numel, 6);
  EXPECT_EQ(back(1, 2), 6.0f);
  EXPECT_NE(out.find(" ->\ttensor<4>([2x3],6,"), std::string::npos);

  td scalar(0);
  scalar.data[0] = 2.5;
  stdout_of([&] { scalar.write(path.c_str()); });
  EXPECT_EQ(file_bytes(path).size(), 12u);
  td s2;
  stdout_of([&] { s2.read(path.c_str()); });
  EXPECT_EQ(s2.ndims, 0);
  EXPECT_EQ(s2.data[0], 2.5);
  std::remove(path.c_str());
}

TEST(TensorFile, MissingFileAndWriteError)
{
  const std::string missing = scratch("missing.arr");
  tensor_verbose = 0;
  td t;
  EXPECT_EQ(stdout_of([&] { t = td(missing.c_str()); }), "");
  EXPECT_EQ(t.data, nullptr);
  EXPECT_EQ(td::ok, 0);
  tensor_verbose = 1;
  EXPECT_EQ(stdout_of([&] { t = td(missing.c_str()); }), missing + " ->\ttensor<8>([],0,null)\n");

  const std::string bad = scratch("no/such/dir.arr");
  int n = 0;
  std::string out = stdout_of([&] { n = td::eye(2).write(bad.c_str()); });
  EXPECT_EQ(out.rfind(bad + " <- (error)\ttensor<8>([2x2],4,", 0), 0u);
  EXPECT_EQ(n, int(out.size()));
}

TEST(TensorFile, RejectsCorruptAndTruncatedFiles)
{
  const std::string path = scratch("bad.arr");
  auto rejects = [&](const std::vector<unsigned char>& b) {
    put_file(path, b);
    tensor<int> t;
    tensor<int>::ok = 1;
    std::string out = stdout_of([&] { t = tensor<int>(path.c_str()); });
    EXPECT_EQ(t.data, nullptr);
    EXPECT_EQ(tensor<int>::ok, 0);
    EXPECT_EQ(out, path + " -> (error)\ttensor<4>([],0,null)\n");
  };
  rejects({});                                                // nothing at all
  rejects({1, 0});                                            // short ndims
  rejects({0xff, 0xff, 0xff, 0xff});                          // ndims -1
  rejects({0xff, 0xff, 0xff, 0x7f});                          // ndims far beyond the file
  rejects({1, 0, 0, 0, 0xfe, 0xff, 0xff, 0xff});              // size -2
  rejects({2, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0});              // 65536 x 65536 elements
  rejects({1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0});              // 2 ints promised, 1 stored
  rejects({1, 0, 0, 0, 0xff, 0xff, 0xff, 0x3f, 1, 0, 0, 0});  // a billion promised
  // writing the empty tensor stores only ndims 0, which promises one element: rejected
  stdout_of([&] { tensor<int>().write(path.c_str()); });
  rejects(file_bytes(path));

  // trailing bytes stay allowed
  put_file(path, {1, 0, 0, 0, 1, 0, 0, 0, 7, 0, 0, 0, 99});
  tensor<int> t;
  stdout_of([&] { t.read(path.c_str()); });
  EXPECT_EQ(tensor<int>::ok, 1);
  ASSERT_EQ(t.numel, 1);
  EXPECT_EQ(t(0), 7);
  // a zero size needs no element bytes
  put_file(path, {2, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0});
  stdout_of([&] { t.read(path.c_str()); });
  EXPECT_EQ(tensor<int>::ok, 1);
  EXPECT_EQ(t.numel, 0);
  EXPECT_NE(t.data, nullptr);
  std::remove(path.c_str());

  const unsigned char mem[] = {1, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 6, 0, 0, 0};
  t = tensor<int>::parse(mem, sizeof mem);
  EXPECT_EQ(t(1), 6);
  t = tensor<int>::parse(mem, sizeof mem - 1);
  EXPECT_EQ(t.data, nullptr);
  EXPECT_EQ(tensor<int>::ok, 0);
}

// ---- text forms --------------------------------------------------------------------

TEST(TensorText, Describe)
{
  EXPECT_STREQ(tensor<char>().describe(), "tensor<1>([],0,null)");
  EXPECT_TRUE(std::regex_match(td(2, 3, 4).describe(), std::regex("tensor<8>\\(\\[3x4\\],12,[0-9a-f]{8}\\)")));
  EXPECT_TRUE(std::regex_match(ti(0).describe(), std::regex("tensor<4>\\(\\[\\],1,[0-9a-f]{8}\\)")));
  EXPECT_TRUE(std::regex_match(td(2, 3, 0).describe(), std::regex("tensor<8>\\(\\[3x0\\],0,[0-9a-f]{8}\\)")));
  const char* r = td().describe();
  EXPECT_EQ(r, tensor_text);
}

TEST(TensorText, Print)
{
  EXPECT_STREQ(vec({0, 1e-12, 2}).print("%5.1f"), "  0.   0.   2.0");
  ti m = ti::ramp(2, 2, 2);
  EXPECT_STREQ(m.print("%2i"), " 0 2\n 1 3");
  EXPECT_STREQ(ti::ramp(3, 2, 1, 2).print("%i"), "{:,:,0}\n0\n1\n{:,:,1}\n2\n3\n");
  EXPECT_STREQ(ti::ramp(3, 1, 2, 2).print("%i"), "{:,:,0}01\n{:,:,1}23\n");
  EXPECT_STREQ(ti::ramp(4, 1, 1, 2, 2).print("%i"), "{:,:,0,0}0\n{:,:,1,0}1\n{:,:,0,1}2\n{:,:,1,1}3\n");
  EXPECT_STREQ(td(0).print("%4.1f"), " 0. ");
  EXPECT_STREQ(td().print("%f"), "");
  EXPECT_STREQ(vec({1}).print(nullptr), "");
  EXPECT_STREQ(tensor<char>::str("hi").print("%c"), "hi");
  EXPECT_DEATH(ti(5, 1, 1, 1, 1, 1).print("%i"),
               contract_re("_util/tensor", "\"sprintf of tensor with 4<ndims\" && 0"));

  // a listing longer than the shared buffer is cut at its end
  const char* big = ti::ramp(1, 5000).print("%i ");
  EXPECT_EQ(std::strlen(big), sizeof tensor_text - 1);
}

TEST(TensorText, ReadText)
{
  const std::string path = scratch("shader.vert");
  put_file(path, {'v', 'o', 'i', 'd', '\n'});
  tensor<char> t;
  std::string out = stdout_of([&] { t = read_text(path.c_str()); });
  ASSERT_EQ(t.numel, 5);
  EXPECT_EQ(std::memcmp(t.data, "void\n", 5), 0);
  EXPECT_EQ(out.rfind(path + " -> tensor<1>([5],5,", 0), 0u);
  std::remove(path.c_str());
  out = stdout_of([&] { t = read_text(path.c_str()); });
  EXPECT_EQ(t.numel, 0);
  EXPECT_EQ(out, path + " -> tensor<1>([],0,null)\n");
}

// ---- storage -------------------------------------------------------------------------

TEST(TensorStorage, BlocksOutliveTheirThreadAndShrunkFields)
{
  // a tensor made on one thread and released on another, and a thread that exits
  // with blocks cached: both end in the right allocator
  td made;
  std::thread([&] {
    for (int k = 0; k < 100; k++) td(2, 4, 4).fill(k);
    made = td::eye(4);
  }).join();
  EXPECT_EQ(made.sum(), 4);
  made = td();
  std::thread([] { td(2, 4, 4).fill(1); }).join();

  // callers may shrink a tensor in place; releasing it does not depend on numel
  ti v = ti::ramp(1, 40);
  v.numel = v.size[0] = 3;
  ti w = v;
  EXPECT_EQ(w.numel, 3);
  EXPECT_EQ(w(2), 2);
}
