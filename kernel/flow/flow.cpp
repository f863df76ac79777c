// SPDX-License-Identifier: Apache-2.0
#include "zkflow/flow/flow.h"

#include <typeinfo>
#include <utility>

#include "zkflow/host/log.h"
#include "zkflow/host/zsys.h"
#include "kernel/flow/probe.h"
#include "host/simclock.h"

namespace {

// Every comparison of positions goes by difference, so that a stream runs on
// past 2^32 (lists hold far less than 2^31 positions at once).
using zk::FlowPos::atOrBefore;
using zk::FlowPos::before;

// The closure of deleteOutsideRange's callback.
struct KeepRange {
  unsigned int from;
  unsigned int to;
  ZtFlowBase* list;
};

// A hole-filling add re-enters itself once in a well-formed list (to place
// the rest of a packet after the last one). Only a packet whose clipStart
// does not move it could make it re-enter for ever; past this depth the rest
// of such a packet is not added.
constexpr int kMaxAddDepth = 32;

}  // namespace

// ================================================================ ZtFlowBase

ZtFlowBase::ZtFlowBase() : spare_(nullptr), spareCount_(0) { init(); }

ZtFlowBase::ZtFlowBase(const ZtFlowBase& o) : spare_(nullptr), spareCount_(0) {
  init();
  if (o.flow_) {
    o.flow_->copyListTo(*this);  // under the flow's guard, staged writes included
    return;
  }
  readRemovesPacket_ = o.readRemovesPacket_;
  copyNodesFrom(o);
}

ZtFlowBase& ZtFlowBase::operator=(const ZtFlowBase& o) {
  if (this == &o) return *this;
  if (flow_) {
    flow_->assignList(o);
    return *this;
  }
  // Copy first, then exchange: the old packets are dropped by tmp's
  // destructor, after the new ones are in place.
  ZtFlowBase tmp(o);
  swapNodes(tmp);
  readRemovesPacket_ = tmp.readRemovesPacket_;
  return *this;
}

ZtFlowBase::~ZtFlowBase() {
  _empty();
  delete reserve_;
}

// The public operations of a flow's list lead to the flow's guarded ones.
unsigned int ZtFlowBase::flowSize() const { return flow_->size(); }
bool ZtFlowBase::flowIsEmpty() const { return flow_->isEmpty(); }
ZtFlowPacket* ZtFlowBase::flowFirst() const { return flow_->first(); }
bool ZtFlowBase::flowRemoves() const { return flow_->readRemovesPacket(); }

void ZtFlowBase::readRemovesPacket(bool on) {
  if (flow_) {
    flow_->readRemovesPacket(on);
  } else {
    readRemovesPacket_ = on;
  }
}

void ZtFlowBase::restart() {
  if (flow_) {
    flow_->restart();
  } else {
    cursor = nullptr;
  }
}

bool ZtFlowBase::locate(unsigned int pos) { return flow_ ? flow_->locate(pos) : _locate(pos); }

void ZtFlowBase::add(ZtFlowPacket* packet) {
  if (flow_) {
    flow_->add(packet);
  } else {
    _add(packet);
  }
}

ZtFlowPacket* ZtFlowBase::remove() { return flow_ ? flow_->remove() : _remove(); }

void ZtFlowBase::empty() {
  if (flow_) {
    flow_->empty();
  } else {
    _empty();
  }
}

bool ZtFlowBase::reserveNode() { return flow_ ? flow_->reserveNode() : _reserveNode(); }

bool ZtFlowBase::_reserveNode() {
  keepReserve_ = true;
  if (!reserve_) reserve_ = new Node;
  return reserve_ != nullptr;
}

void ZtFlowBase::init() {
  head = nullptr;
  cursor = nullptr;
  size_ = 0;
  readRemovesPacket_ = false;
  endBound_ = 0;
  zeroSized_ = 0;
  breaks_ = 0;
}

void ZtFlowBase::copyNodesFrom(const ZtFlowBase& o) {
  Node* n = o.head;
  if (!n) return;
  do {
    Node* copy = newNode(n->packet);
    if (!copy) return;  // out of memory: the copy holds what it could take
    if (!head) {
      head = copy;
    } else {
      // Just before head: at the end of the circle.
      copy->next = head;
      copy->prev = head->prev;
      head->prev->next = copy;
      head->prev = copy;
      breaks_ += breakAfter(copy->prev);  // the old last node has a next now
    }
    size_ += n->packet->size();
    if (n == o.cursor) cursor = copy;
    n = n->next;
  } while (n != o.head);
}

void ZtFlowBase::swapNodes(ZtFlowBase& o) {
  std::swap(head, o.head);
  std::swap(cursor, o.cursor);
  std::swap(size_, o.size_);
  std::swap(endBound_, o.endBound_);
  std::swap(zeroSized_, o.zeroSized_);
  std::swap(breaks_, o.breaks_);
}

unsigned int ZtFlowBase::breakAfter(const Node* x) const {
  const Node* n = x->next;
  if (n == head) return 0;
  return n->pos != x->end ? 1 : 0;
}

void ZtFlowBase::setHead(Node* n) {
  // Only the pairs around the circle's seam change whether they count.
  Node* last = head->prev;
  Node* newLast = n->prev;
  breaks_ -= breakAfter(last) + breakAfter(newLast);
  head = n;
  breaks_ += breakAfter(last) + breakAfter(newLast);
}

ZtFlowBase::Node* ZtFlowBase::newNode(ZtFlowPacket* packet) {
  Node* n = spare_;
  if (n) {
    spare_ = n->next;
    --spareCount_;
  } else {
    n = new Node;
    if (!n) {
      n = reserve_;
      reserve_ = nullptr;
      if (!n) return nullptr;
    }
  }
  n->packet = packet;
  n->next = n;
  n->prev = n;
  n->pos = packet->pos();
  n->end = packet->pos() + packet->size();
  if (packet == adopted_) {
    adopted_ = nullptr;  // the node takes the caller's reference over
  } else {
    packet->incRef();
  }
  noteInserted(packet);
  return n;
}

