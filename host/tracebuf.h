// SPDX-License-Identifier: Apache-2.0
// The recording side of the trace timeline (zkflow/trace.h): per-thread
// buffers of events, filled without a lock.
//
// A recording session hands each thread that records a buffer of its own,
// made at its first event and filled by that thread alone: an event is one
// store into the buffer and a release store of its count, inline. A full buffer
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

// What an event is: its name, and the name of its argument (null: none).
// A kind instead of the names keeps an event small: every work step of a
// flow task records one while a trace runs.
enum class Kind : uint8_t {
  Step,         // "step", bytes
  Cycle,        // "cycle"
  InputEmpty,   // "wait: input empty", input
  OutputFull,   // "wait: output full", output
  Idle,         // "idle: no inputs"
  Sleep,        // "sleep"
  Dropout,      // "dropout", late_us
  EndSent,      // "end of flow sent"
  EndOfFlow,    // "end of flow", input
  Flush,        // "flush", input
  Handle,       // "handle": a queue task's handler call
};
const char* name(Kind k);
const char* argName(Kind k);

// One event, 24 bytes. `end` 0 marks an instant; otherwise begin..end is a
// span.
struct Event {
  uint64_t begin;
  uint64_t end;
  uint32_t tag;  // the track (from track(); 0: none) in the low 24 bits, the Kind above
  int32_t arg;

  static uint32_t tagOf(Kind k, uint32_t track) { return track | static_cast<uint32_t>(k) << 24; }
  uint32_t track() const { return tag & 0xffffff; }
  Kind kind() const { return static_cast<Kind>(tag >> 24); }
};
// Tracks past this share track 0.
constexpr uint32_t kMostTracks = (1u << 24) - 1;

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

// The calling thread's place in its buffer. The hot path below touches only
// this: one thread-local block, no call. `session` is 0 until the thread
// has a buffer of the current session; `used == capacity` when it is full.
struct Cursor {
  Event* events;
  std::size_t used;
  std::size_t capacity;
  std::atomic<std::size_t>* count;  // the buffer's, published to readers
  uint32_t session;
};
__attribute__((tls_model("initial-exec"))) extern __thread Cursor tCursor;
// The rest of record(): a first event of the session, or a full buffer.
// The fields one by one, as record() has them in registers.
void recordSlow(uint32_t session, uint64_t begin, uint64_t end, uint32_t tag, int32_t arg);

// Appends to the calling thread's buffer in `session`, which the caller
// read from session() and found not 0. A session that ends meanwhile still
// takes the event, as if it had come a moment earlier.
inline void record(uint32_t session, uint64_t begin, uint64_t end, Kind k, uint32_t track, int32_t arg) {
  Cursor& c = tCursor;
  if (c.session != session || c.used == c.capacity) return recordSlow(session, begin, end, Event::tagOf(k, track), arg);
  Event& e = c.events[c.used];
  e.begin = begin;
  e.end = end;
  e.tag = Event::tagOf(k, track);
  e.arg = arg;
  // Release: a reader that sees the count sees the events below it.
  c.count->store(++c.used, std::memory_order_release);
}

// A new track for a named activity (a task's run) in the current session:
// 1, 2, ...; 0 outside a session, out of memory or past kMostTracks. Copies the name. Callers
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
