// SPDX-License-Identifier: Apache-2.0
// The simulated clock (simclock.h): a count of running participants and the
// list of their waits, under one mutex. Everything here comes from the std
// heap or the waiters' stacks, never from Utils::Allocator.
#include "simclock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <mutex>

#include "pool.h"
#include "zkflow/host/simtime.h"
#include "zkflow/host/zsys.h"

namespace zkflow {
namespace sim {

std::atomic<bool> gActive{false};
std::atomic<bool> gShifted{false};
std::atomic<uint64_t> gNow{0};
std::atomic<int64_t> gOffset{0};

namespace {

uint64_t monoNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// One wait, on its waiter's stack, in the list while it waits.
struct Waiter {
  const void* word = nullptr;
  uint64_t deadline = 0;  // host ns, 0: none
  bool counted = false;
  bool woken = false;
  bool timedOut = false;
  std::condition_variable cv;
  Waiter* next = nullptr;
  Waiter* prev = nullptr;
};

struct State {
  std::mutex mu;
  // Below: under mu.
  uint32_t session = 0;  // the current session, counted from 1
  long running = 0;      // participants not waiting here
  Waiter* head = nullptr;
  Waiter* tail = nullptr;
};

// Never destroyed: detached threads may wait while the process exits.
State& state() {
  static State* s = new State;
  return *s;
}

thread_local uint32_t tSession = 0;

void unlink(State& s, Waiter* w) {
  (w->prev ? w->prev->next : s.head) = w->next;
  (w->next ? w->next->prev : s.tail) = w->prev;
  w->next = w->prev = nullptr;
}

// REQUIRES: mu held. Wakes w as by a wake-up: it counts as running from now,
// though its thread has not run yet.
void release(State& s, Waiter* w, bool timedOut) {
  unlink(s, w);
  w->woken = true;
  w->timedOut = timedOut;
  if (w->counted) ++s.running;
  w->cv.notify_one();
}

// REQUIRES: mu held. Once nobody runs, time jumps to the earliest deadline
// (`also` one more, 0: none) and wakes those due then. Waits without a
// deadline then wait for good: a test bounded in time fails there, as it
// would have hung in real time.
void advance(State& s, uint64_t also = 0) {
  if (s.running > 0 || !gActive.load(std::memory_order_relaxed)) return;
  uint64_t next = also;
  for (Waiter* w = s.head; w; w = w->next)
    if (w->deadline != 0 && (next == 0 || w->deadline < next)) next = w->deadline;
  if (next == 0) return;
  if (next > gNow.load(std::memory_order_relaxed)) gNow.store(next, std::memory_order_relaxed);
  const uint64_t now = gNow.load(std::memory_order_relaxed);
  for (Waiter* w = s.head; w;) {
    Waiter* after = w->next;
    if (w->deadline != 0 && w->deadline <= now) release(s, w, true);
    w = after;
  }
}

}  // namespace

uint64_t toMonoNs(uint64_t hostNs) {
  const uint64_t offset = static_cast<uint64_t>(gOffset.load(std::memory_order_relaxed));
  return hostNs > offset ? hostNs - offset : 1;
}

uint32_t mySession() { return tSession; }

bool waitWord(const std::atomic<uint32_t>* word, uint32_t seen, uint64_t deadlineNs, uint32_t session) {
  State& s = state();
  std::unique_lock<std::mutex> hold(s.mu);
  if (!on()) return true;
  if (word && word->load(std::memory_order_seq_cst) != seen) return true;
  if (deadlineNs != 0 && deadlineNs <= gNow.load(std::memory_order_relaxed)) return false;
  Waiter w;
  w.word = word;
  w.deadline = deadlineNs;
  w.counted = session != 0 && session == s.session;
  w.prev = s.tail;
  (s.tail ? s.tail->next : s.head) = &w;
  s.tail = &w;
  if (w.counted) --s.running;
  advance(s);
  w.cv.wait(hold, [&w] { return w.woken; });
  return !w.timedOut;
}

void wake(const void* word, int n) {
  State& s = state();
  std::lock_guard<std::mutex> hold(s.mu);
  for (Waiter* w = s.head; w && n != 0;) {
    Waiter* after = w->next;
    if (w->word == word) {
      release(s, w, false);
      --n;
    }
    w = after;
  }
}

void pollTime(uint64_t deadlineNs) {
  State& s = state();
  std::lock_guard<std::mutex> hold(s.mu);
  if (!on() || tSession == 0 || tSession != s.session) return;
  // Counted out for the moment: time moves only if nobody else runs.
  --s.running;
  advance(s, deadlineNs);
  ++s.running;
}

void sleepUntil(uint64_t deadlineNs) {
  while (on() && nowNs() < deadlineNs) waitWord(nullptr, 0, deadlineNs, tSession);
}

uint32_t join() {
  State& s = state();
  std::lock_guard<std::mutex> hold(s.mu);
  if (!on()) return 0;
  ++s.running;
  return s.session;
}

void adopt(uint32_t session) { tSession = session; }

void leave(uint32_t session) {
  State& s = state();
  std::lock_guard<std::mutex> hold(s.mu);
  if (session == 0 || session != s.session) return;
  --s.running;
  advance(s);
}

}  // namespace sim

bool simulatedTime(bool on) {
  sim::State& s = sim::state();
  uint32_t session = 0;
  {
    std::lock_guard<std::mutex> hold(s.mu);
    if (on == sim::on()) return false;
    const uint64_t real = sim::monoNs();
    if (on) {
      // From the next whole second: virtual readings then fall alike at
      // every run, down to their truncation to the clock's units.
      const uint64_t from = real + static_cast<uint64_t>(sim::gOffset.load(std::memory_order_relaxed));
      sim::gNow.store((from / 1000000000ull + 1) * 1000000000ull, std::memory_order_relaxed);
      session = ++s.session;
      s.running = 1;  // the caller
      sim::tSession = session;
      sim::gShifted.store(true, std::memory_order_relaxed);
      sim::gActive.store(true, std::memory_order_seq_cst);
    } else {
      // From here on the clock is the real one plus how far virtual time ran
      // ahead of it.
      const uint64_t now = sim::gNow.load(std::memory_order_relaxed);
      if (now > real) sim::gOffset.store(static_cast<int64_t>(now - real), std::memory_order_relaxed);
      sim::gActive.store(false, std::memory_order_seq_cst);
      sim::tSession = 0;
      // Whoever still waits here goes back to its real wait.
      while (s.head) sim::release(s, s.head, false);
    }
  }
  pool::simulated(session);
  return true;
}

bool simulatedTime() { return sim::on(); }

void spend(double seconds) {
  if (!(seconds > 0)) return;
  if (sim::on()) {
    ZIF_Sleep(seconds);
    return;
  }
  const uint64_t until = sim::nowNs() + static_cast<uint64_t>((seconds > 1e9 ? 1e9 : seconds) * 1e9);
  while (sim::nowNs() < until) {
  }
}

void waitWord(const std::atomic<uint32_t>& word, uint32_t seen, double seconds) {
  if (word.load(std::memory_order_acquire) != seen) return;
  const uint64_t span = seconds < 0 ? 0 : static_cast<uint64_t>((seconds > 1e9 ? 1e9 : seconds) * 1e9) + 1;
  if (pool::current()) {
    // A nap on the pool, not a block of the worker (which may be the one
    // the word's writer is waiting for).
    pool::sleepFor(span == 0 || span > 100000 ? 100000 : span);
    return;
  }
  if (sim::on()) {
    sim::waitWord(&word, seen, span ? sim::nowNs() + span : 0, sim::mySession());
    return;
  }
  timespec ts{static_cast<time_t>(span / 1000000000ull), static_cast<long>(span % 1000000000ull)};
  syscall(SYS_futex, reinterpret_cast<const uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, span ? &ts : nullptr,
          nullptr, 0);
}

void wakeWord(std::atomic<uint32_t>& word) {
  if (sim::on()) sim::wake(&word, -1);
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace zkflow
