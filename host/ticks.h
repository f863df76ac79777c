// SPDX-License-Identifier: Apache-2.0
// A tick counter cheap enough to read on every work step of a flow task.
//
// ticks() is the processor's time-stamp counter where the operating system
// itself trusts it as a clock (an invariant counter, the same on every
// processor), and the monotonic clock in nanoseconds elsewhere. Readings
// from different threads may be subtracted from each other. It costs about
// half of a clock_gettime() here, and it is never converted on the hot path:
// stage metrics and trace events keep raw ticks and convert them when they
// are read, with ticksPerSecond().
//
// Thread safety: any function, any thread.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define ZKFLOW_HAVE_TSC 1
#endif

namespace zkflow {
namespace detail {
// Whether ticks() reads the time-stamp counter; settled by tickSource().
extern std::atomic<bool> gTicksFromTsc;
// The monotonic clock in nanoseconds.
uint64_t monotonicNanos();
}  // namespace detail

// Decides, once, which counter ticks() reads; the first flow task that starts
// calls it, so that the choice is made before any stamp is taken. Later calls
// cost one atomic load.
void tickSource();

inline uint64_t ticks() {
#if ZKFLOW_HAVE_TSC
  if (detail::gTicksFromTsc.load(std::memory_order_relaxed)) return __rdtsc();
#endif
  return detail::monotonicNanos();
}

// Ticks in a second, measured once against the monotonic clock (the first
// call takes about 2 ms).
double ticksPerSecond();

}  // namespace zkflow
