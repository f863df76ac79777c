// SPDX-License-Identifier: Apache-2.0
#include "kernel/flow/probe.h"

#include "host/pool.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowtask.h"
#include "zkflow/flow/queuetask.h"

namespace zkflow {

namespace {

// Off by default: see zkflow/metrics.h for what they cost.
std::atomic<bool> gMetrics{false};

// The probe of the loop that runs on this thread, or on this pooled task
// (which may move between workers). Read on slow paths only (a wait at a
// gate).
StageProbe* currentProbe() { return static_cast<StageProbe*>(pool::taskLocal()); }
void currentProbe(StageProbe* p) { pool::taskLocal() = p; }

// Back-to-back data on `f` from the position its consumer last read, as
// the producer's own tests measure it.
uint64_t bufferedOn(ZtFlow* f) {
  const unsigned int r = f->requestPos();
  unsigned int gap = 0;
  return f->nextGap(r, gap, true) - r;
}

}  // namespace

// ------------------------------------------------------------ histogram

uint64_t TickHistogram::upperEdge(unsigned b) {
  if (b < kSub) return b;
  const unsigned msb = b / kSub + 2;
  const uint64_t width = uint64_t{1} << (msb - 3);
  return (kSub + b % kSub) * width + width - 1;
}

uint64_t TickHistogram::quantile(double q) const {
  uint64_t counts[kBuckets];
  uint64_t total = 0;
  for (unsigned b = 0; b < kBuckets; ++b) total += counts[b] = buckets_[b].load(std::memory_order_relaxed);
  if (total == 0) return 0;
  uint64_t want = static_cast<uint64_t>(q * static_cast<double>(total));
  if (want == 0) want = 1;
  uint64_t seen = 0;
  const uint64_t most = max();
  for (unsigned b = 0; b < kBuckets; ++b) {
    seen += counts[b];
    if (seen >= want) {
      const uint64_t edge = upperEdge(b);
      return edge < most ? edge : most;
    }
  }
  return most;
}

// ------------------------------------------------------------ the probe

void StageProbe::enableMetrics(bool on) { gMetrics.store(on, std::memory_order_relaxed); }
bool StageProbe::metricsEnabled() { return gMetrics.load(std::memory_order_relaxed); }
StageProbe* StageProbe::current() { return currentProbe(); }
const StageProbe* StageProbe::of(const ZtFlowTask* task) {
  return task ? task->probe_.load(std::memory_order_acquire) : nullptr;
}

void StageProbe::begin() {
  tickSource();
  metrics_ = metricsEnabled();
  measured.store(metrics_, std::memory_order_relaxed);
  const unsigned int rate = task_->rateInfo().dataRate();
  dataRate.store(rate, std::memory_order_relaxed);
  const double perSecond = metrics_ ? ticksPerSecond() : 0.0;
  // Without a data rate no step can be slower than real time: the bound is
  // out of reach (m is below 2^32).
  ticksPerPos_ = rate ? static_cast<uint64_t>(perSecond / rate) : UINT64_MAX >> 32;
  // Buffered input is looked at about a thousand times a second at most:
  // it takes each input flow's guard.
  sampleEvery_ = static_cast<uint64_t>(perSecond / 1000);
  worthTiming_ = static_cast<uint64_t>(perSecond / 50000);
  nextSample_ = 0;
  countdown_ = cycleCountdown_ = 1;
  // A new run goes on from the counts of the last.
  totals_ = Totals{steps.load(std::memory_order_relaxed), bytes.load(std::memory_order_relaxed),
                   cycles.load(std::memory_order_relaxed)};
  waitInStep_ = waitInCycle_ = 0;
  stepStart_ = cycleStart_ = on() ? ticks() : 0;
  lastReading_ = 0;
  startSession_ = trace::session();
  traceSession_ = 0;
  currentProbe(this);
  trace::labelThread(task_->taskName());
}

void StageProbe::end() {
  if (metrics_) publish();
  if (trace::on()) span(trace::Kind::EndSent, ticks(), 0, 0);
  in_ = nullptr;  // the table goes with the loop
  inCount_ = 0;
  currentProbe(nullptr);
}

void StageProbe::stepMore(unsigned m, ZtFlowPacket* const* in, unsigned inCount) {
  const uint64_t now = ticks();
  uint64_t elapsed = 0;
  if (!metrics_ && startSession_ != trace::session()) stepStart_ = cycleStart_ = 0;
  if (stepStart_ != 0 && now > stepStart_) {
    elapsed = now - stepStart_;
    const uint64_t busy = elapsed > waitInStep_ ? elapsed - waitInStep_ : 0;
    if (metrics_) {
      stepTime.add(busy);
      if (m != 0 && busy > m * ticksPerPos_) TickHistogram::bump(slowSteps, 1);
      for (unsigned k = 0; k < inCount; ++k) {
        const uint64_t s = in[k] ? in[k]->originTicks() : 0;
        if (s > kUntimed && s < now) latency.add(now - s);
      }
      publish();
      if (now >= nextSample_) {
        nextSample_ = now + sampleEvery_;
        sampleInputs();
      }
    }
    // The span starts when the step's input was there: a wait for it is an
    // event of its own, a wait for room on an output lies inside the step.
    if (trace::on()) span(trace::Kind::Step, inputAt_ > stepStart_ ? inputAt_ : stepStart_, now, static_cast<int32_t>(m));
  }
  // A step that lasted long enough for two clock readings not to matter
  // (waits included) has the next one timed too.
  if (countdown_ == 0) countdown_ = totals_.steps < kEveryStep || elapsed > worthTiming_ ? 1 : kSampleEvery;
  stepStart_ = countdown_ <= 1 || trace::on() ? now : 0;
  startSession_ = trace::session();
  waitInStep_ = 0;
}

void StageProbe::cycleMore() {
  const uint64_t now = ticks();
  uint64_t elapsed = 0;
  if (!metrics_ && startSession_ != trace::session()) cycleStart_ = 0;
  if (cycleStart_ != 0 && now > cycleStart_) {
    elapsed = now - cycleStart_;
    const uint64_t busy = elapsed > waitInCycle_ ? elapsed - waitInCycle_ : 0;
    if (metrics_) cycleTime.add(busy);
    if (trace::on()) span(trace::Kind::Cycle, cycleStart_, now, 0);
  }
  if (cycleCountdown_ == 0)
    cycleCountdown_ = totals_.cycles < kEveryStep || elapsed > worthTiming_ ? 1 : kSampleEvery;
  cycleStart_ = cycleCountdown_ <= 1 || trace::on() ? now : 0;
  waitInCycle_ = 0;
}

void StageProbe::traceStep(unsigned m) {
  const uint64_t now = ticks();
  const uint32_t s = trace::session();
  // The span starts when the step's input was there: a wait for it is an
  // event of its own, a wait for room on an output lies inside the step.
  const uint64_t from = stepStart_ == 0 ? 0 : inputAt_ > stepStart_ ? inputAt_ : stepStart_;
  stepStart_ = lastReading_ = now;
  waitInStep_ = 0;
  if (s != 0 && s == startSession_ && s == traceSession_ && from != 0)
    return trace::record(s, from, now, trace::Kind::Step, track_, static_cast<int32_t>(m));
  traceRare(trace::Kind::Step, s, from, now, static_cast<int32_t>(m));
}

void StageProbe::traceCycle(bool settled) {
  const uint32_t s = trace::session();
  const uint64_t now = settled && lastReading_ != 0 && s == startSession_ ? lastReading_ : ticks();
  const uint64_t from = cycleStart_;
  cycleStart_ = now;
  lastReading_ = 0;
  waitInCycle_ = 0;
  if (s != 0 && s == startSession_ && s == traceSession_ && from != 0)
    return trace::record(s, from, now, trace::Kind::Cycle, track_, 0);
  traceRare(trace::Kind::Cycle, s, from, now, 0);
}

void StageProbe::traceRare(trace::Kind what, uint32_t s, uint64_t from, uint64_t now, int32_t arg) {
  if (s != startSession_) {
    // A start from before the trace stopped or restarted is no start: the
    // other span kind's start goes (this one's was just set to now).
    (what == trace::Kind::Step ? cycleStart_ : stepStart_) = 0;
    startSession_ = s;
    return;
  }
  if (s != 0 && from != 0) trace::record(s, from, now, what, track(s), arg);
}

void StageProbe::publish() {
  steps.store(totals_.steps, std::memory_order_relaxed);
  bytes.store(totals_.bytes, std::memory_order_relaxed);
  cycles.store(totals_.cycles, std::memory_order_relaxed);
}

void StageProbe::sleepEnd(uint64_t begun) {
  if (!on()) return;
  const uint64_t now = ticks();
  if (begun != 0) span(trace::Kind::Sleep, begun, now, 0);
  // Timed work begins after the sleep.
  if (stepStart_ != 0) stepStart_ = now;
  if (cycleStart_ != 0) cycleStart_ = now;
}

void StageProbe::dropout(int64_t ahead) {
  if (!trace::on()) return;
  // Lateness in microseconds: ahead is in 1/65536 s.
  const int64_t late = -ahead * 1000000 / 65536;
  span(trace::Kind::Dropout, ticks(), 0, static_cast<int32_t>(late > INT32_MAX ? INT32_MAX : late));
}

void StageProbe::marker(ZtFlowTask* task, trace::Kind what, unsigned i) {
  StageProbe* p = task->probe_.load(std::memory_order_relaxed);
  if (p && trace::on()) p->span(what, ticks(), 0, static_cast<int32_t>(i));
}

void StageProbe::waited(uint64_t begun, Wait why, int index) {
  if (begun == 0 || !on()) return;
  const uint64_t now = ticks();
  const uint64_t dt = now > begun ? now - begun : 0;
  waitInStep_ += dt;
  waitInCycle_ += dt;
  if (why != Wait::OutputFull) inputAt_ = now;
  if (lastReading_ != 0) lastReading_ = now;
  if (metrics_) {
    switch (why) {
      case Wait::InputEmpty:
        TickHistogram::bump(inputWaitTicks, dt);
        TickHistogram::bump(inputWaits, 1);
        break;
      case Wait::OutputFull:
        TickHistogram::bump(outputWaitTicks, dt);
        TickHistogram::bump(outputWaits, 1);
        break;
      case Wait::Idle:
        TickHistogram::bump(idleTicks, dt);
        break;
    }
  }
  static constexpr trace::Kind kKinds[] = {trace::Kind::InputEmpty, trace::Kind::OutputFull, trace::Kind::Idle};
  span(kKinds[static_cast<int>(why)], begun, now, why == Wait::Idle ? 0 : index);
}

int StageProbe::indexOf(const ZtFlow* flow, bool input) const {
  for (unsigned i = 0; i < ZtFlowUnit::kMaxFlows; ++i)
    if ((input ? task_->input(i) : task_->output(i)) == flow) return static_cast<int>(i);
  return -1;
}

void StageProbe::sampleInputs() {
  const unsigned n = task_->inputCount() < kInputs ? task_->inputCount() : kInputs;
  uint32_t seen = inputsSeen.load(std::memory_order_relaxed);
  for (unsigned i = 0; i < n; ++i) {
    ZtFlow* f = task_->input(i);
    if (!f) continue;
    const uint64_t b = bufferedOn(f);
    if (b > mostBuffered[i].load(std::memory_order_relaxed)) mostBuffered[i].store(b, std::memory_order_relaxed);
    seen |= 1u << i;
  }
  if (seen != inputsSeen.load(std::memory_order_relaxed)) inputsSeen.store(seen, std::memory_order_relaxed);
}

uint32_t StageProbe::track(uint32_t s) {
  if (s != traceSession_) {
    traceSession_ = s;
    track_ = trace::track(task_->taskName());
  }
  return track_;
}

void StageProbe::span(trace::Kind what, uint64_t from, uint64_t to, int32_t arg) {
  const uint32_t s = trace::session();
  if (s != 0) trace::record(s, from, to, what, track(s), arg);
}

// ------------------------------------------------------------ waits

GateWait::GateWait(const ZtFlow* flow, bool consumerGate)
    : probe_(currentProbe()), flow_(flow), consumerGate_(consumerGate) {
  if (probe_ && probe_->on()) begun_ = ticks();
}

GateWait::~GateWait() {
  if (!begun_) return;
  probe_->waited(begun_, consumerGate_ ? StageProbe::Wait::InputEmpty : StageProbe::Wait::OutputFull,
                 probe_->indexOf(flow_, consumerGate_));
}

void HandlerTrace::end(uint64_t begun, ZtQueueTask* task) {
  const uint32_t s = trace::session();
  if (begun == 0 || s == 0) return;
  const uint64_t now = ticks();
  if (s != session_) {
    session_ = s;
    const char* name = task->taskName();
    track_ = trace::track(name);
  }
  trace::record(s, begun, now, trace::Kind::Handle, track_, 0);
}

}  // namespace zkflow
