// SPDX-License-Identifier: Apache-2.0
// Packet lists and flows.
//
// ZtFlowBase       the packets of one flow kept in order of position, with a
//                  search cursor for streaming access.
// ZtFlowExclusive  a list that carries a byte lock (`sem()`) for users that
//                  share it; this library never takes that lock.
// ZtFlow           the channel from one flow unit (its producer) to another
//                  (its consumer): a list with two gates and the consumer's
//                  request (position, duration, rate, data rate).
//
// ---------------------------------------------------------------- lists
//
// First come wins: a packet that begins inside data the list already holds
// does not replace it; it contributes only the parts that fall into the holes
// after that point, cut into pieces as needed. A packet that begins in a hole
// is inserted whole next to its neighbour, even where it reaches into held
// data that follows (both stay, and size() counts both).
//
// Positions compare by difference (zk::FlowPos), so a list keeps working as a
// stream runs past 2^32, provided what it holds at once spans less than 2^31
// positions.
//
// Every search starts at the cursor (where the last search or visit ended)
// and walks node by node, so reading and writing at steadily advancing
// positions costs a constant number of steps per packet. The cursor is part
// of the observable state: a backward search counts a packet that ends
// exactly at the position asked for as found, a forward one does not.
//
// Ownership: a list holds one reference to each packet it keeps and owns its
// nodes. first() hands out the head packet without a reference; read() hands
// out a new copy carrying one reference, the caller's; remove() hands the
// list's reference over to the caller. add() takes a reference only to what
// it keeps: a packet of the caller's that is not kept (it lies wholly inside
// held data) stays the caller's, clipped where the hole filling clipped it.
// Packets must not be resized while a list holds them.
//
// Copies: a copied list gets nodes of its own, each taking its own reference
// to the same packet, with the cursor on the matching node. Two lists never
// share nodes, so destroying one leaves the other whole.
//
// Thread safety: a ZtFlowBase is used by one thread at a time; even a search
// moves its cursor. ZtFlow guards its list itself (below), also when it is
// reached as a ZtFlowBase.
//
// ---------------------------------------------------------------- flows
//
// Each side of a flow has a gate, a Lock used as a one-permit semaphore: the
// consumer's (outputLock) and the producer's (inputLock). The thread that
// closes a gate is the one that later waits at it; the other side opens it.
//  - The consumer closes its own gate in read() when it found nothing at the
//    position asked for (or its sleep test says so) and waits at it on its
//    next read(). Any kick opens it: every write or append (when the
//    consumer's wake test agrees), a null write or append, kick(), and a flow
//    task that stops or seeks.
//  - The producer closes its own gate after a write or append when its sleep
//    test says so (always after appendAlwaysBlocking) and waits at it at the
//    end of write() and append(). The consumer's read() opens it when it
//    found nothing or when the producer's wake test agrees.
// A side that finds its gate closed polls it for some microseconds (while
// the process has a processor for every flow-task loop), then yields its
// processor a few times, before it sleeps on it: the other side of a busy
// flow opens it within about a packet's time, and the pass then costs no
// futex call.
// A flow without units never waits. Flow tasks hang their wake and sleep
// tests on the flows they produce; the tests measure the data buffered ahead
// of requestPos() through nextGap().
//
// Thread safety of ZtFlow (the choices below are ours):
//  - One producer thread calls write, append and their variants; one consumer
//    thread calls read; any thread may call kick(), nextGap(),
//    deleteOutsideRange(), reset(), apply() and the accessors.
//  - The list is guarded by a spin lock of the flow around each list
//    operation, so that the two sides never see a half-linked list, a torn
//    size or a cursor moved under them. The guard is released before any gate
//    is waited on and before any test function is called: the tests call back
//    into the flow (nextGap), and a guard held across a wait would lock the
//    two sides out of each other. The non-virtual list operations that a flow
//    inherits are re-declared here with the guard, and the ZtFlowBase ones
//    lead to them when the list is a flow's: a flow reached through a
//    ZtFlowBase pointer (a task's outputs() table, say), or copied into a
//    ZtFlowBase, answers exactly as the flow itself.
//  - apply() runs its function with the guard held. On the thread that runs
//    apply the function may call the flow back: remove() (which takes the
//    packet it was given, as for a list) and every call that only looks
//    (size(), first(), locate(), nextGap(), a copy, ...). A look leaves the
//    cursor where apply keeps it, so the walk goes on unchanged. Calls that
//    would take other packets out of the list under the walk (reset(),
//    empty(), deleteOutsideRange(), apply(), assignment, a read that removes
//    packets) are refused there with the line "ZtFlow <call> refused: inside
//    apply() on the same flow". An add goes in at once and the walk may or
//    may not reach it. Other threads wait for the guard as ever.
//  - Closing a gate (lock it, set its flag) and opening it (test the flag,
//    clear it, unlock) are each one step with respect to the other, under a
//    second small spin lock of the flow; that lock is never held while a
//    gate is waited on (closing a free gate never waits), so a gate is never
//    unlocked twice.
//  - No kick is lost: a kick that arrives after the consumer looked at the
//    list and before it closed its gate keeps the gate open (exactly as if it
//    had come just after the close), and a read that happens between the
//    producer's sleep test and the closing of its gate makes the producer ask
//    its sleep test again before it closes. The consumer's wake test is not
//    asked for such an early kick; flow tasks set no consumer tests.
//  - The request fields and the unit and test pointers are atomics: the
//    consumer writes the request and the producer reads it without a lock.
//    A read moves requestPos under the list guard together with the list,
//    so a producer's test never measures from a position whose packet has
//    already gone (it would see nothing buffered and run past its bound).
//  - Memory ordering: what the producer did to a packet before writing it is
//    visible to the consumer that reads it (the list guard, or the stage's
//    slot, orders them).
//
// The stage: a producer's write or append does not take the list's guard
// when it can hand the packet over through a ring of slots in front of the
// list instead; whoever next takes the guard (the consumer's read, mostly)
// first moves what the ring holds into the list, in order, exactly as the
// writes would have added it. Between two cores a hand-over through the
// list moves the guard, the list's ends, a node and the epochs between the
// caches for every packet; through the ring the two sides share a slot line
// per few packets. A write goes through the ring only where the later add
// gives what the add at once would have given, as the writer can see it:
// a packet nobody else holds (whatever the list does with it, no one sees
// it), or one that begins at or after the end of all held data when no one
// but the producer ever added to the flow (nothing held can clip it, so it
// goes in whole; the producer keeps a bound of that end: the list's end as
// it last saw it, moved by what it wrote since). Others, and any write that
// finds the ring full,
// take the guard, which first empties the ring. Every guarded operation
// (size(), nextGap(), a copy ...) sees the staged packets, so after a write
// returns every view of the flow answers as if the packet had been added
// then, first come wins included. Only a class derived from ZtFlow that
// reads the nodes (head, cursor) itself must first call settle(), or read
// them inside apply(); a flow task settles each output when its loop ends,
// so a flow whose producer has ended holds everything in its list.
//
// Trimmed data: deleteOutsideRange() counts the bytes it removes beyond its
// `to` bound (droppedUnread()), which a consumer reading from `from` had not
// reached, and remembers where that lost data ended. A flow task's loop that
// reads nothing at its position within such lost data crosses the hole to the
// next data (crossLost()) instead of waiting there for data that will never
// come; a hole no trim made (a packet not yet written, or one a flow could
// not keep for want of memory) is waited at as ever.
//
// A packet handed to a flow's write or append without a reference of the
// caller's (a fresh packet, count 0) belongs to the flow from then on: when
// the flow keeps none of it (it lies wholly inside held data), it is dropped
// at once instead of being leaked. A caller that wants to look at the packet
// afterwards holds a reference of its own across the call.
//
// Copies of a flow are detached snapshots: the list and the request fields
// are copied (the list as above), but the copy has gates of its own, open,
// and no units and no tests, since the units know only the original (they
// would never clear their pointers in the copy). Assignment copies the list
// and the request fields and keeps the target's gates, units and tests.
#pragma once

