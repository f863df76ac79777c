// SPDX-License-Identifier: Apache-2.0
#include "zkflow/flow/message.h"

#include <cstdint>
#include <utility>

namespace {

// Sequence number of a message that did not come out of a pending queue: newer
// than anything queued, so retired local records never take it.
constexpr uint64_t kNotQueued = UINT64_MAX;

}  // namespace

// ---------------------------------------------------------------- ZtMessage

ZtMessage& ZtMessage::operator=(const ZtMessage& o) {
  ZtQueuePacket::operator=(o);  // the count (Countable) stays the target's
  type_ = o.type_;
  sender_ = o.sender_;
  return *this;
}

ZtMessage::~ZtMessage() = default;

ZtMsgReceiverBase::~ZtMsgReceiverBase() = default;

// ---------------------------------------------------------- ZtMsgCallbackRec

ZtMsgCallbackRec& ZtMsgCallbackRec::operator=(const ZtMsgCallbackRec& o) {
  // The list links and the pairing belong to this record's place, not to the
  // value assigned.
  zk::DListRec::operator=(o);
  receiver_ = o.receiver_;
  callback_ = o.callback_;
  closure_ = o.closure_;
  msgType_ = o.msgType_;
  return *this;
}

ZtMsgCallbackRec::~ZtMsgCallbackRec() {
  if (local_) local_->origin_ = nullptr;
  if (origin_) origin_->local_ = nullptr;
}

// --------------------------------------------------------------- ZtMsgSender

ZtMsgSender& ZtMsgSender::operator=(ZtMsgSender& other) {
  if (&other == this) return *this;
  if (owner_ && other.owner_) {
    *owner_ = *other.owner_;
    return *this;
  }
  // End this sender's own registrations; a receiver's bookkeeping stays put.
  zk::DListIterator it(records);
  while (zk::DListRec* r = it.next()) {
    auto* rec = static_cast<ZtMsgCallbackRec*>(r);
    if (delivers(rec)) removeLinks(rec);
  }
  relocate(other, 0);
  return *this;
}

ZtMsgSender::~ZtMsgSender() { releaseAll(); }

ZtMsgCallbackRec* ZtMsgSender::addReceiver(ZtMsgReceiver& receiver, ZtMsgCallbackRec::Callback callback,
                                           void* closure, int msgType, bool direct) {
  // Buffering a receiver's messages into that same receiver would queue every
  // polled message again, and its poll would never end.
  if (!direct && this == &receiver.links_) return nullptr;
  ZtMsgCallbackRec* link = receiver.makeLink(this);
  if (!link) return nullptr;
  ZtMsgCallbackRec* rec;
  if (direct) {
    rec = new ZtMsgCallbackRec(receiver, callback, closure, msgType);
    if (!rec) {
      receiver.links_.remove(link);
      return nullptr;
    }
  } else {
    // The self link and the local record go into the receiver's links first.
    ZtMsgCallbackRec* local = receiver.links_.addReceiver(receiver, callback, closure, msgType, true);
    if (!local) {
      receiver.links_.remove(link);
      return nullptr;
    }
    rec = new ZtMsgCallbackRec(receiver, &ZtMsgReceiver::bufCallback, static_cast<void*>(&receiver), msgType);
    if (!rec) {
      receiver.links_.removeLinks(local);
      receiver.links_.remove(link);
      return nullptr;
    }
    rec->local_ = local;
    local->origin_ = rec;
  }
  add(rec);
  return rec;
}

bool ZtMsgSender::removeReceiver(ZtMsgCallbackRec* record) {
  if (!record || !records.member(record)) return false;
  // A receiver's link records and self links name senders: they are the far
  // half of a registration, which only its sender can end consistently.
  if (!dynamic_cast<ZtMsgReceiver*>(record->receiver_)) return false;
  removeLinks(record);
  return true;
}

bool ZtMsgSender::removeReceiver(ZtMsgReceiver& receiver, int type) {
  ZtMsgCallbackRec* rec = find(&receiver, type);
  if (!rec) return false;
  removeLinks(rec);
  return true;
}

void ZtMsgSender::send(const zk::P<ZtMessage>& message) {
  // A counted copy keeps the message alive for the whole walk, whatever the
  // callbacks do with the caller's pointer or their own references.
  zk::P<ZtMessage> held(message);
  sendQueued(held, kNotQueued);
}

