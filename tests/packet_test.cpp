// SPDX-License-Identifier: Apache-2.0
// Stored byte packets and queue data packets: what truncate keeps, and the
// references a queue data packet and a protector hold. Clamped reads and
// writes are in badinput_test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/testutil.h"
#include "zkflow/host/pointer.h"
#include "zkflow/flow/packet.h"

namespace {

class PacketTest : public zktest::LiveTest {};

TEST_F(PacketTest, TruncateGrowsWithZerosShrinksKeepingThePrefix) {
  ZtPacket p(5u);
  std::memcpy(p.data(), "\1\2\3\4\5", 5);
  p.truncate(8);
  EXPECT_EQ(std::string(p.data(), p.size()), std::string("\1\2\3\4\5\0\0\0", 8));
  EXPECT_TRUE(p.modified());
  p.modified(false);
  p.truncate(8);  // the same size: no change, no mark
  EXPECT_FALSE(p.modified());
  p.truncate(2);
  p.truncate(4);  // the cut bytes do not come back
  EXPECT_EQ(std::string(p.data(), p.size()), std::string("\1\2\0\0", 4));
  EXPECT_EQ(live.now(), live.start() + 1);  // one block, sized as the packet
  ZtPacket c(100u);
  c = p;  // frees its old block, copies the bytes
  EXPECT_NE(c.data(), p.data());
  EXPECT_EQ(std::string(c.data(), c.size()), std::string("\1\2\0\0", 4));
  EXPECT_EQ(live.now(), live.start() + 2);
}

TEST_F(PacketTest, ClipReferencesKeepTheClipAlive) {
  ZtClip* clip = new ZtClip("take one", 480);
  {
    zk::AP<ZtQueuePacket> owner;
    {
      ZtOIDRef<ZtClip> ref(clip);
      auto* d = new ZtQueueDataPacket;
      d->clip(ref);
      d->start(10);
      owner = d;
      ZtQueueDataPacket copy(*d);
      ZtQueueDataPacket assigned;
      assigned = copy;
      ZtQueueDataPacket& self = assigned;
      assigned = self;
      EXPECT_EQ(assigned.clip().get(), clip);
      EXPECT_EQ(assigned.start(), 10u);
      EXPECT_EQ(clip->refCount(), 4u);
    }
    // The queued packet alone keeps the clip; deleting it through its base
    // pointer releases the clip, and with it the clip itself (live count).
    EXPECT_EQ(clip->refCount(), 1u);
  }
  ZtProtector<ZtPacket> a(new ZtPacket(4u)), b;  // so does a protector's assignment
  b = a;
  b = b;
  EXPECT_EQ(a->refCount(), 2u);
}

}  // namespace