#include <atomic>
#include <cstdint>

#include "zkflow/host/allocator.h"
#include "zkflow/host/export.h"
#include "zkflow/host/lock.h"
#include "zkflow/host/time.h"
#include "zkflow/flow/flowpacket.h"

struct ZtFlow;
struct ZtFlowUnit;
struct ZtFlowTask;

struct ZKFLOW_EXPORT ZtFlowBase {
  // One per packet held: a circular doubly linked list without a sentinel
  // (head->prev is the last node, the last node's next is head).
  struct Node {
    ZKFLOW_HEAP_OBJECT
    ZtFlowPacket* packet;  // one reference held by the list
    Node* next;
    Node* prev;
    // The packet's position and end as it was linked in (held packets do
    // not change). The bookkeeping of every link and unlink compares the
    // neighbours' edges; read here, they cost no visit to the packets, whose
    // lines the other side of a flow has often just taken.
    unsigned int pos;
    unsigned int end;
  };

  ZtFlowBase();
  ZtFlowBase(const ZtFlowBase& o);
  ZtFlowBase& operator=(const ZtFlowBase& o);
  // Drops every packet.
  virtual ~ZtFlowBase();

  // Sum of the sizes of the packets held.
  unsigned int size() const { return flow_ ? flowSize() : size_; }
  bool isEmpty() const { return flow_ ? flowIsEmpty() : head == nullptr; }
  // The first packet, without a reference; null when empty.
  ZtFlowPacket* first() const { return flow_ ? flowFirst() : head ? head->packet : nullptr; }
  bool readRemovesPacket() const { return flow_ ? flowRemoves() : readRemovesPacket_; }
  void readRemovesPacket(bool on);

