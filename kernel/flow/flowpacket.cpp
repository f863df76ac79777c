// SPDX-License-Identifier: Apache-2.0
#include "zkflow/flow/flowpacket.h"

// ------------------------------------------------------------ ZtFlowPacket

ZtFlowPacket::ZtFlowPacket() { init(); }

// ZtMTCountable's copy gives the new packet a count of 0 and a free spin
// lock: counts belong to objects, not to values.
ZtFlowPacket::ZtFlowPacket(const ZtFlowPacket& o)
    : ZtStreamable(o),
      ZtMTCountable(o),
      markupCode_(o.markupCode_),
      pos_(o.pos_),
      originTicks_(o.originTicks_) {}

ZtFlowPacket& ZtFlowPacket::operator=(const ZtFlowPacket& o) {
  markupCode_ = o.markupCode_;
  pos_ = o.pos_;
  originTicks_ = o.originTicks_;
  return *this;
}

ZtFlowPacket::~ZtFlowPacket() = default;

void ZtFlowPacket::init() {
  markupCode_ = Normal;
  pos_ = 0;
  originTicks_ = 0;
}

unsigned int ZtFlowPacket::size() const { return 1; }

ZtFlowPacket* ZtFlowPacket::readAt(unsigned int&) const {
  ZtFlowPacket* copy = new ZtFlowPacket(*this);
  if (copy) copy->firstRef();  // a new packet: nobody else can count it yet
  return copy;
}

void ZtFlowPacket::clipSize(unsigned int) {}

void ZtFlowPacket::clipStart(unsigned int pos) { pos_ = pos; }

void ZtFlowPacket::drop(ZtFlowPacket* packet) {
  if (!packet) return;
  // decRef() is acq_rel: the thread that takes the count to 0 sees every
  // write the other holders made before their drops, so it may delete.
  if (packet->decRef() == 0) delete packet;
}

// -------------------------------------------------------- ZtFlowDataPacket

ZtFlowDataPacket::ZtFlowDataPacket() { init(); }

ZtFlowDataPacket::ZtFlowDataPacket(const ZtProtector<ZtPacket>& stored) : packet_(stored) {
  init();
}

ZtFlowDataPacket::ZtFlowDataPacket(const ZtFlowDataPacket& o)
    : ZtFlowPacket(o),
      packet_(o.packet_),
      dStart_(o.dStart_),
      dSize_(o.dSize_),
      startTime_(o.startTime_),
      endTime_(o.endTime_) {}

ZtFlowDataPacket& ZtFlowDataPacket::operator=(const ZtFlowDataPacket& o) {
  // The protector's own assignment empties itself when given itself, so a
  // packet assigned to itself is left alone here.
  if (this == &o) return *this;
  ZtFlowPacket::operator=(o);
  // The source's stored packet is counted before the target's is let go.
  packet_ = o.packet_;
  dStart_ = o.dStart_;
  dSize_ = o.dSize_;
  startTime_ = o.startTime_;
  endTime_ = o.endTime_;
  return *this;
}

ZtFlowDataPacket::~ZtFlowDataPacket() = default;  // packet_ releases the stored packet

void ZtFlowDataPacket::init() {
  dStart_ = 0;
  dSize_ = 0;
  startTime_ = Utils::Time();
  endTime_ = Utils::Time();
}

void* ZtFlowDataPacket::data() const {
  ZtPacket* stored = packet_.get();
  if (!stored) return nullptr;
  return stored->data() + dStart_;
}

unsigned int ZtFlowDataPacket::size() const { return dSize_; }

ZtFlowPacket* ZtFlowDataPacket::readAt(unsigned int& pos) const {
  ZtFlowDataPacket* copy = new ZtFlowDataPacket(*this);
  if (!copy) return nullptr;
  copy->firstRef();  // a new packet: nobody else can count it yet
  // Through the virtual table, so that a derived class clips its own way.
  static_cast<ZtFlowPacket*>(copy)->clipStart(pos);
  return copy;
}

Utils::Time ZtFlowDataPacket::timePerUnit() const {
  // Utils::Time division truncates toward zero: a span of raw 65536 over 3
  // units gives 21845 per unit.
  return (endTime_ - startTime_) / Utils::Time(dSize_);
}

void ZtFlowDataPacket::clipSize(unsigned int n) {
  if (n >= dSize_) return;
  const Utils::Time q = timePerUnit();
  endTime_ = endTime_ - Utils::Time(dSize_ - n) * q;
  dSize_ = n;
}

void ZtFlowDataPacket::clipStart(unsigned int p) {
  if (zk::FlowPos::atOrBefore(pos_ + dSize_, p)) {
    // The window becomes empty. We move dStart to the old window's end so
    // that data() still points inside (or just past) the stored bytes that
    // the window showed; nothing reads an empty window's bytes.
    dStart_ += dSize_;
    dSize_ = 0;
    return;
  }
  if (zk::FlowPos::atOrBefore(p, pos_)) return;
  const unsigned int cut = p - pos_;
  const Utils::Time q = timePerUnit();
  pos_ = p;
  dSize_ -= cut;
  dStart_ += cut;
  startTime_ = startTime_ + Utils::Time(cut) * q;
}

void ZtFlowDataPacket::clipEnd(const Utils::Time& t) {
  if (t >= endTime_) return;
  if (t <= startTime_) {
    dSize_ = 0;
    endTime_ = startTime_;
    return;
  }
  // Units per time with 16 fractional bits in the Time and 16 more from the
  // division's shift: dSize << 32 / span. The product's whole part is taken
  // as a 32-bit unsigned count.
  const Utils::Time unitsPerTime = Utils::Time(dSize_) / (endTime_ - startTime_);
  dSize_ = static_cast<unsigned int>(((t - startTime_) * unitsPerTime).whole());
  endTime_ = t;
}
