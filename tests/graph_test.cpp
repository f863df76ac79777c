// SPDX-License-Identifier: Apache-2.0
// The zkflow layer where the examples cannot show it: graphs destroyed in
// any state and order, stop deadlines, connect errors, mailbox policies.
// The data path (formats, frames, forks, files) is checked by the examples.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "common/testutil.h"
#include "zkflow/elements.h"
#include "zkflow/graph.h"
#include "zkflow/mailbox.h"

namespace {

const zkflow::Format kStereo = zkflow::Format::int16(2, 48000);

zkflow::Stage* endless(zkflow::Graph& g) {
  return g.source<int16_t>("endless", kStereo, [](zkflow::Context&, zkflow::Span<int16_t> out) { return out.size(); });
}

// A graph left at any point, its stages added in either order, is destroyed
// within the destructor's deadline and gives back every block.
TEST(Graph, DestroyedInAnyStateAndOrder) {
  enum Left { Built, Started, Ended, StuckSink };
  for (const Left left : {Built, Started, Ended, StuckSink}) {
    for (const bool sinkFirst : {false, true}) {
      SCOPED_TRACE(testing::Message() << "left " << left << (sinkFirst ? ", sink added first" : ""));
      zktest::LiveCount live;
      std::atomic<bool> release{false}, stuck{false};
      zktest::BoundedThread scope([&] {
        zkflow::Graph g;
        zkflow::Stage* sink = nullptr;
        auto addSink = [&] {
          sink = g.sink<int16_t>("sink", [&, left](zkflow::Context&, zkflow::Span<const int16_t>) {
            while (left == StuckSink && !release.load()) stuck = true, std::this_thread::yield();
          });
        };
        if (sinkFirst) addSink();
        zkflow::Stage* src = left == Ended ? zkflow::tone(g, kStereo, 440, 0.5, 4800) : endless(g);
        if (!sinkFirst) addSink();
        ASSERT_EQ(g.connect(src, sink), zkflow::Error::None);
        if (left != Built) ASSERT_EQ(g.start(), zkflow::Error::None);
        if (left == Ended) ASSERT_TRUE(g.wait(10));
        if (left == StuckSink) {
          ASSERT_TRUE(zktest::waitFor([&] { return stuck.load(); }));
          const std::vector<zkflow::Straggler> late = g.stop(0.2);
          ASSERT_EQ(late.size(), 1u);
          EXPECT_EQ(late[0].name, "sink");
          EXPECT_FALSE(late[0].waitingAt.empty());
          release = true;
        }
      });
      EXPECT_TRUE(scope.join(zkflow::Graph::kDestroySeconds + 5));
      live.expectBack();
    }
  }
}

// A transform that sends seven calls' worth at once makes packets that its
// consumer reads in pieces cut through frames (6 bytes each): the stage puts
// every frame back together, in order. A level meter beside it reports up
// to the last frame, past its last full period.
TEST(Graph, FramesCutAcrossPackets) {
  const zkflow::Format three = zkflow::Format::int16(3, 48000);
  const int16_t frames = 30000;
  zkflow::Graph g;
  zkflow::Stage* src = g.source<int16_t>("count", three, [&](zkflow::Context& ctx, zkflow::Span<int16_t> out) {
    const auto n = std::min<std::size_t>(out.size() / 3, static_cast<std::size_t>(frames - ctx.frame()));
    for (std::size_t i = 0; i < n * 3; ++i) out[i] = static_cast<int16_t>(ctx.frame() + i / 3);
    if (ctx.frame() + n == static_cast<uint64_t>(frames)) ctx.end();
    return n * 3;
  });
  std::vector<int16_t> held;
  zkflow::Stage* batch = g.transform<int16_t>("batch", [&](zkflow::Context& ctx, zkflow::Span<const int16_t> in) {
    held.insert(held.end(), in.begin(), in.end());
    if (held.size() < 7 * in.size() && held.size() < frames * 3u - ctx.frame() * 3) return;
    std::copy(held.begin(), held.end(), ctx.output<int16_t>(held.size()).begin());
    held.clear();
  });
  int16_t next = 0, wrong = 0;
  zkflow::Stage* check = g.sink<int16_t>("check", [&](zkflow::Context&, zkflow::Span<const int16_t> in) {
    for (std::size_t i = 0; i < in.size(); i += 3) wrong += in[i] != next || in[i + 2] != next, ++next;
  });
  ASSERT_EQ(g.connect(src, batch), zkflow::Error::None);
  ASSERT_EQ(g.connect(batch, check), zkflow::Error::None);
  zkflow::Mailbox<zkflow::Level> levels(1, zkflow::WhenFull::DropOldest);  // keeps the last
  ASSERT_EQ(g.connect(src, zkflow::levelMeter(g, levels.sender("meter"))), zkflow::Error::None);
  ASSERT_EQ(g.run(), zkflow::Error::None);
  EXPECT_EQ(next, frames);
  const auto last = levels.poll();
  EXPECT_TRUE(last && last->message.frame == static_cast<uint64_t>(frames)) << (last ? last->message.frame : 0);
  EXPECT_EQ(wrong, 0);
}

TEST(Graph, ConnectErrors) {
  zkflow::Graph g, other;
  zkflow::Stage* src = endless(g);
  zkflow::Stage* t1 = g.transform<int16_t>("t1", [](zkflow::Context&, zkflow::Span<const int16_t>) {});
  zkflow::Stage* t2 = g.transform<int16_t>("t2", [](zkflow::Context&, zkflow::Span<const int16_t>) {});
  zkflow::Stage* floats = g.sink<float>("floats", [](zkflow::Context&, zkflow::Span<const float>) {});
  zkflow::Stage* mono = g.sink<int16_t>("mono", [](zkflow::Context&, zkflow::Span<const int16_t>) {}, {zkflow::SampleType::Any, 1, 0});
  zkflow::Stage* sinks[5];
  for (zkflow::Stage*& s : sinks) s = zkflow::nullSink(g);
  ASSERT_EQ(g.connect(src, t1), zkflow::Error::None);
  const struct {
    zkflow::Stage *from, *to;
    zkflow::Error e;
  } rows[] = {
      {src, nullptr, zkflow::Error::NullStage},     {src, nullSink(other), zkflow::Error::NotInGraph},
      {floats, t2, zkflow::Error::NoOutput},        {t1, src, zkflow::Error::NoInput},
      {t2, t1, zkflow::Error::InputTaken},          {t2, floats, zkflow::Error::FormatUnknown},
      {src, floats, zkflow::Error::FormatMismatch}, {src, mono, zkflow::Error::FormatMismatch},
      {t1, t2, zkflow::Error::None},
      {src, sinks[0], zkflow::Error::None},         {src, sinks[1], zkflow::Error::None},
      {src, sinks[2], zkflow::Error::None},         {src, sinks[3], zkflow::Error::TooManyOutputs},
  };
  for (const auto& r : rows) EXPECT_EQ(g.connect(r.from, r.to), r.e) << zkflow::errorText(r.e);
  EXPECT_EQ(g.start(), zkflow::Error::Unconnected);  // t2 has no consumer, floats no producer
}

// Offline, a fork waits for its slowest consumer, and stop() stops the
// source only: every frame made reaches both sinks.
TEST(Graph, StopAndForkLoseNothingOffline) {
  std::atomic<uint64_t> made{0}, got[2] = {0, 0};  // frames
  zkflow::Graph g;
  zkflow::Stage* src = g.source<int16_t>("count", kStereo, [&](zkflow::Context& ctx, zkflow::Span<int16_t> out) {
    return made = ctx.frame() + out.size() / 2, out.size();
  });
  for (int k = 0; k < 2; ++k)
    ASSERT_EQ(g.connect(src, g.sink<int16_t>("sink", [&, k](zkflow::Context&, zkflow::Span<const int16_t> in) {
      got[k] += in.size() / 2;
      if (k) std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the second falls behind
    })), zkflow::Error::None);
  ASSERT_EQ(g.start(), zkflow::Error::None);
  ASSERT_TRUE(zktest::waitFor([&] { return made > kStereo.frames(3.0); }));
  EXPECT_LT(made - got[1], kStereo.frames(1.0));  // held back by the slow one
  EXPECT_TRUE(g.stop(10).empty());
  for (const auto& n : got) EXPECT_EQ(n.load(), made.load());
}

// A stage that calls ctx.fail() ends the run with StageFailed.
TEST(Graph, FailedStageFailsTheRun) {
  zkflow::Graph g;
  zkflow::Stage* src = g.source<int16_t>("fails", kStereo, [](zkflow::Context& ctx, zkflow::Span<int16_t>) { return ctx.fail("x"), std::size_t{0}; });
  ASSERT_EQ(g.connect(src, zkflow::nullSink(g)), zkflow::Error::None);
  EXPECT_EQ(g.run(), zkflow::Error::StageFailed);
}

// Three posts into room for two, under each policy, then two polls and one
// more: which messages arrive, and what each counter says.
TEST(Mailbox, PoliciesAndCounters) {
  const struct {
    zkflow::WhenFull whenFull;
    int first, second;  // the two messages delivered
    bool thirdAccepted;
    zkflow::MailboxCounters c;
  } rows[] = {
      {zkflow::WhenFull::Block, 1, 2, true, {3, 3, 0, 0, 1}},
      {zkflow::WhenFull::DropOldest, 2, 3, true, {3, 2, 1, 0, 0}},
      {zkflow::WhenFull::Refuse, 1, 2, false, {2, 2, 0, 1, 0}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.whenFull));
    zkflow::Mailbox<int> box(2, r.whenFull);
    auto a = box.sender("a"), b = box.sender("b");
    EXPECT_TRUE(a.post(1));
    EXPECT_TRUE(b.post(2));
    std::atomic<bool> third{false};
    zktest::BoundedThread poster([&] { third = a.post(3); });
    if (r.whenFull == zkflow::WhenFull::Block) EXPECT_TRUE(zktest::waitFor([&] { return box.counters().waited == 1; }));
    else EXPECT_TRUE(poster.join(10));
    auto m1 = box.wait(10), m2 = box.wait(10);
    ASSERT_TRUE(m1 && m2);
    EXPECT_EQ(m1->message, r.first);
    EXPECT_EQ(m1->from, r.first == 2 ? "b" : "a");
    EXPECT_EQ(m2->message, r.second);
    EXPECT_TRUE(poster.join(10));
    EXPECT_EQ(third.load(), r.thirdAccepted);
    if (r.thirdAccepted && r.whenFull == zkflow::WhenFull::Block) EXPECT_EQ(box.wait(10)->message, 3);
    EXPECT_FALSE(box.poll());
    const zkflow::MailboxCounters c = box.counters();
    EXPECT_EQ(c.posted, r.c.posted);
    EXPECT_EQ(c.delivered, r.c.delivered);
    EXPECT_EQ(c.dropped, r.c.dropped);
    EXPECT_EQ(c.refused, r.c.refused);
    EXPECT_EQ(c.waited, r.c.waited);
  }
}

// A sender that outlives its mailbox posts nowhere; a poster blocked on a
// full mailbox is freed when it goes.
TEST(Mailbox, SenderOutlivesMailbox) {
  auto box = std::make_unique<zkflow::Mailbox<int>>(1, zkflow::WhenFull::Block);
  auto s = box->sender("s");
  EXPECT_TRUE(s.post(1));
  std::atomic<int> blocked{-1};
  zktest::BoundedThread poster([&] { blocked = s.post(2); });
  ASSERT_TRUE(zktest::waitFor([&] { return box->counters().waited == 1; }));
  box.reset();
  EXPECT_TRUE(poster.join(10));
  EXPECT_EQ(blocked.load(), 0);
  EXPECT_FALSE(s.post(3));
}

}  // namespace