void ZtFlowBase::noteInserted(const ZtFlowPacket* packet) {
  const unsigned int size = packet->size();
  const unsigned int end = packet->pos() + size;
  // The first packet of an empty list sets the bound afresh: a stale 0
  // could lie more than half the axis behind it.
  if (!head || zk::FlowPos::before(endBound_, end)) endBound_ = end;
  if (size == 0) ++zeroSized_;
}

bool ZtFlowBase::_insertBefore(ZtFlowPacket* packet) {
  Node* n = newNode(packet);
  if (!n) return false;
  Node* c = cursor;
  Node* a = c->prev;
  breaks_ -= breakAfter(a);
  n->next = c;
  n->prev = a;
  a->next = n;
  c->prev = n;
  breaks_ += breakAfter(a) + breakAfter(n);
  return true;
}

bool ZtFlowBase::_insertAfter(ZtFlowPacket* packet) {
  Node* n = newNode(packet);
  if (!n) return false;
  Node* c = cursor;
  breaks_ -= breakAfter(c);
  n->prev = c;
  n->next = c->next;
  c->next->prev = n;
  c->next = n;
  breaks_ += breakAfter(c) + breakAfter(n);
  return true;
}

bool ZtFlowBase::_locate(unsigned int pos) {
  if (!cursor) cursor = head;
  if (!cursor) return false;
  // Nothing ends after pos and no empty packet could sit at it: the walk
  // below would go forward to the end of the circle and fail. This keeps a
  // stream of writes at the running end at constant cost.
  if (zeroSized_ == 0 && zk::FlowPos::atOrBefore(endBound_, pos)) {
    cursor = nullptr;
    return false;
  }
  ZtFlowPacket* c = cursor->packet;
  if (before(pos, c->pos() + c->size())) {
    if (atOrBefore(c->pos(), pos)) return true;
    // Backward. A packet that ends exactly at pos counts as found here.
    do {
      if (cursor == head) {
        cursor = nullptr;
        return false;
      }
      cursor = cursor->prev;
      c = cursor->packet;
    } while (!atOrBefore(c->pos(), pos));
    return atOrBefore(pos, c->pos() + c->size());
  }
  // Forward: stop on the first packet that ends after pos, or on an empty
  // packet exactly at pos.
  for (;;) {
    cursor = cursor->next;
    if (cursor == head) {
      cursor = nullptr;
      return false;
    }
    c = cursor->packet;
    if (c->size() == 0 && c->pos() == pos) break;
    if (before(pos, c->pos() + c->size())) break;
  }
  return atOrBefore(c->pos(), pos);
}

void ZtFlowBase::_add(ZtFlowPacket* packet) { addAt(packet, 0); }

void ZtFlowBase::addAt(ZtFlowPacket* p, int depth) {
  if (!p) return;
  // An empty packet (a marker) found at p's position counts as no held data,
  // so p goes in whole even where data after the marker already covers the
  // same range. We keep that rule: markers sit at the running end of a
  // stream, where nothing is held beyond them, so the case needs data added
  // behind the running end; the list stays well formed either way.
  if (_locate(p->pos()) && cursor->packet->size() > 0) {
    // p begins inside held data: the held data stays, p fills the holes.
    ZtFlowPacket* c = cursor->packet;
    unsigned int e = c->pos() + c->size();
    if (atOrBefore(p->pos() + p->size(), e)) return;  // wholly inside: not taken
    for (;;) {
      p->clipStart(e);
      cursor = cursor->next;
      if (cursor == head) {
        // Nothing follows: the rest of p goes to the end of the list.
        if (depth < kMaxAddDepth) addAt(p, depth + 1);
        return;
      }
      c = cursor->packet;
      if (atOrBefore(p->pos() + p->size(), c->pos())) {
        if (_insertBefore(p)) size_ += p->size();
        return;
      }
      if (c->pos() != e) {
        // A hole of c.pos - e before c: a piece of p fills it.
        const unsigned int gap = c->pos() - e;
        unsigned int at = e;
        ZtFlowPacket* q = p->readAt(at);
        if (q) {
          q->clipSize(gap);
          if (_insertBefore(q)) size_ += q->size();
          ZtFlowPacket::drop(q);  // the list keeps its own reference
        }
      }
      e = c->pos() + c->size();
      if (atOrBefore(p->pos() + p->size(), e)) return;  // the rest is already held
    }
  }
  bool inserted;
  if (cursor) {
    inserted = before(p->pos(), cursor->packet->pos()) ? _insertBefore(p) : _insertAfter(p);
  } else if (head) {
    cursor = head;
    inserted = _insertBefore(p);  // before head: at the end of the circle
    if (inserted && before(p->pos(), head->packet->pos())) setHead(head->prev);
  } else {
    head = newNode(p);
    inserted = head != nullptr;
  }
  if (inserted) size_ += p->size();
}

void ZtFlowBase::write(ZtFlowPacket* packet) { add(packet); }

void ZtFlowBase::append(ZtFlowPacket* packet, unsigned int* pos) {
  if (!packet) return;
  // Without a running position the packet stays at its own position.
  if (!pos) {
    _add(packet);
    return;
  }
  packet->pos(packet->pos() + *pos);
  const unsigned int e = packet->pos() + packet->size();
  _add(packet);
  *pos = e;
}

ZtFlowPacket* ZtFlowBase::_remove() {
  if (!cursor) cursor = head;
  if (!cursor) return nullptr;
  Node* n = cursor;
  Node* next = n->next;
  if (next == n) {
    head = nullptr;
    cursor = nullptr;
    breaks_ = 0;
  } else {
    Node* a = n->prev;
    breaks_ -= breakAfter(a) + breakAfter(n);
    a->next = next;
    next->prev = a;
    if (n == head) head = next;
    breaks_ += breakAfter(a);
    cursor = next;
  }
  ZtFlowPacket* p = n->packet;
  const unsigned int size = n->end - n->pos;
  if (keepReserve_ && !reserve_) {
    reserve_ = n;
  } else if (spareCount_ < kMaxSpareNodes) {
    n->next = spare_;
    spare_ = n;
    ++spareCount_;
  } else {
    delete n;
  }
  size_ -= size;
  if (size == 0 && zeroSized_ > 0) --zeroSized_;
  if (!head) {
    endBound_ = 0;
    zeroSized_ = 0;
  }
  return p;
}

