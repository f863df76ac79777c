// SPDX-License-Identifier: Apache-2.0
// Queue tasks and their multithreaded queue: delivery exactly once through a
// bounded queue, producers that sleep (not spin) on a full queue, stop() and
// its wake-up packet, pause, suspension, a stuck handler, pacing, and
// cooperative tasks sharing one hosting thread. The queue soak
// (tests/soak/queue_soak.cpp) repeats delivery under pause, suspension and
// restarts, round after round.
#include <gtest/gtest.h>

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <tuple>

#include "common/testutil.h"
#include "zkflow/host/clock.h"
#include "zkflow/host/simtime.h"
#include "zkflow/host/zsys.h"
#include "zkflow/flow/queuetask.h"

namespace {

using Queue = ZtQueueTask::Queue;

// A queue packet that says who made it and in which order.
struct Num : ZtQueuePacket {
  Num(int producer, int seq) : producer(producer), seq(seq) {}
  int producer, seq;
};
zk::AP<ZtQueuePacket> num(int producer, int seq) { return zk::AP<ZtQueuePacket>(new Num(producer, seq)); }
void push(Queue& q, int producer, int seq) {
  zk::AP<ZtQueuePacket> p = num(producer, seq);
  ASSERT_TRUE(q.push(p));
}

// Takes everything left in `q` (as its consumer): the sequence numbers in order.
std::vector<int> drain(Queue& q) {
  std::vector<int> got;
  for (zk::AP<ZtQueuePacket> p; q.unlinkHead(p, true);) got.push_back(static_cast<Num*>(p.get())->seq);
  return got;
}

// A queue task whose turns are given by a function; counts its hooks.
struct TestTask : ZtQueueTask {
  using Handler = std::function<void(zk::AP<ZtQueuePacket>&, Queue*)>;
  explicit TestTask(bool coop, Handler h = nullptr) : ZtQueueTask(coop), handler(std::move(h)) {}
  ~TestTask() override { stop(); }
  void taskHandlePacket(zk::AP<ZtQueuePacket>& p, Queue* out) override {
    (p ? handled : empties).fetch_add(1);
    if (handler) handler(p, out);
  }
  const char* taskName() override { return "test task"; }
  void taskInit() override { inits.fetch_add(1); }
  void taskExit() override { exits.fetch_add(1); }
  void taskStop() override { stops.fetch_add(1); }
  bool taskStart() override { return agreeToStart; }
  using ZtQueueTask::waitLimit;

  Handler handler;
  bool agreeToStart = true;
  std::atomic<int> handled{0}, empties{0}, inits{0}, exits{0}, stops{0};
};

void forward(zk::AP<ZtQueuePacket>& p, Queue* out) {
  if (p && out) out->push(p);
}

// The scheduler state of a thread of this process ('R' running, 'S' asleep).
char threadState(pid_t tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const auto close = s.rfind(')');
  return close == std::string::npos || close + 2 >= s.size() ? '?' : s[close + 2];
}

double secondsSince(Utils::Time t0) { return (ZtClock::timeNow() - t0).seconds(); }

// Turns that start at `times`, on the simulated clock, last from `least` to
// `most` each.
void expectPaced(const std::vector<Utils::Time>& times, double least, double most) {
  for (size_t i = 1; i < times.size(); ++i) {
    const double gap = (times[i] - times[i - 1]).seconds();
    EXPECT_TRUE(gap >= least && gap <= most) << "turn " << i << " lasted " << gap;
  }
}

}  // namespace

// ---------------------------------------------------------------- the queue

class MTQueueTest : public zktest::LiveTest {};

