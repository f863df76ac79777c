// SPDX-License-Identifier: Apache-2.0
// Flow units and flow tasks: the nodes of a flow graph and the loop that
// drives each of them.
//
// ZtFlowUnit   the abstract node: a table of up to four input flows (it is
//              their consumer) and four output flows (it is their producer),
//              four state flags, and the two adapters through which a flow
//              asks its producer whether to wake it or put it to sleep.
// ZtFlowTask   a unit that runs a loop on a task (thread) of its own. Each
//              cycle it reads one packet from every input, cuts them to a
//              common size, hands them to its derived class
//              (taskHandleFlow), writes what comes back to its outputs, and,
//              when clock regulated, paces itself against ZtClock so that its
//              output stays about one measured latency ahead of real time.
//
// A host derives its own tasks from ZtFlowTask and supplies taskHandleFlow,
// taskRateInfo and taskName; the other task* hooks have defaults.
//
// Threads:
//  - The loop runs on the task that start() creates. taskInit, taskHandleFlow,
//    taskFlush and taskStop are called there, and only there.
//  - Host threads call start, stop, seek, addInput, immortal, the setters and
//    the destructor. stop() and the destructor wait for the loop to end; the
//    destructor must never run on the loop's own task (stop() there only asks
//    the loop to end).
//  - wakeTest() runs on the thread of the consumer of an output flow (when it
//    reads), sleepTest() on the task's own thread (when it appends).
//  - The flags (shutdown, done, running, started), the input table and its
//    count, flowPosIn, resetClocks, immortal, virtualInput and clockRegulated
//    are atomics: they are polled across threads. done is stored with
//    release order as the loop's last word about the task, so whoever sees it
//    set (acquire) also sees everything the loop did before, positions and
//    statistics included.
//  - Outputs are attached before start() and are then constant; everything
//    else that is not atomic belongs to the loop while it runs (read it from
//    another thread only after done).
//
// Input flows: the loop cuts what it reads to the chunk and to the shortest
// packet of the work step, and reads the rest of a cut packet at the next
// step. A flow with readRemovesPacket set lets go of the whole packet at the
// first read, so the rest of a cut one is lost: set it only where every
// packet fits one work step of its consumer.
//
// Field names: a field carries a trailing underscore where an accessor of the
// same name exists (shutdown_ behind shutdown()).
//
// Ownership: units never own their flows, and flows never own their units.
// A unit that is destroyed clears its pointer in each flow it is attached to.
// A packet handed to an emit function is owned by the output flow afterwards
// (a packet made only to be emitted starts with no reference); the input
// packets given to taskHandleFlow belong to the loop, which drops them.
#pragma once

#include <atomic>
#include <cstdint>

#include "zkflow/host/allocator.h"
#include "zkflow/host/executor.h"
#include "zkflow/host/export.h"
#include "zkflow/host/lock.h"
#include "zkflow/host/time.h"
#include "zkflow/flow/flowpacket.h"
#include "zkflow/flow/flowrequestrate.h"
#include "zkflow/flow/latency.h"

struct ZtFlow;
struct ZtFlowBase;
struct ZtFlowTask;
namespace zkflow {
struct StageProbe;
}

// Puts a packet on output `i` of a task. Called on the task's own thread. The
// packet's position is relative to the output's current position (0 places
// it right there); the output flow takes its own reference.
typedef void (*ZtFlowEmitFn)(ZtFlowTask* task, unsigned int i, ZtFlowPacket* packet);

// The abstract node of a flow graph.
//
// Thread safety: the accessors are plain loads and stores (atomic where the
// field is polled across threads, see the top of this file); they do not
// lock and do not link flows. Attaching is ZtFlowTask::addInput/addOutput.
struct ZKFLOW_EXPORT ZtFlowUnit {
  ZKFLOW_HEAP_OBJECT

  static const unsigned int kMaxFlows = 4;

