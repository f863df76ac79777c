// SPDX-License-Identifier: Apache-2.0
#include "zkflow/flow/flowtask.h"

#include <cstdarg>
#include <cstring>

#include "zkflow/host/clock.h"
#include "zkflow/host/log.h"
#include "zkflow/host/zsys.h"
#include "zkflow/flow/flow.h"
#include "kernel/flow/probe.h"

namespace {

const char* const kFile = "kernel/flow/flowtask";
const unsigned int kDropoutLine = 504;

// Times, raw (1/65536 s).
const int64_t kOneSecond = 65536;
const int64_t kHalf = 32768;         // rounds the data rate when making the chunk
const int64_t kShortestSleep = 655;  // 0.01 s: shorter waits are not slept
// The pacing sleep is taken in slices of at most this (0.1 s), so that stop()
// is not held up by a long sleep. A wait shorter than a slice, the usual
// case, is still one ZIF_Sleep.
const int64_t kSleepSlice = 6553;
// stop() yields this many times before it starts to back off with short
// sleeps and to repeat its wake-ups.
const unsigned int kStopSpins = 1024;

inline unsigned int clampCount(unsigned int n) {
  return n < ZtFlowUnit::kMaxFlows ? n : ZtFlowUnit::kMaxFlows;
}

// A one-position marker (Flush, EndOfFlow) without a stored packet, at
// position 0 of its output; null when out of memory.
ZtFlowDataPacket* newMarker(ZtFlowPacket::MarkupCode code) {
  ZtFlowDataPacket* p = new ZtFlowDataPacket();
  if (!p) return nullptr;
  p->markupCode(code);
  p->dSize(1);
  p->pos(0);
  return p;
}

// The fixed-point product of two raw times: low 64 bits of the product,
// arithmetic shift by 16. Done on unsigned values so that it wraps instead
// of overflowing.
inline int64_t mulFix(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b)) >> 16;
}

// The data rate as a time: dataRate x 65536 (exact in 64 bits).
inline int64_t rateTime(unsigned int dataRate) { return static_cast<int64_t>(dataRate) << 16; }

// Positions a cycle must produce: duration at (dataRate + 0.5), truncated,
// then raised to a multiple of the granularity with a mask (start() makes
// sure it is a power of two). A negative duration asks for nothing: the
// chunk is 0 rather than the huge low 32 bits of a negative product.
unsigned int chunkFor(unsigned int dataRate, int64_t duration, unsigned int granularity) {
  const int64_t positions = mulFix(rateTime(dataRate) + kHalf, duration) >> 16;
  unsigned int chunk = positions < 0 ? 0 : static_cast<unsigned int>(positions);
  if (granularity - 1 != 0) chunk = (chunk + granularity - 1) & ~(granularity - 1);
  return chunk;
}

// Back-to-back data on `f` from the position its consumer last read.
unsigned int bufferedAhead(ZtFlow* f) {
  const unsigned int r = f->requestPos();
  unsigned int gap = 0;
  return f->nextGap(r, gap, true) - r;
}

void logRefusal(const char* name, const char* why, long long value) {
  Utils::Log::theLog()->print(Utils::MsgFault, "flow", -3, kFile, __LINE__,
                              "%s not started: %s (%lld)", name ? name : "", why, value);
}

}  // namespace

// ---------------------------------------------------------------- ZtFlowUnit

ZtFlowUnit::ZtFlowUnit() { init(); }

ZtFlowUnit::ZtFlowUnit(const ZtFlowUnit& o) { copyFrom(o); }

ZtFlowUnit& ZtFlowUnit::operator=(const ZtFlowUnit& o) {
  if (this != &o) copyFrom(o);
  return *this;
}

void ZtFlowUnit::init() {
  shutdown_.store(false, std::memory_order_relaxed);
  done_.store(false, std::memory_order_relaxed);
  running_.store(false, std::memory_order_relaxed);
  started_.store(false, std::memory_order_relaxed);
  inputCount_.store(0, std::memory_order_relaxed);
  outputCount_ = 0;
  for (unsigned int i = 0; i < kMaxFlows; ++i) {
    inputs[i].store(nullptr, std::memory_order_relaxed);
    outputs_[i] = nullptr;
  }
}

void ZtFlowUnit::copyFrom(const ZtFlowUnit& o) {
  shutdown_.store(o.shutdown(), std::memory_order_relaxed);
  done_.store(o.done(), std::memory_order_relaxed);
  running_.store(o.running(), std::memory_order_relaxed);
  started_.store(o.started(), std::memory_order_relaxed);
  inputCount_.store(o.inputCount(), std::memory_order_relaxed);
  outputCount_ = o.outputCount_;
  for (unsigned int i = 0; i < kMaxFlows; ++i) {
    inputs[i].store(o.inputs[i].load(std::memory_order_acquire), std::memory_order_relaxed);
    outputs_[i] = o.outputs_[i];
  }
}

