// SPDX-License-Identifier: Apache-2.0
#include "zkflow/flow/flowtask.h"

#include <cstdarg>
#include <cstring>
#include <initializer_list>

#include "zkflow/host/clock.h"
#include "zkflow/host/log.h"
#include "zkflow/host/zsys.h"
#include "zkflow/host/simtime.h"
#include "zkflow/flow/flow.h"
#include "host/pool.h"
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
// sleeps; every kRewakeSpins turns it repeats its wake-ups and looks at the
// clock.
const unsigned int kStopSpins = 1024;
const unsigned int kRewakeSpins = 64;
// stop() says once where the loop waits when it has waited this long.
const double kStopWarnSeconds = 10.0;
// Trimming keeps "everything ahead" of a consumer as the next quarter of the
// axis: far beyond what a flow holds, and clear of the half-axis point where
// ahead would turn into behind (positions compare by difference).
const unsigned int kAhead = 0x3FFFFFFFu;
// Back-off after steps that advance nothing: this many yields, then sleeps
// from kBackOffFirst seconds, doubling up to kBackOffMost.
const unsigned int kBackOffYields = 8;
const double kBackOffFirst = 0.00005;
const double kBackOffMost = 0.004;

// Where the loop is (waitingAt()); static strings, compared by content.
const char* const kReading[ZtFlowUnit::kMaxFlows] = {"reading input 0", "reading input 1",
                                                     "reading input 2", "reading input 3"};
const char* const kEmitting[ZtFlowUnit::kMaxFlows] = {"emitting to output 0", "emitting to output 1",
                                                      "emitting to output 2", "emitting to output 3"};
const char* const kNotRunning = "not running";
const char* const kInit = "in taskInit";
const char* const kCycling = "between cycles";
const char* const kHandling = "in taskHandleFlow";
const char* const kFlushing = "in taskFlush";
const char* const kPacing = "pacing sleep";
const char* const kIdle = "idle (immortal)";
const char* const kBackingOff = "backing off";
const char* const kEnding = "in taskStop";

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

// A control call that the task's state forbids: "<name> <call> refused: <why>".
void logRefused(const char* name, const char* call, const char* why) {
  Utils::Log::theLog()->print(Utils::MsgFault, "flow", -3, kFile, __LINE__, "%s %s refused: %s",
                              name ? name : "", call, why);
}

