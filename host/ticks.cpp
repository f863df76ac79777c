// SPDX-License-Identifier: Apache-2.0
#include "host/ticks.h"

#include <time.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace zkflow {
namespace detail {

std::atomic<bool> gTicksFromTsc{false};

uint64_t monotonicNanos() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace detail

namespace {

std::once_flag gSourceOnce;
std::once_flag gRateOnce;
double gTicksPerSecond = 1e9;

// The kernel's own judgement: it uses the counter as its clock source only
// when the counter runs at one rate on every processor, through sleep states
// and frequency changes. A virtual machine whose counter jumps gets another
// source, and so do we.
bool kernelClockIsTsc() {
  std::FILE* f = std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "r");
  if (!f) return false;
  char name[32] = {};
  const bool read = std::fgets(name, sizeof name, f) != nullptr;
  std::fclose(f);
  return read && std::strncmp(name, "tsc", 3) == 0;
}

}  // namespace

void tickSource() {
  std::call_once(gSourceOnce, [] {
#if ZKFLOW_HAVE_TSC
    detail::gTicksFromTsc.store(kernelClockIsTsc(), std::memory_order_relaxed);
#endif
  });
}

double ticksPerSecond() {
  tickSource();
  std::call_once(gRateOnce, [] {
    if (!detail::gTicksFromTsc.load(std::memory_order_relaxed)) return;  // nanoseconds
    // Each end reads the counter between two clock readings, so that the
    // pair is no further apart than those two; over 2 ms that bounds the
    // error to some parts in 10^5.
    const auto pair = [](uint64_t& tick, uint64_t& nanos) {
      const uint64_t a = detail::monotonicNanos();
      tick = ticks();
      nanos = (a + detail::monotonicNanos()) / 2;
    };
    uint64_t t0, n0, t1, n1;
    pair(t0, n0);
    const timespec pause{0, 2000000};
    nanosleep(&pause, nullptr);
    pair(t1, n1);
    if (n1 > n0 && t1 > t0) gTicksPerSecond = static_cast<double>(t1 - t0) * 1e9 / static_cast<double>(n1 - n0);
  });
  return gTicksPerSecond;
}

}  // namespace zkflow
