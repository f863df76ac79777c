// SPDX-License-Identifier: Apache-2.0
#include "zkflow/host/allocator.h"
#include "zkflow/testing.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

// Address sanitizer must see every block go back to free(): a block parked in
// a cache would hide a use after its release. Under it the caches are off and
// every block goes straight to malloc and free; the counts work as always.
#if defined(__SANITIZE_ADDRESS__)
#define ZKFLOW_ALLOC_CACHE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZKFLOW_ALLOC_CACHE 0
#endif
#endif
#ifndef ZKFLOW_ALLOC_CACHE
#define ZKFLOW_ALLOC_CACHE 1
#endif

namespace Utils {
namespace {

// Each block carries a header in front of its payload: the size asked for
// (release() counts bytes without asking the caller) and, while the block
// sits in a cache, the link to the next cached block. 16 bytes keep the
// payload aligned for any fundamental type.
struct Header {
  std::size_t bytes;
  Header* next;
};
constexpr std::size_t kHeader = 16;
static_assert(sizeof(Header) <= kHeader, "header outgrows its room");

Header* headerOf(void* block) {
  return reinterpret_cast<Header*>(static_cast<char*>(block) - kHeader);
}
void* payloadOf(Header* h) { return reinterpret_cast<char*>(h) + kHeader; }

// ------------------------------------------------------------------ counts
//
// Every thread counts into a shard of its own, and the readers sum the
// shards. A single set of counters shared by all threads made every
// allocation a locked instruction on a cache line that the other core had
// just written: on two threads handing packets over, that was about a fifth
// of the whole hand-over. A shard is written by one thread at a time, with a
// plain load and store; readers load it atomically, so a sum taken while
// others allocate is a moment's view, and one taken after the threads have
// been joined is exact.
//
// Shards are never freed: a thread that ends gives its shard back with what
// it counted still in it (a block made on one thread may be freed on
// another, so a shard's own counts need not be zero), and the next new
// thread takes it over. The release and acquire on `owned` order the old
// owner's last counts before the new owner's first.
struct alignas(64) Shard {
  std::atomic<int64_t> blocks{0};
  std::atomic<int64_t> bytes{0};
  std::atomic<int64_t> total{0};
  std::atomic<bool> owned{false};
  Shard* next = nullptr;  // constant once the shard is published

  void add(std::atomic<int64_t>& c, int64_t d) {
    c.store(c.load(std::memory_order_relaxed) + d, std::memory_order_relaxed);
  }
};

std::atomic<Shard*> gShards{nullptr};  // all shards, newest first; push only

// Counts of threads that have no shard: before their first allocation could
// make one (no memory), and while they end, after their shard went back.
// Shared, so counted with locked instructions; these paths are rare.
struct alignas(64) SharedCounts {
  std::atomic<int64_t> blocks{0};
  std::atomic<int64_t> bytes{0};
  std::atomic<int64_t> total{0};
};
SharedCounts gShared;

struct alignas(64) FailCounter {
  std::atomic<int64_t> v{0};
};
FailCounter gFailSkip;
FailCounter gFailCount;

std::atomic<Allocator*> gCurrent{nullptr};

Shard* claimShard() {
  for (Shard* s = gShards.load(std::memory_order_acquire); s; s = s->next) {
    bool expected = false;
    if (!s->owned.load(std::memory_order_relaxed) &&
        s->owned.compare_exchange_strong(expected, true, std::memory_order_acquire,
                                         std::memory_order_relaxed))
      return s;
  }
  // Aligned as the type asks (a cache line of its own): malloc gives 16.
  void* raw = std::aligned_alloc(alignof(Shard), sizeof(Shard));
  if (!raw) return nullptr;
  Shard* s = new (raw) Shard;
  s->owned.store(true, std::memory_order_relaxed);
  Shard* head = gShards.load(std::memory_order_relaxed);
  do {
    s->next = head;
    // Release: a reader that finds the shard sees it constructed.
  } while (!gShards.compare_exchange_weak(head, s, std::memory_order_release,
                                          std::memory_order_relaxed));
  return s;
}

// ------------------------------------------------------------------ caches
//
// Small blocks are kept for reuse instead of going back to malloc. Each
// thread keeps up to kCacheMax free blocks of each size class; a thread
// whose cache of a class overflows passes kBatch of them to a shared depot,
// and a thread that runs out takes a batch from there. A pipeline allocates
// its packets on one thread and frees them on another, so a per-thread cache
// alone would only fill on the consumer and empty on the producer; the depot
// moves them back a batch, one lock, at a time. malloc's own per-thread
// cache is small, and past it a cross-thread free takes the arena lock of
// the thread that made the block, once per block.
//
// The counts do not see the caches: a cached block is not live, so
// liveBlocks() and liveBytes() are what the library holds, exactly.
//
// Size classes are 16 bytes apart, up to kMaxCached bytes of payload; a block
// of class c has room for c * 16 bytes whoever asked for it, so a block can
// be reused for any request of its class.
constexpr std::size_t kStep = 16;
constexpr std::size_t kMaxCached = 512;
constexpr std::size_t kClasses = kMaxCached / kStep + 1;
constexpr unsigned kCacheMax = 64;
constexpr unsigned kBatch = 32;
// Batches per class; the rest go to free(). A flow under back-pressure holds
// about a thousand packets, each of a few classes, and all of them come back
// when its consumer catches up: with room for 1024 blocks a class, about a
// third of a fork's allocations went to malloc. 2048 (64 KiB to 1 MiB a class)
// covers such a flow with room to spare.
constexpr unsigned kDepotMax = 64;

std::size_t classOf(std::size_t bytes) { return (bytes + kStep - 1) / kStep; }

// The depot: per class, a stack of batches. A batch is kBatch blocks linked
// through `next`; the first block's `bytes` field links the batches.
struct Depot {
  std::mutex mu;
  Header* batches[kClasses] = {};
  unsigned counts[kClasses] = {};

