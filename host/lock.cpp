// SPDX-License-Identifier: Apache-2.0
#include "zkflow/host/lock.h"

#include "pool.h"
#include "simclock.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>

namespace {

long futex(std::atomic<uint32_t>* word, int op, uint32_t val, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, val, timeout, nullptr, 0);
}

// A thread's wait on a lock word marked 2: on the simulated clock it waits
// there, so that time may jump while it waits (deadline in host ns, 0: none).
void sleepOn(std::atomic<uint32_t>* word, uint64_t deadlineNs, const timespec* left) {
  if (zkflow::sim::on()) {
    zkflow::sim::waitWord(word, 2, deadlineNs, zkflow::sim::mySession());
  } else {
    futex(word, FUTEX_WAIT_PRIVATE, 2, left);
  }
}

}  // namespace

void ZtSpinLock::lockSlow() {
  for (unsigned spins = 0;; ++spins) {
    if (word.load(std::memory_order_relaxed) == 0 &&
        word.exchange(1, std::memory_order_acquire) == 0)
      return;
    if (spins < 64) {
      ZtSpinLock::relax();
    } else {
      // The holder may have been preempted; let it run.
      sched_yield();
    }
  }
}

zk::LockRep::LockRep(const char* name) : name_(name ? name : "") { init(); }

zk::LockRep::~LockRep() = default;

void zk::LockRep::init() { state_.store(0, std::memory_order_relaxed); }

bool zk::LockRep::tryLock() {
  uint32_t expected = 0;
  return state_.compare_exchange_strong(expected, 1, std::memory_order_seq_cst,
                                        std::memory_order_seq_cst);
}

bool zk::LockRep::lock() {
  if (tryLock()) return true;
  if (zkflow::pool::current()) return lockPooled();
  // Mark the word "contended" before sleeping so that the unlock that frees
  // it knows to wake somebody. Counted as a sleeper first (seq_cst, as the
  // unlock's exchange and its look at the count): an unlock that sees no
  // sleeper came before our exchange, which then finds the lock free.
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  while (state_.exchange(2, std::memory_order_seq_cst) != 0) sleepOn(&state_, 0, nullptr);
  sleepers_.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

// A pooled task's wait: parks on the lock's list instead of sleeping its
// worker. The task adds itself, then looks at the state again: an unlock
// that came between its exchange and its adding found no one to wake, but
// then it finds the lock free here (see pushWaiter). The spin lock stays
// held until the task is off its stack (pool::park).
bool zk::LockRep::lockPooled() {
  zkflow::PoolTask* self = zkflow::pool::current();
  for (;;) {
    if (state_.exchange(2, std::memory_order_seq_cst) == 0) return true;
    spin.lock();
    zkflow::pool::pushWaiter(parked_, self);
    if (state_.load(std::memory_order_seq_cst) != 2) {
      zkflow::pool::removeWaiter(parked_, self);
      spin.unlock();
      continue;
    }
    zkflow::pool::park(&spin);
  }
}

// The timed wait of a pooled task polls with short sleeps of the pool: a
// task parked on the lock and on a timer at once could be woken twice.
bool zk::LockRep::lockForPooled(double seconds) {
  const uint64_t end = zkflow::sim::nowNs() + static_cast<uint64_t>((seconds > 1e9 ? 1e9 : seconds) * 1e9);
  for (;;) {
    if (tryLock()) return true;
    const uint64_t now = zkflow::sim::nowNs();
    if (now >= end) return false;
    zkflow::pool::sleepFor(end - now < 200000 ? end - now : 200000);
  }
}

bool zk::LockRep::lockFor(double seconds) {
  if (tryLock()) return true;
  if (!(seconds > 0)) return false;
  if (zkflow::pool::current()) return lockForPooled(seconds);
  if (zkflow::sim::on()) return lockForSimulated(seconds);
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const double whole = std::floor(seconds);
  deadline.tv_sec += static_cast<time_t>(whole > 1e9 ? 1e9 : whole);
  deadline.tv_nsec += static_cast<long>((seconds - whole) * 1e9);
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  bool taken = true;
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  while (state_.exchange(2, std::memory_order_seq_cst) != 0) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
      left.tv_sec -= 1;
      left.tv_nsec += 1000000000L;
    }
    if (left.tv_sec < 0) {
      taken = false;
      break;
    }
    sleepOn(&state_, 0, &left);
  }
  sleepers_.fetch_sub(1, std::memory_order_relaxed);
  return taken;
}

// The timed wait of a thread on the simulated clock: the deadline is one of
// virtual time, which jumps to it once every task waits.
bool zk::LockRep::lockForSimulated(double seconds) {
  const uint64_t end = zkflow::sim::nowNs() + static_cast<uint64_t>((seconds > 1e9 ? 1e9 : seconds) * 1e9) + 1;
  bool taken = true;
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  while (state_.exchange(2, std::memory_order_seq_cst) != 0) {
    if (zkflow::sim::nowNs() >= end || !zkflow::sim::on()) {
      taken = false;
      break;
    }
    sleepOn(&state_, end, nullptr);
  }
  sleepers_.fetch_sub(1, std::memory_order_relaxed);
  return taken;
}

bool zk::LockRep::unlock() {
  // Release (seq_cst for the looks at the waiters below): the next taker
  // sees everything done before this call.
  if (state_.exchange(0, std::memory_order_seq_cst) == 2) wakeOne();
  return true;
}

// Wakes one waiter, a parked task before a sleeping thread. A lock taken by
// a woken waiter stays marked 2, so the unlock after it comes here for
// nothing: the looks at the list and the count keep that free of system
// calls.
void zk::LockRep::wakeOne() {
  if (parked_.load(std::memory_order_seq_cst)) {
    spin.lock();
    zkflow::PoolTask* t = zkflow::pool::popWaiter(parked_);
    spin.unlock();
    if (t) {
      zkflow::pool::ready(t);
      return;
    }
  }
  if (sleepers_.load(std::memory_order_seq_cst) != 0) {
    // A thread may wait on either clock's side while the simulation turns.
    if (zkflow::sim::on()) zkflow::sim::wake(&state_, 1);
    futex(&state_, FUTEX_WAKE_PRIVATE, 1, nullptr);
  }
}

zk::Lock::Lock(zk::LockRep* r) : rep(r) {
  if (rep) rep->incRef();
}

zk::Lock::Lock(const zk::Lock& other) : rep(other.rep) {
  if (rep) rep->incRef();
}

zk::Lock& zk::Lock::operator=(const zk::Lock& other) {
  // Read and count the new body before purging: `other` may be this very
  // handle, which purge() empties, and the old body may hold the last count.
  zk::LockRep* r = other.rep;
  if (r) r->incRef();
  purge();
  rep = r;
  return *this;
}

zk::Lock::~Lock() { purge(); }

void zk::Lock::purge() {
  zk::LockRep* r = rep;
  rep = nullptr;
  if (r && r->decRef() == 0) delete r;
}