void ZtMsgSender::sendQueued(const zk::P<ZtMessage>& message, uint64_t seq) {
  // An empty P carries nothing to stamp or deliver: ignored.
  if (!message) return;
  message->sender(this);
  const int type = message->type();
  // The iterator survives removal of the current or of any later record,
  // and ends quietly if this sender is destroyed under it; nothing of this
  // sender is touched after it. The walk is written out here rather than
  // handed to DList::apply: a call through a function pointer per record
  // was a third of a send to eight receivers.
  zk::DListIterator it(records);
  while (zk::DListRec* r = it.next()) {
    const auto* rec = static_cast<const ZtMsgCallbackRec*>(r);
    if (!rec->typeMatch(type)) continue;
    // A retired local record takes only what was queued before it retired.
    if (rec->retireAfter_ && seq > rec->retireAfter_) continue;
    rec->send(message);
  }
}

void ZtMsgSender::relocate(ZtMsgSender& other, int type) {
  if (&other == this) return;
  if (owner_ && other.owner_) {
    owner_->relocate(*other.owner_, type);
    return;
  }
  zk::DListIterator it(other.records);
  while (zk::DListRec* r = it.next()) {
    auto* rec = static_cast<ZtMsgCallbackRec*>(r);
    if (!rec->typeMatch(type) || !other.delivers(rec)) continue;
    // Moved into a receiver's own links, a record naming that receiver would
    // turn into a local record (and a buffered one into an endless poll).
    if (owner_ && rec->receiver_ == owner_) continue;
    it.extract();
    add(rec);
    rec->receiver_->relocateClient(&other, this, type);
  }
}

void ZtMsgSender::empty() { releaseAll(); }

void ZtMsgSender::removeLinks(ZtMsgCallbackRec* record) {
  if (auto* r = dynamic_cast<ZtMsgReceiver*>(record->receiver_)) {
    r->links_.remove(r->links_.find(this, 0));
    if (ZtMsgCallbackRec* local = record->local_) r->endLocal(local);
  }
  remove(record);
}

ZtMsgCallbackRec* ZtMsgSender::find(const ZtMsgReceiverBase* party, int type) const {
  for (zk::DListRec* r = records.first(); r; r = records.next(r)) {
    auto* rec = static_cast<ZtMsgCallbackRec*>(r);
    if (rec->receiver_ == party && rec->typeMatch(type)) return rec;
  }
  return nullptr;
}

void ZtMsgSender::disconnect(const ZtMsgReceiverBase* gone) {
  // `gone` is the links of a receiver being destroyed; our record names the
  // receiver itself.
  const auto* links = dynamic_cast<const ZtMsgSender*>(gone);
  if (!links || !links->owner_) return;
  remove(find(links->owner_, 0));
}

bool ZtMsgSender::relocateClient(ZtMsgReceiverBase* from, ZtMsgReceiverBase* to, int type) {
  return repoint(from, to, type) != nullptr;
}

ZtMsgCallbackRec* ZtMsgSender::repoint(const ZtMsgReceiverBase* from, ZtMsgReceiverBase* to, int type) {
  ZtMsgCallbackRec* rec = find(from, type);
  if (!rec) return nullptr;
  rec->receiver_ = to;
  // A buffered record queues into the receiver given as its closure; it
  // must queue into the receiver it now names.
  if (rec->callback_ == &ZtMsgReceiver::bufCallback) {
    auto* oldReceiver = dynamic_cast<const ZtMsgReceiver*>(from);
    auto* newReceiver = dynamic_cast<ZtMsgReceiver*>(to);
    if (oldReceiver && newReceiver && rec->closure_ == static_cast<const void*>(oldReceiver))
      rec->closure_ = static_cast<void*>(newReceiver);
  }
  return rec;
}

void ZtMsgSender::releaseAll() {
  // No user code runs in here: parties only drop records of their own.
  zk::DListIterator it(records);
  while (zk::DListRec* r = it.next()) {
    auto* rec = static_cast<ZtMsgCallbackRec*>(r);
    ZtMsgReceiverBase* party = rec->receiver_;
    if (ZtMsgCallbackRec* local = rec->local_) {
      auto* receiver = dynamic_cast<ZtMsgReceiver*>(party);
      if (receiver && receiver->links_.records.member(local)) receiver->endLocal(local);
    }
    // Last use of `rec`: the party may remove records of this very list.
    party->disconnect(this);
  }
  records.empty();
}

