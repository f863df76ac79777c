// SPDX-License-Identifier: Apache-2.0
#include "zkflow/flow/flowbuffer.h"

#include <cstring>

namespace {

// Copies `count` bytes of the packet's window starting `offset` bytes into
// it. What the stored packet holds is copied straight to `out`; the rest of
// the window (no stored packet, or past its end) is written as zeros.
void copyWindow(const ZtFlowDataPacket* p, unsigned int offset, char* out, unsigned int count) {
  unsigned int got = 0;
  const ZtPacket* stored = p->packet();
  const unsigned long long at = static_cast<unsigned long long>(p->dStart()) + offset;
  if (stored && at < stored->size()) {
    got = stored->readAt(static_cast<unsigned int>(at), out, count);
  }
  if (got < count) std::memset(out + got, 0, count - got);
}

}  // namespace

ZtFlowBuffer::ZtFlowBuffer() { init(); }

ZtFlowBuffer::~ZtFlowBuffer() = default;  // packets drops what it holds

void ZtFlowBuffer::init() { readOffset = 0; }

void ZtFlowBuffer::add(ZtFlowDataPacket* packet) {
  if (!packet) return;
  const ZtFlowPacket* head = packets.first();
  const bool refused = readOffset > 0 && head && zk::FlowPos::before(packet->pos(), head->pos());
  // A reference of our own across the call, so that a fresh packet that is
  // refused, or that the list keeps none of, is freed by our drop.
  packet->incRef();
  const unsigned int from = packet->pos();
  const unsigned int to = from + packet->size();
  if (!refused) {
    packets.add(packet);
    // Its start is held now (by it, or by data it fell on); if not, no node
    // could be made for it: a hole of its size.
    if (from != to && !packets.locate(from)) {
      if (!lost || zk::FlowPos::before(from, lostFrom)) lostFrom = from;
      if (!lost || zk::FlowPos::before(lostTo, to)) lostTo = to;
      lost = true;
    }
  }
  ZtFlowPacket::drop(packet);
}

unsigned int ZtFlowBuffer::size() const {
  const unsigned int total = packets.size() + (lost ? lostTo - lostFrom : 0);
  return total > readOffset ? total - readOffset : 0;
}

void ZtFlowBuffer::read(void* destination, unsigned int count) {
  if (count == 0 || !destination) return;
  char* out = static_cast<char*>(destination);
  unsigned int done = 0;
  while (done < count) {
    // Every packet in the list came through add(), so it is a data packet
    // (the pieces that hole filling makes are copies of one).
    auto* p = static_cast<ZtFlowDataPacket*>(packets.first());
    if (lost && readOffset == 0 && (!p || zk::FlowPos::before(lostFrom, p->pos()))) {
      // A lost packet's place comes first: zeros, up to the next packet held.
      unsigned int n = lostTo - lostFrom;
      if (p && zk::FlowPos::before(p->pos(), lostTo)) n = p->pos() - lostFrom;
      if (n > count - done) n = count - done;
      std::memset(out + done, 0, n);
      done += n;
      lostFrom += n;
      lost = lostFrom != lostTo;
      continue;
    }
    if (!p) break;  // asked for more than size(): what there was is copied
    const unsigned int size = p->size();
    const unsigned int available = size > readOffset ? size - readOffset : 0;
    const unsigned int wanted = count - done;
    const unsigned int take = available < wanted ? available : wanted;
    copyWindow(p, readOffset, out + done, take);
    done += take;
    readOffset += take;
    if (readOffset >= size) {
      // Read to its end (or empty): out at once, with the list's reference.
      // A hole that reached under it begins after it.
      const unsigned int end = p->pos() + size;
      if (lost && zk::FlowPos::before(lostFrom, end)) lostFrom = end;
      if (lost && !zk::FlowPos::before(lostFrom, lostTo)) lost = false;
      packets.restart();
      packets.remove();
      readOffset = 0;
      ZtFlowPacket::drop(p);
    }
  }
}

void ZtFlowBuffer::reset() {
  packets.reset();
  readOffset = 0;
  lost = false;
}
