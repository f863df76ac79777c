// What the soak programs share: their arguments, a seeded generator, the
// counters of their summary line, a watchdog that turns a stall into a
// failure, the allocator's live count, and the loop that runs them.
//
// The soak programs are plain main()s sized by their arguments, so that the
// same code runs as a short ctest case and as an hours-long local run.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/allocator.h"
#include "host/log.h"

namespace soak {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

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
  uint64_t below(uint64_t n) { return n ? next() % n : 0; }             // [0, n); 0 for n == 0
  uint64_t range(uint64_t lo, uint64_t hi) { return lo + below(hi - lo + 1); }  // [lo, hi]
  int pick(int n) { return static_cast<int>(below(static_cast<uint64_t>(n))); }
  bool chance(double p) { return (next() >> 11) * (1.0 / 9007199254740992.0) < p; }
};

inline uint64_t mixSeed(uint64_t seed, uint64_t k) { return Rng(seed ^ (k * 0xD1B54A32D192ED03ull)).next(); }

struct Args {
  double count = 20;        // --pipelines / --rounds
  double seconds = 0;       // 0: no time limit
  double hangSeconds = 60;  // no progress for this long is a hang
  double scale = 1;         // multiplies the size of each pipeline / round
  double bytesLimit = 0;    // 0: no limit
  uint64_t seed = 0;        // 0 on the command line: pick one from the clock
  uint64_t only = 0;        // run one pipeline / round with that seed
  bool verbose = false;
};

// False (after a message) on a bad or unknown argument; `countName` is
// "pipelines" or "rounds". Exits 0 after --help. On success prints the line
// that names the seed (so that a failed run can be replayed), flushed before
// anything else can go wrong.
inline bool begin(int argc, char** argv, const char* prog, const char* countName, Args& a) {
  const std::string countFlag = std::string("--") + countName;
  for (int i = 1; i < argc; ++i) {
    const std::string k = argv[i];
    if (k == "--help" || k == "-h") {
      std::printf(
          "usage: %s [%s N] [--seconds S] [--seed X] [--bytes-limit N[kMG]] [--only SEED]\n"
          "          [--hang-seconds S] [--scale F] [--verbose]\n"
          "Runs until N %s, S seconds or the byte limit, whichever comes first.\n"
          "A failure names the seed of the %s that failed; --only SEED replays it.\n",
          prog, countFlag.c_str(), countName, countName);
      std::exit(0);
    }
    if (k == "--verbose" || k == "-v") {
      a.verbose = true;
      continue;
    }
    double* real = k == countFlag         ? &a.count
                   : k == "--seconds"      ? &a.seconds
                   : k == "--hang-seconds" ? &a.hangSeconds
                   : k == "--scale"        ? &a.scale
                   : k == "--bytes-limit"  ? &a.bytesLimit
                                           : nullptr;
    uint64_t* whole = k == "--seed" ? &a.seed : k == "--only" ? &a.only : nullptr;
    if ((!real && !whole) || i + 1 >= argc) {
      std::fprintf(stderr, "%s: bad argument '%s' (try --help)\n", prog, k.c_str());
      return false;
    }
    const char* v = argv[++i];
    char* unit = nullptr;
    if (whole) *whole = std::strtoull(v, nullptr, 0);
    if (real) *real = std::strtod(v, &unit);
    // A size may end in k, M or G (powers of 1024).
    const char* units = "kKmMgG";
    const char* u = real && *unit ? std::strchr(units, *unit) : nullptr;
    if (u) *real *= static_cast<double>(1ull << (10 * (1 + (u - units) / 2)));
  }
  if (a.seed == 0) a.seed = static_cast<uint64_t>(Clock::now().time_since_epoch().count()) | 1;
  if (a.count < 1 || a.hangSeconds <= 0 || a.scale <= 0) {
    std::fprintf(stderr, "%s: counts, --hang-seconds and --scale must be positive\n", prog);
    return false;
  }
  std::printf("%s: seed=0x%" PRIx64 " %s=%ld seconds=%g bytes_limit=%.0f\n", prog, a.seed, countName,
              static_cast<long>(a.count), a.seconds, std::max(0.0, a.bytesLimit));
  std::fflush(stdout);
  return true;
}

