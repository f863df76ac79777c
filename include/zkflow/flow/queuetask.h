// SPDX-License-Identifier: Apache-2.0
// Queue tasks and the multithreaded queue that feeds them.
//
// MTQueue<T>   a first-in first-out queue between threads: any number of
//              producers push, one consumer (a queue task) takes. A queue
//              with a non-zero capacity makes producers wait for room.
// ZtQueueTask  the abstract base of a worker that takes queue packets one by
//              one from its input queue and hands each, with its output
//              queue, to the derived class's taskHandlePacket(). It runs on
//              a pre-emptive thread of its own or as a cooperative task of
//              the thread that starts it.
//
// The queue between queue tasks is MTQueue<AP<ZtQueuePacket>>: it owns its
// packets through AP, one owner at a time.
#pragma once

#include <atomic>
#include <cstdint>

#include "zkflow/host/allocator.h"
#include "zkflow/host/clock.h"
#include "zkflow/host/executor.h"
#include "zkflow/host/export.h"
#include "zkflow/host/lock.h"
#include "zkflow/host/pointer.h"
#include "zkflow/host/time.h"
#include "zkflow/flow/packet.h"

namespace zk {

// MTQueue<T>: a linked first-in first-out queue of T for many producers and
// one consumer.
//
// Thread safety: push(), tryPush(), pause(), unpause() and the readers of the
// statistics may run on any thread at once. Taking is the consumer's: one
// thread (the queue task that the queue feeds) takes at a time; the take is
// not guarded against a second consumer. The queue must outlive every thread
// that uses it: no producer may be inside push() and no task may run on it
// when it is deleted.
//
// Ownership: a push *moves* the item out of the caller's variable; for
// T = AP<ZtQueuePacket> the caller's AP is empty afterwards and the queue
// owns the packet. A packet that the queue accepted is either handed to the
// consumer by a take or deleted with the queue, never dropped. When a push
// does not accept the item (tryPush() on a full queue, or no memory for a
// node) the item stays where it was, with the caller.
//
// Memory ordering: whatever a producer did before pushing an item is visible
// to the consumer that takes that item (the link lock orders them: the
// consumer takes the queued chain under it).
//
// The gate protocol. Two Locks serve as gates, each opened (unlocked) by one
// side and closed (locked) by the other, never held as a mutual exclusion:
//  - notEmpty: every push opens it (when closed). A consumer that finds the queue empty (or
//    paused) closes it and then waits by locking it again, which returns
//    once a push (or unpause()) has opened it.
//  - notFull: the consumer opens it (when closed) after every counted
//    removal. A producer that finds `count` at a non-zero `capacity` closes
//    it and waits by locking it again, asleep in the kernel.
// Both sides close a gate first and then look at the queue once more before
// they wait: an opening that came between the first look and the closing
// would otherwise be lost, leaving a waiter asleep beside a queue that has
// room or data. Before closing, each side polls the queue for a few
// microseconds (kSpins): a partner that is running usually comes within
// that time, and the gate then costs no system call on either side.
template <class T>
struct MTQueue {
  ZKFLOW_HEAP_OBJECT

  // One queued item. Nodes come from the library's allocator; deleting a
  // node deletes the item it still holds (for AP, the packet). A node that
  // has been taken is kept, empty, for a later push (up to kMaxSpares of
  // them): allocating and freeing one node per item on two threads cost as
  // much as the rest of the hand-over together.
  struct Node {
    ZKFLOW_HEAP_OBJECT
    T item;
    Node* next = nullptr;
    // Clock time at which the node was linked in as the first of a chain
    // (into an empty `head`); not set on the nodes linked in behind it.
    // The consumer measures the chain's stay from it (see unlinkHead).
    Utils::Time stamp;
  };

  // A queue that holds at most `capacity` items; 0 means no limit.
  explicit MTQueue(unsigned int maxItems = 0)
      : notEmpty(new LockRep("MTQueueNotEmpty")), notFull(new LockRep("MTQueueNotFull")) {
    capacity.store(maxItems, std::memory_order_relaxed);
  }
  // Deletes the items still queued.
  ~MTQueue() {
    freeChain(head);
    head = nullptr;
    tail = &head;
    freeChain(spare);
    spare = nullptr;
    freeChain(taking);
    taking = nullptr;
    freeChain(emptied);
    emptied = nullptr;
  }
  // A queue is a place, not a value: a copy would own the same nodes twice.
  MTQueue(const MTQueue&) = delete;
  MTQueue& operator=(const MTQueue&) = delete;

