// SPDX-License-Identifier: Apache-2.0
// Locks and reference counts of the support library.
//
//   ZtSpinLock    one 32-bit word, 0 when free; for a few instructions.
//   ZtBLock       a one-byte lock that the flow library only embeds and copies.
//   Countable     a 32-bit reference count.
//   ZtMTCountable a Countable with a spin lock beside it.
//   LockRep       the shared, counted body of a Lock.
//   Lock          a counted handle to a LockRep: a semaphore with one permit.
//
// Counts are atomic: any thread may count without a lock (a stored packet's
// count is changed by both threads of a flow). A change is one atomic
// read-modify-write, except where no other thread can count the object at
// the same time (a new object's first reference, the last one let go). The
// spin lock of ZtMTCountable is for callers that guard more than the count;
// the count itself never needs it. A Lock guards its list of parked pooled
// tasks with it.
#pragma once

#include <atomic>
#include <cstdint>

#include "zkflow/host/allocator.h"
#include "zkflow/host/export.h"

// Mutual exclusion for a few instructions. Locked and unlocked by the same
// thread; not recursive. A waiter spins briefly, then yields its processor so
// that a preempted holder can run (this matters on a 2-core machine).
//
// Thread safety: any thread. unlock() is a release store: whatever the holder
// wrote before it is visible to the next thread whose lock() returns.
struct ZKFLOW_EXPORT ZtSpinLock {
  std::atomic<uint32_t> word{0};

  ZtSpinLock() = default;
  ZtSpinLock(const ZtSpinLock&) : word(0) {}  // a copy is a new, free lock
  ZtSpinLock& operator=(const ZtSpinLock&) { return *this; }

  void lock() {
    if (word.exchange(1, std::memory_order_acquire) == 0) return;
    lockSlow();
  }
  // One turn of a spinning wait: tells the processor that the caller only
  // polls, which frees the core's shared resources for the other hardware
  // thread and avoids a mis-speculated exit from the loop. No system call.
  static void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  bool tryLock() { return word.exchange(1, std::memory_order_acquire) == 0; }
  void unlock() { word.store(0, std::memory_order_release); }

 private:
  void lockSlow();
};

// One byte that names a lock. The flow library hands out references to it and
// never takes it; users that share a list may build on it.
struct ZtBLock {
  uint8_t b = 0;
};

namespace zk {

// A reference count, 0 in a new object. A copy starts again at 0 and an
// assignment leaves the target's count alone: counts belong to objects, not
// to values.
//
// Thread safety: incRef() and decRef() are atomic. decRef() releases and
// acquires, so the thread that takes the count to 0 sees every write that
// other holders made before their decRef(), and may delete the object.
struct ZKFLOW_EXPORT Countable {
  std::atomic<uint32_t> count{0};

  Countable() = default;
  Countable(const Countable&) : count(0) {}
  Countable& operator=(const Countable&) { return *this; }

  uint32_t incRef() { return count.fetch_add(1, std::memory_order_relaxed) + 1; }
  // The first reference to a new object that no other thread can reach yet:
  // a plain store, where incRef() is a locked instruction.
  void firstRef() { count.store(1, std::memory_order_relaxed); }
  // Returns the new count. A count already at 0 stays 0.
  //
  // REQUIRES: the caller holds one of the references (the one it gives
  // back). A count of 1 is then the caller's alone: no other thread may add
  // to it (only a holder may) or take from it, so the last reference goes
  // with a plain store instead of a locked instruction, which is most of
  // what a packet's last drop cost. The acquire load pairs with the
  // acq_rel decrements of the holders that let go before, as the decrement
  // itself would.
  uint32_t decRef() {
    const uint32_t c = count.load(std::memory_order_acquire);
    if (c <= 1) {
      if (c == 1) count.store(0, std::memory_order_relaxed);
      return 0;
    }
    // Other holders may let go meanwhile, but never of ours: the count
    // stays at least 1 until this step.
    return count.fetch_sub(1, std::memory_order_acq_rel) - 1;
  }
  uint32_t refCount() const { return count.load(std::memory_order_acquire); }
};

}  // namespace zk

