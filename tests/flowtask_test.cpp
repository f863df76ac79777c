// SPDX-License-Identifier: Apache-2.0
// Flow tasks: the wake and sleep thresholds, what start() refuses, and the
// loop on real threads: its chunk, the request it publishes, pacing and
// dropout arithmetic, seeking and two inputs winding down (every wait
// bounded). Pipelines of every shape, back-pressure, flushes and stops at the
// source are the flow soak's (tests/soak/flow_soak.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "common/flowtasks.h"
#include "common/testutil.h"
#include "zkflow/host/clock.h"
#include "zkflow/host/simtime.h"
#include "zkflow/host/zsys.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowtask.h"

namespace {

using zktest::CountingTask;
using zktest::LogCapture;
using zktest::Rate;
using zktest::SinkTask;
using zktest::SourceTask;
using zktest::waitFor;

// A task whose loop has nothing to do: for the operations that need no data.
struct IdleTask : CountingTask {
  IdleTask() : CountingTask(Rate{}) {}
  ~IdleTask() override { stop(); }
  const char* taskName() const override { return "IdleTask"; }
  unsigned int taskHandleFlow(unsigned int, unsigned int, ZtFlowPacket**, ZtFlowEmitFn) override { return ++calls, 0; }
  bool taskStart() override { return acceptStart; }
  bool acceptStart = true;
};

double dropoutValue(const LogCapture::Entry& e) {
  const std::string prefix = "Flow Dropout ";
  if (e.text.compare(0, prefix.size(), prefix) != 0) return 0;
  return std::strtod(e.text.c_str() + prefix.size(), nullptr);
}

class FlowTask : public zktest::LiveTest {};

TEST_F(FlowTask, StartRefusesWhatCannotDriveALoop) {
  LogCapture log;
  IdleTask t;
  t.granularity(3);
  EXPECT_FALSE(t.start());
  t.granularity(0);
  EXPECT_FALSE(t.start());
  t.granularity(4);
  t.rate = Rate{100000, 0, -5};
  EXPECT_FALSE(t.start());
  t.rate = Rate{0};
  t.clockRegulated(true);
  EXPECT_FALSE(t.start() || t.started());
  EXPECT_EQ(t.inits.load(), 0);  // no loop ever ran
  std::vector<std::string> texts;
  for (const auto& e : log.entries()) texts.push_back(e.category + ": " + e.text);
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "flow: IdleTask not started: granularity is not a power of two (3)",
                       "flow: IdleTask not started: granularity is not a power of two (0)",
                       "flow: IdleTask not started: duration and durationMin are not positive (0)",
                       "flow: IdleTask not started: clock regulated with a data rate of 0 (0)"}));

  t.clockRegulated(false);
  zkflow::testing::failTaskCreations(1);  // the task layer refusing to create a task
  EXPECT_FALSE(t.start() || t.started());
  zkflow::testing::failTaskCreations(0);
}

// Puts n bytes on `f` at position `at` without passing any gate.
void putBytes(ZtFlow& f, unsigned int at, unsigned int n) {
  ZtFlowDataPacket* p = zktest::makeDataPacket(0, 0, n);
  p->pos(at);
  f.writeNonBlocking(p);
}

