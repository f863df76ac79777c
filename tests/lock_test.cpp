// Lock (a one-permit semaphore without owner), ZtSpinLock and the counts.
// The cross-thread cases check a model (who may hold the lock, how many
// permits exist), not timings; a lost permit fails a bounded join.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>

#include "common/testutil.h"
#include "host/lock.h"

namespace {

struct CountedRep : LockRep {
  explicit CountedRep(std::atomic<int>* deaths) : LockRep("counted"), deaths_(deaths) {}
  ~CountedRep() override { deaths_->fetch_add(1); }
  std::atomic<int>* deaths_;
};

class LockTest : public zktest::LiveTest {};

TEST_F(LockTest, HandlesShareOneStateAndTheLastFreesIt) {
  std::atomic<int> deaths{0};
  Lock a(new CountedRep(&deaths)), b(a), c;
  c = b;
  c = c;
  EXPECT_EQ(a.rep->refCount(), 3u);
  EXPECT_TRUE(a.lock());
  EXPECT_FALSE(b.tryLock());
  EXPECT_TRUE(c.unlock());
  EXPECT_FALSE(a.isLocked());
  a.purge();
  b = Lock();
  EXPECT_EQ(deaths.load(), 0);
  c = Lock(new CountedRep(&deaths));  // lets go of the last handle
  EXPECT_EQ(deaths.load(), 1);
  c.purge();
  EXPECT_EQ(deaths.load(), 2);
  // An empty handle does nothing.
  EXPECT_FALSE(c.lock() || c.tryLock() || c.unlock() || c.lockFor(0.01) || c.isLocked());
  EXPECT_STREQ(c.name(), "");
}

// One permit, never more: unlocking a free lock adds none; the holder cannot
// take it again; a timed wait gives up, also for no, negative or NaN time.
TEST_F(LockTest, OnePermitAndTimedWaits) {
  Lock l(new LockRep("timed"));
  EXPECT_TRUE(l.unlock());
  EXPECT_TRUE(l.unlock());
  EXPECT_TRUE(l.lockFor(0.01));
  EXPECT_FALSE(l.tryLock());
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(l.lockFor(0.05));
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.049);
  for (double s : {0.0, -1.0, std::nan("")}) EXPECT_FALSE(l.lockFor(s)) << s;
  EXPECT_TRUE(l.isLocked());
  l.unlock();
  EXPECT_TRUE(l.tryLock());
  l.unlock();
}

// The holder's second lock() waits until another thread unlocks; a timed
// wait returns as soon as another thread unlocks.
TEST_F(LockTest, AnotherThreadUnlocksForTheHolder) {
  Lock l(new LockRep("gate"));
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
  l.unlock();
}

// Two closed gates: each thread opens the other's and waits at its own. A
// lost wake-up deadlocks (the bounded join fails); an extra permit lets a
// thread run ahead (the order check fails).
TEST_F(LockTest, ContendedHandoffLosesNoPermit) {
  const long rounds = zktest::scaled(20000);
  Lock ping(new LockRep("ping")), pong(new LockRep("pong"));
  ping.lock();
  pong.lock();
  long counter = 0;  // plain: the gates alone order the accesses
  std::atomic<long> mismatches{0};
  ASSERT_TRUE(zktest::runTogether(2, [&](int id) {
    for (long i = 0; i < rounds; ++i) {
      if (id) ping.unlock();
      (id ? pong : ping).lock();
      if (counter != 2 * i + id) mismatches.fetch_add(1);
      ++counter;
      if (!id) pong.unlock();
    }
  }));
  EXPECT_EQ(counter, 2 * rounds);
  EXPECT_EQ(mismatches.load(), 0);
}

// Mutual exclusion under contention, for Lock and the spin lock alike.
TEST_F(LockTest, MutualExclusionUnderContention) {
  const long rounds = zktest::scaled(50000);
  Lock l(new LockRep("mutex"));
  ZtSpinLock spin;
  long counter = 0, spinCounter = 0;
  ASSERT_TRUE(zktest::runTogether(2, [&](int) {
    for (long i = 0; i < rounds; ++i) {
      l.lock();
      ++counter;
      l.unlock();
      spin.lock();
      ++spinCounter;
      spin.unlock();
    }
  }));
  EXPECT_EQ(counter, 2 * rounds);
  EXPECT_EQ(spinCounter, 2 * rounds);
  EXPECT_FALSE(spin.tryLock() && spin.tryLock());  // not recursive
}

// Of all decRef() results across two threads exactly one is the 0 that lets
// a holder delete; the count never goes below 0, and copies start at 0.
TEST(CountableTest, CountsAcrossThreads) {
  const long rounds = zktest::scaled(100000);
  ZtMTCountable c;
  std::atomic<long> zeros{0};
  ASSERT_TRUE(zktest::runTogether(2, [&](int) {
    for (long i = 0; i < rounds; ++i) c.incRef();
  }));
  EXPECT_EQ(Countable(c).refCount(), 0u);
  ASSERT_TRUE(zktest::runTogether(2, [&](int) {
    for (long i = 0; i < rounds; ++i) zeros += c.decRef() == 0;
  }));
  EXPECT_EQ(zeros.load(), 1);
  EXPECT_EQ(c.decRef(), 0u);
  EXPECT_EQ(c.refCount(), 0u);
}

}  // namespace