  // The next search starts at the first packet.
  void restart();
  // Moves the cursor to the packet that covers `pos`; true if there is one.
  // A failed search leaves the cursor on a neighbour of `pos` or null.
  bool locate(unsigned int pos);
  // Inserts `packet`, or the parts of it that fall into holes. Null is
  // ignored.
  void add(ZtFlowPacket* packet);
  // Takes the node at the cursor (at the first packet when the cursor is
  // null) out and returns its packet with the list's reference, or null when
  // the list is empty. The cursor moves to the node that followed.
  ZtFlowPacket* remove();
  // Removes and drops every packet, and frees the nodes kept for reuse.
  void empty();
  // From now on the list keeps one node in reserve for an insertion that
  // finds no memory, refilled by the next removal; it is freed only with the
  // list. A flow task reserves one on each output, so that the end it sends
  // there always finds a place. False when the node cannot be made.
  bool reserveNode();

  // add().
  virtual void write(ZtFlowPacket* packet);
  // Places `packet` at its own position plus *pos, adds it, and moves *pos to
  // the end of the packet, whether or not all of it was kept. A null packet
  // does nothing; a null `pos` adds the packet at its own position.
  virtual void append(ZtFlowPacket* packet, unsigned int* pos);
  // A copy (one reference, the caller's) of the packet that covers `pos`,
  // clipped to start there; null when no packet covers it. With
  // readRemovesPacket() the list lets go of the whole packet it read from;
  // when that packet starts at `pos` and the list held its only reference,
  // the packet itself is handed over (it is what the copy would be).
  // `pos` is not written.
  virtual ZtFlowPacket* read(unsigned int& pos);
  // With `forward`: the end of the run of back-to-back packets that holds
  // `pos` (or `pos` itself when no packet holds it), and in `gap` the size of
  // the hole after it (0 when nothing follows). A position before the first
  // packet is treated like one past the end. Without `forward`: the far edge
  // of the hole below the run that holds `pos` (the start of the first
  // packet when the run reaches it), or `pos` itself, with `gap` the size of
  // that hole.
  virtual unsigned int nextGap(unsigned int pos, unsigned int& gap, bool forward);
  // Removes and drops every packet that does not overlap from..to: a packet
  // stays when it begins at or before `to` and ends after `from`.
  virtual void deleteOutsideRange(unsigned int from, unsigned int to);
  // empty(), then the cursor null and size 0.
  virtual void reset();
  // Calls fn(packet, closure) once for each packet, in list order, with the
  // cursor on its node; fn may remove() that packet (and must then drop or
  // keep it). No other change to the list is supported during apply.
  virtual void apply(void (*fn)(ZtFlowPacket*, void*), void* closure);

