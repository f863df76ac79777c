// SPDX-License-Identifier: Apache-2.0
// Flow packets: what travels on a flow.
//
// ZtFlowPacket      a reference-counted packet that occupies a stretch of a
//                   flow's position axis (`pos()` up to, not including,
//                   `pos() + size()`) and carries a markup code. A plain one
//                   occupies exactly one position.
// ZtFlowDataPacket  a packet that carries data: a window of `size()` bytes
//                   onto a stored packet (ZtPacket), starting `dStart()` bytes
//                   into it, with the time span `startTime()`..`endTime()`
//                   that the window covers. One position is one byte.
//
// Positions are unsigned 32-bit; all arithmetic on them wraps, and they
// compare by difference (ZtFlowPos below). Times are
// Utils::Time values; clipping moves a window's edges and interpolates its
// times linearly across the window with the fixed-point rules of Utils::Time
// (the truncations are deliberate: results are exact to the last raw unit).
//
// Ownership: a packet is owned by the references to it. A new packet carries
// none. Whoever keeps a packet takes one with incRef() and gives it back with
// ZtFlowPacket::drop(); the drop that releases the last reference deletes the
// packet (a data packet then releases its stored packet). readAt() returns a
// new packet that already carries one reference, the caller's. Packets are
// heap objects made with `new` (through Utils::Allocator): a packet that a
// list or a drop may delete must never live on the stack or inside another
// object unless a permanent reference of its owner keeps it alive.
//
// Thread safety: incRef(), decRef() and so drop() are atomic and may run on
// any thread; the stored packet's count behind ZtProtector is atomic too, so
// windows onto one stored packet may be copied and released on both threads
// of a flow at once. Nothing else in a packet is guarded: a packet is filled
// in by its maker before it is shared, lists change a packet only before they
// insert it, and readers work on their own copies.
#pragma once

#include <cstdint>

#include "zkflow/host/export.h"
#include "zkflow/host/lock.h"
#include "zkflow/host/store.h"
#include "zkflow/host/time.h"
#include "zkflow/flow/packet.h"

// Positions wrap at 2^32, so a long stream runs on past the end of the
// axis. They compare by their difference taken as a signed 32-bit number: a
// is before b when b - a is positive. For positions less than 2^31 apart
// (anything a list or a window holds at once) this is the plain comparison.
namespace zk {
namespace FlowPos {
inline bool before(unsigned int a, unsigned int b) { return static_cast<int32_t>(b - a) > 0; }
inline bool atOrBefore(unsigned int a, unsigned int b) { return static_cast<int32_t>(b - a) >= 0; }
}  // namespace FlowPos
}  // namespace zk

struct ZKFLOW_EXPORT ZtFlowPacket : ZtStreamable, ZtMTCountable {
  // What a packet marks. Packets and lists carry any value unchanged; only
  // flow tasks interpret Flush and EndOfFlow.
  enum MarkupCode : uint32_t {
    Normal = 0,        // ordinary content
    VirtualInput = 1,  // a flow task's own virtual-input packet
    Flush = 3,         // flush the consumer and pass the flush on
    EndOfFlow = 5,     // the producer has finished
  };

  // Count 0, markup Normal, position 0.
  ZtFlowPacket();
  // A new packet (count 0) with the same markup code and position.
  ZtFlowPacket(const ZtFlowPacket& o);
  // Copies markup code and position; the target's count stays its own.
  ZtFlowPacket& operator=(const ZtFlowPacket& o);
  ~ZtFlowPacket() override;

  unsigned int pos() const { return pos_; }
  void pos(unsigned int p) { pos_ = p; }
  MarkupCode markupCode() const { return markupCode_; }
  void markupCode(MarkupCode c) { markupCode_ = c; }

  // Positions occupied: 1 for a plain packet.
  virtual unsigned int size() const;
  // A new packet copied from this one, carrying one reference (the
  // caller's), clipped to start at `pos` where the class has a window. The
  // plain packet ignores the argument; no implementation writes it. Null only
  // when memory is exhausted.
  virtual ZtFlowPacket* readAt(unsigned int& pos) const;
  // Keeps the first `size` positions: no effect on a plain packet.
  virtual void clipSize(unsigned int size);
  // Drops the positions before `pos`: a plain packet simply moves there.
  virtual void clipStart(unsigned int pos);

  // Releases one reference and deletes the packet when it was the last.
  // Null does nothing. A packet that was never referenced is deleted too.
  static void drop(ZtFlowPacket* packet);

  // When the data entered the graph, in the ticks of the stage metrics
  // (zkflow/metrics.h): the start of the source's work step that made it
  // (1 when that step was not timed). Copies carry it; 0 means not stamped
  // yet. Stage metrics set it when a packet is emitted and measure
  // end-to-end latency from it; nothing else reads it.
  uint64_t originTicks() const { return originTicks_; }
  void originTicks(uint64_t t) { originTicks_ = t; }

 protected:
  ZKFLOW_INTERNAL void init();

  MarkupCode markupCode_;
  unsigned int pos_;
  uint64_t originTicks_;
};

struct ZKFLOW_EXPORT ZtFlowDataPacket : ZtFlowPacket {
  // Empty window, no stored packet.
  ZtFlowDataPacket();
  // Empty window onto `stored` (which takes one more reference); the maker
  // sets pos, dStart, dSize and the times afterwards.
  explicit ZtFlowDataPacket(const ZtProtector<ZtPacket>& stored);
  // A new packet (count 0) showing the same window of the same stored packet.
  ZtFlowDataPacket(const ZtFlowDataPacket& o);
  // Shows the source's window; the target's count stays its own. Safe on
  // itself (the new stored packet is counted before the old one is let go).
  ZtFlowDataPacket& operator=(const ZtFlowDataPacket& o);
  // Releases the stored packet.
  ~ZtFlowDataPacket() override;

  bool valid() const { return !packet_.isNull(); }
  const ZtPacket* packet() const { return packet_.get(); }
  // The window's first byte in the stored packet, or null without one. The
  // window may reach past the stored packet's end if its maker set it so;
  // readers that copy bytes clamp at ZtPacket::size() (see ZtFlowBuffer).
  void* data() const;

  unsigned int dStart() const { return dStart_; }
  void dStart(unsigned int s) { dStart_ = s; }
  void dSize(unsigned int n) { dSize_ = n; }
  Utils::Time startTime() const { return startTime_; }
  void startTime(const Utils::Time& t) { startTime_ = t; }
  Utils::Time endTime() const { return endTime_; }
  void endTime(const Utils::Time& t) { endTime_ = t; }

  unsigned int size() const override;
  ZtFlowPacket* readAt(unsigned int& pos) const override;
  void clipSize(unsigned int size) override;
  void clipStart(unsigned int pos) override;
  // Cuts the window at time `t`: the number of units kept comes from a
  // units-per-time ratio with 32 fractional bits, so it is not the exact
  // inverse of clipSize()'s time arithmetic.
  void clipEnd(const Utils::Time& t);

 protected:
  ZKFLOW_INTERNAL void init();
  // (endTime - startTime) / Time(dSize), from the window as it stands.
  Utils::Time timePerUnit() const;

  ZtProtector<ZtPacket> packet_;
  unsigned int dStart_;
  unsigned int dSize_;
  Utils::Time startTime_;
  Utils::Time endTime_;
};