  // The unit has been told to stop; its loop ends at the next check.
  std::atomic<bool> shutdown_;
  // The unit's loop has ended.
  std::atomic<bool> done_;
  // The unit's loop is running.
  std::atomic<bool> running_;
  // start() has been called and not undone by stop().
  std::atomic<bool> started_;
  // Used entries of `inputs` (entries below it may be null: holes).
  std::atomic<unsigned int> inputCount_;
  // Used entries of `outputs_`.
  unsigned int outputCount_;
  // Input flows (this unit is their consumer). Changed by addInput on a host
  // thread while the loop reads them, hence atomic.
  std::atomic<ZtFlow*> inputs[kMaxFlows];
  // Output flows (this unit is their producer). Attached before start().
  ZtFlow* outputs_[kMaxFlows];

  // Every flag false, both counts 0, every flow pointer null.
  ZtFlowUnit();
  // Copies the flags, counts and both tables as they are. The flows are not
  // told: the copy is neither their consumer nor their producer.
  ZtFlowUnit(const ZtFlowUnit& o);
  ZtFlowUnit& operator=(const ZtFlowUnit& o);
  // Clears this unit's pointer in every flow of its tables that still points
  // back at it (holes are skipped; a copy's shared tables are left alone).
  virtual ~ZtFlowUnit();

  virtual const char* name() const;
  // Asked by an output flow whether its waiting producer may go on. A plain
  // unit always says yes and never asks to sleep.
  virtual bool wakeTest() const;
  virtual bool sleepTest() const;
  virtual bool start() = 0;
  virtual void stop() = 0;
  // A plain unit cannot seek.
  virtual bool seek(unsigned int pos);
  virtual void flush();

  unsigned int inputCount() const { return inputCount_.load(std::memory_order_acquire); }
  void inputCount(unsigned int n) { inputCount_.store(n, std::memory_order_release); }
  unsigned int outputCount() const { return outputCount_; }
  void outputCount(unsigned int n) { outputCount_ = n; }
  bool shutdown() const { return shutdown_.load(std::memory_order_acquire); }
  void shutdown(bool b) { shutdown_.store(b, std::memory_order_release); }
  bool done() const { return done_.load(std::memory_order_acquire); }
  void done(bool b) { done_.store(b, std::memory_order_release); }
  bool running() const { return running_.load(std::memory_order_acquire); }
  void running(bool b) { running_.store(b, std::memory_order_release); }
  bool started() const { return started_.load(std::memory_order_acquire); }
  void started(bool b) { started_.store(b, std::memory_order_release); }

  // The flow at index i, or null. An index of 4 or more names no entry: the
  // getters return null and the setters store nothing. The setters only
  // store the pointer; they change neither the count nor the flow.
  ZtFlow* input(unsigned int i) const;
  void input(unsigned int i, ZtFlow* flow);
  ZtFlow* output(unsigned int i) const;
  void output(unsigned int i, ZtFlow* flow);

  // The output table. ZtFlow derives from ZtFlowBase alone, so each entry is
  // also the address of the flow's list.
  ZtFlowBase** outputs();

  // The adapters a flow calls, with the producing unit as the argument.
  static bool wakeTestFn(void* unit);
  static bool sleepTestFn(void* unit);

 private:
  ZKFLOW_INTERNAL void init();
  ZKFLOW_INTERNAL void copyFrom(const ZtFlowUnit& o);
};

