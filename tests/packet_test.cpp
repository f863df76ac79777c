// Stored byte packets (ZtPacket) and queue packets: clamping of reads and
// writes, when the packet counts as modified, ownership of the byte block, the
// class names the store sees, and clip references held by queue data packets.
#include <gtest/gtest.h>

#include <cstring>
#include <typeinfo>

#include "common/testutil.h"
#include "host/allocator.h"
#include "host/pointer.h"
#include "host/store.h"
#include "kernel/flow/packet.h"

namespace {

Utils::CountingAllocator* counting() { return Utils::Allocator::defaultAllocator(); }

// Fills a packet with 1, 2, 3, ... through data().
void fill(ZtPacket& p) {
  for (unsigned i = 0; i < p.size(); ++i) p.data()[i] = static_cast<char>(i + 1);
}

std::string bytes(const ZtPacket& p) { return std::string(p.data(), p.size()); }

class PacketTest : public zktest::LiveTest {
 protected:
  void TearDown() override {
    counting()->failAfter(0, 0);
    LiveTest::TearDown();
  }
};

TEST_F(PacketTest, NewPacketsAreEmptyOrSized) {
  ZtPacket empty;
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.data(), nullptr);
  EXPECT_EQ(empty.expireTime(), Utils::Time());
  EXPECT_FALSE(empty.modified());
  EXPECT_EQ(empty.refCount(), 0u);

  ZtPacket five(5u);
  EXPECT_EQ(five.size(), 5u);
  EXPECT_NE(five.data(), nullptr);
  EXPECT_FALSE(five.modified());  // size(n) does not mark

  ZtPacket prototype(static_cast<ZtRegBlank*>(nullptr));
  EXPECT_EQ(prototype.size(), 0u);
  EXPECT_TRUE(prototype.isPrototype());
}

TEST_F(PacketTest, TruncateGrowsWithZerosShrinksKeepingThePrefix) {
  ZtPacket p(5u);
  fill(p);
  p.truncate(8);
  ASSERT_EQ(p.size(), 8u);
  EXPECT_EQ(bytes(p), std::string("\1\2\3\4\5\0\0\0", 8));
  EXPECT_TRUE(p.modified());

  // The same size again changes nothing and does not mark the packet.
  p.modified(false);
  const char* block = p.data();
  p.truncate(8);
  EXPECT_FALSE(p.modified());
  EXPECT_EQ(p.data(), block);

  p.truncate(2);
  EXPECT_EQ(bytes(p), std::string("\1\2", 2));
  EXPECT_TRUE(p.modified());
  // Growing after a shrink zero-fills: the cut bytes do not come back.
  p.truncate(4);
  EXPECT_EQ(bytes(p), std::string("\1\2\0\0", 4));
  p.truncate(0);
  EXPECT_EQ(p.size(), 0u);

  // One block at a time, sized as the packet.
  EXPECT_EQ(live.now(), live.start() + 1);
}

TEST_F(PacketTest, WriteAtClampsAtTheEndAndAlwaysMarks) {
  ZtPacket p(8u);
  std::memset(p.data(), 'x', 8);
  const char src[10] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};
  EXPECT_EQ(p.writeAt(3, src, 10), 5u);
  EXPECT_EQ(bytes(p), "xxxabcde");
  EXPECT_TRUE(p.modified());

  // Nothing written, still marked.
  p.modified(false);
  EXPECT_EQ(p.writeAt(8, src, 4), 0u);
  EXPECT_TRUE(p.modified());
  p.modified(false);
  EXPECT_EQ(p.writeAt(0, src, 0), 0u);
  EXPECT_TRUE(p.modified());

  // Inside the block: exactly count bytes.
  EXPECT_EQ(p.writeAt(1, src, 2), 2u);
  EXPECT_EQ(bytes(p), "xababcde");
  // Beyond the end, or a count that would wrap offset + count: clamped,
  // never out of the block.
  EXPECT_EQ(p.writeAt(9, src, 1), 0u);
  EXPECT_EQ(p.writeAt(0xFFFFFFFFu, src, 2), 0u);
  EXPECT_EQ(p.writeAt(6, src, 0xFFFFFFFFu), 2u);
  EXPECT_EQ(bytes(p), "xababcab");
  EXPECT_EQ(p.writeAt(0, nullptr, 4), 0u);
  EXPECT_EQ(bytes(p), "xababcab");
  EXPECT_EQ(p.size(), 8u);
}