// Counters by index, printed as "name=value" in the order of `names`. A
// name that starts with '!' is a fault: a run with any of them fails. The
// same layout serves a run's totals (atomic) and one pipeline's or round's
// counts (plain).
template <class T, int N>
struct Counts {
  T n[N] = {};
  T& operator[](int i) { return n[i]; }
  uint64_t get(int i) const { return static_cast<uint64_t>(n[i]); }
  template <class U>
  void add(const Counts<U, N>& o) {
    for (int i = 0; i < N; ++i) n[i] += o.get(i);
  }
  uint64_t faults(const char* const (&names)[N]) const {
    uint64_t f = 0;
    for (int i = 0; i < N; ++i) f += names[i][0] == '!' ? get(i) : 0;
    return f;
  }
  std::string line(const char* const (&names)[N]) const {
    std::string s;
    char b[64];
    for (int i = 0; i < N; ++i) {
      std::snprintf(b, sizeof b, " %s=%" PRIu64, names[i] + (names[i][0] == '!'), get(i));
      s += b;
    }
    return s;
  }
};

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
    auto last = Clock::now();
    while (!quit_) {
      // A timed wait on our own condition: this is the watchdog's clock, not
      // a way of ordering anything.
      cv_.wait_for(hold, std::chrono::milliseconds(250));
      const uint64_t now = progress_.load();
      if (now != seen) {
        seen = now;
        last = Clock::now();
      } else if (!quit_ && secondsSince(last) > hangSeconds_) {
        std::fprintf(stderr, "HANG: no progress for %.0f s in %s\n", hangSeconds_, context_.c_str());
        std::printf("%s\n", onHang_().c_str());
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

// The watchdog of the run, while it lives.
inline Watchdog*& watchdog() {
  static Watchdog* w = nullptr;
  return w;
}
inline void tick() {
  if (Watchdog* w = watchdog()) w->tick();
}

inline int64_t liveBlocks() { return Utils::Allocator::defaultAllocator()->liveBlocks(); }

// Blocks the allocator still counts live beyond `start`, after giving
// threads that are winding down a bounded time to let go of what they hold.
inline uint64_t leakedSince(int64_t start, double seconds = 10) {
  const auto t0 = Clock::now();
  while (liveBlocks() != start && secondsSince(t0) < seconds) std::this_thread::yield();
  return liveBlocks() > start ? static_cast<uint64_t>(liveBlocks() - start) : 0;
}

// Observes until cond holds; false when `seconds` passed first. The
// watchdog turns a stall into a failure long before a sane limit.
inline bool waitUntil(const std::function<bool()>& cond, double seconds = 1e12) {
  const auto t0 = Clock::now();
  while (!cond()) {
    if (secondsSince(t0) > seconds) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // polling a state, not ordering
  }
  return true;
}

// A whole program: parses the arguments, captures the library's log into
// `onLog`, then runs runOne(index, seed) for each pipeline or round under a
// watchdog, until the count, the time (--seconds) or limitReached() says
// stop, or runOne returns false. With --only the one seed given is run once.
// Prints line() with the wall time and exits non-zero when faults() is.
struct Program {
  const char* prog;
  const char* countName;
  long defaultCount;
  std::function<void(const Utils::LogRecord&)> onLog;
  std::function<std::string()> summary;
  std::function<uint64_t()> faults;
  std::function<void()> onHang;
  std::function<bool(long, uint64_t, const Args&)> runOne;
  std::function<bool(const Args&)> limitReached;
  std::function<std::string(double wall)> tail = [](double) { return std::string(); };
  uint64_t seed = 0;

  // The summary line: "<prog>: name=value ... seed=0x...".
  std::string line() const {
    char b[40];
    std::snprintf(b, sizeof b, " seed=0x%" PRIx64, seed);
    return std::string(prog) + ":" + summary() + b;
  }

  int main(int argc, char** argv) {
    Args a;
    a.count = static_cast<double>(defaultCount);
    if (!begin(argc, argv, prog, countName, a)) return 2;
    seed = a.seed;
    Utils::Log::theLog()->sink(
        [](void* self, const Utils::LogRecord& r) { static_cast<Program*>(self)->onLog(r); }, this);
    const auto t0 = Clock::now();
    {
      Watchdog w(a.hangSeconds, [this] {
        onHang();
        return line();
      });
      watchdog() = &w;
      for (long i = 0; i < (a.only ? 1 : static_cast<long>(a.count)); ++i) {
        if ((a.seconds > 0 && secondsSince(t0) > a.seconds) || limitReached(a)) break;
        const bool more = runOne(i, a.only ? a.only : mixSeed(a.seed, static_cast<uint64_t>(i)), a);
        w.tick();
        if (!more) break;
      }
      watchdog() = nullptr;
    }
    Utils::Log::theLog()->sink(nullptr, nullptr);
    const double wall = secondsSince(t0);
    std::printf("%s wall=%.1fs%s\n", line().c_str(), wall, tail(wall).c_str());
    return faults() == 0 ? 0 : 1;
  }
};

}  // namespace soak
