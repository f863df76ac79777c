// The system layer: pre-emptive tasks, cooperative tasks and their
// scheduling, events, sleeping and task time.
//
// Every cooperative scenario runs on a thread of its own (inHost), so a
// scheduler that hangs fails the test instead of the run, and each scenario
// starts with a fresh host.
#include "host/zsys.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <list>
#include <set>
#include <string>
#include <vector>

#include "common/testutil.h"

namespace {

constexpr uint32_t kNoId = 0xFFFFFFFFu;

// Closures as task entries. The list keeps them alive while tasks run.
class Bodies {
 public:
  ZIF_TaskEntry entry() const { return &Bodies::run; }
  void* add(std::function<void()> f) {
    fns_.push_back(std::move(f));
    return &fns_.back();
  }
  // A cooperative task of the calling thread running `f`; its id.
  uint32_t coop(std::function<void()> f) {
    uint32_t id = kNoId;
    EXPECT_EQ(ZIF_CreateTaskCoop(entry(), add(std::move(f)), &id), 0);
    return id;
  }
  // A task that counts its turns in *turns and yields until *stop.
  uint32_t yielder(int* turns, const bool* stop) {
    return coop([turns, stop] {
      while (!*stop) {
        ++*turns;
        ZIF_YieldCoop();
      }
    });
  }

 private:
  static unsigned long run(void* p) {
    (*static_cast<std::function<void()>*>(p))();
    return 0;
  }
  std::list<std::function<void()>> fns_;
};

// Runs `fn` on a new thread that hosts cooperative tasks.
void inHost(const std::function<void()>& fn, double seconds = 30.0) {
  zktest::BoundedThread t([&] {
    ASSERT_EQ(ZIF_HostTasksCoop(0), 0);
    fn();
  });
  EXPECT_TRUE(t.join(seconds)) << "hosting thread did not finish";
}

double cpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Memory mappings of the process. The thread sanitizer maps shadow memory
// for every stack it sees and keeps it, so under it the count says nothing
// about our stacks.
#if defined(__SANITIZE_THREAD__)
constexpr bool kMappingsTell = false;
#else
constexpr bool kMappingsTell = true;
#endif
long mappings() {
  FILE* f = std::fopen("/proc/self/maps", "r");
  if (!f) return 0;
  long lines = 0;
  for (int c; (c = std::fgetc(f)) != EOF;) lines += c == '\n';
  std::fclose(f);
  return lines;
}

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// ---------------------------------------------------------------------------
// Pre-emptive tasks

class ZsysPreemptiveTest : public zktest::LiveTest {};

TEST_F(ZsysPreemptiveTest, RunsOnItsOwnThreadWithItsId) {
  struct Seen {
    std::atomic<uint32_t> idInside{0};
    std::atomic<uint32_t> idWritten{0};
    uint32_t* idSlot = nullptr;
    std::atomic<bool> done{false};
  } seen;
  uint32_t id = kNoId;
  seen.idSlot = &id;
  auto entry = [](void* p) -> unsigned long {
    auto* s = static_cast<Seen*>(p);
    // The id is in place before the entry runs.
    s->idWritten.store(*s->idSlot);
    s->idInside.store(ZIF_CurrentTaskIdCoop());
    s->done.store(true);
    return 0;
  };
  ASSERT_EQ(ZIF_CreateTask(entry, &seen, &id, 0xFFFFFFFFu, 0), 0);
  ASSERT_TRUE(zktest::waitFor([&] { return seen.done.load(); }));
  EXPECT_NE(id, kNoId);
  EXPECT_EQ(seen.idWritten.load(), id);
  EXPECT_EQ(seen.idInside.load(), id);
  EXPECT_NE(ZIF_CurrentTaskIdCoop(), id);
}

TEST_F(ZsysPreemptiveTest, IdsAreUniqueAcrossKinds) {
  std::set<uint32_t> ids;
  std::atomic<int> finished{0};
  auto entry = [](void* p) -> unsigned long {
    static_cast<std::atomic<int>*>(p)->fetch_add(1);
    return 0;
  };
  for (int i = 0; i < 20; ++i) {
    uint32_t id = kNoId;
    ASSERT_EQ(ZIF_CreateTask(entry, &finished, &id, 0xFFFFFFFFu, 0), 0);
    ids.insert(id);
  }
  inHost([&] {
    ids.insert(ZIF_CurrentTaskIdCoop());
    Bodies b;
    for (int i = 0; i < 5; ++i) ids.insert(b.coop([] {}));
    ZIF_PollTasks();
  });
  EXPECT_EQ(ids.size(), 26u);
  EXPECT_EQ(ids.count(kNoId), 0u);
  EXPECT_TRUE(zktest::waitFor([&] { return finished.load() == 20; }));
}

TEST_F(ZsysPreemptiveTest, AffinityAndPriorityAreHints) {
  struct Probe {
    std::atomic<int> cpus{-1};
    std::atomic<bool> onCpu0{false};
    std::atomic<bool> done{false};
  };
  auto entry = [](void* p) -> unsigned long {
    auto* pr = static_cast<Probe*>(p);
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
      pr->cpus.store(CPU_COUNT(&set));
      pr->onCpu0.store(CPU_ISSET(0, &set));
    }
    pr->done.store(true);
    return 0;
  };
  cpu_set_t mine;
  ASSERT_EQ(sched_getaffinity(0, sizeof mine, &mine), 0);

