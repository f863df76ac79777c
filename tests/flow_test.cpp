// SPDX-License-Identifier: Apache-2.0
// Flows: what a consuming read hands over, and the gate protocol where its
// races are, single-threaded through the test hooks and with real threads.
// The list's ordering, hole filling and bookkeeping are checked against a
// model by the fuzz replay; streams through running tasks by the flow soak.
// Threads synchronise by handshakes on the flow's own state; every wait is
// bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "common/testutil.h"
#include "zkflow/flow/flow.h"

namespace {

using Span = std::pair<unsigned int, unsigned int>;  // (pos, size)

ZtFlowDataPacket* dp(unsigned int pos, unsigned int size) {
  auto* p = new ZtFlowDataPacket;
  p->pos(pos);
  p->dSize(size);
  return p;
}

Span spanOf(const ZtFlowPacket* p) { return {p->pos(), p->size()}; }

// Stands in for a flow unit: the flow only hands the pointer to the tests.
struct FakeUnit {
  std::atomic<bool> sleep{false};
  std::atomic<bool> wake{true};
  std::atomic<int> asked{0};
};

ZtFlowUnit* asUnit(FakeUnit* u) { return reinterpret_cast<ZtFlowUnit*>(u); }
FakeUnit* fromUnit(void* u) { return static_cast<FakeUnit*>(u); }
bool sleepFn(void* u) { return ++fromUnit(u)->asked, fromUnit(u)->sleep.load(); }
bool wakeFn(void* u) { return ++fromUnit(u)->asked, fromUnit(u)->wake.load(); }

class FlowTest : public zktest::LiveTest {};

// A consuming read from a packet's start hands over the list's own packet
// when nobody else holds it, and a copy when someone does: the holder's
// packet must not change under it.
TEST_F(FlowTest, ConsumingReadsHandOverOnlyUnsharedPackets) {
  ZtFlow f;
  f.write(dp(0, 10));
  unsigned int at = 5;
  for (bool consuming : {false, true}) {  // the request moves past what was taken
    f.readRemovesPacket(consuming);
    ZtFlowPacket* r = f.read(at);
    EXPECT_EQ(spanOf(r), Span(5, 5));
    EXPECT_EQ(f.requestPos(), consuming ? 10u : 5u);
    ZtFlowPacket::drop(r);
  }
  EXPECT_TRUE(f.isEmpty());
  {  // the flag goes with copies: the producer's loop asks it every cycle
    ZtFlow copy(f), assigned;
    assigned = f;
    EXPECT_TRUE(copy.readRemovesPacket() && assigned.readRemovesPacket());
  }

  ZtFlowDataPacket* only = dp(100, 8);
  f.write(only);
  at = 100;
  ZtFlowPacket* r = f.read(at);
  EXPECT_EQ(r, only);
  EXPECT_EQ(r->refCount(), 1u);
  ZtFlowPacket::drop(r);

  ZtFlowDataPacket* shared = dp(200, 8);
  shared->incRef();
  f.write(shared);
  at = 200;
  r = f.read(at);
  ASSERT_NE(r, nullptr);
  EXPECT_NE(r, shared);
  EXPECT_EQ(spanOf(r), Span(200, 8));
  EXPECT_EQ(shared->refCount(), 1u);  // ours; the list let go of its own
  EXPECT_TRUE(f.isEmpty());
  ZtFlowPacket::drop(r);
  ZtFlowPacket::drop(shared);

  // An empty packet (a marker) where the held data ends is found all the same.
  ZtFlowBase l;
  l.add(dp(0, 10));
  l.add(dp(10, 0));
  at = 10;
  r = l.read(at);
  EXPECT_TRUE(r && r->size() == 0);
  ZtFlowPacket::drop(r);
  // Through its base view a flow shows what is still staged.
  ZtFlow g;
  ZtFlowBase& view = g;
  g.writeNonBlocking(dp(0, 10));
  EXPECT_TRUE(view.locate(5));
  g.writeNonBlocking(dp(10, 10));
  EXPECT_EQ(view.size(), 20u);
}

// The hooks run where the races are: between the consumer's look at the list
// and the closing of its gate, and between the producer's sleep test and the
// closing of its gate.
ZtFlow* gHookFlow = nullptr;
bool kickWhileDeciding(void*) { return gHookFlow->kick(), true; }
bool writeWhileDeciding(void*) { return gHookFlow->writeNonBlocking(dp(4, 4)), true; }
bool readWhileDeciding(void* u) {
  if (fromUnit(u)->asked++ != 0) return false;
  unsigned int at = 999;
  ZtFlowPacket::drop(gHookFlow->read(at));
  return true;
}

// A lost kick hangs the thread: the flow is then left to it, not destroyed.
TEST_F(FlowTest, KicksAndReadsThatComeWhileASideDecidesAreNotLost) {
  gHookFlow = new ZtFlow;
  ZtFlow& f = *gHookFlow;
  FakeUnit cons, prod;
  zktest::BoundedThread t([&] {
    f.consumer(asUnit(&cons));
    unsigned int at = 0;
    for (ZtFlow::TestFn hook : {&kickWhileDeciding, &writeWhileDeciding}) {
      f.sleepConsumerTestFn(hook);
      f.write(dp(at, 4));
      ZtFlowPacket::drop(f.read(at));
      EXPECT_FALSE(f.outputIsClosed());  // the kick or write keeps it open
      at += 4;
    }
    f.sleepConsumerTestFn(nullptr);
    f.consumer(nullptr);
    f.producer(asUnit(&prod));
    f.sleepProducerTestFn(&readWhileDeciding);
    f.write(dp(10, 4));  // would hang if the gate closed after that read
    EXPECT_EQ(prod.asked.load(), 2);
  });
  ASSERT_TRUE(t.join(10));
  delete gHookFlow;
}

// ------------------------------------------------------- gates, threaded

class FlowThreadTest : public zktest::LiveTest {};

// The stage's publish of a write against the consumer's closing of its gate,
// run through the window many times: the consumer's sleep test (between its
// look at the list and the closing) hands the turn to the producer and then
// waits a little longer each round, so that the closing sweeps across the
// producer's write. A write that the closing misses, and whose writer misses
// the closing, leaves the consumer asleep with data waiting: its next read
// never returns, and the producer's bounded wait for the next turn fails.
// While it waits, the consumer reads the producer's line (droppedUnread()
// shares it with the stage's count), as its closing does: the producer's
// publish then waits in its store buffer for the line while it loads the
// gate's flag, the window this sweeps. It needs both processors: its ctest
// entry runs alone (RUN_SERIAL).
std::atomic<unsigned> gTurn{0};
bool handTurnOver(void*) {
  const unsigned t = gTurn.fetch_add(1, std::memory_order_seq_cst) + 1;
  for (unsigned i = 0; i <= t % 16; ++i) (void)gHookFlow->droppedUnread(), ZtSpinLock::relax();
  return true;
}

TEST_F(FlowThreadTest, AWriteRacingTheConsumersClosingIsNeverMissed) {
  const unsigned rounds = static_cast<unsigned>(zktest::scaled(1000000, 50));
  ZtFlow f;
  gHookFlow = &f;
  FakeUnit cons;
  f.consumer(asUnit(&cons));
  f.readRemovesPacket(true);
  f.sleepConsumerTestFn(&handTurnOver);
  gTurn = 0;
  std::atomic<unsigned> got{0};
  std::atomic<bool> quit{false};
  f.write(dp(0, 1));
  zktest::BoundedThread consumer([&] {
    for (unsigned int at = 0; at < rounds && !quit;) {
      if (ZtFlowPacket* p = f.read(at)) {
        at += p->size();
        ZtFlowPacket::drop(p);
        got = at;
      }
    }
  });
  // Rounds for at most 8 s (a miss shows within seconds of the two threads
  // running side by side); a round whose turn does not come in 5 s is stuck.
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::seconds(8);
  unsigned k = 1;
  bool stuck = false;
  for (; k < rounds && !stuck && Clock::now() < end; ++k) {
    const auto giveUp = Clock::now() + std::chrono::seconds(5);
    for (unsigned spin = 0; gTurn.load() < k && !(stuck = Clock::now() > giveUp); ++spin)
      if (spin > 1000) std::this_thread::yield();
    for (unsigned i = 0; i < k / 16 % 16; ++i) ZtSpinLock::relax();
    if (!stuck) f.write(dp(k, 1));
  }
  EXPECT_FALSE(stuck) << "the consumer slept through write " << got.load();
  if (!stuck) EXPECT_TRUE(zktest::waitFor([&] { return got.load() == k; }, 5));
  quit = true;
  f.kick();
  ASSERT_TRUE(consumer.join(10));
}

TEST_F(FlowThreadTest, SleepingProducerWaitsUntilAReadLetsItGo) {
  ZtFlow f;
  FakeUnit prod;
  prod.sleep = true;
  prod.wake = false;
  f.producer(asUnit(&prod));
  f.sleepProducerTestFn(&sleepFn);
  f.wakeProducerTestFn(&wakeFn);
  std::atomic<int> stage{0};
  zktest::BoundedThread producer([&] {
    f.write(dp(0, 10));  // the sleep test closes the gate; write waits
    stage = 1;
  });
  ASSERT_TRUE(zktest::waitFor([&] { return f.inputIsClosed(); }));
  // A read that returns a packet while the wake test says no keeps it waiting.
  unsigned int at = 0;
  ZtFlowPacket* r = f.read(at);
  ASSERT_NE(r, nullptr);
  ZtFlowPacket::drop(r);
  EXPECT_TRUE(f.inputIsClosed());
  EXPECT_EQ(stage.load(), 0);
  prod.wake = true;
  ZtFlowPacket::drop(f.read(at));
  ASSERT_TRUE(producer.join(10));
  EXPECT_FALSE(f.inputIsClosed());

  // One that finds nothing wakes it whatever the wake test says.
  prod.wake = false;
  zktest::BoundedThread again([&] { f.write(dp(10, 10)); });
  ASSERT_TRUE(zktest::waitFor([&] { return f.inputIsClosed(); }));
  at = 500;
  EXPECT_EQ(f.read(at), nullptr);
  ASSERT_TRUE(again.join(10));
}

}  // namespace
