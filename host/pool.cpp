// SPDX-License-Identifier: Apache-2.0
// The worker pool: pooled tasks are fibers (fiber.h) that any of a few worker
// threads may run.
//
// Scheduling. One ready queue for the whole pool, first in first out, under a
// spin lock held for a few instructions. A worker takes the task at its head
// and switches to it from its own flow (its scheduler); the task runs until
// it waits (park), sleeps, yields or ends, each of which switches back to the
// scheduler, which then files the task where it belongs: the wait's list is
// opened to others, a sleeper goes among the timers, a yielder to the tail of
// the queue, an ended task's stack back to the cache. Filing it only once it
// is off its stack means that no other worker can resume a task that still
// runs. A task may so move to another worker at every wait ("migration"): a
// ready task never waits for one particular worker while another is idle.
//
// We chose one shared queue over per-worker queues with stealing by
// measurement: on chains of 2 to 64 stages on two processors the tasks of a
// graph park after every batch of packets that back-pressure lets through,
// so the queue is taken a few times per batch, not per packet, and its lock
// never showed in a profile; stealing added a second place to look on every
// pick and spread a chain's neighbours over both processors more often.
//
// Idle workers. A worker with nothing ready polls the queue a short while,
// then sleeps on a futex until a task becomes ready (ready() wakes one
// sleeper when no wake is already on its way) or the earliest timer falls
// due. Timers are kept in a heap under the queue's lock; a task whose timer
// fell due goes to the head of the queue, as a paced task is the one whose
// lateness counts.
//
// Blocked workers. A pooled task that blocks in the operating system blocks
// its worker. A monitor thread looks every kMonitorPeriod: a worker that has
// run the same task for kBlockedPeriods looks while tasks are ready is
// counted as blocked, and the pool adds a worker for it (up to kMaxExtra
// times its size), logging it once, so the ready tasks still run.
//
// Everything here comes from the std heap and mmap, never from
// Utils::Allocator (as in zsys.cpp): tests count the allocator's blocks.
#include "pool.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "fiber.h"
#include "simclock.h"
#include "zkflow/host/executor.h"
#include "zkflow/host/lock.h"
#include "zkflow/host/log.h"

namespace zkflow {

struct PoolTask {
  fiber::Fiber fiber;
  ZIF_TaskEntry entry = nullptr;
  void* arg = nullptr;
  uint32_t id = 0;
  PoolTask* next = nullptr;  // in the ready queue or in one lock's waiters
  uint64_t wakeAt = 0;       // host clock ns (simclock.h), while asleep
  void* local = nullptr;     // see pool::taskLocal()
};

}  // namespace zkflow

namespace {

using zkflow::PoolTask;
namespace fiber = zkflow::fiber;

#if defined(__SANITIZE_ADDRESS__) || (defined(ZKFLOW_TSAN) && ZKFLOW_TSAN)
constexpr size_t kStackSize = 4u << 20;  // sanitized frames are several times larger
#else
// Virtual space only: a task's resident cost is the pages it touched.
constexpr size_t kStackSize = 1u << 20;
#endif
// Stacks of ended tasks kept for the next ones.
constexpr size_t kStackCacheMax = 64;
// How long an idle worker polls the queue before it sleeps. A partner on
// the other worker usually makes a task ready within that; sleeping at once
// would cost a futex wake there and a wake-up here.
constexpr uint64_t kIdlePollNs = 20000;  // 20 us
// A task that has held its worker this long while others are ready gives
// way at its next checkpoint (zkflow::poolCheckpoint).
constexpr uint64_t kSlice = 1000000;  // 1 ms
constexpr uint64_t kMonitorPeriod = 10000000;  // 10 ms
constexpr unsigned kBlockedPeriods = 5;        // 50 ms on one task, others waiting
constexpr unsigned kMaxExtra = 4;              // the pool grows to at most 4x + 4
// An extra worker with nothing to do for this long ends.
constexpr uint64_t kExtraIdle = 1000000000;  // 1 s
const char* const kFile = "host/pool";

uint64_t monoNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

long futexWait(std::atomic<uint32_t>* word, uint32_t seen, uint64_t deadlineNs) {
  if (deadlineNs == 0)
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, seen, nullptr,
                   nullptr, 0);
  // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, as the bare
  // clock_nanosleep loop a paced task is measured against does.
  timespec ts;
  ts.tv_sec = static_cast<time_t>(deadlineNs / 1000000000ull);
  ts.tv_nsec = static_cast<long>(deadlineNs % 1000000000ull);
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET_PRIVATE, seen, &ts,
                 nullptr, FUTEX_BITSET_MATCH_ANY);
}

