// SPDX-License-Identifier: Apache-2.0
// Faults injected from outside: memory that runs out on the data path and
// across start and stop, a handler that stalls and a consumer that stops
// reading. Each case gives the
// documented result, frees what it made (the fixture) and ends in bounded time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/flowtasks.h"
#include "common/testutil.h"
#include "zkflow/host/simtime.h"
#include "zkflow/host/zsys.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowbuffer.h"
#include "zkflow/flow/flowfork.h"
#include "zkflow/flow/flowtask.h"
#include "zkflow/flow/queuetask.h"

namespace {

using zktest::BoundedThread;
using zktest::Latch;
using zktest::LogCapture;
using zktest::Rate;
using zktest::SinkTask;
using zktest::SourceTask;
using zktest::StallSink;
using zktest::waitFor;
using Queue = ZtQueueTask::Queue;
using FaultFlow = zktest::LiveTest;
using FaultStall = zktest::LiveTest;

Utils::CountingAllocator* alloc() { return Utils::Allocator::defaultAllocator(); }

// Fails the next `n` allocations after `skip` while it lives.
struct FailAllocs {
  FailAllocs(uint64_t skip, uint64_t n) { zkflow::testing::failAllocations(skip, n); }
  ~FailAllocs() { zkflow::testing::failAllocations(0, 0); }
};

// A source whose packets may not be made: without memory it emits nothing and
// uses none of the virtual input, so the same bytes are tried again next cycle.
struct FrugalSource : zktest::CountingTask {
  FrugalSource(ZtFlow* out, uint64_t limit) : CountingTask(Rate{}), limit(limit) {
    virtualInput(true);
    addOutput(out);
  }
  ~FrugalSource() override { stop(); }
  const char* taskName() const override { return "FrugalSource"; }
  unsigned int taskHandleFlow(unsigned int, unsigned int, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    const uint64_t done = made.load();
    unsigned int m = static_cast<unsigned int>(std::min<uint64_t>(in[0]->size(), limit - done));
    ZtProtector<ZtPacket> stored(new ZtPacket(m));
    ZtFlowDataPacket* p = stored.isNull() || !stored->data() ? nullptr : new ZtFlowDataPacket(stored);
    in[0]->clipSize(p ? m : 0);
    if (!p) return 0;
    for (unsigned int k = 0; k < m; ++k) stored->data()[k] = static_cast<char>(zktest::patternByte(1, done + k));
    p->dSize(m);
    emit(this, 0, p);
    made.store(done + m);
    if (done + m < limit) return 0;
    if (failAtEnd) {
      endLatch.hold();
      zkflow::testing::failAllocations(0, ~0ull >> 1);  // nothing can be made from here on
    }
    shutdown(true);
    return 0;
  }
  const uint64_t limit;
  std::atomic<uint64_t> made{0};
  bool failAtEnd = false;
  Latch endLatch;
};

// Forwards its input packet itself: no copy to make.
struct Forward : zktest::CountingTask {
  Forward(ZtFlow* in, ZtFlow* out) : CountingTask(Rate{}) {
    addInput(in);
    addOutput(out);
  }
  ~Forward() override { stop(); }
  const char* taskName() const override { return "Forward"; }
  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    if (inCount == 0 || !in[0]) return 0;
    in[0]->pos(0);
    emit(this, 0, in[0]);  // the flow takes its own reference
    return 0;
  }
};

struct Unit : ZtFlowUnit {
  bool start() override { return false; }
  void stop() override {}
};

