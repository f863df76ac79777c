// SPDX-License-Identifier: Apache-2.0
// Messaging: typed messages from senders to the receivers registered with them.
//
//   ZtMessage          a queue packet with an integer type and the sender that
//                      last sent it, shared through P<ZtMessage>.
//   ZtMsgReceiverBase  the common base of both ends of a registration; each end
//                      tells the other through it that it is going away or has
//                      moved.
//   ZtMsgCallbackRec   one half of a registration: a list record naming the
//                      party at the other end, a callback, its closure and the
//                      message type wanted.
//   ZtMsgSender        the sending end: send() hands a message, on the caller's
//                      thread and before it returns, to every registration whose
//                      type matches, in registration order.
//   ZtMsgReceiver      the receiving end: direct registrations are called inside
//                      the sender's send(); buffered ones queue the message, and
//                      the receiver's own thread delivers it with poll().
//
// A registration has two halves: a callback record in the sender's `records`
// that names the receiver, and a link record in the receiver's `links()` that
// names the sender. A buffered registration also puts into the receiver's
// links a self link (a link record naming those links) and a local record that
// carries the callback, closure and type given at registration; poll() sends
// each queued message through the links, which hands it to the local records.
//
// Invariant kept by every operation below: no record names an object that is
// gone. Ending a registration at either end (removeReceiver, empty, assignment,
// destruction of the sender or of the receiver) takes out both of its halves.
// A buffered registration's self link and local record go with it too, but not
// before the messages it had already queued are delivered: while such messages
// are pending (or a poll is under way) the local record is retired instead. A
// retired local record takes only messages queued before it retired, no longer
// counts for hasServer(), and leaves (with a self link) at the end of the poll
// that delivers the last of them, or with the receiver.
//
// Thread safety: none; nothing here takes a lock. A sender, the receivers
// registered with it, their pending queues and the messages sent through them
// are used by one thread at a time (the same thread, or under a lock that the
// owner holds around sends, polls and destruction). Callbacks run on the thread
// that calls send() (direct) or poll() (buffered). A message's count is atomic,
// so a message that has been handed on may be released on another thread.
//
// Reentrancy: a callback may send (through any sender), poll, add or remove
// registrations, relocate, and destroy the sender that calls it or the receiver
// it belongs to. Walks over record lists survive the removal of the current or
// of any later record; a poll notices that its receiver was destroyed under it
// and returns without touching it again.
//
// Ownership: messages belong to the P<ZtMessage> pointers that hold them; the
// last one deletes the message. Records belong to the list they are in (owning
// lists). Closures are never owned; they must live as long as the registration.
#pragma once

#include <cstdint>

#include "zkflow/host/allocator.h"
#include "zkflow/host/dlist.h"
#include "zkflow/host/export.h"
#include "zkflow/host/lock.h"
#include "zkflow/host/pointer.h"
#include "zkflow/flow/packet.h"

struct ZtMsgSender;
struct ZtMsgReceiver;

// A typed message. Made on the heap, wrapped in a P<ZtMessage> and never
// deleted by hand while a P holds it. Type 0 is the wildcard: a message of type
// 0 reaches every registration. className() is the queue packet's.
struct ZKFLOW_EXPORT ZtMessage : ZtQueuePacket, zk::Countable {
  ZtMessage() { init(); }
  explicit ZtMessage(int type) {
    init();
    type_ = type;
  }
  // A copy carries the type, the sender and the queue packet part; its count
  // starts at 0. Assignment leaves the target's count as it was.
  ZtMessage(const ZtMessage& o) : ZtQueuePacket(o), zk::Countable(), type_(o.type_), sender_(o.sender_) {}
  ZtMessage& operator=(const ZtMessage& o);
  ~ZtMessage() override;

  int type() const { return type_; }
  void type(int t) { type_ = t; }
  // The sender that most recently sent this message; null until first sent.
  ZtMsgSender* sender() const { return sender_; }
  void sender(ZtMsgSender* s) { sender_ = s; }

 protected:
  void init() {
    type_ = 0;
    sender_ = nullptr;
  }

 private:
  int type_;
  ZtMsgSender* sender_;  // not owned
};

// Both ends of a registration, as each sees the other.
struct ZKFLOW_EXPORT ZtMsgReceiverBase {
  ZKFLOW_HEAP_OBJECT

  ZtMsgReceiverBase() = default;
  ZtMsgReceiverBase(const ZtMsgReceiverBase&) {}
  ZtMsgReceiverBase& operator=(const ZtMsgReceiverBase&) { return *this; }
  virtual ~ZtMsgReceiverBase();

