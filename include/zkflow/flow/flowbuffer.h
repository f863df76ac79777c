// SPDX-License-Identifier: Apache-2.0
// ZtFlowBuffer: a run of flow data packets read as a plain byte stream.
//
// A consumer adds the data packets it takes from a flow, in any grain, and
// then reads any number of bytes at a time; a read may end inside a packet
// and the next one goes on from there, across packet boundaries. A packet
// read to its end leaves the buffer at once and is dropped.
//
// The stream is the concatenation of the packets in position order (filed by
// ZtFlowBase::add, so overlapping data is first come, first kept), minus the
// bytes already read. The bytes of a packet are the `size()` bytes of its
// window onto its stored packet. Bytes that the stored packet does not hold
// (a window without a stored packet, such as a flush marker, or one that
// reaches past the stored packet's end) read as zeros: a read never touches
// memory outside a stored packet.
//
// Choices of ours where the contract leaves them open:
//  - read() asked for more than size() bytes copies what there is and leaves
//    the rest of the destination untouched.
//  - Once reading has begun, a packet that would go ahead of the partly read
//    first packet is refused (dropped if it was fresh): its data lies before
//    the point the stream has reached, and the read offset must keep
//    applying to the packet it was counted in.
//  - A copy holds references of its own to the same packets (ZtFlowBase
//    copies) and the same read offset; reading one copy leaves the other
//    whole.
//  - A packet that cannot be kept for want of memory leaves a hole of its
//    size in the stream: its bytes read as zeros, so that what follows is
//    read at its place (size() counts them). Holes from two such packets
//    apart are read as one, the bytes between them included.
//
// Ownership: the buffer holds one reference to each packet it keeps. A
// reference the caller holds stays the caller's; a fresh packet (no
// reference) given to add() belongs to the buffer from then on, and is
// dropped at once if the buffer keeps none of it.
//
// Thread safety: none; a buffer belongs to one thread, the consumer's. The
// packets themselves may be shared with other holders through their atomic
// reference counts; the buffer only reads their bytes.
#pragma once

#include "zkflow/host/export.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowpacket.h"

struct ZKFLOW_EXPORT ZtFlowBuffer {
  ZtFlowBuffer();
  ZtFlowBuffer(const ZtFlowBuffer& o) = default;
  ZtFlowBuffer& operator=(const ZtFlowBuffer& o) = default;
  // Drops every packet still held.
  ~ZtFlowBuffer();

  // Files the packet's data by position; null is ignored.
  void add(ZtFlowDataPacket* packet);
  // Bytes that can still be read.
  unsigned int size() const;
  // Copies the next min(count, size()) bytes to `destination` and consumes
  // them. A count of 0 or a null destination does nothing.
  void read(void* destination, unsigned int count);
  // Drops every packet; size() becomes 0.
  void reset();

 protected:
  ZKFLOW_INTERNAL void init();

  ZtFlowBase packets;
  // Bytes of the first packet already read; 0 when nothing of it has been.
  unsigned int readOffset;
  // The positions of packets lost for want of memory, lostFrom..lostTo,
  // still to be read as zeros (while lost).
  unsigned int lostFrom = 0;
  unsigned int lostTo = 0;
  bool lost = false;
};
