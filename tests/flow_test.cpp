// Packet lists (ordering, hole filling, the cursor's quirks, streaming cost)
// and flows (request fields, the gate protocol single-threaded and with real
// threads). Threads synchronise by handshakes on the flow's own state; every
// wait is bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <utility>
#include <vector>

#include "common/testutil.h"
#include "kernel/flow/flow.h"
#include "kernel/flow/flowrequestrate.h"

namespace {

using Span = std::pair<unsigned int, unsigned int>;  // (pos, size)
using Spans = std::vector<Span>;

ZtFlowDataPacket* dp(unsigned int pos, unsigned int size) {
  auto* p = new ZtFlowDataPacket;
  p->pos(pos);
  p->dSize(size);
  return p;
}

// A list whose nodes and cursor the tests can see.
struct TestList : ZtFlowBase {
  Spans contents() const {
    Spans out;
    const Node* n = head;
    if (!n) return out;
    do {
      out.emplace_back(n->packet->pos(), n->packet->size());
      n = n->next;
    } while (n != head);
    return out;
  }
  Span at() const {
    return cursor ? Span(cursor->packet->pos(), cursor->packet->size()) : Span(~0u, ~0u);
  }
  // The search bookkeeping agrees with the nodes.
  void expectBookkeeping() const {
    unsigned int total = 0, zeros = 0, breaks = 0, over = 0;
    const Node* n = head;
    if (n) {
      do {
        const unsigned int end = n->packet->pos() + n->packet->size();
        total += n->packet->size();
        if (n->packet->size() == 0) ++zeros;
        if (end > endBound_) ++over;
        if (n->next != head && n->next->packet->pos() != end) ++breaks;
        // The edges a node keeps for the bookkeeping are its packet's.
        EXPECT_EQ(n->pos, n->packet->pos());
        EXPECT_EQ(n->end, end);
        n = n->next;
      } while (n != head);
    }
    EXPECT_EQ(total, size_);
    EXPECT_EQ(zeros, zeroSized_);
    EXPECT_EQ(breaks, breaks_);
    EXPECT_EQ(over, 0u);
  }
};

Span spanOf(const ZtFlowPacket* p) { return {p->pos(), p->size()}; }

// ------------------------------------------------------------------ lists

class FlowListTest : public zktest::LiveTest {};

TEST_F(FlowListTest, AddKeepsPositionOrderAndFirstComeWins) {
  TestList l;
  EXPECT_TRUE(l.isEmpty());
  ZtFlowPacket* a = dp(20, 10);
  l.add(a);
  EXPECT_EQ(l.first(), a);
  EXPECT_EQ(l.size(), 10u);
  EXPECT_EQ(a->refCount(), 1u);
  l.add(dp(0, 10));   // below the head: the new head
  l.add(dp(40, 5));   // past the end: last
  EXPECT_EQ(l.contents(), (Spans{{0, 10}, {20, 10}, {40, 5}}));
  EXPECT_EQ(l.size(), 25u);

  // 5..24 over 0..9 and 20..29: only the hole 10..19 is filled, by a new
  // piece; the packet itself comes back clipped and is not kept.
  ZtFlowDataPacket* p = dp(5, 20);
  p->incRef();
  l.add(p);
  EXPECT_EQ(l.contents(), (Spans{{0, 10}, {10, 10}, {20, 10}, {40, 5}}));
  EXPECT_EQ(l.size(), 35u);
  EXPECT_EQ(spanOf(p), Span(10, 15));
  EXPECT_EQ(p->refCount(), 1u);  // ours only
  ZtFlowPacket::drop(p);

  // The same range again: nothing inserted, no reference taken.
  ZtFlowDataPacket* again = dp(20, 10);
  again->incRef();
  l.add(again);
  EXPECT_EQ(again->refCount(), 1u);
  EXPECT_EQ(l.size(), 35u);
  ZtFlowPacket::drop(again);

  // Beginning inside held data and running past the last packet: the hole
  // 30..39 gets a piece and the part beyond the end goes last, whole.
  l.add(dp(25, 30));
  EXPECT_EQ(l.contents(), (Spans{{0, 10}, {10, 10}, {20, 10}, {30, 10}, {40, 5}, {45, 10}}));
  EXPECT_EQ(l.size(), 55u);

  // A plain packet on held data is never inserted; in a hole it is.
  ZtFlowPacket plain;
  plain.incRef();
  plain.pos(3);
  l.add(&plain);
  EXPECT_EQ(plain.refCount(), 1u);
  l.add(nullptr);
  EXPECT_EQ(l.size(), 55u);
}

TEST_F(FlowListTest, ReadCopiesFromThePositionAndMayConsumeTheWholePacket) {
  TestList l;
  l.add(dp(0, 10));
  l.add(dp(20, 10));
  unsigned int at = 5;
  ZtFlowPacket* r = l.read(at);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(spanOf(r), Span(5, 5));
  EXPECT_EQ(r->refCount(), 1u);
  EXPECT_EQ(at, 5u);
  EXPECT_EQ(l.size(), 20u);
  ZtFlowPacket::drop(r);

  at = 15;
  EXPECT_EQ(l.read(at), nullptr);  // a hole
  at = 30;
  EXPECT_EQ(l.read(at), nullptr);  // past the end

  l.readRemovesPacket(true);
  at = 25;
  r = l.read(at);
  EXPECT_EQ(spanOf(r), Span(25, 5));
  EXPECT_EQ(l.contents(), (Spans{{0, 10}}));
  EXPECT_EQ(l.size(), 10u);  // the whole packet, with the part before 25
  ZtFlowPacket::drop(r);

  // remove() hands the list's reference over and empties the circle.
  l.restart();
  ZtFlowPacket* last = l.remove();
  EXPECT_EQ(spanOf(last), Span(0, 10));
  EXPECT_TRUE(l.isEmpty());
  EXPECT_EQ(l.remove(), nullptr);
  ZtFlowPacket::drop(last);

  // A consuming read from a packet's start: when the list held the only
  // reference, the reader gets that very packet; when someone else holds
  // one too, a copy, and the holder's packet is left as it was.
  ZtFlowDataPacket* only = dp(100, 8);
  l.add(only);
  at = 100;
  r = l.read(at);
  EXPECT_EQ(r, only);
  EXPECT_EQ(r->refCount(), 1u);
  EXPECT_TRUE(l.isEmpty());
  ZtFlowPacket::drop(r);

  ZtFlowDataPacket* shared = dp(200, 8);
  shared->incRef();
  l.add(shared);
  at = 200;
  r = l.read(at);
  ASSERT_NE(r, nullptr);
  EXPECT_NE(r, shared);
  EXPECT_EQ(spanOf(r), Span(200, 8));
  EXPECT_EQ(shared->refCount(), 1u);  // ours; the list let go of its own
  EXPECT_TRUE(l.isEmpty());
  ZtFlowPacket::drop(r);
  ZtFlowPacket::drop(shared);
}

TEST_F(FlowListTest, BackwardSearchCountsAPacketEndingExactlyThere) {
  TestList l;
  l.add(dp(0, 10));
  l.add(dp(20, 10));
  ASSERT_TRUE(l.locate(25));
  EXPECT_EQ(l.at(), Span(20, 10));
  EXPECT_TRUE(l.locate(10));  // walking back from 20..29
  EXPECT_EQ(l.at(), Span(0, 10));
  EXPECT_FALSE(l.locate(10));  // walking forward from 0..9
  EXPECT_EQ(l.at(), Span(20, 10));

  ASSERT_TRUE(l.locate(25));
  unsigned int at = 10;
  ZtFlowPacket* r = l.read(at);  // a copy of 0..9 with an empty window
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->size(), 0u);
  ZtFlowPacket::drop(r);

