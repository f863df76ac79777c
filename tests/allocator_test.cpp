// Utils::Allocator: the counting default allocator, its fault injection, and
// that classes marked ZK_HEAP_OBJECT (the library's own among them) are made
// and freed through it, yielding null rather than throwing when it fails.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "common/testutil.h"
#include "host/allocator.h"
#include "host/lock.h"
#include "host/string.h"
#include "kernel/flow/packet.h"

namespace {


Utils::CountingAllocator* counting() { return Utils::Allocator::defaultAllocator(); }

struct Marked {
  ZK_HEAP_OBJECT
  Marked() { ++constructed; }
  ~Marked() { ++destroyed; }
  char payload[40];
  static int constructed;
  static int destroyed;
};
int Marked::constructed = 0;
int Marked::destroyed = 0;

class AllocatorTest : public zktest::LiveTest {
 protected:
  void SetUp() override {
    Marked::constructed = 0;
    Marked::destroyed = 0;
  }
  void TearDown() override {
    counting()->failAfter(0, 0);
    LiveTest::TearDown();
  }
};

TEST_F(AllocatorTest, CountsBlocksAndBytes) {
  EXPECT_EQ(Utils::Allocator::theAllocator(), counting());
  const int64_t blocks = counting()->liveBlocks();
  const int64_t bytes = counting()->liveBytes();
  const uint64_t total = counting()->totalAllocations();

  void* a = counting()->allocate(100);
  void* b = counting()->allocate(28);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(counting()->liveBlocks(), blocks + 2);
  EXPECT_EQ(counting()->liveBytes(), bytes + 128);
  EXPECT_EQ(counting()->totalAllocations(), total + 2);
  // Aligned for any fundamental type.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % alignof(std::max_align_t), 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % alignof(std::max_align_t), 0u);

  counting()->release(a);
  EXPECT_EQ(counting()->liveBlocks(), blocks + 1);
  EXPECT_EQ(counting()->liveBytes(), bytes + 28);
  counting()->release(b);
  counting()->release(nullptr);  // nothing
  EXPECT_EQ(counting()->liveBlocks(), blocks);
  EXPECT_EQ(counting()->liveBytes(), bytes);
  // Releasing does not count as an allocation.
  EXPECT_EQ(counting()->totalAllocations(), total + 2);
}

TEST_F(AllocatorTest, ZeroByteBlocksAreUnique) {
  void* a = counting()->allocate(0);
  void* b = counting()->allocate(0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(live.now(), live.start() + 2);
  counting()->release(a);
  counting()->release(b);
}

TEST_F(AllocatorTest, FailAfterSkipsThenFails) {
  counting()->failAfter(2, 2);
  void* ok1 = counting()->allocate(8);
  void* ok2 = counting()->allocate(8);
  void* bad1 = counting()->allocate(8);
  void* bad2 = counting()->allocate(8);
  void* ok3 = counting()->allocate(8);
  EXPECT_NE(ok1, nullptr);
  EXPECT_NE(ok2, nullptr);
  EXPECT_EQ(bad1, nullptr);
  EXPECT_EQ(bad2, nullptr);
  EXPECT_NE(ok3, nullptr);  // the fault is used up
  // Failed allocations are not live.
  EXPECT_EQ(live.now(), live.start() + 3);
  for (void* p : {ok1, ok2, ok3}) counting()->release(p);

  // n = 0 turns injection off, also when it was pending.
  counting()->failAfter(0, 5);
  counting()->failAfter(0, 0);
  void* p = counting()->allocate(8);
  EXPECT_NE(p, nullptr);
  counting()->release(p);
}

TEST_F(AllocatorTest, MarkedClassesGoThroughTheAllocator) {
  const int64_t bytes = counting()->liveBytes();
  Marked* m = new Marked;
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(live.now(), live.start() + 1);
  EXPECT_EQ(counting()->liveBytes(), bytes + static_cast<int64_t>(sizeof(Marked)));
  delete m;
  EXPECT_EQ(Marked::destroyed, 1);
  EXPECT_EQ(live.now(), live.start());

  Marked* many = new Marked[3];
  ASSERT_NE(many, nullptr);
  EXPECT_EQ(Marked::constructed, 4);
  EXPECT_EQ(live.now(), live.start() + 1);
  delete[] many;
  EXPECT_EQ(Marked::destroyed, 4);

  // The library's own heap objects.
  auto* lockRep = new LockRep("x");
  auto* packet = new ZtPacket(16u);  // the object and its byte block
  auto* queued = new ZtQueueDataPacket;
  auto* text = new String("heap");  // the object and its text
  EXPECT_EQ(live.now(), live.start() + 6);
  delete lockRep;
  delete packet;
  delete queued;
  delete text;
}

TEST_F(AllocatorTest, FailedNewYieldsNullWithoutConstructing) {
  counting()->failAfter(0, 1);
  Marked* m = new Marked;
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(Marked::constructed, 0);

  counting()->failAfter(0, 1);
  Marked* arr = new Marked[4];
  EXPECT_EQ(arr, nullptr);
  EXPECT_EQ(Marked::constructed, 0);

  counting()->failAfter(0, 1);
  EXPECT_EQ(new ZtQueuePacket, nullptr);
  counting()->failAfter(0, 1);
  EXPECT_EQ(new LockRep("none"), nullptr);
  // An empty Lock handle over a failed body is harmless.
  counting()->failAfter(0, 1);
  Lock l(new LockRep("none"));
  EXPECT_TRUE(l.empty());
  EXPECT_FALSE(l.lock());
  // A string that could not get its text is empty.
  counting()->failAfter(0, 1);
  String s("text");
  EXPECT_TRUE(s.isEmpty());
  EXPECT_STREQ(s.c_str(), "");
}

// An allocator of the host's own, counting what passes through it.
class RecordingAllocator : public Utils::Allocator {
 public:
  void* allocate(std::size_t bytes) override {
    ++allocations;
    return counting()->allocate(bytes);
  }
  void release(void* block) override {
    if (block) ++releases;
    counting()->release(block);
  }
  int allocations = 0;
  int releases = 0;
};

TEST_F(AllocatorTest, InstalledAllocatorIsUsed) {
  RecordingAllocator mine;
  Utils::Allocator* previous = Utils::Allocator::install(&mine);
  EXPECT_EQ(previous, counting());
  EXPECT_EQ(Utils::Allocator::theAllocator(), &mine);
  Marked* m = new Marked;
  ZtPacket* p = new ZtPacket(4u);
  delete m;
  delete p;
  EXPECT_EQ(Utils::Allocator::install(nullptr), &mine);
  EXPECT_EQ(Utils::Allocator::theAllocator(), counting());
  EXPECT_EQ(mine.allocations, 3);
  EXPECT_EQ(mine.releases, 3);
}

TEST_F(AllocatorTest, CountsStayExactAcrossThreads) {
  const int rounds = static_cast<int>(zktest::scaled(20000));
  auto work = [rounds](int) {
    std::vector<void*> held;
    for (int i = 0; i < rounds; ++i) {
      held.push_back(Utils::Allocator::theAllocator()->allocate(static_cast<std::size_t>(i % 64)));
      if (held.size() == 16) {
        for (void* p : held) Utils::Allocator::theAllocator()->release(p);
        held.clear();
      }
    }
    for (void* p : held) Utils::Allocator::theAllocator()->release(p);
  };
  const int64_t bytes = counting()->liveBytes();
  const uint64_t total = counting()->totalAllocations();
  ASSERT_TRUE(zktest::runTogether(2, work));
  EXPECT_EQ(live.now(), live.start());
  EXPECT_EQ(counting()->liveBytes(), bytes);
  EXPECT_EQ(counting()->totalAllocations(), total + 2 * static_cast<uint64_t>(rounds));
}

// Blocks made on one thread and freed on another, as a pipeline does, in
// batches larger than a thread keeps for reuse, and some freed only after
// the thread that made them has ended: the counts come back exactly, and a
// freed block comes back whole (its old bytes are no business of the new
// owner, but its room is).
TEST_F(AllocatorTest, CountsStayExactWhenBlocksChangeThreads) {
  const int64_t bytes = counting()->liveBytes();
  constexpr int kBlocks = 1000;  // beyond a thread's cache and a depot batch
  for (int round = 0; round < static_cast<int>(zktest::scaled(20)); ++round) {
    std::vector<void*> made(kBlocks);
    zktest::BoundedThread maker([&] {
      for (int i = 0; i < kBlocks; ++i) {
        made[i] = Utils::Allocator::theAllocator()->allocate(static_cast<std::size_t>(i % 300));
        ASSERT_NE(made[i], nullptr);
        std::memset(made[i], 0xAB, static_cast<std::size_t>(i % 300));
      }
    });
    ASSERT_TRUE(maker.join(60));  // the maker has ended: its cache is flushed
    EXPECT_EQ(live.now(), live.start() + kBlocks);
    zktest::BoundedThread freer([&] {
      for (void* p : made) Utils::Allocator::theAllocator()->release(p);
    });
    ASSERT_TRUE(freer.join(60));
    EXPECT_EQ(live.now(), live.start());
    EXPECT_EQ(counting()->liveBytes(), bytes);
  }
  // Reused blocks of every size class have their full room.
  std::vector<void*> again;
  for (std::size_t n = 0; n <= 600; n += 7) {
    void* p = counting()->allocate(n);
    ASSERT_NE(p, nullptr);
    std::memset(p, 0xCD, n);
    again.push_back(p);
  }
  for (void* p : again) counting()->release(p);
}

}  // namespace
