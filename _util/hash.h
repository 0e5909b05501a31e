// _util/hash: a chained hash table of fixed bucket count (odd, free of the factors
// 3 and 5) whose chains are linked lists of key/value buckets, with the default key
// hashes for unsigned and string keys. Builds on _util/linked.h and _util/tensor.h.
#pragma once
#include "_util/linked.h"
#include "_util/tensor.h"

template <class K, class V>
struct bucket {
  K key;
  V value;
};

// Default key hashes: an unsigned key is its own hash; a string hashes to the sum of
// its characters taken as signed bytes.
inline unsigned int hash_key(const unsigned int& key) { return key; }
inline unsigned int hash_key(const tensor<char>& key)
{
  int s = 0;
  for (int j = 0; j < key.numel; j++) s += static_cast<signed char>(key.data[j]);
  return static_cast<unsigned int>(s);
}

template <class K, class V>
struct hash {
  using chain = linked<bucket<K, V>>;
  using entry = node<bucket<K, V>>;

  tensor<chain*> buckets;
  int count = 0;
  unsigned int (*function)(const K&);

  explicit hash(int n, unsigned int (*fn)(const K&) = &hash_key) : buckets(1, bucket_count(n)), function(fn)
  {
    for (int j = 0; j < buckets.numel; j++) buckets.data[j] = new chain;
  }
  hash(const hash&) = delete;
  hash& operator=(const hash&) = delete;
  ~hash()
  {
    for (int j = 0; j < buckets.numel; j++) delete buckets.data[j];
  }

  // n raised to the next integer that is odd and divisible neither by 3 nor by 5.
  static int bucket_count(int n)
  {
    if (n < 1) n = 1;  // a table needs at least one bucket
    while (n > 1 && (n % 2 == 0 || n % 3 == 0 || n % 5 == 0)) n++;
    return n;
  }

  int lookup(const K& key, V& value) const
  {
    entry* e = find(key).second;
    if (e) value = e->value.value;
    return e != nullptr;
  }

  int insert(const K& key, const V& value)
  {
    auto [c, e] = find(key);
    if (e) return 1;
    c->append(bucket<K, V>{key, value});
    count++;
    return 0;
  }

  int remove(const K& key)
  {
    auto [c, e] = find(key);
    if (!e) return 0;
    c->unlink(e);
    count--;
    return 1;
  }

  int assign(const K& key, const V& value)
  {
    remove(key);
    return insert(key, value);
  }

  // A present key is removed, an absent one inserted: keys seen twice cancel out.
  int toggle(const K& key, const V& value)
  {
    if (remove(key)) return 1;
    insert(key, value);
    return 0;
  }

  tensor<K> key_list() const
  {
    return walk<K>([](const bucket<K, V>& b) { return b.key; });
  }

  tensor<V> value_list() const
  {
    return walk<V>([](const bucket<K, V>& b) { return b.value; });
  }

private:
  // The chain of the key and its entry (null when absent). Chains are walked without
  // their cursors, which therefore stay rewound.
  std::pair<chain*, entry*> find(const K& key) const
  {
    chain* c = buckets.data[function(key) % unsigned(buckets.numel)];
    for (entry* e = c->first(); e; e = e->link)
      if (e->value.key == key) return {c, e};
    return {c, nullptr};
  }

  template <class R, class F>
  tensor<R> walk(F get) const
  {
    tensor<R> ret(1, count);
    int numel = 0;  // entries found (the contract names it so)
    for (int j = 0; j < buckets.numel; j++)
      for (entry* e = buckets.data[j]->first(); e; e = e->link, numel++)
        if (numel < ret.numel) ret.data[numel] = get(e->value);
    VY_CONTRACT(count==numel, "_util/hash");
    return ret;
  }
};
