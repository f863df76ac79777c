// P<T> (counted) and AP<T> (owning, moves on copy): counts, self-assignment,
// deletion through the virtual destructor, and that every object made is
// given back to the allocator.
#include <gtest/gtest.h>

#include <atomic>
#include <utility>

#include "common/testutil.h"
#include "host/allocator.h"
#include "host/lock.h"
#include "host/pointer.h"

namespace {


struct Base : Countable {
  ZK_HEAP_OBJECT
  explicit Base(std::atomic<int>* deaths) : deaths(deaths) {}
  virtual ~Base() { deaths->fetch_add(1); }
  std::atomic<int>* deaths;
};

// Deleted through Base*: its own destructor must run too.
struct Derived : Base {
  Derived(std::atomic<int>* deaths, std::atomic<int>* derivedDeaths)
      : Base(deaths), derivedDeaths(derivedDeaths) {}
  ~Derived() override { derivedDeaths->fetch_add(1); }
  std::atomic<int>* derivedDeaths;
};

// A chain where an object holds the last count of the next one.
struct Node : Countable {
  ZK_HEAP_OBJECT
  virtual ~Node() = default;
  P<Node> next;
  int value = 0;
};

class PointerTest : public zktest::LiveTest {};

TEST_F(PointerTest, CountsFollowCopiesAndReleases) {
  std::atomic<int> deaths{0};
  {
    P<Base> a(new Base(&deaths));
    EXPECT_EQ(a->refCount(), 1u);
    P<Base> b(a);
    P<Base> c;
    EXPECT_TRUE(c.isNull());
    c = b;
    EXPECT_EQ(a->refCount(), 3u);
    EXPECT_TRUE(a == c);

    // Self-assignment and assigning the same target change nothing.
    P<Base>& self = a;
    a = self;
    c = a;
    EXPECT_EQ(a->refCount(), 3u);
    ASSERT_FALSE(a.isNull());

    // Moving hands the count over.
    P<Base> d(std::move(b));
    EXPECT_TRUE(b.isNull());
    EXPECT_EQ(a->refCount(), 3u);
    P<Base> e;
    e = std::move(d);
    EXPECT_TRUE(d.isNull());
    EXPECT_EQ(a->refCount(), 3u);

    e.release();
    EXPECT_TRUE(e.isNull());
    EXPECT_FALSE(static_cast<bool>(e));
    EXPECT_EQ(a->refCount(), 2u);
    e.release();  // releasing a null pointer does nothing
    c = nullptr;
    EXPECT_EQ(a->refCount(), 1u);
    EXPECT_EQ(deaths.load(), 0);
  }
  EXPECT_EQ(deaths.load(), 1);
}

TEST_F(PointerTest, DeletesThroughTheVirtualDestructor) {
  std::atomic<int> deaths{0};
  std::atomic<int> derivedDeaths{0};
  {
    P<Derived> d(new Derived(&deaths, &derivedDeaths));
    P<Base> b(d);
    EXPECT_EQ(b->refCount(), 2u);
    d.release();
    EXPECT_EQ(deaths.load(), 0);
  }
  EXPECT_EQ(deaths.load(), 1);
  EXPECT_EQ(derivedDeaths.load(), 1);
}

TEST_F(PointerTest, AssignFromAnObjectThatHoldsTheLastCount) {
  P<Node> head(new Node);
  head->value = 1;
  head->next = new Node;
  head->next->value = 2;
  // The old head holds the only other count of its successor: the new
  // target must be counted before the old one is let go.
  head = head->next;
  ASSERT_FALSE(head.isNull());
  EXPECT_EQ(head->value, 2);
  EXPECT_EQ(head->refCount(), 1u);
}

TEST_F(PointerTest, SharedAcrossThreadsDeletedOnce) {
  std::atomic<int> deaths{0};
  const long rounds = zktest::scaled(50000);
  P<Base> shared(new Base(&deaths));
  // Each thread holds a count of its own and churns copies of it; the last
  // one to let go is one of the threads.
  P<Base> mine[2] = {shared, shared};
  shared.release();
  ASSERT_TRUE(zktest::runTogether(2, [&](int id) {
    for (long i = 0; i < rounds; ++i) {
      P<Base> copy(mine[id]);
      P<Base> other;
      other = copy;
    }
    mine[id].release();
  }));
  EXPECT_EQ(deaths.load(), 1);
}

class OwningPointerTest : public zktest::LiveTest {};

TEST_F(OwningPointerTest, CopyAndAssignMove) {
  std::atomic<int> deaths{0};
  {
    AP<Base> a(new Base(&deaths));
    Base* obj = a.get();
    AP<Base> b(a);  // moves
    EXPECT_TRUE(a.isNull());
    EXPECT_EQ(b.get(), obj);

    AP<Base> c(new Base(&deaths));
    c = b;  // moves, deleting c's previous object
    EXPECT_EQ(deaths.load(), 1);
    EXPECT_TRUE(b.isNull());
    EXPECT_EQ(c.get(), obj);

    AP<Base>& self = c;
    c = self;  // self-assignment keeps the object
    EXPECT_EQ(c.get(), obj);
    EXPECT_EQ(deaths.load(), 1);

    AP<Base> d(std::move(c));
    EXPECT_TRUE(c.isNull());
    AP<Base> e;
    e = std::move(d);
    EXPECT_TRUE(d.isNull());
    EXPECT_EQ(e.get(), obj);
    EXPECT_EQ(deaths.load(), 1);
  }
  EXPECT_EQ(deaths.load(), 2);
}

TEST_F(OwningPointerTest, BothHoldingTheSamePointerDeletesNothing) {
  std::atomic<int> deaths{0};
  {
    Base* obj = new Base(&deaths);
    AP<Base> a(obj);
    AP<Base> b;
    b.ptr = obj;  // an owner that was filled by hand
    a = b;
    EXPECT_EQ(deaths.load(), 0);
    EXPECT_EQ(a.get(), obj);
    EXPECT_TRUE(b.isNull());
    a = obj;  // the same raw pointer: nothing to delete
    EXPECT_EQ(deaths.load(), 0);
    a = new Base(&deaths);  // another one: the old object goes
    EXPECT_EQ(deaths.load(), 1);
  }
  EXPECT_EQ(deaths.load(), 2);
}

TEST_F(OwningPointerTest, ReleaseResetAndVirtualDestruction) {
  std::atomic<int> deaths{0};
  std::atomic<int> derivedDeaths{0};
  {
    AP<Derived> d(new Derived(&deaths, &derivedDeaths));
    AP<Base> b(d);  // moves across the hierarchy
    EXPECT_TRUE(d.isNull());
    b.reset();
    EXPECT_TRUE(b.isNull());
    EXPECT_EQ(deaths.load(), 1);
    EXPECT_EQ(derivedDeaths.load(), 1);

    AP<Derived> d2(new Derived(&deaths, &derivedDeaths));
    AP<Base> b2;
    b2 = d2;
    EXPECT_TRUE(d2.isNull());

    AP<Base> owner(new Base(&deaths));
    Base* handed = owner.release();
    EXPECT_TRUE(owner.isNull());
    EXPECT_EQ(deaths.load(), 1);
    delete handed;
    EXPECT_EQ(deaths.load(), 2);
  }
  // b2 deleted the Derived through Base*.
  EXPECT_EQ(deaths.load(), 3);
  EXPECT_EQ(derivedDeaths.load(), 2);
}

}  // namespace