TEST_F(PacketTest, ReadAtClampsAndDoesNotMark) {
  ZtPacket p(8u);
  std::memcpy(p.data(), "abcdefgh", 8);
  p.modified(false);
  const ZtPacket& cp = p;
  char dst[16];
  std::memset(dst, '-', sizeof dst);
  EXPECT_EQ(cp.readAt(8, dst, 4), 0u);
  EXPECT_EQ(dst[0], '-');
  EXPECT_EQ(cp.readAt(6, dst, 4), 2u);
  EXPECT_EQ(std::string(dst, 3), "gh-");
  EXPECT_EQ(cp.readAt(0, dst, 8), 8u);
  EXPECT_EQ(std::string(dst, 8), "abcdefgh");
  EXPECT_EQ(cp.readAt(100, dst, 4), 0u);
  EXPECT_EQ(cp.readAt(2, dst, 0xFFFFFFFFu), 6u);
  EXPECT_EQ(cp.readAt(0, nullptr, 4), 0u);
  EXPECT_FALSE(p.modified());

  ZtPacket empty;
  EXPECT_EQ(empty.readAt(0, dst, 4), 0u);
  EXPECT_EQ(empty.writeAt(0, "ab", 2), 0u);
}

TEST_F(PacketTest, SizeDiscardsTheContentAndDoesNotMark) {
  ZtPacket p(5u);
  fill(p);
  const int64_t bytesBefore = counting()->liveBytes();
  p.size(16);
  EXPECT_EQ(p.size(), 16u);
  EXPECT_FALSE(p.modified());
  // The old block went back; one block of 16 bytes is held now.
  EXPECT_EQ(counting()->liveBytes(), bytesBefore - 5 + 16);
  EXPECT_EQ(live.now(), live.start() + 1);
  std::memset(p.data(), 0x5a, 16);  // all 16 bytes are the packet's
  EXPECT_EQ(p.writeAt(12, "wxyz", 4), 4u);
}

TEST_F(PacketTest, CopiesOwnTheirBytes) {
  ZtPacket a(6u);
  std::memcpy(a.data(), "source", 6);
  a.expireTime(Utils::Time(3));
  a.modified(true);
  a.incRef();

  ZtPacket b(a);
  EXPECT_NE(b.data(), a.data());
  EXPECT_EQ(bytes(b), "source");
  EXPECT_EQ(b.expireTime(), Utils::Time(3));
  EXPECT_EQ(b.refCount(), 0u);  // a new stored object
  b.data()[0] = 'S';
  EXPECT_EQ(bytes(a), "source");

  // Assignment frees the target's old block and takes a copy.
  ZtPacket c(100u);
  const int64_t blocks = live.now();
  c = a;
  EXPECT_EQ(live.now(), blocks);
  EXPECT_NE(c.data(), a.data());
  EXPECT_EQ(bytes(c), "source");
  EXPECT_EQ(c.expireTime(), Utils::Time(3));
  EXPECT_EQ(c.refCount(), 0u);  // the target keeps its own count
  ZtPacket& self = c;
  c = self;
  EXPECT_EQ(bytes(c), "source");

  // Empty copies hold no block.
  ZtPacket empty;
  ZtPacket d(empty);
  EXPECT_EQ(d.size(), 0u);
  c = empty;
  EXPECT_EQ(c.size(), 0u);
  a.decRef();
}

