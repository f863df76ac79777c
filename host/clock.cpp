// SPDX-License-Identifier: Apache-2.0
#include "zkflow/host/clock.h"

#include "simclock.h"

Utils::Time ZtClock::timeNow() {
  // CLOCK_MONOTONIC, or the simulated clock while it is on (simclock.h).
  const uint64_t ns = zkflow::sim::nowNs();
  // 65536 / 1e9 reduces to 128 / 1953125; nanoseconds * 128 stays far below
  // 2^63, so the fraction is exact up to its truncation.
  const int64_t frac = (static_cast<int64_t>(ns % 1000000000ull) * 128) / 1953125;
  return Utils::Time::fromRaw((static_cast<int64_t>(ns / 1000000000ull) << 16) + frac);
}
