// SPDX-License-Identifier: Apache-2.0
// Utils::Allocator: the counting default allocator, its fault injection, its
// per-thread caches, and that classes marked ZKFLOW_HEAP_OBJECT (the library's
// own among them) go through it and yield null rather than throw.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/testutil.h"
#include "zkflow/host/allocator.h"
#include "zkflow/host/lock.h"
#include "zkflow/host/string.h"
#include "zkflow/flow/packet.h"

namespace {

Utils::CountingAllocator* counting() { return Utils::Allocator::defaultAllocator(); }

struct Marked {
  ZKFLOW_HEAP_OBJECT
  Marked() { ++constructed; }
  char payload[40];
  static inline int constructed = 0;
};

class AllocatorTest : public zktest::LiveTest {
 protected:
  void SetUp() override { Marked::constructed = 0; }
  void TearDown() override {
    zkflow::testing::failAllocations(0, 0);
    LiveTest::TearDown();
  }
};

TEST_F(AllocatorTest, CountsBlocksBytesAndInjectedFailures) {
  const int64_t bytes = counting()->liveBytes();
  const uint64_t total = counting()->totalAllocations();
  void* a = counting()->allocate(100);
  void* z[2] = {counting()->allocate(0), counting()->allocate(0)};
  ASSERT_TRUE(a && z[0] && z[1]);
  EXPECT_NE(z[0], z[1]);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % alignof(std::max_align_t), 0u);
  EXPECT_EQ(live.now(), live.start() + 3);
  EXPECT_EQ(counting()->liveBytes(), bytes + 100);
  for (void* p : {a, z[0], z[1], static_cast<void*>(nullptr)}) counting()->release(p);
  EXPECT_EQ(counting()->liveBytes(), bytes);
  EXPECT_EQ(counting()->totalAllocations(), total + 3);

  // Two succeed, two fail (and are not live), then the fault is used up.
  zkflow::testing::failAllocations(2, 2);
  std::vector<void*> got;
  for (int i = 0; i < 5; ++i) got.push_back(counting()->allocate(8));
  EXPECT_TRUE(got[0] && got[1] && !got[2] && !got[3] && got[4]);
  EXPECT_EQ(live.now(), live.start() + 3);
  for (void* p : got) counting()->release(p);
  zkflow::testing::failAllocations(0, 5);  // pending, then turned off
  zkflow::testing::failAllocations(0, 0);
  void* p = counting()->allocate(8);
  EXPECT_NE(p, nullptr);
  counting()->release(p);
}

TEST_F(AllocatorTest, MarkedClassesGoThroughTheAllocator) {
  delete new Marked;
  Marked* many = new Marked[3];
  EXPECT_EQ(live.now(), live.start() + 1);
  delete[] many;
  // The library's own: a packet and a string hold a second block each.
  auto* lockRep = new zk::LockRep("x");
  auto* packet = new ZtPacket(16u);
  auto* text = new zk::String("heap");
  EXPECT_EQ(live.now(), live.start() + 5);
  delete lockRep;
  delete packet;
  delete text;
  // A host's own allocator, once installed, sees them all.
  struct Recording : Utils::Allocator {
    void* allocate(std::size_t n) override { return ++calls, counting()->allocate(n); }
    void release(void* b) override { calls += b != nullptr, counting()->release(b); }
    int calls = 0;
  } mine;
  EXPECT_EQ(Utils::Allocator::install(&mine), counting());
  delete new ZtPacket(4u);
  EXPECT_EQ(Utils::Allocator::install(nullptr), &mine);
  EXPECT_EQ(Utils::Allocator::theAllocator(), counting());
  EXPECT_EQ(mine.calls, 4);
}

TEST_F(AllocatorTest, FailedNewYieldsNullWithoutConstructing) {
  zkflow::testing::failAllocations(0, 1);
  EXPECT_EQ(new Marked, nullptr);
  zkflow::testing::failAllocations(0, 1);
  EXPECT_EQ(new Marked[4], nullptr);
  EXPECT_EQ(Marked::constructed, 0);
  zkflow::testing::failAllocations(0, 1);
  EXPECT_EQ(new ZtQueuePacket, nullptr);
  zkflow::testing::failAllocations(0, 1);
  zk::Lock l(new zk::LockRep("none"));  // an empty handle over a failed body
  EXPECT_FALSE(l.lock());
  zkflow::testing::failAllocations(0, 1);
  zk::String s("text");  // no room for its text: empty
  EXPECT_STREQ(s.c_str(), "");
}

// Blocks made on two threads and freed on a third after the makers have
// ended (their caches handed back), as a pipeline does, in batches beyond a
// thread's cache and a depot batch: counts stay exact, and a block reused
// from the caches, of any size class, has its full room.
TEST_F(AllocatorTest, CountsStayExactWhenBlocksChangeThreads) {
  const int64_t bytes = counting()->liveBytes();
  constexpr int kBlocks = 1000;
  auto size = [](int i) { return static_cast<std::size_t>(i % 300); };
  for (int round = 0; round < static_cast<int>(zktest::scaled(20)); ++round) {
    std::vector<void*> made(kBlocks);
    ASSERT_TRUE(zktest::runTogether(2, [&](int id) {
      for (int i = id; i < kBlocks; i += 2) {
        made[i] = Utils::Allocator::theAllocator()->allocate(size(i));
        if (made[i]) std::memset(made[i], 0xAB, size(i));
      }
    }));
    EXPECT_EQ(live.now(), live.start() + kBlocks);
    zktest::BoundedThread freer([&] {
      for (void* p : made) Utils::Allocator::theAllocator()->release(p);
    });
    ASSERT_TRUE(freer.join(60));
    EXPECT_EQ(live.now(), live.start());
    EXPECT_EQ(counting()->liveBytes(), bytes);
  }
  std::vector<void*> again;
  for (std::size_t n = 0; n <= 600; n += 7) {
    again.push_back(counting()->allocate(n));
    ASSERT_NE(again.back(), nullptr);
    std::memset(again.back(), 0xCD, n);
  }
  for (void* p : again) counting()->release(p);
}

}  // namespace