// A refused push (full queue, no memory) leaves the packet with the caller.
// maxLatency times a chain of queued items from its oldest item, and an
// item's stay lasts until it is handed out, time in the consumer's batch
// included; a taken node is kept for the next push, which then needs no
// allocation and starts its chain afresh. Deleting the queue deletes what
// it still holds.
TEST_F(MTQueueTest, NodeAllocationFailureAndReuse) {
  auto* alloc = Utils::Allocator::defaultAllocator();
  Queue q(2);
  zk::AP<ZtQueuePacket> a = num(0, 0), got;
  zkflow::testing::failAllocations(0, 1);
  EXPECT_FALSE(q.push(a));
  zkflow::testing::failAllocations(0, 0);
  ASSERT_TRUE(q.push(a));
  EXPECT_TRUE(a.isNull()) << "a push takes the packet out of the caller's AP";
  const Utils::Time t0 = ZtClock::timeNow();  // no earlier than the first stamp
  ASSERT_TRUE(zktest::waitFor([&] { return secondsSince(t0) >= 0.05; }));
  push(q, 0, 1);
  zk::AP<ZtQueuePacket> extra = num(0, 2);
  EXPECT_FALSE(q.tryPush(extra));
  ASSERT_FALSE(extra.isNull()) << "a refused tryPush must not lose the packet";
  EXPECT_EQ(drain(q), (std::vector<int>{0, 1}));
  EXPECT_GE(q.maxLatency.load().seconds(), 0.05) << "the chain waited since its first push";

  // Both nodes are spares now, one stamped before t0. Well past t0, a push
  // and an immediate take must not show a stay that long.
  // The figure is cleared first and bounded by the time since t0, so that
  // a slow first drain on a loaded machine does not count against it.
  ASSERT_TRUE(zktest::waitFor([&] { return secondsSince(t0) >= 0.4; }));
  q.maxLatency.store(Utils::Time());
  zkflow::testing::failAllocations(0, 1);
  const bool pushed = q.tryPush(extra);
  zkflow::testing::failAllocations(0, 0);
  EXPECT_TRUE(pushed) << "a taken node is reused";
  ASSERT_TRUE(q.unlinkHead(got, true));
  EXPECT_LT(q.maxLatency.load().seconds(), secondsSince(t0) - 0.3) << "a reused node kept its old stamp";
  push(q, 0, 3);

  Queue batch;
  for (int i = 0; i < 3; ++i) push(batch, 1, i);
  ASSERT_TRUE(batch.unlinkHead(got, true));  // takes all three
  const Utils::Time t1 = ZtClock::timeNow();  // no earlier than the take
  for (int i = 1; i < 3; ++i) {
    ASSERT_TRUE(zktest::waitFor([&] { return secondsSince(t1) >= 0.05 * i; }));
    ASSERT_TRUE(batch.unlinkHead(got, true));
  }
  EXPECT_GE(batch.maxLatency.load().seconds(), 0.1) << "time in the consumer's batch was not counted";
}

// Producers on a full queue sleep in the kernel: their threads show as
// asleep and burn no processor time until the consumer makes room; each
// removal, or a raised capacity, lets one in.
TEST_F(MTQueueTest, ProducersSleepOnAFullQueueUntilThereIsRoom) {
  Queue q(1);
  push(q, 9, 0);
  constexpr int kProducers = 3;
  std::atomic<pid_t> tids[kProducers] = {};
  std::atomic<clockid_t> clocks[kProducers] = {};
  std::atomic<int> pushed{0};
  std::vector<std::unique_ptr<zktest::BoundedThread>> producers;
  for (int i = 0; i < kProducers; ++i) {
    producers.push_back(std::make_unique<zktest::BoundedThread>([&, i] {
      clockid_t c;
      pthread_getcpuclockid(pthread_self(), &c);
      clocks[i] = c;
      tids[i] = gettid();
      push(q, i, 1);
      pushed.fetch_add(1);
    }));
  }
  double before[kProducers];
  for (int i = 0; i < kProducers; ++i) {
    ASSERT_TRUE(zktest::waitFor([&] { return tids[i] != 0 && threadState(tids[i]) == 'S'; })) << i;
    before[i] = zktest::cpuSeconds(clocks[i]);
  }
  // Observation window (not synchronisation): a spinning producer would
  // use most of it.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (int i = 0; i < kProducers; ++i) EXPECT_LT(zktest::cpuSeconds(clocks[i]) - before[i], 0.02) << "producer " << i << " spun";
  EXPECT_EQ(pushed.load(), 0);

  q.setCapacity(2);  // lets one producer in without a removal
  ASSERT_TRUE(zktest::waitFor([&] { return pushed.load() == 1; }));
  std::vector<int> order;
  for (int taken = 0; taken < 1 + kProducers; ++taken) {
    zk::AP<ZtQueuePacket> p;
    ASSERT_TRUE(zktest::waitFor([&] { return q.unlinkHead(p, true); }));
    order.push_back(static_cast<Num*>(p.get())->producer);
  }
  for (auto& t : producers) EXPECT_TRUE(t->join(10));
  std::sort(order.begin() + 1, order.end());
  EXPECT_EQ(order, (std::vector<int>{9, 0, 1, 2}));
  EXPECT_GE(q.maxWaitTime.load().seconds(), 0.1) << "the producers waited the whole window";
  EXPECT_GE(q.maxLatency.load().seconds(), 0.1) << "the first packet sat in the queue";
}

