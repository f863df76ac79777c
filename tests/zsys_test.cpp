// SPDX-License-Identifier: Apache-2.0
// The system layer: pre-emptive tasks, cooperative scheduling, events, sleeps
// and task time. Every cooperative case runs on a fresh thread of its own
// (inHost), so a scheduler that hangs fails the test instead of the run. The
// start and stop protocol of a cooperative worker is QueueTaskCoopTest's.
#include "zkflow/host/zsys.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

#include "common/testutil.h"
#include "zkflow/host/clock.h"
#include "zkflow/host/lock.h"
#include "zkflow/host/simtime.h"

namespace {

constexpr uint32_t kNoId = 0xFFFFFFFFu;

// Closures as cooperative task bodies; the list keeps them alive while tasks run.
struct Bodies {
  static unsigned long run(void* p) { return (*static_cast<std::function<void()>*>(p))(), 0; }
  uint32_t coop(std::function<void()> f) {
    uint32_t id = kNoId;
    EXPECT_EQ(ZIF_CreateTaskCoop(&run, &fns.emplace_back(std::move(f)), &id), 0);
    return id;
  }
  // Counts its turns in *turns and yields until *stop.
  uint32_t yielder(int* turns, const bool* stop) {
    return coop([=] {
      while (!*stop) ++*turns, ZIF_YieldCoop();
    });
  }
  static void waitAll(const std::vector<uint32_t>& ids) {
    for (uint32_t id : ids) EXPECT_EQ(ZIF_WaitTaskCoop(id), 0);
  }
  std::list<std::function<void()>> fns;
};

void inHost(const std::function<void()>& fn, double seconds = 30.0) {
  zktest::BoundedThread t([&] {
    ASSERT_EQ(ZIF_HostTasksCoop(0), 0);
    fn();
  });
  EXPECT_TRUE(t.join(seconds)) << "hosting thread did not finish";
}

void busy(double seconds) {
  for (const double end = zktest::cpuSeconds() + seconds; zktest::cpuSeconds() < end;) {}
}
double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
class ZsysThreadTest : public zktest::LiveTest {};

// A pooled task that blocks its worker in the system (on a condition
// variable here) does not hold the other pooled tasks up: with one worker,
// the task it waits for runs on a worker that the pool adds, and the log
// says why (not before that task is ready). Its own id is what it sees as
// current, and it hosts no cooperative tasks.
TEST_F(ZsysThreadTest, PoolOutgrowsABlockedWorker) {
  ASSERT_TRUE(zkflow::poolThreads(1));
  zktest::LogCapture log;
  struct Shared {
    std::mutex mu;
    std::condition_variable cv;
    bool set = false;
    std::atomic<int> started{0}, done{0};
    uint32_t ids[2] = {kNoId, kNoId};
    std::atomic<bool> sawOwnIds{true};
  } sh;
  auto body = [](void* p) -> unsigned long {
    auto& s = *static_cast<Shared*>(p);
    const int me = s.started++;
    if (ZIF_CurrentTaskIdCoop() != s.ids[me] || ZIF_HostTasksCoop(0) != -1 || zkflow::currentWorker() < 0)
      s.sawOwnIds = false;
    std::unique_lock<std::mutex> hold(s.mu);
    if (me == 0) {
      s.cv.wait_for(hold, std::chrono::seconds(30), [&] { return s.set; });  // blocks the worker
    } else {
      s.set = true;
      s.cv.notify_all();
    }
    return ++s.done, 0;
  };
  ASSERT_EQ(zkflow::createTask(zkflow::Executor::Pool, body, &sh, &sh.ids[0], kNoId, 0), 0);
  ASSERT_TRUE(zktest::waitFor([&] { return sh.started == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // observation window: 15 monitor periods
  EXPECT_EQ(log.count("worker(s) blocked in the system"), 0u) << "a worker blocked with no task ready";
  ASSERT_EQ(zkflow::createTask(zkflow::Executor::Pool, body, &sh, &sh.ids[1], kNoId, 0), 0);
  EXPECT_TRUE(zktest::waitFor([&] { return sh.done == 2; }));
  EXPECT_TRUE(sh.sawOwnIds && zkflow::currentWorker() == -1);
  EXPECT_GE(log.count("worker(s) blocked in the system"), 1u);  // once per worker added
  {
    std::lock_guard<std::mutex> hold(sh.mu);
    sh.set = true;
  }
  sh.cv.notify_all();
  EXPECT_TRUE(zktest::waitFor([&] { return sh.done == 2; }));
}

// On the simulated clock, tasks that only sleep (on threads or on the pool)
// wake at the times a discrete-event model gives, whatever the load: each at
// its start plus the sum of its naps (half an hour here, in milliseconds). A
// timed lock wait (on a thread, on the pool) ends at its deadline while the
// holder naps, and its unlock wakes the next one at once; the clock never
// steps back when it ends.
TEST_F(ZsysThreadTest, SimulatedClockFollowsTheEventModel) {
  struct Sleeper {
    std::vector<double> naps;
    std::vector<Utils::Time> woke;
    zk::Lock* held;  // taken for it before it starts, let go after its naps
    std::atomic<int>* ended;
    zk::Lock* waits = nullptr;  // its first nap a timed wait for it
    bool gaveUp = false;
  };
  zk::Lock lock(new zk::LockRep("model"));
  std::atomic<int> ended{0};
  std::vector<Sleeper> sleepers(3, Sleeper{{}, {}, nullptr, &ended});
  uint32_t seed = 19, id = kNoId;
  for (Sleeper& s : sleepers)
    for (int k = 0; k < 40; ++k) s.naps.push_back(((seed = seed * 1103515245u + 12345u) >> 8) % 90000 / 1000.0);
  sleepers[0].naps.resize(3), sleepers[0].held = &lock, sleepers[1].waits = &lock;
  zkflow::SimulatedClock simulated;
  EXPECT_FALSE(zkflow::simulatedTime(true)) << "on twice";
  const Utils::Time start = ZtClock::timeNow();
  ASSERT_TRUE(lock.lock());  // a Lock has no owner: sleeper 0 lets it go
  for (Sleeper& s : sleepers)  // the first on a thread, the others on the pool (two timers at once there)
    ASSERT_EQ(zkflow::createTask(&s == sleepers.data() ? zkflow::Executor::Thread : zkflow::Executor::Pool,
                                 [](void* p) -> unsigned long {
      auto& s = *static_cast<Sleeper*>(p);
      for (const double& nap : s.naps) {
        (s.waits && &nap == s.naps.data()) ? void(s.gaveUp = !s.waits->lockFor(nap)) : ZIF_Sleep(nap);
        s.woke.push_back(ZtClock::timeNow());
      }
      if (s.held) s.held->unlock();
      return s.ended->fetch_add(1), 0;
    }, &s, &id, kNoId, 0), 0);
  const Utils::Time asked = ZtClock::timeNow();
  EXPECT_FALSE(lock.lockFor(1.0));
  EXPECT_NEAR((ZtClock::timeNow() - asked).seconds(), 1.0, 2e-5) << "a timed wait ends at its deadline";
  EXPECT_TRUE(lock.lockFor(1e6) && lock.unlock());
  EXPECT_NEAR((ZtClock::timeNow() - start).seconds(), sleepers[0].naps[0] + sleepers[0].naps[1] + sleepers[0].naps[2], 2e-5);
  ASSERT_TRUE(zktest::waitFor([&] { return ended.load() == 3; }));
  EXPECT_TRUE(sleepers[1].gaveUp) << "a timed wait on a held lock gave up";
  for (const Sleeper& s : sleepers)
    for (size_t k = 0; k < s.naps.size(); ++k)
      EXPECT_NEAR((s.woke[k] - start).seconds(), std::accumulate(s.naps.begin(), s.naps.begin() + k + 1, 0.0), 2e-5);
  const Utils::Time end = ZtClock::timeNow();
  EXPECT_TRUE(zkflow::simulatedTime(false));
  EXPECT_GE(ZtClock::timeNow().raw(), end.raw());
}

class ZsysCoopTest : public zktest::LiveTest {};

// Created tasks first run when the creator switches; equals take turns at
// each switch, higher priority runs first, and each task sees its own id. A
// pass runs every due task once: a high-priority task that keeps yielding
// does not starve the others, nor does one whose sleeps end at once.
TEST_F(ZsysCoopTest, TurnsPrioritiesAndFairPasses) {
  inHost([] {
    Bodies b;
    std::string log;
    std::vector<uint32_t> ids(2);
    for (int t = 0; t < 2; ++t) {
      ids[t] = b.coop([&, t] {
        for (int i = 1; i <= 3; ++i, ZIF_YieldCoop()) {
          log += static_cast<char>('a' + t) + std::to_string(i);
          EXPECT_EQ(ZIF_CurrentTaskIdCoop(), ids[t]);
        }
      });
    }
    EXPECT_EQ(log, "");
    b.waitAll(ids);
    EXPECT_EQ(log, "a1b1a2b2a3b3");
    log.clear();
    ids.clear();
    for (auto [c, prio] : {std::pair<char, int>{'l', 0}, {'h', 3}, {'m', 2}, {'n', 2}, {'r', 4}}) {
      ids.push_back(b.coop([&log, c = c] { log += c; }));
      EXPECT_EQ(ZIF_SetTaskPriority(ids.back(), prio), 0);
    }
    b.waitAll(ids);
    EXPECT_EQ(log, "rhmnl");

    int runs[3] = {0, 0, 0}, naps = 0, turns = 0;
    bool stop = false;
    ids.clear();
    for (int& r : runs) ids.push_back(b.yielder(&r, &stop));
    ZIF_SetTaskPriority(ids[0], 5);
    for (int pass = 1; pass <= 4; ++pass) {
      ZIF_PollTasks();
      EXPECT_TRUE(runs[0] >= pass && runs[1] == pass && runs[2] == pass) << pass;
    }
    stop = true;
    b.waitAll(ids);
    stop = false;
    b.waitAll({b.coop([&] {
                 for (; naps < 100; ++naps) ZIF_SuspendFor(1e-9f);
                 stop = true;
               }),
               b.yielder(&turns, &stop)});
    EXPECT_GE(turns, 99);
  });
}

// Suspended before its first run, and again while it sleeps, a task stays
// off until resumed; one that suspends itself switches away at once.
TEST_F(ZsysCoopTest, SuspendAndResume) {
  inHost([] {
    Bodies b;
    std::string log;
    uint32_t self = 0;
    const uint32_t t = b.coop([&] {
      log += "a";
      ZIF_SuspendFor(0.001f);
      log += "b";
    });
    EXPECT_EQ(ZIF_SetTaskSuspended(t, 1), 0);
    ZIF_PollTasks();
    EXPECT_EQ(log, "");
    EXPECT_EQ(ZIF_SetTaskSuspended(t, 0), 0);
    ZIF_PollTasks();
    EXPECT_EQ(ZIF_SetTaskSuspended(t, 1), 0);
    ZIF_SuspendFor(0.02f);
    EXPECT_EQ(log, "a");
    EXPECT_TRUE(ZIF_SetTaskSuspended(t, 0) == 0 && ZIF_WaitTaskCoop(t) == 0);
    self = b.coop([&] {
      log += "c";
      ZIF_SetTaskSuspended(self, 1);
      log += "e";
    });
    for (const char* step : {"", "d"}) log += step, ZIF_PollTasks();
    EXPECT_EQ(log, "abcd");
    EXPECT_TRUE(ZIF_SetTaskSuspended(self, 0) == 0 && ZIF_WaitTaskCoop(self) == 0);
    EXPECT_EQ(log, "abcde");
  });
}

// The host sleeps with nothing due; a resume, a priority or a set from
// another thread must reach it (a lost wake-up hangs the host and fails its
// bounded join). Waiting for a task is for its own host only.
TEST_F(ZsysCoopTest, OtherThreadsWakeAnIdleHost) {
  std::atomic<uint32_t> id{kNoId};
  const uint32_t ev = ZIF_CreateEventCoop(1, 0);
  std::atomic<bool> rootWaits{false};
  EXPECT_EQ(ZIF_SetTaskPriority(kNoId, 1) + ZIF_SetTaskSuspended(kNoId, 1) + ZIF_HostTasksCoop(1), -3);  // unknown
  zktest::BoundedThread other([&] {
    ASSERT_TRUE(zktest::waitFor([&] { return id.load() != kNoId; }));
    inHost([&] { EXPECT_EQ(ZIF_WaitTaskCoop(id), -1); });
    EXPECT_EQ(ZIF_SetTaskPriority(id, 2) + ZIF_SetTaskSuspended(id, 0), 0);
    ASSERT_TRUE(zktest::waitFor([&] { return rootWaits.load(); }));
    EXPECT_EQ(ZIF_SetEventCoop(ev), 0);
  });
  inHost([&] {
    Bodies b;
    bool ran = false;
    const uint32_t t = b.coop([&] { ran = true; });
    EXPECT_EQ(ZIF_SetTaskSuspended(t, 1), 0);
    id = t;
    EXPECT_EQ(ZIF_WaitTaskCoop(t), 0);
    EXPECT_TRUE(ran);
    b.coop([&] { rootWaits = true; });  // runs once the root has blocked
    EXPECT_EQ(ZIF_WaitEventCoop(ev), 0);
  });
  EXPECT_TRUE(other.join());
  EXPECT_EQ(ZIF_DestroyEventCoop(ev), 0);
}

// An auto-reset event wakes one waiter and clears; sets do not count up;
// destroyed under its waiter, the wait fails. A manual-reset one wakes
// every waiter and stays set.
TEST_F(ZsysCoopTest, AutoAndManualResetEvents) {
  inHost([] {
    Bodies b;
    const uint32_t ev = ZIF_CreateEventCoop(1, 0);
    int woken = 0, result = 0;
    const uint32_t w = b.coop([&] {
      for (int i = 0; i < 2; ++i) woken += ZIF_WaitEventCoop(ev) == 0;
    });
    ZIF_PollTasks();
    EXPECT_EQ(ZIF_SetEventCoop(ev), 0);
    ZIF_PollTasks();
    ZIF_PollTasks();
    EXPECT_EQ(woken, 1);  // its wait cleared the event
    // Of two sets, one wakes the waiter and one stays for the root's wait.
    EXPECT_EQ(ZIF_SetEventCoop(ev) + ZIF_SetEventCoop(ev), 0);
    EXPECT_TRUE(ZIF_WaitTaskCoop(w) == 0 && ZIF_WaitEventCoop(ev) == 0);
    const uint32_t d = b.coop([&] { result = ZIF_WaitEventCoop(ev); });
    ZIF_PollTasks();
    EXPECT_TRUE(ZIF_DestroyEventCoop(ev) == 0 && ZIF_WaitTaskCoop(d) == 0);
    EXPECT_EQ(result, -1);
    const uint32_t manual = ZIF_CreateEventCoop(0, 0), pre = ZIF_CreateEventCoop(1, 1);
    std::vector<uint32_t> ids;
    for (int i = 0; i < 3; ++i) ids.push_back(b.coop([&] { woken += ZIF_WaitEventCoop(manual) == 0; }));
    ZIF_PollTasks();
    EXPECT_EQ(ZIF_SetEventCoop(manual), 0);
    b.waitAll(ids);
    EXPECT_EQ(woken, 5);
    EXPECT_EQ(ZIF_WaitEventCoop(manual) + ZIF_WaitEventCoop(pre), 0);  // pre: initially set
    EXPECT_EQ(ZIF_DestroyEventCoop(manual) + ZIF_DestroyEventCoop(pre), 0);
  });
}

// Sleepers wake in deadline order while the others run, and a host with
// nothing due does not spin. (That the root's own SuspendFor runs its tasks
// carries every cooperative queue task test.)
TEST_F(ZsysCoopTest, SleepingTasksAndIdleHost) {
  inHost([] {
    Bodies b;
    std::string log;
    int spins = 0;
    bool stop = false;
    std::vector<uint32_t> ids;
    for (int ms : {30, 10, 20}) {
      ids.push_back(b.coop([&log, ms] {
        const auto t0 = std::chrono::steady_clock::now();
        ZIF_SuspendFor(static_cast<float>(ms) / 1000.0f);
        EXPECT_GE(since(t0), ms / 1000.0);
        log += std::to_string(ms) + " ";
      }));
    }
    const uint32_t spinner = b.yielder(&spins, &stop);
    b.waitAll(ids);
    EXPECT_EQ(log, "10 20 30 ");
    EXPECT_GT(spins, 1);
    stop = true;
    b.waitAll({spinner});
    const double cpu0 = zktest::cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    ZIF_SuspendFor(0.2f);
    EXPECT_GE(since(t0), 0.2);
    EXPECT_LT(zktest::cpuSeconds() - cpu0, 0.05);  // a spinning wait burns all 0.2 s
  });
}

// Task time counts a task's own work only, in ns, also when the work moves
// from one task to the other; a thread that hosts nothing reads its own
// processor time.
TEST_F(ZsysCoopTest, TaskTimeCountsOnlyTheTasksOwnWork) {
  inHost([] {
    Bodies b;
    double spent[2] = {-1, -1};
    std::vector<uint32_t> ids;
    for (int t = 0; t < 2; ++t) {
      ids.push_back(b.coop([&, t] {
        // Both read their time every turn: each read shares out the thread's
        // time since the last one, which must go to the task that used it.
        // Task 0 works in the first five turns, task 1 in the last five.
        const uint64_t t0 = ZIF_CurrentTaskTimeCoop();
        for (int i = 0; i < 10; ++i) busy(i / 5 == t ? 0.01 : 0), ZIF_YieldCoop(), (void)ZIF_CurrentTaskTimeCoop();
        spent[t] = static_cast<double>(ZIF_CurrentTaskTimeCoop() - t0) / ZIF_ZeroBasedTimeFrequency();
      }));
    }
    b.waitAll(ids);
    for (double s : spent) EXPECT_TRUE(s >= 0.03 && s < 0.08) << spent[0] << " " << spent[1];
  });
  const uint64_t t0 = ZIF_CurrentTaskTimeCoop();
  busy(0.005);
  EXPECT_GE(ZIF_CurrentTaskTimeCoop() - t0, 4000000u);
}

}  // namespace
