// SPDX-License-Identifier: Apache-2.0
#include "zkflow/flow/queuetask.h"

#include "zkflow/host/log.h"
#include "zkflow/host/zsys.h"
#include "kernel/flow/probe.h"

namespace {

constexpr uint32_t kNoHandle = 0xFFFFFFFFu;

// The pre-emptive body sleeps in quanta of 0.015 s while it paces a task
// without an input queue: 0.015 * 65536 = 983.04 truncated to raw units, 983
// (0.0149993896484375 s). Spelled as a raw value so that the figure does not
// hang on how a float literal rounds on its way through Time(double).
const Utils::Time kSleepQuantum = Utils::Time::fromRaw(static_cast<int64_t>(983.04f));

const char* const kFile = "kernel/flow/queuetask";

// Where the body is (waitingAt()).
const char* const kNotRunning = "not running";
const char* const kInit = "in taskInit";
const char* const kWaitingForInput = "waiting for input";
const char* const kHandling = "in taskHandlePacket";
const char* const kSuspended = "suspended";
const char* const kPacing = "pacing sleep";
const char* const kExit = "in taskExit";

// One turn of a wait for the body: yields at first, then naps. A body that
// sleeps (pacing, a suspension's sleep) would otherwise be waited for by a
// spin, which on the simulated clock holds time still for good.
void pause(unsigned& spins) {
  if (++spins < 64) {
    ZIF_Yield();
  } else {
    ZIF_Sleep(0.0002);
  }
}

}  // namespace

// ---------------------------------------------------------------- lifetime

ZtQueueTask::ZtQueueTask(bool coop) : coop_(coop) {
  init();
  if (!coop_) {
    // One reference, held by the task; copies share it.
    zk::Lock tmp(new zk::LockRep("TaskSuspend"));
    suspendLock = tmp;
    tmp.purge();
  }
}

ZtQueueTask::ZtQueueTask(const ZtQueueTask& o) {
  init();
  copyFrom(o);
}

ZtQueueTask& ZtQueueTask::operator=(const ZtQueueTask& o) {
  if (this != &o) copyFrom(o);
  return *this;
}

ZtQueueTask::~ZtQueueTask() {
  stop();
  // A body that stop() gave up on may still run on this object. Freeing the
  // object under it would be a use after free, so we wait until it has let
  // go. One parked in a take (say on a paused queue) or in a suspension is
  // woken and told to leave; one stuck in its handler is waited for until
  // the handler returns. A body deleting its own task cannot wait for itself.
  if (!coop_ && bodyActive_.load(std::memory_order_acquire) &&
      ZIF_CurrentTaskIdCoop() != taskId_) {
    if (!gaveUp_.load(std::memory_order_acquire)) {
      // After a stop() that saw the body end, it is only finishing its last
      // stores.
      for (unsigned spins = 0; bodyActive_.load(std::memory_order_acquire);) pause(spins);
    } else {
      leaving_.store(true, std::memory_order_relaxed);
      if (Queue* q = bodyQueue_.load(std::memory_order_acquire)) q->notEmpty.unlock();
      if (suspended_.load(std::memory_order_acquire)) suspendLock.unlock();
      while (bodyActive_.load(std::memory_order_acquire)) ZIF_Sleep(0.001);
    }
  }
  suspendLock.purge();
}

void ZtQueueTask::init() {
  running_.store(false, std::memory_order_relaxed);
  shutdown_.store(false, std::memory_order_relaxed);
  taskId_ = kNoHandle;
  affinityMask_ = 0xFFFFFFFFu;
  priority_ = 0;
  executor_ = zkflow::defaultExecutor();
  runTime_ = Utils::Time();
  in_.store(nullptr, std::memory_order_relaxed);
  out_.store(nullptr, std::memory_order_relaxed);
  minSampleTime_.store(0.0f, std::memory_order_relaxed);
  sampleStartTime_ = Utils::Time();
  suspended_.store(false, std::memory_order_relaxed);
  startEvent_ = kNoHandle;
  waitLimit = Utils::Time(10);
}

void ZtQueueTask::copyFrom(const ZtQueueTask& o) {
  // The run state stays this object's own (a copy has no body of its own
  // yet); a flag copied from a running source would make this object's
  // stop() wait for a body that does not exist.
  coop_ = o.coop_;
  taskId_ = o.taskId_;
  affinityMask_ = o.affinityMask_;
  priority_ = o.priority_;
  executor_ = o.executor_;
  runTime_ = o.runTime_;
  in_.store(o.in(), std::memory_order_release);
  out_.store(o.out(), std::memory_order_release);
  minSampleTime_.store(o.minSampleTime(), std::memory_order_relaxed);
  sampleStartTime_ = o.sampleStartTime_;
  startEvent_ = o.startEvent_;
  suspendLock = o.suspendLock;
  waitLimit = o.waitLimit;
}

