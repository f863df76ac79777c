// What the soak programs share: their arguments, a seeded generator, a
// watchdog that turns a stall into a failure, and the allocator's live count.
//
// The soak programs are plain main()s sized by their arguments, so that the
// same code runs as a short ctest case and as an hours-long local run.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "host/allocator.h"

namespace soak {

// splitmix64: a full-period generator; one per thread, seeded from the run's
// seed so that a run's choices can be replayed.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed) {}
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n); 0 for n == 0.
  uint64_t below(uint64_t n) { return n ? next() % n : 0; }
  // Uniform in [lo, hi].
  uint64_t range(uint64_t lo, uint64_t hi) { return lo + below(hi - lo + 1); }
  bool chance(double p) { return (next() >> 11) * (1.0 / 9007199254740992.0) < p; }
};

inline uint64_t mixSeed(uint64_t seed, uint64_t k) { return Rng(seed ^ (k * 0xD1B54A32D192ED03ull)).next(); }

struct Args {
  long count = 20;            // --pipelines / --rounds
  double seconds = 0;         // 0: no time limit
  uint64_t seed = 0;          // 0 on the command line: pick one from the clock
  uint64_t bytesLimit = 0;    // 0: no limit
  uint64_t only = 0;          // --only SEED: run one pipeline / round with that seed
  double hangSeconds = 60;    // no progress for this long is a hang
  double scale = 1;           // --scale: multiplies the size of each pipeline / round
  bool verbose = false;
};

// "12G", "300M", "64k" or a plain number of bytes.
inline uint64_t parseSize(const char* s) {
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  double mul = 1;
  if (end && *end) {
    switch (*end) {
      case 'k': case 'K': mul = 1024.0; break;
      case 'm': case 'M': mul = 1024.0 * 1024; break;
      case 'g': case 'G': mul = 1024.0 * 1024 * 1024; break;
      default: break;
    }
  }
  return v > 0 ? static_cast<uint64_t>(v * mul) : 0;
}

// False (after a message) on a bad or unknown argument; `countName` is
// "pipelines" or "rounds". Exits 0 after --help.
inline bool parseArgs(int argc, char** argv, const char* prog, const char* countName, Args& a) {
  const std::string countFlag = std::string("--") + countName;
  for (int i = 1; i < argc; ++i) {
    const std::string k = argv[i];
    auto value = [&](const char*& v) {
      if (i + 1 >= argc) return false;
      v = argv[++i];
      return true;
    };
    const char* v = nullptr;
    if (k == "--help" || k == "-h") {
      std::printf(
          "usage: %s [%s N] [--seconds S] [--seed X] [--bytes-limit N[kMG]] [--only SEED]\n"
          "          [--hang-seconds S] [--scale F] [--verbose]\n"
          "Runs until N %s, S seconds or the byte limit, whichever comes first.\n"
          "A failure names the seed of the %s that failed; --only SEED replays it.\n",
          prog, countFlag.c_str(), countName, countName);
      std::exit(0);
    } else if (k == "--verbose" || k == "-v") {
      a.verbose = true;
    } else if (k == countFlag && value(v)) {
      a.count = std::atol(v);
    } else if (k == "--seconds" && value(v)) {
      a.seconds = std::atof(v);
    } else if (k == "--seed" && value(v)) {
      a.seed = std::strtoull(v, nullptr, 0);
    } else if (k == "--only" && value(v)) {
      a.only = std::strtoull(v, nullptr, 0);
    } else if (k == "--bytes-limit" && value(v)) {
      a.bytesLimit = parseSize(v);
    } else if (k == "--hang-seconds" && value(v)) {
      a.hangSeconds = std::atof(v);
    } else if (k == "--scale" && value(v)) {
      a.scale = std::atof(v);
    } else {
      std::fprintf(stderr, "%s: bad argument '%s' (try --help)\n", prog, k.c_str());
      return false;
    }
  }
  if (a.seed == 0) {
    a.seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) | 1;
  }
  if (a.count <= 0 || a.hangSeconds <= 0 || a.scale <= 0) {
    std::fprintf(stderr, "%s: counts, --hang-seconds and --scale must be positive\n", prog);
    return false;
  }
  return true;
}