// A flow unit with a loop of its own. See the top of this file for threads
// and ownership.
//
// Lifecycle:  new -> start() -> starting -> running (the loop has run
// taskInit) -> ended by itself (all inputs ended, not immortal: started stays
// set) or stopped (stop(): started cleared). A task that ended by itself is
// started again only after started(false).
//
// REQUIRES: a derived class calls stop() in its own destructor. By the time
// ~ZtFlowTask runs, the derived part is gone, and a loop still running would
// call into it.
struct ZKFLOW_EXPORT ZtFlowTask : ZtFlowUnit {
  // First 8 characters of taskName(), stored by name() the first time; not
  // terminated when the name has 8 characters or more.
  mutable char shortName[8];
  // Per input: the position the loop reads next. Atomic because seek() and
  // addInput() write it from host threads.
  std::atomic<unsigned int> flowPosIn_[kMaxFlows];
  // Per output: where the next emitted packet is placed. The loop's own.
  unsigned int flowPosOut_[kMaxFlows];
  // The chunk of a cycle is raised to a multiple of it: a power of two; 1
  // means no rounding. start() refuses anything else.
  unsigned int granularity_;
  // Identifier of the running task, written by ZIF_CreateTask.
  uint32_t taskId;
  // Offered as input 0 in virtual-input mode: markup VirtualInput, no stored
  // packet. The loop sets its position and size every work step.
  ZtFlowDataPacket vInPacket_;
  // Latency of the task's cycles (strategy FourSigma). The loop's own.
  ZtLatencyStats latency_;
  // An empty packet for derived classes; the loop does not use it.
  ZtFlowPacket nullPacket_;
  // What this task requests of its inputs; filled by taskRateInfo at start,
  // duration and rate renewed every cycle.
  ZtFlowRequestRate rateInfo_;
  std::atomic<bool> clockRegulated_;
  std::atomic<bool> immortal_;
  // The loop takes a new clock base before its next work step.
  std::atomic<bool> resetClocks_;
  // No real inputs: the loop offers vInPacket as its one input.
  std::atomic<bool> virtualInput_;
  // Clock time and flowPosOut[0] at the last clock reset. Atomic so that a
  // host may watch a running task re-base its clock.
  std::atomic<int64_t> baseClockTime_;
  std::atomic<unsigned int> flowPosBase_;
  // Guards the input table and its count between addInput and the loop.
  ZtSpinLock channelLock_;
  // The lock an immortal task idles on ("FlowTask wait"); empty otherwise.
  // Replaced only under guard_ (see wait()).
  zk::Lock waitLock;
  unsigned int affinityMask_;
  int priority_;
  // Where start() runs the loop; zkflow::defaultExecutor() at construction.
  zkflow::Executor executor_;

  ZtFlowTask();
  // The defaults, then `inputs` ZtFlow* arguments given to addInput and
  // `outputs` ZtFlow* arguments given to addOutput. A null pointer is
  // skipped but still counts as one of the announced arguments.
  ZtFlowTask(unsigned int inputs, unsigned int outputs, ...);
  // Member by member; the wait lock is shared with the source. The flows are
  // not told, and a copy has no loop of its own: stop() on it returns at once.
  ZtFlowTask(const ZtFlowTask& o);
  ZtFlowTask& operator=(const ZtFlowTask& o);
  // stop(), then waits for the loop's last instructions, releases the wait
  // lock; ~ZtFlowUnit detaches the flows.
  ~ZtFlowTask() override;

  // taskName(); fills shortName the first time.
  const char* name() const override;
  // On output 0 alone, let buffered be the back-to-back data from the
  // position its consumer last read. wakeTest: buffered <= dataRate x
  // max(latency, durationMin) (true without outputs). sleepTest: buffered >
  // dataRate x durationMax (false without outputs or when durationMax <= 0).
  // Each passes its answer through taskWakeTest/taskSleepTest.
  bool wakeTest() const override;
  bool sleepTest() const override;

