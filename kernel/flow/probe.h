// SPDX-License-Identifier: Apache-2.0
// What a flow task's loop tells about itself while it runs: the stage
// metrics that zkflow/metrics.h reads, and the events that the trace
// recorder (zkflow/trace.h) writes. The kernel's only view of either.
//
// StageProbe   one per flow task, made by its first start() and freed with
//              it. The loop calls its hooks at the points it instruments;
//              each hook costs one test while neither metrics nor a trace
//              is on.
// GateWait     times a wait at a flow's gate on the thread that waits, for
//              the stage whose loop runs there.
// HandlerTrace a queue task's handler calls, as trace events.
//
// Thread safety: the hooks run on the loop's own thread and nowhere else;
// what they publish (the atomics under "Readers") is written by that thread
// alone, with relaxed stores, and may be read from any thread, also with
// relaxed loads: each figure is whole, and figures read one after another
// may come from different moments.
//
// Time is kept in raw ticks (host/ticks.h) and converted only when read.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/ticks.h"
#include "host/tracebuf.h"
#include "zkflow/host/allocator.h"
#include "zkflow/flow/flowpacket.h"

struct ZtFlow;
struct ZtFlowTask;
struct ZtQueueTask;

namespace zkflow {

// Durations in ticks: the count, the sum and the largest of every value
// noted, and a histogram of those also added, on a logarithmic scale of
// eight buckets an octave, so that a percentile is known to within an eighth
// of an octave (about 9 %). Values of 2^40 ticks (some minutes) and more
// share the last octave.
class TickHistogram {
 public:
  static constexpr unsigned kSub = 8;
  static constexpr unsigned kBuckets = 38 * kSub;

  // One writer.
  void note(uint64_t v) {
    bump(count_, 1);
    bump(sum_, v);
    if (v > max_.load(std::memory_order_relaxed)) max_.store(v, std::memory_order_relaxed);
  }
  void add(uint64_t v) {
    note(v);
    bump(buckets_[bucket(v)], 1);
  }

  // Any reader.
  uint64_t count() const { return count_.load(std::memory_order_relaxed); }
  uint64_t sum() const { return sum_.load(std::memory_order_relaxed); }
  uint64_t max() const { return max_.load(std::memory_order_relaxed); }
  // The smallest bucket edge that a fraction q of the values added do not
  // exceed, no more than the largest value noted; 0 without any.
  uint64_t quantile(double q) const;

  // A single writer adds with a load and a store: no locked instruction.
  static void bump(std::atomic<uint64_t>& a, uint64_t by) {
    a.store(a.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
  }

 private:
  static unsigned bucket(uint64_t v) {
    if (v < kSub) return static_cast<unsigned>(v);
    if (v >= (uint64_t{1} << 40)) v = (uint64_t{1} << 40) - 1;
    const unsigned msb = 63u - static_cast<unsigned>(__builtin_clzll(v));
    return (msb - 2) * kSub + static_cast<unsigned>((v >> (msb - 3)) & (kSub - 1));
  }
  static uint64_t upperEdge(unsigned b);

  std::atomic<uint64_t> count_{0};
  std::atomic<uint64_t> sum_{0};
  std::atomic<uint64_t> max_{0};
  std::atomic<uint64_t> buckets_[kBuckets] = {};
};

struct StageProbe {
  ZKFLOW_HEAP_OBJECT

  static constexpr unsigned kInputs = 4;

  explicit StageProbe(ZtFlowTask* task) : task_(task) {}
  StageProbe(const StageProbe&) = delete;
  StageProbe& operator=(const StageProbe&) = delete;

  // Whether flow tasks started from now on keep metrics.
  static void enableMetrics(bool on);
  static bool metricsEnabled();
  // The probe of the loop that runs on the calling thread, or null. begin()
  // sets it on the loop's thread and end() clears it; a scheduler that runs
  // loops by turns on shared worker threads would set it at each turn.
  static StageProbe* current();
  // The task's probe, or null while it has none. Any thread.
  static const StageProbe* of(const ZtFlowTask* task);

