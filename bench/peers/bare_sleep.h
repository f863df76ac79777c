// SPDX-License-Identifier: Apache-2.0
// Baseline for the clock-regulated source: a bare loop that sleeps with
// clock_nanosleep until absolute deadlines `period` apart on
// CLOCK_MONOTONIC and notes how late it woke for each, in microseconds.
// It is the floor of any pacing on this machine: the kernel's timer and
// scheduling latency and nothing else.
#pragma once

#include <time.h>

#include <cstdint>
#include <vector>

namespace peers {

inline std::vector<double> runBareSleepLoop(double seconds, double period) {
  std::vector<double> late;
  timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  const auto periodNs = static_cast<int64_t>(period * 1e9);
  const auto cycles = static_cast<int64_t>(seconds / period);
  late.reserve(static_cast<size_t>(cycles));
  for (int64_t k = 0; k < cycles; ++k) {
    next.tv_nsec += periodNs;
    while (next.tv_nsec >= 1000000000L) {
      next.tv_nsec -= 1000000000L;
      ++next.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) != 0) {
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    late.push_back(static_cast<double>(now.tv_sec - next.tv_sec) * 1e6 +
                   static_cast<double>(now.tv_nsec - next.tv_nsec) / 1e3);
  }
  return late;
}

}  // namespace peers