  // Asks taskRateInfo for the request, creates the loop's task and waits,
  // yielding, until the loop runs; then taskStart() decides. False when
  // already started, when the request cannot drive a loop (see below), when
  // the task cannot be created, or when taskStart() refuses (after a stop()).
  //
  // Refused with a log line in category "flow": a granularity that is not a
  // power of two (0 included; the chunk is rounded with a mask), a duration
  // and durationMin both 0 or negative (the chunk and the rate divide by the
  // duration), a clock-regulated task with a data rate of 0 (pacing divides
  // by it).
  bool start() override;
  // Sets shutdown, frees the loop from every wait of its own (the wait lock,
  // a blocked input read, an emit waiting at an output's gate, the pacing
  // sleep) and waits until done; clears started. Does nothing when the loop
  // is not running. An emit is freed without loss: the packet is in the
  // output flow before its producer waits, and from then on the loop waits
  // for no consumer, so a task whose consumer stopped reading, was stopped
  // first or never started still stops. Only a hook of the derived class
  // that does not return holds stop() up; after 10 s of that it logs once
  // "<name> still stopping after 10 s: <waitingAt()>" and goes on waiting.
  // Called from one of the task's own hooks it only sets shutdown (it
  // cannot wait for itself); the loop ends after the hook returns.
  void stop() override;
  // stop(), giving up the wait after `seconds`. True when the loop has
  // ended (or was not running). Otherwise logs "<name> did not stop within
  // <seconds> s: <waitingAt()>" and returns false: the loop has been told to
  // stop and ends on its own once its hook returns; started() stays set
  // until then, and stop(), stopWithin() or start() afterwards find it
  // ended. The task must not be destroyed while its loop runs: its
  // destructor (and the stop() a derived destructor calls) waits for the
  // loop as stop() does, logging where it waits, rather than free the object
  // under it. From the task's own hook: asks the loop to end and returns
  // false.
  bool stopWithin(double seconds);
  // Where the loop is now, for reports of a task that does not stop in
  // time: a static string such as "not running", "reading input 2",
  // "emitting to output 0", "in taskHandleFlow", "pacing sleep",
  // "idle (immortal)", "backing off" (steps that produce nothing, see the
  // loop). Any thread; a relaxed load of what the loop last stored, so the
  // loop may already have moved on.
  const char* waitingAt() const { return where_.load(std::memory_order_relaxed); }
  // taskSeek may move or refuse the position. Sets flowPosIn[0], asks for a
  // clock reset and kicks the inputs. Other positions are kept.
  bool seek(unsigned int pos) override;
  using ZtFlowUnit::flush;
  // taskFlush(emit), then a Flush marker on every output.
  void flush(ZtFlowEmitFn emit);
  // One new Flush data packet (size 1, no stored packet) per output, each
  // passed to emit.
  void emitFlush(ZtFlowEmitFn emit);

  // Attaches a flow as an input: reuses the first hole, else takes the next
  // index; false when four are in use (or for null). The input is read from
  // position 0. While the loop runs, only an immortal task takes a new input
  // (an idle one wakes up to read it); a running task that is not immortal
  // refuses with "<name> addInput refused: the task is running and not
  // immortal".
  bool addInput(ZtFlow* flow);
  // Attaches a flow as an output and hangs this unit's wake and sleep tests
  // on it. False when four are in use (or for null). Before start() only:
  // a started task refuses with "<name> addOutput refused: the task is
  // started" (the loop reads its outputs without a lock).
  bool addOutput(ZtFlow* flow);

  // What an output does when its consumer falls behind. Set before start().
  //  - Trim, the default: an output other than 0 holds at most twice
  //    durationMax at the data rate ahead of where its consumer last read
  //    (the window); each cycle the loop trims what lies beyond it. What a
  //    trim removes is lost to that consumer: it is counted in
  //    overrunBytes(), logged once per overrun episode ("<name> output <j>
  //    overrun: dropped <n> bytes its consumer had not read"; the episode
  //    ends at a cycle that drops nothing), and the consumer's next read
  //    crosses the hole it left instead of waiting there. Output 0 holds its
  //    producer back at durationMax (the sleep and wake tests), so nothing
  //    there reaches the window and it is never trimmed ahead.
  //  - Block: lossless. The producer also sleeps while this output's
  //    consumer has more than durationMax ahead and wakes as for output 0,
  //    so a slow consumer slows the producer instead of losing data, and
  //    what the output holds stays within durationMax and one emit.
  // With durationMax 0 or less the task asked for no bound: nothing is
  // trimmed ahead and nothing blocks, whatever the policy (a window of 0
  // would drop the unread rest of every chunk).
  enum class OutputPolicy { Trim, Block };
  // Index 4 or more, or a started task: refused with "<name> outputPolicy
  // refused: ..." and nothing changes.
  void outputPolicy(unsigned int output, OutputPolicy policy);
  // Trim for an index of 4 or more.
  OutputPolicy outputPolicy(unsigned int output) const;
  // Bytes that the Trim policy has dropped from an output before its
  // consumer read them, since construction. Any thread; 0 for an index of
  // 4 or more.
  uint64_t overrunBytes(unsigned int output) const;