  EXPECT_FALSE(l.locate(35));
  EXPECT_EQ(l.at(), Span(~0u, ~0u));  // past the end: no cursor
}

TEST_F(FlowListTest, NextGapFindsTheRunAndTheHoleAfterIt) {
  TestList l;
  l.add(dp(0, 10));
  l.add(dp(10, 10));
  l.add(dp(30, 10));
  unsigned int gap = 99;
  EXPECT_EQ(l.nextGap(5, gap, true), 20u);
  EXPECT_EQ(gap, 10u);
  EXPECT_EQ(l.nextGap(25, gap, true), 25u);
  EXPECT_EQ(gap, 5u);
  EXPECT_EQ(l.nextGap(35, gap, true), 40u);
  EXPECT_EQ(gap, 0u);
  EXPECT_EQ(l.nextGap(45, gap, true), 45u);
  EXPECT_EQ(gap, 0u);

  // Backward: the far edge of the hole below the run, or the first start.
  EXPECT_EQ(l.nextGap(35, gap, false), 20u);
  EXPECT_EQ(gap, 10u);
  EXPECT_EQ(l.nextGap(15, gap, false), 0u);
  EXPECT_EQ(gap, 0u);
  EXPECT_EQ(l.nextGap(25, gap, false), 25u);
  EXPECT_EQ(gap, 5u);

  // Before the first packet is treated like past the end.
  TestList single;
  single.add(dp(10, 10));
  gap = 99;
  EXPECT_EQ(single.nextGap(5, gap, true), 5u);
  EXPECT_EQ(gap, 0u);
  TestList none;
  EXPECT_EQ(none.nextGap(7, gap, true), 7u);
  EXPECT_EQ(gap, 0u);
}