  // Takes a batch for the caller's cache; null when there is none.
  Header* take(std::size_t cls) {
    std::lock_guard<std::mutex> hold(mu);
    Header* b = batches[cls];
    if (b) {
      batches[cls] = reinterpret_cast<Header*>(b->bytes);
      --counts[cls];
    }
    return b;
  }
  // Keeps the batch `b` of exactly kBatch blocks; false when the depot is
  // full and the caller must free them.
  bool give(std::size_t cls, Header* b) {
    std::lock_guard<std::mutex> hold(mu);
    if (counts[cls] >= kDepotMax) return false;
    b->bytes = reinterpret_cast<std::size_t>(batches[cls]);
    batches[cls] = b;
    ++counts[cls];
    return true;
  }
};
Depot gDepot;

void freeChain(Header* h) {
  while (h) {
    Header* next = h->next;
    std::free(h);
    h = next;
  }
}

// A thread's own state: its shard and its caches. Only the thread itself
// touches it, until it ends.
struct ThreadState {
  Shard* shard = nullptr;
  Header* free[kClasses] = {};
  unsigned counts[kClasses] = {};

  Header* pop(std::size_t cls) {
    Header* h = free[cls];
    if (!h) {
      h = gDepot.take(cls);
      if (!h) return nullptr;
      counts[cls] = kBatch;
    }
    free[cls] = h->next;
    --counts[cls];
    return h;
  }

  void push(std::size_t cls, Header* h) {
    // Full: the kBatch most recently freed blocks go to the depot; the
    // older ones stay here.
    if (counts[cls] >= kCacheMax) handOverBatch(cls);
    h->next = free[cls];
    free[cls] = h;
    ++counts[cls];
  }

  // Unlinks the first kBatch cached blocks of a class (there are at least
  // that many) and gives them to the depot, or to free() when it is full.
  void handOverBatch(std::size_t cls) {
    Header* first = free[cls];
    Header* last = first;
    for (unsigned i = 1; i < kBatch; ++i) last = last->next;
    free[cls] = last->next;
    counts[cls] -= kBatch;
    last->next = nullptr;
    if (!gDepot.give(cls, first)) freeChain(first);
  }