struct ZKFLOW_EXPORT ZtMTCountable : zk::Countable {
  ZtSpinLock spin;

  ZtMTCountable() = default;
};

namespace zkflow {
struct PoolTask;
}

namespace zk {

// The shared body of a Lock: the count of handles, the lock's name and its
// state. Destroyed through its virtual destructor when the last handle lets go.
struct ZKFLOW_EXPORT LockRep : ZtMTCountable {
  ZKFLOW_HEAP_OBJECT

  // `name` must live as long as the LockRep (a string literal, typically).
  explicit LockRep(const char* name = "");
  virtual ~LockRep();
  LockRep(const LockRep&) = delete;
  LockRep& operator=(const LockRep&) = delete;

  const char* name() const { return name_; }

  // Prepares the lock state: free.
  void init();

  bool lock();
  bool tryLock();
  // Waits at most `seconds` for the lock; false when the time ran out.
  bool lockFor(double seconds);
  bool unlock();
  // seq_cst, as tryLock(): a gate protocol may pair "change a count, then
  // look at the gate" on one side with "close the gate, then look at the
  // count" on the other (MTQueue's notFull); either side then sees the
  // other's change. On x86 both cost what the weaker orders cost.
  bool isLocked() const { return state_.load(std::memory_order_seq_cst) != 0; }

 private:
  bool lockPooled();
  bool lockForPooled(double seconds);
  bool lockForSimulated(double seconds);
  void wakeOne();

  const char* name_;
  // 0 free, 1 taken, 2 taken and somebody may sleep on it. A futex word.
  std::atomic<uint32_t> state_{0};
  // Threads asleep on state_ in the kernel: an unlock makes the system call
  // that wakes one only when there is one.
  std::atomic<uint32_t> sleepers_{0};
  // Pooled tasks parked on the lock, first come first woken; the list is
  // guarded by the spin lock of ZtMTCountable.
  std::atomic<zkflow::PoolTask*> parked_{nullptr};
};

// A handle to a LockRep, or empty. Handles share one body and count it.
//
// The lock is a semaphore with one permit and no owner:
//  - lock() waits while the lock is taken, also when the caller took it, then
//    takes it;
//  - unlock() frees it and may be called from any thread; unlocking a free
//    lock leaves it free (the permit never counts above one).
// Uncontended, lock() and unlock() are one atomic operation each; contended
// waiters sleep in the kernel (futex), they never spin. A waiter that is a
// pooled task (zkflow/host/executor.h) parks instead: its worker runs other
// tasks, and the unlock that frees the lock makes the task ready again.
// Memory ordering: what a thread did before unlock() is visible to the thread
// whose lock() takes the lock next.
//
// lock() and unlock() on an empty handle do nothing and return false.
//
// Thread safety: the operations on the lock may run on any thread at once.
// Assigning and purging a handle is not synchronised with other use of the
// same handle object (as for any value).
struct ZKFLOW_EXPORT Lock {
  LockRep* rep = nullptr;

  Lock() = default;
  // Takes one reference to `r` (which may be null).
  explicit Lock(LockRep* r);
  Lock(const Lock& other);
  Lock& operator=(const Lock& other);
  ~Lock();

  // Releases this handle's reference; the handle becomes empty.
  void purge();
  bool empty() const { return rep == nullptr; }

  bool lock() const { return rep ? rep->lock() : false; }
  bool tryLock() const { return rep ? rep->tryLock() : false; }
  bool lockFor(double seconds) const { return rep ? rep->lockFor(seconds) : false; }
  bool unlock() const { return rep ? rep->unlock() : false; }
  bool isLocked() const { return rep ? rep->isLocked() : false; }
  const char* name() const { return rep ? rep->name() : ""; }
};

}  // namespace zk