  // Producer side --------------------------------------------------------

  // Appends `item`, waiting while the queue holds `capacity` items (when
  // capacity is not 0). On true the item has been moved into the queue and
  // the caller's variable is empty; false only when no node could be
  // allocated, and then the item stays with the caller. The time spent
  // waiting for room goes into maxWaitTime.
  bool push(T& item) { return put(item, true); }

  // Appends `item` only when there is room now. True when the queue took it
  // (the caller's variable is then empty); false when the queue is full or
  // no node could be allocated, and the item stays with the caller.
  bool tryPush(T& item) { return put(item, false); }

  // While paused, a pre-emptive queue task treats the queue as empty: pushes
  // still queue their items, and the task takes them after unpause().
  void pause() { paused.store(true, std::memory_order_relaxed); }
  void unpause() {
    paused.store(false, std::memory_order_relaxed);
    // Wake a consumer parked on the paused queue. The release in unlock()
    // pairs with the acquire of the consumer's lock(), so the consumer that
    // wakes sees `paused` false.
    notEmpty.unlock();
  }
  bool isPaused() const { return paused.load(std::memory_order_relaxed); }

  // The number of items queued, as counted by pushes and by the pre-emptive
  // take (a cooperative take does not count; see ZtQueueTask).
  unsigned int size() const { return count.load(std::memory_order_relaxed); }
  // Takes effect at the next push; lowering it does not drop items. Raising
  // it lets a producer that waits for room look again.
  void setCapacity(unsigned int c) {
    capacity.store(c, std::memory_order_relaxed);
    notFull.unlock();
  }

  // Consumer side (used by ZtQueueTask) ----------------------------------

  // Moves the first item into `into` and lets go of its node; false when
  // the queue is empty. With `counted`, `count` goes down by one and notFull
  // is opened for a producer waiting for room. Updates maxLatency.
  // REQUIRES: called by the one consumer of the queue.
  //
  // The consumer takes the whole chain under `link` at once into `taking`,
  // its own, and then hands items out of it without a lock: taking `link`
  // for every item moved the lock's cache line, with head and tail, from
  // one core to the other twice per item, the largest part of a hand-over.
  // The items in `taking` still count as queued (`count` goes down only as
  // each is handed out), so producers see the same room as before, and a
  // queue that is deleted deletes them too.
  //
  // maxLatency: an item's stay lasts until it is handed out here, to the
  // handler, private batch included. With one clock reading per chain, not
  // per item (a reading per item on both sides was a tenth of a hand-over):
  // the first node of a chain is the oldest in it (stamped under `link`, in
  // link order) and is handed out as the chain is taken, so its stay is
  // read then; the last one is handed out last, and its stay is at least
  // the time since the take, read when it is handed out (that reading also
  // serves the take of the next chain). The figure is thus never more than
  // an item really stayed, and short of the longest stay by at most the
  // time the last item spent queued before the take (it is exact for a
  // burst pushed at once).
  bool unlinkHead(T& into, bool counted) {
    if (!taking) {
      refill();
      if (!taking) return false;
    }
    Node* n = taking;
    taking = n->next;
    if (counted) {
      // seq_cst: with the seq_cst closing of notFull and the producer's
      // seq_cst look at `count` (see put), either we see the gate closed
      // or that producer sees our room.
      count.fetch_sub(1, std::memory_order_seq_cst);
    }
    T taken;
    taken = n->item;  // moves for AP into an empty local: nothing is deleted here
    if (emptiedCount < kMaxSpares) {
      n->next = emptied;
      emptied = n;
      ++emptiedCount;
    } else {
      delete n;  // a node beyond the spares we keep
    }
    // The last of the batch: give the emptied nodes back to the producers
    // now, and pick up what they pushed meanwhile.
    if (!taking) refill(true);
    if (counted) openGate(notFull);
    into = taken;
    return true;
  }
  // Polls a little while, without a lock or a system call, for an item to
  // take; true when one may be there (the take must still look under
  // `link`). For a consumer about to close notEmpty and sleep.
  bool spinUntilQueued() const {
    return spinFor([this] {
      return count.load(std::memory_order_relaxed) != 0 && !paused.load(std::memory_order_relaxed);
    });
  }

