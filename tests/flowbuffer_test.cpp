// The flow buffer: byte streams across packet boundaries, when packets
// leave and are dropped, and the edges we chose (short reads, windows
// without bytes, packets that come too late).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/testutil.h"
#include "kernel/flow/flowbuffer.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A data packet at `pos` showing `size` bytes of a new stored packet whose
// bytes are first, first + 1, ...
ZtFlowDataPacket* bytesAt(unsigned int pos, unsigned int size, unsigned char first) {
  ZtProtector<ZtPacket> stored(new ZtPacket(size));
  for (unsigned int i = 0; i < size; ++i) {
    const unsigned char b = static_cast<unsigned char>(first + i);
    stored->writeAt(i, &b, 1);
  }
  auto* p = new ZtFlowDataPacket(stored);
  p->pos(pos);
  p->dSize(size);
  return p;
}

Bytes readBytes(ZtFlowBuffer& b, unsigned int n, unsigned char fill = 0xEE) {
  Bytes out(n, fill);
  b.read(out.data(), n);
  return out;
}

Bytes run(unsigned char first, unsigned int n) {
  Bytes out;
  for (unsigned int i = 0; i < n; ++i) out.push_back(static_cast<unsigned char>(first + i));
  return out;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class FlowBufferTest : public zktest::LiveTest {};

TEST_F(FlowBufferTest, ReadsAcrossPacketsAndDropsEachAtItsLastByte) {
  ZtFlowBuffer b;
  ZtFlowDataPacket* p0 = bytesAt(0, 4, 10);
  ZtFlowDataPacket* p1 = bytesAt(4, 6, 20);
  ZtFlowDataPacket* p2 = bytesAt(10, 5, 30);
  for (ZtFlowDataPacket* p : {p0, p1, p2}) p->incRef();  // watch them
  b.add(p1);
  b.add(p0);  // any order: filed by position
  b.add(p2);
  EXPECT_EQ(b.size(), 15u);

  EXPECT_EQ(readBytes(b, 7), cat(run(10, 4), run(20, 3)));
  EXPECT_EQ(p0->refCount(), 1u);  // removed and dropped by the buffer
  EXPECT_EQ(p1->refCount(), 2u);
  EXPECT_EQ(b.size(), 8u);

  // Ending exactly at a packet's end removes it in the same read.
  EXPECT_EQ(readBytes(b, 3), run(23, 3));
  EXPECT_EQ(p1->refCount(), 1u);
  EXPECT_EQ(b.size(), 5u);
  EXPECT_EQ(readBytes(b, 5), run(30, 5));
  EXPECT_EQ(p2->refCount(), 1u);
  EXPECT_EQ(b.size(), 0u);

  // The caller's references kept the packets alive.
  EXPECT_EQ(static_cast<const unsigned char*>(p1->data())[0], 20u);
  for (ZtFlowDataPacket* p : {p0, p1, p2}) ZtFlowPacket::drop(p);
}

TEST_F(FlowBufferTest, EmptyPacketsNullsAndZeroCounts) {
  ZtFlowBuffer b;
  b.add(nullptr);
  EXPECT_EQ(b.size(), 0u);
  ZtFlowDataPacket* empty = bytesAt(0, 0, 0);
  empty->incRef();
  b.add(empty);
  b.add(bytesAt(0, 3, 40));  // same position: filed after the empty one
  Bytes untouched = readBytes(b, 0);
  EXPECT_EQ(untouched, Bytes());
  EXPECT_EQ(empty->refCount(), 2u);  // a count of 0 changes nothing
  EXPECT_EQ(readBytes(b, 3), run(40, 3));
  EXPECT_EQ(empty->refCount(), 1u);  // taken out by the first real read
  ZtFlowPacket::drop(empty);
  b.read(nullptr, 5);  // no destination: nothing happens
}

TEST_F(FlowBufferTest, ResetAndDestructionDropEveryPacketOnce) {
  ZtFlowDataPacket* kept = bytesAt(0, 4, 1);
  kept->incRef();
  {
    ZtFlowBuffer b;
    b.add(kept);
    b.add(bytesAt(4, 4, 5));  // fresh: owned by the buffer alone
    readBytes(b, 2);
    b.reset();
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(kept->refCount(), 1u);
    b.add(bytesAt(0, 8, 9));
    b.add(kept);  // overlaps held data wholly: not taken
    EXPECT_EQ(kept->refCount(), 1u);
    EXPECT_EQ(b.size(), 8u);
  }
  EXPECT_EQ(kept->refCount(), 1u);
  ZtFlowPacket::drop(kept);
}

TEST_F(FlowBufferTest, ShortReadsZeroFilledWindowsAndLatePackets) {
  ZtFlowBuffer b;
  b.add(bytesAt(0, 4, 100));
  // More than there is: what there is, the rest of the destination as it
  // was.
  Bytes got = readBytes(b, 6, 0xEE);
  EXPECT_EQ(got, cat(run(100, 4), Bytes{0xEE, 0xEE}));
  EXPECT_EQ(b.size(), 0u);

  // A marker without a stored packet, and a window reaching past its
  // stored packet's end, read as zeros where there are no bytes.
  auto* marker = new ZtFlowDataPacket;
  marker->pos(4);
  marker->dSize(1);
  marker->markupCode(ZtFlowPacket::Flush);
  b.add(marker);
  ZtFlowDataPacket* longer = bytesAt(5, 3, 7);
  longer->dStart(1);
  longer->dSize(4);  // bytes 1, 2 of the stored packet, then 2 missing
  b.add(longer);
  EXPECT_EQ(readBytes(b, 5), (Bytes{0, 8, 9, 0, 0}));

  // Once reading has begun, a packet ahead of the partly read one is too
  // late and is refused; one behind it is taken.
  b.add(bytesAt(20, 4, 50));
  EXPECT_EQ(readBytes(b, 1), run(50, 1));
  b.add(bytesAt(10, 4, 60));
  b.add(bytesAt(24, 2, 54));
  EXPECT_EQ(b.size(), 5u);
  EXPECT_EQ(readBytes(b, 5), run(51, 5));
}

TEST_F(FlowBufferTest, CopiesReadIndependently) {
  ZtFlowBuffer a;
  a.add(bytesAt(0, 4, 1));
  a.add(bytesAt(4, 4, 5));
  readBytes(a, 3);
  ZtFlowBuffer b(a);
  EXPECT_EQ(readBytes(a, 5), run(4, 5));
  EXPECT_EQ(b.size(), 5u);
  EXPECT_EQ(readBytes(b, 5), run(4, 5));
  ZtFlowBuffer c;
  c.add(bytesAt(0, 2, 0));
  c = b;
  EXPECT_EQ(c.size(), 0u);
}

}  // namespace