// Positions of a cycle before they are cut to 32 bits and rounded to the
// granularity, worked out without the 64-bit wrap of chunkFor(): the figure a
// refusal shows.
long long chunkPositions(unsigned int dataRate, int64_t duration) {
  return static_cast<long long>((dataRate + 0.5L) * static_cast<long double>(duration) / 65536.0L);
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
  executor_ = o.executor_;
  wakeLatency_.store(o.wakeLatency_.load(std::memory_order_acquire), std::memory_order_relaxed);
  // The policies go with the outputs; what the source's loop counted stays
  // its own.
  for (unsigned int j = 0; j < kMaxFlows; ++j) policy_[j] = o.policy_[j];
  blockMask_.store(o.blockMask_.load(std::memory_order_relaxed), std::memory_order_relaxed);
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
  executor_ = zkflow::defaultExecutor();
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

// Output 0 and every output whose policy is Block hold the producer back:
// it sleeps while any of them has more than durationMax ahead of its
// consumer and wakes when all are within max(latency, durationMin). The
// gate that closes is that of the flow the producer appended to; a read on
// it that finds nothing opens it whatever the test says, and the producer's
// next append asks again.
bool ZtFlowTask::wakeTest() const {
  bool answer = true;
  ZtFlow* f = outputCount_ ? outputs_[0] : nullptr;
  if (f) {
    int64_t l = wakeLatency_.load(std::memory_order_acquire);
    const int64_t lowest = rateInfo_.durationMin().raw();
    if (l < lowest) l = lowest;
    const int64_t limit = mulFix(rateTime(rateInfo_.dataRate()), l);
    answer = (static_cast<int64_t>(bufferedAhead(f)) << 16) <= limit;
    for (unsigned int m = blockMask_.load(std::memory_order_relaxed); m != 0 && answer; m &= m - 1) {
      ZtFlow* g = outputs_[__builtin_ctz(m)];
      if (g) answer = (static_cast<int64_t>(bufferedAhead(g)) << 16) <= limit;
    }
  }
  return taskWakeTest(answer);
}

inline bool ZtFlowTask::over(ZtFlow* f, int64_t bound) {
  // Asked after every append: while the whole list is within the bound, so
  // is the run ahead of the consumer, and the answer needs neither the
  // list's guard nor a walk (see ZtFlow::heldWithin). held << 16 > bound is
  // held > bound >> 16 (bound is not negative).
  if (!f || f->heldWithin(static_cast<uint64_t>(bound) >> 16)) return false;
  return (static_cast<int64_t>(bufferedAhead(f)) << 16) > bound;
}

bool ZtFlowTask::blockedOver(int64_t bound) const {
  for (unsigned int m = blockMask_.load(std::memory_order_relaxed); m != 0; m &= m - 1)
    if (over(outputs_[__builtin_ctz(m)], bound)) return true;
  return false;
}

bool ZtFlowTask::sleepTest() const {
  bool answer = false;
  ZtFlow* f = outputCount_ ? outputs_[0] : nullptr;
  const int64_t most = rateInfo_.durationMax().raw();
  if (f && most > 0) {
    const int64_t bound = mulFix(rateTime(rateInfo_.dataRate()), most);
    answer = over(f, bound) || (blockMask_.load(std::memory_order_relaxed) != 0 && blockedOver(bound));
  }
  // A loop told to stop waits for no consumer (see stop()). Asked only when
  // the answer is to sleep, so an append that may go on pays nothing.
  return taskSleepTest(answer) && !shutdown();
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
  // A data rate whose cycles come to 0 positions (too small for the
  // duration, or so large that the 32-bit chunk wraps) would never produce:
  // the loop would spin, a clock-regulated one report endless dropouts, and
  // a consumer never reach the end of its input. A data rate of 0 is left to
  // start() (see there).
  const unsigned int dataRate = rateInfo_.dataRate();
  if (dataRate != 0 && chunkFor(dataRate, steadyDuration(), g) == 0) {
    logRefusal(name(), "a cycle's chunk comes to 0 positions", chunkPositions(dataRate, steadyDuration()));
    return false;
  }
  return true;
}

int64_t ZtFlowTask::steadyDuration() const {
  // The loop's first cycle uses duration; from the second on, never less
  // than durationMin.
  const int64_t d = rateInfo_.duration().raw();
  const int64_t least = rateInfo_.durationMin().raw();
  return d > least ? d : least;
}

bool ZtFlowTask::start() {
  bool expected = false;
  if (!started_.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return false;
  // A loop that ended by itself may still be on its last instructions.
  waitLoopGone();
  done(false);
  shutdown(false);
  running(false);
  stopAsked_.store(false, std::memory_order_relaxed);
  taskRateInfo(rateInfo_);
  if (!validRequest() || !reserveEndMarkers()) {
    started(false);
    return false;
  }
  // A data rate of 0 is also what a fork has when its consumers disagree or
  // are not started: its own taskStart() refuses then, after the loop has
  // run, so that its started consumers see the end. Any other task whose
  // chunk is 0 is refused after taskStart(), in the same way.
  // Worked out before the loop exists: the loop renews the duration.
  const int64_t steady = steadyDuration();
  const bool nothingToDo = chunkFor(rateInfo_.dataRate(), steady, granularity_) == 0;
  const long long positions = chunkPositions(rateInfo_.dataRate(), steady);
  loopName_.store(name(), std::memory_order_relaxed);
  if (!probe_.load(std::memory_order_relaxed)) probe_.store(new zkflow::StageProbe(this), std::memory_order_release);
  loopAlive_.store(true, std::memory_order_release);
  // taskId is written before the task exists (the loop's stop() test below
  // reads it on the loop's own thread).
  if (zkflow::createTask(executor_, &ZtFlowTask::flowTaskBody, this, &taskId, affinityMask_,
                         priority_) != 0) {
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
    // A pooled caller must not block its worker, which may be the one the
    // loop is waiting for.
    if (zkflow::currentWorker() >= 0) {
      ZIF_Yield();
      continue;
    }
    zkflow::waitWord(loopSignal_, seen, -1.0);
  }
  if (!taskStart()) {
    stop();
    return false;
  }
  if (nothingToDo) {
    logRefusal(name(), "a cycle's chunk comes to 0 positions", positions);
    stop();
    return false;
  }
  return true;
}

void ZtFlowTask::askToStop() {
  stopAsked_.store(true, std::memory_order_relaxed);
  shutdown(true);
  unwait();
  kick();
  releaseOutputs();
}

void ZtFlowTask::releaseOutputs() {
  for (unsigned int j = 0; j < clampCount(outputCount_); ++j)
    if (ZtFlow* f = outputs_[j]) f->releaseProducer();
}

void ZtFlowTask::stop() {
  // A copy has the flags of its source but no loop to wait for.
  if (!running() || !loopAlive_.load(std::memory_order_acquire)) return;
  askToStop();
  // Called from one of our own hooks, waiting for the loop would wait for
  // ourselves: the loop sees shutdown at its next check and ends.
  if (ZIF_CurrentTaskIdCoop() == taskId) return;
  waitDone(-1.0);
  started(false);
}

bool ZtFlowTask::stopWithin(double seconds) {
  if (!running() || !loopAlive_.load(std::memory_order_acquire)) return true;
  askToStop();
  if (ZIF_CurrentTaskIdCoop() == taskId) return false;
  if (waitDone(seconds)) {
    started(false);
    return true;
  }
  const char* n = loopName_.load(std::memory_order_relaxed);
  Utils::Log::theLog()->print(Utils::MsgWarning, "flow", -1, kFile, __LINE__, "%s did not stop within %g s: %s",
                              n ? n : "", seconds, waitingAt());
  return false;
}

bool ZtFlowTask::waitDone(double seconds) {
  const Utils::Time t0 = ZtClock::timeNow();
  bool warned = false;
  for (unsigned int spins = 1; !done(); ++spins) {
    // A loop that is slow to end (a hook that takes its time) is waited for
    // without burning a processor once it has had a moment.
    if (spins < kStopSpins) {
      ZIF_Yield();
    } else {
      ZIF_Sleep(0.0002);
    }
    if (spins % kRewakeSpins != 0) continue;
    // A wait the loop entered after our first wake-ups (a read begun just
    // after the kick, an input added meanwhile, a gate closed by a forced
    // append) is freed by the next round.
    unwait();
    kick();
    releaseOutputs();
    const double waited = (ZtClock::timeNow() - t0).seconds();
    if (seconds >= 0 && waited >= seconds) return done();
    if (seconds < 0 && !warned && waited >= kStopWarnSeconds) {
      warned = true;
      const char* n = loopName_.load(std::memory_order_relaxed);
      Utils::Log::theLog()->print(Utils::MsgWarning, "flow", -1, kFile, __LINE__,
                                  "%s still stopping after %g s: %s", n ? n : "", kStopWarnSeconds, waitingAt());
    }
  }
  return true;
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
  zkflow::wakeWord(loopSignal_);
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
  if (running() && !immortal()) {
    logRefused(name(), "addInput", "the task is running and not immortal");
    return false;
  }
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
  if (started()) {
    logRefused(name(), "addOutput", "the task is started");
    return false;
  }
  outputs_[outputCount_] = flow;
  flow->wakeProducerTestFn(&ZtFlowUnit::wakeTestFn);
  flow->sleepProducerTestFn(&ZtFlowUnit::sleepTestFn);
  ++outputCount_;
  // The producer link goes last: a flow that sees it finds the table and
  // the tests complete.
  flow->producer(this);
  return true;
}

void ZtFlowTask::outputPolicy(unsigned int output, OutputPolicy policy) {
  if (output >= kMaxFlows) {
    logRefused(name(), "outputPolicy", "no such output (0 to 3)");
    return;
  }
  if (started()) {
    logRefused(name(), "outputPolicy", "the task is started");
    return;
  }
  policy_[output] = policy;
  unsigned int mask = 0;
  // Output 0 always holds the producer back; bits for outputs 1 to 3.
  for (unsigned int j = 1; j < kMaxFlows; ++j)
    if (policy_[j] == OutputPolicy::Block) mask |= 1u << j;
  blockMask_.store(mask, std::memory_order_relaxed);
}

ZtFlowTask::OutputPolicy ZtFlowTask::outputPolicy(unsigned int output) const {
  return output < kMaxFlows ? policy_[output] : OutputPolicy::Trim;
}

uint64_t ZtFlowTask::overrunBytes(unsigned int output) const {
  return output < kMaxFlows ? overrun_[output].load(std::memory_order_relaxed) : 0;
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
  // Relaxed stores of static strings: what stopWithin() reports of a loop
  // held here, at the cost of two plain stores per emit.
  const char* was = task->where_.load(std::memory_order_relaxed);
  task->where_.store(kEmitting[i], std::memory_order_relaxed);
  f->append(packet, &task->flowPosOut_[i]);
  task->where_.store(was, std::memory_order_relaxed);
  ++task->emits_;
}

void ZtFlowTask::emitFlush(ZtFlowEmitFn emit) {
  if (!emit) return;
  for (unsigned int i = 0; i < clampCount(outputCount_); ++i) {
    ZtFlowDataPacket* p = newMarker(ZtFlowPacket::MarkupCode::Flush);
    if (p) {
      emit(this, i, p);
    } else {
      // No memory for the marker: its one position is left as a hole, so
      // that what follows stays where it belongs.
      ++flowPosOut_[i];
    }
  }
}

void ZtFlowTask::flush(ZtFlowEmitFn emit) {
  where_.store(kFlushing, std::memory_order_relaxed);
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
  // Work steps (or cycles without any) in a row that advanced nothing.
  unsigned int idle = 0;

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
//   1. trim each output behind its consumer, and a Trim output other than 0
//      to its window ahead of it (see trimOutputs);
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
//  - output 0 and Block outputs are never trimmed ahead of their consumer,
//    and a task with no durationMax trims nothing ahead (trimOutputs);
//  - a Trim output is trimmed to its window whether or not its flow's reads
//    remove packets: either way the window is what bounds it;
//  - steps that advance nothing, and cycles without steps, back off
//    (backOff) instead of spinning;
//  - the EndOfFlow markers do not wait at the producer's gate (the end);
//  - the pacing sleep ends early on shutdown, and a stop frees an emit
//    waiting at an output's gate (stop());
//  - a negative duration gives a chunk of 0, and a latency figure of 0 or
//    less (only negative samples of a derived class give one) keeps the
//    last duration instead of dividing by it.
inline void ZtFlowTask::checkpoint() {
  if ((++checkpoints_ & 31) == 0) zkflow::pool::checkpointDue();
}

void ZtFlowTask::run() {
  ZtFlow::loopStarted();
  name();
  zkflow::StageProbe* const probe = probe_.load(std::memory_order_acquire);
  if (probe) probe->begin();
  Cycle c;
  latency_.addSample(rateInfo_.duration());
  noteLatency();
  publishRequest();
  where_.store(kInit, std::memory_order_relaxed);
  taskInit();
  running(true);
  signalLoop();

  while (!shutdown()) {
    checkpoint();
    where_.store(kCycling, std::memory_order_relaxed);
    const unsigned int dataRate = rateInfo_.dataRate();
    trimOutputs();

    const unsigned int saved = flowPosOut_[0];
    const unsigned int chunk = chunkFor(dataRate, rateInfo_.duration().raw(), granularity_);
    c.sampleValid = true;

    while (!shutdown() && flowPosOut_[0] - saved < chunk) {
      bool advanced = false;
      if (!workStep(c.table, chunk, c.sampleValid, advanced)) break;
      if (advanced) {
        c.idle = 0;
      } else {
        backOff(c.idle);
      }
    }
    if (probe && probe->on()) probe->cycleEnd(c.idle == 0);
    // A cycle with no work to do (a chunk of 0 once under way) would come
    // round again at once.
    if (chunk == 0) backOff(c.idle);

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
          where_.store(kPacing, std::memory_order_relaxed);
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
    // An output set through output(j, flow) while the loop ran has no
    // marker of its own.
    if (!p) p = newMarker(ZtFlowPacket::MarkupCode::EndOfFlow);
    if (p) f->appendNonBlocking(p, &flowPosOut_[j]);
    // Nothing of ours waits in the flow's stage from here on: every view of
    // the flow, a walk of its nodes included, sees all we wrote.
    f->settle();
  }
  if (probe) probe->end();
  where_.store(kEnding, std::memory_order_relaxed);
  taskStop();
  unwait();
  where_.store(kNotRunning, std::memory_order_relaxed);
  // A stop was asked and we end: the task is stopped, not ended by itself,
  // also when the stop() that asked gave up waiting (stopWithin).
  if (stopAsked_.exchange(false, std::memory_order_relaxed)) started(false);
  running(false);
  // Release: whoever sees done also sees everything the loop did.
  done(true);
  ZtFlow::loopEnded();
  signalLoop();
  // The last word: from here on nothing of the task is touched.
  loopAlive_.store(false, std::memory_order_release);
}

void ZtFlowTask::trimOutputs() {
  // Output 0 and Block outputs are held back by their consumer, and a task
  // without durationMax set no bound: only what lies behind a consumer goes.
  // A Trim output beyond 0 keeps its window (see windowSpan). Output 0
  // first and on its own: most tasks have only it, once a cycle.
  unsigned int r = 0;
  if (trimsFromConsumer(0, r)) {
    if (!outputs_[0]->readRemovesPacket()) outputs_[0]->deleteOutsideRange(r, r + kAhead);
  }
  for (unsigned int j = 1; j < clampCount(outputCount_); ++j) {
    if (!trimsFromConsumer(j, r)) continue;
    ZtFlow* f = outputs_[j];
    if (rateInfo_.durationMax().raw() <= 0 || (blockMask_.load(std::memory_order_relaxed) >> j & 1u) != 0) {
      if (!f->readRemovesPacket()) f->deleteOutsideRange(r, r + kAhead);
      continue;
    }
    const unsigned int span = windowSpan();
    const uint64_t before = f->droppedUnread();
    f->deleteOutsideRange(r, r + span);
    const uint64_t dropped = f->droppedUnread() - before;
    if (dropped == 0) {
      overrunning_[j] = false;  // the episode, if any, is over
      continue;
    }
    overrun_[j].fetch_add(dropped, std::memory_order_relaxed);
    if (!overrunning_[j]) {
      overrunning_[j] = true;
      Utils::Log::theLog()->print(Utils::MsgWarning, "flow", -1, kFile, __LINE__,
                                  "%s output %u overrun: dropped %llu bytes its consumer had not read",
                                  name(), j, static_cast<unsigned long long>(dropped));
    }
  }
}

bool ZtFlowTask::trimsFromConsumer(unsigned int j, unsigned int& r) {
  ZtFlow* f = j < clampCount(outputCount_) ? outputs_[j] : nullptr;
  if (!f) return false;
  r = f->requestPos();
  if (r == 0 && flowPosOut_[j] != 0) {
    ZIF_Yield();  // the consumer has not asked for anything yet
    return false;
  }
  return true;
}

unsigned int ZtFlowTask::windowSpan() const {
  // Twice durationMax at the data rate, in whole positions; beyond a quarter
  // of the axis "ahead" would stop meaning ahead.
  const int64_t positions =
      mulFix(rateTime(rateInfo_.dataRate()), mulFix(rateInfo_.durationMax().raw(), 131072)) >> 16;
  return positions < 0 || positions > static_cast<int64_t>(kAhead) ? kAhead : static_cast<unsigned int>(positions);
}

void ZtFlowTask::backOff(unsigned int& idle) {
  // Yields first: another loop of the process may be what we wait for. Then
  // sleeps that grow to a few milliseconds, so that a loop left with nothing
  // to do (a source that has finished but neither emits nor stops) costs
  // next to nothing, and one whose work comes back resumes within that.
  // Only the host's ZIF_Yield and ZIF_Sleep: they are what any executor of
  // the loops provides.
  ++idle;
  if (idle <= kBackOffYields) {
    ZIF_Yield();
    return;
  }
  const unsigned int k = idle - kBackOffYields - 1;
  double seconds = kBackOffFirst * static_cast<double>(1u << (k < 8 ? k : 8));
  if (seconds > kBackOffMost) seconds = kBackOffMost;
  where_.store(kBackingOff, std::memory_order_relaxed);
  ZIF_Sleep(seconds);
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

bool ZtFlowTask::workStep(ZtFlowPacket** table, unsigned int chunk, bool& sampleValid, bool& advanced) {
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
          where_.store(kReading[i], std::memory_order_relaxed);
          ZtFlowPacket* p = f->read(pos);
          // Nothing there, and the producer trimmed what was: go on after
          // the hole. Compared and set, so a seek meanwhile wins.
          unsigned int past = pos;
          if (!p && f->crossLost(past)) flowPosIn_[i].compare_exchange_strong(pos, past);
          if (p) {
            switch (p->markupCode()) {
              case ZtFlowPacket::MarkupCode::EndOfFlow:
                zkflow::StageProbe::marker(this, zkflow::trace::Kind::EndOfFlow, i);
                detachInput(i);
                --live;
                ZtFlowPacket::drop(p);
                break;
              case ZtFlowPacket::MarkupCode::Flush:
                zkflow::StageProbe::marker(this, zkflow::trace::Kind::Flush, i);
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
      // A pass can find nothing without waiting (data that could not be
      // copied); on the pool the others get their turn meanwhile.
      checkpoint();
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
    where_.store(kIdle, std::memory_order_relaxed);
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
  if (idle) {
    advanced = true;  // woken with a new input: not a step that found nothing
    return true;
  }

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
  const unsigned int emitsBefore = emits_;
  const unsigned int out0Before = flowPosOut_[0];
  where_.store(kHandling, std::memory_order_relaxed);
  // Read once a step: a trace that starts meanwhile is seen from the next.
  zkflow::StageProbe* const probe = probe_.load(std::memory_order_relaxed);
  const bool watched = probe && probe->on();
  if (watched) probe->stepInputs(table, virt ? 0 : inCount);
  const unsigned int produced = taskHandleFlow(inCount, outCount, table, &ZtFlowTask::flowEmitter);

  // The handler may have shrunk the virtual input to say what it used.
  if (virt && table[0] && table[0]->size() < m) m = table[0]->size();
  for (unsigned int k = 0; k < inCount; ++k) flowPosIn_[k].fetch_add(m, std::memory_order_acq_rel);
  // Progress: a real input consumed, or an output moved (through
  // flowEmitter, the return value, or an emit function of the task's own
  // that moves output 0).
  advanced = (!virt && m != 0 && inCount != 0) || emits_ != emitsBefore || (produced != 0 && outCount != 0) ||
             flowPosOut_[0] != out0Before;
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