bool ZtQueueTask::taskStart() { return true; }
void ZtQueueTask::taskInit() {}
void ZtQueueTask::taskExit() {}
void ZtQueueTask::taskStop() {}

Utils::Time ZtQueueTask::maxLatency() const {
  Queue* q = in();
  return q ? q->maxLatency.load(std::memory_order_relaxed) : Utils::Time();
}

Utils::Time ZtQueueTask::maxWaitTime() const {
  Queue* q = in();
  return q ? q->maxWaitTime.load(std::memory_order_relaxed) : Utils::Time();
}

// ---------------------------------------------------------------- control

bool ZtQueueTask::start() {
  if (running()) return true;
  if (bodyActive_.load(std::memory_order_acquire)) {
    // A body that stop() gave up on still runs here; a second body would
    // be a second consumer of the same queue.
    if (gaveUp_.load(std::memory_order_acquire)) return false;
    // Otherwise the last body is only finishing its final stores.
    for (unsigned spins = 0; bodyActive_.load(std::memory_order_acquire);) pause(spins);
  }
  // One consumer per queue: the queue is claimed before the body exists,
  // and let go when it ends (or here, when it cannot be made).
  Queue* const q = in();
  if (q) {
    const void* taker = nullptr;
    if (!q->consumer.compare_exchange_strong(taker, this, std::memory_order_acq_rel) && taker != this) {
      const char* name = taskName();
      Utils::Log::theLog()->print(Utils::MsgFault, "flow", -3, kFile, __LINE__,
                                  "%s not started: its input queue already has a running consumer",
                                  name ? name : "");
      return false;
    }
  }
  bodyQueue_.store(q, std::memory_order_release);
  gaveUp_.store(false, std::memory_order_relaxed);
  leaving_.store(false, std::memory_order_relaxed);
  bodyActive_.store(true, std::memory_order_relaxed);

  if (coop_) {
    startEvent_ = ZIF_CreateEventCoop(1, 0);
    ZIF_HostTasksCoop(0);
    if (ZIF_CreateTaskCoop(&ZtQueueTask::queueTaskCoop, this, &taskId_) < 0) {
      // We release the event at once rather than keep it until a stop()
      // that would never come for a task that never ran.
      ZIF_DestroyEventCoop(startEvent_);
      startEvent_ = kNoHandle;
      releaseQueue();
      bodyActive_.store(false, std::memory_order_relaxed);
      return running();
    }
    if (priority_ != 0) ZIF_SetTaskPriority(taskId_, priority_);
  } else if (zkflow::createTask(executor_, &ZtQueueTask::queueTask, this, &taskId_, affinityMask_,
                                priority_) < 0) {
    releaseQueue();
    bodyActive_.store(false, std::memory_order_relaxed);
    return running();
  }

  while (!running()) {
    // A body that stopped itself in its first turn may have come and gone
    // before we looked; waiting for `running` would then never end.
    if (!bodyActive_.load(std::memory_order_acquire)) return running();
    if (coop_) {
      // Should the event be unusable (no event could be made), waiting on
      // it returns at once; yield instead so the new task gets to run.
      if (ZIF_WaitEventCoop(startEvent_) < 0) ZIF_YieldCoop();
    } else {
      ZIF_Yield();
    }
  }
  if (!taskStart()) stop();
  return running();
}

void ZtQueueTask::releaseQueue() {
  Queue* q = bodyQueue_.load(std::memory_order_acquire);
  const void* mine = this;
  if (q) q->consumer.compare_exchange_strong(mine, nullptr, std::memory_order_acq_rel);
}

bool ZtQueueTask::stopWithin(double seconds) {
  if (coop_) return stop();
  if (running() && !shutdown()) {
    // stop() up to its wait.
    shutdown_.store(true, std::memory_order_release);
    taskStop();
    if (ZIF_CurrentTaskIdCoop() == taskId_) return false;
    postWakeUp();
    if (suspended_.load(std::memory_order_acquire)) suspendLock.unlock();
  } else if (!bodyActive_.load(std::memory_order_acquire)) {
    return true;
  } else if (ZIF_CurrentTaskIdCoop() == taskId_) {
    return false;
  }
  if (waitBody(seconds)) return true;
  const char* name = taskName();
  Utils::Log::theLog()->print(Utils::MsgWarning, "flow", -1, kFile, __LINE__, "%s did not stop within %g s: %s",
                              name ? name : "", seconds, waitingAt());
  // As a stop() that gives up: the body is left to end by itself.
  gaveUp_.store(true, std::memory_order_release);
  running_.store(false, std::memory_order_release);
  return false;
}

void ZtQueueTask::postWakeUp() {
  if (Queue* q = bodyQueue_.load(std::memory_order_acquire)) {
    zk::AP<ZtQueuePacket> wake;
    q->tryPush(wake);
  }
}