  // Members --------------------------------------------------------------
  //
  // head and tail are guarded by `link`: producers append at the tail while
  // the consumer takes the whole chain from the head (into `taking`, below),
  // and with one node both ends are the same node, so both sides take the
  // lock for those few instructions. `count` is changed by producers under
  // `link` and by the consumer outside it, atomically on both sides.
  Node* head = nullptr;   // first node; null when empty
  Node** tail = &head;    // `next` of the last node, or &head when empty
  Lock notEmpty;          // gate: open while there may be data
  Lock notFull;           // gate: opened by the consumer after a removal
  std::atomic<uint32_t> count{0};
  std::atomic<uint32_t> capacity{0};  // largest count; 0 means no limit
  // The longest time an item stayed in the queue: from its push to the take
  // that picked up its chain (see unlinkHead).
  std::atomic<Utils::Time> maxLatency{Utils::Time()};
  // The longest time a producer waited for room.
  std::atomic<Utils::Time> maxWaitTime{Utils::Time()};
  std::atomic<bool> paused{false};
  ZtSpinLock link;  // guards head, tail, the spares and the count test of a push
  // The queue task whose body takes from the queue, while it runs (null
  // when none): its start() claims the queue, its body's end lets go, so
  // that a second task cannot take from it at the same time.
  std::atomic<const void*> consumer{nullptr};

  // How long a side polls before it sleeps on a gate: a few microseconds,
  // long enough to meet the other side's next item or removal when it runs,
  // short enough that a side whose partner is descheduled soon sleeps.
  static constexpr unsigned kSpins = 256;

  // Empty nodes kept for reuse, guarded by `link`.
  static constexpr unsigned kMaxSpares = 256;
  Node* spare = nullptr;
  unsigned spares = 0;

  // The consumer's own: the chain it took from `head` and hands out item by
  // item, and the nodes it emptied, given back to `spare` at the next
  // refill (at most kMaxSpares of them are kept).
  Node* taking = nullptr;
  Node* emptied = nullptr;
  unsigned emptiedCount = 0;
  // When the chain in `taking` was taken, and whether it held more than one
  // item (whose last one's stay is then read when it is handed out).
  Utils::Time batchTaken;
  bool batchLong = false;

 private:
  // Under `link`: gives the emptied nodes back to `spare` (as many as fit)
  // and takes the whole queued chain into `taking`. `handedLast`: the last
  // item of a batch is being handed out; it has stayed at least since the
  // batch was taken (see unlinkHead).
  void refill(bool handedLast = false) {
    Utils::Time now;
    bool timed = false;
    if (handedLast && batchLong) {
      now = ZtClock::timeNow();
      raiseTo(maxLatency, now - batchTaken);
      batchLong = false;
      timed = true;
    }
    link.lock();
    while (emptied && spares < kMaxSpares) {
      Node* n = emptied;
      emptied = n->next;
      --emptiedCount;
      n->next = spare;
      spare = n;
      ++spares;
    }
    taking = head;
    head = nullptr;
    tail = &head;
    link.unlock();
    // The first item's stay ends here (see unlinkHead); read after the
    // lock, so that a producer is not held up by the clock.
    if (taking) {
      batchTaken = timed ? now : ZtClock::timeNow();
      batchLong = taking->next != nullptr;
      raiseTo(maxLatency, batchTaken - taking->stamp);
    }
  }

  static void freeChain(Node* n) {
    while (n) {
      Node* next = n->next;
      delete n;
      n = next;
    }
  }

  static void raiseTo(std::atomic<Utils::Time>& max, Utils::Time t) {
    Utils::Time cur = max.load(std::memory_order_relaxed);
    while (cur < t && !max.compare_exchange_weak(cur, t, std::memory_order_relaxed)) {
    }
  }

  // Opens a gate that is closed. Skipping an open gate saves a locked
  // instruction per item and cannot lose a wake-up: the side that closes a
  // gate looks at the queue under `link` after closing it, and we changed
  // the queue under `link` before looking at the gate, so either it sees our
  // change or we see its closing.
  static void openGate(const Lock& gate) {
    if (gate.isLocked()) gate.unlock();
  }

  // Polls `ready` up to kSpins times; true as soon as it holds. Used before
  // a side sleeps on a gate while the other side is likely running.
  template <class Ready>
  static bool spinFor(Ready ready) {
    for (unsigned i = 0; i < kSpins; ++i) {
      if (ready()) return true;
      ZtSpinLock::relax();
    }
    return false;
  }

