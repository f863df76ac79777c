// SPDX-License-Identifier: Apache-2.0
// The flow fork: its rate check and the exact lines it logs, its copies, and a
// running fork feeding two consumers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/flowtasks.h"
#include "common/testutil.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowfork.h"
#include "zkflow/graphdot.h"
#include "zkflow/metrics.h"

namespace {

using zktest::LogCapture;
using zktest::Rate;
using zktest::SinkTask;
using zktest::SourceTask;
using zktest::waitFor;

// The lines a rate check wrote.
std::vector<std::string> forkLines(const LogCapture& log) {
  std::vector<std::string> out;
  for (const auto& e : log.entries()) out.push_back(e.category + ": " + e.text);
  return out;
}

class FlowFork : public zktest::LiveTest {};

TEST_F(FlowFork, RateCheckAndItsMessages) {
  ZtFlow in, o0, o1, o2;
  ZtFlowFork fork(&in, &o0, &o1, &o2, nullptr);
  struct Step {
    unsigned int rates[3];
    bool match;
    unsigned int dataRate;  // what the request says after the check
    std::vector<std::string> lines;
  } steps[] = {
      {{1000, 0, 500}, false, 1000,
       {"flow: flow fork output task not started", "flow: flow fork output task rates do not match"}},
      {{1000, 1000, 1000}, true, 1000, {}},
      // Output 0 not started: logged, and nothing else changes.
      {{0, 1000, 1000}, true, 77, {"flow: flow fork primary output task not started"}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.rates[0] + s.rates[1] + s.rates[2]);
    LogCapture log;
    o0.requestDataRate(s.rates[0]);
    o1.requestDataRate(s.rates[1]);
    o2.requestDataRate(s.rates[2]);
    ZtFlowRequestRate r;
    r.dataRate(77);
    fork.taskRateInfo(r);
    EXPECT_EQ(fork.ratesMatch, s.match);
    EXPECT_EQ(r.dataRate(), s.dataRate);
    EXPECT_EQ(forkLines(log), s.lines);
    if (s.rates[0] == s.rates[2]) {  // the request a fork makes
      EXPECT_TRUE(fork.taskStart());
      EXPECT_EQ(r.duration().raw(), 13107);
      EXPECT_EQ(r.rate().raw(), 327685);
      EXPECT_EQ(r.durationMin().raw(), 6553);
      EXPECT_EQ(r.durationMax().raw(), 32768);
    }
  }
}

// Makes its first 3000 bytes, then nothing until `gate` holds a consumer.
struct GatedSource : SourceTask {
  GatedSource(ZtFlow* out, const zktest::Latch& gate) : SourceTask(out, Rate{}, 11, 400000, false), gate(gate) {}
  ~GatedSource() override { stop(); }
  unsigned int taskHandleFlow(unsigned int n, unsigned int o, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    if (made.load() >= 3000 && !gate.entered.load()) return in[0]->clipSize(0), 0;
    return SourceTask::taskHandleFlow(n, o, in, emit);
  }
  const zktest::Latch& gate;
};

// A running fork whose second consumer stalls, under each policy of that
// output. Block holds the fork (and so its source) back at durationMax and
// loses nothing. Trim lets the fork run on, keeps the output within its
// window, counts what it drops and logs it once for the episode, and the
// consumer, let go, crosses the hole and reads the rest. The first consumer
// gets every byte either way. A third keeps up beside them, so that the
// stalled output is not the fork's last (the metrics add up every output).
TEST_F(FlowFork, OutputPolicyWhileAConsumerStalls) {
  using Policy = ZtFlowTask::OutputPolicy;
  for (Policy policy : {Policy::Block, Policy::Trim}) {
    SCOPED_TRACE(policy == Policy::Block ? "Block" : "Trim");
    LogCapture log;
    zktest::Latch latch;
    ZtFlow in, out0, out1, out2;
    Rate r;  // 100000 bytes a second, packets of 1000
    GatedSource source(&in, latch);  // the rest once the consumer has stalled
    ZtFlowFork fork(&in, {&out0, &out1, &out2});
    fork.outputPolicy(1, policy);
    SinkTask sink0(&out0, r), sink2(&out2, r);
    zktest::StallSink sink1(&out1, r, &latch);
    ASSERT_TRUE(sink0.start() && sink1.start() && sink2.start() && fork.start());
    EXPECT_EQ(in.requestDataRate(), 100000u);  // the consumers' rate, passed up
    ASSERT_TRUE(source.start());
    if (policy == Policy::Block) {
      // durationMax is 0.5 s, 50000 bytes: held there, and the packet over it.
      ASSERT_TRUE(waitFor([&] { return out1.inputIsClosed() && zktest::bufferedOn(&out1) > 50000; }));
      EXPECT_LE(zktest::bufferedOn(&out1), 51000u);
      EXPECT_LT(source.made.load(), 100000u);
    } else {
      // The window of 1 s (100000 bytes and the packet over it), the last
      // cycle's copies (0.2 s) and the end.
      ASSERT_TRUE(waitFor([&] { return fork.done(); }));
      EXPECT_TRUE(out1.size() >= 100000u && out1.size() <= 122001u) << out1.size();
      EXPECT_EQ(log.count("ZtFlowFork output 1 overrun: dropped "), 1u);
      ZtFlowUnit* units[] = {&fork};
      EXPECT_NE(zkflow::graphDot(units, 1).find(" B overrun"), std::string::npos);
      // Of every output: the third may overrun too when the machine is slow.
      for (const zkflow::StageMetrics& m : zkflow::graphMetrics(units, 1).stages)
        if (m.name == "ZtFlowFork") EXPECT_EQ(m.overrunBytes, fork.overrunBytes(0) + fork.overrunBytes(1) + fork.overrunBytes(2));
    }
    latch.open = true;
    ASSERT_TRUE(waitFor([&] { return fork.done() && sink0.done() && sink1.done() && sink2.done(); }, 30));
    EXPECT_EQ(sink0.bytes[0].size(), source.made.load());
    EXPECT_TRUE(zktest::isPattern(sink0.bytes[0], 11));
    EXPECT_EQ(sink1.received[0].load() + fork.overrunBytes(1), source.made.load());
    EXPECT_EQ(fork.overrunBytes(1) == 0, policy == Policy::Block);
  }
}

}  // namespace
