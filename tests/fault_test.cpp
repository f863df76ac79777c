// Faults injected from outside: memory that runs out on the data path and
// across start and stop, cooperative events that cannot be made, a start
// hook that refuses, a handler that stalls and a consumer that stops
// reading. Each case must give the documented result, free what it made and
// end within a bounded time.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/flowtasks.h"
#include "common/testutil.h"
#include "host/zsys.h"
#include "kernel/flow/flow.h"
#include "kernel/flow/flowtask.h"
#include "kernel/flow/queuetask.h"

namespace {

using zktest::BoundedThread;
using zktest::LiveCount;
using zktest::LogCapture;
using zktest::Rate;
using zktest::SinkTask;
using zktest::SourceTask;
using zktest::waitFor;
using Queue = ZtQueueTask::Queue;

Utils::CountingAllocator* alloc() { return Utils::Allocator::defaultAllocator(); }

// Fails the next `n` allocations after `skip` while it lives.
struct FailAllocs {
  FailAllocs(uint64_t skip, uint64_t n) { alloc()->failAfter(skip, n); }
  ~FailAllocs() { alloc()->failAfter(0, 0); }
};

// A one-shot latch for stalling a handler; the test lets it go.
struct Latch {
  std::atomic<bool> entered{false};
  std::atomic<bool> open{false};
  // Bounded: a test that forgets to open it fails instead of hanging.
  void hold() {
    entered = true;
    waitFor([&] { return open.load(); }, 30.0);
  }
};

// A source whose packets may not be made: without memory it emits nothing
// and uses none of the virtual input, so the same bytes are tried again next
// cycle and nothing is skipped.
struct FrugalSource : zktest::CountingTask {
  FrugalSource(ZtFlow* out, uint64_t limit) : CountingTask(Rate{}), limit(limit) {
    virtualInput(true);
    addOutput(out);
  }
  ~FrugalSource() override { stop(); }
  const char* taskName() const override { return "FrugalSource"; }
  unsigned int taskHandleFlow(unsigned int, unsigned int, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override {
    const uint64_t done = made.load();
    unsigned int m = in[0]->size();
    if (done + m > limit) m = static_cast<unsigned int>(limit - done);
    ZtProtector<ZtPacket> stored(new ZtPacket(m));
    ZtFlowDataPacket* p = stored.isNull() || !stored->data() ? nullptr : new ZtFlowDataPacket(stored);
    if (!p) m = 0;
    in[0]->clipSize(m);
    if (p) {
      for (unsigned int k = 0; k < m; ++k) stored->data()[k] = static_cast<char>(zktest::patternByte(1, done + k));
      p->dStart(0);
      p->dSize(m);
      p->pos(0);
      emit(this, 0, p);
      made.store(done + m);
      if (done + m >= limit) {
        if (failAtEnd) {
          endLatch.hold();
          alloc()->failAfter(0, ~0ull >> 1);  // nothing can be made from here on
        }
        shutdown(true);
      }
    }
    return 0;
  }
  const uint64_t limit;
  std::atomic<uint64_t> made{0};
  bool failAtEnd = false;
  Latch endLatch;
};

// Forwards its input packet itself (no copy to make), optionally stalling.
struct Forward : zktest::CountingTask {
  Forward(ZtFlow* in, ZtFlow* out) : CountingTask(Rate{}) {
    addInput(in);
    addOutput(out);
  }
  ~Forward() override { stop(); }
  const char* taskName() const override { return "Forward"; }
  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override {
    if (stall && calls.fetch_add(1) == 1) stall->hold();
    if (inCount == 0 || !in[0]) return 0;
    in[0]->pos(0);
    emit(this, 0, in[0]);  // the flow takes its own reference
    return 0;
  }
  Latch* stall = nullptr;
};

// A sink that can be made to stop reading.
struct StallSink : SinkTask {
  StallSink(ZtFlow* in, const Rate& r) : SinkTask(in, r) {}
  ~StallSink() override { stop(); }
  unsigned int taskHandleFlow(unsigned int inCount, unsigned int outCount, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override {
    if (stall && calls.load() == 2) stall->hold();
    return SinkTask::taskHandleFlow(inCount, outCount, in, emit);
  }
  Latch* stall = nullptr;
};

// A plain unit: a consumer or producer for a flow without a loop.
struct Unit : ZtFlowUnit {
  bool start() override { return false; }
  void stop() override {}
};

// ------------------------------------------------------------ data path

// A flow that cannot make a node or a copy loses nothing it holds: the
// packet it could not keep is freed, the one it could not copy stays and is
// read later, and a consumer that found data it could not copy does not go
// to sleep on it (nobody may ever write again to wake it).
TEST(FaultFlow, OutOfMemoryOnAddAndRead) {
  LiveCount live;
  {
    Unit consumer;
    ZtFlow f;
    f.consumer(&consumer);
    ZtFlowDataPacket* fresh = zktest::makeDataPacket(0, 0, 10);
    {
      FailAllocs fail(0, 1);  // the node
      f.writeNonBlocking(fresh);
    }
    EXPECT_TRUE(f.isEmpty());  // and the fresh packet is gone, not leaked

    ZtFlowDataPacket* held = zktest::makeDataPacket(0, 0, 10);
    held->incRef();  // a second holder: reads must copy
    f.writeNonBlocking(held);
    unsigned int at = 5;
    {
      FailAllocs fail(0, 1);  // the copy
      EXPECT_EQ(f.read(at), nullptr);
    }
    ASSERT_FALSE(f.outputIsClosed()) << "the consumer sleeps on data it could not copy";
    EXPECT_EQ(f.size(), 10u);
    ZtFlowPacket* got = f.read(at);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->pos(), 5u);
    EXPECT_EQ(got->size(), 5u);
    ZtFlowPacket::drop(got);
    ZtFlowPacket::drop(held);

    // A packet that straddles held data: the piece for the hole cannot be
    // made; the list stays ordered and counted.
    f.reset();
    ZtFlowDataPacket* a = zktest::makeDataPacket(0, 0, 10);
    ZtFlowDataPacket* b = zktest::makeDataPacket(0, 20, 10);
    b->pos(20);
    f.writeNonBlocking(a);
    f.writeNonBlocking(b);
    ZtFlowDataPacket* c = zktest::makeDataPacket(0, 5, 20);
    c->pos(5);
    {
      FailAllocs fail(0, 1);
      f.writeNonBlocking(c);
    }
    EXPECT_EQ(f.size(), 20u);
    f.restart();
    at = 10;
    EXPECT_EQ(f.read(at), nullptr);  // the hole stayed a hole
    f.consumer(nullptr);
  }
  live.expectBack();
}

// The end of a source reaches its consumer even when nothing more can be
// allocated by the time the loop ends: a pipeline stopped at its source
// still winds down.
TEST(FaultFlow, EndOfFlowNeedsNoMemoryAtTheEnd) {
  LiveCount live;
  {
    ZtFlow f;
    f.readRemovesPacket(true);  // reads hand packets over: the sink needs no memory
    SinkTask sink(&f, Rate{});
    FrugalSource src(&f, 3000);
    src.failAtEnd = true;
    ASSERT_TRUE(sink.start());
    ASSERT_TRUE(src.start());
    ASSERT_TRUE(waitFor([&] { return sink.received[0].load() == 3000; }));
    src.endLatch.open = true;
    const bool ended = waitFor([&] { return sink.done(); }, 10.0);
    alloc()->failAfter(0, 0);
    EXPECT_TRUE(ended) << "the end marker was lost";
    src.stop();
    sink.stop();
    EXPECT_EQ(sink.received[0].load(), 3000u);
    EXPECT_TRUE(zktest::isPattern(sink.bytes[0], 1));
  }
  live.expectBack();
}

// One failed allocation at every point of a pipeline's life, in turn: each
// start answers true or false, stop() always returns, nothing leaks, what
// arrives arrives in order, and a sink that received every byte also
// received the end.
TEST(FaultFlow, EveryAllocationOfAPipelineFailingInTurn) {
  LiveCount live;
  constexpr uint64_t kBytes = 4096;
  uint64_t made = 1;
  for (uint64_t skip = 0; skip <= made + 4 && skip < 500; ++skip) {
    const uint64_t before = alloc()->totalAllocations();
    {
      alloc()->failAfter(skip, 1);
      ZtFlow a, b;
      FrugalSource src(&a, kBytes);
      Forward mid(&a, &b);
      SinkTask sink(&b, Rate{});
      if (sink.start() && mid.start() && src.start()) {
        // Settled: the source has ended and each consumer has ended or
        // sleeps with nothing it can read (a packet a flow could not keep
        // leaves a hole that its consumer waits at until it is stopped).
        auto asleep = [](ZtFlow& f) { return f.outputIsClosed() && zktest::bufferedOn(&f) == 0; };
        EXPECT_TRUE(waitFor([&] {
          return src.done() && (mid.done() || asleep(a)) && (sink.done() || asleep(b));
        })) << "skip " << skip;
        if (sink.received[0].load() == kBytes)
          EXPECT_TRUE(waitFor([&] { return sink.done(); })) << "end lost, skip " << skip;
      }
      src.stop();
      mid.stop();
      sink.stop();
      alloc()->failAfter(0, 0);
      EXPECT_TRUE(zktest::isPattern(sink.bytes[0], 1)) << "skip " << skip;
    }
    live.expectBack();
    made = alloc()->totalAllocations() - before;
  }
  EXPECT_GT(made, 20u);  // the sweep went through a real pipeline's life
}

// -------------------------------------------------------- start and stop

// Cooperative events that cannot be made: the task still starts (its
// start-up wait yields instead), runs, stops, and starts again.
TEST(FaultStart, CooperativeTaskWithoutAStartEvent) {
  LiveCount live;
  BoundedThread host([] {
    Queue in;
    std::atomic<int> handled{0};
    struct Coop : ZtQueueTask {
      explicit Coop(std::atomic<int>* n) : ZtQueueTask(true), n(n) {}
      ~Coop() override { stop(); }
      void taskHandlePacket(AP<ZtQueuePacket>& p, Queue*) override {
        if (p) n->fetch_add(1);
      }
      const char* taskName() override { return "coop"; }
      bool taskStart() override { return agree; }
      std::atomic<int>* n;
      bool agree = true;
    } task(&handled);
    task.in(&in);
    for (int round = 0; round < 2; ++round) {
      ZIF_TestFailNextEvents(1);
      ASSERT_TRUE(task.start());
      ZIF_TestFailNextEvents(0);
      AP<ZtQueuePacket> p(new ZtQueuePacket);
      ASSERT_TRUE(in.push(p));
      for (int k = 0; k < 1000 && handled.load() == round; ++k) ZIF_PollTasks();
      EXPECT_EQ(handled.load(), round + 1);
      EXPECT_TRUE(task.stop());
      EXPECT_FALSE(task.running());
    }
    // A start hook that refuses: the cooperative task is stopped again.
    task.agree = false;
    EXPECT_FALSE(task.start());
    EXPECT_FALSE(task.running());
  });
  EXPECT_TRUE(host.join(30.0));
  live.expectBack();
}

// ------------------------------------------------- stalls and back-pressure

// A stuck handler in the middle of a pipeline: an unrelated pipeline keeps
// running, stop() at the source waits (its emit is held by back-pressure)
// but returns once the handler is let go, and the rest winds down in order.
TEST(FaultStall, StuckHandlerHoldsOnlyItsOwnPipeline) {
  LiveCount live;
  {
    Latch latch;
    ZtFlow a, b, c;
    FrugalSource src(&a, 1u << 30);
    Forward mid(&a, &b);
    mid.stall = &latch;
    SinkTask sink(&b, Rate{});
    SourceTask other(&c, Rate{}, 2, 0, false);
    SinkTask otherSink(&c, Rate{});
    ASSERT_TRUE(sink.start() && mid.start() && src.start());
    ASSERT_TRUE(otherSink.start() && other.start());
    ASSERT_TRUE(waitFor([&] { return latch.entered.load() && a.inputIsClosed(); }));

    std::atomic<bool> stopped{false};
    BoundedThread stopper([&] {
      src.stop();
      stopped = true;
    });
    // The other pipeline goes on meanwhile.
    const uint64_t seen = otherSink.received[0].load();
    ASSERT_TRUE(waitFor([&] { return otherSink.received[0].load() > seen + 10000; }));
    EXPECT_FALSE(stopped.load());
    latch.open = true;
    ASSERT_TRUE(stopper.join(20.0)) << "stop() at the source never returned";
    EXPECT_TRUE(waitFor([&] { return mid.done() && sink.done(); }));
    other.stop();
    otherSink.stop();
    EXPECT_TRUE(zktest::isPattern(sink.bytes[0], 1));
    EXPECT_TRUE(zktest::isPattern(otherSink.bytes[0], 2));
  }
  live.expectBack();
}

// A consumer that stops reading: its producer waits under back-pressure
// with no more than durationMax buffered, seek() still answers at once,
// stop() waits for the consumer, and no byte is lost or repeated.
TEST(FaultStall, ConsumerThatStopsReading) {
  LiveCount live;
  {
    Latch latch;
    ZtFlow f;
    Rate r;
    r.dataRate = 100000;  // durationMax 0.05 s: 5000 bytes
    StallSink sink(&f, r);
    sink.stall = &latch;
    SourceTask src(&f, r, 3, 0, false);
    ASSERT_TRUE(sink.start() && src.start());
    ASSERT_TRUE(waitFor([&] { return latch.entered.load(); }));
    ASSERT_TRUE(waitFor([&] { return f.inputIsClosed(); })) << "the producer never waited";
    EXPECT_TRUE(src.seek(0));  // answers although the loop is held in an emit

    std::atomic<bool> stopped{false};
    BoundedThread stopper([&] {
      src.stop();
      stopped = true;
    });
    EXPECT_FALSE(stopped.load());
    latch.open = true;
    ASSERT_TRUE(stopper.join(20.0));
    EXPECT_TRUE(waitFor([&] { return sink.done(); }));
    EXPECT_EQ(sink.received[0].load(), src.made.load());
    EXPECT_TRUE(zktest::isPattern(sink.bytes[0], 3));
  }
  live.expectBack();
}

// A queue worker whose handler stalls while a producer fills its bounded
// queue: stop() gives up with the log line after the wait limit, the
// producer stays parked on the full queue, and once the handler is let go a
// new start drains every packet in order.
TEST(FaultStall, QueueWorkerStallsUnderAFullQueue) {
  LiveCount live;
  LogCapture log;
  {
    struct Seq : ZtQueuePacket {
      explicit Seq(int n) : n(n) {}
      int n;
    };
    struct Worker : ZtQueueTask {
      Worker() : ZtQueueTask(false) { waitLimit = Utils::Time(0.2); }
      ~Worker() override { stop(); }
      void taskHandlePacket(AP<ZtQueuePacket>& p, Queue*) override {
        if (!p) return;
        if (got.empty()) stall->hold();
        std::lock_guard<std::mutex> hold(mu);
        got.push_back(static_cast<Seq*>(p.get())->n);
      }
      const char* taskName() override { return "stalled worker"; }
      Latch* stall = nullptr;
      std::mutex mu;
      std::vector<int> got;
    };
    Latch latch;
    Queue q(2);
    Worker w;
    w.stall = &latch;
    w.in(&q);
    ASSERT_TRUE(w.start());
    std::atomic<int> pushed{0};
    BoundedThread producer([&] {
      for (int k = 0; k < 8; ++k) {
        AP<ZtQueuePacket> p(new Seq(k));
        if (!q.push(p)) return;
        pushed.fetch_add(1);
      }
    });
    ASSERT_TRUE(waitFor([&] { return latch.entered.load() && pushed.load() == 3; }));
    EXPECT_TRUE(w.stop());
    EXPECT_EQ(log.count("stalled worker waiting for too long"), 1u);
    EXPECT_EQ(pushed.load(), 3) << "the producer got past a full queue";
    latch.open = true;
    ASSERT_TRUE(waitFor([&] { return w.start(); }));
    ASSERT_TRUE(producer.join(20.0));
    ASSERT_TRUE(waitFor([&] {
      std::lock_guard<std::mutex> hold(w.mu);
      return w.got.size() == 8;
    }));
    EXPECT_TRUE(w.stop());
    for (int k = 0; k < 8; ++k) EXPECT_EQ(w.got[k], k);
  }
  live.expectBack();
}

}  // namespace