// A flow that cannot make a node or a copy loses nothing it holds: the packet
// it could not keep is freed, the one it could not copy stays and is read
// later, and a consumer that found data it could not copy does not go to sleep
// on it (nobody may ever write again to wake it).
TEST_F(FaultFlow, OutOfMemoryOnAddAndRead) {
  Unit consumer;
  ZtFlow f;
  f.consumer(&consumer);
  ZtFlowDataPacket* fresh = zktest::makeDataPacket(0, 0, 10);
  {
    // The node is made when the write reaches the list: at once, or at the
    // next guarded look when the write was staged.
    FailAllocs fail(0, 1);
    f.writeNonBlocking(fresh);
    EXPECT_TRUE(f.isEmpty());  // and the fresh packet is gone, not leaked
  }
  ZtFlowDataPacket* held = zktest::makeDataPacket(0, 0, 10);
  held->incRef();  // a second holder: reads must copy
  f.writeNonBlocking(held);
  unsigned int at = 5;
  {
    FailAllocs fail(0, 1);  // the copy
    EXPECT_EQ(f.read(at), nullptr);
  }
  ASSERT_FALSE(f.outputIsClosed()) << "the consumer sleeps on data it could not copy";
  ZtFlowPacket* got = f.read(at);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->size(), 5u);
  ZtFlowPacket::drop(got);
  ZtFlowPacket::drop(held);

  // A packet over held data whose piece for the hole cannot be made: the list
  // stays ordered and counted, the hole a hole.
  f.reset();
  ZtFlowDataPacket* b = zktest::makeDataPacket(0, 20, 10);
  ZtFlowDataPacket* c = zktest::makeDataPacket(0, 5, 20);
  b->pos(20);
  c->pos(5);
  f.writeNonBlocking(zktest::makeDataPacket(0, 0, 10));
  f.writeNonBlocking(b);
  ASSERT_EQ(f.size(), 20u);  // both in the list, not staged
  {
    FailAllocs fail(0, 1);
    f.writeNonBlocking(c);
    EXPECT_EQ(f.size(), 20u);
  }
  f.restart();  // searched from the head, 10 is in the hole
  at = 10;
  EXPECT_EQ(f.read(at), nullptr);
  f.consumer(nullptr);

  // A fork that cannot copy a packet for an output, and a flush marker that
  // cannot be made, leave a hole of exactly their size there: what follows
  // keeps its position. (The packet has a second holder: every output gets
  // a copy.)
  ZtFlow in, o0, o1;
  ZtFlowFork fork(&in, {&o0, &o1});
  ZtFlowDataPacket* p = zktest::makeDataPacket(0, 0, 64);
  p->incRef();
  p->incRef();
  ZtFlowPacket* table[4] = {p, nullptr, nullptr, nullptr};
  for (int lost = 0; lost < 2; ++lost) {
    FailAllocs fail(0, 1);  // output 0's copy, then its marker
    lost ? fork.emitFlush(&ZtFlowTask::flowEmitter) : (void)fork.taskHandleFlow(1, 2, table, &ZtFlowTask::flowEmitter);
  }
  fork.taskHandleFlow(1, 2, table, &ZtFlowTask::flowEmitter);
  EXPECT_EQ(fork.flowPosOut(0), 129u);
  ASSERT_NE(o0.first(), nullptr);
  EXPECT_EQ(o0.first()->pos(), 65u);
  EXPECT_EQ(o1.size(), 129u);
  ZtFlowPacket::drop(p);
  ZtFlowPacket::drop(p);
  // So does a packet a flow buffer cannot keep: its bytes read as zeros.
  ZtFlowBuffer buf;
  for (unsigned int k : {0u, 4u, 10u}) {
    ZtFlowDataPacket* d = zktest::makeDataPacket(0, k, k ? 6 : 4);
    d->pos(k);
    FailAllocs fail(0, k == 4 ? 1 : 0);
    buf.add(d);
  }
  std::vector<uint8_t> bytes(buf.size()), want(16, 0);
  buf.read(bytes.data(), 16);
  for (unsigned int k : {0u, 1u, 2u, 3u, 10u, 11u, 12u, 13u, 14u, 15u}) want[k] = zktest::patternByte(0, k);
  EXPECT_EQ(bytes, want);
}

// The end of a source reaches its consumer even when nothing can be allocated
// by the time the loop ends: a pipeline stopped at its source still winds down.
TEST_F(FaultFlow, EndOfFlowNeedsNoMemoryAtTheEnd) {
  ZtFlow f;
  f.readRemovesPacket(true);  // reads hand packets over: the sink needs no memory
  SinkTask sink(&f, Rate{});
  FrugalSource src(&f, 3000);
  src.failAtEnd = true;
  ASSERT_TRUE(sink.start() && src.start());
  ASSERT_TRUE(waitFor([&] { return sink.received[0].load() == 3000; }));
  src.endLatch.open = true;
  const bool ended = waitFor([&] { return sink.done(); }, 10.0);
  zkflow::testing::failAllocations(0, 0);
  EXPECT_TRUE(ended) << "the end marker was lost";
  src.stop();
  sink.stop();
  EXPECT_EQ(sink.received[0].load(), 3000u);
  EXPECT_TRUE(zktest::isPattern(sink.bytes[0], 1));
}

// One failed allocation at every point of a pipeline's life, in turn: each
// start answers true or false, stop() always returns, nothing leaks, what
// arrives arrives in order, and a sink that received every byte also
// received the end.
TEST_F(FaultFlow, EveryAllocationOfAPipelineFailingInTurn) {
  constexpr uint64_t kBytes = 4096;
  uint64_t made = 1;
  for (uint64_t skip = 0; skip <= made + 4 && skip < 500; ++skip) {
    SCOPED_TRACE(skip);
    const uint64_t before = alloc()->totalAllocations();
    {
      zkflow::testing::failAllocations(skip, 1);
      ZtFlow a, b;
      FrugalSource src(&a, kBytes);
      Forward mid(&a, &b);
      SinkTask sink(&b, Rate{});
      if (sink.start() && mid.start() && src.start()) {
        // Settled: the source has ended and each consumer has ended or sleeps
        // at a hole (a packet a flow could not keep), until it is stopped.
        auto asleep = [](ZtFlow& f) { return f.outputIsClosed() && zktest::bufferedOn(&f) == 0; };
        EXPECT_TRUE(waitFor([&] { return src.done() && (mid.done() || asleep(a)) && (sink.done() || asleep(b)); }));
        if (sink.received[0].load() == kBytes) EXPECT_TRUE(waitFor([&] { return sink.done(); })) << "end lost";
      }
      src.stop();
      mid.stop();
      sink.stop();
      zkflow::testing::failAllocations(0, 0);
      EXPECT_TRUE(zktest::isPattern(sink.bytes[0], 1));
    }
    live.expectBack();
    made = alloc()->totalAllocations() - before;
  }
  EXPECT_GT(made, 20u);  // the sweep went through a real pipeline's life
}

