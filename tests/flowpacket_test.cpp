// SPDX-License-Identifier: Apache-2.0
// Flow data packets: the fixed-point clipping arithmetic of the clips and of
// readAt's copy, checked to the last raw unit. Reference counts and the bytes
// a copy shows are checked against a model by the fuzz replay (flowlist).
#include <gtest/gtest.h>

#include "common/testutil.h"
#include "zkflow/flow/flowpacket.h"

namespace {

using Utils::Time;

// A window of `size` units at `pos` over raw times start..end, dStart 4.
ZtFlowDataPacket window(unsigned int pos, unsigned int size, int64_t start, int64_t end) {
  ZtFlowDataPacket p;
  p.pos(pos);
  p.dStart(4);
  p.dSize(size);
  p.startTime(Time::fromRaw(start));
  p.endTime(Time::fromRaw(end));
  return p;
}

enum class Clip { Size, Start, End, Read };

// Each clip moves the times by whole truncated steps of span / dSize.
TEST(FlowPacketTest, ClipsMoveTimesByWholeTruncatedSteps) {
  struct Case {
    Clip how;
    unsigned int pos, size;
    int64_t start, end, arg;
    unsigned int posAfter, sizeAfter, dStartAfter;
    int64_t startAfter, endAfter;
  } cases[] = {
      // 3 units over raw 0..65536: 21845 a unit, truncated.
      {Clip::Size, 10, 3, 0, 65536, 1, 10, 1, 4, 0, 21846},
      {Clip::Start, 10, 3, 0, 65536, 11, 11, 2, 5, 21845, 65536},
      {Clip::Size, 10, 3, 0, 65536, 99, 10, 3, 4, 0, 65536},     // not smaller
      {Clip::Start, 10, 3, 0, 65536, 3, 10, 3, 4, 0, 65536},     // before the start
      {Clip::Start, 10, 3, 0, 65536, 13, 10, 0, 7, 0, 65536},    // at the end: empty
      {Clip::Start, 10, 3, 0, 65536, 1000, 10, 0, 7, 0, 65536},  // past the end: the same
      {Clip::Size, 0, 3, 1000, 66536, 0, 0, 0, 4, 1000, 1000 + 65536 % 3},
      {Clip::Start, 0, 3, 65536, 0, 1, 1, 2, 5, 65536 - 21845, 0},  // toward zero
      // Across the wrap of the axis: 32 units from 2^32 - 16.
      {Clip::Start, ~0u - 15, 32, 0, 3200, 8, 8, 8, 28, 2400, 3200},
      {Clip::Start, ~0u - 15, 32, 0, 3200, ~0u - 31, ~0u - 15, 32, 4, 0, 3200},
      // clipEnd counts units through a 32-bit fraction: 10 << 32 / 100000 is
      // 429496, and 55000 * 429496 >> 32 is 5 (not 5.5 rounded).
      {Clip::End, 0, 100, 0, 65536, 32768, 0, 50, 4, 0, 32768},
      {Clip::End, 0, 10, 0, 100000, 55000, 0, 5, 4, 0, 55000},
      {Clip::End, 0, 3, 0, 65536, 21846, 0, 1, 4, 0, 21846},  // not clipSize's inverse
      {Clip::End, 0, 10, 500, 1500, 500, 0, 0, 4, 500, 500},
      {Clip::End, 0, 10, 500, 1500, -7, 0, 0, 4, 500, 500},
      {Clip::End, 0, 10, 500, 1500, 9999, 0, 10, 4, 500, 1500},
      // readAt: a copy from the position asked (the whole window before it).
      {Clip::Read, 100, 10, 0, 1000, 104, 104, 6, 8, 400, 1000},
      {Clip::Read, 100, 10, 0, 1000, 90, 100, 10, 4, 0, 1000},
      {Clip::Read, 100, 10, 0, 1000, 110, 100, 0, 14, 0, 1000},
      {Clip::Read, 100, 10, 0, 1000, 150, 100, 0, 14, 0, 1000},
  };
  zktest::LiveCount live;
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(&c - cases));
    ZtFlowDataPacket p = window(c.pos, c.size, c.start, c.end);
    unsigned int at = static_cast<unsigned int>(c.arg);
    ZtFlowDataPacket* copy = nullptr;
    switch (c.how) {
      case Clip::Size: p.clipSize(at); break;
      case Clip::Start: p.clipStart(at); break;
      case Clip::End: p.clipEnd(Time::fromRaw(c.arg)); break;
      case Clip::Read: copy = dynamic_cast<ZtFlowDataPacket*>(p.readAt(at)); break;
    }
    const ZtFlowDataPacket& q = copy ? *copy : p;
    EXPECT_EQ(q.pos(), c.posAfter);
    EXPECT_EQ(q.size(), c.sizeAfter);
    EXPECT_EQ(q.dStart(), c.dStartAfter);
    EXPECT_EQ(q.startTime().raw(), c.startAfter);
    EXPECT_EQ(q.endTime().raw(), c.endAfter);
    if (c.how == Clip::Read) {
      ASSERT_NE(copy, nullptr);
      EXPECT_EQ(copy->refCount(), 1u);  // the caller's
      EXPECT_EQ(p.size(), c.size);      // the original is untouched
    }
    ZtFlowPacket::drop(copy);
  }
  live.expectBack();
}

}  // namespace