TEST_F(FlowTask, WakeAndSleepThresholds) {
  ZtFlow f;
  IdleTask t;
  ASSERT_TRUE(t.addOutput(&f));
  t.rateInfo().dataRate(1000);
  t.rateInfo().durationMax(Utils::Time::fromRaw(32768));  // 0.5 s: 500 bytes
  putBytes(f, 1000, 300);
  putBytes(f, 1300, 200);
  f.requestTime(1000);  // the consumer reads at 1000: 500 back-to-back ahead
  EXPECT_FALSE(t.sleepTest());
  putBytes(f, 1500, 1);
  EXPECT_TRUE(ZtFlowUnit::sleepTestFn(&t));  // 501
  putBytes(f, 1600, 1000);  // beyond a hole: does not count
  f.requestTime(1001);      // 500 ahead, more held: at the bound, awake
  EXPECT_FALSE(t.sleepTest());
  f.requestTime(1450);      // 51 ahead
  EXPECT_FALSE(t.sleepTest());
  f.requestTime(1000);
  t.rateInfo().durationMax(Utils::Time::fromRaw(0));  // no bound: never sleeps
  EXPECT_FALSE(t.sleepTest());

  // Wake at 1024 bytes a second: latency 0 (no samples) raised to durationMin
  // 6400 (100 bytes); then a latency of 12800 above it (200 bytes). Buffered
  // at the bound wakes, one more does not.
  t.rateInfo().dataRate(1024);
  t.rateInfo().durationMin(Utils::Time::fromRaw(6400));
  for (unsigned int at : {1401u, 1400u, 1301u, 1300u}) {
    if (at == 1301) t.addLatencySample(Utils::Time::fromRaw(12800));
    f.requestTime(at);
    EXPECT_EQ(ZtFlowUnit::wakeTestFn(&t), at % 2 == 1) << at;
  }
  t.rateInfo().dataRate(1000);

  // A copied or assigned flow holds the same data ahead (501 bytes from
  // 1000), and so makes its producer sleep before any operation of its own.
  ZtFlow copied(f), assigned;
  assigned = f;
  for (ZtFlow* g : {&copied, &assigned}) {
    IdleTask u;
    ASSERT_TRUE(u.addOutput(g));
    u.rateInfo().dataRate(1000);
    u.rateInfo().durationMax(Utils::Time::fromRaw(32768));
    g->requestTime(1000);
    EXPECT_TRUE(u.sleepTest());
    g->requestTime(1450);
    EXPECT_FALSE(u.sleepTest());
    g->reset();
  }
  f.reset();
}

// ------------------------------------------------------- the loop, running

class FlowTaskLoop : public zktest::LiveTest {};

// 0.2 s is 13107 raw, 0.199997 s: at 5000 bytes a second 999.98 positions,
// which the half position added to the rate makes 1000.
TEST_F(FlowTaskLoop, ChunkFollowsRateDurationAndGranularity) {
  struct Case {
    unsigned int dataRate, granularity, chunk;
  } cases[] = {{1000, 4, 200}, {999, 1, 199}, {999, 4, 200}, {1000, 16, 208}, {5000, 1, 1000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dataRate * 100 + c.granularity);
    SourceTask t(nullptr, Rate{c.dataRate, 13107, 0}, 0, 0, false);  // 0.2 s
    t.emitData = false;  // no outputs: the first cycle never ends
    t.granularity(c.granularity);
    ASSERT_TRUE(t.start());
    ASSERT_TRUE(waitFor([&] { return t.firstSize.load() != 0; }));
    t.stop();
    EXPECT_EQ(t.firstSize.load(), c.chunk);
  }
}

TEST_F(FlowTaskLoop, StartTwiceAndTaskStartRefusal) {
  IdleTask t;
  t.immortal(true);  // no inputs: idles instead of ending
  ASSERT_TRUE(t.start());
  EXPECT_FALSE(t.start());  // no second task
  EXPECT_EQ(t.inits.load(), 1);
  // An input attached to the idle loop wakes it: it reads the input's end.
  ZtFlow in;
  ASSERT_TRUE(t.addInput(&in));
  auto* end = new ZtFlowDataPacket;
  end->markupCode(ZtFlowPacket::EndOfFlow);
  end->dSize(1);
  in.writeNonBlocking(end);
  EXPECT_TRUE(waitFor([&] { return t.inputCount() == 0; }));
  t.stop();
  t.stop();
  EXPECT_TRUE(t.done() && !t.running() && !t.started());
  EXPECT_EQ(t.stops.load(), 1);
  // immortal(false) lets an idle loop end by itself.
  ASSERT_TRUE(t.start());
  t.immortal(false);
  ASSERT_TRUE(waitFor([&] { return t.done() && t.stops.load() == 2; }));

  // taskStart refusing: the loop ran and was stopped in full; its output
  // saw the end, in its nodes (settled: nothing left in the stage) and as
  // the plain list that outputs() hands out.
  struct NodeView : ZtFlow {
    bool endsWithEnd() const { return head && head->prev->packet->markupCode() == ZtFlowPacket::EndOfFlow; }
  } out;
  IdleTask r;
  r.immortal(true);
  r.addOutput(&out);
  r.acceptStart = false;
  EXPECT_FALSE(r.start());
  EXPECT_TRUE(r.done() && !r.started() && r.stops.load() == 1 && out.endsWithEnd());
  ASSERT_NE(r.outputs()[0]->first(), nullptr);
  EXPECT_EQ(r.outputs()[0]->first()->markupCode(), ZtFlowPacket::EndOfFlow);
}

