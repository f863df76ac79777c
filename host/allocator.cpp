#include "host/allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace Utils {
namespace {

// Each block carries its size in a header so that release() can count bytes
// without asking the caller. 16 bytes keep the payload aligned for any
// fundamental type.
constexpr std::size_t kHeader = 16;

// Counters sit on their own cache lines: every thread of a pipeline touches
// them on every packet, and sharing a line with other data would make each
// allocation a cache miss for the other core.
struct alignas(64) Counter {
  std::atomic<int64_t> v{0};
};

Counter gLiveBlocks;
Counter gLiveBytes;
Counter gTotal;
Counter gFailSkip;
Counter gFailCount;

std::atomic<Allocator*> gCurrent{nullptr};

}  // namespace

Allocator::~Allocator() = default;

CountingAllocator* Allocator::defaultAllocator() {
  // Never destroyed: objects may be freed during static destruction.
  static CountingAllocator* a = new CountingAllocator;
  return a;
}

Allocator* Allocator::theAllocator() {
  Allocator* a = gCurrent.load(std::memory_order_acquire);
  return a ? a : defaultAllocator();
}

Allocator* Allocator::install(Allocator* a) {
  Allocator* prev = gCurrent.exchange(a, std::memory_order_acq_rel);
  return prev ? prev : defaultAllocator();
}

void* CountingAllocator::allocate(std::size_t bytes) {
  if (gFailCount.v.load(std::memory_order_relaxed) > 0) {
    if (gFailSkip.v.fetch_sub(1, std::memory_order_relaxed) <= 0) {
      if (gFailCount.v.fetch_sub(1, std::memory_order_relaxed) > 0) return nullptr;
    }
  }
  if (bytes > SIZE_MAX - kHeader) return nullptr;
  void* raw = std::malloc(bytes + kHeader);
  if (!raw) return nullptr;
  *static_cast<std::size_t*>(raw) = bytes;
  gLiveBlocks.v.fetch_add(1, std::memory_order_relaxed);
  gLiveBytes.v.fetch_add(static_cast<int64_t>(bytes), std::memory_order_relaxed);
  gTotal.v.fetch_add(1, std::memory_order_relaxed);
  return static_cast<char*>(raw) + kHeader;
}

void CountingAllocator::release(void* block) {
  if (!block) return;
  void* raw = static_cast<char*>(block) - kHeader;
  const std::size_t bytes = *static_cast<std::size_t*>(raw);
  gLiveBlocks.v.fetch_sub(1, std::memory_order_relaxed);
  gLiveBytes.v.fetch_sub(static_cast<int64_t>(bytes), std::memory_order_relaxed);
  std::free(raw);
}

int64_t CountingAllocator::liveBlocks() const { return gLiveBlocks.v.load(std::memory_order_relaxed); }
int64_t CountingAllocator::liveBytes() const { return gLiveBytes.v.load(std::memory_order_relaxed); }
uint64_t CountingAllocator::totalAllocations() const {
  return static_cast<uint64_t>(gTotal.v.load(std::memory_order_relaxed));
}

void CountingAllocator::failAfter(uint64_t skip, uint64_t n) {
  gFailSkip.v.store(static_cast<int64_t>(skip), std::memory_order_relaxed);
  gFailCount.v.store(static_cast<int64_t>(n), std::memory_order_relaxed);
}

}  // namespace Utils