void futexWake(std::atomic<uint32_t>* word, int n) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, n, nullptr, nullptr, 0);
}

// What a task asked its worker to do with it once it is off its stack.
enum class After { Park, Yield, Sleep, End };

struct Worker {
  int index = 0;
  fiber::Fiber root;              // the worker thread's own flow: the scheduler
  PoolTask* running = nullptr;    // this thread only
  After after = After::Park;      // this thread only
  ZtSpinLock* release = nullptr;  // After::Park: unlocked once the task is off its stack
  uint64_t sliceStart = 0;        // this thread only: when `running` was picked
  unsigned checkpoints = 0;       // this thread only
  bool extra = false;             // added by the monitor; ends when idle
  // For the monitor: picks so far, whether a task is running, whether the
  // worker has ended, and its thread for /proc.
  std::atomic<uint64_t> picks{0};
  std::atomic<bool> busy{false};
  std::atomic<bool> gone{false};
  std::atomic<pid_t> tid{0};
};

// initial-exec: one read off the thread pointer, for currentWorker(), which
// a trace may call per packet.
thread_local Worker* tWorker __attribute__((tls_model("initial-exec"))) = nullptr;

// The calling thread's worker, read afresh. A task may leave one worker and
// come back on another, so the thread-local's address must not be kept
// across a switch: the asm makes the compiler read it at every call.
__attribute__((noinline)) Worker* here() {
  asm volatile("" ::: "memory");
  return tWorker;
}

struct Timer {
  uint64_t at;
  PoolTask* task;
  bool operator<(const Timer& o) const { return at > o.at; }  // a min-heap by time
};

struct Pool {
  // Set once, before the first task: the size asked for (0: default).
  std::atomic<unsigned> asked{0};
  std::atomic<bool> started{false};
  ZtSpinLock startGuard;

  // The ready queue, timers, idle accounting and stack cache, under `q`.
  ZtSpinLock q;
  PoolTask* head = nullptr;
  PoolTask* tail = nullptr;
  std::vector<Timer> timers;
  unsigned idle = 0;     // workers asleep on `wake` (or about to be)
  unsigned waking = 0;   // wakes sent that no worker has taken yet
  std::vector<fiber::Stack> stacks;
  std::atomic<bool> anyReady{false};  // head != null, for polling without the lock
  std::atomic<uint32_t> wake{0};      // futex word of idle workers

  // Workers, only ever added. `workers` is written under `q` by the monitor
  // and the first spawn; the monitor alone reads it outside.
  std::vector<Worker*> workers;
  unsigned size = 0;  // the pool's own size, without extra workers
  std::atomic<uint32_t> live{0};  // pooled tasks not yet ended; the monitor's futex word
  // The simulated clock's session the workers are counted in, or 0. Under q.
  uint32_t simSession = 0;
};

// Never destroyed: workers may still run while the process exits.
Pool& thePool() {
  static Pool* p = new Pool;
  return *p;
}

// REQUIRES: q held.
void pushReady(Pool& p, PoolTask* t, bool front) {
  t->next = nullptr;
  if (!p.head) {
    p.head = p.tail = t;
  } else if (front) {
    t->next = p.head;
    p.head = t;
  } else {
    p.tail->next = t;
    p.tail = t;
  }
  p.anyReady.store(true, std::memory_order_relaxed);
}

// REQUIRES: q held. True when a sleeping worker should be woken (the caller
// wakes it after letting go of q).
bool wantWake(Pool& p) {
  if (p.idle <= p.waking) return false;
  ++p.waking;
  return true;
}

void wakeOne(Pool& p) {
  p.wake.fetch_add(1, std::memory_order_seq_cst);
  if (zkflow::sim::on()) zkflow::sim::wake(&p.wake, 1);
  futexWake(&p.wake, 1);
}