  // `gone`, with which this object has a registration, is about to be
  // destroyed: forget the record that names it.
  virtual void disconnect(const ZtMsgReceiverBase* gone) = 0;
  // The first record of this object that names `from` (for a type matching
  // `type`) names `to` from now on. False when there is none.
  virtual bool relocateClient(ZtMsgReceiverBase* from, ZtMsgReceiverBase* to, int type) = 0;
};

// One half of a registration. A callback record (in a sender) names the
// receiver and carries the callback; a link record (in a receiver's links)
// names the sender and has no callback, a null closure and type 0.
//
// A record is in at most one list; the list that owns it deletes it when it
// is removed. The destructor does not unlink.
struct ZKFLOW_EXPORT ZtMsgCallbackRec : zk::DListRec {
  // Runs on the thread that sends (direct) or polls (buffered). The message
  // is the caller's P, lent for the call: copy it to keep the message.
  using Callback = int (*)(void* closure, const zk::P<ZtMessage>& message);

  ZtMsgCallbackRec(ZtMsgReceiverBase& receiver, Callback fn, void* closure, int msgType)
      : receiver_(&receiver), callback_(fn), closure_(closure), msgType_(msgType) {}
  // A copy carries the receiver, callback, closure and type; it is in no list
  // and is not paired with anything (the pairing belongs to a registration).
  ZtMsgCallbackRec(const ZtMsgCallbackRec& o)
      : zk::DListRec(o), receiver_(o.receiver_), callback_(o.callback_), closure_(o.closure_), msgType_(o.msgType_) {}
  ZtMsgCallbackRec& operator=(const ZtMsgCallbackRec& o);
  ~ZtMsgCallbackRec() override;

  Callback callback() const { return callback_; }
  void* closure() const { return closure_; }
  ZtMsgReceiverBase* receiver() const { return receiver_; }
  int msgType() const { return msgType_; }
  void callback(Callback cb) { callback_ = cb; }
  void closure(void* c) { closure_ = c; }
  void receiver(ZtMsgReceiverBase* r) { receiver_ = r; }

  // Whether a message of `type` reaches this record: 0 on either side is a
  // wildcard, any other value (negative ones too) matches only itself.
  bool typeMatch(int type) const { return msgType_ == 0 || type == 0 || msgType_ == type; }

  // Calls the callback once and returns its result; 0 without a callback.
  // Touches nothing of the record after the callback returns, so a callback
  // may remove (and so delete) the very record that called it.
  int send(const zk::P<ZtMessage>& message) const {
    Callback cb = callback_;
    return cb ? cb(closure_, message) : 0;
  }

 private:
  friend struct ZtMsgSender;
  friend struct ZtMsgReceiver;

  ZtMsgReceiverBase* receiver_;  // not owned
  Callback callback_;
  void* closure_;  // not owned
  int msgType_;
  // A buffered registration's callback record and the local record it made
  // in the receiver know each other, so that ending the registration at the
  // sender takes the local record (and a self link) out with it. Whichever of
  // the two is deleted first clears the other's pointer.
  ZtMsgCallbackRec* local_ = nullptr;   // in a sender's buffered record
  ZtMsgCallbackRec* origin_ = nullptr;  // in a receiver's local record
  // A retired local record: the sequence number of the last queued message
  // it still takes. 0 while its registration lives.
  uint64_t retireAfter_ = 0;
};

// The sending end. Also the record list of every receiver (ZtMsgReceiver's
// links()), where it holds link records, self links and local records.
//
// Thread safety: none (see the top of this file). send() runs the direct
// callbacks on the calling thread before it returns.
struct ZKFLOW_EXPORT ZtMsgSender : ZtMsgReceiverBase {
  ZtMsgSender() { init(); }
  // A copy starts without records: two senders never share a record, and the
  // receivers' link records go on naming the original.
  ZtMsgSender(const ZtMsgSender&) : ZtMsgReceiverBase() { init(); }
  // Moves: ends this sender's own registrations (both halves), then takes
  // over every registration of `other` as relocate(other, 0) does, so the
  // receivers' link records name this sender afterwards. The links of two
  // receivers are assigned as the receivers are (ZtMsgReceiver::operator=).
  ZtMsgSender& operator=(ZtMsgSender& other);
  // Ends every registration: each receiver loses its link record to this
  // sender (and, for a buffered one, the self link and local record it made),
  // then every record is deleted. Safe inside one of this sender's own
  // callbacks: the walk in progress ends without touching the sender again.
  ~ZtMsgSender() override;