// A source that has finished but neither emits nor stops backs off instead
// of spinning, and stops at once all the same.
TEST_F(FlowTaskLoop, StepsThatAdvanceNothingBackOff) {
  IdleTask t;
  t.virtualInput(true);  // takes its virtual input, emits nothing
  ASSERT_TRUE(t.start());
  ASSERT_TRUE(waitFor([&] { return std::string(t.waitingAt()) == "backing off"; }));
  const double before = zktest::cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);  // this thread only sleeps meanwhile
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // observation window
  EXPECT_LT(zktest::cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - before, 0.02) << "a loop with nothing to do kept a processor busy";
  t.stop();

  // On the simulated clock, once backed off (every step sleeps: a yield may
  // let time jump there): a step every 4 ms, the longest back-off.
  zkflow::SimulatedClock simulated;
  IdleTask s;
  s.virtualInput(true);
  ASSERT_TRUE(s.start() && waitFor([&] { return std::string(s.waitingAt()) == "backing off"; }));
  s.calls = 0;
  ZIF_Sleep(1.0);
  EXPECT_TRUE(s.calls > 200 && s.calls < 300) << s.calls.load() << " steps in a second";
}

// A hook that stops its own task must not wait for itself.
struct SelfStopping : SourceTask {
  SelfStopping() : SourceTask(nullptr, Rate{}, 0, 0, false) {}
  ~SelfStopping() override { stop(); }
  unsigned int taskHandleFlow(unsigned int, unsigned int, ZtFlowPacket**, ZtFlowEmitFn) override {
    calls.fetch_add(1);
    stop();
    return 0;
  }
};

TEST_F(FlowTaskLoop, StopFromOwnHookEndsTheLoop) {
  SelfStopping t;
  ASSERT_TRUE(t.start());
  ASSERT_TRUE(waitFor([&] { return t.done(); }));
  EXPECT_EQ(std::make_tuple(t.calls.load(), t.stops.load()), std::make_tuple(1L, 1));
}

TEST_F(FlowTaskLoop, TwoInputsCutToCommonSizeAndEndInTurn) {
  LogCapture quiet;
  ZtFlow a, b;
  SourceTask srcA(&a, Rate{100000}, 1, 5000, false);  // packets of 1000
  SourceTask srcB(&b, Rate{150000}, 2, 8000, false);  // packets of 1500
  SinkTask sink(&a, Rate{120000});                    // chunk 1200
  ASSERT_TRUE(sink.addInput(&b));
  // A graph may mix executors: one source runs on the other one.
  const bool pooled = srcA.executor() == zkflow::Executor::Pool;
  srcA.executor(pooled ? zkflow::Executor::Thread : zkflow::Executor::Pool);
  ASSERT_TRUE(sink.start() && srcA.start() && srcB.start());
  ASSERT_TRUE(waitFor([&] { return sink.done() && srcA.done() && srcB.done(); }, 30));
  EXPECT_EQ(sink.inputCount(), 0u);
  EXPECT_EQ(sink.bytes[0].size(), 5000u);
  EXPECT_EQ(sink.bytes[1].size(), 8000u);
  EXPECT_TRUE(zktest::isPattern(sink.bytes[0], 1) && zktest::isPattern(sink.bytes[1], 2));
  EXPECT_EQ(sink.uneven.load(), 0);
}

