// Flow units and flow tasks: the unit's tables and links, the task's
// control operations, its wake and sleep tests, and the loop driving real
// pipelines on real threads (every wait bounded).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/flowtasks.h"
#include "common/testutil.h"
#include "host/clock.h"
#include "host/zsys.h"
#include "kernel/flow/flow.h"
#include "kernel/flow/flowtask.h"

namespace {

using zktest::CountingTask;
using zktest::LogCapture;
using zktest::PassTask;
using zktest::Rate;
using zktest::SinkTask;
using zktest::SourceTask;
using zktest::waitFor;

// A unit with nothing but the tables.
struct PlainUnit : ZtFlowUnit {
  bool start() override { return false; }
  void stop() override {}
};

// A task whose loop is never wanted: for the operations that need no thread.
struct IdleTask : CountingTask {
  IdleTask() : CountingTask(Rate{}) {}
  ~IdleTask() override { stop(); }
  const char* taskName() const override { return name_; }
  unsigned int taskHandleFlow(unsigned int, unsigned int, ZtFlowPacket**, ZtFlowEmitFn) override {
    calls.fetch_add(1);
    return 0;
  }
  bool taskSeek(unsigned int& pos) override {
    if (refuseSeek) return false;
    pos += seekShift;
    return true;
  }
  bool taskWakeTest(bool a) const override { return invertTests ? !a : a; }
  bool taskSleepTest(bool a) const override { return invertTests ? !a : a; }
  bool taskStart() override { return acceptStart; }