ZtFlowPacket* ZtFlowBase::read(unsigned int& pos) {
  copyFailed_ = false;
  if (!_locate(pos)) return nullptr;
  ZtFlowPacket* c = cursor->packet;
  // A consuming read from the start of a packet that only the list holds:
  // the copy would be the packet itself, clipped nowhere, and the packet
  // would be deleted right after. The list's reference passes to the reader
  // instead, which saves two allocations and four counted steps per packet
  // on a stream. Only for the library's own packet classes, whose readAt()
  // is a plain copy; a derived class may copy its own way. The count cannot
  // grow under us: only a holder may add to it, and we hold the only one.
  if (readRemovesPacket_ && c->pos() == pos && c->refCount() == 1 &&
      (typeid(*c) == typeid(ZtFlowDataPacket) || typeid(*c) == typeid(ZtFlowPacket))) {
    _remove();
    return c;
  }
  unsigned int at = pos;
  ZtFlowPacket* copy = c->readAt(at);
  // Out of memory: nothing is returned and nothing is removed, so that no
  // data is lost; the next read finds the packet again.
  if (!copy) {
    copyFailed_ = true;
    return nullptr;
  }
  if (readRemovesPacket_) {
    _remove();
    ZtFlowPacket::drop(c);
  }
  return copy;
}

unsigned int ZtFlowBase::nextGap(unsigned int pos, unsigned int& gap, bool forward) {
  gap = 0;
  if (!forward) return prevGap(pos, gap);
  if (_locate(pos)) {
    if (breaks_ == 0) {
      // One run from head to the last packet: the walk would end on head,
      // returning the last packet's end with no gap after it.
      const Node* last = head->prev;
      cursor = head;
      return last->end;
    }
    // Walk the run of back-to-back packets that holds pos.
    ZtFlowPacket* c = cursor->packet;
    unsigned int e;
    do {
      e = c->pos() + c->size();
      cursor = cursor->next;
      if (cursor == head) return e;  // the run reaches the last packet
      c = cursor->packet;
      gap = c->pos() - e;
    } while (gap == 0);
    return e;
  }
  // Empty list, or pos before the first packet or at or past the end of the
  // last: no data ahead and no known hole.
  if (!cursor) return pos;
  ZtFlowPacket* c = cursor->packet;
  if (before(pos, c->pos())) {
    gap = c->pos() - pos;
    return pos;
  }
  cursor = cursor->next;
  c = cursor->packet;
  if (before(pos, c->pos())) gap = c->pos() - pos;
  return pos;
}

unsigned int ZtFlowBase::prevGap(unsigned int pos, unsigned int& gap) {
  // Nothing in the system walks backward; this mirrors the forward walk.
  if (_locate(pos)) {
    for (;;) {
      if (cursor == head) return cursor->packet->pos();
      Node* below = cursor->prev;
      const unsigned int belowEnd = below->packet->pos() + below->packet->size();
      const unsigned int start = cursor->packet->pos();
      cursor = below;
      if (belowEnd != start) {
        gap = start - belowEnd;
        return belowEnd;
      }
    }
  }
  // pos lies in no packet: the distance from the end of the nearest packet
  // below it.
  Node* below = nullptr;
  if (cursor) {
    if (atOrBefore(cursor->packet->pos(), pos)) {
      below = cursor;
    } else if (cursor != head) {
      below = cursor->prev;
    }
  } else if (head && atOrBefore(head->packet->pos(), pos)) {
    below = head->prev;  // pos is at or past the end of the last packet
  }
  if (below) {
    const unsigned int end = below->packet->pos() + below->packet->size();
    if (before(end, pos)) gap = pos - end;
  }
  return pos;
}

void ZtFlowBase::deleteOutsideApplyFn(ZtFlowPacket* packet, void* closure) {
  KeepRange* r = static_cast<KeepRange*>(closure);
  if (atOrBefore(packet->pos(), r->to) && before(r->from, packet->pos() + packet->size())) return;
  r->list->_remove();  // apply left the cursor on this packet's node
  ZtFlowPacket::drop(packet);
}

void ZtFlowBase::deleteOutsideRange(unsigned int from, unsigned int to) {
  KeepRange r{from, to, this};
  apply(&deleteOutsideApplyFn, &r);
}

void ZtFlowBase::apply(void (*fn)(ZtFlowPacket*, void*), void* closure) {
  if (!fn) return;
  // The head first, as often as fn removes it.
  while (head) {
    Node* h = head;
    cursor = h;
    fn(h->packet, closure);
    if (cursor == h) break;
  }
  if (!head || head->next == head) return;
  cursor = head->next;
  do {
    Node* n = cursor;
    fn(n->packet, closure);
    // When fn removed n, remove() has already moved the cursor on.
    if (cursor == n) cursor = n->next;
  } while (cursor != head);
}

void ZtFlowBase::_empty() {
  cursor = head;
  while (ZtFlowPacket* p = _remove()) ZtFlowPacket::drop(p);
  // An empty list holds no memory either: reset() and destruction give the
  // spare nodes back too.
  while (Node* n = spare_) {
    spare_ = n->next;
    delete n;
  }
  spareCount_ = 0;
}

void ZtFlowBase::reset() {
  _empty();
  cursor = nullptr;
  size_ = 0;
}

// =========================================================== ZtFlowExclusive

ZtFlowExclusive::~ZtFlowExclusive() = default;

void ZtFlowExclusive::write(ZtFlowPacket* packet) { ZtFlowBase::write(packet); }

void ZtFlowExclusive::append(ZtFlowPacket* packet, unsigned int* pos) {
  ZtFlowBase::append(packet, pos);
}

ZtFlowPacket* ZtFlowExclusive::read(unsigned int& pos) { return ZtFlowBase::read(pos); }

unsigned int ZtFlowExclusive::nextGap(unsigned int pos, unsigned int& gap, bool forward) {
  return ZtFlowBase::nextGap(pos, gap, forward);
}

void ZtFlowExclusive::deleteOutsideRange(unsigned int from, unsigned int to) {
  ZtFlowBase::deleteOutsideRange(from, to);
}

// ==================================================================== ZtFlow