  // Registers `receiver`: appends a link record naming this sender to its
  // links and returns the callback record appended to `records`. Direct:
  // `callback(closure, message)` runs inside send(). Buffered (direct false):
  // the receiver's links get a self link and a local record with the callback,
  // closure and type, and the record here queues the message in the receiver
  // (ZtMsgReceiver::bufCallback). Duplicates are not checked: registering
  // twice delivers twice. Null, with nothing changed, when memory runs out or
  // when a receiver's own links are asked to buffer for that receiver (its
  // poll would queue every message again, forever).
  ZtMsgCallbackRec* addReceiver(ZtMsgReceiver& receiver, ZtMsgCallbackRec::Callback callback, void* closure,
                                int msgType, bool direct);
  // Ends the registration whose callback record is `record`; false (nothing
  // changed) when `record` is not in `records`, or when it is a receiver's
  // link record or self link: those are ended from the sender's side.
  bool removeReceiver(ZtMsgCallbackRec* record);
  // Ends the first registration of `receiver` whose record matches `type`
  // (0: the first of that receiver, whatever its type). False when none.
  bool removeReceiver(ZtMsgReceiver& receiver, int type);

  // Stamps the message with this sender, then hands it to every record whose
  // type matches (the type is read once, before the walk), first to last. The
  // message stays alive for the whole walk. Callbacks may send again (a nested
  // send runs to its end first). An empty P is ignored: there is nothing to
  // stamp, and no callback is given a null message.
  void send(const zk::P<ZtMessage>& message);

  // Takes over from `other` its records whose type matches (0: all), in their
  // order, after this sender's own; each receiver's link record to `other` then
  // names this sender. Between the links of two receivers this is the
  // receivers' relocate. A receiver's own bookkeeping (link records, self
  // links, local records) never moves into a sender that is not the links of
  // a receiver, and a record naming the receiver whose links this is stays
  // with `other`.
  void relocate(ZtMsgSender& other, int type);

  // Ends every registration, both halves, as the destructor does. For a
  // receiver's links this unregisters the receiver from all its senders.
  void empty();
  // Records in `records`; a receiver registered twice counts twice.
  unsigned int receiverCount() const { return static_cast<unsigned int>(records.size()); }

  // This sender's records in order. Owning. Read it; change it only through
  // the operations above, which keep both halves of each registration.
  zk::DList records;

 protected:
  void init() { records.owning(true); }

  // Appends / removes (deleting) one record; the other end is not touched.
  void add(ZtMsgCallbackRec* record) { records.append(record); }
  void remove(ZtMsgCallbackRec* record) { records.remove(record); }
  // Removes both halves of one registration.
  void removeLinks(ZtMsgCallbackRec* record);
  // The first record naming `party` whose type matches `type`, or null.
  ZtMsgCallbackRec* find(const ZtMsgReceiverBase* party, int type) const;

  // `gone`, the links of a receiver that is being destroyed: removes the
  // first record naming that receiver.
  void disconnect(const ZtMsgReceiverBase* gone) override;
  // The first record naming `from` that matches `type` names `to` instead; a
  // buffered record's closure (the receiver) follows it.
  bool relocateClient(ZtMsgReceiverBase* from, ZtMsgReceiverBase* to, int type) override;

 private:
  friend struct ZtMsgReceiver;

  // The walk of send(), for a message with sequence number `seq` (retired
  // local records take it only when it is not newer than they).
  // REQUIRES: `message` is a counted pointer that no callback can reach
  // (send()'s own copy, or the one poll() took from the queue), so that it
  // keeps the message alive for the whole walk.
  ZKFLOW_INTERNAL void sendQueued(const zk::P<ZtMessage>& message, uint64_t seq);
  // What relocateClient does, returning the record it changed.
  ZKFLOW_INTERNAL ZtMsgCallbackRec* repoint(const ZtMsgReceiverBase* from, ZtMsgReceiverBase* to, int type);
  // Tells the party of every record, then deletes them all.
  ZKFLOW_INTERNAL void releaseAll();
  // A record naming a ZtMsgReceiver other than `owner_`: one this sender
  // delivers to, as opposed to the bookkeeping of the receiver it belongs to.
  ZKFLOW_INTERNAL bool delivers(const ZtMsgCallbackRec* rec) const;

  // The receiver whose links this is, or null for a free-standing sender.
  ZtMsgReceiver* owner_ = nullptr;
};

// The receiving end. Registered with senders by ZtMsgSender::addReceiver.
//
// Thread safety: none (see the top of this file). The sends that reach a
// receiver, its poll() and its destruction are made by one thread at a time.
struct ZKFLOW_EXPORT ZtMsgReceiver : ZtMsgReceiverBase {
  // A queued message: one reference to it, and the next (newer) entry.
  struct Pending {
    ZKFLOW_HEAP_OBJECT
    zk::P<ZtMessage> message;
    Pending* next = nullptr;
    uint64_t seq = 0;  // order of queuing in this receiver, from 1
  };