TEST_F(FlowListTest, AppendTrimResetAndApply) {
  TestList l;
  unsigned int running = 100;
  l.append(dp(0, 10), &running);
  EXPECT_EQ(l.contents(), (Spans{{100, 10}}));
  EXPECT_EQ(running, 110u);
  l.append(nullptr, &running);
  EXPECT_EQ(running, 110u);
  l.append(dp(5, 5), &running);  // relative: lands at 115
  EXPECT_EQ(running, 120u);
  // -20 relative lands on held data and is not kept, yet the running
  // position still moves to the packet's end.
  ZtFlowDataPacket* held = dp(~0u - 19, 10);
  held->incRef();
  l.append(held, &running);
  EXPECT_EQ(running, 110u);
  EXPECT_EQ(held->refCount(), 1u);
  ZtFlowPacket::drop(held);
  EXPECT_EQ(l.contents(), (Spans{{100, 10}, {115, 5}}));
  l.reset();
  EXPECT_TRUE(l.isEmpty());
  EXPECT_EQ(l.size(), 0u);
  EXPECT_EQ(live.now(), live.start());  // no packet and no spare node left

  for (unsigned int p = 0; p < 40; p += 10) l.add(dp(p, 10));
  l.deleteOutsideRange(10, 20);
  EXPECT_EQ(l.contents(), (Spans{{10, 10}, {20, 10}}));
  EXPECT_EQ(l.size(), 20u);
  l.deleteOutsideRange(100, 200);  // removes the head repeatedly
  EXPECT_TRUE(l.isEmpty());

  // apply visits every packet once, in order.
  for (unsigned int p = 0; p < 50; p += 10) l.add(dp(p, 10));
  std::vector<unsigned int> seen;
  l.apply([](ZtFlowPacket* p, void* c) { static_cast<std::vector<unsigned int>*>(c)->push_back(p->pos()); },
          &seen);
  EXPECT_EQ(seen, (std::vector<unsigned int>{0, 10, 20, 30, 40}));
}