bool ZtMsgSender::delivers(const ZtMsgCallbackRec* rec) const {
  auto* r = dynamic_cast<ZtMsgReceiver*>(rec->receiver_);
  return r && r != owner_;
}

// ------------------------------------------------------------- ZtMsgReceiver

ZtMsgReceiver::ZtMsgReceiver() { links_.owner_ = this; }

ZtMsgReceiver::ZtMsgReceiver(const ZtMsgReceiver&) : ZtMsgReceiverBase() { links_.owner_ = this; }

ZtMsgReceiver& ZtMsgReceiver::operator=(ZtMsgReceiver& other) {
  if (&other == this) return *this;
  // What destruction would do to this receiver's own state first.
  if (!pollFrame()) return *this;  // a callback destroyed this receiver
  freePending();
  links_.releaseAll();
  relocate(other, 0);
  return *this;
}

ZtMsgReceiver::~ZtMsgReceiver() {
  // Polls under way further up this thread's stack (a callback of ours is
  // destroying us) must not touch this receiver again.
  for (PollFrame* f = polls_; f; f = f->outer) f->destroyed = true;
  polls_ = nullptr;
  poll();
  freePending();
  // Done here rather than in the links' own destructor, while this receiver
  // is still whole for the senders that look at it.
  links_.releaseAll();
}

bool ZtMsgReceiver::hasServer() const {
  if (retired_ == 0) return !links_.records.isEmpty();
  // Every retired local record still has its self link beside it.
  std::size_t retired = 0;
  for (zk::DListRec* r = links_.records.first(); r; r = links_.records.next(r))
    if (static_cast<ZtMsgCallbackRec*>(r)->retireAfter_) ++retired;
  return links_.records.size() > 2 * retired;
}

void ZtMsgReceiver::link(ZtMsgSender* sender) { makeLink(sender); }

ZtMsgCallbackRec* ZtMsgReceiver::makeLink(ZtMsgSender* sender) {
  if (!sender) return nullptr;
  auto* rec = new ZtMsgCallbackRec(*sender, nullptr, nullptr, 0);
  if (rec) links_.add(rec);
  return rec;
}

int ZtMsgReceiver::bufCallback(void* closure, const zk::P<ZtMessage>& message) {
  if (!message || !closure) return 0;
  static_cast<ZtMsgReceiver*>(closure)->queue(message);
  return 0;
}

bool ZtMsgReceiver::queue(const zk::P<ZtMessage>& message) {
  auto* e = new Pending;
  if (!e) return false;  // out of memory: the message is not queued
  e->message = message;
  e->seq = ++seq_;
  *pendingTail_ = e;
  pendingTail_ = &e->next;
  return true;
}

void ZtMsgReceiver::poll() { pollFrame(); }

bool ZtMsgReceiver::pollFrame() {
  PollFrame frame{polls_, false};
  polls_ = &frame;
  // pendingHead_ is read afresh every time: messages queued by the callbacks
  // are delivered by this same call, after those already waiting.
  while (Pending* e = pendingHead_) {
    pendingHead_ = e->next;
    if (!pendingHead_) pendingTail_ = &pendingHead_;
    e->next = nullptr;
    zk::P<ZtMessage> message(std::move(e->message));
    const uint64_t seq = e->seq;
    delete e;
    links_.sendQueued(message, seq);
    if (frame.destroyed) return false;
  }
  polls_ = frame.outer;
  dropRetired();
  return true;
}

void ZtMsgReceiver::freePending() {
  while (Pending* e = pendingHead_) {
    pendingHead_ = e->next;
    if (!pendingHead_) pendingTail_ = &pendingHead_;
    delete e;
  }
}

unsigned int ZtMsgReceiver::pendingCount() const {
  unsigned int n = 0;
  for (const Pending* e = pendingHead_; e; e = e->next) ++n;
  return n;
}

void ZtMsgReceiver::disconnect(const ZtMsgReceiverBase* gone) { links_.remove(links_.find(gone, 0)); }

void ZtMsgReceiver::endLocal(ZtMsgCallbackRec* local) {
  if (ZtMsgCallbackRec* origin = local->origin_) origin->local_ = nullptr;
  local->origin_ = nullptr;
  // Messages queued before now (pending, or being delivered by a poll further
  // up the stack) were sent while the registration lived: they still reach
  // this callback; nothing queued later does.
  if (seq_ != 0 && (pendingHead_ || polls_)) {
    local->retireAfter_ = seq_;
    ++retired_;
    return;
  }
  links_.removeLinks(local);
}