// ---------------------------------------------------------------- pre-emptive

class QueueTaskTest : public zktest::LiveTest {};

// A second start() starts nothing new; stop() wakes the idle body with one
// empty packet and runs taskStop once; a stopped task starts again. A failed
// creation leaves the task idle; taskStart() refusing stops the body again.
TEST_F(QueueTaskTest, StartAndStopAnIdleTask) {
  Queue in;
  TestTask task(false);
  task.in(&in);
  zkflow::testing::failTaskCreations(1);
  EXPECT_FALSE(task.start() || task.running());
  EXPECT_EQ(task.inits.load(), 0);
  ASSERT_TRUE(task.start());
  const unsigned long id = task.taskId();
  EXPECT_TRUE(task.start() && task.taskId() == id && task.inits.load() == 1) << "a running task starts nothing new";
  {
    zktest::LogCapture log;
    TestTask other(false);
    other.in(&in);
    EXPECT_FALSE(other.start()) << "a second consumer of one queue";
    EXPECT_EQ(log.count("test task not started: its input queue already has a running consumer"), 1u);
  }
  EXPECT_TRUE(task.stop());
  EXPECT_FALSE(task.running() || task.shutdown());
  EXPECT_TRUE(task.stop()) << "stop() on an idle task";
  EXPECT_EQ(std::make_tuple(task.empties.load(), task.handled.load(), task.exits.load(), task.stops.load()),
            std::make_tuple(1, 0, 1, 1));
  ASSERT_TRUE(task.start());
  push(in, 0, 0);
  ASSERT_TRUE(zktest::waitFor([&] { return task.handled.load() == 1; }));
  EXPECT_TRUE(task.stop());
  task.agreeToStart = false;
  EXPECT_FALSE(task.start() || task.running());
  EXPECT_EQ(std::make_tuple(task.inits.load(), task.exits.load()), std::make_tuple(3, 3));
}

// Without an input queue a pre-emptive turn hands over an empty holder,
// lasts at least minSampleTime and overshoots by one 15 ms sleep quantum at
// most.
TEST_F(QueueTaskTest, PreemptiveTurnsWithoutAQueueArePaced) {
  zkflow::SimulatedClock simulated;
  constexpr float kMin = 0.05f;
  std::vector<Utils::Time> starts;
  std::mutex mu;
  TestTask task(false, [&](zk::AP<ZtQueuePacket>&, Queue*) {
    std::lock_guard<std::mutex> hold(mu);
    starts.push_back(ZtClock::timeNow());
  });
  task.minSampleTime(kMin);
  ASSERT_TRUE(task.start());
  ASSERT_TRUE(zktest::waitFor([&] { return task.empties.load() >= 6; }));
  task.stop();
  EXPECT_EQ(task.handled.load(), 0);
  std::lock_guard<std::mutex> hold(mu);
  // A sanitizer build on a busy machine wakes its sleepers late: there the
  // median only shows that a turn does not sleep several times too long.
  expectPaced(starts, kMin - 2e-5, kMin + 0.015);  // 2e-5: the clock's truncation
}