  bool room(std::memory_order order = std::memory_order_relaxed) const {
    const uint32_t cap = capacity.load(std::memory_order_relaxed);
    return cap == 0 || count.load(order) < cap;
  }

  bool put(T& item, bool wait) {
    Node* n = nullptr;  // a node of our own, allocated outside the lock
    bool waited = false;
    Utils::Time waitStart;
    for (;;) {
      // A queue that looks empty will likely take our node as the first of
      // a chain, which is stamped: read the clock before the lock then, to
      // keep the reading out of the consumer's way. A guess that turns out
      // wrong either way only moves the reading in or out of the lock.
      Utils::Time now;
      bool haveNow = false;
      if (count.load(std::memory_order_relaxed) == 0) {
        now = ZtClock::timeNow();
        haveNow = true;
      }
      link.lock();
      if (room()) {
        if (!n && spare) {
          n = spare;
          spare = n->next;
          --spares;
        }
        if (n) {
          n->item = item;  // moves for AP: the caller's variable is emptied
          // Only a chain's first node is stamped (see unlinkHead): the one
          // clock reading a busy queue makes per chain, not per item. A
          // reading taken before the lock is no later than our linking, so
          // it still starts the chain's stay in time.
          if (!head) n->stamp = haveNow ? now : ZtClock::timeNow();
          n->next = nullptr;
          *tail = n;
          tail = &n->next;
          // An atomic add: the consumer takes its one off outside `link`.
          count.fetch_add(1, std::memory_order_relaxed);
          link.unlock();
          break;
        }
        // No spare: allocate without holding the lock, then look again.
        link.unlock();
        n = new Node;
        if (!n) {
          // Out of memory: the item stays with the caller. A producer that
          // slept holds the gate closed; having pushed nothing, it must
          // open it for the next sleeper (see below).
          if (waited) notFull.unlock();
          return false;
        }
        continue;
      }
      link.unlock();
      if (!wait) {
        delete n;  // empty, or null
        return false;
      }
      if (!waited) {
        waited = true;
        waitStart = ZtClock::timeNow();
      }
      // The consumer usually makes room within a few hundred nanoseconds;
      // sleeping on the gate instead would cost a futex wait here and a
      // wake in the consumer for every item of a full queue, most of the
      // hand-over. So poll `count` a little while first (no lock, no system
      // call), and sleep only when the consumer does not come.
      if (spinFor([this] { return room(); })) continue;
      // Close the gate, then look again: a removal between the first look
      // and the closing opened a gate that we have just closed again.
      notFull.tryLock();
      // seq_cst, as the closing above and the consumer's decrement and look
      // at the gate: a removal we do not see here sees the gate closed.
      const bool roomNow = room(std::memory_order_seq_cst);
      if (roomNow) {
        // Reopen what we closed, or another waiting producer could sleep
        // on a queue with room.
        notFull.unlock();
        continue;
      }
      // Sleeps until the consumer removes a node. We keep the gate closed
      // when we wake rather than pass it on: each removal opens it once and
      // wakes one sleeper, as many as there are new places, and any sleeper
      // left will be woken by a later removal, since the queue it found full
      // still holds items. Passing it on would cost every wake-up a second
      // futex call for no one.
      notFull.lock();
    }
    openGate(notEmpty);
    if (waited) raiseTo(maxWaitTime, ZtClock::timeNow() - waitStart);
    return true;
  }
};

}  // namespace zk