  const char* name_ = "IdleTask";
  bool refuseSeek = false;
  unsigned int seekShift = 0;
  bool invertTests = false;
  bool acceptStart = true;
};

// The variadic constructor needs a class that forwards to it.
struct VariadicTask : ZtFlowTask {
  VariadicTask(ZtFlow* in0, ZtFlow* in1, ZtFlow* out0) : ZtFlowTask(2, 1, in0, in1, out0) {}
  ~VariadicTask() override { stop(); }
  const char* taskName() const override { return "Variadic"; }
  void taskRateInfo(ZtFlowRequestRate&) override {}
  unsigned int taskHandleFlow(unsigned int, unsigned int, ZtFlowPacket**, ZtFlowEmitFn) override {
    return 0;
  }
};

double dropoutValue(const LogCapture::Entry& e) {
  const std::string prefix = "Flow Dropout ";
  if (e.text.compare(0, prefix.size(), prefix) != 0) return 0;
  return std::strtod(e.text.c_str() + prefix.size(), nullptr);
}

// ---------------------------------------------------------------- the unit

class FlowUnit : public zktest::LiveTest {};

TEST_F(FlowUnit, PlainUnitAnswersAndTables) {
  PlainUnit u;
  EXPECT_STREQ(u.name(), "FlowUnit");
  EXPECT_TRUE(u.wakeTest());
  EXPECT_FALSE(u.sleepTest());
  EXPECT_FALSE(u.seek(0));
  EXPECT_FALSE(u.seek(12345));
  EXPECT_FALSE(u.shutdown() || u.done() || u.running() || u.started());
  EXPECT_EQ(u.inputCount(), 0u);
  EXPECT_EQ(u.outputCount(), 0u);

  ZtFlow f;
  u.input(2, &f);
  EXPECT_EQ(u.input(2), &f);
  EXPECT_EQ(u.inputCount(), 0u);
  EXPECT_EQ(f.consumer(), nullptr);
  u.output(3, &f);
  EXPECT_EQ(u.output(3), &f);
  EXPECT_EQ(u.outputs()[3], static_cast<ZtFlowBase*>(&f));
  EXPECT_EQ(f.producer(), nullptr);

  // Outside the tables: nothing stored, null read.
  u.input(4, &f);
  u.output(7, &f);
  EXPECT_EQ(u.input(4), nullptr);
  EXPECT_EQ(u.output(100), nullptr);
  u.input(2, nullptr);
  u.output(3, nullptr);

  // The adapters ask the unit itself.
  EXPECT_TRUE(ZtFlowUnit::wakeTestFn(&u));
  EXPECT_FALSE(ZtFlowUnit::sleepTestFn(&u));
}

TEST_F(FlowUnit, DestructorDetachesAndSkipsHoles) {
  ZtFlow a, b, c;
  {
    PlainUnit u;
    u.inputCount(3);
    u.input(0, &a);
    u.input(2, &b);  // index 1 is a hole
    a.consumer(&u);
    b.consumer(&u);
    u.outputCount(1);
    u.output(0, &c);
    c.producer(&u);

    PlainUnit copy(u);  // shares the tables, is nobody's unit
    EXPECT_EQ(copy.input(2), &b);
    EXPECT_EQ(copy.inputCount(), 3u);
  }
  EXPECT_EQ(a.consumer(), nullptr);
  EXPECT_EQ(b.consumer(), nullptr);
  EXPECT_EQ(c.producer(), nullptr);
}

// --------------------------------------------------- the task, no thread

class FlowTask : public zktest::LiveTest {};

TEST_F(FlowTask, DefaultsAndNames) {
  IdleTask t;
  EXPECT_EQ(t.granularity(), 4u);
  EXPECT_TRUE(t.resetClocks());
  EXPECT_EQ(t.affinityMask(), 0xFFFFFFFFu);
  EXPECT_EQ(t.vInPacket().markupCode(), ZtFlowPacket::VirtualInput);
  // The embedded packets carry the task's own reference: a drop after use
  // never frees them.
  EXPECT_EQ(t.vInPacket().refCount(), 1u);
  EXPECT_EQ(t.nullPacket().refCount(), 1u);

  // Out-of-range positions neither read nor write past the tables.
  t.flowPosIn(4, 99);
  t.flowPosOut(9, 99);
  EXPECT_EQ(t.flowPosIn(4), 0u);
  EXPECT_EQ(t.flowPosOutAddr(4), nullptr);
  EXPECT_EQ(t.flowPosOut(5), 0u);

  // shortName: the first 8 characters, unterminated when the name is long.
  t.name_ = "ZtFlowFork";
  EXPECT_STREQ(t.name(), "ZtFlowFork");
  EXPECT_EQ(std::memcmp(t.shortName, "ZtFlowFo", 8), 0);
  t.name_ = "Other";
  EXPECT_STREQ(t.name(), "Other");
  EXPECT_EQ(std::memcmp(t.shortName, "ZtFlowFo", 8), 0);  // filled once
}

TEST_F(FlowTask, AttachingFlows) {
  ZtFlow f[6];
  IdleTask t;
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(t.addInput(&f[i]));
  EXPECT_FALSE(t.addInput(&f[4]));  // a fifth
  EXPECT_FALSE(t.addInput(nullptr));
  EXPECT_EQ(t.inputCount(), 4u);
  EXPECT_EQ(f[2].consumer(), &t);
  EXPECT_EQ(f[4].consumer(), nullptr);

  // An ended input leaves a hole: the next addInput reuses it from 0.
  t.flowPosIn(2, 77);
  t.input(2, nullptr);
  EXPECT_TRUE(t.addInput(&f[4]));
  EXPECT_EQ(t.input(2), &f[4]);
  EXPECT_EQ(t.flowPosIn(2), 0u);
  EXPECT_EQ(t.inputCount(), 4u);

  ZtFlow o[5];
  IdleTask p;
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(p.addOutput(&o[i]));
  EXPECT_FALSE(p.addOutput(&o[4]));
  EXPECT_FALSE(p.addOutput(nullptr));
  EXPECT_EQ(p.outputCount(), 4u);
  EXPECT_EQ(o[3].producer(), &p);
  EXPECT_EQ(o[4].producer(), nullptr);

  // Announced null arguments are skipped but counted.
  ZtFlow a, b;
  {
    VariadicTask v(&a, nullptr, &b);
    EXPECT_EQ(v.inputCount(), 1u);
    EXPECT_EQ(v.input(0), &a);
    EXPECT_EQ(v.outputCount(), 1u);
    EXPECT_EQ(v.output(0), &b);
    EXPECT_EQ(a.consumer(), &v);
    EXPECT_EQ(b.producer(), &v);
  }
  EXPECT_EQ(a.consumer(), nullptr);
  EXPECT_EQ(b.producer(), nullptr);
}

TEST_F(FlowTask, SeekAndControlWithoutLoop) {
  IdleTask t;
  t.resetClocks(false);
  t.seekShift = 5;
  EXPECT_TRUE(t.seek(10));
  EXPECT_EQ(t.flowPosIn(0), 15u);  // moved by taskSeek
  EXPECT_TRUE(t.resetClocks());

  t.resetClocks(false);
  t.refuseSeek = true;
  EXPECT_FALSE(t.seek(40));
  EXPECT_EQ(t.flowPosIn(0), 15u);
  EXPECT_FALSE(t.resetClocks());

  // stop() on a task that never started changes nothing.
  t.stop();
  EXPECT_FALSE(t.started() || t.done() || t.shutdown());

  // immortal: true twice keeps the first lock; false drops it.
  t.immortal(true);
  LockRep* first = t.waitLock.rep;
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(t.waitLock.name(), "FlowTask wait");
  EXPECT_TRUE(t.waitLock.isLocked());
  t.immortal(true);
  EXPECT_EQ(t.waitLock.rep, first);
  t.immortal(false);
  EXPECT_FALSE(t.immortal());
  EXPECT_TRUE(t.waitLock.empty());

  // A copy shares the wait lock and has no loop of its own.
  t.immortal(true);
  {
    IdleTask copy;
    static_cast<ZtFlowTask&>(copy) = t;
    EXPECT_EQ(copy.waitLock.rep, t.waitLock.rep);
    EXPECT_TRUE(copy.immortal());
  }
  t.immortal(false);
}

TEST_F(FlowTask, StartRefusesWhatCannotDriveALoop) {
  LogCapture log;
  IdleTask t;
  t.rate.duration = 655;
  t.granularity(3);
  EXPECT_FALSE(t.start());
  EXPECT_FALSE(t.started());
  t.granularity(0);
  EXPECT_FALSE(t.start());

  t.granularity(4);
  t.rate.duration = 0;
  t.rate.durationMin = -5;
  EXPECT_FALSE(t.start());

  t.rate.duration = 655;
  t.rate.dataRate = 0;
  t.clockRegulated(true);
  EXPECT_FALSE(t.start());
  EXPECT_FALSE(t.started());
  EXPECT_EQ(t.inits.load(), 0);  // no loop ever ran

  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 4u);
  for (const auto& e : entries) {
    EXPECT_EQ(e.category, "flow");
    EXPECT_NE(e.text.find("not started"), std::string::npos) << e.text;
  }

