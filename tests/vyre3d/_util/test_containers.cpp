// Tests of the linked list, the hash table and the timers (_util/linked.h,
// _util/hash.h, _util/timer.h).
#include "_util/hash.h"
#include "_util/linked.h"
#include "_util/timer.h"
#include "test_util.h"

static tensor<char> S(const char* s) { return tensor<char>::str(s); }

TEST(Linked, AppendIterateRemove)
{
  linked<int> l;
  int v = -1;
  EXPECT_FALSE(l.next(v));
  EXPECT_EQ(l.cursor, &l);
  EXPECT_EQ(v, -1);
  for (int k = 1; k <= 4; k++) l.append(k * 10);
  EXPECT_EQ(l.count, 4);

  // remove 20 and 40 during one iteration; the iteration carries on after each
  std::vector<int> seen;
  while (l.next(v)) {
    seen.push_back(v);
    if (v == 20 || v == 40) l.remove_current();
  }
  EXPECT_EQ(seen, (std::vector<int>{10, 20, 30, 40}));
  EXPECT_EQ(l.count, 2);
  tensor<int> t = l.to_tensor();
  ASSERT_EQ(t.numel, 2);
  EXPECT_EQ(t(0), 10);
  EXPECT_EQ(t(1), 30);
  l.append(50);  // last was fixed up by the removal of 40
  EXPECT_EQ(l.to_tensor()(2), 50);

  l.next(v);
  l.rewind();
  EXPECT_TRUE(l.next(v));
  EXPECT_EQ(v, 10);
  l.rewind();
  EXPECT_DEATH(l.remove_current(), contract_re("_util/linked", "myNode->prev"));

  l.clear();
  EXPECT_EQ(l.count, 0);
  EXPECT_FALSE(l.next(v));
  l.append(1);
  EXPECT_EQ(l.to_tensor().numel, 1);
}

TEST(Linked, StringPointersAndStack)
{
  // clear deletes the strings of a pointer list (ASan would report a leak otherwise)
  linked<tensor<char>*> names;
  names.append(new tensor<char>(S("a")));
  names.append(new tensor<char>(S("b")));
  names.clear();
  EXPECT_EQ(names.count, 0);
  {
    // destruction deletes only the nodes: the string stays alive
    tensor<char>* kept = new tensor<char>(S("kept"));
    {
      linked<tensor<char>*> l;
      l.append(kept);
    }
    EXPECT_EQ(kept->numel, 4);
    delete kept;
  }

  linked<tensor<float>> rows;
  tensor<float> a(1, 3), b(1, 3);
  a.values(1, 2, 3);
  b.values(4, 5, 6);
  rows.append(a);
  rows.append(b);
  tensor<float> m = rows.stack(3);
  EXPECT_EQ(m.size[0], 3);
  EXPECT_EQ(m.size[1], 2);
  EXPECT_EQ(m(2, 1), 6);
  rows.append(tensor<float>(1, 2));
  EXPECT_DEATH(rows.stack(3), contract_re("_util/linked", "count==ret.numel"));
}

TEST(Hash, BucketCounts)
{
  EXPECT_EQ((hash<unsigned int, int>(15).buckets.numel), 17);
  EXPECT_EQ((hash<unsigned int, int>(16).buckets.numel), 17);
  EXPECT_EQ((hash<unsigned int, int>(64).buckets.numel), 67);
  EXPECT_EQ((hash<unsigned int, int>(1).buckets.numel), 1);
  EXPECT_EQ((hash<unsigned int, int>(7).buckets.numel), 7);
  EXPECT_EQ((hash<unsigned int, int>(3).buckets.numel), 7);
  EXPECT_EQ((hash<unsigned int, int>(0).buckets.numel), 1);
}

TEST(Hash, InsertAssignRemoveToggle)
{
  hash<unsigned int, int> h(4);  // 7 buckets: 3 and 10 share one
  EXPECT_EQ(h.insert(3, 30), 0);
  EXPECT_EQ(h.insert(10, 100), 0);
  EXPECT_EQ(h.insert(3, 31), 1);
  int v = -1;
  EXPECT_EQ(h.lookup(3, v), 1);
  EXPECT_EQ(v, 30);
  EXPECT_EQ(h.assign(3, 32), 0);
  h.lookup(3, v);
  EXPECT_EQ(v, 32);
  v = -1;
  EXPECT_EQ(h.lookup(4, v), 0);
  EXPECT_EQ(v, -1);
  EXPECT_EQ(h.count, 2);
  // the chain of bucket 3 now holds 10 then 3 (3 was re-inserted at the end)
  tensor<unsigned int> keys = h.key_list();
  ASSERT_EQ(keys.numel, 2);
  EXPECT_EQ(keys(0), 10u);
  EXPECT_EQ(keys(1), 3u);
  EXPECT_EQ(h.value_list()(1), 32);

  EXPECT_EQ(h.toggle(5, 50), 0);
  EXPECT_EQ(h.count, 3);
  EXPECT_EQ(h.toggle(5, 50), 1);
  EXPECT_EQ(h.count, 2);
  EXPECT_EQ(h.remove(10), 1);
  EXPECT_EQ(h.remove(10), 0);
  EXPECT_EQ(h.count, 1);
  for (int j = 0; j < h.buckets.numel; j++) EXPECT_EQ(h.buckets.data[j]->cursor, h.buckets.data[j]);
}

TEST(Hash, StringKeys)
{
  hash<tensor<char>, double> h(16);
  EXPECT_EQ(hash_key(S("ab")), hash_key(S("ba")));
  EXPECT_EQ(hash_key(S("\xff")), 0xffffffffu);  // characters count as signed bytes
  h.insert(S("ab"), 1);
  h.insert(S("ba"), 2);
  double v = 0;
  EXPECT_EQ(h.lookup(S("ba"), v), 1);
  EXPECT_EQ(v, 2);
  EXPECT_EQ(h.lookup(S("a"), v), 0);
  tensor<tensor<char>> keys = h.key_list();
  ASSERT_EQ(keys.numel, 2);
  EXPECT_TRUE(keys.data[0] == S("ab"));
  h.count = 3;  // a count that disagrees with the chains
  EXPECT_DEATH(h.value_list(), contract_re("_util/hash", "count==numel"));
  h.count = 2;
}

TEST(Timer, StampsAndNamedTimers)
{
  timestamp a = timestamp::now(), b = timestamp::now();
  timestamp d = b - a;
  EXPECT_GE(d.ticks(), 0);
  EXPECT_GT(timer_frequency, 0);
  EXPECT_EQ(d.seconds(), double(d.ticks()) / double(timer_frequency));

  timestamp c(0xffffffffLL);
  c += timestamp(1);
  EXPECT_EQ(c.low, 0u);
  EXPECT_EQ(c.high, 1);
  EXPECT_EQ(c.ticks(), 0x100000000LL);
  EXPECT_EQ((timestamp(5) - timestamp(7)).ticks(), -2);

  timer* t = timer_start("work");
  double first = t->stop();
  EXPECT_EQ(timer_start("work"), t);
  double second = t->stop();
  EXPECT_EQ(t->count, 2);
  EXPECT_NEAR(t->total.seconds(), first + second, 1e-12);
  EXPECT_NE(timer_start("other"), t);
  EXPECT_EQ(timer_table.buckets.numel, 17);
}