 protected:
  ZKFLOW_INTERNAL void init();
  // Make a node for `packet`, take one reference, link it just before or
  // just after the cursor node. head, cursor and size are the caller's.
  // False (nothing taken) when memory is exhausted.
  bool _insertBefore(ZtFlowPacket* packet);
  bool _insertAfter(ZtFlowPacket* packet);
  static void deleteOutsideApplyFn(ZtFlowPacket* packet, void* closure);

  // The work behind locate, add, remove, empty and reserveNode, on this
  // list's own nodes whatever it belongs to: the list operations themselves
  // call these, and a flow calls them under its guard.
  bool _locate(unsigned int pos);
  void _add(ZtFlowPacket* packet);
  ZtFlowPacket* _remove();
  void _empty();
  bool _reserveNode();

  // Appends copies of o's nodes (own references, same packets) to this
  // empty list and puts the cursor on the node matching o's cursor.
  void copyNodesFrom(const ZtFlowBase& o);
  // Exchanges the nodes, cursor, size and search bookkeeping with `o`.
  void swapNodes(ZtFlowBase& o);

  Node* head;
  Node* cursor;
  unsigned int size_;
  bool readRemovesPacket_;

  // Bookkeeping that keeps streaming access at constant cost, kept in step
  // with every link, unlink and change of head (packets must not be resized
  // while held, or it goes wrong):
  //  - every packet held ends at or before endBound_ (an upper bound: it only
  //    grows while the list is not empty), and zeroSized_ counts the packets
  //    of size 0. With no such packet, a search for a position at or past
  //    endBound_ would walk forward to the end of the circle and fail;
  //    locate() answers it at once, with the same result and cursor.
  //  - breaks_ counts the neighbours (a node and its next, the last node and
  //    head excepted) that are not back to back. At 0 the whole list is one
  //    run, and nextGap() from any packet in it knows the answer of its walk
  //    to the end without taking it.
  unsigned int endBound_;
  unsigned int zeroSized_;
  unsigned int breaks_;

 private:
  ZKFLOW_INTERNAL void addAt(ZtFlowPacket* packet, int depth);
  ZKFLOW_INTERNAL unsigned int prevGap(unsigned int pos, unsigned int& gap);
  ZKFLOW_INTERNAL Node* newNode(ZtFlowPacket* packet);
  ZKFLOW_INTERNAL void noteInserted(const ZtFlowPacket* packet);
  // 1 when `x` has a next in the list (it is not the last node) that does
  // not begin where x ends.
  ZKFLOW_INTERNAL unsigned int breakAfter(const Node* x) const;
  // Makes `n` the head, keeping breaks_ right.
  ZKFLOW_INTERNAL void setHead(Node* n);

  // Nodes of removed packets kept for the next insertions (linked through
  // `next`), so that a stream through the list allocates no nodes once it
  // runs. At most kMaxSpareNodes; freed by empty() (and so by reset() and
  // destruction). Never copied or swapped: each list keeps its own.
  static constexpr unsigned int kMaxSpareNodes = 64;
  Node* spare_;
  unsigned int spareCount_;
  // See reserveNode(). Never copied or swapped either.
  Node* reserve_ = nullptr;
  bool keepReserve_ = false;

 protected:
  // Set by read() when a packet covered the position but no copy of it
  // could be made (out of memory), cleared by every other read. A flow's
  // consumer must not go to sleep on such a read: the data is there, and
  // no later write may ever come to wake it.
  bool copyFailed_ = false;