  // The task layer refusing to create a task.
  t.clockRegulated(false);
  t.rate.dataRate = 1000;
  ZIF_TestFailNextCreates(1);
  EXPECT_FALSE(t.start());
  EXPECT_FALSE(t.started());
  ZIF_TestFailNextCreates(0);
}

// ------------------------------------------------------ wake and sleep tests

// Puts n bytes on `f` at position `at` without passing any gate.
void putBytes(ZtFlow& f, unsigned int at, unsigned int n) {
  ZtFlowDataPacket* p = zktest::makeDataPacket(0, 0, n);
  p->pos(at);
  f.writeNonBlocking(p);
}

TEST_F(FlowTask, WakeAndSleepThresholds) {
  IdleTask bare;
  EXPECT_TRUE(bare.wakeTest());  // no outputs
  EXPECT_FALSE(bare.sleepTest());

  ZtFlow f;
  IdleTask t;
  ASSERT_TRUE(t.addOutput(&f));
  t.rateInfo().dataRate(1000);
  t.rateInfo().durationMax(Utils::Time::fromRaw(32768));  // 0.5 s: 500 bytes
  t.rateInfo().durationMin(Utils::Time::fromRaw(6553));   // 0.1 s: 99.99 bytes

  putBytes(f, 1000, 300);
  putBytes(f, 1300, 200);
  f.requestTime(1000);  // the consumer reads at 1000: 500 back-to-back ahead
  EXPECT_FALSE(t.sleepTest());
  EXPECT_FALSE(ZtFlowUnit::sleepTestFn(&t));
  putBytes(f, 1500, 1);
  EXPECT_TRUE(t.sleepTest());  // 501
  EXPECT_TRUE(ZtFlowUnit::sleepTestFn(&t));
  t.invertTests = true;
  EXPECT_FALSE(t.sleepTest());
  t.invertTests = false;

  // Data beyond a hole does not count.
  putBytes(f, 1600, 1000);
  EXPECT_TRUE(t.sleepTest());
  f.requestTime(1450);  // 51 ahead
  EXPECT_FALSE(t.sleepTest());

  // Without durationMax nothing ever sleeps.
  f.requestTime(1000);
  t.rateInfo().durationMax(Utils::Time::fromRaw(0));
  EXPECT_FALSE(t.sleepTest());

  // Wake: latency 0 (no samples) raised to durationMin: 99 bytes wake, 100 do not.
  f.requestTime(1402);  // 99 ahead (up to 1501)
  EXPECT_TRUE(t.wakeTest());
  f.requestTime(1401);  // 100
  EXPECT_FALSE(t.wakeTest());
  EXPECT_FALSE(ZtFlowUnit::wakeTestFn(&t));
  t.invertTests = true;
  EXPECT_TRUE(t.wakeTest());
  t.invertTests = false;

  // A latency of 0.2 s above durationMin: 199 bytes wake, 200 do not.
  t.addLatencySample(Utils::Time::fromRaw(13107));
  EXPECT_EQ(t.latency().latency().raw(), 13107);
  f.requestTime(1302);
  EXPECT_TRUE(t.wakeTest());
  f.requestTime(1301);
  EXPECT_FALSE(t.wakeTest());
  f.reset();
}