// REQUIRES: q held. Moves the sleepers whose time has come to the head of
// the queue.
void fireTimers(Pool& p) {
  if (p.timers.empty()) return;
  const uint64_t now = zkflow::sim::nowNs();
  while (!p.timers.empty() && p.timers.front().at <= now) {
    std::pop_heap(p.timers.begin(), p.timers.end());
    pushReady(p, p.timers.back().task, true);
    p.timers.pop_back();
  }
}

// The next task for `w`; sleeps while there is none. Null: `w` is an extra
// worker that had nothing to do for kExtraIdle, and ends.
PoolTask* take(Pool& p, Worker& w) {
  uint64_t idleSince = 0;
  for (;;) {
    p.q.lock();
    fireTimers(p);
    if (PoolTask* t = p.head) {
      p.head = t->next;
      if (!p.head) {
        p.tail = nullptr;
        p.anyReady.store(false, std::memory_order_relaxed);
      }
      p.q.unlock();
      return t;
    }
    const uint64_t deadline = p.timers.empty() ? 0 : p.timers.front().at;
    if (w.extra) {
      const uint64_t now = monoNs();
      if (idleSince == 0) idleSince = now;
      if (now - idleSince >= kExtraIdle) {
        w.gone.store(true, std::memory_order_relaxed);
        const uint32_t session = p.simSession;
        p.q.unlock();
        zkflow::sim::leave(session);
        return nullptr;
      }
    }
    p.q.unlock();
    // Poll a while before sleeping: no lock, no system call. Not on the
    // simulated clock, where a polling worker holds virtual time still.
    bool seen = false;
    for (const uint64_t until = zkflow::sim::on() ? 0 : monoNs() + kIdlePollNs; !seen && monoNs() < until;) {
      for (unsigned i = 0; i < 16 && !seen; ++i) {
        seen = p.anyReady.load(std::memory_order_relaxed);
        ZtSpinLock::relax();
      }
    }
    if (seen) continue;
    p.q.lock();
    if (p.head || (!p.timers.empty() && p.timers.front().at <= zkflow::sim::nowNs()) ||
        (!p.timers.empty() && p.timers.front().at != deadline)) {
      p.q.unlock();
      continue;
    }
    ++p.idle;
    const uint32_t seq = p.wake.load(std::memory_order_relaxed);
    const uint32_t session = p.simSession;
    p.q.unlock();
    if (session != 0) {
      // On the simulated clock: time may jump while this worker waits.
      zkflow::sim::waitWord(&p.wake, seq, deadline, session);
    } else {
      uint64_t until = deadline ? zkflow::sim::toMonoNs(deadline) : 0;
      if (w.extra && (until == 0 || until > idleSince + kExtraIdle)) until = idleSince + kExtraIdle;
      futexWait(&p.wake, seq, until);
    }
    // Up, by a wake or by the timer: either way one wake fewer is on its
    // way. Counting a timer's wake-up too may send one wake too many later,
    // never one too few.
    p.q.lock();
    --p.idle;
    if (p.waking > 0) --p.waking;
    if (p.waking > p.idle) p.waking = p.idle;
    p.q.unlock();
  }
}

void reclaim(Pool& p, PoolTask* t) {
  zkflow::pool::taskEnded(t->id);
  fiber::release(t->fiber);
  fiber::scrubStack(t->fiber.stack);
  p.q.lock();
  const bool keep = p.stacks.size() < kStackCacheMax;
  if (keep) p.stacks.push_back(t->fiber.stack);
  p.q.unlock();
  if (!keep) fiber::unmapStack(t->fiber.stack);
  delete t;
  p.live.fetch_sub(1, std::memory_order_relaxed);
}

// Files the task that just switched back to the scheduler.
void afterRun(Pool& p, Worker& w, PoolTask* t) {
  switch (w.after) {
    case After::Park:
      // From here on an unlock may find the task and make it ready.
      w.release->unlock();
      break;
    case After::Yield:
      p.q.lock();
      pushReady(p, t, false);
      p.q.unlock();
      break;
    case After::Sleep: {
      p.q.lock();
      const bool earliest = p.timers.empty() || t->wakeAt < p.timers.front().at;
      p.timers.push_back({t->wakeAt, t});
      std::push_heap(p.timers.begin(), p.timers.end());
      // A sleeping worker waits for the earliest timer it saw; one that is
      // earlier now must be seen, or it would fire late.
      const bool wake = earliest && wantWake(p);
      p.q.unlock();
      if (wake) wakeOne(p);
      break;
    }
    case After::End:
      reclaim(p, t);
      break;
  }
}