ZtFlowUnit::~ZtFlowUnit() {
  // Only links that point back here are cleared: a copy shares its source's
  // tables without being the flows' consumer or producer, and destroying it
  // must not cut the source off.
  const unsigned int nIn = clampCount(inputCount());
  for (unsigned int i = 0; i < nIn; ++i) {
    ZtFlow* f = inputs[i].load(std::memory_order_acquire);
    if (f && f->consumer() == this) f->consumer(nullptr);
  }
  const unsigned int nOut = clampCount(outputCount_);
  for (unsigned int i = 0; i < nOut; ++i) {
    ZtFlow* f = outputs_[i];
    if (f && f->producer() == this) f->producer(nullptr);
  }
}

const char* ZtFlowUnit::name() const { return "FlowUnit"; }
bool ZtFlowUnit::wakeTest() const { return true; }
bool ZtFlowUnit::sleepTest() const { return false; }
bool ZtFlowUnit::seek(unsigned int) { return false; }
void ZtFlowUnit::flush() {}

ZtFlow* ZtFlowUnit::input(unsigned int i) const {
  return i < kMaxFlows ? inputs[i].load(std::memory_order_acquire) : nullptr;
}

void ZtFlowUnit::input(unsigned int i, ZtFlow* flow) {
  if (i < kMaxFlows) inputs[i].store(flow, std::memory_order_release);
}

ZtFlow* ZtFlowUnit::output(unsigned int i) const { return i < kMaxFlows ? outputs_[i] : nullptr; }

void ZtFlowUnit::output(unsigned int i, ZtFlow* flow) {
  if (i < kMaxFlows) outputs_[i] = flow;
}

ZtFlowBase** ZtFlowUnit::outputs() { return reinterpret_cast<ZtFlowBase**>(outputs_); }

bool ZtFlowUnit::wakeTestFn(void* unit) { return static_cast<ZtFlowUnit*>(unit)->wakeTest(); }

bool ZtFlowUnit::sleepTestFn(void* unit) { return static_cast<ZtFlowUnit*>(unit)->sleepTest(); }

// ---------------------------------------------------------------- ZtFlowTask

ZtFlowTask::ZtFlowTask() { init(); }

ZtFlowTask::ZtFlowTask(unsigned int inputCount, unsigned int outputCount, ...) {
  init();
  va_list args;
  va_start(args, outputCount);
  for (unsigned int k = 0; k < inputCount; ++k) {
    ZtFlow* f = va_arg(args, ZtFlow*);
    if (f) addInput(f);
  }
  for (unsigned int k = 0; k < outputCount; ++k) {
    ZtFlow* f = va_arg(args, ZtFlow*);
    if (f) addOutput(f);
  }
  va_end(args);
}

ZtFlowTask::ZtFlowTask(const ZtFlowTask& o)
    : ZtFlowUnit(o),
      vInPacket_(o.vInPacket_),
      latency_(o.latency_),
      nullPacket_(o.nullPacket_),
      rateInfo_(o.rateInfo_) {
  // The embedded packets are new objects: they get the task's own reference.
  vInPacket_.incRef();
  nullPacket_.incRef();
  loopAlive_.store(false, std::memory_order_relaxed);
  posScratch_.store(0, std::memory_order_relaxed);
  copyFrom(o);
}

ZtFlowTask& ZtFlowTask::operator=(const ZtFlowTask& o) {
  if (this == &o) return *this;
  ZtFlowUnit::operator=(o);
  vInPacket_ = o.vInPacket_;  // counts stay each packet's own
  latency_ = o.latency_;
  nullPacket_ = o.nullPacket_;
  rateInfo_ = o.rateInfo_;
  copyFrom(o);
  return *this;
}

void ZtFlowTask::copyFrom(const ZtFlowTask& o) {
  o.guard_.lock();
  std::memcpy(shortName, o.shortName, sizeof shortName);
  zk::Lock shared(o.waitLock);
  o.guard_.unlock();
  guard_.lock();
  waitLock = shared;
  guard_.unlock();
  for (unsigned int i = 0; i < kMaxFlows; ++i) {
    flowPosIn_[i].store(o.flowPosIn(i), std::memory_order_relaxed);
    flowPosOut_[i] = o.flowPosOut_[i];
  }
  granularity_ = o.granularity_;
  taskId = o.taskId;
  clockRegulated_.store(o.clockRegulated(), std::memory_order_relaxed);
  immortal_.store(o.immortal(), std::memory_order_relaxed);
  resetClocks_.store(o.resetClocks(), std::memory_order_relaxed);
  virtualInput_.store(o.virtualInput(), std::memory_order_relaxed);
  baseClockTime_.store(o.baseClockTime().raw(), std::memory_order_relaxed);
  flowPosBase_.store(o.flowPosBase(), std::memory_order_relaxed);
  affinityMask_ = o.affinityMask_;
  priority_ = o.priority_;
  wakeLatency_.store(o.wakeLatency_.load(std::memory_order_acquire), std::memory_order_relaxed);
}

