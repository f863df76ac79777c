// SPDX-License-Identifier: Apache-2.0
// The live DOT description of a running graph: it names every task and flow
// reachable from what it is given, and its buffered figures agree with the
// flows themselves.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/flowtasks.h"
#include "common/testutil.h"
#include "zkflow/flow/flowfork.h"
#include "zkflow/graphdot.h"
#include "zkflow/metrics.h"
#include "zkflow/trace.h"

namespace {

// Not clock regulated: the flows always hold something for the picture.
struct Quoted : zktest::SourceTask {
  explicit Quoted(ZtFlow* out) : SourceTask(out, zktest::Rate{400000}, 0, 0, false) {}
  ~Quoted() override { stop(); }
  const char* taskName() const override { return "src \"quoted\""; }
};

size_t occurrences(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

class FlowGraphTest : public zktest::LiveTest {};

TEST_F(FlowGraphTest, NamesEveryTaskAndFlowReachableFromOneTask) {
  zktest::LogCapture quiet;
  ZtFlow a, b, c;
  Quoted src(&a);
  zktest::SinkTask left(&b, zktest::Rate{400000}), right(&c, zktest::Rate{400000});
  ZtFlowFork fork(&a, &b, &c, static_cast<ZtFlow*>(nullptr));
  zkflow::enableMetrics(true);
  ASSERT_TRUE(left.start() && right.start() && fork.start() && src.start());
  zkflow::enableMetrics(false);
  ASSERT_TRUE(zktest::waitFor([&] { return b.requestPos() > 0 && c.requestPos() > 0; }));
  ZtFlowUnit* from[] = {&right};  // one sink: the walk finds the whole graph
  const std::string dot = zkflow::graphDot(from, 1);
  EXPECT_EQ(dot.rfind("digraph zkflow {", 0), 0u);
  EXPECT_EQ(dot.back(), '\n');
  EXPECT_EQ(occurrences(dot, "src \\\"quoted\\\""), 1u) << dot;
  EXPECT_EQ(occurrences(dot, "ZtFlowFork"), 1u);
  EXPECT_EQ(occurrences(dot, "TestSink"), 2u);
  for (const char* flow : {"flow 0\\n", "flow 1\\n", "flow 2\\n"}) EXPECT_EQ(occurrences(dot, flow), 1u) << flow;
  EXPECT_EQ(occurrences(dot, " -> "), 3u);
  EXPECT_EQ(occurrences(dot, "running"), 4u);
  EXPECT_EQ(occurrences(dot, " slow steps"), 4u);  // every task shows its stage metrics
  EXPECT_NE(dot.find("400000 B/s"), std::string::npos);

  src.stop();
  ASSERT_TRUE(zktest::waitFor([&] { return fork.done() && left.done() && right.done(); }));
  // At rest the figures can be checked against the flows.
  ZtFlowUnit* all[] = {&src, &fork, &left, &right, nullptr};
  const std::string still = zkflow::graphDot(all, 5);
  EXPECT_EQ(occurrences(still, "done"), 4u) << still;
  for (ZtFlow* f : {&a, &b, &c}) {
    char figures[64];
    std::snprintf(figures, sizeof figures, "%u B ahead, %u B held", zktest::bufferedOn(f), f->size());
    EXPECT_NE(still.find(figures), std::string::npos) << figures << " in\n" << still;
  }
}

TEST_F(FlowGraphTest, EmptyAndBadInput) {
  const std::string empty = zkflow::graphDot(nullptr, 3);
  EXPECT_NE(empty.find("digraph zkflow {"), std::string::npos);
  EXPECT_EQ(occurrences(empty, " -> "), 0u);
  EXPECT_FALSE(zkflow::writeGraphDot(nullptr, nullptr, 0));
  EXPECT_FALSE(zkflow::writeGraphDot("/nonexistent-dir/x.dot", nullptr, 0));
  EXPECT_TRUE(zkflow::graphMetrics(nullptr, 3).stages.empty());
  EXPECT_FALSE(zkflow::writeTrace("/nonexistent-dir/x.json") || zkflow::writeTrace(nullptr));
}

}  // namespace
