// Lock (a one-permit semaphore without owner), ZtSpinLock and the reference
// counts. The cross-thread cases check a model (who may hold the lock, how many
// permits exist) rather than timings; every join has a deadline, so a lost
// permit fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "common/testutil.h"
#include "host/lock.h"

namespace {

using zktest::BoundedThread;

// A body that counts its destruction, to see the last handle free it.
struct CountedRep : LockRep {
  explicit CountedRep(std::atomic<int>* deaths) : LockRep("counted"), deaths_(deaths) {}
  ~CountedRep() override { deaths_->fetch_add(1); }
  std::atomic<int>* deaths_;
};

class LockTest : public zktest::LiveTest {};

TEST_F(LockTest, HandlesShareOneBodyAndTheLastOneFreesIt) {
  std::atomic<int> deaths{0};
  {
    Lock a(new CountedRep(&deaths));
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a.rep->refCount(), 1u);
    EXPECT_STREQ(a.name(), "counted");
    Lock b(a);
    Lock c;
    c = b;
    EXPECT_EQ(a.rep, b.rep);
    EXPECT_EQ(a.rep, c.rep);
    EXPECT_EQ(a.rep->refCount(), 3u);

    // One state behind all handles: taken through one, taken for all.
    EXPECT_TRUE(a.lock());
    EXPECT_FALSE(b.tryLock());
    EXPECT_TRUE(c.isLocked());
    c.unlock();
    EXPECT_FALSE(a.isLocked());

    // Self-assignment and assigning the same body keep the count.
    Lock& self = c;
    c = self;
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(c.rep->refCount(), 3u);
    c = a;
    EXPECT_EQ(c.rep->refCount(), 3u);

    a.purge();
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(b.rep->refCount(), 2u);
    a.purge();  // purging an empty handle does nothing
    b = Lock();
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(c.rep->refCount(), 1u);
    EXPECT_EQ(deaths.load(), 0);
    c.purge();
    EXPECT_EQ(deaths.load(), 1);

    // Assigning another body lets go of the old one; freed with its last
    // handle.
    Lock d(new CountedRep(&deaths));
    Lock e(new CountedRep(&deaths));
    d = e;
    EXPECT_EQ(deaths.load(), 2);
    EXPECT_EQ(e.rep->refCount(), 2u);
  }
  EXPECT_EQ(deaths.load(), 3);
}

TEST_F(LockTest, EmptyHandleDoesNothing) {
  Lock none;
  EXPECT_FALSE(none.lock());
  EXPECT_FALSE(none.tryLock());
  EXPECT_FALSE(none.unlock());
  EXPECT_FALSE(none.lockFor(0.01));
  EXPECT_FALSE(none.isLocked());
  EXPECT_STREQ(none.name(), "");
  Lock copy(none);
  EXPECT_TRUE(copy.empty());
  EXPECT_STREQ(Lock(new LockRep(nullptr)).name(), "");
}

TEST_F(LockTest, UnlockingAFreeLockAddsNoPermit) {
  Lock l(new LockRep("free"));
  EXPECT_TRUE(l.unlock());
  EXPECT_TRUE(l.unlock());
  EXPECT_FALSE(l.isLocked());
  EXPECT_TRUE(l.lock());
  // Two unlocks of a free lock still leave a single permit.
  EXPECT_FALSE(l.tryLock());
  EXPECT_FALSE(l.lockFor(0.01));
  l.unlock();
  EXPECT_TRUE(l.tryLock());
  EXPECT_FALSE(l.tryLock());
  l.unlock();
}

TEST_F(LockTest, HolderWaitsOnASecondLockUntilAnotherThreadUnlocks) {
  Lock l(new LockRep("gate"));
  std::atomic<bool> aboutToLock{false};
  std::atomic<bool> secondLockReturned{false};
  std::atomic<bool> unlockedByOther{false};
  std::atomic<bool> sawUnlockFirst{false};
  BoundedThread holder([&] {
    EXPECT_TRUE(l.lock());
    // Not recursive: the holder cannot take it again by itself.
    EXPECT_FALSE(l.tryLock());
    EXPECT_FALSE(l.lockFor(0.02));
    aboutToLock = true;
    l.lock();
    sawUnlockFirst = unlockedByOther.load();
    secondLockReturned = true;
  });
  EXPECT_TRUE(zktest::waitFor([&] { return aboutToLock.load(); }));
  // The holder's second lock must still be waiting: give it a bounded chance
  // to return wrongly before opening the gate.
  EXPECT_FALSE(zktest::waitFor([&] { return secondLockReturned.load(); }, 0.05));
  unlockedByOther = true;
  l.unlock();
  ASSERT_TRUE(holder.join());
  EXPECT_TRUE(sawUnlockFirst.load());
  // The second lock() took the permit this thread gave back.
  EXPECT_FALSE(l.tryLock());
  l.unlock();
}

