// SPDX-License-Identifier: Apache-2.0
#include "zkflow/host/clock.h"

#include "simclock.h"

Utils::Time ZtClock::timeNow() {
  // CLOCK_MONOTONIC, or the host clock of simclock.h once a simulation
  // bent it (the split into seconds costs a few instructions: not here).
  timespec ts;
  if (__builtin_expect(zkflow::sim::gShifted.load(std::memory_order_relaxed), 0)) {
    const uint64_t ns = zkflow::sim::nowNs();
    ts.tv_sec = static_cast<time_t>(ns / 1000000000ull);
    ts.tv_nsec = static_cast<long>(ns % 1000000000ull);
  } else {
    clock_gettime(CLOCK_MONOTONIC, &ts);
  }
  // 65536 / 1e9 reduces to 128 / 1953125; nanoseconds * 128 stays far below
  // 2^63, so the fraction is exact up to its truncation.
  const int64_t frac = (static_cast<int64_t>(ts.tv_nsec) * 128) / 1953125;
  return Utils::Time::fromRaw((static_cast<int64_t>(ts.tv_sec) << 16) + frac);
}
