// SPDX-License-Identifier: Apache-2.0
// The flow fork's rate check and the exact lines it logs. Running forks,
// their copies and their consumers are the flow soak's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/testutil.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowfork.h"

namespace {

using zktest::LogCapture;

// The lines a rate check wrote, as "line:text".
std::vector<std::string> forkLines(const LogCapture& log) {
  std::vector<std::string> out;
  for (const auto& e : log.entries()) {
    EXPECT_EQ(e.messageClass, 0);
    EXPECT_EQ(e.category, "flow");
    EXPECT_EQ(e.level, -3);
    EXPECT_EQ(e.file, "kernel/flow/flowfork");
    out.push_back(std::to_string(e.line) + ":" + e.text);
  }
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
       {"81:flow fork output task not started", "86:flow fork output task rates do not match"}},
      {{1000, 1000, 1000}, true, 1000, {}},
      // Output 0 not started: logged, and nothing else changes.
      {{0, 1000, 1000}, true, 77, {"74:flow fork primary output task not started"}},
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

}  // namespace
