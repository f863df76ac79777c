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
  if (!refused) packets.add(packet);
  ZtFlowPacket::drop(packet);
}

unsigned int ZtFlowBuffer::size() const {
  const unsigned int total = packets.size();
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
}