  // Processor 0 only: pinned there when this process may use it.
  Probe pinned;
  uint32_t id = kNoId;
  ASSERT_EQ(ZIF_CreateTask(entry, &pinned, &id, 0x1u, -1), 0);
  ASSERT_TRUE(zktest::waitFor([&] { return pinned.done.load(); }));
  if (CPU_ISSET(0, &mine)) {
    EXPECT_EQ(pinned.cpus.load(), 1);
    EXPECT_TRUE(pinned.onCpu0.load());
  }
  // A mask naming no processor that exists, and a priority the system may
  // refuse: the task still runs, unpinned.
  Probe loose;
  ASSERT_EQ(ZIF_CreateTask(entry, &loose, &id, 0x80000000u, 99), 0);
  ASSERT_TRUE(zktest::waitFor([&] { return loose.done.load(); }));
  EXPECT_EQ(loose.cpus.load(), CPU_COUNT(&mine));
}

TEST_F(ZsysPreemptiveTest, PriorityAndSuspensionOfARunningTask) {
  struct Gate {
    std::atomic<bool> release{false};
    std::atomic<bool> done{false};
  } gate;
  auto entry = [](void* p) -> unsigned long {
    auto* g = static_cast<Gate*>(p);
    zktest::waitFor([&] { return g->release.load(); });
    g->done.store(true);
    return 0;
  };
  uint32_t id = kNoId;
  ASSERT_EQ(ZIF_CreateTask(entry, &gate, &id, 0xFFFFFFFFu, 0), 0);
  EXPECT_EQ(ZIF_SetTaskPriority(id, -2), 0);
  // Only cooperative tasks can be suspended or waited for.
  EXPECT_EQ(ZIF_SetTaskSuspended(id, 1), -1);
  inHost([&] { EXPECT_EQ(ZIF_WaitTaskCoop(id), -1); });
  gate.release.store(true);
  ASSERT_TRUE(zktest::waitFor([&] { return gate.done.load(); }));
  // Once it has ended its id is unknown.
  EXPECT_TRUE(zktest::waitFor([&] { return ZIF_SetTaskPriority(id, 0) == -1; }));
}

TEST_F(ZsysPreemptiveTest, BadInputAndInjectedFailures) {
  auto entry = [](void*) -> unsigned long { return 0; };
  uint32_t id = 1234;
  EXPECT_EQ(ZIF_CreateTask(nullptr, nullptr, &id, 0xFFFFFFFFu, 0), -1);
  EXPECT_EQ(ZIF_CreateTask(entry, nullptr, nullptr, 0xFFFFFFFFu, 0), -1);
  EXPECT_EQ(id, 1234u);

  ZIF_TestFailNextCreates(2);
  EXPECT_EQ(ZIF_CreateTask(entry, nullptr, &id, 0xFFFFFFFFu, 0), -1);
  inHost([&] {
    Bodies b;
    uint32_t cid = 1234;
    EXPECT_EQ(ZIF_CreateTaskCoop(b.entry(), b.add([] {}), &cid), -1);
    EXPECT_EQ(cid, 1234u);
    // The hook is used up: creation works again.
    EXPECT_EQ(ZIF_CreateTaskCoop(b.entry(), b.add([] {}), &cid), 0);
    EXPECT_NE(cid, 1234u);
    EXPECT_EQ(ZIF_WaitTaskCoop(cid), 0);
  });
  EXPECT_EQ(id, 1234u);
  ZIF_TestFailNextCreates(5);
  ZIF_TestFailNextCreates(0);
  EXPECT_EQ(ZIF_CreateTask(entry, nullptr, &id, 0xFFFFFFFFu, 0), 0);
}