TEST_F(FlowListTest, CopiesHoldTheirOwnNodesAndReferences) {
  auto* original = new TestList;
  original->add(dp(0, 10));
  original->add(dp(20, 10));
  original->locate(25);
  TestList copy;
  static_cast<ZtFlowBase&>(copy) = *original;
  EXPECT_EQ(copy.contents(), original->contents());
  EXPECT_EQ(copy.at(), Span(20, 10));  // the cursor on the matching node
  EXPECT_EQ(copy.first()->refCount(), 2u);
  EXPECT_TRUE(copy.locate(10));  // same quirk from the same cursor
  delete original;
  EXPECT_EQ(copy.first()->refCount(), 1u);
  EXPECT_EQ(copy.size(), 20u);
  static_cast<ZtFlowBase&>(copy) = static_cast<const ZtFlowBase&>(copy);
  EXPECT_EQ(copy.size(), 20u);
}

// Random adds (overlapping, in holes, empty), appends, reads, removals and
// trims: the bookkeeping that shortcuts searches stays true throughout.
TEST_F(FlowListTest, SearchBookkeepingSurvivesAnyMixOfOperations) {
  TestList l;
  uint32_t rng = 99;
  auto next = [&rng](uint32_t n) {
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    return rng % n;
  };
  unsigned int running = 0;
  for (int step = 0; step < 3000; ++step) {
    unsigned int at = next(300);
    unsigned int gap;
    switch (next(9)) {
      case 0: case 1: {
        // Our reference across the call: what the list does not keep is
        // freed by our drop.
        ZtFlowPacket* p = dp(at, next(25));
        p->incRef();
        l.add(p);
        ZtFlowPacket::drop(p);
        break;
      }
      case 2: {
        ZtFlowPacket* p = dp(next(3), 1 + next(20));
        p->incRef();
        l.append(p, &running);
        ZtFlowPacket::drop(p);
        break;
      }
      case 3: {
        l.readRemovesPacket(next(2) == 0);
        ZtFlowPacket::drop(l.read(at));
        break;
      }
      case 4: ZtFlowPacket::drop(l.remove()); break;
      case 5: l.deleteOutsideRange(at, at + next(200)); break;
      case 6: l.nextGap(at, gap, next(2) == 0); break;
      case 7: l.locate(at); break;
      case 8: if (next(20) == 0) { running = 0; l.reset(); } break;
    }
    l.expectBookkeeping();
    if (HasFailure()) {
      ADD_FAILURE() << "after step " << step;
      break;
    }
  }
}

// Counts the list's size() calls: the list's own steps per operation.
std::atomic<long> gSizeCalls{0};
struct CountingPacket : ZtFlowDataPacket {
  unsigned int size() const override {
    gSizeCalls.fetch_add(1, std::memory_order_relaxed);
    return ZtFlowDataPacket::size();
  }
};

TEST_F(FlowListTest, StreamingCostsAConstantNumberOfStepsPerPacket) {
  constexpr long kPackets = 4000;
  constexpr long kStepsPerPacket = 12;
  {
    // The stream starts just below 2^32 and runs across the wrap.
    constexpr unsigned int kStart = ~0u - 5000;
    TestList l;
    unsigned int running = kStart;
    gSizeCalls = 0;
    unsigned int gap;
    for (long i = 0; i < kPackets; ++i) {
      auto* p = new CountingPacket;
      p->dSize(1 + static_cast<unsigned int>(i % 7));
      l.append(p, &running);
      // What a producer's sleep test asks after every write.
      EXPECT_EQ(l.nextGap(kStart, gap, true), running);
    }
    EXPECT_LT(gSizeCalls.load(), kPackets * kStepsPerPacket);
    EXPECT_EQ(l.size(), running - kStart);

    gSizeCalls = 0;
    unsigned int at = kStart;
    for (long i = 0; i < kPackets; ++i) {
      ZtFlowPacket* r = l.read(at);
      ASSERT_NE(r, nullptr);
      at += r->size();
      ZtFlowPacket::drop(r);
    }
    EXPECT_EQ(at, running);  // every byte, across the wrap
    EXPECT_LT(gSizeCalls.load(), kPackets * kStepsPerPacket);

    l.readRemovesPacket(true);
    gSizeCalls = 0;
    at = kStart;
    for (long i = 0; i < kPackets; ++i) {
      ZtFlowPacket* r = l.read(at);
      ASSERT_NE(r, nullptr);
      at += r->size();
      ZtFlowPacket::drop(r);
      auto* p = new CountingPacket;
      p->dSize(3);
      l.append(p, &running);
    }
    EXPECT_LT(gSizeCalls.load(), kPackets * kStepsPerPacket);
  }
}

