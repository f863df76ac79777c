// SPDX-License-Identifier: Apache-2.0
// Lock, a one-permit semaphore without owner: its handles and its timed
// wait. Contention and unlocks from other threads are every flow's and
// queue's (their gates are Locks), in the unit tests and the soaks.
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
}  // namespace