  // The standard emit function: the output flow's blocking append at
  // flowPosOut[i], which advances flowPosOut[i] past the packet and may wait
  // while the consumer has more than durationMax of data ahead. A packet for
  // an index with no flow is dropped (deleted if nobody holds it).
  static void flowEmitter(ZtFlowTask* task, unsigned int i, ZtFlowPacket* packet);
  // The loop; handed to ZIF_CreateTask by start(), never called directly.
  static unsigned long flowTaskBody(void* task);

  // Immortal mode: with no inputs left the loop idles on the wait lock
  // instead of ending, until addInput, stop() or immortal(false). true makes
  // a new locked "FlowTask wait" lock (once); false releases and drops it.
  bool immortal() const { return immortal_.load(std::memory_order_acquire); }
  void immortal(bool b);

  // Fold a duration or a sample into the statistics. The statistics belong
  // to the loop: call these from the task's own hooks, or while it does not
  // run. The same holds for reading latency().
  void addLatencySample(Utils::Time t);
  void addLatencySample(const ZtLatencySample& s);

  // Accessors. Setters are plain stores; set before start() what the loop
  // reads without being atomic. An index of 4 or more reads 0 (null for the
  // address) and stores nothing.
  unsigned int flowPosIn(unsigned int i) const;
  std::atomic<unsigned int>& flowPosIn(unsigned int i);
  void flowPosIn(unsigned int i, unsigned int v);
  unsigned int flowPosOut(unsigned int i) const;
  unsigned int* flowPosOutAddr(unsigned int i);
  void flowPosOut(unsigned int i, unsigned int v);
  unsigned int flowPosBase() const { return flowPosBase_.load(std::memory_order_acquire); }
  void flowPosBase(unsigned int v) { flowPosBase_.store(v, std::memory_order_release); }
  unsigned int granularity() const { return granularity_; }
  void granularity(unsigned int g) { granularity_ = g; }
  bool clockRegulated() const { return clockRegulated_.load(std::memory_order_acquire); }
  void clockRegulated(bool b) { clockRegulated_.store(b, std::memory_order_release); }
  bool resetClocks() const { return resetClocks_.load(std::memory_order_acquire); }
  void resetClocks(bool b) { resetClocks_.store(b, std::memory_order_release); }
  bool virtualInput() const { return virtualInput_.load(std::memory_order_acquire); }
  void virtualInput(bool b) { virtualInput_.store(b, std::memory_order_release); }
  Utils::Time baseClockTime() const {
    return Utils::Time::fromRaw(baseClockTime_.load(std::memory_order_acquire));
  }
  void baseClockTime(Utils::Time t) { baseClockTime_.store(t.raw(), std::memory_order_release); }
  unsigned int affinityMask() const { return affinityMask_; }
  void affinityMask(unsigned int m) { affinityMask_ = m; }
  int priority() const { return priority_; }
  void priority(int p) { priority_ = p; }
  // A thread of its own or the worker pool (zkflow/host/executor.h); takes
  // effect at the next start(). A task that blocks in the operating system
  // (file or device I/O) wants Executor::Thread.
  zkflow::Executor executor() const { return executor_; }
  void executor(zkflow::Executor e) { executor_ = e; }
  const ZtLatencyStats& latency() const { return latency_; }
  // The latency figure (latency().latency()) as the loop last published it.
  // Unlike latency(), safe to read from any thread while the loop runs.
  Utils::Time latencyFigure() const {
    return Utils::Time::fromRaw(wakeLatency_.load(std::memory_order_acquire));
  }
  // How many "Flow Dropout" reports this task has logged. Any thread.
  unsigned int dropouts() const { return dropouts_.load(std::memory_order_relaxed); }
  ZtFlowRequestRate& rateInfo() { return rateInfo_; }
  ZtFlowDataPacket& vInPacket() { return vInPacket_; }
  ZtFlowPacket& nullPacket() { return nullPacket_; }
  ZtSpinLock& channelLock() { return channelLock_; }

