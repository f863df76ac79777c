// SPDX-License-Identifier: Apache-2.0
// The simulated clock's machinery, for the host layer (clock.cpp, lock.cpp,
// zsys.cpp, pool.cpp). Internal to host/; users see zkflow/host/simtime.h.
//
// While it is on, the host clock (ZtClock::timeNow, every sleep, every timed
// wait) reads a virtual time that stands still while any participant runs
// and jumps to the earliest deadline once every participant waits. The
// participants are the thread that turned it on, the threads that
// ZIF_CreateTask starts while it is on and the pool's workers; each counts
// as running except while it waits here. A wait that is not made here (a
// std::mutex, a condition variable, a busy loop) counts as running: it
// holds time still, it never lets it jump.
//
// Counting. `running` is changed under one mutex: a waiter takes itself off
// when it registers, and whoever wakes it (an unlock, a wake of its word, a
// jump of time) puts it back on in the same critical section, before the
// woken thread has run again. So a wake-up in flight counts as running, and
// time cannot jump between the wake and the waiter's return.
//
// Thread safety: every function, any thread.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

namespace zkflow {
namespace sim {

extern std::atomic<bool> gActive;
// Whether the host clock is other than the bare monotonic one: on, or ahead
// of it after a simulation. The one flag the real clock's path looks at.
extern std::atomic<bool> gShifted;
// The virtual time (host ns) while on; what it ran ahead of the monotonic
// clock while off. Written under the simulation's mutex, read anywhere.
extern std::atomic<uint64_t> gNow;
extern std::atomic<int64_t> gOffset;

// Whether the simulated clock is on: one relaxed load, for every wait's
// choice between the real primitive and the simulated one.
inline bool on() { return gActive.load(std::memory_order_relaxed); }

// The host clock in nanoseconds: the virtual time while on, otherwise the
// monotonic clock plus what virtual time ran ahead of it (so the clock never
// steps back when the simulation ends). Inline: the real clock's path costs
// one predictable branch on gShifted more than the bare monotonic clock.
inline uint64_t nowNs() {
  const bool shifted = gShifted.load(std::memory_order_relaxed);
  if (shifted && on()) return gNow.load(std::memory_order_relaxed);
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t mono = static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
  return shifted ? mono + static_cast<uint64_t>(gOffset.load(std::memory_order_relaxed)) : mono;
}
// An absolute host deadline as a CLOCK_MONOTONIC one, for the real waits.
uint64_t toMonoNs(uint64_t hostNs);

// The participant session of the calling thread: the current session when
// the thread counts as a participant, else 0. Pass it to waitWord().
uint32_t mySession();

// Waits while *word == seen (looked at under the mutex, as a futex does),
// until wake(word) or the host deadline (0: none), or returns at once when
// the clock is off. `session`: the waiter's participant session (0 when it
// does not count). Returns false when the deadline ended the wait.
bool waitWord(const std::atomic<uint32_t>* word, uint32_t seen, uint64_t deadlineNs, uint32_t session);
// Wakes up to n waiters of `word` (n < 0: all), first come first woken.
void wake(const void* word, int n);
// For a participant that polls (a cooperative task that yields while the
// thread's other tasks sleep until the host deadline): when no other
// participant runs, time jumps to the earliest deadline, as if the caller
// waited for it; otherwise nothing happens. Never blocks.
void pollTime(uint64_t deadlineNs);
// A counted sleep of the calling thread until the host deadline.
void sleepUntil(uint64_t deadlineNs);

// A participant more (a thread being started, a worker added): returns its
// session, to be handed to it, or 0 when the clock is off.
uint32_t join();
// The calling thread takes the session its starter joined for it.
void adopt(uint32_t session);
// A participant of `session` ends (its thread returns).
void leave(uint32_t session);

}  // namespace sim

namespace pool {
// Called by the simulated clock as it starts (session != 0) and ends
// (session 0): counts the pool's workers in and wakes its idle ones, which
// then wait on the simulated clock; or lets them go back to the real one.
void simulated(uint32_t session);
}  // namespace pool

}  // namespace zkflow