// ---------------------------------------------------------------------------
// Threads that host nothing, sleeping, clocks

class ZsysThreadTest : public zktest::LiveTest {};

TEST_F(ZsysThreadTest, CallsOnAThreadThatHostsNothing) {
  zktest::BoundedThread t([] {
    Bodies b;
    uint32_t id = kNoId;
    EXPECT_EQ(ZIF_CreateTaskCoop(b.entry(), b.add([] {}), &id), -1);
    EXPECT_EQ(id, kNoId);
    const uint32_t ev = ZIF_CreateEventCoop(1, 0);  // events need no host
    ASSERT_NE(ev, kNoId);
    EXPECT_EQ(ZIF_WaitEventCoop(ev), -1);
    EXPECT_EQ(ZIF_WaitTaskCoop(12345), -1);
    ZIF_YieldCoop();
    ZIF_PollTasks();
    ZIF_SuspendFor(0.0f);
    const uint32_t self = ZIF_CurrentTaskIdCoop();
    EXPECT_NE(self, kNoId);
    EXPECT_EQ(ZIF_CurrentTaskIdCoop(), self);
    EXPECT_EQ(ZIF_HostTasksCoop(1), -1);  // reserved must be 0
    // Hosting keeps the thread's id for its root, and is idempotent.
    EXPECT_EQ(ZIF_HostTasksCoop(0), 0);
    EXPECT_EQ(ZIF_HostTasksCoop(0), 0);
    EXPECT_EQ(ZIF_CurrentTaskIdCoop(), self);
    // The event made before hosting serves the host.
    EXPECT_EQ(ZIF_SetEventCoop(ev), 0);
    EXPECT_EQ(ZIF_WaitEventCoop(ev), 0);
    EXPECT_EQ(ZIF_DestroyEventCoop(ev), 0);
  });
  EXPECT_TRUE(t.join());
}

TEST_F(ZsysThreadTest, SleepAndBadDurations) {
  auto t0 = std::chrono::steady_clock::now();
  ZIF_Sleep(0.02);
  EXPECT_GE(since(t0), 0.02);
  // On a thread that hosts nothing, SuspendFor sleeps too.
  t0 = std::chrono::steady_clock::now();
  ZIF_SuspendFor(0.02f);
  EXPECT_GE(since(t0), 0.019);
  // Zero, negative and NaN return at once (far below a second, whatever the
  // load).
  t0 = std::chrono::steady_clock::now();
  ZIF_Sleep(0.0);
  ZIF_Sleep(-5.0);
  ZIF_Sleep(std::numeric_limits<double>::quiet_NaN());
  ZIF_SuspendFor(-1.0f);
  ZIF_SuspendFor(std::numeric_limits<float>::quiet_NaN());
  ZIF_Yield();
  EXPECT_LT(since(t0), 1.0);
  EXPECT_EQ(ZIF_ZeroBasedTimeFrequency(), 1000000000u);
}

TEST_F(ZsysThreadTest, UnknownTasksAndEvents) {
  EXPECT_EQ(ZIF_SetTaskPriority(kNoId, 1), -1);
  EXPECT_EQ(ZIF_SetTaskSuspended(kNoId, 1), -1);
  EXPECT_EQ(ZIF_SetEventCoop(kNoId), -1);
  EXPECT_EQ(ZIF_DestroyEventCoop(kNoId), -1);
  const uint32_t ev = ZIF_CreateEventCoop(0, 0);
  ASSERT_NE(ev, kNoId);
  EXPECT_EQ(ZIF_DestroyEventCoop(ev), 0);
  EXPECT_EQ(ZIF_DestroyEventCoop(ev), -1);
  EXPECT_EQ(ZIF_SetEventCoop(ev), -1);
  inHost([&] {
    EXPECT_EQ(ZIF_WaitEventCoop(ev), -1);
    EXPECT_EQ(ZIF_WaitTaskCoop(kNoId), 0);  // never existed: at once
    EXPECT_EQ(ZIF_WaitTaskCoop(ZIF_CurrentTaskIdCoop()), -1);  // itself
  });
}

// ---------------------------------------------------------------------------
// Cooperative scheduling

class ZsysCoopTest : public zktest::LiveTest {};