// ZtQueueTask: a worker fed by a multithreaded queue.
//
// Each turn of its loop takes one packet from the input queue `in()`, hands
// it with the output queue `out()` to taskHandlePacket(), then deletes what
// the handler left in the packet holder. Without an input queue every turn
// hands over an empty holder and the loop paces itself so that a turn takes
// at least minSampleTime() seconds.
//
// Two modes, fixed at construction:
//  - pre-emptive (coop false): the loop runs on a thread of its own, blocks
//    on the input queue while it is empty and can be suspended between
//    packets (suspend(), resume()) through its "TaskSuspend" lock;
//  - cooperative (coop true): the loop runs as a cooperative task of the
//    thread that calls start(). It never blocks: on an empty queue it
//    yields, after each packet it lets the thread's other tasks run and,
//    with minSampleTime() set, suspends itself to pace its turns.
//
// Thread safety: start(), stop(), suspend(), resume() and the setters run on
// an owner thread, one call at a time; for a cooperative task that thread is
// the hosting one (the thread that called start()). The body runs on its own
// thread (pre-emptive) or among the hosting thread's tasks (cooperative).
// running(), shutdown() and the suspension request are atomic flags, each
// written by one side and polled by the other. out() and minSampleTime() are
// read afresh every turn and may be changed while the task runs; in() is
// read once when the body begins.
//
// Ownership: the task does not own its queues; both must outlive the running
// body. Packets pass from the input queue into the holder handed to the
// handler; what the handler leaves there is deleted after it returns.
//
// Lifetime: stop the task before its derived part is destroyed (in the
// derived destructor at the latest): the base destructor's own stop() can
// only reach the base hooks. A pre-emptive stop() gives up after 10 seconds
// (logging "%s waiting for too long") when the body does not end, leaving the
// body to end by itself; the base destructor then waits for it to let go of
// the object rather than free memory under it (see ~ZtQueueTask).
//
// The cooperative take uses no gate, ignores `paused` and leaves the queue's
// `count` alone, so feed a cooperative task from an unbounded queue
// (capacity 0): on a bounded one `count` only grows, and producers would wait
// for room for good once `capacity` packets had passed.
struct ZKFLOW_EXPORT ZtQueueTask {
  ZKFLOW_HEAP_OBJECT

  using Queue = zk::MTQueue<zk::AP<ZtQueuePacket>>;

  explicit ZtQueueTask(bool coop);
  // Copies every field except the run state (running, shutdown, the
  // suspension request), which belongs to the body running on the source:
  // a copy starts idle. The copy shares the source's "TaskSuspend" lock, so
  // at most one of a task and its copies may be started at a time.
  ZtQueueTask(const ZtQueueTask& o);
  ZtQueueTask& operator=(const ZtQueueTask& o);
  // Stops the task, then releases the suspension lock. A pre-emptive body
  // that stop() gave up on is first told to leave (woken if it waits on a
  // paused queue or in a suspension) and waited for: freeing the object
  // under it would be a use after free. A handler that never returns
  // therefore holds up the destructor as well.
  virtual ~ZtQueueTask();

  // Handles one turn on the task's own thread (or cooperative task).
  // `packet` holds the packet taken from the input queue, or is empty (no
  // input queue, or the wake-up that stop() posts). The handler may take the
  // packet out of `packet` (to push it on `out`, say); whatever it leaves
  // there is deleted after it returns. `out` is the output queue, or null.
  virtual void taskHandlePacket(zk::AP<ZtQueuePacket>& packet, Queue* out) = 0;
  // The task's name, for the log. Must stay valid while the task lives.
  virtual const char* taskName() = 0;
  // Called on the caller's thread by start() once the body runs; false makes
  // start() stop the task again. Default: true.
  virtual bool taskStart();
  // Called first thing on the task's own thread. Default: nothing.
  virtual void taskInit();
  // Called last thing on the task's own thread. Default: nothing.
  virtual void taskExit();
  // Called by stop() on the caller's thread right after shutdown is set.
  // Default: nothing.
  virtual void taskStop();

  // Starts the body and returns once it runs (and taskStart() agreed); true
  // when the task is running. True at once when it already runs. False when
  // the task could not be created, while a body that an earlier stop()
  // gave up on is still running on this object, and when the input queue
  // already feeds another running task (a queue has one consumer): that is
  // logged as "<name> not started: its input queue already has a running
  // consumer".
  bool start();
  // Asks the body to end after its current turn and waits for it (not when
  // called from the body itself). Always true. Once stop() has begun, a body
  // that is suspended or between turns hands nothing more to the handler; a
  // body waiting for input is woken by an empty packet, which its handler
  // receives once.
  bool stop();
  // stop(), giving up the wait after `seconds`: true when the body has
  // ended. Otherwise logs "<name> did not stop within <seconds> s:
  // <waitingAt()>" and returns false, as a stop() that gives up after its 10
  // seconds would (running() reads false, start() refuses until the body has
  // ended, and the destructor waits for it, see ~ZtQueueTask). A later
  // stopWithin() waits for that body again. A cooperative body runs on the
  // calling thread's turns, so there a stopWithin() is a stop(); called from
  // the body itself, it asks and returns false.
  bool stopWithin(double seconds);
  // Where the body is now, as a static string: "not running", "waiting for
  // input", "in taskHandlePacket", "suspended", "pacing sleep", ... Any
  // thread; what the body last stored.
  const char* waitingAt() const { return where_.load(std::memory_order_relaxed); }
  // Pre-emptive: the body waits before its next turn until resume().
  // Cooperative: the task is not scheduled until resume().
  // resume() must follow a suspend(): a pre-emptive resume() without one lets
  // the next suspension pass without waiting.
  void suspend();
  void resume();