void* workerMain(void* arg) {
  Worker& w = *static_cast<Worker*>(arg);
  tWorker = &w;
  w.tid.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_relaxed);
  fiber::adoptThread(w.root);
  Pool& p = thePool();
  for (;;) {
    PoolTask* t = take(p, w);
    if (!t) break;
    w.running = t;
    w.sliceStart = monoNs();
    w.busy.store(true, std::memory_order_relaxed);
    w.picks.fetch_add(1, std::memory_order_relaxed);
    fiber::switchTo(w.root, t->fiber, false);
    fiber::landed(w.root, t->fiber);
    w.running = nullptr;
    afterRun(p, w, t);
    w.busy.store(false, std::memory_order_relaxed);
  }
  tWorker = nullptr;
  fiber::release(w.root);
  return nullptr;
}

// Switches the calling task back to its worker's scheduler, which does
// `after` with it; returns when a worker (perhaps another) resumes it.
void leave(After after, ZtSpinLock* release) {
  Worker* w = here();
  PoolTask* t = w->running;
  w->after = after;
  w->release = release;
  fiber::switchTo(t->fiber, w->root, after == After::End);
  fiber::landed(t->fiber, here()->root);
}

void taskMain(void* arg) {
  PoolTask* t = static_cast<PoolTask*>(arg);
  fiber::landed(t->fiber, here()->root);
  t->entry(t->arg);
  leave(After::End, nullptr);
  __builtin_unreachable();
}

bool startThread(void* (*fn)(void*), void* arg) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, fn, arg);
  pthread_attr_destroy(&attr);
  return rc == 0;
}

// REQUIRES: q held, or the pool not yet started.
bool addWorker(Pool& p, bool extra) {
  auto* w = new (std::nothrow) Worker;
  if (!w) return false;
  w->index = static_cast<int>(p.workers.size());
  w->extra = extra;
  // Counted as running from now, on the simulated clock.
  if (p.simSession != 0) zkflow::sim::join();
  if (!startThread(&workerMain, w)) {
    zkflow::sim::leave(p.simSession);
    delete w;
    return false;
  }
  p.workers.push_back(w);
  return true;
}

// Whether the thread sleeps in the kernel (state S or D in /proc), rather
// than runs or waits for a processor.
bool asleepInKernel(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
  FILE* f = std::fopen(path, "r");
  if (!f) return false;
  char line[512];
  const size_t n = std::fread(line, 1, sizeof line - 1, f);
  std::fclose(f);
  line[n] = 0;
  // "tid (name) S ...": the state follows the last ')'.
  const char* close = std::strrchr(line, ')');
  return close && close[1] == ' ' && (close[2] == 'S' || close[2] == 'D');
}

// Asleep at three looks 1 ms apart: a task that only naps now and then
// between bits of work (and a worker the machine's load keeps from a
// processor) is rarely caught asleep three times running; one blocked in a
// call is always.
bool blockedInKernel(pid_t tid) {
  std::atomic<uint32_t> never{0};
  for (int look = 0; look < 3; ++look) {
    if (look) futexWait(&never, 0, monoNs() + 1000000);
    if (!asleepInKernel(tid)) return false;
  }
  return true;
}