TEST_F(ZsysCoopTest, TasksInterleaveAtSwitches) {
  inHost([] {
    std::string log;
    Bodies b;
    auto stepper = [&log](char name) {
      return [&log, name] {
        for (int i = 1; i <= 3; ++i) {
          log += name;
          log += std::to_string(i);
          ZIF_YieldCoop();
        }
      };
    };
    const uint32_t a = b.coop(stepper('a'));
    const uint32_t c = b.coop(stepper('b'));
    // Created tasks first run when the creator switches.
    EXPECT_EQ(log, "");
    EXPECT_EQ(ZIF_WaitTaskCoop(a), 0);
    EXPECT_EQ(ZIF_WaitTaskCoop(c), 0);
    EXPECT_EQ(log, "a1b1a2b2a3b3");
    // Both ended: waiting again returns at once.
    EXPECT_EQ(ZIF_WaitTaskCoop(a), 0);
  });
}

TEST_F(ZsysCoopTest, EachTaskSeesItsOwnId) {
  inHost([] {
    Bodies b;
    const uint32_t root = ZIF_CurrentTaskIdCoop();
    uint32_t seenA = 0, seenB = 0, seenRootAfter = 0;
    uint32_t a = 0, c = 0;
    a = b.coop([&] {
      seenA = ZIF_CurrentTaskIdCoop();
      ZIF_YieldCoop();
      EXPECT_EQ(ZIF_CurrentTaskIdCoop(), a);
    });
    c = b.coop([&] { seenB = ZIF_CurrentTaskIdCoop(); });
    ZIF_PollTasks();
    seenRootAfter = ZIF_CurrentTaskIdCoop();
    EXPECT_EQ(ZIF_WaitTaskCoop(a), 0);
    EXPECT_EQ(seenA, a);
    EXPECT_EQ(seenB, c);
    EXPECT_EQ(seenRootAfter, root);
    EXPECT_NE(a, root);
    // The root never ends: waiting for it is refused rather than hanging.
    int waitRoot = 0;
    const uint32_t w = b.coop([&] { waitRoot = ZIF_WaitTaskCoop(root); });
    EXPECT_EQ(ZIF_WaitTaskCoop(w), 0);
    EXPECT_EQ(waitRoot, -1);
  });
}

TEST_F(ZsysCoopTest, PollRunsEveryDueTaskOnce) {
  inHost([] {
    Bodies b;
    int runs[3] = {0, 0, 0};
    bool stop = false;
    uint32_t ids[3];
    for (int i = 0; i < 3; ++i) {
      ids[i] = b.yielder(&runs[i], &stop);
    }
    // Priorities only order a pass: a high-priority task that keeps yielding
    // does not starve the others, and the root comes back after each pass.
    ZIF_SetTaskPriority(ids[0], 5);
    for (int pass = 1; pass <= 4; ++pass) {
      ZIF_PollTasks();
      EXPECT_GE(runs[0], pass);
      EXPECT_EQ(runs[1], pass);
      EXPECT_EQ(runs[2], pass);
    }
    stop = true;
    for (uint32_t id : ids) EXPECT_EQ(ZIF_WaitTaskCoop(id), 0);
  });
}

TEST_F(ZsysCoopTest, BlockingEndsATurnLikeAYield) {
  inHost([] {
    Bodies b;
    int napperTurns = 0, yielderTurns = 0;
    bool done = false;
    // Sleeps too short to outlast a switch: the napper is due again at once,
    // yet the yielder still gets every other turn.
    const uint32_t napper = b.coop([&] {
      for (; napperTurns < 100; ++napperTurns) ZIF_SuspendFor(1e-9f);
      done = true;
    });
    const uint32_t yielder = b.yielder(&yielderTurns, &done);
    EXPECT_EQ(ZIF_WaitTaskCoop(napper), 0);
    EXPECT_EQ(ZIF_WaitTaskCoop(yielder), 0);
    EXPECT_GE(yielderTurns, 99);
  });
}

TEST_F(ZsysCoopTest, HigherPriorityRunsFirstEqualsTakeTurns) {
  inHost([] {
    Bodies b;
    std::string log;
    auto logger = [&log](char c) { return [&log, c] { log += c; }; };
    const uint32_t low = b.coop(logger('l'));
    const uint32_t high = b.coop(logger('h'));
    const uint32_t mid1 = b.coop(logger('m'));
    const uint32_t mid2 = b.coop(logger('n'));
    const uint32_t raised = b.coop(logger('r'));
    EXPECT_EQ(ZIF_SetTaskPriority(high, 3), 0);
    EXPECT_EQ(ZIF_SetTaskPriority(mid1, 2), 0);
    EXPECT_EQ(ZIF_SetTaskPriority(mid2, 2), 0);
    EXPECT_EQ(ZIF_SetTaskPriority(raised, 4), 0);  // changed before it ran
    for (uint32_t id : {low, high, mid1, mid2, raised}) EXPECT_EQ(ZIF_WaitTaskCoop(id), 0);
    EXPECT_EQ(log, "rhmnl");
  });
}

