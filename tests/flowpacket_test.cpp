// Flow packets: reference counting, copies, and the fixed-point clipping
// arithmetic, checked to the last raw unit.
#include <gtest/gtest.h>

#include "common/testutil.h"
#include "kernel/flow/flowpacket.h"

namespace {

using Utils::Time;

// A stored packet of n bytes whose byte i is i & 0xFF, held by a protector.
ZtProtector<ZtPacket> storedBytes(unsigned int n) {
  ZtProtector<ZtPacket> sp(new ZtPacket(n));
  for (unsigned int i = 0; i < n; ++i) {
    const char b = static_cast<char>(i & 0xFF);
    sp->writeAt(i, &b, 1);
  }
  return sp;
}

ZtFlowDataPacket window(unsigned int pos, unsigned int size, int64_t start, int64_t end) {
  ZtFlowDataPacket p;
  p.pos(pos);
  p.dSize(size);
  p.startTime(Time::fromRaw(start));
  p.endTime(Time::fromRaw(end));
  return p;
}

class FlowPacketTest : public zktest::LiveTest {};

TEST_F(FlowPacketTest, PlainPacketOccupiesOnePositionAndCopiesWithoutItsCount) {
  ZtFlowPacket p;
  EXPECT_EQ(p.size(), 1u);
  EXPECT_EQ(p.markupCode(), ZtFlowPacket::Normal);
  p.pos(7);
  p.clipSize(0);
  EXPECT_EQ(p.size(), 1u);
  p.clipStart(3);  // moves wherever it is told, backward too
  EXPECT_EQ(p.pos(), 3u);
  p.clipStart(100);
  EXPECT_EQ(p.pos(), 100u);

  p.markupCode(ZtFlowPacket::Flush);
  p.incRef();
  p.incRef();
  unsigned int at = 55;
  ZtFlowPacket* copy = p.readAt(at);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(at, 55u);  // never written
  EXPECT_EQ(copy->pos(), 100u);  // the argument is ignored
  EXPECT_EQ(copy->markupCode(), ZtFlowPacket::Flush);
  EXPECT_EQ(copy->refCount(), 1u);  // the caller's reference

  ZtFlowPacket other;
  other.incRef();
  other = p;
  EXPECT_EQ(other.pos(), 100u);
  EXPECT_EQ(other.refCount(), 1u);  // the target's count stays its own
  ZtFlowPacket built(p);
  EXPECT_EQ(built.refCount(), 0u);
  ZtFlowPacket::drop(copy);
}

TEST_F(FlowPacketTest, DropDeletesOnTheLastReferenceOnly) {
  ZtFlowPacket::drop(nullptr);
  auto* p = new ZtFlowDataPacket(storedBytes(16));
  p->incRef();
  p->incRef();
  ZtFlowPacket::drop(p);
  EXPECT_EQ(p->refCount(), 1u);
  EXPECT_TRUE(p->valid());
  ZtFlowPacket::drop(p);  // deletes the packet and so the stored packet
  // A packet nobody ever referenced is deleted by a drop as well.
  ZtFlowPacket::drop(new ZtFlowPacket);
}

TEST_F(FlowPacketTest, ClipSizeAndStartMoveTimesByWholeTruncatedSteps) {
  // 3 units over raw 0..65536: 21845 per unit (truncated).
  ZtFlowDataPacket a = window(10, 3, 0, 65536);
  a.dStart(4);
  a.clipSize(1);
  EXPECT_EQ(a.size(), 1u);
  EXPECT_EQ(a.startTime().raw(), 0);
  EXPECT_EQ(a.endTime().raw(), 21846);
  EXPECT_EQ(a.pos(), 10u);
  EXPECT_EQ(a.dStart(), 4u);

  ZtFlowDataPacket b = window(10, 3, 0, 65536);
  b.dStart(4);
  b.clipStart(11);
  EXPECT_EQ(b.pos(), 11u);
  EXPECT_EQ(b.size(), 2u);
  EXPECT_EQ(b.dStart(), 5u);
  EXPECT_EQ(b.startTime().raw(), 21845);
  EXPECT_EQ(b.endTime().raw(), 65536);

  // At or before the start, and sizes at or above dSize: no change.
  b.clipStart(11);
  b.clipStart(3);
  b.clipSize(2);
  b.clipSize(99);
  EXPECT_EQ(b.pos(), 11u);
  EXPECT_EQ(b.size(), 2u);
  EXPECT_EQ(b.startTime().raw(), 21845);

  // clipSize(0) keeps the remainder of the span divided by dSize.
  ZtFlowDataPacket c = window(0, 3, 1000, 1000 + 65536);
  c.clipSize(0);
  EXPECT_EQ(c.size(), 0u);
  EXPECT_EQ(c.endTime().raw(), 1000 + 65536 % 3);

  // Start at or past the end empties the window; pos and times stay.
  ZtFlowDataPacket d = window(10, 3, 0, 65536);
  d.clipStart(13);
  EXPECT_EQ(d.size(), 0u);
  EXPECT_EQ(d.pos(), 10u);
  EXPECT_EQ(d.startTime().raw(), 0);
  EXPECT_EQ(d.endTime().raw(), 65536);

  // Negative spans truncate toward zero too: -65536 / 3 units is -21845.
  ZtFlowDataPacket e = window(0, 3, 65536, 0);
  e.clipStart(1);
  EXPECT_EQ(e.startTime().raw(), 65536 - 21845);
}

TEST_F(FlowPacketTest, ClipEndCountsUnitsThroughA32BitFractionRatio) {
  struct Case {
    unsigned int size;
    int64_t start, end, cut;
    unsigned int kept;
    int64_t endAfter;
  } cases[] = {
      {100, 0, 65536, 32768, 50, 32768},
      // 10 << 32 / 100000 = 429496; 55000 * 429496 >> 32 = 5 (not 5.5 rounded).
      {10, 0, 100000, 55000, 5, 55000},
      // Not the inverse of clipSize: 3 units over 65536 cut at 21846 keeps 1.
      {3, 0, 65536, 21846, 1, 21846},
      // At or before the start: empty, the end moved to the start at most.
      {10, 500, 1500, 500, 0, 500},
      {10, 500, 1500, -7, 0, 500},
      // At or after the end: no change.
      {10, 500, 1500, 1500, 10, 1500},
      {10, 500, 1500, 9999, 10, 1500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cut);
    ZtFlowDataPacket p = window(0, c.size, c.start, c.end);
    p.clipEnd(Time::fromRaw(c.cut));
    EXPECT_EQ(p.size(), c.kept);
    EXPECT_EQ(p.endTime().raw(), c.endAfter);
  }
}

TEST_F(FlowPacketTest, ReadAtGivesAClippedCopySharingTheStoredBytes) {
  ZtFlowDataPacket p(storedBytes(64));
  p.pos(100);
  p.dStart(8);
  p.dSize(10);
  p.startTime(Time::fromRaw(0));
  p.endTime(Time::fromRaw(1000));

  unsigned int at = 104;
  ZtFlowPacket* inside = p.readAt(at);
  auto* c = dynamic_cast<ZtFlowDataPacket*>(inside);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->refCount(), 1u);
  EXPECT_EQ(c->pos(), 104u);
  EXPECT_EQ(c->size(), 6u);
  EXPECT_EQ(c->dStart(), 12u);
  EXPECT_EQ(c->startTime().raw(), 400);
  EXPECT_EQ(c->packet(), p.packet());
  EXPECT_EQ(static_cast<const unsigned char*>(c->data())[0], 12u);
  // The original is untouched.
  EXPECT_EQ(p.pos(), 100u);
  EXPECT_EQ(p.size(), 10u);