// ------------------------------------------------------------------ flows

// Stands in for a flow unit: the flow only hands the pointer to the tests.
struct FakeUnit {
  std::atomic<bool> sleep{false};
  std::atomic<bool> wake{true};
  std::atomic<int> asked{0};
};

ZtFlowUnit* asUnit(FakeUnit* u) { return reinterpret_cast<ZtFlowUnit*>(u); }
FakeUnit* fromUnit(void* u) { return static_cast<FakeUnit*>(u); }

bool sleepFn(void* u) {
  fromUnit(u)->asked++;
  return fromUnit(u)->sleep.load();
}
bool wakeFn(void* u) {
  fromUnit(u)->asked++;
  return fromUnit(u)->wake.load();
}

class FlowTest : public zktest::LiveTest {};

TEST_F(FlowTest, RequestFieldsAndConsumingReads) {
  ZtFlow f;
  f.write(dp(0, 10));
  unsigned int at = 5;
  ZtFlowPacket* r = f.read(at);
  EXPECT_EQ(spanOf(r), Span(5, 5));
  EXPECT_EQ(f.requestPos(), 5u);
  ZtFlowPacket::drop(r);

  f.readRemovesPacket(true);
  r = f.read(at);
  EXPECT_EQ(spanOf(r), Span(5, 5));
  EXPECT_EQ(f.requestPos(), 10u);
  EXPECT_TRUE(f.isEmpty());
  ZtFlowPacket::drop(r);

  // Without units nothing ever waits, and empty reads give null.
  EXPECT_EQ(f.read(at), nullptr);
  EXPECT_EQ(f.read(at), nullptr);
  EXPECT_FALSE(f.outputIsClosed());

  // A fresh packet the flow keeps none of is freed, not leaked.
  f.write(dp(0, 4));
  f.write(dp(1, 2));
  EXPECT_EQ(f.size(), 4u);
}

TEST_F(FlowTest, GatesCloseAndOpenAsTheProtocolSays) {
  ZtFlow f;
  FakeUnit cons, prod;
  f.consumer(asUnit(&cons));
  unsigned int at = 0;
  EXPECT_EQ(f.read(at), nullptr);
  EXPECT_TRUE(f.outputIsClosed());

  // reset() leaves the waiting consumer waiting; a forced kick opens the
  // gate even with no consumer set.
  f.add(dp(0, 10));
  f.reset();
  EXPECT_TRUE(f.outputIsClosed());
  f.consumer(nullptr);
  f.kick();
  EXPECT_FALSE(f.outputIsClosed());
  f.kick();  // on an open gate: nothing changes
  EXPECT_FALSE(f.outputIsClosed());

  // An unforced kick asks the consumer's wake test.
  f.consumer(asUnit(&cons));
  f.wakeConsumerTestFn(&wakeFn);
  EXPECT_EQ(f.read(at), nullptr);
  cons.wake = false;
  f.writeNonBlocking(dp(50, 1));
  EXPECT_TRUE(f.outputIsClosed());
  EXPECT_EQ(cons.asked.load(), 1);
  cons.wake = true;
  f.appendNonBlocking(dp(0, 1), &at);
  EXPECT_FALSE(f.outputIsClosed());

  // The producer's gate: appendAlwaysBlocking closes it without the test;
  // a read that returns a packet opens it only when the wake test agrees,
  // one that finds nothing opens it regardless.
  f.producer(asUnit(&prod));
  f.wakeProducerTestFn(&wakeFn);
  f.consumer(nullptr);
  unsigned int running = 60;
  f.appendAlwaysBlocking(dp(0, 5), &running);
  EXPECT_TRUE(f.inputIsClosed());
  prod.wake = false;
  at = 60;
  ZtFlowPacket* r = f.read(at);
  ASSERT_NE(r, nullptr);
  ZtFlowPacket::drop(r);
  EXPECT_TRUE(f.inputIsClosed());
  EXPECT_EQ(prod.asked.load(), 1);
  at = 70;
  EXPECT_EQ(f.read(at), nullptr);
  EXPECT_FALSE(f.inputIsClosed());
  EXPECT_EQ(prod.asked.load(), 1);  // not asked for an empty read

  // A producer with no sleep test is never put to sleep.
  f.write(dp(200, 1));
  EXPECT_FALSE(f.inputIsClosed());
}