TEST_F(ZsysCoopTest, SuspendedTasksWaitForResume) {
  inHost([] {
    Bodies b;
    int runs = 0;
    bool stop = false;
    const uint32_t t = b.yielder(&runs, &stop);
    EXPECT_EQ(ZIF_SetTaskSuspended(t, 1), 0);
    for (int i = 0; i < 5; ++i) ZIF_PollTasks();
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(ZIF_SetTaskSuspended(t, 0), 0);
    ZIF_PollTasks();
    EXPECT_GT(runs, 0);
    // Suspended while it is sleeping: it stays off after its sleep ends.
    stop = true;
    EXPECT_EQ(ZIF_WaitTaskCoop(t), 0);

    int after = 0;
    const uint32_t s = b.coop([&] {
      ZIF_SuspendFor(0.001f);
      ++after;
    });
    ZIF_PollTasks();  // it starts its sleep
    EXPECT_EQ(ZIF_SetTaskSuspended(s, 1), 0);
    ZIF_SuspendFor(0.02f);
    EXPECT_EQ(after, 0);
    EXPECT_EQ(ZIF_SetTaskSuspended(s, 0), 0);
    EXPECT_EQ(ZIF_WaitTaskCoop(s), 0);
    EXPECT_EQ(after, 1);
  });
}

TEST_F(ZsysCoopTest, TaskThatSuspendsItselfLeavesAtOnce) {
  inHost([] {
    Bodies b;
    std::string log;
    uint32_t t = 0;
    t = b.coop([&] {
      log += "a";
      ZIF_SetTaskSuspended(t, 1);
      log += "c";
    });
    ZIF_PollTasks();
    log += "b";
    ZIF_PollTasks();
    EXPECT_EQ(log, "ab");
    ZIF_SetTaskSuspended(t, 0);
    EXPECT_EQ(ZIF_WaitTaskCoop(t), 0);
    EXPECT_EQ(log, "abc");
  });
}

TEST_F(ZsysCoopTest, ResumeFromAnotherThreadWakesAnIdleHost) {
  std::atomic<uint32_t> id{kNoId};
  std::atomic<bool> ran{false};
  zktest::BoundedThread resumer([&] {
    ASSERT_TRUE(zktest::waitFor([&] { return id.load() != kNoId; }));
    EXPECT_EQ(ZIF_SetTaskSuspended(id.load(), 0), 0);
  });
  inHost([&] {
    Bodies b;
    const uint32_t t = b.coop([&] { ran = true; });
    EXPECT_EQ(ZIF_SetTaskSuspended(t, 1), 0);
    id = t;
    // Nothing is due until the other thread resumes the task.
    EXPECT_EQ(ZIF_WaitTaskCoop(t), 0);
    EXPECT_TRUE(ran.load());
  });
  EXPECT_TRUE(resumer.join());
}

// ---------------------------------------------------------------------------
// Events

class ZsysEventTest : public zktest::LiveTest {};

TEST_F(ZsysEventTest, AutoResetWakesOneWaitPerSet) {
  inHost([] {
    Bodies b;
    const uint32_t ev = ZIF_CreateEventCoop(1, 0);
    ASSERT_NE(ev, kNoId);
    int woken = 0;
    const uint32_t w = b.coop([&] {
      for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(ZIF_WaitEventCoop(ev), 0);
        ++woken;
      }
    });
    ZIF_PollTasks();
    ZIF_PollTasks();
    EXPECT_EQ(woken, 0);
    EXPECT_EQ(ZIF_SetEventCoop(ev), 0);
    ZIF_PollTasks();
    EXPECT_EQ(woken, 1);
    ZIF_PollTasks();
    EXPECT_EQ(woken, 1);  // its wait cleared the event
    // Two sets: the first wakes the waiter, the second stays for the next
    // wait, which returns at once and clears it.
    EXPECT_EQ(ZIF_SetEventCoop(ev), 0);
    EXPECT_EQ(ZIF_SetEventCoop(ev), 0);
    EXPECT_EQ(ZIF_WaitTaskCoop(w), 0);
    EXPECT_EQ(woken, 2);
    EXPECT_EQ(ZIF_WaitEventCoop(ev), 0);
    // Sets do not count up: after two sets one wait passes, the next one
    // waits for a task to set it again.
    EXPECT_EQ(ZIF_SetEventCoop(ev), 0);
    EXPECT_EQ(ZIF_SetEventCoop(ev), 0);
    EXPECT_EQ(ZIF_WaitEventCoop(ev), 0);
    bool setterRan = false;
    b.coop([&] {
      setterRan = true;
      ZIF_SetEventCoop(ev);
    });
    EXPECT_EQ(ZIF_WaitEventCoop(ev), 0);
    EXPECT_TRUE(setterRan);
    EXPECT_EQ(ZIF_DestroyEventCoop(ev), 0);
  });
}