  // The derived class's hooks; see flowTaskBody in flowtask.cpp for when
  // the loop calls each.
  //
  // taskHandleFlow(inCount, outCount, in, emit): in[k] (k < inCount) is the
  // packet of input k cut to this work step's common size, or null for a
  // hole; in virtual-input mode inCount is 1 and in[0] is vInPacket (the
  // handler may clipSize it to say how much it used). Results go out through
  // emit; the return value advances every output in addition (0 when the
  // emits have advanced them). The handler must not drop the inputs.
  virtual unsigned int taskHandleFlow(unsigned int inCount, unsigned int outCount,
                                      ZtFlowPacket** in, ZtFlowEmitFn emit) = 0;
  // After the loop runs; false makes start() stop the task and fail.
  virtual bool taskStart();
  // On the loop's task, before running is set.
  virtual void taskInit();
  // On the loop's task, after EndOfFlow went out on every output.
  virtual void taskStop();
  // Fills the request; on the caller of start(), before the task exists.
  virtual void taskRateInfo(ZtFlowRequestRate& r) = 0;
  virtual bool taskSleepTest(bool answer) const;
  virtual bool taskWakeTest(bool answer) const;
  // May change the position; false refuses the seek.
  virtual bool taskSeek(unsigned int& pos);
  virtual const char* taskName() const = 0;
  // A Flush marker arrived; emitted packets go out before the Flush markers.
  virtual void taskFlush(ZtFlowEmitFn emit);

 protected:
  // Wakes the consumer side of every input: frees a loop blocked in a read.
  void kick();
  // Blocks on the wait lock until unwait(); returns at once without one.
  void wait();
  void unwait();

 private:
  ZKFLOW_INTERNAL void init();
  ZKFLOW_INTERNAL void copyFrom(const ZtFlowTask& o);
  // Refreshes the latency figure that wakeTest() reads on other threads.
  ZKFLOW_INTERNAL void noteLatency();
  // Whether the request can drive a loop; logs why not.
  ZKFLOW_INTERNAL bool validRequest();
  // The duration of the loop's cycles once under way: duration, never less
  // than durationMin.
  ZKFLOW_INTERNAL int64_t steadyDuration() const;
  ZKFLOW_INTERNAL void publishRequest();
  // The loop and its pieces, on the loop's task.
  ZKFLOW_INTERNAL void run();
  // One work step; false at shutdown. `advanced`: the step moved an output,
  // or a real input (a virtual input is no stream of its own).
  ZKFLOW_INTERNAL bool workStep(ZtFlowPacket** table, unsigned int chunk, bool& sampleValid, bool& advanced);
  ZKFLOW_INTERNAL void detachInput(unsigned int i);
  ZKFLOW_INTERNAL void sleepUntil(Utils::Time wake);
  // Waits for the loop's task to leave flowTaskBody.
  ZKFLOW_INTERNAL void waitLoopGone() const;
  // Asks the loop to end and frees it from its waits (see stop()).
  ZKFLOW_INTERNAL void askToStop();
  // Waits for done, repeating the wake-ups now and then; gives up after
  // `seconds` (never when negative). True when done.
  ZKFLOW_INTERNAL bool waitDone(double seconds);
  // Opens the producer's gate of every output that the loop waits at.
  ZKFLOW_INTERNAL void releaseOutputs();
  // Trims the outputs before a cycle (see the loop).
  ZKFLOW_INTERNAL void trimOutputs();
  // Whether output j is there and its consumer has asked for something: its
  // position in `r`.
  ZKFLOW_INTERNAL bool trimsFromConsumer(unsigned int j, unsigned int& r);
  // Backs off after a step or cycle that advanced nothing (see the loop).
  ZKFLOW_INTERNAL void backOff(unsigned int& idle);
  // Whether `f`, or a Block output, has more than `bound` (raw time x data
  // rate) ahead of its consumer; asked on the producer's thread.
  ZKFLOW_INTERNAL static bool over(ZtFlow* f, int64_t bound);
  ZKFLOW_INTERNAL bool blockedOver(int64_t bound) const;
  // The window of a Trim output, in positions (see outputPolicy).
  ZKFLOW_INTERNAL unsigned int windowSpan() const;
  // Wakes a start() waiting for the loop (see loopSignal_).
  ZKFLOW_INTERNAL void signalLoop();