  // The flow this list is the list of (itself), or null for a plain list:
  // the public operations then lead to the flow's guarded ones. Set by
  // ZtFlow for its own lifetime; never copied.
  ZtFlow* flow_ = nullptr;

 private:
  friend struct ZtFlow;
  // Called from the inline accessors above, in users' code: exported.
  unsigned int flowSize() const;
  bool flowIsEmpty() const;
  ZtFlowPacket* flowFirst() const;
  bool flowRemoves() const;
};

struct ZKFLOW_EXPORT ZtFlowExclusive : ZtFlowBase {
  ZtFlowExclusive() = default;
  ZtFlowExclusive(const ZtFlowExclusive& o) = default;
  ZtFlowExclusive& operator=(const ZtFlowExclusive& o) = default;
  ~ZtFlowExclusive() override;

  // The lock for users that share the list; never taken here.
  ZtBLock& sem() { return sem_; }

  void write(ZtFlowPacket* packet) override;
  void append(ZtFlowPacket* packet, unsigned int* pos) override;
  ZtFlowPacket* read(unsigned int& pos) override;
  unsigned int nextGap(unsigned int pos, unsigned int& gap, bool forward) override;
  void deleteOutsideRange(unsigned int from, unsigned int to) override;

 protected:
  ZtBLock sem_;
};

struct ZKFLOW_EXPORT ZtFlow : ZtFlowExclusive {
  // A test asked with the unit: wake tests say whether a waiting side may go
  // on, sleep tests whether a side should wait. Called on the thread of the
  // operation that asks (see each), with no lock of the flow held; the unit
  // must outlive its attachment to the flow.
  using TestFn = bool (*)(void*);

  // Both gates open, no units, no tests, request fields 0.
  ZtFlow();
  ZtFlow(const ZtFlow& o);
  ZtFlow& operator=(const ZtFlow& o);
  // No thread may be using the flow any more.
  ~ZtFlow() override;

  ZtFlowUnit* consumer() const { return consumer_.load(std::memory_order_acquire); }
  void consumer(ZtFlowUnit* u) { consumer_.store(u, std::memory_order_release); }
  ZtFlowUnit* producer() const { return producer_.load(std::memory_order_acquire); }
  void producer(ZtFlowUnit* u) { producer_.store(u, std::memory_order_release); }

  // Asked on the consumer's thread, in read(), when the producer's gate is
  // closed and the read returned a packet: may the producer go on? Null: yes.
  void wakeProducerTestFn(TestFn fn) { wakeProducerTestFn_.store(fn, std::memory_order_release); }
  // Asked on the producer's thread after a write when the consumer waits:
  // may it go on? Null: yes.
  void wakeConsumerTestFn(TestFn fn) { wakeConsumerTestFn_.store(fn, std::memory_order_release); }
  // Asked on the consumer's thread after a read that returned a packet:
  // should the consumer wait? Null: no.
  void sleepConsumerTestFn(TestFn fn) { sleepConsumerTestFn_.store(fn, std::memory_order_release); }
  // Asked on the producer's thread after a write or append: should the
  // producer wait? Null: no.
  void sleepProducerTestFn(TestFn fn) { sleepProducerTestFn_.store(fn, std::memory_order_release); }

  // The position of the consumer's latest read; after a consuming read, the
  // position just past the data returned.
  unsigned int requestPos() const { return requestPos_.load(std::memory_order_acquire); }
  void requestTime(unsigned int pos) { requestPos_.store(pos, std::memory_order_release); }
  Utils::Time requestSampleRate() const {
    return Utils::Time::fromRaw(requestSampleRate_.load(std::memory_order_acquire));
  }
  void requestSampleRate(const Utils::Time& t) { requestSampleRate_.store(t.raw(), std::memory_order_release); }
  Utils::Time requestSampleDuration() const {
    return Utils::Time::fromRaw(requestSampleDuration_.load(std::memory_order_acquire));
  }
  void requestSampleDuration(const Utils::Time& t) {
    requestSampleDuration_.store(t.raw(), std::memory_order_release);
  }
  unsigned int requestDataRate() const { return requestDataRate_.load(std::memory_order_acquire); }
  void requestDataRate(unsigned int r) { requestDataRate_.store(r, std::memory_order_release); }