// Two gates, both closed: each thread opens the other's gate and waits at its
// own. Every lock() must consume exactly the one permit the other thread's
// unlock() gave; a lost wake-up deadlocks (and the bounded join fails), an
// extra permit lets a thread run ahead (and the counter check fails).
TEST_F(LockTest, ContendedHandoffLosesNoPermit) {
  const long rounds = zktest::scaled(20000);
  Lock ping(new LockRep("ping"));
  Lock pong(new LockRep("pong"));
  ping.lock();
  pong.lock();
  long counter = 0;  // plain: the gates alone order the accesses
  std::atomic<long> mismatches{0};

  BoundedThread a([&] {
    for (long i = 0; i < rounds; ++i) {
      ping.lock();
      if (counter != 2 * i) mismatches.fetch_add(1);
      ++counter;
      pong.unlock();
    }
  });
  BoundedThread b([&] {
    for (long i = 0; i < rounds; ++i) {
      ping.unlock();
      pong.lock();
      if (counter != 2 * i + 1) mismatches.fetch_add(1);
      ++counter;
    }
  });
  ASSERT_TRUE(a.join(60));
  ASSERT_TRUE(b.join(60));
  EXPECT_EQ(counter, 2 * rounds);
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_FALSE(ping.tryLock());
  EXPECT_FALSE(pong.tryLock());
}

TEST_F(LockTest, MutualExclusionUnderContention) {
  const long rounds = zktest::scaled(50000);
  Lock l(new LockRep("mutex"));
  long counter = 0;
  ASSERT_TRUE(zktest::runTogether(2, [&](int) {
    for (long i = 0; i < rounds; ++i) {
      l.lock();
      ++counter;
      l.unlock();
    }
  }));
  EXPECT_EQ(counter, 2 * rounds);
  EXPECT_FALSE(l.isLocked());
}

TEST_F(LockTest, LockForTimesOut) {
  Lock l(new LockRep("timed"));
  EXPECT_TRUE(l.lockFor(0.01));  // free: taken at once
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(l.lockFor(0.05));
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(waited, 0.049);
  EXPECT_LT(waited, 5.0);
  // No time, a negative time or NaN: a taken lock is refused at once.
  EXPECT_FALSE(l.lockFor(0));
  EXPECT_FALSE(l.lockFor(-1));
  EXPECT_FALSE(l.lockFor(std::nan("")));
  // A timed-out wait leaves the lock taken and working.
  EXPECT_TRUE(l.isLocked());
  l.unlock();
  EXPECT_TRUE(l.tryLock());
  l.unlock();
}

TEST_F(LockTest, LockForReturnsWhenAnotherThreadUnlocks) {
  Lock l(new LockRep("timed"));
  l.lock();
  std::atomic<bool> waiting{false};
  BoundedThread opener([&] {
    EXPECT_TRUE(zktest::waitFor([&] { return waiting.load(); }));
    l.unlock();
  });
  waiting = true;
  EXPECT_TRUE(l.lockFor(30));
  EXPECT_TRUE(opener.join());
  EXPECT_FALSE(l.tryLock());
  l.unlock();
}

TEST(SpinLockTest, MutualExclusionBetweenTwoThreads) {
  const long rounds = zktest::scaled(100000);
  ZtSpinLock spin;
  long counter = 0;
  ASSERT_TRUE(zktest::runTogether(2, [&](int) {
    for (long i = 0; i < rounds; ++i) {
      spin.lock();
      ++counter;
      spin.unlock();
    }
  }));
  EXPECT_EQ(counter, 2 * rounds);
  EXPECT_EQ(spin.word.load(), 0u);
}

TEST(SpinLockTest, NotRecursiveAndCopiesAreFree) {
  ZtSpinLock spin;
  EXPECT_EQ(spin.word.load(), 0u);
  spin.lock();
  EXPECT_FALSE(spin.tryLock());
  ZtSpinLock copy(spin);
  EXPECT_TRUE(copy.tryLock());
  spin.unlock();
  EXPECT_TRUE(spin.tryLock());
  spin.unlock();
  copy.unlock();
}

TEST(CountableTest, CountsStartAtZeroAndCopiesAreNewObjects) {
  Countable c;
  EXPECT_EQ(c.refCount(), 0u);
  EXPECT_EQ(c.incRef(), 1u);
  EXPECT_EQ(c.incRef(), 2u);
  Countable copy(c);
  EXPECT_EQ(copy.refCount(), 0u);
  copy = c;
  EXPECT_EQ(copy.refCount(), 0u);  // assignment leaves the target's count
  EXPECT_EQ(c.decRef(), 1u);
  EXPECT_EQ(c.decRef(), 0u);
  EXPECT_EQ(c.decRef(), 0u);  // does not wrap below 0
  EXPECT_EQ(c.refCount(), 0u);

  ZtMTCountable mt;
  EXPECT_EQ(mt.refCount(), 0u);
  EXPECT_EQ(mt.spin.word.load(), 0u);
}

// Two threads count up and down on one object. The count must end where it
// started, and of all decRef() results exactly one may be the 0 that lets a
// holder delete the object.
template <class C>
void countAcrossThreads() {
  const long rounds = zktest::scaled(100000);
  C c;
  std::atomic<long> zeros{0};
  ASSERT_TRUE(zktest::runTogether(2, [&](int) {
    for (long i = 0; i < rounds; ++i) c.incRef();
  }));
  EXPECT_EQ(c.refCount(), static_cast<uint32_t>(2 * rounds));
  ASSERT_TRUE(zktest::runTogether(2, [&](int) {
    for (long i = 0; i < rounds; ++i)
      if (c.decRef() == 0) zeros.fetch_add(1);
  }));
  EXPECT_EQ(c.refCount(), 0u);
  EXPECT_EQ(zeros.load(), 1);
}

TEST(CountableTest, CountsAcrossThreads) { countAcrossThreads<Countable>(); }
TEST(CountableTest, MTCountsAcrossThreads) { countAcrossThreads<ZtMTCountable>(); }

}  // namespace
