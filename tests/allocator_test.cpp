// SPDX-License-Identifier: Apache-2.0
// Utils::Allocator: the counting default allocator and its fault injection,
// and that classes marked ZKFLOW_HEAP_OBJECT (the library's own among them)
// yield null rather than throw. Its counts across threads are checked by
// every test's live count (tests/common/testutil.h).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
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

}  // namespace
