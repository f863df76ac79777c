// SPDX-License-Identifier: Apache-2.0
// The system layer on Linux: pre-emptive tasks are detached pthreads;
// cooperative tasks are stacks of our own that the hosting thread switches
// between by hand.
//
// Ownership and threads. All bookkeeping here comes from the std heap and
// mmap, never from Utils::Allocator: a finished thread frees its record after
// its entry returned, and a test that compares the allocator's live count at
// that moment must not see it.
//
//   Registry (one per process, mutex `mu`): which task ids exist and where
//     they live (a host, a thread id for pre-emptive ones), and every event.
//     It is the only way another thread reaches a host, so a host that is
//     being torn down unregisters under `mu` and cannot be posted to after.
//   Host (one per hosting thread): the scheduler. Its run queue, sleepers and
//     task records are touched by the hosting thread alone, across its
//     stacks. Other threads never touch them: they post a message to the
//     host's inbox (its own mutex), and the hosting thread applies messages
//     at its next switch, or wakes up for them when it sleeps.
//   Lock order: Registry::mu, then Host::inboxMu.
#include "zkflow/host/zsys.h"
#include "zkflow/testing.h"

#include "fiber.h"
#include "pool.h"
#include "simclock.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>


namespace {

constexpr uint32_t kNoId = 0xFFFFFFFFu;
constexpr uint64_t kTicksPerSecond = 1000000000ull;  // task time is in ns
// Longest sleep honoured (about 31 years): keeps deadlines far from overflow.
constexpr double kMaxSleepSeconds = 1e9;

#if defined(__SANITIZE_ADDRESS__) || (defined(ZKFLOW_TSAN) && ZKFLOW_TSAN)
// Sanitized frames are several times larger.
constexpr size_t kStackSize = 4u << 20;
#else
// Virtual space only (MAP_NORESERVE): untouched pages cost nothing, so the
// stack can be generous for handlers that keep buffers on it.
constexpr size_t kStackSize = 1u << 20;
#endif
// Stacks of ended tasks kept per host for the next task, beyond which they
// are unmapped.
constexpr size_t kStackCacheMax = 4;

uint64_t clockNs(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kTicksPerSecond + static_cast<uint64_t>(ts.tv_nsec);
}
uint64_t monoNs() { return clockNs(CLOCK_MONOTONIC); }
uint64_t threadCpuNs() { return clockNs(CLOCK_THREAD_CPUTIME_ID); }

// A cheap, steady count for measuring how long a task held its thread. Only
// ratios between tasks of one thread are taken from it (see Host::taskTime).
inline uint64_t sliceClock() {
#if defined(__x86_64__)
  return __builtin_ia32_rdtsc();
#else
  return monoNs();
#endif
}

// Seconds to nanoseconds; the caller has checked `seconds` > 0.
uint64_t secondsToNs(double seconds) {
  if (seconds > kMaxSleepSeconds) seconds = kMaxSleepSeconds;
  return static_cast<uint64_t>(seconds * 1e9);
}

std::atomic<unsigned> gFailCreates{0};
std::atomic<unsigned> gFailEvents{0};

// True when a creation must fail by a test hook (and consumes one).
bool injectedFailure(std::atomic<unsigned>& left = gFailCreates) {
  unsigned n = left.load(std::memory_order_relaxed);
  while (n != 0 && !left.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
  }
  return n != 0;
}

std::atomic<uint32_t> gNextId{1};

uint32_t freshId() {
  for (;;) {
    const uint32_t id = gNextId.fetch_add(1, std::memory_order_relaxed);
    if (id != 0 && id != kNoId) return id;
  }
}

// Nice value for a priority hint: higher priority, lower nice.
void applyNice(pid_t tid, int priority) {
  const int nice = std::clamp(-priority, -20, 19);
  // Raising priority needs privilege; without it the hint is dropped.
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

// Pins the calling thread to the processors of `mask` that it may run on. A
// mask naming all processors, none of them, or one the system refuses leaves
// the thread as it is.
void applyAffinity(unsigned mask) {
  if (mask == 0xFFFFFFFFu) return;
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  cpu_set_t want;
  CPU_ZERO(&want);
  bool any = false;
  for (unsigned n = 0; n < 32; ++n) {
    if (((mask >> n) & 1u) && CPU_ISSET(n, &allowed)) {
      CPU_SET(n, &want);
      any = true;
    }
  }
  if (!any || CPU_EQUAL(&want, &allowed)) return;
  (void)pthread_setaffinity_np(pthread_self(), sizeof want, &want);
}

class Host;

// ---------------------------------------------------------------------------
// Registry

struct TaskEntry {
  Host* host = nullptr;  // set for cooperative tasks and hosting roots
  bool preemptive = false;
  pid_t tid = 0;         // pre-emptive: the kernel's thread id once running
  int priority = 0;      // pre-emptive: the hint last asked for
};

struct Waiter {
  Host* host;
  uint32_t task;
};

struct Event {
  bool autoReset;
  bool set;
  std::vector<Waiter> waiters;  // in arrival order
};

struct Registry {
  std::mutex mu;
  std::unordered_map<uint32_t, TaskEntry> tasks;
  std::unordered_map<uint32_t, Event*> events;
  uint32_t nextEvent = 1;

  // REQUIRES: mu held.
  uint32_t newTaskId() {
    for (;;) {
      const uint32_t id = freshId();
      if (tasks.find(id) == tasks.end()) return id;
    }
  }
  uint32_t newEventHandle() {
    for (;;) {
      const uint32_t h = nextEvent++;
      if (h != 0 && h != kNoId && events.find(h) == events.end()) return h;
    }
  }
};

// Never destroyed: detached threads may still use it while the process exits.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

// ---------------------------------------------------------------------------
// Cooperative tasks

using zkflow::fiber::Fiber;
using zkflow::fiber::Stack;

enum class Block { None, Event, Task, Sleep };

struct CoopTask;

// A task's place in one of the host's lists.
struct Links {
  bool in = false;
  CoopTask* prev = nullptr;
  CoopTask* next = nullptr;
};

// An intrusive list of tasks kept in order of `Before` (a strict order; equal
// tasks keep their arrival order), through the links at `L`.
template <Links CoopTask::*L, bool (*Before)(const CoopTask&, const CoopTask&)>
struct TaskList {
  CoopTask* head = nullptr;
  CoopTask* tail = nullptr;

  // Searches from the tail: the common cases (a yield, equal priorities, a
  // later deadline) land there at once.
  void insert(CoopTask* t) {
    CoopTask* after = tail;
    while (after && Before(*t, *after)) after = (after->*L).prev;
    Links& l = t->*L;
    l.prev = after;
    l.next = after ? (after->*L).next : head;
    (l.next ? (l.next->*L).prev : tail) = t;
    (after ? (after->*L).next : head) = t;
    l.in = true;
  }
  void remove(CoopTask* t) {
    Links& l = t->*L;
    if (!l.in) return;
    (l.prev ? (l.prev->*L).next : head) = l.next;
    (l.next ? (l.next->*L).prev : tail) = l.prev;
    l = Links();
  }
};

struct CoopTask {
  uint32_t id = kNoId;
  ZIF_TaskEntry entry = nullptr;
  void* arg = nullptr;
  Host* host = nullptr;

  // Scheduling state.
  int priority = 0;
  bool suspended = false;
  bool running = false;  // the one task executing (or about to) on the host
  bool ended = false;
  Block blocked = Block::None;
  uint32_t waitEvent = kNoId;
  int waitResult = 0;
  uint64_t wakeAt = 0;  // host clock ns (simclock.h), while sleeping
  std::vector<CoopTask*> joiners;  // tasks in ZIF_WaitTaskCoop on this one

  // Run queue (ordered by pass, then priority, then arrival).
  uint64_t pass = 0;
  Links queue;
  // Sleepers (ordered by wake time).
  Links sleep;

  // Processor time: settled nanoseconds, and slice-clock ticks held since the
  // last settlement.
  uint64_t cpuNs = 0;
  uint64_t held = 0;

  // Its stack; none for the root, which runs on the thread's own stack.
  Fiber fiber;
};

bool runsBefore(const CoopTask& a, const CoopTask& b) {
  return a.pass < b.pass || (a.pass == b.pass && a.priority > b.priority);
}
bool wakesBefore(const CoopTask& a, const CoopTask& b) { return a.wakeAt < b.wakeAt; }
using RunQueue = TaskList<&CoopTask::queue, &runsBefore>;
using Sleepers = TaskList<&CoopTask::sleep, &wakesBefore>;

// Messages that other threads leave for a host.
struct Message {
  enum Kind { Wake, Suspend, Priority } kind;
  uint32_t task;
  uint32_t event;  // Wake
  int value;       // Wake: the wait's result; Suspend: flag; Priority: value
};

// Scheduling. A task is due when it is neither suspended nor blocked. Due
// tasks run in passes: within a pass the highest priority goes first and
// equal priorities go in arrival order; a task that yields joins the next
// pass. So a yield lets every other due task run once before the yielder
// comes back, and a high-priority task that keeps yielding cannot starve the
// others. A task that becomes due (created, woken, resumed, out of its sleep)
// joins the current pass, ahead of lower priorities, unless it gave up the
// thread in this very pass: then it joins the next one.
class Host {
 public:
  explicit Host(uint32_t rootId);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  CoopTask* current() const { return current_; }
  CoopTask* find(uint32_t id) const {
    auto it = tasks_.find(id);
    return it == tasks_.end() ? nullptr : it->second;
  }

  int create(ZIF_TaskEntry entry, void* arg, uint32_t* taskId);
  void yield();
  void sleepFor(uint64_t ns);
  int waitEvent(uint32_t event);
  int waitTask(uint32_t id);
  void apply(const Message& m);
  uint64_t taskTime();
  // The calling task, already suspended or blocked, gives up the thread;
  // returns when it is due and picked again.
  void reschedule();

  // From any thread. REQUIRES: registry().mu held (keeps the host alive).
  void post(const Message& m);

  // First code on a new task's stack; never returns.
  [[noreturn]] void runTask(CoopTask* self);
  static void taskMain(void* task) { static_cast<CoopTask*>(task)->host->runTask(static_cast<CoopTask*>(task)); }

 private:
  void makeDueIfReady(CoopTask* t);
  void enqueue(CoopTask* t, uint64_t pass);
  CoopTask* pick();
  void wakeSleepers();
  void drain();
  void idle();
  void closeSlice();
  [[noreturn]] void finish(CoopTask* self);
  void switchTo(CoopTask* next, bool dying);
  void landed(CoopTask* self);
  void reclaim(CoopTask* t);
  bool takeStack(Stack* out);
  void dropStack(Stack s);

  CoopTask* root_;
  CoopTask* current_;
  std::unordered_map<uint32_t, CoopTask*> tasks_;  // live tasks, root included
  RunQueue queue_;
  uint64_t pass_ = 0;
  Sleepers sleepers_;
  CoopTask* dead_ = nullptr;        // ended; reclaimed by the next task to run
  CoopTask* switchFrom_ = nullptr;  // the task the last switch left
  std::vector<Stack> spareStacks_;

  // Processor time (see taskTime()).
  uint64_t sliceStart_;
  uint64_t epochCpu_;
  uint64_t deadHeld_ = 0;

  // Inbox: written by any thread under inboxMu_, drained by this one.
  std::mutex inboxMu_;
  std::condition_variable inboxCv_;
  std::vector<Message> inbox_;
  bool idleWaiting_ = false;
  std::atomic<bool> inboxPending_{false};
  // Counts posts, for an idle wait on the simulated clock (a word to wait on).
  std::atomic<uint32_t> inboxSeq_{0};
  std::vector<Message> draining_;  // this thread only
};

struct ThreadState {
  uint32_t id = 0;  // the pre-emptive task id, or one given on first ask
  Host* host = nullptr;
  ~ThreadState() {
    delete host;
    host = nullptr;
  }
  uint32_t ownId() {
    if (id == 0) id = freshId();
    return id;
  }
};

thread_local ThreadState tls;

Host::Host(uint32_t rootId) {
  root_ = new CoopTask;
  root_->id = rootId;
  root_->host = this;
  root_->running = true;
  zkflow::fiber::adoptThread(root_->fiber);
  current_ = root_;
  tasks_.emplace(rootId, root_);
  // The root's time includes what the thread used before it began to host.
  epochCpu_ = threadCpuNs();
  root_->cpuNs = epochCpu_;
  sliceStart_ = sliceClock();
}

Host::~Host() {
  {
    std::lock_guard<std::mutex> hold(registry().mu);
    Registry& r = registry();
    for (auto& [handle, ev] : r.events) {
      auto& w = ev->waiters;
      w.erase(std::remove_if(w.begin(), w.end(), [this](const Waiter& x) { return x.host == this; }),
              w.end());
    }
    for (auto& [id, t] : tasks_) {
      auto it = r.tasks.find(id);
      if (it == r.tasks.end() || it->second.host != this) continue;
      if (it->second.preemptive) {
        it->second.host = nullptr;
      } else {
        r.tasks.erase(it);
      }
    }
  }
  if (dead_ && dead_ != current_) reclaim(dead_);
  dead_ = nullptr;
  // Tasks that never ended lose their stacks with the thread: whatever they
  // own on them is gone. The stack the thread stands on is kept.
  for (auto& [id, t] : tasks_) {
    if (t == root_ || t == current_) continue;
    reclaim(t);
  }
  for (Stack& s : spareStacks_) zkflow::fiber::unmapStack(s);
  if (current_ == root_) {
    zkflow::fiber::release(root_->fiber);
    delete root_;
  }
}

bool Host::takeStack(Stack* out) {
  if (!spareStacks_.empty()) {
    *out = spareStacks_.back();
    spareStacks_.pop_back();
    return true;
  }
  return zkflow::fiber::mapStack(out, kStackSize);
}

void Host::dropStack(Stack s) {
  if (!s.map) return;
  zkflow::fiber::scrubStack(s);
  if (spareStacks_.size() < kStackCacheMax) {
    spareStacks_.push_back(s);
  } else {
    zkflow::fiber::unmapStack(s);
  }
}

int Host::create(ZIF_TaskEntry entry, void* arg, uint32_t* taskId) {
  auto* t = new (std::nothrow) CoopTask;
  if (!t) return -1;
  if (!takeStack(&t->fiber.stack)) {
    delete t;
    return -1;
  }
  if (!zkflow::fiber::prepare(t->fiber, &Host::taskMain, t)) {
    dropStack(t->fiber.stack);
    delete t;
    return -1;
  }
  t->entry = entry;
  t->arg = arg;
  t->host = this;
  {
    std::lock_guard<std::mutex> hold(registry().mu);
    t->id = registry().newTaskId();
    TaskEntry e;
    e.host = this;
    registry().tasks.emplace(t->id, e);
  }
  tasks_.emplace(t->id, t);
  *taskId = t->id;
  enqueue(t, pass_);
  return 0;
}

// Run queue ----------------------------------------------------------------

void Host::enqueue(CoopTask* t, uint64_t pass) {
  t->pass = pass;
  queue_.insert(t);
}

CoopTask* Host::pick() {
  CoopTask* t = queue_.head;
  if (!t) return nullptr;
  if (t->pass > pass_) pass_ = t->pass;  // the current pass is over
  queue_.remove(t);
  return t;
}

void Host::makeDueIfReady(CoopTask* t) {
  if (t->running || t->ended || t->suspended || t->blocked != Block::None || t->queue.in) return;
  // t->pass is the earliest pass it may run in (see reschedule()).
  enqueue(t, std::max(t->pass, pass_));
}

void Host::wakeSleepers() {
  if (!sleepers_.head) return;
  const uint64_t now = zkflow::sim::nowNs();
  while (sleepers_.head && sleepers_.head->wakeAt <= now) {
    CoopTask* t = sleepers_.head;
    sleepers_.remove(t);
    t->blocked = Block::None;
    makeDueIfReady(t);
  }
}

// Inbox ----------------------------------------------------------------------

void Host::post(const Message& m) {
  std::lock_guard<std::mutex> hold(inboxMu_);
  inbox_.push_back(m);
  inboxPending_.store(true, std::memory_order_release);
  // Under inboxMu_, as the idle wait's look at it: no locked instruction.
  inboxSeq_.store(inboxSeq_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  if (idleWaiting_) {
    inboxCv_.notify_one();
    if (zkflow::sim::on()) zkflow::sim::wake(&inboxSeq_, 1);
  }
}

void Host::drain() {
  // Acquire pairs with post()'s release; the mutex below orders the rest.
  if (!inboxPending_.load(std::memory_order_acquire)) return;
  {
    std::lock_guard<std::mutex> hold(inboxMu_);
    draining_.swap(inbox_);
    inboxPending_.store(false, std::memory_order_relaxed);
  }
  for (const Message& m : draining_) apply(m);
  draining_.clear();
}

void Host::apply(const Message& m) {
  CoopTask* t = find(m.task);
  if (!t) return;  // ended meanwhile
  switch (m.kind) {
    case Message::Wake:
      if (t->blocked == Block::Event && t->waitEvent == m.event) {
        t->blocked = Block::None;
        t->waitEvent = kNoId;
        t->waitResult = m.value;
        makeDueIfReady(t);
      }
      break;
    case Message::Suspend:
      t->suspended = m.value != 0;
      if (t->suspended) {
        queue_.remove(t);
      } else {
        makeDueIfReady(t);
      }
      break;
    case Message::Priority:
      t->priority = m.value;
      if (t->queue.in) {
        queue_.remove(t);
        queue_.insert(t);
      }
      break;
  }
}

// Sleeps until a message arrives or the earliest sleeper is due. No spinning:
// the thread waits in the kernel.
void Host::idle() {
  closeSlice();
  {
    std::unique_lock<std::mutex> hold(inboxMu_);
    idleWaiting_ = true;
    while (inbox_.empty()) {
      if (zkflow::sim::on()) {
        // The post that ends this wait changes the word under inboxMu_,
        // which we let go only once its value is read.
        const uint32_t seen = inboxSeq_.load(std::memory_order_seq_cst);
        const uint64_t until = sleepers_.head ? sleepers_.head->wakeAt : 0;
        hold.unlock();
        const bool woken = zkflow::sim::waitWord(&inboxSeq_, seen, until, zkflow::sim::mySession());
        hold.lock();
        if (!woken) break;
        continue;
      }
      if (!sleepers_.head) {
        inboxCv_.wait(hold);
        continue;
      }
      // steady_clock is CLOCK_MONOTONIC with the same origin as monoNs().
      const std::chrono::steady_clock::time_point until{
          std::chrono::nanoseconds(zkflow::sim::toMonoNs(sleepers_.head->wakeAt))};
      if (inboxCv_.wait_until(hold, until) == std::cv_status::timeout) break;
    }
    idleWaiting_ = false;
  }
  sliceStart_ = sliceClock();
}

// Switching ---------------------------------------------------------------

// Adds the time since the last switch to the task that held the thread.
void Host::closeSlice() {
  const uint64_t now = sliceClock();
  // A thread that moved to a processor whose counter lags would see time
  // run backwards; such a slice counts as nothing.
  if (now > sliceStart_) current_->held += now - sliceStart_;
  sliceStart_ = now;
}

// The calling task gives up the thread; returns when it is picked again. The
// caller has put it where it belongs (queued, blocked, suspended, sleeping).
void Host::reschedule() {
  CoopTask* self = current_;
  self->running = false;
  // Blocking ends the task's turn in this pass as a yield does: a task that
  // sleeps for nothing, or is woken again at once, cannot keep the thread
  // from the tasks waiting for the next pass.
  if (!self->queue.in) self->pass = pass_ + 1;
  for (;;) {
    drain();
    wakeSleepers();
    if (CoopTask* next = pick()) {
      next->running = true;
      if (next != self) switchTo(next, false);
      return;
    }
    idle();
  }
}

void Host::switchTo(CoopTask* next, bool dying) {
  CoopTask* prev = current_;
  closeSlice();
  current_ = next;
  switchFrom_ = prev;
  zkflow::fiber::switchTo(prev->fiber, next->fiber, dying);
  landed(prev);
}

// First thing after every switch, on the stack switched to.
void Host::landed(CoopTask* self) {
  zkflow::fiber::landed(self->fiber, switchFrom_->fiber);
  // A task that ended cannot free the stack it stands on; the next one does.
  if (dead_) {
    CoopTask* d = dead_;
    dead_ = nullptr;
    reclaim(d);
  }
}

void Host::reclaim(CoopTask* t) {
  deadHeld_ += t->held;
  zkflow::fiber::release(t->fiber);
  dropStack(t->fiber.stack);
  delete t;
}

void Host::runTask(CoopTask* self) {
  landed(self);
  self->entry(self->arg);
  finish(self);
}

void Host::finish(CoopTask* self) {
  self->ended = true;
  self->running = false;
  for (CoopTask* j : self->joiners) {
    j->blocked = Block::None;
    makeDueIfReady(j);
  }
  self->joiners.clear();
  tasks_.erase(self->id);
  {
    std::lock_guard<std::mutex> hold(registry().mu);
    registry().tasks.erase(self->id);
  }
  dead_ = self;
  for (;;) {
    drain();
    wakeSleepers();
    if (CoopTask* next = pick()) {
      next->running = true;
      switchTo(next, true);
      __builtin_unreachable();
    }
    idle();
  }
}

// Calls -------------------------------------------------------------------

void Host::yield() {
  CoopTask* self = current_;
  // A task that yields while every other task of the thread sleeps only
  // polls: on the simulated clock time may move on to the next wake-up
  // meanwhile (else it would stand still for good).
  if (!queue_.head && sleepers_.head && zkflow::sim::on()) zkflow::sim::pollTime(sleepers_.head->wakeAt);
  self->running = false;
  enqueue(self, pass_ + 1);
  reschedule();
}

void Host::sleepFor(uint64_t ns) {
  CoopTask* self = current_;
  self->wakeAt = zkflow::sim::nowNs() + ns;
  self->blocked = Block::Sleep;
  sleepers_.insert(self);
  reschedule();
}

int Host::waitEvent(uint32_t event) {
  CoopTask* self = current_;
  {
    std::lock_guard<std::mutex> hold(registry().mu);
    auto it = registry().events.find(event);
    if (it == registry().events.end()) return -1;
    Event* ev = it->second;
    if (ev->set) {
      if (ev->autoReset) ev->set = false;
      return 0;
    }
    ev->waiters.push_back({this, self->id});
  }
  // A set from another thread may already be in the inbox; it is applied in
  // reschedule(), after these lines.
  self->blocked = Block::Event;
  self->waitEvent = event;
  self->waitResult = 0;
  reschedule();
  return self->waitResult;
}

int Host::waitTask(uint32_t id) {
  CoopTask* self = current_;
  if (id == self->id || id == root_->id) return -1;  // would never return
  CoopTask* t = find(id);
  if (!t) {
    // Ended, never existed (0), or not a cooperative task of this thread.
    std::lock_guard<std::mutex> hold(registry().mu);
    return registry().tasks.count(id) ? -1 : 0;
  }
  t->joiners.push_back(self);
  self->blocked = Block::Task;
  reschedule();
  return 0;
}

// Each task's processor time. Reading the thread's CPU clock costs a system
// call (about a microsecond on virtual machines), too much for every switch.
// So a switch only reads a cheap steady clock and adds the slice to the task
// that held the thread; when a task asks for its time, the thread's CPU time
// since the last settlement is shared out in proportion to what each task
// held. Time the thread spends asleep in idle() is held by nobody; the share
// of tasks that ended since is dropped with them.
uint64_t Host::taskTime() {
  closeSlice();
  const uint64_t cpu = threadCpuNs();
  const uint64_t delta = cpu > epochCpu_ ? cpu - epochCpu_ : 0;
  epochCpu_ = cpu;
  unsigned __int128 total = deadHeld_;
  for (auto& [id, t] : tasks_) total += t->held;
  if (total == 0) {
    current_->cpuNs += delta;
  } else {
    uint64_t given = 0;
    for (auto& [id, t] : tasks_) {
      const uint64_t share = static_cast<uint64_t>(static_cast<unsigned __int128>(delta) * t->held / total);
      t->cpuNs += share;
      given += share;
      t->held = 0;
    }
    const uint64_t deadShare = static_cast<uint64_t>(static_cast<unsigned __int128>(delta) * deadHeld_ / total);
    current_->cpuNs += delta - given - deadShare;  // rounding
  }
  deadHeld_ = 0;
  return current_->cpuNs;
}

// Where a task lives, for the calls any thread may make; null when the id is
// unknown. REQUIRES: registry().mu held.
TaskEntry* entryOf(uint32_t id) {
  auto it = registry().tasks.find(id);
  return it == registry().tasks.end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------------------
// Pre-emptive tasks

struct PreStart {
  ZIF_TaskEntry entry;
  void* arg;
  uint32_t id;
  unsigned mask;
  uint32_t simSession;  // counted in by its starter on the simulated clock
};

void* preMain(void* p) {
  const PreStart s = *static_cast<PreStart*>(p);
  delete static_cast<PreStart*>(p);
  tls.id = s.id;
  zkflow::sim::adopt(s.simSession);
  applyAffinity(s.mask);
  {
    std::lock_guard<std::mutex> hold(registry().mu);
    if (TaskEntry* e = entryOf(s.id)) {
      e->tid = static_cast<pid_t>(syscall(SYS_gettid));
      if (e->priority != 0) applyNice(e->tid, e->priority);
    }
  }
  s.entry(s.arg);
  zkflow::sim::leave(s.simSession);
  // Unregistered before the thread ends, so no one uses its thread id after.
  std::lock_guard<std::mutex> hold(registry().mu);
  registry().tasks.erase(s.id);
  return nullptr;
}

}  // namespace

extern "C" {

int ZIF_CreateTask(ZIF_TaskEntry entry, void* arg, uint32_t* taskId, unsigned int affinityMask,
                   int priority) {
  if (!entry || !taskId) return -1;
  if (injectedFailure()) return -1;
  auto* start = new (std::nothrow) PreStart{entry, arg, kNoId, affinityMask, 0};
  if (!start) return -1;
  // Counted as running from now: its first wait may come before we return.
  start->simSession = zkflow::sim::join();
  {
    std::lock_guard<std::mutex> hold(registry().mu);
    start->id = registry().newTaskId();
    TaskEntry e;
    e.preemptive = true;
    e.priority = priority;
    registry().tasks.emplace(start->id, e);
  }
  const uint32_t id = start->id;
  const uint32_t previous = *taskId;
  // Written before the thread exists: pthread_create orders it before the
  // entry runs.
  *taskId = id;
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    rc = pthread_create(&thread, &attr, &preMain, start);
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {
    *taskId = previous;
    zkflow::sim::leave(start->simSession);
    delete start;
    std::lock_guard<std::mutex> hold(registry().mu);
    registry().tasks.erase(id);
    return -1;
  }
  return 0;
}

int ZIF_HostTasksCoop(int reserved) {
  if (reserved != 0) return -1;
  // A pooled task may resume on another worker: tasks hosted by the thread
  // it started on would be left behind.
  if (zkflow::pool::current()) return -1;
  if (tls.host) return 0;
  const uint32_t id = tls.ownId();
  auto* host = new (std::nothrow) Host(id);
  if (!host) return -1;
  {
    std::lock_guard<std::mutex> hold(registry().mu);
    TaskEntry& e = registry().tasks[id];  // a pre-emptive task's entry, or new
    e.host = host;
  }
  tls.host = host;
  return 0;
}

int ZIF_CreateTaskCoop(ZIF_TaskEntry entry, void* arg, uint32_t* taskId) {
  if (!entry || !taskId || !tls.host) return -1;
  if (injectedFailure()) return -1;
  return tls.host->create(entry, arg, taskId);
}

uint32_t ZIF_CreateEventCoop(int autoReset, int initiallySet) {
  if (injectedFailure(gFailEvents)) return kNoId;
  auto* ev = new (std::nothrow) Event{autoReset == 1, initiallySet != 0, {}};
  if (!ev) return kNoId;
  std::lock_guard<std::mutex> hold(registry().mu);
  const uint32_t h = registry().newEventHandle();
  registry().events.emplace(h, ev);
  return h;
}

int ZIF_SetEventCoop(uint32_t event) {
  std::lock_guard<std::mutex> hold(registry().mu);
  auto it = registry().events.find(event);
  if (it == registry().events.end()) return -1;
  Event* ev = it->second;
  if (ev->waiters.empty()) {
    ev->set = true;
  } else if (ev->autoReset) {
    // The set is consumed by the first waiter: it is woken, the event stays
    // clear.
    const Waiter w = ev->waiters.front();
    ev->waiters.erase(ev->waiters.begin());
    w.host->post({Message::Wake, w.task, event, 0});
  } else {
    ev->set = true;
    for (const Waiter& w : ev->waiters) w.host->post({Message::Wake, w.task, event, 0});
    ev->waiters.clear();
  }
  return 0;
}

int ZIF_WaitEventCoop(uint32_t event) {
  if (!tls.host) return -1;
  return tls.host->waitEvent(event);
}

int ZIF_DestroyEventCoop(uint32_t event) {
  Event* ev = nullptr;
  {
    std::lock_guard<std::mutex> hold(registry().mu);
    auto it = registry().events.find(event);
    if (it == registry().events.end()) return -1;
    ev = it->second;
    registry().events.erase(it);
    for (const Waiter& w : ev->waiters) w.host->post({Message::Wake, w.task, event, -1});
  }
  delete ev;
  return 0;
}

int ZIF_SetTaskPriority(uint32_t taskId, int priority) {
  if (Host* h = tls.host) {
    if (h->find(taskId)) {
      h->apply({Message::Priority, taskId, kNoId, priority});
      return 0;
    }
  }
  std::lock_guard<std::mutex> hold(registry().mu);
  TaskEntry* e = entryOf(taskId);
  if (!e) return -1;
  if (e->host) {
    e->host->post({Message::Priority, taskId, kNoId, priority});
  }
  if (e->preemptive) {
    e->priority = priority;
    if (e->tid != 0) applyNice(e->tid, priority);
  }
  return 0;
}

int ZIF_SetTaskSuspended(uint32_t taskId, int suspended) {
  if (Host* h = tls.host) {
    if (h->find(taskId)) {
      h->apply({Message::Suspend, taskId, kNoId, suspended});
      // A task that suspends itself leaves at once.
      if (suspended && taskId == h->current()->id) h->reschedule();
      return 0;
    }
  }
  std::lock_guard<std::mutex> hold(registry().mu);
  TaskEntry* e = entryOf(taskId);
  if (!e || !e->host) return -1;  // unknown, or pre-emptive: cannot be suspended
  e->host->post({Message::Suspend, taskId, kNoId, suspended});
  return 0;
}

int ZIF_WaitTaskCoop(uint32_t taskId) {
  if (!tls.host) return -1;
  return tls.host->waitTask(taskId);
}

uint32_t ZIF_CurrentTaskIdCoop(void) {
  if (zkflow::pool::current()) return zkflow::pool::currentId();
  if (tls.host) return tls.host->current()->id;
  return tls.ownId();
}

void ZIF_Yield(void) {
  if (zkflow::pool::current()) {
    zkflow::pool::yield();
  } else {
    sched_yield();
  }
}


}  // extern "C"

int zkflow::createTask(Executor executor, ZIF_TaskEntry entry, void* arg, uint32_t* taskId,
                       unsigned int affinityMask, int priority) {
  if (executor != Executor::Pool) return ZIF_CreateTask(entry, arg, taskId, affinityMask, priority);
  if (!entry || !taskId) return -1;
  if (injectedFailure()) return -1;
  uint32_t id;
  {
    std::lock_guard<std::mutex> hold(registry().mu);
    id = registry().newTaskId();
    // Known as a pre-emptive task without a thread id of its own: priority
    // hints are kept and not applied, suspension is refused.
    TaskEntry e;
    e.preemptive = true;
    e.priority = priority;
    registry().tasks.emplace(id, e);
  }
  const uint32_t previous = *taskId;
  *taskId = id;  // before the task can run
  if (!zkflow::pool::spawn(entry, arg, id)) {
    *taskId = previous;
    zkflow::pool::taskEnded(id);
    return -1;
  }
  return 0;
}

void zkflow::pool::taskEnded(uint32_t id) {
  std::lock_guard<std::mutex> hold(registry().mu);
  registry().tasks.erase(id);
}

unsigned int zkflow::processorCount() {
  // The affinity mask, not the machine: a process confined to fewer
  // processors (taskset, a container's cpuset) has only those to run on.
  // The main thread's mask (the process id names it), not the caller's: the
  // first to ask may be a thread pinned to one processor.
  static const unsigned int count = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(getpid(), sizeof set, &set) == 0) {
      const int n = CPU_COUNT(&set);
      if (n > 0) return static_cast<unsigned int>(n);
    }
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned int>(n) : 1u;
  }();
  return count;
}

extern "C" {

void ZIF_YieldCoop(void) {
  if (tls.host) tls.host->yield();
}

void ZIF_PollTasks(void) {
  // The root's poll is a yield too: every due task runs once before the
  // root's next turn.
  if (tls.host) tls.host->yield();
}

void ZIF_SuspendFor(float seconds) {
  Host* h = tls.host;
  if (!h) {
    ZIF_Sleep(seconds);
    return;
  }
  if (!(seconds > 0)) {
    h->yield();
    return;
  }
  h->sleepFor(secondsToNs(seconds));
}

void ZIF_Sleep(double seconds) {
  if (!(seconds > 0)) return;
  if (zkflow::pool::current()) {
    // A timer of the pool: the worker runs other tasks meanwhile.
    zkflow::pool::sleepFor(secondsToNs(seconds));
    return;
  }
  if (zkflow::sim::on()) {
    const uint64_t until = zkflow::sim::nowNs() + secondsToNs(seconds);
    zkflow::sim::sleepUntil(until);
    // Short only when the simulation ended meanwhile: the rest in real time.
    const uint64_t now = zkflow::sim::nowNs();
    if (now >= until) return;
    seconds = static_cast<double>(until - now) * 1e-9;
  }
  const uint64_t deadline = monoNs() + secondsToNs(seconds);
  timespec ts;
  ts.tv_sec = static_cast<time_t>(deadline / kTicksPerSecond);
  ts.tv_nsec = static_cast<long>(deadline % kTicksPerSecond);
  // An absolute deadline: a signal that interrupts the sleep does not
  // lengthen it when the sleep resumes.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

uint64_t ZIF_CurrentTaskTimeCoop(void) {
  if (tls.host) return tls.host->taskTime();
  return threadCpuNs();
}

uint64_t ZIF_ZeroBasedTimeFrequency(void) { return kTicksPerSecond; }

}  // extern "C"

namespace zkflow {
namespace testing {
void failTaskCreations(unsigned int n) { gFailCreates.store(n, std::memory_order_relaxed); }
void failEventCreations(unsigned int n) { gFailEvents.store(n, std::memory_order_relaxed); }
}  // namespace testing
}  // namespace zkflow