// Counts, for each worker, the looks for which it has run the same task
// while others were ready. One that has done so for kBlockedPeriods looks
// holds the ready tasks up: the pool adds a worker for it. When it sleeps in
// the kernel (a blocking OS call, a std::mutex) that is a task that wants a
// thread of its own, and the log says so; one that computes is only slow to
// reach its next checkpoint.
void* monitorMain(void*) {
  Pool& p = thePool();
  std::vector<uint64_t> lastPicks;
  std::vector<unsigned> stuck;
  std::atomic<uint32_t> never{0};
  for (;;) {
    // Without pooled tasks the monitor sleeps until the next one starts.
    if (p.live.load(std::memory_order_relaxed) == 0) futexWait(&p.live, 0, 0);
    futexWait(&never, 0, monoNs() + kMonitorPeriod);
    if (p.live.load(std::memory_order_relaxed) == 0) continue;
    p.q.lock();
    const size_t n = p.workers.size();
    const bool waiting = p.head != nullptr;
    p.q.unlock();
    lastPicks.resize(n, 0);
    stuck.resize(n, 0);
    unsigned holding = 0;
    unsigned blocked = 0;
    for (size_t k = 0; k < n; ++k) {
      Worker* w = p.workers[k];
      const uint64_t picks = w->picks.load(std::memory_order_relaxed);
      const bool same = !w->gone.load(std::memory_order_relaxed) &&
                        w->busy.load(std::memory_order_relaxed) && picks == lastPicks[k];
      lastPicks[k] = picks;
      stuck[k] = same && waiting ? stuck[k] + 1 : 0;
      if (stuck[k] < kBlockedPeriods) continue;
      stuck[k] = 0;  // counted once per kBlockedPeriods
      ++holding;
      if (blockedInKernel(w->tid.load(std::memory_order_relaxed))) ++blocked;
    }
    if (holding == 0) continue;
    p.q.lock();
    unsigned alive = 0;
    for (Worker* w : p.workers) alive += w->gone.load(std::memory_order_relaxed) ? 0 : 1;
    unsigned added = 0;
    while (added < holding && alive + added < kMaxExtra * (p.size + 1) && addWorker(p, true)) ++added;
    p.q.unlock();
    if (added && blocked) {
      Utils::Log::theLog()->print(Utils::MsgWarning, "flow", -1, kFile, __LINE__,
                                  "pool: %u worker(s) blocked in the system for %u ms with tasks "
                                  "ready; %u worker(s) added",
                                  blocked, static_cast<unsigned>(kBlockedPeriods * kMonitorPeriod / 1000000),
                                  added);
    }
  }
  return nullptr;
}

// Starts the workers and the monitor, once. False when no worker could start.
bool start(Pool& p) {
  if (p.started.load(std::memory_order_acquire)) return true;
  p.startGuard.lock();
  if (!p.started.load(std::memory_order_relaxed)) {
    const unsigned n = zkflow::poolThreads();
    p.q.lock();
    p.size = n;
    for (unsigned k = 0; k < n; ++k) addWorker(p, false);
    const bool any = !p.workers.empty();
    p.q.unlock();
    if (any) {
      startThread(&monitorMain, nullptr);
      p.started.store(true, std::memory_order_release);
    }
  }
  p.startGuard.unlock();
  return p.started.load(std::memory_order_acquire);
}

// The default executor: -1 until first use, then an Executor.
std::atomic<int> gDefault{-1};

}  // namespace