// ------------------------------------------------------- the loop, running

class FlowTaskLoop : public zktest::LiveTest {};

TEST_F(FlowTaskLoop, ChunkFollowsRateDurationAndGranularity) {
  struct Case {
    unsigned int dataRate;
    unsigned int granularity;
    unsigned int chunk;
  } cases[] = {{1000, 4, 200}, {999, 1, 199}, {999, 4, 200}, {1000, 16, 208}};
  for (const Case& c : cases) {
    SourceTask t(nullptr, Rate{c.dataRate, 13107, 0}, 0, 0, false);  // 0.2 s
    t.emitData = false;  // no outputs: the first cycle never ends
    t.granularity(c.granularity);
    ASSERT_TRUE(t.start());
    ASSERT_TRUE(waitFor([&] { return t.firstSize.load() != 0; }));
    t.stop();
    EXPECT_EQ(t.firstSize.load(), c.chunk) << c.dataRate << " / " << c.granularity;
    EXPECT_TRUE(t.done());
    EXPECT_FALSE(t.started());
  }
}

TEST_F(FlowTaskLoop, StartTwiceImmortalAndTaskStartRefusal) {
  IdleTask t;
  t.immortal(true);  // no inputs: idles instead of ending
  ASSERT_TRUE(t.start());
  EXPECT_TRUE(t.running());
  EXPECT_FALSE(t.start());  // no second task
  EXPECT_EQ(t.inits.load(), 1);
  t.stop();
  EXPECT_TRUE(t.done());
  EXPECT_FALSE(t.running() || t.started());
  EXPECT_EQ(t.stops.load(), 1);
  t.stop();  // nothing more
  EXPECT_EQ(t.stops.load(), 1);

  // immortal(false) ends an idle loop: it ends by itself.
  t.immortal(true);
  ASSERT_TRUE(t.start());
  t.immortal(false);
  ASSERT_TRUE(waitFor([&] { return t.done(); }));
  EXPECT_TRUE(t.started());
  EXPECT_EQ(t.stops.load(), 2);

  // taskStart refusing: the loop ran and was stopped in full.
  ZtFlow out;
  IdleTask r;
  r.immortal(true);
  r.addOutput(&out);
  r.acceptStart = false;
  EXPECT_FALSE(r.start());
  EXPECT_TRUE(r.done());
  EXPECT_FALSE(r.started());
  EXPECT_EQ(r.stops.load(), 1);
  ASSERT_NE(out.first(), nullptr);
  EXPECT_EQ(out.first()->markupCode(), ZtFlowPacket::EndOfFlow);
  r.immortal(false);
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
  EXPECT_EQ(t.calls.load(), 1);
  EXPECT_EQ(t.stops.load(), 1);
}