// A consumer whose handler is stuck: its producer waits under back-pressure
// in an emit, and seek() still answers at once. The consumer, told to stop,
// does not end in time and stopWithin() says where it is; stop() of the
// producer frees the emit and returns all the same. Nothing is lost: every
// byte made was received, in order, or is still in the flow up to the end.
TEST_F(FaultStall, ConsumerThatStopsReading) {
  LogCapture log;
  Latch latch;
  ZtFlow f;
  StallSink sink(&f, Rate{}, &latch);
  SourceTask src(&f, Rate{}, 3, 0, false);
  ASSERT_TRUE(sink.start() && src.start());
  ASSERT_TRUE(waitFor([&] { return latch.entered.load() && f.inputIsClosed(); })) << "the producer never waited";
  EXPECT_STREQ(src.waitingAt(), "emitting to output 0");
  EXPECT_TRUE(src.seek(0));  // answers although the loop is held in an emit
  EXPECT_FALSE(sink.stopWithin(0.05));
  EXPECT_EQ(log.count("TestSink did not stop within 0.05 s: in taskHandleFlow"), 1u);
  BoundedThread stopper([&] { src.stop(); });
  ASSERT_TRUE(stopper.join(10.0)) << "stop() waited for a consumer that does not read";
  latch.open = true;
  EXPECT_TRUE(sink.stopWithin(10.0));
  EXPECT_TRUE(zktest::isPattern(sink.bytes[0], 3));
  unsigned int gap = 0;
  EXPECT_EQ(f.nextGap(static_cast<unsigned int>(sink.received[0].load()), gap, true), src.made.load() + 1);
}

// A queue worker whose handler stalls while a producer fills its bounded
// queue: stop() gives up with the log line after the wait limit, the producer
// stays parked on the full queue, and once the handler is let go a new start
// drains every packet in order.
TEST_F(FaultStall, QueueWorkerStallsUnderAFullQueue) {
  // The give-ups then come after the wait limits of virtual time, whatever
  // the load on the machine.
  zkflow::SimulatedClock simulated;
  LogCapture log;
  struct Seq : ZtQueuePacket {
    explicit Seq(int n) : n(n) {}
    int n;
  };
  struct Worker : ZtQueueTask {
    Worker() : ZtQueueTask(false) { waitLimit = Utils::Time(0.2); }
    ~Worker() override { stop(); }
    void taskHandlePacket(zk::AP<ZtQueuePacket>& p, Queue*) override {
      if (!p) return;
      if (got.empty()) stall.hold();
      std::lock_guard<std::mutex> hold(mu);
      got.push_back(static_cast<Seq*>(p.get())->n);
    }
    const char* taskName() override { return "stalled worker"; }
    Latch stall;
    std::mutex mu;
    std::vector<int> got;
  };
  Queue q(2);
  Worker w;
  w.in(&q);
  ASSERT_TRUE(w.start());
  std::atomic<int> pushed{0};
  BoundedThread producer([&] {
    for (int k = 0; k < 8; ++k) {
      zk::AP<ZtQueuePacket> p(new Seq(k));
      if (!q.push(p)) return;
      pushed.fetch_add(1);
    }
  });
  ASSERT_TRUE(waitFor([&] { return w.stall.entered.load() && pushed.load() == 3; }));
  EXPECT_TRUE(w.stop());
  EXPECT_EQ(log.count("stalled worker waiting for too long"), 1u);
  EXPECT_FALSE(w.stopWithin(0.05)) << "the body given up on still runs";
  EXPECT_EQ(log.count("stalled worker did not stop within 0.05 s: in taskHandlePacket"), 1u);
  EXPECT_EQ(pushed.load(), 3) << "the producer got past a full queue";
  w.stall.open = true;
  ASSERT_TRUE(waitFor([&] { return w.start(); }));
  ASSERT_TRUE(producer.join(20.0));
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard<std::mutex> hold(w.mu);
    return w.got.size() == 8;
  }));
  EXPECT_TRUE(w.stop());
  EXPECT_EQ(w.got, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

}  // namespace