  // At thread exit: full batches go to the depot, the rest to free().
  void flush() {
    for (std::size_t cls = 0; cls < kClasses; ++cls) {
      while (counts[cls] >= kBatch) handOverBatch(cls);
      freeChain(free[cls]);
      free[cls] = nullptr;
      counts[cls] = 0;
    }
  }
};

// The calling thread's state, made at its first allocation. tState is a
// plain pointer, so the hot path reads it without the wrapper call that a
// thread_local with a destructor costs; the Reaper, made once per thread,
// carries the state and hands it back when the thread ends. After that (a
// thread's last objects are often freed by other thread-exit handlers)
// tGone sends the thread to the shared counts and to malloc and free.
//
// initial-exec: the library is linked, not opened late, so its two words of
// thread-local storage can sit in the static block, read with one
// instruction instead of a call to __tls_get_addr on every allocation.
struct Reaper;
__attribute__((tls_model("initial-exec"))) thread_local ThreadState* tState = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local bool tGone = false;

struct Reaper {
  ThreadState state;
  Reaper() { state.shard = claimShard(); }
  ~Reaper() {
    tState = nullptr;
    tGone = true;
    state.flush();
    if (state.shard) state.shard->owned.store(false, std::memory_order_release);
  }
};

ThreadState* attach() {
  if (tGone) return nullptr;
  static thread_local Reaper reaper;
  if (!reaper.state.shard) return nullptr;  // no memory for a shard
  tState = &reaper.state;
  return tState;
}

inline ThreadState* threadState() {
  ThreadState* t = tState;
  return t ? t : attach();
}

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
  ThreadState* t = threadState();
  Header* h = nullptr;
  if (bytes <= kMaxCached) {
    const std::size_t cls = classOf(bytes);
    if (ZKFLOW_ALLOC_CACHE && t) h = t->pop(cls);
    if (!h) h = static_cast<Header*>(std::malloc(cls * kStep + kHeader));
  } else {
    h = static_cast<Header*>(std::malloc(bytes + kHeader));
  }
  if (!h) return nullptr;
  h->bytes = bytes;
  if (t) {
    Shard* s = t->shard;
    s->add(s->blocks, 1);
    s->add(s->bytes, static_cast<int64_t>(bytes));
    s->add(s->total, 1);
  } else {
    gShared.blocks.fetch_add(1, std::memory_order_relaxed);
    gShared.bytes.fetch_add(static_cast<int64_t>(bytes), std::memory_order_relaxed);
    gShared.total.fetch_add(1, std::memory_order_relaxed);
  }
  return payloadOf(h);
}

void CountingAllocator::release(void* block) {
  if (!block) return;
  Header* h = headerOf(block);
  const std::size_t bytes = h->bytes;
  ThreadState* t = threadState();
  if (t) {
    Shard* s = t->shard;
    s->add(s->blocks, -1);
    s->add(s->bytes, -static_cast<int64_t>(bytes));
  } else {
    gShared.blocks.fetch_sub(1, std::memory_order_relaxed);
    gShared.bytes.fetch_sub(static_cast<int64_t>(bytes), std::memory_order_relaxed);
  }
  if (ZKFLOW_ALLOC_CACHE && t && bytes <= kMaxCached) {
    t->push(classOf(bytes), h);
  } else {
    std::free(h);
  }
}

namespace {
int64_t sum(std::atomic<int64_t> Shard::*field, std::atomic<int64_t> SharedCounts::*shared) {
  int64_t total = (gShared.*shared).load(std::memory_order_relaxed);
  for (Shard* s = gShards.load(std::memory_order_acquire); s; s = s->next)
    total += (s->*field).load(std::memory_order_relaxed);
  return total;
}
}  // namespace

int64_t CountingAllocator::liveBlocks() const { return sum(&Shard::blocks, &SharedCounts::blocks); }
int64_t CountingAllocator::liveBytes() const { return sum(&Shard::bytes, &SharedCounts::bytes); }
uint64_t CountingAllocator::totalAllocations() const {
  return static_cast<uint64_t>(sum(&Shard::total, &SharedCounts::total));
}

}  // namespace Utils

void zkflow::testing::failAllocations(uint64_t skip, uint64_t n) {
  Utils::gFailSkip.v.store(static_cast<int64_t>(skip), std::memory_order_relaxed);
  Utils::gFailCount.v.store(static_cast<int64_t>(n), std::memory_order_relaxed);
}