TEST_F(FlowTaskLoop, TaskWithoutInputsEndsAtOnce) {
  ZtFlow out0, out1;
  IdleTask t;
  t.addOutput(&out0);
  t.addOutput(&out1);
  ASSERT_TRUE(t.start());
  ASSERT_TRUE(waitFor([&] { return t.done(); }));
  EXPECT_TRUE(t.started());  // ended by itself
  EXPECT_TRUE(t.shutdown());
  EXPECT_EQ(t.stops.load(), 1);
  EXPECT_EQ(t.calls.load(), 0);
  for (ZtFlow* f : {&out0, &out1}) {
    ASSERT_NE(f->first(), nullptr);
    EXPECT_EQ(f->first()->markupCode(), ZtFlowPacket::EndOfFlow);
    EXPECT_EQ(f->first()->size(), 1u);
  }
  EXPECT_FALSE(t.start());  // still started
  t.started(false);
  ASSERT_TRUE(t.start());  // a new run
  ASSERT_TRUE(waitFor([&] { return t.done(); }));
  EXPECT_EQ(t.stops.load(), 2);
  EXPECT_EQ(out0.size(), 2u);  // a second EndOfFlow after the first
}

// source -> pass -> sink, every byte once and in order, wound down from the
// source; a flush on the way reaches every stage's taskFlush, no handler.
struct Pipeline {
  // Every position starts at `origin`: near 2^32, the stream runs past it.
  explicit Pipeline(unsigned int origin = 0) {
    Rate fast;
    fast.dataRate = 400000;  // chunk 4000 at 0.01 s
    source = std::make_unique<SourceTask>(&a, fast, 7, 0, true);
    pass = std::make_unique<PassTask>(&a, &b, fast);
    sink = std::make_unique<SinkTask>(&b, fast);
    source->flowPosOut(0, origin);
    pass->flowPosIn(0, origin);
    pass->flowPosOut(0, origin);
    sink->flowPosIn(0, origin);
  }
  bool start() { return sink->start() && pass->start() && source->start(); }
  bool allDone() const { return source->done() && pass->done() && sink->done(); }

  ZtFlow a, b;  // declared first: destroyed after the tasks
  std::unique_ptr<SourceTask> source;
  std::unique_ptr<PassTask> pass;
  std::unique_ptr<SinkTask> sink;
};

class PipelineFrom : public zktest::LiveParamTest<unsigned int> {};