  // The gates' flags, for inspection: true while the side waits or is about
  // to wait at its next pass.
  bool outputIsClosed() const { return outputClosed.load(std::memory_order_acquire); }
  bool inputIsClosed() const { return inputClosed.load(std::memory_order_acquire); }

  // Consumer: passes the consumer's gate (waits while it is closed), then
  // reads at `pos` (see _read). `pos` is not written.
  ZtFlowPacket* read(unsigned int& pos) override;
  // Producer: adds the packet, kicks the consumer, closes the producer's
  // gate when the sleep test says so, and passes that gate. Null: a forced
  // kick of the consumer and nothing else (the gate is still passed).
  void write(ZtFlowPacket* packet) override;
  // Producer: as write(), placing the packet relative to *pos and advancing
  // *pos past it.
  void append(ZtFlowPacket* packet, unsigned int* pos) override;
  // Producer: add and kick; never closes or passes the producer's gate.
  void writeNonBlocking(ZtFlowPacket* packet);
  void appendNonBlocking(ZtFlowPacket* packet, unsigned int* pos);
  // Producer: append and kick, then close the producer's gate without asking
  // the test; the producer's next write or append waits for the consumer's
  // next read.
  void appendAlwaysBlocking(ZtFlowPacket* packet, unsigned int* pos);
  // Anyone: wakes a waiting consumer.
  void kick() { _kickOut(true); }

  // Either side; no gate is touched.
  unsigned int nextGap(unsigned int pos, unsigned int& gap, bool forward) override;
  void deleteOutsideRange(unsigned int from, unsigned int to) override;
  // Empties the list; gates, units, tests and request fields stay.
  void reset() override;
  // fn runs with the list guard held (see above).
  void apply(void (*fn)(ZtFlowPacket*, void*), void* closure) override;

  // Moves what the producer's writes left in the stage into the list (any
  // guarded operation does so first). For a class derived from ZtFlow that
  // reads the nodes itself; see the stage above.
  void settle();
  // Bytes that deleteOutsideRange() removed beyond its `to` bound, since
  // construction: data a consumer reading from `from` had not reached. Any
  // thread.
  uint64_t droppedUnread() const { return droppedUnread_.load(std::memory_order_relaxed); }

  // The inherited list operations, with the guard.
  unsigned int size() const;
  bool isEmpty() const;
  ZtFlowPacket* first() const;
  bool readRemovesPacket() const;
  void readRemovesPacket(bool on);
  void restart();
  bool locate(unsigned int pos);
  void add(ZtFlowPacket* packet);
  ZtFlowPacket* remove();
  void empty();
  bool reserveNode();

 protected:
  friend struct ZtFlowTask;
  friend struct ZtFlowBase;

  ZKFLOW_INTERNAL void init();
  // Consumer: `pos` lies in a hole where a trim removed data (see above):
  // moves it to the next data (or to the end of what was lost) and returns
  // true; false, and `pos` unchanged, otherwise.
  bool crossLost(unsigned int& pos);
  // A stop: the producer's gate is opened if closed, and a producer about to
  // close it asks its sleep test again (as after a read); a flow task's
  // sleep test says no once its loop is told to stop.
  void releaseProducer();

  // Consumer: reads at `pos` without passing the gate. Sets requestPos,
  // opens the producer's gate when it waits and (nothing was found, or its
  // wake test agrees), closes the consumer's gate when nothing was found or
  // its sleep test says so.
  ZtFlowPacket* _read(unsigned int pos);
  // Producer: add and kick without passing the gate. Null: a forced kick.
  void _write(ZtFlowPacket* packet);
  void _append(ZtFlowPacket* packet, unsigned int* pos);
  // Opens the consumer's gate: forced, whenever it is closed; unforced, when
  // a consumer is set, the gate is closed and the wake test agrees.
  void _kickOut(bool force);
  // Closes the producer's gate, when a producer is set: forced, always;
  // unforced, when the sleep test says so. A closed gate is not locked again.
  void _kickIn(bool force);
  // A flow-task loop begins and ends: the gates poll only while there are
  // no more loops than processors (see flow.cpp).
  static void loopStarted();
  static void loopEnded();