namespace zkflow {
namespace pool {

PoolTask* current() {
  Worker* w = here();
  return w ? w->running : nullptr;
}

uint32_t currentId() { return here()->running->id; }

void*& taskLocal() {
  thread_local void* offPool = nullptr;
  PoolTask* t = current();
  return t ? t->local : offPool;
}

bool spawn(ZIF_TaskEntry entry, void* arg, uint32_t id) {
  Pool& p = thePool();
  if (!start(p)) return false;
  auto* t = new (std::nothrow) PoolTask;
  if (!t) return false;
  t->entry = entry;
  t->arg = arg;
  t->id = id;
  p.q.lock();
  const bool cached = !p.stacks.empty();
  if (cached) {
    t->fiber.stack = p.stacks.back();
    p.stacks.pop_back();
  }
  p.q.unlock();
  if ((!cached && !fiber::mapStack(&t->fiber.stack, kStackSize)) ||
      !fiber::prepare(t->fiber, &taskMain, t)) {
    fiber::unmapStack(t->fiber.stack);
    delete t;
    return false;
  }
  if (p.live.fetch_add(1, std::memory_order_relaxed) == 0) futexWake(&p.live, 1);
  ready(t);
  return true;
}

void park(ZtSpinLock* held) { leave(After::Park, held); }

void ready(PoolTask* t) {
  Pool& p = thePool();
  p.q.lock();
  pushReady(p, t, false);
  const bool wake = wantWake(p);
  p.q.unlock();
  if (wake) wakeOne(p);
}

void yield() {
  if (!thePool().anyReady.load(std::memory_order_relaxed)) {
    sched_yield();
    return;
  }
  leave(After::Yield, nullptr);
}

void sleepFor(uint64_t ns) {
  here()->running->wakeAt = zkflow::sim::nowNs() + ns;
  leave(After::Sleep, nullptr);
}

void simulated(uint32_t session) {
  Pool& p = thePool();
  p.q.lock();
  p.simSession = session;
  if (session != 0)
    for (Worker* w : p.workers)
      if (!w->gone.load(std::memory_order_relaxed)) zkflow::sim::join();
  p.q.unlock();
  // Idle workers wake and wait again on the clock now in force.
  p.wake.fetch_add(1, std::memory_order_seq_cst);
  futexWake(&p.wake, INT32_MAX);
}

void pushWaiter(std::atomic<PoolTask*>& head, PoolTask* t) {
  t->next = nullptr;
  PoolTask* h = head.load(std::memory_order_relaxed);
  if (!h) {
    head.store(t, std::memory_order_seq_cst);
    return;
  }
  while (h->next) h = h->next;
  h->next = t;
}

PoolTask* popWaiter(std::atomic<PoolTask*>& head) {
  PoolTask* h = head.load(std::memory_order_relaxed);
  if (h) head.store(h->next, std::memory_order_relaxed);
  return h;
}

void removeWaiter(std::atomic<PoolTask*>& head, PoolTask* t) {
  PoolTask* h = head.load(std::memory_order_relaxed);
  if (h == t) {
    head.store(t->next, std::memory_order_relaxed);
    return;
  }
  while (h && h->next != t) h = h->next;
  if (h) h->next = t->next;
}

}  // namespace pool

Executor defaultExecutor() {
  int e = gDefault.load(std::memory_order_acquire);
  if (e >= 0) return static_cast<Executor>(e);
  const char* env = std::getenv("ZKFLOW_EXECUTOR");
  int chosen = static_cast<int>(Executor::Thread);
  if (env && std::strcmp(env, "pool") == 0) {
    chosen = static_cast<int>(Executor::Pool);
  } else if (env && *env && std::strcmp(env, "thread") != 0) {
    Utils::Log::theLog()->print(Utils::MsgWarning, "flow", -1, kFile, __LINE__,
                                "ZKFLOW_EXECUTOR=%s is neither pool nor thread: tasks get threads", env);
  }
  // The first to decide wins: a setter that came meanwhile is kept.
  if (gDefault.compare_exchange_strong(e, chosen, std::memory_order_acq_rel)) return static_cast<Executor>(chosen);
  return static_cast<Executor>(e);
}

void defaultExecutor(Executor e) { gDefault.store(static_cast<int>(e), std::memory_order_release); }

unsigned int poolThreads() {
  Pool& p = thePool();
  if (p.started.load(std::memory_order_acquire)) return p.size;
  const unsigned n = p.asked.load(std::memory_order_relaxed);
  return n ? n : processorCount();
}

bool poolThreads(unsigned int n) {
  Pool& p = thePool();
  p.startGuard.lock();
  const bool ok = !p.started.load(std::memory_order_relaxed);
  if (ok) p.asked.store(n, std::memory_order_relaxed);
  p.startGuard.unlock();
  return ok;
}

void poolCheckpoint() {
  Worker* w = tWorker;
  if (!w || !w->running) return;
  // The clock is read every 32nd call: a work step can be a few hundred ns.
  if ((++w->checkpoints & 31) != 0) return;
  pool::checkpointDue();
}

void pool::checkpointDue() {
  Worker* w = tWorker;
  if (!w || !w->running) return;
  const uint64_t now = monoNs();
  if (now - w->sliceStart < kSlice) return;
  if (!thePool().anyReady.load(std::memory_order_relaxed)) {
    w->sliceStart = now;
    return;
  }
  leave(After::Yield, nullptr);
}

int currentWorker() {
  const Worker* w = tWorker;
  return w && w->running ? w->index : -1;
}

}  // namespace zkflow