bool ZtQueueTask::waitBody(double seconds) {
  const Utils::Time t0 = ZtClock::timeNow();
  for (unsigned spins = 0; bodyActive_.load(std::memory_order_acquire);) {
    if ((ZtClock::timeNow() - t0).seconds() >= seconds) return !bodyActive_.load(std::memory_order_acquire);
    pause(spins);
  }
  return true;
}

bool ZtQueueTask::stop() {
  if (!running()) return true;
  if (coop_) {
    ZIF_DestroyEventCoop(startEvent_);
    startEvent_ = kNoHandle;
  }
  const uint32_t cur = ZIF_CurrentTaskIdCoop();
  if (shutdown()) return true;  // a stop is already under way
  shutdown_.store(true, std::memory_order_release);
  taskStop();
  if (cur == taskId_) return true;  // the body stops itself; it ends after this turn

  if (!coop_) {
    // Wake a body waiting for input: it hands the empty packet to the
    // handler and then sees `shutdown`. A full queue gets no wake-up; the
    // body is busy with it and sees `shutdown` after its current turn. We
    // post to the queue the body takes from, which is `in` unless `in` was
    // changed while it ran.
    postWakeUp();
  }
  wait();
  return true;
}

void ZtQueueTask::wait() {
  if (coop_) {
    suspended_.store(false, std::memory_order_release);
    ZIF_SetTaskSuspended(taskId_, 0);
    ZIF_SetTaskPriority(taskId_, 4);
    ZIF_WaitTaskCoop(taskId_);
    return;
  }
  // A suspended body could never reach the end of its turn, so we lift the
  // suspension as the cooperative wait does, instead of giving up on a body
  // that only waits for resume(). The request stays: the body, suspended
  // or about to be, then passes the lock, sees shutdown and ends without
  // taking anything more; it clears the request as it ends.
  if (suspended_.load(std::memory_order_acquire)) suspendLock.unlock();

  const Utils::Time t0 = ZtClock::timeNow();
  if (!running()) return;
  for (unsigned spins = 0;;) {
    pause(spins);
    if (ZtClock::timeNow() - t0 > waitLimit) {
      const char* name = taskName();
      Utils::Log::theLog()->print(Utils::MsgWarning, "flow", -1, kFile, 245, "%s waiting for too long",
                                  name ? name : "");
      gaveUp_.store(true, std::memory_order_release);
      running_.store(false, std::memory_order_release);
      return;
    }
    if (!running()) return;
  }
}

void ZtQueueTask::suspend() {
  suspended_.store(true, std::memory_order_release);
  if (coop_) ZIF_SetTaskSuspended(taskId_, 1);
}

void ZtQueueTask::resume() {
  if (coop_) {
    suspended_.store(false, std::memory_order_release);
    ZIF_SetTaskSuspended(taskId_, 0);
  } else if (suspended_.load(std::memory_order_acquire)) {
    // The body clears `suspended` once it holds the lock again. Without a
    // suspension there is nothing to lift: unlocking then would free the
    // lock the running body holds, and the next suspend() would pass it.
    suspendLock.unlock();
  }
}

// ---------------------------------------------------------------- bodies

bool ZtQueueTask::_take(Queue* q, zk::AP<ZtQueuePacket>& holder) {
  auto takeOne = [&] {
    return !q->paused.load(std::memory_order_relaxed) && q->unlinkHead(holder, true);
  };
  for (;;) {
    // Pass the gate: nothing to do while it is open; while we closed it on
    // an empty (or paused) queue, wait until a push opens it.
    if (q->notEmpty.isLocked()) {
      where_.store(kWaitingForInput, std::memory_order_relaxed);
      q->notEmpty.lock();
      q->notEmpty.unlock();
    }
    if (leaving_.load(std::memory_order_relaxed)) return false;
    if (takeOne()) return true;
    // A producer that is running usually pushes again within microseconds:
    // poll the count a while (no lock, no system call) before closing the
    // gate, which would cost a futex wait here and a wake in the producer.
    if (q->spinUntilQueued() && takeOne()) return true;
    // Close the gate, then look once more: a push (or unpause) between the
    // look above and the closing opened the gate before we closed it, and
    // its item would otherwise wait for the next push. The acquire of the
    // closing pairs with the release of that opening.
    q->notEmpty.lock();
    if (takeOne()) {
      // More may be queued: leave the gate open for our next take.
      q->notEmpty.unlock();
      return true;
    }
    if (leaving_.load(std::memory_order_relaxed)) return false;
  }
}