// The hooks run where the races are: between the consumer's look at the
// list and the closing of its gate, and between the producer's sleep test
// and the closing of its gate.
ZtFlow* gHookFlow = nullptr;

bool kickWhileDeciding(void*) {
  gHookFlow->kick();
  return true;
}

bool readWhileDeciding(void* u) {
  if (fromUnit(u)->asked++ == 0) {
    unsigned int at = 999;
    ZtFlowPacket* r = gHookFlow->read(at);
    ZtFlowPacket::drop(r);
    return true;
  }
  return false;
}

TEST_F(FlowTest, KicksAndReadsThatComeWhileASideDecidesAreNotLost) {
  ZtFlow f;
  gHookFlow = &f;
  FakeUnit cons, prod;
  f.consumer(asUnit(&cons));
  f.sleepConsumerTestFn(&kickWhileDeciding);
  f.write(dp(0, 4));
  unsigned int at = 0;
  ZtFlowPacket* r = f.read(at);
  ZtFlowPacket::drop(r);
  EXPECT_FALSE(f.outputIsClosed());  // the kick keeps it open
  f.sleepConsumerTestFn(nullptr);
  f.consumer(nullptr);

  f.producer(asUnit(&prod));
  f.sleepProducerTestFn(&readWhileDeciding);
  f.write(dp(10, 4));  // would hang if the gate closed after that read
  EXPECT_EQ(prod.asked.load(), 2);  // asked again after the read
  EXPECT_FALSE(f.inputIsClosed());
  gHookFlow = nullptr;
}

TEST_F(FlowTest, CopiesAreDetachedSnapshots) {
  ZtFlow f;
  FakeUnit cons;
  f.consumer(asUnit(&cons));
  f.write(dp(0, 10));
  f.requestDataRate(44);
  f.readRemovesPacket(true);
  ZtFlow copy(f);
  EXPECT_EQ(copy.consumer(), nullptr);
  EXPECT_EQ(copy.size(), 10u);
  EXPECT_EQ(copy.requestDataRate(), 44u);
  EXPECT_TRUE(copy.readRemovesPacket());
  unsigned int at = 0;
  ZtFlowPacket* r = copy.read(at);
  ZtFlowPacket::drop(r);
  EXPECT_EQ(f.size(), 10u);  // the original keeps its packet

  ZtFlow target;
  target.write(dp(50, 3));
  target = f;
  EXPECT_EQ(target.size(), 10u);
  EXPECT_EQ(target.first()->pos(), 0u);
}

// ------------------------------------------------------- gates, threaded

enum class Release { Write, NullWrite, Kick };

class ConsumerReleaseTest : public zktest::LiveParamTest<Release> {};