void ZtMsgReceiver::dropRetired() {
  // A poll further up the stack may still be delivering an older message.
  if (polls_ || retired_ == 0) return;
  const uint64_t oldest = pendingHead_ ? pendingHead_->seq : kNotQueued;
  retired_ = 0;
  zk::DListIterator it(links_.records);
  while (zk::DListRec* r = it.next()) {
    auto* rec = static_cast<ZtMsgCallbackRec*>(r);
    if (!rec->retireAfter_) continue;
    if (rec->retireAfter_ < oldest)
      links_.removeLinks(rec);
    else
      ++retired_;
  }
}

void ZtMsgReceiver::relocate(ZtMsgReceiver& other, int type) {
  if (&other == this) return;
  ZtMsgSender& from = other.links_;
  zk::DListRec* mark = links_.records.last();  // what follows it was moved here
  zk::DListIterator it(from.records);
  while (zk::DListRec* r = it.next()) {
    auto* rec = static_cast<ZtMsgCallbackRec*>(r);
    ZtMsgReceiverBase* party = rec->receiver_;
    // Self links and local records move with their registration, or below.
    if (party == &from || party == &other) continue;
    // Registrations between the two receivers' links stay as they are: moved,
    // they would turn into this receiver's own local records.
    if (party == &links_ || party == this) continue;
    if (auto* sender = dynamic_cast<ZtMsgSender*>(party)) {
      // A link record: it moves when its sender holds a matching registration
      // of `other`, which from now on names (and queues into) this receiver.
      ZtMsgCallbackRec* theirs = sender->repoint(&other, this, type);
      if (!theirs) continue;
      it.extract();
      links_.add(rec);
      if (ZtMsgCallbackRec* local = theirs->local_) takeLocal(other, local);
    } else if (rec->typeMatch(type)) {
      // other's links acting as the sender of a third receiver.
      it.extract();
      links_.add(rec);
      party->relocateClient(&from, &links_, type);
    }
  }
  // Local records that no registration made (added to other's links by
  // hand). Retired ones stay: they serve other's own pending messages.
  it.restart();
  while (zk::DListRec* r = it.next()) {
    auto* rec = static_cast<ZtMsgCallbackRec*>(r);
    if (rec->receiver_ == &other && !rec->origin_ && !rec->retireAfter_ && rec->typeMatch(type))
      takeLocal(other, rec);
  }
  takePending(other, mark);
}

void ZtMsgReceiver::takeLocal(ZtMsgReceiver& other, ZtMsgCallbackRec* local) {
  ZtMsgSender& from = other.links_;
  if (ZtMsgCallbackRec* self = from.find(&from, 0)) {
    from.records.extract(self);
    self->receiver_ = &links_;
    links_.add(self);
  }
  from.records.extract(local);
  local->receiver_ = this;
  links_.add(local);
}

void ZtMsgReceiver::takePending(ZtMsgReceiver& other, zk::DListRec* movedAfter) {
  // Whether a local record of `who` among the records of `list` after `after`
  // (all of them when null) takes this message at poll time.
  auto takes = [](const zk::DList& list, zk::DListRec* after, const ZtMsgReceiverBase* who, const Pending* e) {
    const int type = e->message->type();
    for (zk::DListRec* r = after ? list.next(after) : list.first(); r; r = list.next(r)) {
      auto* rec = static_cast<const ZtMsgCallbackRec*>(r);
      if (rec->receiver_ == who && rec->callback_ && rec->typeMatch(type) &&
          (!rec->retireAfter_ || e->seq <= rec->retireAfter_))
        return true;
    }
    return false;
  };
  Pending** at = &other.pendingHead_;
  while (Pending* e = *at) {
    const bool here = takes(links_.records, movedAfter, this, e);
    const bool there = takes(other.links_.records, nullptr, &other, e);
    // Queued here for the moved records; it leaves `other` unless a record
    // that stayed there takes it too (or there was no memory to queue it).
    if (here && queue(e->message) && !there) {
      *at = e->next;
      delete e;
    } else {
      at = &e->next;
    }
  }
  other.pendingTail_ = at;
  other.dropRetired();
}