void ZtFlowTask::init() {
  std::memset(shortName, 0, sizeof shortName);
  for (unsigned int i = 0; i < kMaxFlows; ++i) {
    flowPosIn_[i].store(0, std::memory_order_relaxed);
    flowPosOut_[i] = 0;
  }
  granularity_ = 4;
  taskId = 0;
  vInPacket_.markupCode(ZtFlowPacket::MarkupCode::VirtualInput);
  vInPacket_.incRef();
  latency_.strategy(ZtLatencyStats::FourSigma);
  nullPacket_.markupCode(ZtFlowPacket::MarkupCode::Normal);
  nullPacket_.pos(0);
  nullPacket_.incRef();
  clockRegulated_.store(false, std::memory_order_relaxed);
  immortal_.store(false, std::memory_order_relaxed);
  resetClocks_.store(true, std::memory_order_relaxed);
  virtualInput_.store(false, std::memory_order_relaxed);
  baseClockTime_.store(0, std::memory_order_relaxed);
  flowPosBase_.store(0, std::memory_order_relaxed);
  affinityMask_ = 0xFFFFFFFFu;
  priority_ = 0;
  wakeLatency_.store(latency_.latency().raw(), std::memory_order_relaxed);
  loopAlive_.store(false, std::memory_order_relaxed);
  posScratch_.store(0, std::memory_order_relaxed);
}

ZtFlowTask::~ZtFlowTask() {
  stop();
  waitLoopGone();
  for (ZtFlowPacket*& m : endMarkers_) {
    delete m;
    m = nullptr;
  }
  waitLock.purge();
  delete probe_.load(std::memory_order_acquire);
  // The embedded packets go with the members; ~ZtFlowUnit detaches the flows.
}

const char* ZtFlowTask::name() const {
  const char* n = taskName();
  guard_.lock();
  if (shortName[0] == 0 && n) {
    // At most 8 characters, unterminated when the name is that long.
    for (size_t k = 0; k < sizeof shortName; ++k) {
      shortName[k] = n[k];
      if (n[k] == 0) break;
    }
  }
  guard_.unlock();
  return n;
}

// ------------------------------------------------------ wake and sleep tests

bool ZtFlowTask::wakeTest() const {
  bool answer = true;
  ZtFlow* f = outputCount_ ? outputs_[0] : nullptr;
  if (f) {
    int64_t l = wakeLatency_.load(std::memory_order_acquire);
    const int64_t lowest = rateInfo_.durationMin().raw();
    if (l < lowest) l = lowest;
    const int64_t buffered = static_cast<int64_t>(bufferedAhead(f)) << 16;
    answer = buffered <= mulFix(rateTime(rateInfo_.dataRate()), l);
  }
  return taskWakeTest(answer);
}

bool ZtFlowTask::sleepTest() const {
  bool answer = false;
  ZtFlow* f = outputCount_ ? outputs_[0] : nullptr;
  const int64_t most = rateInfo_.durationMax().raw();
  if (f && most > 0) {
    const int64_t bound = mulFix(rateTime(rateInfo_.dataRate()), most);
    // Asked after every append: while the whole list is within the bound,
    // so is the run ahead of the consumer, and the answer needs neither the
    // list's guard nor a walk (see ZtFlow::heldWithin). held << 16 > bound
    // is held > bound >> 16 (bound is not negative).
    if (!f->heldWithin(static_cast<uint64_t>(bound) >> 16)) {
      const int64_t buffered = static_cast<int64_t>(bufferedAhead(f)) << 16;
      answer = buffered > bound;
    }
  }
  return taskSleepTest(answer);
}

// ------------------------------------------------------------------ control

bool ZtFlowTask::validRequest() {
  const unsigned int g = granularity_;
  if (g == 0 || (g & (g - 1)) != 0) {
    logRefusal(name(), "granularity is not a power of two", g);
    return false;
  }
  if (rateInfo_.duration().raw() <= 0 && rateInfo_.durationMin().raw() <= 0) {
    logRefusal(name(), "duration and durationMin are not positive", rateInfo_.duration().raw());
    return false;
  }
  if (clockRegulated() && rateInfo_.dataRate() == 0) {
    logRefusal(name(), "clock regulated with a data rate of 0", 0);
    return false;
  }
  return true;
}

