// _util/linked: a doubly linked list whose head carries one internal cursor for
// iteration (next / rewind / remove_current). Element nodes live on the heap and
// belong to the list. Builds on _util/tensor.h (to_tensor, stack).
#pragma once
#include <type_traits>

#include "_util/contract.h"
#include "_util/tensor.h"

template <class T>
struct node {
  node* prev = nullptr;  // null only in a list head
  node* link = nullptr;  // element: the following element; head: the first element
  T value{};

  node() = default;
  explicit node(const T& v) : value(v) {}
  virtual ~node() = default;
};

template <class T>
struct linked : node<T> {
  node<T>* last;    // the head itself while the list is empty
  node<T>* cursor;  // the head itself when no element is current
  int count = 0;

  linked() : last(this), cursor(this) {}
  linked(const linked&) = delete;
  linked& operator=(const linked&) = delete;

  ~linked() override
  {
    VY_CONTRACT(!this->prev, "_util/linked");
    delete_nodes();
  }

  node<T>* first() const { return this->link; }

  void append(const T& value)
  {
    node<T>* n = new node<T>(value);
    n->prev = last;
    last->link = n;
    last = n;
    count++;
  }

  // Moves the cursor on; false (and the cursor back on the head) after the last element.
  bool next(T& value)
  {
    cursor = cursor->link;
    if (!cursor) {
      cursor = this;
      return false;
    }
    value = cursor->value;
    return true;
  }

  void rewind()
  {
    VY_CONTRACT(!this->prev, "_util/linked");
    cursor = this;
  }

  // Removes the element under the cursor; the cursor steps back, so the next
  // call of next() yields the element that followed the removed one.
  void remove_current()
  {
    node<T>* myNode = cursor;
    VY_CONTRACT(myNode->prev, "_util/linked");
    cursor = myNode->prev;
    unlink(myNode);
  }

  // Deletes every element; a list of string pointers deletes the strings as well.
  void clear()
  {
    if constexpr (std::is_same_v<T, tensor<char>*>)
      for (node<T>* n = first(); n; n = n->link) delete n->value;
    delete_nodes();
  }

  tensor<T> to_tensor() const
  {
    tensor<T> ret(1, count);
    int j = 0;
    for (node<T>* n = first(); n; n = n->link) ret.data[j++] = n->value;
    return ret;
  }

  // For lists of tensors: every stored tensor's elements as one column of an
  // (n, count) matrix; the stored tensors must hold n elements each.
  auto stack(int n) const
  {
    using E = std::remove_reference_t<decltype(*T().data)>;
    tensor<E> ret(2, n, count);
    int count = 0;  // elements the list holds (the contract names it so)
    for (node<T>* p = first(); p; p = p->link) count += p->value.numel;
    VY_CONTRACT(count==ret.numel, "_util/linked");
    int j = 0;
    for (node<T>* p = first(); p; p = p->link) ret.set(j, p->value), j += p->value.numel;
    return ret;
  }

  // Unlinks and deletes one element node (the hash table uses it directly).
  void unlink(node<T>* n)
  {
    n->prev->link = n->link;
    if (n->link)
      n->link->prev = n->prev;
    else
      last = n->prev;
    if (cursor == n) cursor = n->prev;
    delete n;
    count--;
  }

private:
  void delete_nodes()
  {
    for (node<T>* n = last; n != this;) {
      node<T>* p = n->prev;
      delete n;
      n = p;
    }
    this->link = nullptr;
    last = cursor = this;
    count = 0;
  }
};