  at = 90;
  ZtFlowPacket* before = p.readAt(at);
  EXPECT_EQ(before->pos(), 100u);
  EXPECT_EQ(before->size(), 10u);
  at = 110;
  ZtFlowPacket* past = p.readAt(at);
  EXPECT_EQ(past->size(), 0u);
  ZtFlowPacket::drop(inside);
  ZtFlowPacket::drop(before);
  ZtFlowPacket::drop(past);
}

TEST_F(FlowPacketTest, ClippingWorksAcrossTheWrapOfTheAxis) {
  // 32 units from 2^32 - 16 to 16.
  ZtFlowDataPacket p = window(~0u - 15, 32, 0, 32 * 100);
  p.dStart(100);
  ZtFlowDataPacket a(p);
  a.clipStart(8);
  EXPECT_EQ(a.pos(), 8u);
  EXPECT_EQ(a.size(), 8u);
  EXPECT_EQ(a.dStart(), 124u);
  EXPECT_EQ(a.startTime().raw(), 2400);
  ZtFlowDataPacket b(p);
  b.clipStart(~0u - 31);  // before the start
  EXPECT_EQ(b.size(), 32u);
  b.clipStart(16);  // at the end
  EXPECT_EQ(b.size(), 0u);
}

TEST_F(FlowPacketTest, CopiesAndAssignmentShareTheStoredPacketSafely) {
  ZtFlowDataPacket none;
  EXPECT_FALSE(none.valid());
  EXPECT_EQ(none.data(), nullptr);
  EXPECT_EQ(none.packet(), nullptr);

  auto* original = new ZtFlowDataPacket(storedBytes(32));
  original->dStart(3);
  original->dSize(5);
  original->markupCode(ZtFlowPacket::EndOfFlow);
  ZtFlowDataPacket copy(*original);
  EXPECT_EQ(copy.refCount(), 0u);
  ZtFlowPacket::drop(original);  // the copy keeps the bytes alive
  ASSERT_TRUE(copy.valid());
  EXPECT_EQ(static_cast<const unsigned char*>(copy.data())[0], 3u);
  EXPECT_EQ(copy.markupCode(), ZtFlowPacket::EndOfFlow);

  ZtFlowDataPacket target(storedBytes(8));
  target.incRef();
  target = copy;
  EXPECT_EQ(target.refCount(), 1u);
  EXPECT_EQ(target.packet(), copy.packet());
  EXPECT_EQ(target.size(), 5u);
  const ZtFlowDataPacket& self = target;
  target = self;  // self-assignment keeps the stored packet
  ASSERT_TRUE(target.valid());
  EXPECT_EQ(static_cast<const unsigned char*>(target.data())[4], 7u);
  EXPECT_EQ(target.packet()->refCount(), 2u);  // copy and target
}

}  // namespace