TEST_F(ZsysEventTest, ManualResetWakesEveryWaiterAndStaysSet) {
  inHost([] {
    Bodies b;
    const uint32_t ev = ZIF_CreateEventCoop(0, 0);
    int woken = 0;
    std::vector<uint32_t> ids;
    for (int i = 0; i < 3; ++i) {
      ids.push_back(b.coop([&] {
        EXPECT_EQ(ZIF_WaitEventCoop(ev), 0);
        ++woken;
      }));
    }
    ZIF_PollTasks();
    EXPECT_EQ(woken, 0);
    EXPECT_EQ(ZIF_SetEventCoop(ev), 0);
    for (uint32_t id : ids) EXPECT_EQ(ZIF_WaitTaskCoop(id), 0);
    EXPECT_EQ(woken, 3);
    EXPECT_EQ(ZIF_WaitEventCoop(ev), 0);
    EXPECT_EQ(ZIF_WaitEventCoop(ev), 0);
    EXPECT_EQ(ZIF_DestroyEventCoop(ev), 0);

    const uint32_t pre = ZIF_CreateEventCoop(1, 1);  // initially set
    EXPECT_EQ(ZIF_WaitEventCoop(pre), 0);
    EXPECT_EQ(ZIF_DestroyEventCoop(pre), 0);
  });
}

TEST_F(ZsysEventTest, DestroyReleasesWaitersWithFailure) {
  inHost([] {
    Bodies b;
    const uint32_t ev = ZIF_CreateEventCoop(1, 0);
    int result = 0;
    const uint32_t w = b.coop([&] { result = ZIF_WaitEventCoop(ev); });
    ZIF_PollTasks();
    EXPECT_EQ(ZIF_DestroyEventCoop(ev), 0);
    EXPECT_EQ(ZIF_WaitTaskCoop(w), 0);
    EXPECT_EQ(result, -1);
  });
}

TEST_F(ZsysEventTest, SetFromAnotherThreadWakesASleepingHost) {
  const uint32_t ev = ZIF_CreateEventCoop(1, 0);
  std::atomic<bool> rootWaits{false};
  zktest::BoundedThread setter([&] {
    // The task below runs only once the root has blocked in its wait.
    ASSERT_TRUE(zktest::waitFor([&] { return rootWaits.load(); }));
    EXPECT_EQ(ZIF_SetEventCoop(ev), 0);
  });
  inHost([&] {
    Bodies b;
    b.coop([&] { rootWaits = true; });
    // With nothing due the host sleeps until the other thread sets it.
    EXPECT_EQ(ZIF_WaitEventCoop(ev), 0);
  });
  EXPECT_TRUE(setter.join());
  EXPECT_EQ(ZIF_DestroyEventCoop(ev), 0);
}

// ---------------------------------------------------------------------------
// Sleeping, idling and task time

TEST(ZsysTimeTest, SuspendForSleepsWhileOthersRun) {
  inHost([] {
    Bodies b;
    int spins = 0;
    bool awake = false;
    double slept = 0;
    const uint32_t sleeper = b.coop([&] {
      const auto t0 = std::chrono::steady_clock::now();
      ZIF_SuspendFor(0.05f);
      slept = since(t0);
      awake = true;
    });
    const uint32_t spinner = b.yielder(&spins, &awake);
    EXPECT_EQ(ZIF_WaitTaskCoop(sleeper), 0);
    EXPECT_EQ(ZIF_WaitTaskCoop(spinner), 0);
    EXPECT_GE(slept, 0.05);
    EXPECT_LT(slept, 5.0);
    EXPECT_GT(spins, 1);

    // The root's SuspendFor runs the others meanwhile.
    int ticks = 0;
    bool stop = false;
    const uint32_t ticker = b.coop([&] {
      while (!stop) {
        ++ticks;
        ZIF_SuspendFor(0.001f);
      }
    });
    const auto t0 = std::chrono::steady_clock::now();
    ZIF_SuspendFor(0.03f);
    EXPECT_GE(since(t0), 0.03);
    EXPECT_GE(ticks, 2);
    stop = true;
    EXPECT_EQ(ZIF_WaitTaskCoop(ticker), 0);
  });
}