// What a running task publishes on its inputs after a cycle: the duration
// renewed from its measured latency (with no samples of its own, the stated
// duration), never below durationMin; the rate 2^32 over it; its data rate.
TEST_F(FlowTaskLoop, PublishesItsRenewedRequestUpstream) {
  struct Case {
    unsigned int dataRate;
    int64_t duration, durationMin;
  } cases[] = {{1000, 6553, 13107}, {48000, 13107, 6553}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.duration);
    ZtFlow in, out;
    SourceTask t(&out, Rate{c.dataRate, c.duration, c.durationMin}, 0, 0, false);
    t.emitData = false;
    ASSERT_TRUE(t.addInput(&in) && t.start());
    const int64_t want = std::max(c.duration, c.durationMin);
    EXPECT_TRUE(waitFor([&] {
      return in.requestSampleDuration().raw() == want && in.requestSampleRate().raw() == (int64_t{1} << 32) / want;
    }, 5)) << in.requestSampleDuration().raw();
    EXPECT_EQ(in.requestDataRate(), c.dataRate);
  }
}

// Starts `t` (its data not emitted) with its clock base `back` before now.
void startShifted(SourceTask& t, Utils::Time back) {
  t.emitData = false;
  t.resetClocks(false);
  t.baseClockTime(ZtClock::timeNow() - back);
  ASSERT_TRUE(t.start());
}

TEST_F(FlowTaskLoop, LateTaskLogsTheDropout) {
  zkflow::SimulatedClock simulated;  // late by exactly the shift: no start-up counts
  LogCapture log;
  ZtFlow out;  // no consumer: the task advances it without emitting
  SourceTask t(&out, Rate{1000, 65536, 65536, 0}, 0, 0, true);  // 1 s: chunk 1000
  // Its clock base lies 1.25 s back: the first 1000 positions fell due 0.25 s ago.
  startShifted(t, Utils::Time::fromRaw(81920));
  ASSERT_TRUE(waitFor([&] { return log.count("Flow Dropout") >= 1; }));
  // The next two cycles are on time, the third sleeps; then stop.
  ASSERT_TRUE(waitFor([&] { return t.calls.load() >= 3; }));
  t.stop();
  ASSERT_EQ(log.count("Flow Dropout"), 1u);
  EXPECT_EQ(t.dropouts(), 1u);
  const LogCapture::Entry e = log.entries()[0];
  EXPECT_EQ(e.messageClass * 100 + e.level, 199);  // a warning at level -1
  EXPECT_EQ(e.category + ":" + e.file + ":" + std::to_string(e.line), "flow:kernel/flow/flowtask:504");
  EXPECT_EQ(e.text, "Flow Dropout -0.250000");
}

TEST_F(FlowTaskLoop, SeekResetsTheClock) {
  LogCapture log;
  ZtFlow out;
  SourceTask t(&out, Rate{1000, 13107, 13107, 0}, 0, 0, true);  // 0.2 s: chunk 200
  startShifted(t, Utils::Time(1000));  // 1000 s late
  ASSERT_TRUE(waitFor([&] { return log.count("Flow Dropout") >= 2; }));
  const Utils::Time seekTime = ZtClock::timeNow();
  ASSERT_TRUE(t.seek(50000));
  ASSERT_TRUE(waitFor([&] { return !t.resetClocks(); }));
  const size_t logged = log.entries().size();
  EXPECT_GE(t.baseClockTime().raw(), seekTime.raw());
  const long calls = t.calls.load();
  ASSERT_TRUE(waitFor([&] { return t.calls.load() >= calls + 3; }));
  t.stop();
  // Before the seek 1000 s late; after it on time (at worst one cycle in
  // flight at the seek still reports the old lateness).
  const auto entries = log.entries();
  EXPECT_LT(dropoutValue(entries[0]), -900.0);
  for (size_t k = logged + 1; k < entries.size(); ++k)
    EXPECT_GT(dropoutValue(entries[k]), -900.0) << entries[k].text;
  // The virtual input now starts where the seek put it.
  EXPECT_TRUE(t.lastInPos.load() >= 50000u && t.lastInPos.load() < 150000u) << t.lastInPos.load();
}

}  // namespace