  // ------------------------------------------------ the loop's hooks
  bool on() const { return metrics_ || trace::on(); }
  // Loop start and end. begin() settles whether this run keeps metrics.
  void begin();
  void end();
  // Before the handler: the packets of the work step. Packets the handler
  // emits without a stamp of their own get the oldest stamp among them, or
  // the step's start when none has one (a source's packets).
  void stepInputs(ZtFlowPacket* const* in, unsigned inCount);
  // After the handler and the advance, before the inputs are dropped: m
  // positions handled. The loop calls stepInputs, stepEnd and cycleEnd only
  // while on(): when nothing watches, a step costs it one test.
  inline void stepEnd(unsigned m, ZtFlowPacket* const* in, unsigned inCount);
  // `settled`: the loop did nothing since its last step but test whether
  // the cycle goes on (no back-off), so a trace may take that step's end
  // for the cycle's and read the clock once a step, not twice.
  inline void cycleEnd(bool settled);
  // Around the pacing sleep: sleepBegin() is 0 while nothing is on.
  uint64_t sleepBegin() const { return on() ? ticks() : 0; }
  void sleepEnd(uint64_t begun);
  // Around an immortal task's idle wait.
  uint64_t idleBegin() const { return on() ? ticks() : 0; }
  void idleEnd(uint64_t begun) { waited(begun, Wait::Idle, -1); }
  // A late cycle: `ahead` is the (negative) lateness in raw Utils::Time.
  void dropout(int64_t ahead);
  // A marker that arrived on input i of `task` ("flush", "end of flow").
  static void marker(ZtFlowTask* task, trace::Kind what, unsigned i);

  // Gives a packet that is emitted without a stamp the current step's
  // origin. On the loop's thread, where emits are made.
  static void stamp(const StageProbe* p, ZtFlowPacket* packet) {
    if (p && packet && p->metrics_ && packet->originTicks() == 0) packet->originTicks(p->origin());
  }

  enum class Wait { InputEmpty, OutputFull, Idle };
  void waited(uint64_t begun, Wait why, int index);
  // The index of `flow` among the task's inputs or outputs, or -1.
  int indexOf(const ZtFlow* flow, bool input) const;

  // ------------------------------------------------ readers
  // Whether the current (or last) run keeps metrics, and the data rate it
  // requested.
  std::atomic<bool> measured{false};
  std::atomic<unsigned int> dataRate{0};
  std::atomic<uint64_t> steps{0};
  std::atomic<uint64_t> cycles{0};
  std::atomic<uint64_t> bytes{0};
  // Steps that took longer than the data they handled lasts at the task's
  // data rate: the stage is slower than real time.
  std::atomic<uint64_t> slowSteps{0};
  // Ticks spent waiting, and the waits, by reason.
  std::atomic<uint64_t> inputWaitTicks{0};
  std::atomic<uint64_t> outputWaitTicks{0};
  std::atomic<uint64_t> idleTicks{0};
  std::atomic<uint64_t> inputWaits{0};
  std::atomic<uint64_t> outputWaits{0};
  // Busy time (waits at gates left out) of timed work steps and cycles, and
  // the end-to-end latency of the packets that timed steps handled. Every
  // one of a run's first kEveryStep steps (and cycles) is timed, then one in
  // kSampleEvery, unless the step before lasted 20 us or more, waits
  // included, and two more clock readings do not matter: on a stage that
  // hands a packet over in well under a microsecond, reading the clock costs
  // more than the rest of a step's figures together. Overruns are counted
  // among the timed steps.
  static constexpr uint64_t kEveryStep = 256;
  // The stamp of data made in a step that was not timed: it has no origin
  // to measure from, and passes that on (0 would have the next stage stamp it).
  static constexpr uint64_t kUntimed = 1;
  static constexpr unsigned kSampleEvery = 32;
  TickHistogram stepTime;
  TickHistogram cycleTime;
  TickHistogram latency;
  // The most bytes seen buffered ahead of this stage on each input, and
  // which inputs it has looked at (bit i: input i), ended ones included.
  std::atomic<uint64_t> mostBuffered[kInputs] = {};
  std::atomic<uint32_t> inputsSeen{0};

