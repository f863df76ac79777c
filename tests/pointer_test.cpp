// SPDX-License-Identifier: Apache-2.0
// P<T> (counted) and AP<T> (owning, moves on copy): deletion exactly once,
// through the virtual destructor, whatever the order of copies and moves.
#include <gtest/gtest.h>

#include <atomic>
#include <utility>

#include "common/testutil.h"
#include "zkflow/host/lock.h"
#include "zkflow/host/pointer.h"

namespace {

std::atomic<int> gDeaths{0};
std::atomic<int> gDerivedDeaths{0};

struct Base : zk::Countable {
  ZKFLOW_HEAP_OBJECT
  virtual ~Base() { ++gDeaths; }
  zk::P<Base> next;  // may hold the last count of another object
};
struct Derived : Base {
  ~Derived() override { ++gDerivedDeaths; }
};

class PointerTest : public zktest::LiveTest {
 protected:
  void SetUp() override { gDeaths = gDerivedDeaths = 0; }
};

TEST_F(PointerTest, CountedPointerDeletesOnceWithItsLastCount) {
  zk::P<Derived> d(new Derived);
  zk::P<Base> a(d), b(a), c;
  c = b;
  c = c;
  zk::P<Base> moved(std::move(b));
  c = std::move(moved);
  EXPECT_TRUE(b.isNull() && moved.isNull());
  EXPECT_EQ(a->refCount(), 3u);
  c.release();
  c.release();
  d = nullptr;
  EXPECT_EQ(gDeaths.load(), 0);
  // The old target holds the last count of the new one: the new one must be
  // counted before the old is let go.
  a->next = new Base;
  a = a->next;
  EXPECT_EQ(gDerivedDeaths.load(), 1);  // deleted through Base*
  EXPECT_EQ(a->refCount(), 1u);
  a.release();
  EXPECT_EQ(gDeaths.load(), 2);
}

TEST_F(PointerTest, SharedAcrossThreadsDeletedOnce) {
  const long rounds = zktest::scaled(50000);
  zk::P<Base> mine[2];
  mine[0] = mine[1] = new Base;
  ASSERT_TRUE(zktest::runTogether(2, [&](int id) {
    for (long i = 0; i < rounds; ++i) {
      zk::P<Base> copy(mine[id]), other;
      other = copy;
    }
    mine[id].release();
  }));
  EXPECT_EQ(gDeaths.load(), 1);
}

TEST_F(PointerTest, OwningPointerMovesOnCopyAndAssign) {
  Base* obj = new Derived;
  zk::AP<Base> a(obj), b(a), c(new Base);
  EXPECT_TRUE(a.isNull());
  c = b;  // deletes c's previous object
  EXPECT_EQ(gDeaths.load(), 1);
  c = c;
  c = obj;  // the same raw pointer: nothing to delete
  zk::AP<Base> e;
  e = std::move(c);
  EXPECT_EQ(e.get(), obj);
  EXPECT_EQ(gDeaths.load(), 1);
  zk::AP<Base> same;
  same.ptr = obj;  // both hold it: assigning deletes nothing
  e = same;
  EXPECT_EQ(gDeaths.load(), 1);
  e.reset();
  EXPECT_EQ(gDerivedDeaths.load(), 1);
  zk::AP<Derived> d(new Derived);
  zk::AP<Base> up(d);  // across the hierarchy
  delete up.release();
  EXPECT_EQ(gDeaths.load(), 3);
  EXPECT_EQ(gDerivedDeaths.load(), 2);
}

}  // namespace