TEST_P(ConsumerReleaseTest, ConsumerWaitingOnAnEmptyFlowIsReleased) {
  ZtFlow f;
  FakeUnit cons;
  f.consumer(asUnit(&cons));
  std::atomic<int> stage{0};
  ZtFlowPacket* got = nullptr;
  zktest::BoundedThread consumer([&] {
    unsigned int at = 0;
    EXPECT_EQ(f.read(at), nullptr);  // closes the gate
    stage = 1;
    got = f.read(at);  // waits at the gate
    stage = 2;
  });
  ASSERT_TRUE(zktest::waitFor([&] { return stage.load() == 1; }));
  // The gate is closed and only a kick opens it: the second read cannot
  // have passed yet.
  EXPECT_TRUE(f.outputIsClosed());
  EXPECT_EQ(stage.load(), 1);
  switch (GetParam()) {
    case Release::Write: f.write(dp(0, 8)); break;
    case Release::NullWrite: f.write(nullptr); break;
    case Release::Kick: f.kick(); break;
  }
  ASSERT_TRUE(consumer.join(10));
  EXPECT_EQ(stage.load(), 2);
  if (GetParam() == Release::Write) {
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(spanOf(got), Span(0, 8));
  } else {
    EXPECT_EQ(got, nullptr);  // woken without data: closed again
    EXPECT_TRUE(f.outputIsClosed());
  }
  ZtFlowPacket::drop(got);
}

INSTANTIATE_TEST_SUITE_P(Releases, ConsumerReleaseTest,
                         ::testing::Values(Release::Write, Release::NullWrite, Release::Kick));

class FlowThreadTest : public zktest::LiveTest {};

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
  EXPECT_EQ(stage.load(), 0);

  // A read that returns a packet while the wake test says no keeps the
  // producer waiting (the gate stays closed; only reads open it).
  unsigned int at = 0;
  ZtFlowPacket* r = f.read(at);
  ASSERT_NE(r, nullptr);
  ZtFlowPacket::drop(r);
  EXPECT_TRUE(f.inputIsClosed());
  EXPECT_EQ(stage.load(), 0);

  prod.wake = true;
  r = f.read(at);
  ZtFlowPacket::drop(r);
  ASSERT_TRUE(producer.join(10));
  EXPECT_EQ(stage.load(), 1);
  EXPECT_FALSE(f.inputIsClosed());

  // And one that finds nothing wakes it whatever the wake test says.
  prod.wake = false;
  zktest::BoundedThread again([&] { f.write(dp(10, 10)); });
  ASSERT_TRUE(zktest::waitFor([&] { return f.inputIsClosed(); }));
  at = 500;
  EXPECT_EQ(f.read(at), nullptr);
  ASSERT_TRUE(again.join(10));
}

TEST_F(FlowThreadTest, AppendAlwaysBlockingMakesTheNextWriteWaitForTheNextRead) {
  ZtFlow f;
  FakeUnit prod;
  f.producer(asUnit(&prod));  // no sleep test: plain writes never wait
  std::atomic<int> stage{0};
  zktest::BoundedThread producer([&] {
    unsigned int running = 0;
    f.write(dp(100, 1));
    stage = 1;
    f.appendAlwaysBlocking(dp(0, 6), &running);  // closes, returns at once
    stage = 2;
    f.write(nullptr);  // a null write still waits at a closed gate
    stage = 3;
  });
  ASSERT_TRUE(zktest::waitFor([&] { return stage.load() == 2; }));
  EXPECT_TRUE(f.inputIsClosed());
  unsigned int at = 0;
  ZtFlowPacket* r = f.read(at);  // opens the producer's gate
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(spanOf(r), Span(0, 6));
  ZtFlowPacket::drop(r);
  ASSERT_TRUE(producer.join(10));
  EXPECT_EQ(stage.load(), 3);
  EXPECT_FALSE(f.inputIsClosed());
}

}  // namespace