// parseArgs, then the line that names the seed (so that a failed run can be
// replayed), flushed before anything else can go wrong.
inline bool begin(int argc, char** argv, const char* prog, const char* countName, Args& a) {
  if (!parseArgs(argc, argv, prog, countName, a)) return false;
  std::printf("%s: seed=0x%llx %s=%ld seconds=%g bytes_limit=%llu\n", prog,
              static_cast<unsigned long long>(a.seed), countName, a.count, a.seconds,
              static_cast<unsigned long long>(a.bytesLimit));
  std::fflush(stdout);
  return true;
}

// Turns "nothing moved for hangSeconds" into a failure. Workers call tick()
// whenever they make progress; the run names what it is doing with
// context(). On a hang the watchdog prints the context and the line that
// onHang() returns, then ends the process with status 3: a stuck thread can
// be neither joined nor abandoned safely, and the run must never hang.
class Watchdog {
 public:
  Watchdog(double hangSeconds, std::function<std::string()> onHang)
      : hangSeconds_(hangSeconds), onHang_(std::move(onHang)), thread_([this] { run(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> hold(mu_);
      quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void tick() { progress_.fetch_add(1, std::memory_order_relaxed); }
  void context(const std::string& c) {
    std::lock_guard<std::mutex> hold(mu_);
    context_ = c;
  }

 private:
  void run() {
    std::unique_lock<std::mutex> hold(mu_);
    uint64_t seen = progress_.load();
    auto last = std::chrono::steady_clock::now();
    while (!quit_) {
      // A timed wait on our own condition: this is the watchdog's clock, not
      // a way of ordering anything.
      cv_.wait_for(hold, std::chrono::milliseconds(250));
      const uint64_t now = progress_.load();
      const auto t = std::chrono::steady_clock::now();
      if (now != seen) {
        seen = now;
        last = t;
      } else if (!quit_ && std::chrono::duration<double>(t - last).count() > hangSeconds_) {
        std::fprintf(stderr, "HANG: no progress for %.0f s in %s\n", hangSeconds_, context_.c_str());
        const std::string summary = onHang_();
        std::printf("%s\n", summary.c_str());
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(3);
      }
    }
  }

  const double hangSeconds_;
  std::function<std::string()> onHang_;
  std::atomic<uint64_t> progress_{0};
  std::mutex mu_;
  std::condition_variable cv_;
  bool quit_ = false;
  std::string context_ = "start-up";
  std::thread thread_;
};

inline int64_t liveBlocks() { return Utils::Allocator::defaultAllocator()->liveBlocks(); }

// Blocks the allocator still counts live beyond `start`, after giving
// threads that are winding down a bounded time to let go of what they hold.
inline int64_t leakedSince(int64_t start, double seconds = 10) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (liveBlocks() != start && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  return liveBlocks() - start;
}

inline double secondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The run itself: runOne(index, seed) for each pipeline or round, under a
// watchdog published through `dog` while it lives, until the count, the
// time (--seconds) or limitReached() says stop, or runOne returns false.
// With --only the one seed given is run once. onHang makes the summary line
// printed when the watchdog fires.
inline void drive(const Args& a, Watchdog*& dog, const std::function<std::string()>& onHang,
                  const std::function<bool(long, uint64_t)>& runOne, const std::function<bool()>& limitReached) {
  const auto t0 = std::chrono::steady_clock::now();
  Watchdog w(a.hangSeconds, onHang);
  dog = &w;
  const long count = a.only ? 1 : a.count;
  for (long i = 0; i < count; ++i) {
    if (a.seconds > 0 && secondsSince(t0) > a.seconds) break;
    if (limitReached()) break;
    const uint64_t seed = a.only ? a.only : mixSeed(a.seed, static_cast<uint64_t>(i));
    const bool more = runOne(i, seed);
    w.tick();
    if (!more) break;
  }
  dog = nullptr;
}

}  // namespace soak
