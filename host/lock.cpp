// SPDX-License-Identifier: Apache-2.0
#include "zkflow/host/lock.h"

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
  // Mark the word "contended" before sleeping so that the unlock that frees
  // it knows to wake somebody; a lock taken this way stays marked, which at
  // worst costs one spare wake-up.
  while (state_.exchange(2, std::memory_order_acquire) != 0) {
    futex(&state_, FUTEX_WAIT_PRIVATE, 2, nullptr);
  }
  return true;
}

bool zk::LockRep::lockFor(double seconds) {
  if (tryLock()) return true;
  if (!(seconds > 0)) return false;
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const double whole = std::floor(seconds);
  deadline.tv_sec += static_cast<time_t>(whole > 1e9 ? 1e9 : whole);
  deadline.tv_nsec += static_cast<long>((seconds - whole) * 1e9);
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (state_.exchange(2, std::memory_order_acquire) != 0) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
      left.tv_sec -= 1;
      left.tv_nsec += 1000000000L;
    }
    if (left.tv_sec < 0) return false;
    futex(&state_, FUTEX_WAIT_PRIVATE, 2, &left);
  }
  return true;
}

bool zk::LockRep::unlock() {
  // Release: the next taker sees everything done before this call.
  if (state_.exchange(0, std::memory_order_release) == 2) {
    futex(&state_, FUTEX_WAKE_PRIVATE, 1, nullptr);
  }
  return true;
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
