// SPDX-License-Identifier: Apache-2.0
// P<T>: a counted pointer. AP<T>: an owning pointer.
//
// P<T> works on any T derived from Countable: each P that holds an object adds
// one to its count, and the P that brings the count back to 0 deletes the
// object through its virtual destructor. Because Countable's count is atomic,
// distinct P objects that share one target may live on different threads; a
// single P object is a value and is not itself synchronised.
//
// AP<T> owns at most one object. Copying or assigning an AP *moves*: the
// source is emptied and the target's previous object is deleted (unless both
// held the same pointer). Destroying an AP deletes its object.
#pragma once

#include <cstddef>
#include <utility>

namespace zk {

template <class T>
struct P {
  T* ptr = nullptr;

  P() = default;
  P(std::nullptr_t) {}
  // Takes one count on `p`, which may be null.
  P(T* p) : ptr(p) {
    if (ptr) ptr->incRef();
  }
  P(const P& o) : ptr(o.ptr) {
    if (ptr) ptr->incRef();
  }
  P(P&& o) noexcept : ptr(o.ptr) { o.ptr = nullptr; }
  template <class U>
  P(const P<U>& o) : ptr(o.ptr) {
    if (ptr) ptr->incRef();
  }
  ~P() { release(); }

  P& operator=(const P& o) {
    // Count the new target before releasing the old: self-assignment, or an
    // old target that holds the last count of the new one, stay safe.
    T* n = o.ptr;
    if (n) n->incRef();
    T* old = ptr;
    ptr = n;
    drop(old);
    return *this;
  }
  P& operator=(P&& o) noexcept {
    if (this != &o) {
      T* old = ptr;
      ptr = o.ptr;
      o.ptr = nullptr;
      drop(old);
    }
    return *this;
  }
  P& operator=(T* p) {
    if (p) p->incRef();
    T* old = ptr;
    ptr = p;
    drop(old);
    return *this;
  }

  // Gives up this pointer's count; the pointer becomes null.
  void release() {
    T* old = ptr;
    ptr = nullptr;
    drop(old);
  }

  T* get() const { return ptr; }
  T* operator->() const { return ptr; }
  T& operator*() const { return *ptr; }
  explicit operator bool() const { return ptr != nullptr; }
  bool isNull() const { return ptr == nullptr; }
  bool operator==(const P& o) const { return ptr == o.ptr; }
  bool operator!=(const P& o) const { return ptr != o.ptr; }

 private:
  static void drop(T* p) {
    if (p && p->decRef() == 0) delete p;
  }
};

template <class T>
struct AP {
  T* ptr = nullptr;

  AP() = default;
  AP(std::nullptr_t) {}
  // Takes ownership of `p`.
  explicit AP(T* p) : ptr(p) {}
  // Moves: `o` is emptied.
  AP(AP& o) : ptr(o.ptr) { o.ptr = nullptr; }
  AP(AP&& o) noexcept : ptr(o.ptr) { o.ptr = nullptr; }
  template <class U>
  AP(AP<U>& o) : ptr(o.ptr) {
    o.ptr = nullptr;
  }
  template <class U>
  AP(AP<U>&& o) : ptr(o.ptr) {
    o.ptr = nullptr;
  }
  ~AP() { delete ptr; }

  AP& operator=(AP& o) { return take(o.ptr); }
  AP& operator=(AP&& o) noexcept { return take(o.ptr); }
  template <class U>
  AP& operator=(AP<U>& o) {
    return take(o.ptr);
  }
  // Takes ownership of `p`, deleting the previous object (unless it is `p`).
  AP& operator=(T* p) {
    if (p != ptr) {
      T* old = ptr;
      ptr = p;
      delete old;
    }
    return *this;
  }

  // Hands the object to the caller; the AP becomes empty.
  T* release() {
    T* p = ptr;
    ptr = nullptr;
    return p;
  }
  // Deletes the object; the AP becomes empty.
  void reset() {
    T* p = ptr;
    ptr = nullptr;
    delete p;
  }

  T* get() const { return ptr; }
  T* operator->() const { return ptr; }
  T& operator*() const { return *ptr; }
  explicit operator bool() const { return ptr != nullptr; }
  bool isNull() const { return ptr == nullptr; }

 private:
  template <class U>
  AP& take(U*& src) {
    T* p = src;
    src = nullptr;
    if (p != ptr) {
      T* old = ptr;
      ptr = p;
      delete old;
    }
    return *this;
  }
  template <class U>
  friend struct AP;
};

}  // namespace zk
