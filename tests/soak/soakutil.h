// SPDX-License-Identifier: Apache-2.0
// What the soak programs share: their arguments, a seeded generator, the
// counters of the summary line, a watchdog that turns a stall into a failure
// naming what stalled, and the loop that runs them. They are plain main()s
// sized by their arguments, so that the same code runs as a short ctest case
// and as an hours-long local run.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zkflow/host/allocator.h"
#include "zkflow/host/log.h"

namespace soak {

using Clock = std::chrono::steady_clock;
inline double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// splitmix64, seeded from the run's seed so that a run can be replayed.
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t below(uint64_t n) { return n ? next() % n : 0; }
  uint64_t range(uint64_t lo, uint64_t hi) { return lo + below(hi - lo + 1); }
  int pick(int n) { return static_cast<int>(below(static_cast<uint64_t>(n))); }
  bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1p-53 < p; }
};
inline uint64_t mix(uint64_t seed, uint64_t k) { return Rng{seed ^ (k * 0xD1B54A32D192ED03ull)}.next(); }

// The run. Counter 0 is the bytes moved (--bytes-limit, the rate), counter 1
// the pipelines or rounds run; a counter whose name starts with '!' is a
// fault, and any fault fails the run.
struct Run {
  const char* prog = "";
  std::vector<const char*> names;
  std::atomic<uint64_t> n[24] = {};
  double count = 0, seconds = 0, hangSeconds = 60, scale = 1, bytesLimit = 0;
  uint64_t seed = 0, only = 0;
  Clock::time_point t0 = Clock::now(), deadline = Clock::time_point::max();
  std::atomic<uint64_t> progress{0};
  std::mutex mu;  // guards context
  std::string context = "start-up";
};
inline Run state;
inline void tick() { state.progress.fetch_add(1, std::memory_order_relaxed); }
inline void add(int i, uint64_t v = 1) { state.n[i].fetch_add(v, std::memory_order_relaxed); }
inline uint64_t get(int i) { return state.n[i].load(); }
inline bool timeUp() { return Clock::now() > state.deadline; }
inline uint64_t scaled(uint64_t n) { return std::max(1.0, static_cast<double>(n) * state.scale); }
inline void context(const std::string& c) {
  std::lock_guard<std::mutex> hold(state.mu);
  state.context = c;
}
inline uint64_t faults() {
  uint64_t f = 0;
  for (size_t i = 0; i < state.names.size(); ++i) f += state.names[i][0] == '!' ? get(static_cast<int>(i)) : 0;
  return f;
}
inline std::string line() {
  std::string s = state.prog + std::string(":");
  for (size_t i = 0; i < state.names.size(); ++i)
    s += " " + std::string(state.names[i] + (*state.names[i] == '!')) + "=" + std::to_string(get(static_cast<int>(i)));
  char b[96];
  const double wall = since(state.t0);
  std::snprintf(b, sizeof b, " seed=0x%" PRIx64 " wall=%.1fs rate=%.1fMB/s", state.seed, wall,
                static_cast<double>(get(0)) / (wall > 0 ? wall : 1) / 1e6);
  return s + b;
}

inline int64_t liveBlocks() { return Utils::Allocator::defaultAllocator()->liveBlocks(); }

// Observes until cond holds or `seconds` pass. The watchdog turns a stall
// into a failure long before a sane limit.
inline void waitUntil(const std::function<bool()>& cond, double seconds = 1e12) {
  for (const auto t0 = Clock::now(); !cond() && since(t0) < seconds;)
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // polling a state, not ordering
}