  // The consumer's gate, "ZtFlow, output", and the producer's, "ZtFlow,
  // input"; each is held on behalf of its side while its flag is set.
  // The fields fall into groups by who writes them how often, each group
  // on cache lines of its own: on two cores every line that both sides of a
  // busy flow write moves between them, and a field written per packet
  // would otherwise take its read-mostly neighbours along.
  static constexpr std::size_t kLine = 64;

  // Set while the flow is wired up; read on every operation.
  alignas(kLine) zk::Lock outputLock;
  zk::Lock inputLock;
  std::atomic<ZtFlowUnit*> consumer_;
  std::atomic<ZtFlowUnit*> producer_;
  std::atomic<TestFn> wakeProducerTestFn_;
  std::atomic<TestFn> wakeConsumerTestFn_;
  std::atomic<TestFn> sleepConsumerTestFn_;
  std::atomic<TestFn> sleepProducerTestFn_;
  // The consumer's request: written once a cycle, and then only when it
  // changes.
  std::atomic<int64_t> requestSampleRate_;      // Utils::Time raw
  std::atomic<int64_t> requestSampleDuration_;  // Utils::Time raw
  std::atomic<uint32_t> requestDataRate_;
  // readRemovesPacket_, for readers outside the list's guard: set under it
  // by the setter, read by the producer's loop every cycle.
  std::atomic<bool> removes_;
  // Written by the consumer on every read.
  alignas(kLine) std::atomic<uint32_t> requestPos_;
  // Written on every close and open of a gate.
  alignas(kLine) std::atomic<bool> outputClosed;
  std::atomic<bool> inputClosed;

 private:
  struct Guard;
  struct ListGuard;
  // What an operation called from apply's callback on the same flow does
  // (see ListGuard): Read is Look, or Refuse when reads remove packets.
  enum class Nested { Look, Remove, Refuse, Read };

  // A ZtFlowBase copied from, or assigned to, this flow's list, under the
  // guard (see ZtFlowBase's copy constructor and assignment).
  ZKFLOW_INTERNAL void copyListTo(ZtFlowBase& into) const;
  ZKFLOW_INTERNAL void assignList(const ZtFlowBase& from);
  // The callback of deleteOutsideRange: the list's rule, counting and
  // remembering what goes beyond `to`.
  ZKFLOW_INTERNAL static void trimApplyFn(ZtFlowPacket* packet, void* closure);
  // Whether a read at `pos` that found nothing lies in lost data; under the
  // guard.
  ZKFLOW_INTERNAL bool inLost(unsigned int pos) const;