  bool shutdown() const { return shutdown_.load(std::memory_order_acquire); }
  bool running() const { return running_.load(std::memory_order_acquire); }
  bool coop() const { return coop_; }
  // Whether a suspension has been asked for and not yet taken up (pre-emptive)
  // or lifted (cooperative).
  bool suspended() const { return suspended_.load(std::memory_order_acquire); }
  unsigned long taskId() const { return taskId_; }
  // Processor time used by a cooperative body so far (0 for pre-emptive).
  // REQUIRES: the hosting thread.
  Utils::Time runTime() { return runTime_; }

  Queue* in() const { return in_.load(std::memory_order_acquire); }
  void in(Queue* q) { in_.store(q, std::memory_order_release); }
  Queue* out() const { return out_.load(std::memory_order_acquire); }
  void out(Queue* q) { out_.store(q, std::memory_order_release); }
  float minSampleTime() const { return minSampleTime_.load(std::memory_order_relaxed); }
  void minSampleTime(float s) { minSampleTime_.store(s, std::memory_order_relaxed); }
  // Take effect at the next start().
  void priority(int p) { priority_ = p; }
  void affinityMask(unsigned int m) { affinityMask_ = m; }
  // A pre-emptive task's thread of its own or the worker pool
  // (zkflow/host/executor.h); zkflow::defaultExecutor() at construction,
  // taking effect at the next start(). A cooperative task always runs on the
  // thread that starts it.
  zkflow::Executor executor() const { return executor_; }
  void executor(zkflow::Executor e) { executor_ = e; }

  // The input queue's statistics, or 0 without an input queue.
  Utils::Time maxLatency() const;
  Utils::Time maxWaitTime() const;

 protected:
  ZKFLOW_INTERNAL void init();
  // Called by stop(): waits for the body to end. See the .cpp for the modes.
  void wait();

  // The task bodies, in the system layer's entry convention; `arg` is the
  // ZtQueueTask. Both return 0.
  static unsigned long queueTask(void* arg);
  static unsigned long queueTaskCoop(void* arg);

  // How long a pre-emptive wait() yields before it gives up on the body:
  // 10 seconds. Tests shorten it to meet a stuck handler without a long wait.
  Utils::Time waitLimit;

 private:
  // The pre-emptive take: passes q's notEmpty gate and moves the first
  // packet into `holder`. False only when the destructor asks an abandoned
  // body to leave.
  ZKFLOW_INTERNAL bool _take(Queue* q, zk::AP<ZtQueuePacket>& holder);
  ZKFLOW_INTERNAL void copyFrom(const ZtQueueTask& o);

  bool coop_;
  std::atomic<bool> running_;
  std::atomic<bool> shutdown_;
  uint32_t taskId_;
  unsigned int affinityMask_;
  int priority_;
  zkflow::Executor executor_;
  Utils::Time runTime_;
  std::atomic<Queue*> in_;
  std::atomic<Queue*> out_;
  std::atomic<float> minSampleTime_;
  Utils::Time sampleStartTime_;
  std::atomic<bool> suspended_;
  uint32_t startEvent_;
  zk::Lock suspendLock;

  // Bookkeeping of the body that runs on this object; not copied.
  // `bodyActive_` is set before the body is created and cleared as the
  // body's very last touch of the object: start() and the destructor wait
  // for it. `gaveUp_` records that wait() gave up on the body. `leaving_`
  // tells such a body that the object is going away: it ends without
  // calling taskExit(), and a take wakes up to let it end. `bodyQueue_` is
  // the queue the body takes from.
  std::atomic<bool> bodyActive_{false};
  std::atomic<bool> gaveUp_{false};
  std::atomic<bool> leaving_{false};
  std::atomic<Queue*> bodyQueue_{nullptr};
  // See waitingAt(); stored by the body, relaxed.
  std::atomic<const char*> where_{"not running"};

  // Lets go of the queue the body took from (see MTQueue::consumer).
  void releaseQueue();
  // Posts the empty packet that wakes a body waiting for input (when the
  // queue has room).
  void postWakeUp();
  // Waits up to `seconds` for the body to let go of the object.
  bool waitBody(double seconds);
};
