// The live DOT description of a running graph: it must name every task and
// flow reachable from what it is given, and its buffered figures must agree
// with the flows themselves.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/testutil.h"
#include "host/zsys.h"
#include "kernel/flow/flow.h"
#include "kernel/flow/flowfork.h"
#include "kernel/flow/flowgraph.h"
#include "kernel/flow/flowtask.h"
#include "kernel/flow/packet.h"

namespace {

constexpr unsigned kRate = 400000;

void rate(ZtFlowRequestRate& r) {
  r.duration(Utils::Time(0.01));
  r.durationMin(Utils::Time(0.005));
  r.durationMax(Utils::Time(0.05));
  r.dataRate(kRate);
}

// Not clock regulated: the flows always hold something for the picture.
struct Source : ZtFlowTask {
  Source() { virtualInput(true); }
  ~Source() override { stop(); }
  const char* taskName() const override { return "src \"quoted\""; }
  void taskRateInfo(ZtFlowRequestRate& r) override { rate(r); }
  unsigned taskHandleFlow(unsigned, unsigned outs, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    const unsigned n = in[0]->size();
    if (outs == 0 || n == 0) return 0;
    ZtProtector<ZtPacket> stored(new ZtPacket(n));
    auto* p = new ZtFlowDataPacket(stored);
    p->dSize(n);
    emit(this, 0, p);
    return 0;
  }
};

struct Sink : ZtFlowTask {
  const char* label;
  explicit Sink(const char* l) : label(l) {}
  ~Sink() override { stop(); }
  const char* taskName() const override { return label; }
  void taskRateInfo(ZtFlowRequestRate& r) override { rate(r); }
  unsigned taskHandleFlow(unsigned, unsigned, ZtFlowPacket**, ZtFlowEmitFn) override { return 0; }
};

size_t occurrences(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

class FlowGraphTest : public zktest::LiveTest {};

TEST_F(FlowGraphTest, NamesEveryTaskAndFlowReachableFromOneTask) {
  ZtFlow a, b, c;
  Source src;
  Sink left("left"), right("right");
  src.addOutput(&a);
  left.addInput(&b);
  right.addInput(&c);
  ZtFlowFork fork(&a, &b, &c, static_cast<ZtFlow*>(nullptr));
  ASSERT_TRUE(left.start());
  ASSERT_TRUE(right.start());
  ASSERT_TRUE(fork.start());
  ASSERT_TRUE(src.start());
  ASSERT_TRUE(zktest::waitFor([&] { return b.requestPos() > 0 && c.requestPos() > 0; }));

  // Given only one sink, the walk finds the whole graph.
  ZtFlowUnit* from[] = {&right};
  const std::string dot = ZtFlowGraph::dot(from, 1).c_str();
  EXPECT_EQ(dot.rfind("digraph zkflow {", 0), 0u);
  EXPECT_EQ(dot.back(), '\n');
  for (const char* name : {"src \\\"quoted\\\"", "ZtFlowFork", "left", "right"})
    EXPECT_EQ(occurrences(dot, name), 1u) << name << " in\n" << dot;
  for (const char* flow : {"flow 0\\n", "flow 1\\n", "flow 2\\n"})
    EXPECT_EQ(occurrences(dot, flow), 1u) << flow;
  EXPECT_EQ(occurrences(dot, " -> "), 3u);
  EXPECT_EQ(occurrences(dot, "running"), 4u);
  EXPECT_NE(dot.find(std::to_string(kRate) + " B/s"), std::string::npos);

  src.stop();
  for (ZtFlowTask* t : std::initializer_list<ZtFlowTask*>{&fork, &left, &right})
    ASSERT_TRUE(zktest::waitFor([&] { return t->done(); })) << t->taskName();

  // At rest the figures can be checked against the flows: what lies ahead
  // of a consumer is part of what the flow holds.
  ZtFlowUnit* all[] = {&src, &fork, &left, &right, nullptr};
  const std::string still = ZtFlowGraph::dot(all, 5).c_str();
  EXPECT_EQ(occurrences(still, "done"), 4u) << still;
  for (ZtFlow* f : {&a, &b, &c}) {
    unsigned gap = 0;
    const unsigned ahead = f->nextGap(f->requestPos(), gap, true) - f->requestPos();
    EXPECT_LE(ahead, f->size());
    char figures[64];
    std::snprintf(figures, sizeof figures, "%u B ahead, %u B held", ahead, f->size());
    EXPECT_NE(still.find(figures), std::string::npos) << figures << " in\n" << still;
  }
}

TEST_F(FlowGraphTest, EmptyAndBadInput) {
  const std::string empty = ZtFlowGraph::dot(nullptr, 3).c_str();
  EXPECT_NE(empty.find("digraph zkflow {"), std::string::npos);
  EXPECT_EQ(occurrences(empty, " -> "), 0u);
  EXPECT_FALSE(ZtFlowGraph::writeDot(nullptr, nullptr, 0));
  EXPECT_FALSE(ZtFlowGraph::writeDot("/nonexistent-dir/x.dot", nullptr, 0));
}

}  // namespace