TEST_F(PacketTest, AllocationFailureLeavesAUsablePacket) {
  ZtPacket p(4u);
  std::memcpy(p.data(), "keep", 4);
  // A failed grow keeps what the packet had.
  counting()->failAfter(0, 1);
  p.truncate(64);
  EXPECT_EQ(p.size(), 4u);
  EXPECT_EQ(bytes(p), "keep");
  // A failed copy is an empty packet, not a half one.
  counting()->failAfter(0, 1);
  ZtPacket q(p);
  EXPECT_EQ(q.size(), 0u);
  ZtPacket r(8u);
  counting()->failAfter(0, 1);
  r = p;
  EXPECT_EQ(r.size(), 0u);
  // A failed size(n) leaves the packet empty rather than claiming n bytes.
  counting()->failAfter(0, 1);
  p.size(32);
  EXPECT_EQ(p.size(), 0u);
  char dst[4];
  EXPECT_EQ(p.readAt(0, dst, 4), 0u);
  // And a packet that failed to be made is null, not a throw.
  counting()->failAfter(0, 1);
  ZtPacket* none = new ZtPacket(8u);
  EXPECT_EQ(none, nullptr);
}

TEST_F(PacketTest, ClassNames) {
  ZtPacket p;
  EXPECT_EQ(p.className(), ZtPacket::thisClassName());
  EXPECT_EQ(ZtPacket::thisClassName(), "ZtPacket");
  const ZtStreamable& asStreamable = p;
  EXPECT_EQ(asStreamable.className(), "ZtPacket");
  EXPECT_TRUE(asStreamable.storable());

  ZtQueuePacket q;
  EXPECT_EQ(q.className(), ZtQueuePacket::thisClassName());
  EXPECT_EQ(ZtQueuePacket::thisClassName(), "ZtQueuePacket");
  // A data packet inherits its base's name.
  ZtQueueDataPacket d;
  const ZtQueuePacket& asQueuePacket = d;
  EXPECT_EQ(d.className(), "ZtQueuePacket");
  EXPECT_EQ(asQueuePacket.className(), "ZtQueuePacket");
}

TEST_F(PacketTest, ClipReferencesKeepTheClipAlive) {
  ZtClip* clip = new ZtClip("take one", 480);
  {
    AP<ZtQueuePacket> owner;
    {
      ZtOIDRef<ZtClip> ref(clip);
      auto* d = new ZtQueueDataPacket;
      d->clip(ref);
      d->start(10);
      d->size(20);
      d->startTime(Utils::Time(1));
      d->duration(Utils::Time(2));
      d->tag = 5;
      EXPECT_EQ(clip->refCount(), 2u);
      owner = d;

      ZtQueueDataPacket copy(*d);
      EXPECT_EQ(copy.clip().get(), clip);
      EXPECT_EQ(clip->refCount(), 3u);
      EXPECT_EQ(copy.start(), 10u);
      EXPECT_EQ(copy.size(), 20u);
      EXPECT_EQ(copy.startTime(), Utils::Time(1));
      EXPECT_EQ(copy.duration(), Utils::Time(2));
      EXPECT_EQ(copy.tag, 5u);

      ZtQueueDataPacket assigned;
      assigned = copy;
      EXPECT_EQ(assigned.clip().get(), clip);
      EXPECT_EQ(assigned.start(), 10u);
      EXPECT_EQ(clip->refCount(), 4u);
      ZtQueueDataPacket& self = assigned;
      assigned = self;
      EXPECT_EQ(assigned.clip().get(), clip);
      EXPECT_EQ(clip->refCount(), 4u);
    }
    // The local reference and copies are gone; the queued packet alone keeps
    // the clip.
    EXPECT_EQ(clip->refCount(), 1u);
    EXPECT_EQ(clip->name, "take one");
    EXPECT_EQ(clip->length, 480u);
    // Deleting the packet through its base pointer releases the clip, and
    // with it the clip itself.
  }
}

}  // namespace