  // latency_.latency() as last computed on the loop's thread. wakeTest()
  // runs on a consumer's thread and must not read the statistics while the
  // loop adds to them.
  std::atomic<int64_t> wakeLatency_;
  // Late cycles reported so far, for hosts that show them while the graph runs.
  std::atomic<unsigned int> dropouts_{0};
  // Set by start() before the task is created and cleared by the loop as its
  // very last store: after it, the loop touches nothing of the task. The
  // destructor waits for it, since stop() returns at once in the window
  // between the loop clearing running and setting done.
  std::atomic<bool> loopAlive_;
  // Counts the loop's signals to start(): running set, or done set by a loop
  // that ended at once. start() sleeps on it.
  std::atomic<uint32_t> loopSignal_{0};
  // Guards the waitLock handle (replaced by immortal() while the loop may be
  // copying it) and the first filling of shortName.
  mutable ZtSpinLock guard_;
  // Where out-of-range flowPosIn(i) references point, so that they never
  // reach past the table.
  std::atomic<unsigned int> posScratch_;
  // The EndOfFlow markers of the loop's end, one per output, made by start()
  // before the loop exists, which also has each output flow keep a node in
  // reserve for them. The end must reach every consumer, or a pipeline
  // stopped at its source never winds down; made only at the end, a marker
  // would be lost whenever memory ran short just then. Handed to the loop
  // with the task's creation, freed by the destructor if unused; a copy
  // starts without any.
  ZtFlowPacket* endMarkers_[kMaxFlows] = {};
  ZKFLOW_INTERNAL bool reserveEndMarkers();

  // Output policies, set before start. blockMask_ has bit j set for an
  // output j >= 1 whose policy is Block; the tests read it on consumer
  // threads, hence atomic.
  OutputPolicy policy_[kMaxFlows] = {};
  std::atomic<unsigned int> blockMask_{0};
  // Unread bytes the Trim policy dropped per output, and whether the loop's
  // last trim of that output dropped any (an overrun episode is under way).
  std::atomic<uint64_t> overrun_[kMaxFlows] = {};
  bool overrunning_[kMaxFlows] = {};
  // See waitingAt(). Stored by the loop only, relaxed.
  std::atomic<const char*> where_{"not running"};
  // Packets flowEmitter has put out, counted on the loop's thread: how a
  // work step tells that it produced something (see the back-off).
  unsigned int emits_ = 0;
  // A stop was asked (stop(), stopWithin()): the loop's end then leaves the
  // task stopped (started cleared) rather than ended by itself.
  std::atomic<bool> stopAsked_{false};
  // The name the loop began with, for the lines that stop() logs: by then
  // the derived part may be gone (a destructor's stop()), and taskName()
  // with it. Written before the loop runs.
  std::atomic<const char*> loopName_{nullptr};

  // What the loop tells the stage metrics and the trace (zkflow/metrics.h,
  // zkflow/trace.h). Made by the first start() that finds memory for it (a
  // task without one runs unobserved), freed by the destructor; a copy
  // starts without one. Atomic: a snapshot reads it from any thread.
  friend struct zkflow::StageProbe;
  std::atomic<zkflow::StageProbe*> probe_{nullptr};
};
