// SPDX-License-Identifier: Apache-2.0
// Utils::Allocator: the process-wide allocator through which every heap object
// of the library is made and freed.
//
// The library's classes carry their own operator new and operator delete
// (ZKFLOW_HEAP_OBJECT below) that call theAllocator(); the global operators are
// left alone, so a host program's own heap is never touched.
//
// The default allocator takes memory from malloc and keeps counts of live
// blocks and bytes; tests read them to show that nothing leaked. A host may
// install an allocator of its own, but only before it makes any object of the
// library: a block must be released by the allocator that made it.
//
// Thread safety: allocate() and release() may be called from any thread.
// install() is not synchronised with them; call it before any other thread
// uses the library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zkflow/host/export.h"

namespace Utils {

class ZKFLOW_EXPORT Allocator {
 public:
  virtual ~Allocator();
  // A block of at least `bytes` bytes, aligned for any fundamental type, or
  // null when memory is exhausted. allocate(0) returns a unique block.
  virtual void* allocate(std::size_t bytes) = 0;
  // Gives a block back. Null is allowed and does nothing.
  virtual void release(void* block) = 0;

  // The allocator in force. Never null.
  static Allocator* theAllocator();
  // Makes `a` the allocator in force (null restores the default one) and
  // returns the previous one. The caller keeps ownership of `a`.
  static Allocator* install(Allocator* a);
  // The default, counting allocator.
  static class CountingAllocator* defaultAllocator();
};

// malloc-backed allocator that counts what is live.
class ZKFLOW_EXPORT CountingAllocator : public Allocator {
 public:
  void* allocate(std::size_t bytes) override;
  void release(void* block) override;

  // Blocks and bytes currently allocated and not yet released.
  int64_t liveBlocks() const;
  int64_t liveBytes() const;
  // Every allocation ever made (for allocation-per-operation figures).
  uint64_t totalAllocations() const;
};

}  // namespace Utils

// Inside the body of a class: routes its heap objects (and those of every
// class derived from it) through Utils::Allocator::theAllocator(). The
// operators are noexcept, so a failed allocation makes `new T` yield null
// without running the constructor, instead of throwing.
#define ZKFLOW_HEAP_OBJECT                                                              \
  static void* operator new(std::size_t n) noexcept {                               \
    return ::Utils::Allocator::theAllocator()->allocate(n);                         \
  }                                                                                 \
  static void* operator new[](std::size_t n) noexcept {                             \
    return ::Utils::Allocator::theAllocator()->allocate(n);                         \
  }                                                                                 \
  static void* operator new(std::size_t, void* where) noexcept { return where; }    \
  static void operator delete(void* p) noexcept {                                   \
    ::Utils::Allocator::theAllocator()->release(p);                                 \
  }                                                                                 \
  static void operator delete[](void* p) noexcept {                                 \
    ::Utils::Allocator::theAllocator()->release(p);                                 \
  }                                                                                 \
  static void operator delete(void*, void*) noexcept {}