unsigned long ZtQueueTask::queueTask(void* arg) {
  ZtQueueTask* t = static_cast<ZtQueueTask*>(arg);
  t->where_.store(kInit, std::memory_order_relaxed);
  t->taskInit();
  // The queue start() claimed for us.
  Queue* const q = t->bodyQueue_.load(std::memory_order_acquire);
  // The lock is taken before `running` is published: start() returns only
  // once the body holds it, so a suspend() and resume() right after start()
  // cannot see their unlock land on a lock the body has not taken yet (the
  // body would then wait for a resume() that already came).
  t->suspendLock.lock();
  t->running_.store(true, std::memory_order_release);
  zkflow::HandlerTrace traced;

  if (!t->shutdown()) {
    do {
      zk::AP<ZtQueuePacket> holder;
      if (t->suspended_.load(std::memory_order_acquire)) {
        t->where_.store(kSuspended, std::memory_order_relaxed);
        t->suspendLock.lock();  // waits for resume(), or for stop() to lift it
        t->suspended_.store(false, std::memory_order_release);
        if (t->shutdown()) break;  // lifted by stop(): nothing more is handled
      } else if (!t->suspendLock.isLocked()) {
        // Two resume() calls for one suspension can both unlock before we
        // take the lock back; retaking it here keeps the next suspension.
        t->suspendLock.tryLock();
      }
      if (q) {
        if (!t->_take(q, holder)) break;  // the object is going away
        t->where_.store(kHandling, std::memory_order_relaxed);
        const uint64_t handling = traced.begin();
        t->taskHandlePacket(holder, t->out());
        traced.end(handling, t);
      } else {
        const Utils::Time t0 = ZtClock::timeNow();
        t->where_.store(kHandling, std::memory_order_relaxed);
        const uint64_t handling = traced.begin();
        t->taskHandlePacket(holder, t->out());
        traced.end(handling, t);
        t->where_.store(kPacing, std::memory_order_relaxed);
        while (ZtClock::timeNow() - t0 < Utils::Time(t->minSampleTime()))
          ZIF_Sleep(kSleepQuantum.seconds());
      }
      // Whatever the handler left in the holder is deleted here.
      zkflow::poolCheckpoint();
    } while (!t->shutdown());
  }

  t->suspendLock.unlock();
  t->suspended_.store(false, std::memory_order_release);  // a request stop() lifted
  t->where_.store(kExit, std::memory_order_relaxed);
  if (!t->leaving_.load(std::memory_order_relaxed)) t->taskExit();
  t->where_.store(kNotRunning, std::memory_order_relaxed);
  t->releaseQueue();
  t->running_.store(false, std::memory_order_release);
  t->shutdown_.store(false, std::memory_order_relaxed);
  // Last touch of the object: the destructor may free it once it sees this.
  t->bodyActive_.store(false, std::memory_order_release);
  return 0;
}

unsigned long ZtQueueTask::queueTaskCoop(void* arg) {
  ZtQueueTask* t = static_cast<ZtQueueTask*>(arg);
  t->where_.store(kInit, std::memory_order_relaxed);
  t->taskInit();
  Queue* const q = t->bodyQueue_.load(std::memory_order_acquire);
  t->running_.store(true, std::memory_order_release);
  ZIF_SetEventCoop(t->startEvent_);
  zkflow::HandlerTrace traced;

  if (!t->shutdown()) {
    do {
      zk::AP<ZtQueuePacket> holder;
      // No gate, no `paused`, no count: a cooperative task must never block
      // its hosting thread, so an empty queue only yields.
      if (q && !q->unlinkHead(holder, false)) {
        ZIF_YieldCoop();
        continue;  // ends the turn: no handler call, no pacing
      }
      t->sampleStartTime_ = ZtClock::timeNow();
      t->where_.store(kHandling, std::memory_order_relaxed);
      const uint64_t handling = traced.begin();
      t->taskHandlePacket(holder, t->out());
      traced.end(handling, t);
      t->runTime_ = Utils::Time(ZIF_CurrentTaskTimeCoop(), ZIF_ZeroBasedTimeFrequency());
      if (t->shutdown()) break;
      ZIF_PollTasks();
      const float minSample = t->minSampleTime();
      if (minSample > 0.0f) {
        const float elapsed =
            static_cast<float>((ZtClock::timeNow() - t->sampleStartTime_).seconds());
        const float remaining = minSample - elapsed;
        // Even an overrunning handler gives up the processor for 12 % of a
        // turn, so the thread's other tasks still run.
        const float floor = 0.12f * minSample;
        ZIF_SuspendFor(remaining - floor < 0.0f ? floor : remaining);
      }
    } while (!t->shutdown());
  }

  t->where_.store(kExit, std::memory_order_relaxed);
  t->taskExit();
  t->where_.store(kNotRunning, std::memory_order_relaxed);
  t->releaseQueue();
  t->running_.store(false, std::memory_order_release);
  t->shutdown_.store(false, std::memory_order_relaxed);
  t->bodyActive_.store(false, std::memory_order_release);
  return 0;
}