TEST(ZsysTimeTest, SleepersWakeInDeadlineOrder) {
  inHost([] {
    Bodies b;
    std::string log;
    std::vector<uint32_t> ids;
    for (int ms : {30, 10, 20}) {
      ids.push_back(b.coop([&log, ms] {
        ZIF_SuspendFor(static_cast<float>(ms) / 1000.0f);
        log += std::to_string(ms) + " ";
      }));
    }
    for (uint32_t id : ids) EXPECT_EQ(ZIF_WaitTaskCoop(id), 0);
    EXPECT_EQ(log, "10 20 30 ");
  });
}

TEST(ZsysTimeTest, IdleHostDoesNotSpin) {
  inHost([] {
    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    ZIF_SuspendFor(0.2f);
    EXPECT_GE(since(t0), 0.2);
    // A spinning wait would burn the whole 0.2 s.
    EXPECT_LT(cpuSeconds() - cpu0, 0.05);
  });
}

TEST(ZsysTimeTest, TaskTimeGrowsWithWork) {
  inHost([] {
    Bodies b;
    const double freq = static_cast<double>(ZIF_ZeroBasedTimeFrequency());
    double worked = -1, idled = -1;
    auto busy = [](double seconds) {
      const double end = cpuSeconds() + seconds;
      volatile uint64_t x = 0;
      while (cpuSeconds() < end) x = x + 1;
    };
    const uint32_t worker = b.coop([&] {
      const uint64_t t0 = ZIF_CurrentTaskTimeCoop();
      for (int i = 0; i < 5; ++i) {
        busy(0.01);
        ZIF_YieldCoop();
      }
      worked = static_cast<double>(ZIF_CurrentTaskTimeCoop() - t0) / freq;
    });
    const uint32_t lazy = b.coop([&] {
      const uint64_t t0 = ZIF_CurrentTaskTimeCoop();
      for (int i = 0; i < 5; ++i) ZIF_YieldCoop();
      idled = static_cast<double>(ZIF_CurrentTaskTimeCoop() - t0) / freq;
    });
    EXPECT_EQ(ZIF_WaitTaskCoop(worker), 0);
    EXPECT_EQ(ZIF_WaitTaskCoop(lazy), 0);
    // 50 ms of work, less what was shared out to the others' slices.
    EXPECT_GE(worked, 0.03);
    EXPECT_LT(worked, 1.0);
    EXPECT_GE(idled, 0.0);
    EXPECT_LT(idled, worked / 2);
    // The root's own time only grows.
    const uint64_t r0 = ZIF_CurrentTaskTimeCoop();
    busy(0.005);
    EXPECT_GT(ZIF_CurrentTaskTimeCoop(), r0);
  });
  // A thread that hosts nothing reads its own processor time.
  const uint64_t t0 = ZIF_CurrentTaskTimeCoop();
  const double end = cpuSeconds() + 0.005;
  while (cpuSeconds() < end) {
  }
  EXPECT_GE(ZIF_CurrentTaskTimeCoop() - t0, 4000000u);
}

// ---------------------------------------------------------------------------
// Lifetimes

class ZsysLifetimeTest : public zktest::LiveTest {};

TEST_F(ZsysLifetimeTest, StacksOfEndedTasksAreGivenBack) {
  const long before = mappings();
  inHost([before] {
    Bodies b;
    int done = 0;
    // Many tasks alive at once, each touching a good part of its stack; once
    // they have ended, their stacks (each a mapping and a guard page) are
    // gone but for a few kept for reuse.
    const int n = static_cast<int>(zktest::scaled(1000, 3));
    for (int round = 0; round < 2; ++round) {
      for (int i = 0; i < n; ++i) {
        b.coop([&] {
          volatile char buf[64 * 1024];
          buf[0] = 1;
          buf[sizeof buf - 1] = 1;
          ZIF_YieldCoop();
          ++done;
        });
      }
      if (kMappingsTell) EXPECT_GT(mappings() - before, n);
      while (done < n * (round + 1)) ZIF_PollTasks();
      if (kMappingsTell) EXPECT_LT(mappings() - before, 40);
    }
    EXPECT_EQ(done, 2 * n);
    // Under ThreadSanitizer on a busy machine this takes well over 30 s; the
    // deadline is there to catch a hang, not to time the work.
  }, 180.0);
  if (kMappingsTell) EXPECT_LT(mappings() - before, 20);
}