  // Hands a packet to the list (append when `appendTo`, else add) under the
  // guard, and deletes it when nobody, the list included, holds it then (see
  // the note on fresh packets above). Null does nothing.
  ZKFLOW_INTERNAL void guardedAdd(ZtFlowPacket* packet, unsigned int* pos, bool appendTo);
  ZKFLOW_INTERNAL void openOutput();
  ZKFLOW_INTERNAL void closeOutput(uint32_t kicksSeen, uint32_t stagedSeen);
  // Polls for a kick after `kicksSeen` or a staged write after the
  // `stagedSeen`th, briefly; true when one came.
  ZKFLOW_INTERNAL bool kickWithin(uint32_t kicksSeen, uint32_t stagedSeen) const;
  // Hands a packet over through the stage when that is allowed and a slot is
  // free (see above); false leaves it to guardedAdd.
  ZKFLOW_INTERNAL bool stage(ZtFlowPacket* packet, unsigned int* pos, bool appendTo);
  // A producer's write or append of a packet: staged or added, and the
  // consumer kicked.
  ZKFLOW_INTERNAL void put(ZtFlowPacket* packet, unsigned int* pos, bool appendTo);
  // Opens the consumer's gate as _kickOut does, without counting a kick
  // (a staged write is seen through the stage's count).
  ZKFLOW_INTERNAL void wakeConsumer(bool force);
  // Moves the staged packets into the list, in order; the guard is held.
  ZKFLOW_INTERNAL void drainStage();
  // Notes that the producer wrote start..start+size.
  ZKFLOW_INTERNAL void noteProduced(unsigned int start, unsigned int size);
  // On the producer's thread: true when the list and the stage surely hold
  // no more than `most` bytes (see heldCache_).
  ZKFLOW_INTERNAL bool heldWithin(uint64_t most) const;
  ZKFLOW_INTERNAL void noteHeld(unsigned int size);
  ZKFLOW_INTERNAL void forgetHeld();
  ZKFLOW_INTERNAL void openInput();
  ZKFLOW_INTERNAL void copyRequestFrom(const ZtFlow& o);

  // Guards the list (see above). mutable: the const accessors take it too.
  // With it, on one line, what the consumer writes on every read.
  alignas(kLine) mutable ZtSpinLock listGuard_;
  // size_ and drainedBytes_ as the last guarded list operation left them
  // (size in the low half), stored just before the guard is let go. Read
  // without the guard by the producer's sleep test (heldWithin).
  mutable std::atomic<uint64_t> seen_;
  // Under the guard: slots taken from the stage, and the bytes they carried
  // (as they were staged), both counted from the start, modulo 2^32.
  uint32_t stageHead_;
  uint32_t drainedBytes_;
  // Reads of the consumer; a producer that is about to close its gate checks
  // that none came since it decided.
  std::atomic<uint32_t> readEpoch_;
  // Kicks of the consumer other than staged writes; a consumer that is about
  // to close its gate checks that none came since it looked.
  alignas(kLine) std::atomic<uint32_t> kickEpoch_;
  // Makes each close and each open of a gate one step.
  alignas(kLine) ZtSpinLock gateGuard_;
  // Set for good once anyone but the producer adds to the list (add(), a
  // copy or an assignment): the producer no longer knows where held data
  // ends, and stages only packets nobody else holds.
  std::atomic<bool> mixed_;

  // The producer's: slots filled (from the start, modulo 2^32), bytes
  // staged, and a bound of the end of all held data (valid once produced_;
  // nothing is held otherwise).
  alignas(kLine) std::atomic<uint32_t> stageTail_;
  std::atomic<uint32_t> stagedBytes_;
  unsigned int producedEnd_;
  bool produced_;
  // What the list and the stage held at most when the producer last looked
  // (seen_ and the bytes staged since), plus what it wrote since: only
  // removals shrink it, and only the producer adds, so it stays an upper
  // bound, and the producer's sleep test reads the consumer's line only
  // when it is over the bound. Atomic for a test asked on another thread,
  // which may find a figure too low but never a torn one.
  mutable std::atomic<uint64_t> heldCache_;
  // Under the guard: data that trims removed unread ended at lostEnd_ (valid
  // while lost_), and the bytes they removed so (read without the guard).
  unsigned int lostEnd_;
  bool lost_;
  std::atomic<uint64_t> droppedUnread_;
  // readEpoch_ as the producer last loaded it. Closing its gate, the
  // producer compares the epoch against it instead of loading the
  // consumer's line before every sleep test: an older figure only makes
  // a close that raced with nothing ask the test once more.
  std::atomic<uint32_t> readsSeen_;

  // The stage: a slot holds a packet from the producer's store until a
  // guarded drain takes it and clears it; with a reference of the stage's,
  // or, for a fresh packet, marked in its low bit (see stage()).
  static constexpr unsigned int kStageSlots = 64;
  alignas(kLine) std::atomic<ZtFlowPacket*> stage_[kStageSlots];
};
