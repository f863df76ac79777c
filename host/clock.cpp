// SPDX-License-Identifier: Apache-2.0
#include "zkflow/host/clock.h"

#include <time.h>

Utils::Time ZtClock::timeNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  // 65536 / 1e9 reduces to 128 / 1953125; nanoseconds * 128 stays far below
  // 2^63, so the fraction is exact up to its truncation.
  const int64_t frac = (static_cast<int64_t>(ts.tv_nsec) * 128) / 1953125;
  return Utils::Time::fromRaw((static_cast<int64_t>(ts.tv_sec) << 16) + frac);
}
