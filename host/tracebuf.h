// SPDX-License-Identifier: Apache-2.0
// The recording side of the trace timeline (zkflow/trace.h): per-thread
// buffers of events, filled without a lock.
//
// A recording session hands each thread that records a buffer of its own,
// made at its first event and filled by that thread alone: an event is one
// store into the buffer and a release store of its count. A full buffer
// counts what it drops. Reading a session (collect()) takes the registry's
// lock and copies each buffer up to the count it sees, while the threads go
// on recording.
//
// Lifetime: a buffer is freed only once its thread has let go of it (it
// moved on to a newer session or exited), at the start of the next session
// or by clear(). A thread may still be in the middle of an event when a
// session ends, and must never find its buffer gone under it.
//
// Buffers come from malloc, not from Utils::Allocator: like the system
// layer's thread records, they live as long as threads do, and a test that
// compares the allocator's live blocks must not see them.
//
// Thread safety: every function, any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zkflow {
namespace trace {

// One event. `end` 0 marks an instant; otherwise begin..end is a span.
// `name` and `argName` must be string literals (or live as long as the
// process): events keep the pointers.
struct Event {
  uint64_t begin;
  uint64_t end;
  const char* name;
  const char* argName;  // null: no argument
  uint32_t track;       // from track(); 0: none
  int32_t arg;
};

// The session being recorded, 0 when none.
extern std::atomic<uint32_t> gSession;

inline bool on() { return gSession.load(std::memory_order_relaxed) != 0; }

// Starts a session: every thread's next event goes to a new buffer of
// `eventsPerThread` events. Frees what earlier sessions left behind.
void start(std::size_t eventsPerThread);
// Ends the session; what it recorded stays readable until the next start
// or clear().
void stop();
// Frees every buffer that no thread holds any more (stop() first).
void clear();

// Appends to the calling thread's buffer; nothing outside a session.
void record(const Event& e);

// A new track for a named activity (a task's run) in the current session:
// 1, 2, ...; 0 outside a session or out of memory. Copies the name. Callers
// keep the number for the session (see session()).
uint32_t track(const char* name);
inline uint32_t session() { return gSession.load(std::memory_order_relaxed); }

// How the calling thread is labelled in the next session's buffer, when no
// worker query claims it (see setWorkerQuery). Truncated to 47 characters.
void labelThread(const char* label);
// A scheduler's query for whether the calling thread is one of its pool's
// workers: its index, or -1. A worker's buffer is labelled "worker N".
void setWorkerQuery(int (*query)());

// What the last session recorded.
struct ThreadRecord {
  uint32_t thread;  // 1, 2, ... in the order threads first recorded
  std::string label;
  uint64_t dropped;
  std::vector<Event> events;
};
struct Recording {
  uint64_t startTicks = 0;
  uint64_t stopTicks = 0;
  std::vector<std::string> tracks;  // track n is tracks[n - 1]
  std::vector<ThreadRecord> threads;
};
Recording collect();

}  // namespace trace
}  // namespace zkflow