 private:
  // The end of a step or cycle that is timed or comes before a timed one.
  void stepMore(unsigned m, ZtFlowPacket* const* in, unsigned inCount);
  void cycleMore();
  // The same while only a trace watches: a span per step and per cycle.
  // The common case records and returns with no call but the append;
  // the rest (a new session, a first event) takes the rare paths.
  void traceStep(unsigned m);
  void traceCycle(bool settled);
  __attribute__((noinline, cold)) void traceRare(trace::Kind what, uint32_t session, uint64_t from, uint64_t now,
                                                 int32_t arg);
  // Makes the running totals below visible to readers.
  void publish();
  void sampleInputs();
  uint32_t track(uint32_t session);
  // An event of the task's track in the current session, if one runs.
  void span(trace::Kind what, uint64_t from, uint64_t to, int32_t arg);

  ZtFlowTask* const task_;
  // Constant during a run.
  bool metrics_ = false;
  uint64_t ticksPerPos_ = 0;
  uint64_t sampleEvery_ = 0;
  uint64_t worthTiming_ = 0;
  // The loop's own.
  uint64_t stepStart_ = 0;   // the start of a timed step, else 0
  // The trace session stepStart_ and cycleStart_ were taken in: a start
  // left from before a pause of the trace is no start.
  uint32_t startSession_ = 0;
  uint64_t inputAt_ = 0;     // when the current step's input last arrived
  uint64_t cycleStart_ = 0;  // the start of a timed cycle, else 0
  // A trace's last clock reading in this cycle (a step's end, a wait's),
  // else 0.
  uint64_t lastReading_ = 0;
  uint64_t waitInStep_ = 0;
  uint64_t waitInCycle_ = 0;
  uint64_t nextSample_ = 0;
  unsigned countdown_ = 1;       // steps to the next timed one
  unsigned cycleCountdown_ = 1;  // the same for cycles
  // Running counts, published on timed steps and at the end of the loop:
  // plain adds to memory cost a step less than atomic stores would.
  struct Totals {
    uint64_t steps, bytes, cycles;
  } totals_ = {};
  uint32_t traceSession_ = 0;
  uint32_t track_ = 0;
  // The current step's input table (see stepInputs), null between runs.
  ZtFlowPacket* const* in_ = nullptr;
  unsigned inCount_ = 0;
  uint64_t origin() const {
    // The stamps are older than the step, whose start stands for data made
    // now.
    uint64_t oldest = stepStart_ != 0 ? stepStart_ : kUntimed;
    for (unsigned k = 0; k < inCount_; ++k) {
      const uint64_t s = in_[k] ? in_[k]->originTicks() : 0;
      if (s != 0 && s < oldest) oldest = s;
    }
    return oldest;
  }
};

inline void StageProbe::stepEnd(unsigned m, ZtFlowPacket* const* in, unsigned inCount) {
  // Without metrics, a trace is what watches (or watched when the step
  // began): it times every step, with nothing to count.
  if (!metrics_) return traceStep(m);
  ++totals_.steps;
  totals_.bytes += m;
  // Most steps end here: the clock is read for a timed step, the one before
  // it (whose end is its start), and every step while a trace records.
  if (--countdown_ <= 1 || stepStart_ != 0 || trace::on()) stepMore(m, in, inCount);
}

inline void StageProbe::cycleEnd(bool settled) {
  if (!metrics_) return traceCycle(settled);
  ++totals_.cycles;
  if (--cycleCountdown_ <= 1 || cycleStart_ != 0 || trace::on()) cycleMore();
}

inline void StageProbe::stepInputs(ZtFlowPacket* const* in, unsigned inCount) {
  // Looked at only when the handler emits a packet without a stamp: most
  // steps of most stages pass on copies, which carry theirs.
  in_ = in;
  inCount_ = inCount;
}

// Notes a wait at a gate of `flow` on the calling thread, for the stage whose
// loop runs there (none: nothing is noted).
class GateWait {
 public:
  GateWait(const ZtFlow* flow, bool consumerGate);
  ~GateWait();
  GateWait(const GateWait&) = delete;
  GateWait& operator=(const GateWait&) = delete;

 private:
  StageProbe* probe_;
  const ZtFlow* flow_;
  bool consumerGate_;
  uint64_t begun_ = 0;
};

// A queue task's handler calls as "handle" spans, on the thread that runs
// the body. One per body, on its stack.
class HandlerTrace {
 public:
  uint64_t begin() const { return trace::on() ? ticks() : 0; }
  void end(uint64_t begun, ZtQueueTask* task);

 private:
  uint32_t session_ = 0;
  uint32_t track_ = 0;
};

}  // namespace zkflow