bool ZtFlowTask::start() {
  bool expected = false;
  if (!started_.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return false;
  // A loop that ended by itself may still be on its last instructions.
  waitLoopGone();
  done(false);
  shutdown(false);
  running(false);
  taskRateInfo(rateInfo_);
  if (!validRequest() || !reserveEndMarkers()) {
    started(false);
    return false;
  }
  if (!probe_.load(std::memory_order_relaxed)) probe_.store(new zkflow::StageProbe(this), std::memory_order_release);
  loopAlive_.store(true, std::memory_order_release);
  // taskId is written before the task exists (the loop's stop() test below
  // reads it on the loop's own thread).
  if (ZIF_CreateTask(&ZtFlowTask::flowTaskBody, this, &taskId, affinityMask_, priority_) != 0) {
    loopAlive_.store(false, std::memory_order_release);
    started(false);
    return false;
  }
  // A loop with nothing to do may run and end before we look: done counts
  // as having run, or this wait would never end. We sleep rather than
  // yield: on a busy machine a yielding starter kept the new loop from a
  // processor for a scheduler tick or more (4 ms here) at every start.
  for (;;) {
    const uint32_t seen = loopSignal_.load(std::memory_order_acquire);
    if (running() || done()) break;
    loopSignal_.wait(seen, std::memory_order_acquire);
  }
  if (taskStart()) return true;
  stop();
  return false;
}

void ZtFlowTask::stop() {
  // A copy has the flags of its source but no loop to wait for.
  if (!running() || !loopAlive_.load(std::memory_order_acquire)) return;
  if (ZIF_CurrentTaskIdCoop() == taskId) {
    // Called from one of our own hooks: waiting for the loop here would wait
    // for ourselves. The loop sees shutdown at its next check and ends.
    shutdown(true);
    return;
  }
  shutdown(true);
  unwait();
  kick();
  for (unsigned int spins = 1; !done(); ++spins) {
    if (spins < kStopSpins) {
      ZIF_Yield();
      continue;
    }
    // A loop that is slow to end (asleep, or blocked in an emit) is waited
    // for without burning a processor. A gate's close and open are separate
    // steps, so a kick can land between them and be lost; repeating the
    // wake-ups now and then keeps such a loss from stalling us for good.
    ZIF_Sleep(0.0002);
    if (spins % 64 == 0) {
      unwait();
      kick();
    }
  }
  started(false);
}

bool ZtFlowTask::reserveEndMarkers() {
  // Out of memory is a refused start: clearer than a loop whose end might
  // never reach its consumers. Markers made for a start that fails later
  // wait for the next one.
  for (unsigned int j = 0; j < clampCount(outputCount_); ++j) {
    if (!endMarkers_[j]) endMarkers_[j] = newMarker(ZtFlowPacket::MarkupCode::EndOfFlow);
    if (!endMarkers_[j]) return false;
    if (outputs_[j] && !outputs_[j]->reserveNode()) return false;
  }
  return true;
}

void ZtFlowTask::signalLoop() {
  // The object outlives this: the destructor waits for loopAlive_, which the
  // loop clears after its last signal.
  loopSignal_.fetch_add(1, std::memory_order_release);
  loopSignal_.notify_all();
}

void ZtFlowTask::waitLoopGone() const {
  while (loopAlive_.load(std::memory_order_acquire)) ZIF_Yield();
}

bool ZtFlowTask::seek(unsigned int pos) {
  unsigned int p = pos;
  if (!taskSeek(p)) return false;
  flowPosIn_[0].store(p, std::memory_order_release);
  resetClocks(true);
  kick();
  return true;
}

void ZtFlowTask::kick() {
  const unsigned int n = clampCount(inputCount());
  for (unsigned int i = 0; i < n; ++i) {
    ZtFlow* f = inputs[i].load(std::memory_order_acquire);
    if (f) f->_kickOut(true);
  }
}

void ZtFlowTask::wait() {
  // Block on a handle of our own: immortal(false) may drop the task's handle
  // meanwhile, and the lock body must outlive our wait on it.
  guard_.lock();
  zk::Lock held(waitLock);
  guard_.unlock();
  held.lock();
}

void ZtFlowTask::unwait() {
  guard_.lock();
  waitLock.unlock();
  guard_.unlock();
}

void ZtFlowTask::immortal(bool b) {
  if (b) {
    if (immortal()) return;
    zk::Lock tmp(new zk::LockRep("FlowTask wait"));
    if (tmp.empty()) return;  // out of memory: stay mortal rather than spin idle
    // Taken here, so that the loop's first wait() blocks until unwait().
    tmp.lock();
    guard_.lock();
    waitLock = tmp;
    guard_.unlock();
    tmp.purge();
    immortal_.store(true, std::memory_order_release);
    return;
  }
  if (!immortal()) return;
  // Cleared before the lock is opened: a loop woken below must see it and
  // end, not go back to waiting on a lock that nobody will open again.
  immortal_.store(false, std::memory_order_release);
  guard_.lock();
  waitLock.unlock();
  waitLock.purge();
  guard_.unlock();
}

// ---------------------------------------------------------- attaching flows

bool ZtFlowTask::addInput(ZtFlow* flow) {
  if (!flow) return false;
  channelLock_.lock();
  const unsigned int n = inputCount_.load(std::memory_order_relaxed);
  unsigned int index = kMaxFlows;
  for (unsigned int i = 0; i < clampCount(n); ++i) {
    if (!inputs[i].load(std::memory_order_relaxed)) {
      index = i;
      break;
    }
  }
  if (index == kMaxFlows) {
    if (n >= kMaxFlows) {
      channelLock_.unlock();
      return false;
    }
    index = n;
    inputCount_.store(n + 1, std::memory_order_release);
  }
  flow->consumer(this);
  flowPosIn_[index].store(0, std::memory_order_relaxed);
  // Release: a loop that sees the flow also sees its position at 0.
  inputs[index].store(flow, std::memory_order_release);
  if (immortal()) unwait();
  channelLock_.unlock();
  return true;
}

bool ZtFlowTask::addOutput(ZtFlow* flow) {
  if (!flow || outputCount_ >= kMaxFlows) return false;
  outputs_[outputCount_] = flow;
  flow->wakeProducerTestFn(&ZtFlowUnit::wakeTestFn);
  flow->sleepProducerTestFn(&ZtFlowUnit::sleepTestFn);
  ++outputCount_;
  // The producer link goes last: a flow that sees it finds the table and
  // the tests complete.
  flow->producer(this);
  return true;
}

// ------------------------------------------------------- emitting, flushing

void ZtFlowTask::flowEmitter(ZtFlowTask* task, unsigned int i, ZtFlowPacket* packet) {
  ZtFlow* f = (task && i < kMaxFlows) ? task->outputs_[i] : nullptr;
  if (!f) {
    // Nowhere to go. A packet made only to be emitted has no reference yet;
    // taking and dropping one deletes it, and leaves any other holder's alone.
    if (packet) {
      packet->incRef();
      ZtFlowPacket::drop(packet);
    }
    return;
  }
  zkflow::StageProbe::stamp(task->probe_.load(std::memory_order_relaxed), packet);
  f->append(packet, &task->flowPosOut_[i]);
}

void ZtFlowTask::emitFlush(ZtFlowEmitFn emit) {
  if (!emit) return;
  for (unsigned int i = 0; i < clampCount(outputCount_); ++i) {
    ZtFlowDataPacket* p = newMarker(ZtFlowPacket::MarkupCode::Flush);
    if (p) emit(this, i, p);
  }
}

void ZtFlowTask::flush(ZtFlowEmitFn emit) {
  taskFlush(emit);
  emitFlush(emit);
}

// ------------------------------------------------------ latency, accessors

void ZtFlowTask::noteLatency() {
  wakeLatency_.store(latency_.latency().raw(), std::memory_order_release);
}

void ZtFlowTask::addLatencySample(Utils::Time t) {
  latency_.addSample(t);
  noteLatency();
}

void ZtFlowTask::addLatencySample(const ZtLatencySample& s) {
  latency_.add(s);
  noteLatency();
}

unsigned int ZtFlowTask::flowPosIn(unsigned int i) const {
  return i < kMaxFlows ? flowPosIn_[i].load(std::memory_order_acquire) : 0;
}

std::atomic<unsigned int>& ZtFlowTask::flowPosIn(unsigned int i) {
  return i < kMaxFlows ? flowPosIn_[i] : posScratch_;
}

void ZtFlowTask::flowPosIn(unsigned int i, unsigned int v) {
  if (i < kMaxFlows) flowPosIn_[i].store(v, std::memory_order_release);
}

unsigned int ZtFlowTask::flowPosOut(unsigned int i) const {
  return i < kMaxFlows ? flowPosOut_[i] : 0;
}

unsigned int* ZtFlowTask::flowPosOutAddr(unsigned int i) {
  return i < kMaxFlows ? &flowPosOut_[i] : nullptr;
}

void ZtFlowTask::flowPosOut(unsigned int i, unsigned int v) {
  if (i < kMaxFlows) flowPosOut_[i] = v;
}

// ------------------------------------------------------------ default hooks

bool ZtFlowTask::taskStart() { return true; }
void ZtFlowTask::taskInit() {}
void ZtFlowTask::taskStop() {}
bool ZtFlowTask::taskSleepTest(bool answer) const { return answer; }
bool ZtFlowTask::taskWakeTest(bool answer) const { return answer; }
bool ZtFlowTask::taskSeek(unsigned int&) { return true; }
void ZtFlowTask::taskFlush(ZtFlowEmitFn) {}

// ----------------------------------------------------------------- the loop

void ZtFlowTask::publishRequest() {
  const unsigned int n = clampCount(inputCount());
  const int64_t duration = rateInfo_.duration().raw();
  const int64_t rate = rateInfo_.rate().raw();
  const unsigned int dataRate = rateInfo_.dataRate();
  for (unsigned int i = 0; i < n; ++i) {
    ZtFlow* f = inputs[i].load(std::memory_order_acquire);
    if (!f) continue;
    // Stored only when changed: the request shares its line with the
    // flow's wiring, which both sides read on every operation, and a store
    // of the same value every cycle would pull that line over to us once
    // more. We are the fields' one writer while the loop runs, so a load
    // sees our last store, and a value left unstored is already the one
    // there.
    if (f->requestSampleDuration().raw() != duration) f->requestSampleDuration(rateInfo_.duration());
    if (f->requestSampleRate().raw() != rate) f->requestSampleRate(rateInfo_.rate());
    if (f->requestDataRate() != dataRate) f->requestDataRate(dataRate);
  }
}

unsigned long ZtFlowTask::flowTaskBody(void* task) {
  static_cast<ZtFlowTask*>(task)->run();
  return 0;
}

namespace {

// latency() of a task's statistics, worked out again only when they have
// changed. The figure takes divisions and a square root, and a task that is
// not clock regulated renews its request every cycle (a packet or so) from
// statistics that no sample changes. The key is everything latency() reads,
// so that samples a derived class adds are never missed.
struct LatencyMemo {
  bool valid = false;
  unsigned int count = 0;
  int64_t sum = 0;
  int64_t squares = 0;
  int64_t max = 0;
  int32_t strategy = 0;
  int64_t figure = 0;

  int64_t latency(const ZtLatencyStats& s) {
    if (!valid || s.count_ != count || s.sum.raw() != sum || s.sumOfSquares.raw() != squares ||
        s.latencyMax_.raw() != max || static_cast<int32_t>(s.strategy_) != strategy) {
      count = s.count_;
      sum = s.sum.raw();
      squares = s.sumOfSquares.raw();
      max = s.latencyMax_.raw();
      strategy = static_cast<int32_t>(s.strategy_);
      figure = s.latency().raw();
      valid = true;
    }
    return figure;
  }
};

// The loop's own state for the cycle in progress.
struct Cycle {
  ZtFlowPacket* table[ZtFlowUnit::kMaxFlows] = {};
  ZtLatencySample sample;
  bool sampleValid = false;
  LatencyMemo memo;

  void release() {
    for (ZtFlowPacket*& p : table) {
      ZtFlowPacket::drop(p);
      p = nullptr;
    }
  }
};

}  // namespace

// The loop. Start-up publishes the request on the inputs and runs taskInit;
// then cycles until shutdown:
//   1. trim each output behind its consumer;
//   2. chunk = duration at the data rate, raised to the granularity;
//   3. work steps until output 0 has advanced by the chunk: read one packet
//      from every live input (markers handled on the way), idle or end when
//      no input is left, take a new clock base when asked, offer the virtual
//      input, cut to a common size, call taskHandleFlow, advance, drop;
//   4. fold the cycle's latency sample in, renew duration and rate from the
//      latency (never below durationMin) and publish them;
//   5. when clock regulated, log a dropout if late, else sleep until T before
//      the data made since the clock base falls due.
// The end sends EndOfFlow on every output, runs taskStop and sets done.
//
// Where the loop goes its own way, for safety:
//  - a virtual-input task does not read real inputs (workStep);
//  - trimming keeps everything ahead of a consumer (step 1 below);
//  - the EndOfFlow markers do not wait at the producer's gate (the end);
//  - the pacing sleep ends early on shutdown;
//  - a negative duration gives a chunk of 0, and a latency figure of 0 or
//    less (only negative samples of a derived class give one) keeps the
//    last duration instead of dividing by it.
void ZtFlowTask::run() {
  ZtFlow::loopStarted();
  name();
  zkflow::StageProbe* const probe = probe_.load(std::memory_order_acquire);
  if (probe) probe->begin();
  Cycle c;
  latency_.addSample(rateInfo_.duration());
  noteLatency();
  publishRequest();
  taskInit();
  running(true);
  signalLoop();

  while (!shutdown()) {
    const unsigned int outCount = clampCount(outputCount_);
    const unsigned int dataRate = rateInfo_.dataRate();

    // Trim what the consumers no longer need: the packets that end at or
    // before the position each consumer last read. Nothing ahead of it is
    // trimmed, although a window of twice durationMax at the data rate would
    // bound the list: that window drops unread data whenever a consumer lags
    // by more than it, which happens on a fork's outputs other than 0 (they
    // put no back-pressure on the fork) and on any flow whose producer has
    // no durationMax. A lagging consumer costs memory here, never data.
    // Positions compare by difference on a flow, so "everything ahead" is
    // the next quarter of the axis: far beyond what a flow holds, and clear
    // of the half-axis point where ahead would turn into behind.
    const unsigned int ahead = 0x3FFFFFFFu;
    for (unsigned int j = 0; j < outCount; ++j) {
      ZtFlow* f = outputs_[j];
      if (!f) continue;
      const unsigned int r = f->requestPos();
      if (r == 0 && flowPosOut_[j] != 0) {
        ZIF_Yield();  // the consumer has not asked for anything yet
        continue;
      }
      if (!f->readRemovesPacket()) f->deleteOutsideRange(r, r + ahead);
    }

    const unsigned int saved = flowPosOut_[0];
    const unsigned int chunk = chunkFor(dataRate, rateInfo_.duration().raw(), granularity_);
    c.sampleValid = true;

    while (!shutdown() && flowPosOut_[0] - saved < chunk) {
      if (!workStep(c.table, chunk, c.sampleValid)) break;
    }
    if (probe && probe->on()) probe->cycleEnd();

    // Latency of the cycle: from the planned wake-up to now. A cycle that
    // took a new clock base measured nothing useful. Only a cycle that
    // pacing planned (target set) is measured, so the clock is read only
    // then: a task that is not clock regulated runs a cycle per packet or
    // so, and the read would be a good part of it.
    if (c.sampleValid && c.sample.target() != 0) {
      c.sample.stopTime = ZtClock::timeNow();
      const int64_t d = (c.sample.stopTime - c.sample.startTime).raw();
      if (d > 0 && d < kOneSecond) latency_.add(c.sample);
    }

    // Renew the request from the latency, never below durationMin.
    const int64_t measured = c.memo.latency(latency_);
    // Only a changed figure is stored: consumers read it on their threads,
    // and an unchanged store would take the line from them every cycle.
    // The loop is the one writer while it runs.
    if (wakeLatency_.load(std::memory_order_relaxed) != measured)
      wakeLatency_.store(measured, std::memory_order_release);
    int64_t t = measured;
    if (t < rateInfo_.durationMin().raw()) t = rateInfo_.durationMin().raw();
    if (t > 0) {
      rateInfo_.duration(Utils::Time::fromRaw(t));
      rateInfo_.rate(Utils::Time::fromRaw((int64_t{1} << 32) / t));
    } else {
      // Only samples a derived class added (negative ones) get here; keep
      // the last request rather than divide by it.
      t = rateInfo_.duration().raw();
    }
    publishRequest();

    // Pacing: sleep until T before the data made since the clock base falls
    // due. start() refuses a clock-regulated task without a data rate; the
    // test here covers a flag set while the loop runs.
    if (clockRegulated() && dataRate != 0) {
      const Utils::Time elapsed = ZtClock::timeNow() - baseClockTime();
      const int32_t produced = static_cast<int32_t>(flowPosOut_[0] - flowPosBase());
      const int64_t due = (static_cast<int64_t>(produced) * (int64_t{1} << 32)) / rateTime(dataRate);
      const Utils::Time ahead = Utils::Time::fromRaw(due) - elapsed;
      if (ahead.raw() < 0) {
        dropouts_.fetch_add(1, std::memory_order_relaxed);
        if (probe) probe->dropout(ahead.raw());
        Utils::Log::theLog()->print(Utils::MsgWarning, "flow", -1, kFile, kDropoutLine,
                                    "Flow Dropout %lf", ahead.raw() / 65536.0);
      }
      const Utils::Time wait = ahead - Utils::Time::fromRaw(t);
      if (wait.raw() > 0) {
        c.sample.target(flowPosIn(0));
        if (wait.raw() >= kShortestSleep) {
          const Utils::Time wake = ZtClock::timeNow() + wait;
          c.sample.startTime = wake;
          const uint64_t slept = probe ? probe->sleepBegin() : 0;
          sleepUntil(wake);
          if (probe) probe->sleepEnd(slept);
        } else {
          c.sample.startTime = ZtClock::timeNow();
        }
      }
    }
  }

  // The end: every output learns that this producer is finished. The
  // markers are appended without waiting at the producer's gate: a consumer
  // that never started (a refused fork's can be one) or that stopped reading
  // would otherwise keep the end, and so stop() and the destructor, waiting
  // for good. A one-position marker needs no back-pressure.
  c.release();
  for (unsigned int j = 0; j < clampCount(outputCount_); ++j) {
    ZtFlowPacket* p = endMarkers_[j];
    endMarkers_[j] = nullptr;
    ZtFlow* f = outputs_[j];
    if (!f) {
      delete p;
      continue;
    }
    // An output attached while the loop ran has no marker of its own.
    if (!p) p = newMarker(ZtFlowPacket::MarkupCode::EndOfFlow);
    if (p) f->appendNonBlocking(p, &flowPosOut_[j]);
  }
  if (probe) probe->end();
  taskStop();
  unwait();
  running(false);
  // Release: whoever sees done also sees everything the loop did.
  done(true);
  ZtFlow::loopEnded();
  signalLoop();
  // The last word: from here on nothing of the task is touched.
  loopAlive_.store(false, std::memory_order_release);
}

void ZtFlowTask::sleepUntil(Utils::Time wake) {
  // A pacing sleep is cut short by shutdown: it only delays the end.
  while (!shutdown()) {
    const int64_t left = (wake - ZtClock::timeNow()).raw();
    if (left <= 0) return;
    ZIF_Sleep((left < kSleepSlice ? left : kSleepSlice) / 65536.0);
  }
}

void ZtFlowTask::detachInput(unsigned int i) {
  channelLock_.lock();
  inputs[i].store(nullptr, std::memory_order_release);
  unsigned int n = clampCount(inputCount_.load(std::memory_order_relaxed));
  while (n != 0 && !inputs[n - 1].load(std::memory_order_relaxed)) --n;
  inputCount_.store(n, std::memory_order_release);
  channelLock_.unlock();
}

bool ZtFlowTask::workStep(ZtFlowPacket** table, unsigned int chunk, bool& sampleValid) {
  // A virtual-input task is a source: it does not read real inputs, should
  // it have any. Reading them would put a packet in entry 0, which the
  // virtual input takes, and leave it there unreleased; unread, their data
  // stays in the flows.
  const bool virt = virtualInput();

  // Read passes: one packet from every live input, repeated until each has
  // delivered. Markers are dealt with here and never reach the handler.
  if (!virt) {
    unsigned int packetsRead = 0;
    unsigned int live = 0;
    do {
      live = 0;
      for (unsigned int i = 0; i < clampCount(inputCount()); ++i) {
        ZtFlow* f = inputs[i].load(std::memory_order_acquire);
        if (!f) continue;
        ++live;
        if (!table[i]) {
          unsigned int pos = flowPosIn_[i].load(std::memory_order_acquire);
          ZtFlowPacket* p = f->read(pos);
          if (p) {
            switch (p->markupCode()) {
              case ZtFlowPacket::MarkupCode::EndOfFlow:
                zkflow::StageProbe::marker(this, "end of flow", i);
                detachInput(i);
                --live;
                ZtFlowPacket::drop(p);
                break;
              case ZtFlowPacket::MarkupCode::Flush:
                zkflow::StageProbe::marker(this, "flush", i);
                flush(&ZtFlowTask::flowEmitter);
                flowPosIn_[i].fetch_add(p->size(), std::memory_order_acq_rel);
                ZtFlowPacket::drop(p);
                break;
              default:
                table[i] = p;
                ++packetsRead;
                break;
            }
          }
        }
        if (shutdown()) break;
      }
    } while (packetsRead < live && !shutdown());
  }

  // No inputs left: end, or idle on the wait lock when immortal.
  bool idle = false;
  while (inputCount() == 0 && !virt) {
    if (shutdown()) break;
    if (!immortal()) {
      shutdown(true);
      break;
    }
    idle = true;
    zkflow::StageProbe* const probe = probe_.load(std::memory_order_relaxed);
    const uint64_t idleSince = probe ? probe->idleBegin() : 0;
    wait();
    if (probe) probe->idleEnd(idleSince);
  }
  if (shutdown()) {
    for (unsigned int k = 0; k < kMaxFlows; ++k) {
      ZtFlowPacket::drop(table[k]);
      table[k] = nullptr;
    }
    return false;
  }
  if (idle) return true;

  // A new clock base (start, seek). exchange: a seek that lands meanwhile
  // is not lost. The plain look first keeps the locked exchange out of
  // every work step; a seek that sets the flag just after the look is seen
  // at the next step, as it would be had it come a moment later.
  if (resetClocks_.load(std::memory_order_acquire) &&
      resetClocks_.exchange(false, std::memory_order_acq_rel)) {
    baseClockTime(ZtClock::timeNow());
    flowPosBase(flowPosOut_[0]);
    sampleValid = false;
  }

  if (virt) {
    vInPacket_.pos(flowPosIn(0));
    vInPacket_.dSize(chunk);
    table[0] = &vInPacket_;
    vInPacket_.incRef();
  }

  // Cut every packet to the common size, never more than the chunk.
  unsigned int m = chunk;
  const unsigned int live = clampCount(inputCount());
  for (unsigned int k = 0; k < live; ++k) {
    if (table[k] && table[k]->size() < m) m = table[k]->size();
  }
  for (unsigned int k = 0; k < live; ++k) {
    if (table[k]) table[k]->clipSize(m);
  }

  const unsigned int inCount = virt ? 1 : clampCount(inputCount());
  const unsigned int outCount = clampCount(outputCount_);
  // Read once a step: a trace that starts meanwhile is seen from the next.
  zkflow::StageProbe* const probe = probe_.load(std::memory_order_relaxed);
  const bool watched = probe && probe->on();
  if (watched) probe->stepInputs(table, virt ? 0 : inCount);
  const unsigned int produced = taskHandleFlow(inCount, outCount, table, &ZtFlowTask::flowEmitter);

  // The handler may have shrunk the virtual input to say what it used.
  if (virt && table[0] && table[0]->size() < m) m = table[0]->size();
  for (unsigned int k = 0; k < inCount; ++k) flowPosIn_[k].fetch_add(m, std::memory_order_acq_rel);
  if (produced != 0) {
    for (unsigned int j = 0; j < outCount; ++j) flowPosOut_[j] += produced;
  }
  if (watched) probe->stepEnd(m, table, inCount);

  // Every entry, not only those below inCount: an entry the count no longer
  // covers must not keep its packet.
  for (unsigned int k = 0; k < kMaxFlows; ++k) {
    ZtFlowPacket::drop(table[k]);
    table[k] = nullptr;
  }
  return true;
}