TEST_P(PipelineFrom, DeliversEveryByteAndWindsDown) {
  LogCapture quiet;  // dropouts of a slow sanitizer build are not the point
  Pipeline p(GetParam());
  ASSERT_TRUE(p.start());
  ASSERT_TRUE(waitFor([&] { return p.sink->received[0].load() > 0; }));
  p.source->flushWanted.store(true);
  ASSERT_TRUE(waitFor([&] { return p.sink->flushes.load() == 1; }));
  const uint64_t want = zktest::scaled(200000, 4);
  ASSERT_TRUE(waitFor([&] { return p.source->made.load() >= want; }, 60));
  p.source->stop();
  ASSERT_TRUE(waitFor([&] { return p.allDone(); }, 30));

  // The flush marker took one position on each flow; the data around it is
  // whole.
  const uint64_t made = p.source->made.load();
  EXPECT_EQ(p.sink->bytes[0].size(), made);
  EXPECT_TRUE(zktest::isPattern(p.sink->bytes[0], 7));
  EXPECT_FALSE(p.source->started());  // stopped
  EXPECT_TRUE(p.pass->started());     // ended by themselves
  EXPECT_TRUE(p.sink->started());
  EXPECT_EQ(p.pass->inputCount(), 0u);
  EXPECT_EQ(p.sink->inputCount(), 0u);
  for (CountingTask* t : {static_cast<CountingTask*>(p.source.get()),
                          static_cast<CountingTask*>(p.pass.get()),
                          static_cast<CountingTask*>(p.sink.get())}) {
    EXPECT_EQ(t->stops.load(), 1) << t->name();
    EXPECT_EQ(t->flushes.load(), 1) << t->name();
    EXPECT_EQ(t->badMarkup.load(), 0) << t->name();
    EXPECT_FALSE(t->running());
  }
  // The sink's request travelled up to the pass-through.
  EXPECT_EQ(p.b.requestDataRate(), 400000u);
  EXPECT_GT(p.b.requestSampleDuration().raw(), 0);
}

INSTANTIATE_TEST_SUITE_P(FlowTaskLoop, PipelineFrom, ::testing::Values(0u, 0xFFFFC000u));

TEST_F(FlowTaskLoop, TwoInputsCutToCommonSizeAndEndInTurn) {
  LogCapture quiet;
  ZtFlow a, b;
  Rate ra, rb, rs;
  ra.dataRate = 100000;  // packets of 1000
  rb.dataRate = 150000;  // packets of 1500
  rs.dataRate = 120000;  // chunk 1200
  const uint64_t limitA = 5000, limitB = 8000;
  auto srcA = std::make_unique<SourceTask>(&a, ra, 1, limitA, false);
  auto srcB = std::make_unique<SourceTask>(&b, rb, 2, limitB, false);
  auto sink = std::make_unique<SinkTask>(&a, rs);
  ASSERT_TRUE(sink->addInput(&b));
  ASSERT_TRUE(sink->start());
  ASSERT_TRUE(srcA->start());
  ASSERT_TRUE(srcB->start());
  ASSERT_TRUE(waitFor([&] { return sink->done(); }, 30));

  EXPECT_EQ(sink->inputCount(), 0u);
  EXPECT_EQ(sink->bytes[0].size(), limitA);
  EXPECT_EQ(sink->bytes[1].size(), limitB);
  EXPECT_TRUE(zktest::isPattern(sink->bytes[0], 1));
  EXPECT_TRUE(zktest::isPattern(sink->bytes[1], 2));
  EXPECT_EQ(sink->uneven.load(), 0);
  EXPECT_EQ(sink->stops.load(), 1);
  ASSERT_TRUE(waitFor([&] { return srcA->done() && srcB->done(); }));
  sink.reset();
  srcA.reset();
  srcB.reset();
}