struct ZtFlow::Guard {
  explicit Guard(ZtSpinLock& l) : lock(l) { lock.lock(); }
  ~Guard() { lock.unlock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  ZtSpinLock& lock;
};

namespace {
// The flow whose apply() this thread is running, if any: its callback may
// call the flow back (see ListGuard). One per thread; an apply inside the
// callback of another flow's apply saves and restores the outer one.
thread_local const ZtFlow* tApplying = nullptr;
}  // namespace

// The list guard: on the way in it empties the stage into the list, so
// that every guarded operation sees every write made before it; on the way
// out it leaves the list's size where the producer's sleep test finds it
// without the guard.
//
// Taken on the thread that runs apply() on the same flow (from apply's
// callback), the guard is already ours: the operation goes on without
// taking it and without emptying the stage under the walk, and what it does
// to the cursor is undone (Look), kept (Remove: the cursor moves on as
// apply expects), or the operation is refused (Refuse). Only a guard that
// is found taken asks which thread runs apply, so the common, uncontended
// pass costs what it did.
struct ZtFlow::ListGuard {
  explicit ListGuard(const ZtFlow& f, Nested how = Nested::Look, const char* call = "") : flow(f) {
    if (__builtin_expect(!flow.listGuard_.tryLock(), 0) && enterTaken(how, call)) return;
    const_cast<ZtFlow&>(flow).drainStage();
  }
  ~ListGuard() {
    if (__builtin_expect(nested, 0)) {
      if (keepCursor) const_cast<ZtFlow&>(flow).cursor = cursor;
      return;
    }
    // Relaxed: stores made under the guard are ordered by it, so their
    // order on seen_ is the guard's order and the latest one is what the
    // list has now (see heldWithin).
    flow.seen_.store(static_cast<uint64_t>(flow.drainedBytes_) << 32 | flow.size_,
                     std::memory_order_relaxed);
    flow.listGuard_.unlock();
  }
  // The guard was taken: true when by this thread's apply() on this flow,
  // where the operation goes on as described above; otherwise waits for it
  // and returns false.
  bool enterTaken(Nested how, const char* call) {
    if (tApplying != &flow) {
      flow.listGuard_.lock();
      return false;
    }
    if (how == Nested::Read) how = flow.readRemovesPacket_ ? Nested::Refuse : Nested::Look;
    nested = true;
    cursor = flow.cursor;
    keepCursor = how != Nested::Remove;
    refusedHere = how == Nested::Refuse;
    if (refusedHere) {
      Utils::Log::theLog()->print(Utils::MsgFault, "flow", -3, "kernel/flow/flow", __LINE__,
                                  "ZtFlow %s refused: inside apply() on the same flow", call);
    }
    return true;
  }
  // A Refuse operation called from apply's callback: it must do nothing.
  bool refused() const { return refusedHere; }
  ListGuard(const ListGuard&) = delete;
  ListGuard& operator=(const ListGuard&) = delete;
  const ZtFlow& flow;
  bool nested = false;  // inside this thread's apply() on the flow
  bool keepCursor = false;
  bool refusedHere = false;
  Node* cursor = nullptr;  // the cursor to put back
};

ZtFlow::ZtFlow() { init(); }

ZtFlow::ZtFlow(const ZtFlow& o) {
  init();
  sem_ = o.sem_;
  o.copyListTo(*this);
  removes_.store(readRemovesPacket_, std::memory_order_release);
  seen_.store(size_, std::memory_order_relaxed);
  mixed_.store(head != nullptr, std::memory_order_relaxed);
  heldCache_.store(size_, std::memory_order_relaxed);
  copyRequestFrom(o);
}

ZtFlow& ZtFlow::operator=(const ZtFlow& o) {
  if (this == &o) return *this;
  assignList(o);
  sem_ = o.sem_;
  copyRequestFrom(o);
  return *this;
}

void ZtFlow::copyListTo(ZtFlowBase& into) const {
  ListGuard g(*this);
  into.copyNodesFrom(*this);
  into.readRemovesPacket_ = readRemovesPacket_;
}

void ZtFlow::assignList(const ZtFlowBase& from) {
  // Never hold both guards: copy the source (under its guard when it is a
  // flow), then exchange under ours. The old packets are dropped by tmp,
  // outside both.
  ZtFlowBase tmp(from);
  {
    ListGuard g(*this, Nested::Refuse, "assignment");
    if (g.refused()) return;
    swapNodes(tmp);
    readRemovesPacket_ = tmp.readRemovesPacket_;
    mixed_.store(true, std::memory_order_relaxed);
  }
  removes_.store(tmp.readRemovesPacket_, std::memory_order_release);
  forgetHeld();
}

ZtFlow::~ZtFlow() {
  // Staged packets go to the list, which drops them with its own.
  { ListGuard g(*this); }
  flow_ = nullptr;  // from here on the list is a plain one, being destroyed
  inputLock.purge();
  outputLock.purge();
}

void ZtFlow::init() {
  // Each gate gets a body of its own; the temporary handle's reference is
  // handed to the field and then let go. Should memory run out, the handle
  // stays empty and that gate never waits.
  zk::Lock out(new zk::LockRep("ZtFlow, output"));
  outputLock = out;
  out.purge();
  zk::Lock in(new zk::LockRep("ZtFlow, input"));
  inputLock = in;
  in.purge();
  consumer_.store(nullptr, std::memory_order_relaxed);
  producer_.store(nullptr, std::memory_order_relaxed);
  outputClosed.store(false, std::memory_order_relaxed);
  inputClosed.store(false, std::memory_order_relaxed);
  wakeProducerTestFn_.store(nullptr, std::memory_order_relaxed);
  wakeConsumerTestFn_.store(nullptr, std::memory_order_relaxed);
  sleepConsumerTestFn_.store(nullptr, std::memory_order_relaxed);
  sleepProducerTestFn_.store(nullptr, std::memory_order_relaxed);
  requestSampleRate_.store(0, std::memory_order_relaxed);
  requestSampleDuration_.store(0, std::memory_order_relaxed);
  requestPos_.store(0, std::memory_order_relaxed);
  requestDataRate_.store(0, std::memory_order_relaxed);
  kickEpoch_.store(0, std::memory_order_relaxed);
  readEpoch_.store(0, std::memory_order_relaxed);
  seen_.store(0, std::memory_order_relaxed);
  stageHead_ = 0;
  drainedBytes_ = 0;
  mixed_.store(false, std::memory_order_relaxed);
  stageTail_.store(0, std::memory_order_relaxed);
  stagedBytes_.store(0, std::memory_order_relaxed);
  producedEnd_ = 0;
  produced_ = false;
  heldCache_.store(0, std::memory_order_relaxed);
  readsSeen_.store(0, std::memory_order_relaxed);
  for (auto& slot : stage_) slot.store(nullptr, std::memory_order_relaxed);
  removes_.store(readRemovesPacket_, std::memory_order_relaxed);
  lostEnd_ = 0;
  lost_ = false;
  droppedUnread_.store(0, std::memory_order_relaxed);
  flow_ = this;
}

void ZtFlow::copyRequestFrom(const ZtFlow& o) {
  requestSampleRate(o.requestSampleRate());
  requestSampleDuration(o.requestSampleDuration());
  requestTime(o.requestPos());
  requestDataRate(o.requestDataRate());
}

// ------------------------------------------------------ guarded list access

unsigned int ZtFlow::size() const {
  ListGuard g(*this);
  return size_;
}

bool ZtFlow::isEmpty() const {
  ListGuard g(*this);
  return head == nullptr;
}

ZtFlowPacket* ZtFlow::first() const {
  ListGuard g(*this);
  return head ? head->packet : nullptr;
}

bool ZtFlow::readRemovesPacket() const { return removes_.load(std::memory_order_acquire); }

void ZtFlow::readRemovesPacket(bool on) {
  ListGuard g(*this);
  readRemovesPacket_ = on;
  removes_.store(on, std::memory_order_release);
}

void ZtFlow::restart() {
  ListGuard g(*this);
  cursor = nullptr;
}

bool ZtFlow::locate(unsigned int pos) {
  ListGuard g(*this);
  return _locate(pos);
}

void ZtFlow::add(ZtFlowPacket* packet) {
  {
    ListGuard g(*this);
    if (packet) mixed_.store(true, std::memory_order_relaxed);
    _add(packet);
  }
  if (packet) forgetHeld();
}

ZtFlowPacket* ZtFlow::remove() {
  ListGuard g(*this, Nested::Remove);
  return _remove();
}

void ZtFlow::empty() {
  ListGuard g(*this, Nested::Refuse, "empty()");
  if (!g.refused()) _empty();
}

bool ZtFlow::reserveNode() {
  ListGuard g(*this);
  return _reserveNode();
}

void ZtFlow::settle() { ListGuard g(*this); }

unsigned int ZtFlow::nextGap(unsigned int pos, unsigned int& gap, bool forward) {
  ListGuard g(*this);
  return ZtFlowBase::nextGap(pos, gap, forward);
}

namespace {
// The closure of ZtFlow::deleteOutsideRange's callback.
struct Trim {
  unsigned int from;
  unsigned int to;
  ZtFlow* flow;
  uint64_t dropped;
};
}  // namespace

void ZtFlow::trimApplyFn(ZtFlowPacket* packet, void* closure) {
  Trim* t = static_cast<Trim*>(closure);
  const unsigned int pos = packet->pos();
  const unsigned int end = pos + packet->size();
  if (atOrBefore(pos, t->to) && before(t->from, end)) return;  // the list's rule
  ZtFlow* f = t->flow;
  if (before(t->to, pos)) {
    // Beyond the window: data a consumer at `from` has not reached.
    t->dropped += packet->size();
    if (!f->lost_ || before(f->lostEnd_, end)) f->lostEnd_ = end;
    f->lost_ = true;
  }
  f->_remove();  // apply left the cursor on this packet's node
  ZtFlowPacket::drop(packet);
}

void ZtFlow::deleteOutsideRange(unsigned int from, unsigned int to) {
  Trim t{from, to, this, 0};
  {
    ListGuard g(*this, Nested::Refuse, "deleteOutsideRange()");
    if (g.refused()) return;
    // Lost data that the consumer has passed is forgotten: far behind, the
    // comparison by difference would stop meaning behind.
    if (lost_ && !before(requestPos_.load(std::memory_order_relaxed), lostEnd_)) lost_ = false;
    ZtFlowBase::apply(&trimApplyFn, &t);
  }
  if (t.dropped != 0) droppedUnread_.fetch_add(t.dropped, std::memory_order_relaxed);
}

bool ZtFlow::inLost(unsigned int pos) const { return lost_ && before(pos, lostEnd_); }

bool ZtFlow::crossLost(unsigned int& pos) {
  ListGuard g(*this);
  if (!inLost(pos)) return false;
  // The next data after pos, if it begins before the lost data ends: a trim
  // may have kept what came between two of its cuts.
  unsigned int next = lostEnd_;
  if (head && before(pos, head->pos)) {
    if (before(head->pos, next)) next = head->pos;
  } else {
    unsigned int gap = 0;
    if (ZtFlowBase::nextGap(pos, gap, true) != pos) return false;  // data at pos after all
    if (gap != 0 && before(pos + gap, next)) next = pos + gap;
  }
  if (next == lostEnd_) lost_ = false;  // the whole of it crossed
  pos = next;
  return true;
}

void ZtFlow::reset() {
  ListGuard g(*this, Nested::Refuse, "reset()");
  if (!g.refused()) ZtFlowBase::reset();
}

void ZtFlow::apply(void (*fn)(ZtFlowPacket*, void*), void* closure) {
  ListGuard g(*this, Nested::Refuse, "apply()");
  if (g.refused()) return;
  const ZtFlow* outer = tApplying;
  tApplying = this;
  ZtFlowBase::apply(fn, closure);
  tApplying = outer;
}

void ZtFlow::guardedAdd(ZtFlowPacket* packet, unsigned int* pos, bool appendTo) {
  if (!packet) return;
  // A fresh packet that the list does not keep is deleted instead of being
  // leaked. Whether it is one shows in its count under the guard: 0 there
  // means that neither the caller nor the list holds it, and no one else
  // can (a holder would have counted). Any other count belongs to holders
  // who keep the packet alive, and we do not touch it after the guard: a
  // consumer may read and drop it the moment the guard is let go. Asking
  // the count costs a load, where a reference of our own across the call
  // cost two locked steps per packet.
  noteHeld(packet->size());
  bool orphan;
  {
    ListGuard g(*this);
    if (appendTo) {
      ZtFlowBase::append(packet, pos);
    } else {
      _add(packet);
    }
    orphan = packet->refCount() == 0;
    // With the guard held and the stage empty, the list says where held data
    // ends: after a seek that emptied the flow, packets at the new, lower
    // positions go through the stage again.
    produced_ = head != nullptr;
    producedEnd_ = endBound_;
  }
  if (orphan) delete packet;
}

// ------------------------------------------------------------------- stage

namespace {
// Packets are at least pointer-aligned: the low bit of a slot is free.
ZtFlowPacket* tagFresh(ZtFlowPacket* p) {
  return reinterpret_cast<ZtFlowPacket*>(reinterpret_cast<uintptr_t>(p) | 1u);
}
bool isFresh(ZtFlowPacket* p) { return (reinterpret_cast<uintptr_t>(p) & 1u) != 0; }
ZtFlowPacket* untag(ZtFlowPacket* p) {
  return reinterpret_cast<ZtFlowPacket*>(reinterpret_cast<uintptr_t>(p) & ~uintptr_t{1});
}
}  // namespace

void ZtFlow::noteProduced(unsigned int start, unsigned int size) {
  const unsigned int end = start + size;
  if (!produced_ || zk::FlowPos::before(producedEnd_, end)) producedEnd_ = end;
  produced_ = true;
}

bool ZtFlow::stage(ZtFlowPacket* packet, unsigned int* pos, bool appendTo) {
  const unsigned int start = packet->pos() + (appendTo && pos ? *pos : 0);
  // A packet someone else holds must go in whole, as the add at once would
  // have put it: only when it begins where nothing can be held.
  const bool fresh = packet->refCount() == 0;
  if (!fresh && (mixed_.load(std::memory_order_relaxed) || (produced_ && zk::FlowPos::before(start, producedEnd_)))) {
    return false;
  }
  const uint32_t t = stageTail_.load(std::memory_order_relaxed);
  std::atomic<ZtFlowPacket*>& slot = stage_[t % kStageSlots];
  // Acquire: the drain that cleared the slot is done with what it held.
  if (slot.load(std::memory_order_acquire)) return false;
  const unsigned int size = packet->size();
  if (appendTo && pos) {
    packet->pos(start);
    *pos = start + size;
  }
  noteProduced(start, size);
  noteHeld(size);
  // A fresh packet is the flow's already (see above) and waits without a
  // count, marked in the slot's low bit; the stage takes a reference only
  // to a packet someone else holds, who may let go of it meanwhile.
  if (!fresh) packet->incRef();
  stagedBytes_.store(stagedBytes_.load(std::memory_order_relaxed) + size, std::memory_order_relaxed);
  slot.store(fresh ? tagFresh(packet) : packet, std::memory_order_release);
  // seq_cst: this store and the load of the gate's flag in wakeConsumer()
  // pair with closeOutput(), which stores the flag and then loads this count,
  // as a kick does with the kick count. All four are seq_cst, so they fall in
  // one order: whichever store comes first, the other side's load comes after
  // it. Either the consumer sees the count move and leaves its gate open, or
  // we see the gate closed and open it. A release store here would let our
  // load of the flag pass the store while it waits in this core's store
  // buffer (x86 does that): both loads would read the old values and the
  // consumer would sleep with this packet staged, for good when it is the
  // last one (an end-of-flow marker). FlowThreadTest's
  // AWriteRacingTheConsumersClosingIsNeverMissed runs that window.
  stageTail_.store(t + 1, std::memory_order_seq_cst);
  return true;
}

namespace {
// A fresh packet leaves the stage with a reference of the stage's, like any
// other. Nobody else holds a fresh packet, so the first one is a plain
// store; one that someone counted meanwhile (against the rules) gets a
// counted one, and keeps theirs.
void countFresh(ZtFlowPacket* p) {
  if (p->refCount() == 0) {
    p->firstRef();
  } else {
    p->incRef();
  }
}
}  // namespace

void ZtFlow::drainStage() {
  for (;;) {
    std::atomic<ZtFlowPacket*>& slot = stage_[stageHead_ % kStageSlots];
    ZtFlowPacket* staged = slot.load(std::memory_order_acquire);
    if (!staged) return;
    ZtFlowPacket* p = untag(staged);
    if (isFresh(staged)) countFresh(p);
    drainedBytes_ += p->size();  // as staged: the add may clip it
    // The stage's reference becomes the list's where the add keeps the
    // packet: a locked increment and a locked decrement less per packet.
    adopted_ = p;
    _add(p);
    slot.store(nullptr, std::memory_order_release);
    ++stageHead_;
    if (adopted_ == p) {
      // Not kept: the stage's reference goes, and with it a fresh packet.
      adopted_ = nullptr;
      ZtFlowPacket::drop(p);
    }
  }
}

bool ZtFlow::heldWithin(uint64_t most) const {
  // Acquire: after a forgetHeld(), the load of seen_ below sees the figure
  // stored with the add that called it.
  uint64_t held = heldCache_.load(std::memory_order_acquire);
  if (held <= most) return true;
  // The figure stored by the latest guarded operation, plus what was staged
  // and not yet drained then. On the producer's thread that is never less
  // than what is held now: the load sees the producer's own last store or a
  // later one, and after it the list grows only by drains, each by at most
  // what it takes from the stage.
  const uint64_t s = seen_.load(std::memory_order_relaxed);
  const uint32_t staged = stagedBytes_.load(std::memory_order_relaxed) - static_cast<uint32_t>(s >> 32);
  held = static_cast<uint32_t>(s) + static_cast<uint64_t>(staged);
  heldCache_.store(held, std::memory_order_relaxed);
  return held <= most;
}

void ZtFlow::forgetHeld() {
  // Someone other than the producer added: the next sleep test takes the
  // figure from seen_ again. A refresh of the producer's racing with this
  // store may still leave a lower figure for a while; adding to a flow
  // while its producer writes is for tests and tools, and then the sleep
  // test errs only by letting the producer run ahead a little.
  heldCache_.store(UINT64_MAX, std::memory_order_release);
}

void ZtFlow::noteHeld(unsigned int size) {
  const uint64_t held = heldCache_.load(std::memory_order_relaxed);
  if (held != UINT64_MAX) heldCache_.store(held + size, std::memory_order_relaxed);
}

void ZtFlow::put(ZtFlowPacket* packet, unsigned int* pos, bool appendTo) {
  if (stage(packet, pos, appendTo)) {
    wakeConsumer(false);
  } else {
    guardedAdd(packet, pos, appendTo);
    _kickOut(false);
  }
}

// ------------------------------------------------------------------- gates
//
// The flags are seq_cst on both sides of each race that could lose a kick:
// a closing side sets its flag and then reads the other side's epoch, the
// other side bumps its epoch and then reads the flag, so at least one of the
// two sees the other.

void ZtFlow::openOutput() {
  Guard g(gateGuard_);
  if (!outputClosed.load(std::memory_order_relaxed)) return;
  outputClosed.store(false, std::memory_order_seq_cst);
  outputLock.unlock();
}

void ZtFlow::closeOutput(uint32_t kicksSeen, uint32_t stagedSeen) {
  Guard g(gateGuard_);
  if (outputClosed.load(std::memory_order_relaxed)) return;
  // The other half of stage()'s pairing: the flag's store, then the loads of
  // the counts, all seq_cst. A write or kick whose count we do not see below
  // sees this store in wakeConsumer() and opens the gate again.
  outputClosed.store(true, std::memory_order_seq_cst);
  if (kickEpoch_.load(std::memory_order_seq_cst) != kicksSeen ||
      stageTail_.load(std::memory_order_seq_cst) != stagedSeen) {
    // A kick or a write came after we looked at the list: it would have
    // opened the gate we are closing, so leave it open.
    outputClosed.store(false, std::memory_order_relaxed);
    return;
  }
  // Only the consumer closes or passes this gate, and it is open: this lock
  // never waits.
  outputLock.lock();
}

void ZtFlow::openInput() {
  Guard g(gateGuard_);
  if (!inputClosed.load(std::memory_order_relaxed)) return;
  inputClosed.store(false, std::memory_order_seq_cst);
  inputLock.unlock();
}

namespace {

// How long a side polls before it sleeps on a closed gate, or before it
// closes its gate on an empty flow: 256 turns of a pause, some
// microseconds. The other side of a busy flow writes or reads within about
// a packet's time; sleeping at once would cost a futex wait here and a wake
// there for every packet, most of a hand-over between two tasks.
constexpr unsigned kGateSpins = 256;

// Then, before it sleeps, a side gives up its processor a few times, looking
// at the gate in between. With more loops than processors the other side is
// often waiting for this very processor; a yield hands it over for the cost
// of one system call, where sleeping costs a futex wait here, a futex wake
// there and two switches. A fork (four loops on two processors, 100,000
// packets) made 11,500-13,000 futex calls and took 1.2-2.3 us of processor
// per packet without them; with 8 yields, 300 calls and 0.81-0.85 us.
constexpr unsigned kGateYields = 8;

// Flow-task loops running in the process (ZtFlow::loopStarted, loopEnded).
std::atomic<unsigned int> gLoops{0};

// Polling pays only while every loop has a processor of its own and one is
// left over for the rest of the process and the machine: then the other
// side is running and answers within about a packet's time. Otherwise the
// other side may be waiting for the very processor we would poll on;
// yielding (above) hands it over, and lets the scheduler run the two sides
// on one processor, where a hand-over costs a small part of what it costs
// between two (the list, the packet and the gates cross over once a packet).
// On two processors, two loops ran a hand-over faster without polling
// (median of 16 runs, 2.4 M against 1.4-1.6 M packets a second). The count
// is written only when a loop starts or ends, so reading it costs nothing.
unsigned pollTurns() {
  // A pooled task that polls keeps its worker from the very task it waits
  // for; it parks at once instead (see passGate).
  if (zkflow::currentWorker() >= 0) return 0;
  return gLoops.load(std::memory_order_relaxed) < zkflow::processorCount() ? kGateSpins : 0;
}

// Waits while `gate` is closed, then passes it (takes it and gives it back).
// Only the side that closed the gate passes it, so a gate found open stays
// open until we return: passing it then is nothing to do, and skipping the
// take and give-back saves two locked instructions per packet on each side.
// isLocked() is a seq_cst load, an acquire: seeing the gate open, we see
// what the opener did before it opened it, as the take would have shown us.
// A gate found closed is a wait of the stage whose loop runs here: the
// consumer's gate, for input; the producer's, for room on the output.
void waitAtGate(const zk::Lock& gate, const ZtFlow* flow, bool consumerGate) {
  zkflow::GateWait timed(flow, consumerGate);
  const unsigned turns = pollTurns();
  // On the simulated clock a yielding loop holds virtual time still, and on
  // a busy machine each yield may give the processor away for a whole slice.
  const unsigned yields = zkflow::currentWorker() >= 0 || zkflow::sim::on() ? 0 : kGateYields;
  for (unsigned i = 0; i < turns && gate.isLocked(); ++i) ZtSpinLock::relax();
  for (unsigned i = 0; i < yields && gate.isLocked(); ++i) ZIF_Yield();
  if (!gate.isLocked()) return;
  gate.lock();
  gate.unlock();
}

inline void passGate(const zk::Lock& gate, const ZtFlow* flow, bool consumerGate) {
  if (gate.isLocked()) waitAtGate(gate, flow, consumerGate);
}

}  // namespace

void ZtFlow::releaseProducer() {
  // As a read would: a producer between its sleep test and the closing of
  // its gate sees the count move and asks the test again.
  readEpoch_.fetch_add(1, std::memory_order_seq_cst);
  if (inputClosed.load(std::memory_order_seq_cst)) openInput();
}

void ZtFlow::loopStarted() { gLoops.fetch_add(1, std::memory_order_relaxed); }

void ZtFlow::loopEnded() { gLoops.fetch_sub(1, std::memory_order_relaxed); }

ZtFlowPacket* ZtFlow::read(unsigned int& pos) {
  passGate(outputLock, this, true);
  return _read(pos);
}

ZtFlowPacket* ZtFlow::_read(unsigned int pos) {
  for (bool again = false;; again = true) {
    const uint32_t kicks = kickEpoch_.load(std::memory_order_seq_cst);
    ZtFlowPacket* packet = nullptr;
    bool copyFailed = false;
    bool lost = false;
    uint32_t staged;
    {
      // requestPos moves with the list, under its guard: a producer's test
      // that measured from the old position after the packet had gone would
      // see nothing buffered and let the producer run past its bound for as
      // long as we were preempted between the two.
      ListGuard g(*this, Nested::Read, "read()");
      staged = stageHead_;
      if (!g.refused()) {
        requestPos_.store(pos, std::memory_order_release);
        unsigned int at = pos;
        packet = ZtFlowBase::read(at);
        if (packet && readRemovesPacket_) requestPos_.store(pos + packet->size(), std::memory_order_release);
        copyFailed = copyFailed_;
        // Data a trim took away: the caller crosses the hole (crossLost)
        // and reads again, so this is no reason to sleep either.
        lost = !packet && inLost(pos);
      }
    }
    readEpoch_.fetch_add(1, std::memory_order_seq_cst);

    // Open the producer's gate first, then close our own.
    ZtFlowUnit* prod = producer();
    if (prod && inputClosed.load(std::memory_order_seq_cst)) {
      TestFn wake = wakeProducerTestFn_.load(std::memory_order_acquire);
      if (!packet || !wake || wake(prod)) openInput();
    }
    ZtFlowUnit* cons = consumer();
    if (cons) {
      TestFn sleep = sleepConsumerTestFn_.load(std::memory_order_acquire);
      // Data that could not be copied is no reason to sleep: the caller reads
      // again, and gets it once memory is back.
      const bool nothing = !packet && !copyFailed && !lost;
      // Found nothing while a producer is at work: its next write is most
      // likely a moment away. Wait for it here, once, before closing: closing
      // and the write's opening would each move the gate's lines between
      // the two threads' cores, several times the cost of the packet itself
      // when the two run side by side. A kick is what would have opened the
      // gate, so reading again on one is what the caller would have done
      // after passing it.
      if (nothing && !again && prod && kickWithin(kicks, staged)) continue;
      if (nothing || (sleep && sleep(cons))) closeOutput(kicks, staged);
    }
    return packet;
  }
}

bool ZtFlow::kickWithin(uint32_t kicksSeen, uint32_t stagedSeen) const {
  // Acquire: nothing is read on the strength of it but the counts
  // themselves; the read that follows takes the list's guard.
  const unsigned turns = pollTurns();
  for (unsigned i = 0; i < turns; ++i) {
    if (stageTail_.load(std::memory_order_acquire) != stagedSeen ||
        kickEpoch_.load(std::memory_order_acquire) != kicksSeen) {
      return true;
    }
    ZtSpinLock::relax();
  }
  return false;
}

void ZtFlow::write(ZtFlowPacket* packet) {
  _write(packet);
  passGate(inputLock, this, false);
}

void ZtFlow::_write(ZtFlowPacket* packet) {
  if (!packet) {
    _kickOut(true);
    return;
  }
  put(packet, nullptr, false);
  _kickIn(false);
}

void ZtFlow::append(ZtFlowPacket* packet, unsigned int* pos) {
  _append(packet, pos);
  passGate(inputLock, this, false);
}

void ZtFlow::_append(ZtFlowPacket* packet, unsigned int* pos) {
  if (!packet) {
    _kickOut(true);
    return;
  }
  put(packet, pos, true);
  _kickIn(false);
}

void ZtFlow::writeNonBlocking(ZtFlowPacket* packet) {
  if (packet) {
    put(packet, nullptr, false);
  } else {
    _kickOut(true);
  }
}

void ZtFlow::appendNonBlocking(ZtFlowPacket* packet, unsigned int* pos) {
  if (packet) {
    put(packet, pos, true);
  } else {
    _kickOut(true);
  }
}

void ZtFlow::appendAlwaysBlocking(ZtFlowPacket* packet, unsigned int* pos) {
  appendNonBlocking(packet, pos);
  _kickIn(true);
}

void ZtFlow::_kickOut(bool force) {
  // Remembered even when the gate is still open: a consumer that is about
  // to close it sees the kick and stays open (closeOutput).
  kickEpoch_.fetch_add(1, std::memory_order_seq_cst);
  wakeConsumer(force);
}

void ZtFlow::wakeConsumer(bool force) {
  if (!outputClosed.load(std::memory_order_seq_cst)) return;
  if (!force) {
    ZtFlowUnit* cons = consumer();
    if (!cons) return;
    TestFn wake = wakeConsumerTestFn_.load(std::memory_order_acquire);
    if (wake && !wake(cons)) return;
  }
  openOutput();
}

void ZtFlow::_kickIn(bool force) {
  ZtFlowUnit* prod = producer();
  if (!prod) return;
  if (force) {
    Guard g(gateGuard_);
    if (inputClosed.load(std::memory_order_relaxed)) return;
    // Only the producer closes or passes this gate, and it is open: this
    // lock never waits.
    inputLock.lock();
    inputClosed.store(true, std::memory_order_seq_cst);
    return;
  }
  TestFn sleep = sleepProducerTestFn_.load(std::memory_order_acquire);
  if (!sleep) return;
  // The reads as we last saw them, older than the test: any read the test
  // did not see shows as a change when we close (see readsSeen_).
  uint32_t reads = readsSeen_.load(std::memory_order_relaxed);
  for (;;) {
    if (!sleep(prod)) return;
    Guard g(gateGuard_);
    if (inputClosed.load(std::memory_order_relaxed)) return;
    inputClosed.store(true, std::memory_order_seq_cst);
    const uint32_t now = readEpoch_.load(std::memory_order_seq_cst);
    readsSeen_.store(now, std::memory_order_relaxed);
    if (now == reads) {
      inputLock.lock();  // free, as above
      return;
    }
    // A read came since we last looked, perhaps between the test and the
    // close; it may have looked at the flag before we set it and so not
    // opened the gate. Ask the test again with what it changed.
    inputClosed.store(false, std::memory_order_relaxed);
    reads = now;
  }
}