// While the input queue is paused the body takes nothing; unpause() lets it
// take what queued up, in order. A body parked on a paused queue is not
// woken by stop(): stop() gives up with the log line, and destroying the
// task still gets the body off the object first. (A stuck handler gives up
// the same way: FaultStall.QueueWorkerStallsUnderAFullQueue.)
TEST_F(QueueTaskTest, StopOnAPausedQueueGivesUpAndTheTaskStillDiesCleanly) {
  zktest::LogCapture log;
  Queue in, out;
  {
    TestTask task(false, forward);
    task.in(&in);
    task.out(&out);
    in.pause();
    ASSERT_TRUE(task.start());
    for (int i = 0; i < 4; ++i) push(in, 0, i);  // each push opens the gate: the body looks
    // Observation window: a body that ignored `paused` would take them now.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(task.handled.load(), 0);
    in.unpause();
    ASSERT_TRUE(zktest::waitFor([&] { return out.size() == 4; }));
    EXPECT_EQ(drain(out), (std::vector<int>{0, 1, 2, 3}));

    in.pause();
    push(in, 0, 4);
    task.waitLimit = Utils::Time(0.2);
    const auto t0 = ZtClock::timeNow();
    EXPECT_TRUE(task.stop());
    const double waited = secondsSince(t0);
    EXPECT_TRUE(waited >= 0.2 && waited < 5.0) << waited;
    EXPECT_FALSE(task.running());
    const auto entries = log.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].category + ": " + entries[0].text, "flow: test task waiting for too long");
    EXPECT_FALSE(task.start()) << "a second body must not join the abandoned one";
    // ~TestTask: the destructor wakes the parked body and waits for it.
  }
  EXPECT_EQ(in.size(), 2u) << "the packet and the wake-up stay queued";
}

