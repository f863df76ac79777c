// SPDX-License-Identifier: Apache-2.0
#include "host/tracebuf.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "host/ticks.h"

namespace zkflow {
namespace trace {

std::atomic<uint32_t> gSession{0};
__thread Cursor tCursor = {};

const char* name(Kind k) {
  static const char* const kNames[] = {"step",  "cycle",   "wait: input empty", "wait: output full",
                                       "idle: no inputs", "sleep", "dropout", "end of flow sent",
                                       "end of flow", "flush", "handle"};
  constexpr std::size_t kCount = sizeof kNames / sizeof kNames[0];
  static_assert(kCount == static_cast<std::size_t>(Kind::Handle) + 1, "a name for every kind");
  const auto i = static_cast<std::size_t>(k);
  return i < kCount ? kNames[i] : "?";
}

const char* argName(Kind k) {
  switch (k) {
    case Kind::Step: return "bytes";
    case Kind::InputEmpty:
    case Kind::EndOfFlow:
    case Kind::Flush: return "input";
    case Kind::OutputFull: return "output";
    case Kind::Dropout: return "late_us";
    default: return nullptr;
  }
}

namespace {

constexpr std::size_t kLabel = 48;

struct Buffer {
  uint32_t session;
  uint32_t thread;
  char label[kLabel];
  std::size_t capacity;
  // Written by the owning thread only (through its Cursor); release, so
  // that a reader that sees a count sees the events below it.
  std::atomic<std::size_t> count;
  std::atomic<uint64_t> dropped;
  // Under the registry's lock.
  bool ownerGone;
  Buffer* next;
  Event events[1];
};

// Never destroyed: a thread may end, and let go of its buffer, while the
// process exits.
struct Registry {
  std::mutex mu;
  Buffer* buffers = nullptr;
  uint32_t lastSession = 0;
  uint32_t threads = 0;
  std::size_t capacity = 0;
  uint64_t startTicks = 0;
  uint64_t stopTicks = 0;
  std::vector<std::string> tracks;
  std::atomic<int (*)()> workerQuery{nullptr};
};

Registry& registry() {
  alignas(Registry) static unsigned char storage[sizeof(Registry)];
  static Registry* r = new (storage) Registry;
  return *r;
}

// The thread's current buffer, behind tCursor. The hot path reads only
// tCursor, whose initial-exec model keeps it a plain load in a shared
// library too (the default model would call into the dynamic linker on
// every event).
__attribute__((tls_model("initial-exec"))) thread_local Buffer* tBuffer = nullptr;
// A session in which this thread could not get a buffer: it does not ask
// again on every event.
__attribute__((tls_model("initial-exec"))) thread_local uint32_t tRefused = 0;
thread_local char tLabel[kLabel] = {};

void letGo(Buffer* b) {
  if (b) b->ownerGone = true;
}

// The calling thread lets go of its buffer. Under the registry's lock.
void detach() {
  letGo(tBuffer);
  tBuffer = nullptr;
  tCursor = Cursor{};
}

// Lets the registry know, when the thread ends, that its buffer is free to go.
struct ThreadEnd {
  bool armed = false;
  ~ThreadEnd() {
    if (!armed) return;
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.mu);
    detach();
  }
};
thread_local ThreadEnd tEnd;

void freeReleased(Registry& r) {
  Buffer** link = &r.buffers;
  while (Buffer* b = *link) {
    if (b->ownerGone) {
      *link = b->next;
      b->~Buffer();
      std::free(b);
    } else {
      link = &b->next;
    }
  }
}

Buffer* attach(uint32_t session) {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  if (gSession.load(std::memory_order_relaxed) != session) return nullptr;  // it ended meanwhile
  tEnd.armed = true;
  detach();
  const std::size_t bytes = sizeof(Buffer) + (r.capacity - 1) * sizeof(Event);
  void* mem = std::malloc(bytes);
  if (!mem) {
    tRefused = session;
    return nullptr;
  }
  Buffer* b = new (mem) Buffer;
  b->session = session;
  b->thread = ++r.threads;
  b->capacity = r.capacity;
  b->count.store(0, std::memory_order_relaxed);
  b->dropped.store(0, std::memory_order_relaxed);
  b->ownerGone = false;
  int (*query)() = r.workerQuery.load(std::memory_order_acquire);
  const int worker = query ? query() : -1;
  if (worker >= 0) {
    std::snprintf(b->label, kLabel, "worker %d", worker);
  } else if (tLabel[0]) {
    std::memcpy(b->label, tLabel, kLabel);
  } else {
    std::snprintf(b->label, kLabel, "thread %u", b->thread);
  }
  b->next = r.buffers;
  r.buffers = b;
  tBuffer = b;
  tCursor = Cursor{b->events, 0, b->capacity, &b->count, session};
  return b;
}

}  // namespace

void start(std::size_t eventsPerThread) {
  tickSource();
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  freeReleased(r);
  if (++r.lastSession == 0) ++r.lastSession;
  r.capacity = eventsPerThread ? eventsPerThread : 1;
  r.threads = 0;
  r.tracks.clear();
  r.startTicks = ticks();
  r.stopTicks = 0;
  gSession.store(r.lastSession, std::memory_order_release);
}

void stop() {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  if (gSession.load(std::memory_order_relaxed) == 0) return;
  gSession.store(0, std::memory_order_release);
  r.stopTicks = ticks();
}

void clear() {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  if (gSession.load(std::memory_order_relaxed) != 0) {
    freeReleased(r);  // a session runs: only what earlier ones left
    return;
  }
  // The calling thread's own buffer may go too, and what other threads
  // still hold is no longer part of any recording.
  detach();
  freeReleased(r);
  r.tracks.clear();
  if (++r.lastSession == 0) ++r.lastSession;
}

void recordSlow(uint32_t session, uint64_t begin, uint64_t end, uint32_t tag, int32_t arg) {
  Buffer* b = tBuffer;
  if (b && b->session == session) {  // full
    b->dropped.store(b->dropped.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return;
  }
  if (tRefused == session || !(b = attach(session))) return;
  b->events[0] = Event{begin, end, tag, arg};
  tCursor.used = 1;
  b->count.store(1, std::memory_order_release);
}

uint32_t track(const char* name) {
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  if (gSession.load(std::memory_order_relaxed) == 0 || r.tracks.size() >= kMostTracks) return 0;
  r.tracks.emplace_back(name ? name : "");
  return static_cast<uint32_t>(r.tracks.size());
}

void labelThread(const char* label) {
  std::snprintf(tLabel, kLabel, "%s", label ? label : "");
}

void setWorkerQuery(int (*query)()) { registry().workerQuery.store(query, std::memory_order_release); }

Recording collect() {
  Recording out;
  Registry& r = registry();
  std::lock_guard<std::mutex> g(r.mu);
  out.startTicks = r.startTicks;
  out.stopTicks = r.stopTicks ? r.stopTicks : ticks();
  out.tracks = r.tracks;
  for (Buffer* b = r.buffers; b; b = b->next) {
    if (b->session != r.lastSession) continue;
    ThreadRecord t;
    t.thread = b->thread;
    t.label = b->label;
    t.dropped = b->dropped.load(std::memory_order_relaxed);
    const std::size_t n = b->count.load(std::memory_order_acquire);
    t.events.assign(b->events, b->events + n);
    out.threads.push_back(std::move(t));
  }
  return out;
}

}  // namespace trace
}  // namespace zkflow