TEST_F(ZsysLifetimeTest, HostThreadEndsWithTasksStillBlocked) {
  const uint32_t ev = ZIF_CreateEventCoop(1, 0);
  uint32_t blocked = kNoId;
  inHost([&] {
    Bodies* b = new Bodies;  // outlives nothing: the tasks never run again
    blocked = b->coop([ev] { ZIF_WaitEventCoop(ev); });
    ZIF_PollTasks();
    delete b;
  });
  // The thread is gone: its tasks are unknown, and the event works on.
  EXPECT_EQ(ZIF_SetTaskSuspended(blocked, 1), -1);
  EXPECT_EQ(ZIF_SetEventCoop(ev), 0);
  EXPECT_EQ(ZIF_DestroyEventCoop(ev), 0);
}

TEST_F(ZsysLifetimeTest, CallsOnAnotherHostsTask) {
  std::atomic<uint32_t> foreign{kNoId};
  std::atomic<bool> release{false};
  zktest::BoundedThread other([&] {
    ASSERT_EQ(ZIF_HostTasksCoop(0), 0);
    Bodies b;
    const uint32_t t = b.coop([&] {
      while (!release) ZIF_SuspendFor(0.001f);
    });
    foreign = t;
    EXPECT_EQ(ZIF_WaitTaskCoop(t), 0);
  });
  ASSERT_TRUE(zktest::waitFor([&] { return foreign.load() != kNoId; }));
  inHost([&] {
    // Waiting is for the hosting thread only; priority and suspension may
    // come from anywhere.
    EXPECT_EQ(ZIF_WaitTaskCoop(foreign), -1);
    EXPECT_EQ(ZIF_SetTaskPriority(foreign, 2), 0);
    EXPECT_EQ(ZIF_SetTaskSuspended(foreign, 1), 0);
    EXPECT_EQ(ZIF_SetTaskSuspended(foreign, 0), 0);
  });
  release = true;
  EXPECT_TRUE(other.join());
}

// The start and stop protocol of a cooperative worker: the body sets the
// start event, loops until told to stop, and the stopper raises its priority
// and waits for it to end. A body that stops itself finds its own id.
TEST_F(ZsysLifetimeTest, CooperativeWorkerStartAndStop) {
  inHost([] {
    struct Worker {
      uint32_t startEvent = kNoId;
      uint32_t taskId = kNoId;
      bool running = false;
      bool shutdown = false;
      bool stoppedItself = false;
      int turns = 0;
      static unsigned long body(void* p) {
        auto* w = static_cast<Worker*>(p);
        w->running = true;
        ZIF_SetEventCoop(w->startEvent);
        while (!w->shutdown) {
          ++w->turns;
          ZIF_PollTasks();
          ZIF_SuspendFor(0.0005f);
          if (w->turns == 100) {
            w->stoppedItself = ZIF_CurrentTaskIdCoop() == w->taskId;
            w->shutdown = true;
          }
        }
        w->running = false;
        return 0;
      }
    };
    for (int round = 0; round < 2; ++round) {
      Worker w;
      w.startEvent = ZIF_CreateEventCoop(1, 0);
      ASSERT_EQ(ZIF_HostTasksCoop(0), 0);
      ASSERT_EQ(ZIF_CreateTaskCoop(&Worker::body, &w, &w.taskId), 0);
      ASSERT_EQ(ZIF_SetTaskPriority(w.taskId, 3), 0);
      while (!w.running) ASSERT_EQ(ZIF_WaitEventCoop(w.startEvent), 0);
      EXPECT_EQ(ZIF_DestroyEventCoop(w.startEvent), 0);
      if (round == 0) {
        // Stopped from the root.
        ZIF_SuspendFor(0.005f);
        EXPECT_NE(ZIF_CurrentTaskIdCoop(), w.taskId);
        w.shutdown = true;
        EXPECT_EQ(ZIF_SetTaskSuspended(w.taskId, 0), 0);
        EXPECT_EQ(ZIF_SetTaskPriority(w.taskId, 4), 0);
        EXPECT_EQ(ZIF_WaitTaskCoop(w.taskId), 0);
      } else {
        EXPECT_EQ(ZIF_WaitTaskCoop(w.taskId), 0);
        EXPECT_TRUE(w.stoppedItself);
      }
      EXPECT_FALSE(w.running);
      EXPECT_GT(w.turns, 0);
    }
  });
}

}  // namespace