TEST_F(FlowTaskLoop, ImmortalTaskIdlesAndTakesANewInputFromZero) {
  LogCapture quiet;
  ZtFlow first, second;
  Rate r;
  auto sink = std::make_unique<SinkTask>(&first, r);
  sink->immortal(true);
  auto src1 = std::make_unique<SourceTask>(&first, r, 3, 10000, false);
  ASSERT_TRUE(sink->start());
  ASSERT_TRUE(src1->start());
  ASSERT_TRUE(waitFor([&] { return sink->inputCount() == 0 && src1->done(); }));
  EXPECT_EQ(sink->received[0].load(), 10000u);
  EXPECT_TRUE(sink->running());
  EXPECT_FALSE(sink->done());

  // A new input, read from position 0 although the old one ended at 10000.
  auto src2 = std::make_unique<SourceTask>(&second, r, 4, 6000, false);
  ASSERT_TRUE(sink->addInput(&second));
  EXPECT_EQ(sink->input(0), &second);
  ASSERT_TRUE(src2->start());
  ASSERT_TRUE(waitFor([&] { return sink->inputCount() == 0 && src2->done(); }));
  ASSERT_TRUE(waitFor([&] { return sink->received[0].load() == 16000; }));
  EXPECT_TRUE(sink->running());

  sink->stop();
  EXPECT_TRUE(sink->done());
  EXPECT_EQ(sink->stops.load(), 1);
  const std::vector<uint8_t>& got = sink->bytes[0];
  ASSERT_EQ(got.size(), 16000u);
  EXPECT_TRUE(zktest::isPattern(std::vector<uint8_t>(got.begin(), got.begin() + 10000), 3));
  EXPECT_TRUE(zktest::isPattern(std::vector<uint8_t>(got.begin() + 10000, got.end()), 4));
  sink.reset();
}

TEST_F(FlowTaskLoop, LateTaskLogsTheDropout) {
  LogCapture log;
  ZtFlow out;  // no consumer: the task advances it without emitting
  SourceTask t(&out, Rate{1000, 65536, 65536, 0}, 0, 0, true);  // 1 s: chunk 1000
  t.emitData = false;
  // Its clock base lies 1.25 s back: the first 1000 positions fell due
  // 0.25 s ago.
  t.resetClocks(false);
  t.baseClockTime(ZtClock::timeNow() - Utils::Time::fromRaw(81920));
  ASSERT_TRUE(t.start());
  ASSERT_TRUE(waitFor([&] { return log.count("Flow Dropout") >= 1; }));
  // The next two cycles are on time, the third sleeps; then stop.
  ASSERT_TRUE(waitFor([&] { return t.calls.load() >= 3; }));
  t.stop();

  const auto entries = log.entries();
  ASSERT_EQ(log.count("Flow Dropout"), 1u);
  const LogCapture::Entry& e = entries[0];
  EXPECT_EQ(e.messageClass, 2);
  EXPECT_EQ(e.category, "flow");
  EXPECT_EQ(e.level, -1);
  EXPECT_EQ(e.file, "kernel/flow/flowtask");
  EXPECT_EQ(e.line, 504u);
  const double v = dropoutValue(e);
  EXPECT_LE(v, -0.25);
  EXPECT_GT(v, -0.40);
}

TEST_F(FlowTaskLoop, EarlyTaskSleepsUntilTBeforeItsDataIsDue) {
  LogCapture log;
  ZtFlow out;
  SourceTask t(&out, Rate{1000, 6553, 6553, 0}, 0, 0, true);  // T 0.1 s, chunk 100
  t.emitData = false;
  // After its first chunk the task has made 1000 positions since a clock
  // base 0.5 s back: due at 1 s, so it sleeps 1 - 0.5 - T = 0.4 s.
  t.resetClocks(false);
  t.flowPosBase(static_cast<unsigned int>(-900));
  t.baseClockTime(ZtClock::timeNow() - Utils::Time::fromRaw(32768));
  ASSERT_TRUE(t.start());
  ASSERT_TRUE(waitFor([&] { return t.calls.load() >= 2; }));
  t.stop();
  // The second cycle began when the sleep ended: at the base + 0.9 s.
  const double woke = Utils::Time::fromRaw(t.callTime[1].load() - t.baseClockTime().raw()).seconds();
  EXPECT_GE(woke, 0.9 - 0.001);
  EXPECT_LT(woke, 0.9 + 0.25);
  EXPECT_EQ(log.count("Flow Dropout"), 0u);
  // The sample of the cycle after the sleep starts at the planned wake-up:
  // it measures the cycle, not the 0.4 s sleep.
  EXPECT_GE(t.latency().count(), 2u);
  EXPECT_LT(t.latency().latencyMax().raw(), 26214);
}

