// SPDX-License-Identifier: Apache-2.0
// Lock (a one-permit semaphore without owner) and ZtSpinLock. The counts
// under them are checked across threads by pointer_test and store_test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>

#include "common/testutil.h"
#include "zkflow/host/lock.h"

namespace {

struct CountedRep : zk::LockRep {
  explicit CountedRep(std::atomic<int>* deaths) : zk::LockRep("counted"), deaths_(deaths) {}
  ~CountedRep() override { deaths_->fetch_add(1); }
  std::atomic<int>* deaths_;
};

class LockTest : public zktest::LiveTest {};

// Handles share one state, freed with the last. One permit, never more:
// unlocking a free lock adds none, the holder cannot take it again, and a
// timed wait gives up (at once for no, negative or NaN time).
TEST_F(LockTest, HandlesShareOnePermit) {
  std::atomic<int> deaths{0};
  zk::Lock a(new CountedRep(&deaths)), b(a), c;
  c = b;
  c = c;
  EXPECT_EQ(a.rep->refCount(), 3u);
  EXPECT_TRUE(c.unlock() && c.unlock());
  EXPECT_TRUE(a.lockFor(0.01));
  EXPECT_FALSE(b.tryLock());
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(b.lockFor(0.05));
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.049);
  for (double s : {0.0, -1.0, std::nan("")}) EXPECT_FALSE(a.lockFor(s)) << s;
  EXPECT_TRUE(c.unlock());
  EXPECT_FALSE(a.isLocked());
  a.purge();
  b = zk::Lock();
  EXPECT_EQ(deaths.load(), 0);
  c = zk::Lock(new CountedRep(&deaths));  // lets go of the last handle
  c.purge();
  EXPECT_EQ(deaths.load(), 2);
  EXPECT_FALSE(c.lock() || c.tryLock() || c.unlock() || c.lockFor(0.01) || c.isLocked());
}

// The holder's second lock() waits until another thread unlocks; a timed
// wait returns as soon as another thread unlocks.
TEST_F(LockTest, AnotherThreadUnlocksForTheHolder) {
  zk::Lock l(new zk::LockRep("gate"));
  std::atomic<bool> aboutToLock{false}, returned{false}, unlocked{false}, sawUnlock{false};
  zktest::BoundedThread holder([&] {
    EXPECT_TRUE(l.lock());
    aboutToLock = true;
    l.lock();
    sawUnlock = unlocked.load();
    returned = true;
  });
  ASSERT_TRUE(zktest::waitFor([&] { return aboutToLock.load(); }));
  EXPECT_FALSE(zktest::waitFor([&] { return returned.load(); }, 0.05));
  unlocked = true;
  l.unlock();
  ASSERT_TRUE(holder.join());
  EXPECT_TRUE(sawUnlock.load());
  EXPECT_FALSE(l.tryLock());  // the second lock() took the permit
  std::atomic<bool> waiting{false};
  zktest::BoundedThread opener([&] {
    EXPECT_TRUE(zktest::waitFor([&] { return waiting.load(); }));
    l.unlock();
  });
  waiting = true;
  EXPECT_TRUE(l.lockFor(30));
  EXPECT_TRUE(opener.join());
}

// Two closed gates: each thread opens the other's and waits at its own. A
// lost wake-up deadlocks (the bounded join fails); an extra permit lets a
// thread run ahead (the order check fails). Then plain mutual exclusion, for
// Lock and the spin lock alike.
TEST_F(LockTest, UnderContention) {
  const long rounds = zktest::scaled(20000);
  zk::Lock ping(new zk::LockRep("ping")), pong(new zk::LockRep("pong"));
  ping.lock();
  pong.lock();
  zk::Lock mutex(new zk::LockRep("mutex"));
  ZtSpinLock spin;
  long counter = 0, locked = 0, spun = 0;  // plain: the locks alone order the accesses
  std::atomic<long> mismatches{0};
  ASSERT_TRUE(zktest::runTogether(2, [&](int id) {
    for (long i = 0; i < rounds; ++i) {
      if (id) ping.unlock();
      (id ? pong : ping).lock();
      if (counter != 2 * i + id) mismatches.fetch_add(1);
      ++counter;
      if (!id) pong.unlock();
    }
    for (long i = 0; i < rounds; ++i) {
      mutex.lock();
      ++locked;
      mutex.unlock();
      spin.lock();
      ++spun;
      spin.unlock();
    }
  }));
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(counter, 2 * rounds);
  EXPECT_EQ(locked, 2 * rounds);
  EXPECT_EQ(spun, 2 * rounds);
  EXPECT_TRUE(spin.tryLock());
  EXPECT_FALSE(spin.tryLock());  // not recursive
}

}  // namespace