// Parses the arguments ("--<countName> N --seconds S --seed X --bytes-limit
// N[kMG] --only SEED --hang-seconds S --scale F"), prints the seed, then runs
// runOne(index, seed) and checks the allocator's live count, until the
// count, --seconds or --bytes-limit, under a watchdog: no tick() for
// --hang-seconds prints HANG, the context and the summary and ends the
// process with status 3 (a stuck thread can be neither joined nor abandoned
// safely). Prints the summary; 1 on any fault.
inline int main(int argc, char** argv, const char* countName, std::vector<const char*> names,
                Utils::LogSinkFn onLog, const std::function<void(long, uint64_t)>& runOne) {
  Run& r = state;
  r.prog = std::strrchr(argv[0], '/') ? std::strrchr(argv[0], '/') + 1 : argv[0];
  r.names = std::move(names);
  r.names.push_back("!leaked_blocks");
  const int leaked = static_cast<int>(r.names.size()) - 1;
  const std::string countFlag = std::string("--") + countName;
  for (int i = 1; i < argc; i += 2) {
    const std::string k = argv[i];
    double* real = k == countFlag ? &r.count : k == "--seconds" ? &r.seconds : k == "--hang-seconds" ? &r.hangSeconds
                 : k == "--scale" ? &r.scale : k == "--bytes-limit" ? &r.bytesLimit : nullptr;
    uint64_t* whole = k == "--seed" ? &r.seed : k == "--only" ? &r.only : nullptr;
    if ((!real && !whole) || i + 1 >= argc) {
      std::fprintf(stderr, "usage: %s [%s N] [--seconds S] [--seed X] [--bytes-limit N[kMG]] [--only SEED] "
                   "[--hang-seconds S] [--scale F]\n", r.prog, countFlag.c_str());
      return k == "--help" || k == "-h" ? 0 : 2;
    }
    char* unit = nullptr;
    if (whole) *whole = std::strtoull(argv[i + 1], nullptr, 0);
    if (real) *real = std::strtod(argv[i + 1], &unit);
    const char* units = "kKmMgG";  // a size may end in k, M or G (powers of 1024)
    if (const char* u = real && *unit ? std::strchr(units, *unit) : nullptr)
      *real *= static_cast<double>(1ull << (10 * (1 + (u - units) / 2)));
  }
  if (r.count < 1 || r.hangSeconds <= 0 || r.scale <= 0) return std::fprintf(stderr, "%s: bad size\n", r.prog), 2;
  if (r.seed == 0) r.seed = static_cast<uint64_t>(Clock::now().time_since_epoch().count()) | 1;
  std::printf("%s: seed=0x%" PRIx64 " %s=%.0f seconds=%g bytes_limit=%.0f\n", r.prog, r.seed, countName, r.count,
              r.seconds, r.bytesLimit);
  std::fflush(stdout);  // the seed, before anything can go wrong
  r.t0 = Clock::now();
  if (r.seconds > 0) r.deadline = r.t0 + std::chrono::milliseconds(static_cast<int64_t>(r.seconds * 1000));
  Utils::Log::theLog()->sink(onLog, nullptr);
  std::atomic<bool> quit{false};
  std::thread watchdog([&] {
    uint64_t seen = ~0ull;
    for (auto last = Clock::now(); !quit.load(); std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
      if (r.progress.load() != seen) {  // the watchdog's own clock: nothing is ordered by the sleep
        seen = r.progress.load(), last = Clock::now();
      } else if (since(last) > r.hangSeconds) {
        std::lock_guard<std::mutex> hold(r.mu);
        std::fprintf(stderr, "HANG: no progress for %.0f s in %s\n", r.hangSeconds, r.context.c_str());
        std::printf("%s HANG\n", line().c_str());
        std::fflush(nullptr);
        std::_Exit(3);
      }
    }
  });
  for (long i = 0; i < (r.only ? 1 : static_cast<long>(r.count)) && !timeUp(); ++i) {
    if (r.bytesLimit > 0 && static_cast<double>(get(0)) >= r.bytesLimit) break;
    const uint64_t seed = r.only ? r.only : mix(r.seed, static_cast<uint64_t>(i)), faults0 = faults();
    const int64_t live0 = liveBlocks();
    runOne(i, seed);
    add(1);
    waitUntil([&] { return liveBlocks() == live0; }, 10);  // threads winding down let go of what they hold
    add(leaked, static_cast<uint64_t>(std::max<int64_t>(0, liveBlocks() - live0)));
    tick();
    std::lock_guard<std::mutex> hold(r.mu);
    if (faults() != faults0) std::fprintf(stderr, "FAILED: %s (--only 0x%" PRIx64 ")\n", r.context.c_str(), seed);
  }
  quit.store(true);
  watchdog.join();
  Utils::Log::theLog()->sink(nullptr, nullptr);
  std::printf("%s\n", line().c_str());
  return faults() == 0 ? 0 : 1;
}

}  // namespace soak