TEST_F(FlowTaskLoop, PacedSourceKeepsToItsRate) {
  LogCapture quiet;
  ZtFlow out;
  SourceTask t(&out, Rate{10000, 6553, 6553, 0}, 0, 0, true);  // 0.1 s: chunk 1000
  t.emitData = false;
  const Utils::Time begin = ZtClock::timeNow();
  ASSERT_TRUE(t.start());
  ASSERT_TRUE(waitFor([&] { return t.made.load() >= 15000; }));
  const double took = (ZtClock::timeNow() - begin).seconds();
  t.stop();
  // A paced task runs ahead of real time by T and the chunk in progress (T
  // at the data rate), never more. T follows the FourSigma latency, which
  // for samples up to M stays below 2.5 M; M is the first sample (0.1 s)
  // unless a cycle stalled. Then 15000 positions at 10000/s take at least
  // 1.5 - 2 x 0.25 s.
  const double tMax = std::max(2.5 * t.latency().latencyMax().seconds(), 0.1);
  EXPECT_GE(took, 1.5 - 2 * tMax - 0.01);
}

TEST_F(FlowTaskLoop, SeekResetsTheClock) {
  LogCapture log;
  ZtFlow out;
  SourceTask t(&out, Rate{1000, 13107, 13107, 0}, 0, 0, true);  // 0.2 s: chunk 200
  t.emitData = false;
  t.resetClocks(false);
  t.baseClockTime(ZtClock::timeNow() - Utils::Time(1000));  // 1000 s late
  ASSERT_TRUE(t.start());
  ASSERT_TRUE(waitFor([&] { return log.count("Flow Dropout") >= 2; }));

  const Utils::Time seekTime = ZtClock::timeNow();
  ASSERT_TRUE(t.seek(50000));
  ASSERT_TRUE(waitFor([&] { return !t.resetClocks(); }));
  const size_t logged = log.entries().size();
  EXPECT_GE(t.baseClockTime().raw(), seekTime.raw());
  const long calls = t.calls.load();
  ASSERT_TRUE(waitFor([&] { return t.calls.load() >= calls + 3; }));
  t.stop();

  // Before the seek the task was 1000 s late; after it, on time (at worst
  // one cycle in flight at the seek still reports the old lateness).
  const auto entries = log.entries();
  EXPECT_LT(dropoutValue(entries[0]), -900.0);
  for (size_t k = logged + 1; k < entries.size(); ++k)
    EXPECT_GT(dropoutValue(entries[k]), -900.0) << entries[k].text;
  // The virtual input now starts where the seek put it.
  EXPECT_GE(t.lastInPos.load(), 50000u);
  EXPECT_LT(t.lastInPos.load(), 150000u);
}

TEST_F(FlowTaskLoop, BackPressureKeepsAFastSourceWithinDurationMax) {
  LogCapture quiet;
  ZtFlow a, paced;
  const uint64_t total = 10000;
  // Packets of 200, held at 0.1 s (2000 bytes) ahead of a sink that reads
  // 20000 bytes a second, 400 at a time.
  auto source = std::make_unique<SourceTask>(&a, Rate{20000, 655, 655, 6553}, 5, total, false);
  auto sink = std::make_unique<SinkTask>(&a, Rate{20000, 1310, 1310, 0}, &paced);
  ASSERT_TRUE(sink->start());
  ASSERT_TRUE(source->start());
  ASSERT_TRUE(waitFor([&] { return sink->done(); }, 30));

  EXPECT_EQ(sink->bytes[0].size(), total);
  EXPECT_TRUE(zktest::isPattern(sink->bytes[0], 5));
  // The source was held: never more than durationMax (2000) and the one
  // packet that crossed it ahead of the sink, although it could have made
  // everything at once.
  EXPECT_LE(source->maxBuffered.load(), 2000u + 200u);
  EXPECT_GE(source->maxBuffered.load(), 2000u);
  sink.reset();
  source.reset();
}

}  // namespace