  ZtMsgReceiver();
  // A copy starts unregistered with nothing pending: the senders go on naming
  // the original, which keeps its queue.
  ZtMsgReceiver(const ZtMsgReceiver&);
  // Moves: delivers this receiver's pending messages and ends its own
  // registrations (as destruction does), then takes over everything `other`
  // has, as relocate(other, 0) does, and leaves `other` as that leaves it.
  ZtMsgReceiver& operator=(ZtMsgReceiver& other);
  // Delivers every pending message, frees what is still queued, then ends
  // every registration: afterwards no sender names this receiver. May run
  // inside one of this receiver's callbacks (direct or polled).
  ~ZtMsgReceiver() override;

  // The link records, self links and local records of this receiver. Its
  // owner may use it as any sender, e.g. links().removeReceiver(*this, type)
  // takes out the first matching local record together with a self link.
  ZtMsgSender& links() { return links_; }
  const ZtMsgSender& links() const { return links_; }
  // True while links() holds a record that is not a retired local record or
  // its self link: since ending a registration takes out all of its records,
  // that is while some registration is alive.
  bool hasServer() const;

  // Appends a link record naming `sender` (null is ignored). Only this half
  // is made; addReceiver calls it first.
  // REQUIRES: a link made by hand is matched by a record in `sender` naming
  // this receiver, or `sender` outlives this receiver.
  void link(ZtMsgSender* sender);

  // Delivers pending messages, oldest first, through links() to the local
  // records, until none is left; messages queued meanwhile are delivered by
  // the same call. While a callback runs, the message's sender is links().
  void poll();

  // Takes over the registrations of `other` whose type matches (0: all of
  // them), as a whole: the senders' records (and the closures of the buffered
  // ones) name this receiver, the link records, self links and local records
  // move here after this receiver's own, and a record that other's links hold
  // as the sender of a third receiver moves too. A pending message of `other`
  // that a moved local record takes is queued here as well, and leaves
  // `other` when no local record left there takes it. Stay with `other`:
  // registrations between the two receivers (moved, they would become this
  // receiver's own local records) and retired local records. With type 0
  // `other` ends unregistered apart from those.
  void relocate(ZtMsgReceiver& other, int type);

  // Messages waiting for poll().
  unsigned int pendingCount() const;

 protected:
  // The callback of every buffered registration: queues the message in the
  // receiver given as closure; an empty P is not queued. Returns 0.
  static int bufCallback(void* closure, const zk::P<ZtMessage>& message);

  // A sender being destroyed (or the links' own self link or local record
  // during teardown): removes the first record of links() naming `gone`.
  void disconnect(const ZtMsgReceiverBase* gone) override;
  bool relocateClient(ZtMsgReceiverBase* from, ZtMsgReceiverBase* to, int type) override {
    return links_.relocateClient(from, to, type);
  }

 private:
  friend struct ZtMsgSender;

  // One frame of poll(); destruction marks every live frame so that a poll
  // whose callback destroyed the receiver returns without touching it.
  struct PollFrame {
    PollFrame* outer;
    bool destroyed;
  };

  ZKFLOW_INTERNAL ZtMsgCallbackRec* makeLink(ZtMsgSender* sender);
  ZKFLOW_INTERNAL bool queue(const zk::P<ZtMessage>& message);
  // A buffered registration whose callback record is going away: removes its
  // local record and a self link, or retires the local record while messages
  // queued before now may still be delivered.
  ZKFLOW_INTERNAL void endLocal(ZtMsgCallbackRec* local);
  // Removes the retired local records that no pending message needs any more.
  ZKFLOW_INTERNAL void dropRetired();
  // poll(); false when a callback destroyed this receiver.
  ZKFLOW_INTERNAL bool pollFrame();
  ZKFLOW_INTERNAL void freePending();
  // Moves a local record of other's links and one of their self links here.
  ZKFLOW_INTERNAL void takeLocal(ZtMsgReceiver& other, ZtMsgCallbackRec* local);
  ZKFLOW_INTERNAL void takePending(ZtMsgReceiver& other, zk::DListRec* movedAfter);

  ZtMsgSender links_;
  Pending* pendingHead_ = nullptr;
  Pending** pendingTail_ = &pendingHead_;
  PollFrame* polls_ = nullptr;
  uint64_t seq_ = 0;  // sequence number of the newest message queued
  // Retired local records in links_, or more (a pair that the owner removed
  // by hand is only noticed by the next dropRetired); 0 spares poll() a walk.
  unsigned int retired_ = 0;
};