// A suspension takes effect between turns; resume() lets the body go on, as
// does a resume() that comes before the next turn; stop() lifts a
// suspension instead of waiting for the give-up.
TEST_F(QueueTaskTest, SuspendAndResume) {
  Queue in, out;
  TestTask task(false, forward);
  task.in(&in);
  task.out(&out);
  ASSERT_TRUE(task.start());
  task.resume();  // never suspended: must not use up the next suspension
  task.suspend();  // the body already waits for input: it takes one more
  push(in, 0, 0);
  ASSERT_TRUE(zktest::waitFor([&] { return out.size() == 1; }));
  push(in, 0, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // observation window
  EXPECT_EQ(out.size(), 1u) << "a suspended body took a packet";
  EXPECT_TRUE(task.suspended());
  task.resume();
  ASSERT_TRUE(zktest::waitFor([&] { return out.size() == 2 && !task.suspended(); }));

  task.suspend();
  task.resume();
  push(in, 0, 2);
  push(in, 0, 3);
  ASSERT_TRUE(zktest::waitFor([&] { return out.size() == 4 && !task.suspended(); }));

  task.suspend();
  push(in, 0, 4);
  ASSERT_TRUE(zktest::waitFor([&] { return out.size() == 5; }));
  zktest::LogCapture log;
  EXPECT_TRUE(task.stop());
  EXPECT_FALSE(task.running());
  EXPECT_EQ(log.count("waiting for too long"), 0u);
  EXPECT_EQ(task.empties.load(), 0) << "the handler was called after stop() began";
}

// ---------------------------------------------------------------- cooperative

namespace {

// Runs `fn` on a new thread that hosts cooperative tasks, and joins it.
void onHostingThread(const std::function<void()>& fn) {
  zktest::BoundedThread host([&] {
    ASSERT_EQ(ZIF_HostTasksCoop(0), 0);
    fn();
  });
  EXPECT_TRUE(host.join(60));
}

// Lets the hosting thread's tasks run until `cond` holds; bounded.
bool runUntil(const std::function<bool()>& cond, double seconds = 10.0) {
  for (const auto t0 = ZtClock::timeNow(); !cond(); ZIF_SuspendFor(0.002f))
    if (secondsSince(t0) > seconds) return false;
  return true;
}

}  // namespace

class QueueTaskCoopTest : public zktest::LiveTest {};

// Cooperative turns that handle a packet last at least minSampleTime; an
// overrunning handler still gives way for 12 % of it.
TEST_F(QueueTaskCoopTest, TasksPaceThemselves) {
  constexpr float kMin = 0.05f;
  constexpr double kTruncation = 2e-5;  // the clock's
  onHostingThread([&] {
    zkflow::SimulatedClock simulated;  // on the hosting thread: its tasks count in it
    Queue in[3];
    std::vector<Utils::Time> starts[3];
    auto busy = [&](int k, double seconds) {
      return [&starts, k, seconds](zk::AP<ZtQueuePacket>&, Queue*) {
        starts[k].push_back(ZtClock::timeNow());
        ZIF_Sleep(seconds);
      };
    };
    TestTask a(true, busy(0, 0.01)), b(true, busy(1, 0.01)), slow(true, busy(2, 0.06));  // slow overruns kMin
    TestTask* tasks[3] = {&a, &b, &slow};
    for (int k = 0; k < 3; ++k) {
      tasks[k]->minSampleTime(kMin);
      tasks[k]->in(&in[k]);
      for (int i = 0; i < 6; ++i) push(in[k], k, i);
    }
    ASSERT_TRUE(a.start() && b.start());
    ASSERT_TRUE(runUntil([&] { return starts[0].size() == 6 && starts[1].size() == 6; }));
    a.stop();
    b.stop();
    for (int k : {0, 1}) expectPaced(starts[k], kMin - kTruncation, kMin + kTruncation);
    ASSERT_TRUE(slow.start());
    ASSERT_TRUE(runUntil([&] { return starts[2].size() == 6; }));
    slow.stop();
    expectPaced(starts[2], 0.06 + 0.12 * kMin - kTruncation, 0.06 + 0.12 * kMin + kTruncation);  // the 12 % floor
  });
}

// A task that stops itself from its handler ends after that turn: stop()
// returns at once. When a cooperative task does so in its first turn, inside
// start(), start() reports false instead of waiting for a `running` that has
// come and gone.
class QueueTaskStopFromTheBody : public zktest::LiveParamTest<bool> {};

TEST_P(QueueTaskStopFromTheBody, EndsAfterTheTurn) {
  const bool coop = GetParam();
  onHostingThread([coop] {
    zktest::LogCapture log;
    Queue in;
    TestTask* self = nullptr;
    TestTask task(coop, [&](zk::AP<ZtQueuePacket>& p, Queue*) {
      if (p) EXPECT_TRUE(self->stop());
    });
    self = &task;
    task.in(&in);
    ASSERT_TRUE(task.start());
    for (int i = 0; i < 3; ++i) push(in, 0, i);
    ASSERT_TRUE(runUntil([&] { return !task.running(); }));
    EXPECT_EQ(std::make_tuple(task.handled.load(), task.exits.load(), task.stops.load()), std::make_tuple(1, 1, 1));
    const bool again = task.start();
    if (coop) EXPECT_FALSE(again) << "the body stops itself inside start()";
    ASSERT_TRUE(runUntil([&] { return !task.running() && task.exits.load() == 2; }));
    EXPECT_EQ(task.handled.load(), 2);
    EXPECT_EQ(log.count("waiting for too long"), 0u) << "stop() waited for its own body";
  });
}

INSTANTIATE_TEST_SUITE_P(PreemptiveAndCooperative, QueueTaskStopFromTheBody, ::testing::Bool());

// A failed creation leaves the task idle, a start event that cannot be made
// does not keep it from starting; a suspended task is not scheduled until
// resume(), and stop() resumes it.
TEST_F(QueueTaskCoopTest, FailedCreationLeavesTheTaskIdle) {
  onHostingThread([] {
    Queue in;
    TestTask task(true);
    task.in(&in);
    zkflow::testing::failTaskCreations(1);
    EXPECT_FALSE(task.start() || task.running());
    zkflow::testing::failEventCreations(1);  // no start event: start() yields instead
    ASSERT_TRUE(task.start());
    zkflow::testing::failEventCreations(0);
    task.suspend();
    EXPECT_TRUE(task.suspended());
    push(in, 0, 0);
    ZIF_SuspendFor(0.02f);  // the thread runs its due tasks meanwhile
    EXPECT_EQ(task.handled.load(), 0);
    task.resume();
    EXPECT_FALSE(task.suspended());
    ASSERT_TRUE(runUntil([&] { return task.handled.load() == 1; }));
    task.suspend();
    EXPECT_TRUE(task.stop()) << "stop() resumes a suspended cooperative task";
    EXPECT_FALSE(task.running());
  });
}
