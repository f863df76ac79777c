// The flow fork: its rate check and messages, its copies, and a running fork
// feeding two consumers.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "common/flowtasks.h"
#include "common/testutil.h"
#include "kernel/flow/flow.h"
#include "kernel/flow/flowfork.h"

namespace {

using zktest::LogCapture;
using zktest::Rate;
using zktest::SinkTask;
using zktest::SourceTask;
using zktest::waitFor;

// The log lines a rate check wrote, as "line:text".
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
  EXPECT_STREQ(fork.name(), "ZtFlowFork");
  EXPECT_EQ(std::memcmp(fork.shortName, "ZtFlowFo", 8), 0);
  EXPECT_FALSE(fork.ratesMatch);

  {  // 1000, 0, 500: one not started, one not matching, each logged once
    LogCapture log;
    o0.requestDataRate(1000);
    o2.requestDataRate(500);
    ZtFlowRequestRate r;
    fork.taskRateInfo(r);
    EXPECT_FALSE(fork.ratesMatch);
    EXPECT_FALSE(fork.taskStart());
    EXPECT_EQ(r.dataRate(), 1000u);
    EXPECT_EQ(forkLines(log), (std::vector<std::string>{
                                  "81:flow fork output task not started",
                                  "86:flow fork output task rates do not match"}));
  }
  {  // all 1000: the request a fork makes
    LogCapture log;
    o1.requestDataRate(1000);
    o2.requestDataRate(1000);
    ZtFlowRequestRate r;
    fork.taskRateInfo(r);
    EXPECT_TRUE(fork.ratesMatch);
    EXPECT_TRUE(fork.taskStart());
    EXPECT_EQ(r.duration().raw(), 13107);
    EXPECT_EQ(r.rate().raw(), 327685);
    EXPECT_EQ(r.durationMin().raw(), 6553);
    EXPECT_EQ(r.durationMax().raw(), 32768);
    EXPECT_EQ(r.dataRate(), 1000u);
    EXPECT_TRUE(log.entries().empty());
  }
  {  // output 0 not started: logged, and nothing else changes
    LogCapture log;
    o0.requestDataRate(0);
    ZtFlowRequestRate r;
    r.dataRate(77);
    fork.taskRateInfo(r);
    EXPECT_TRUE(fork.ratesMatch);  // as the last check left it
    EXPECT_EQ(r.dataRate(), 77u);
    EXPECT_EQ(r.duration().raw(), 13107);
    EXPECT_EQ(forkLines(log),
              (std::vector<std::string>{"74:flow fork primary output task not started"}));
  }
  {  // no outputs: nothing logged, never matched
    LogCapture log;
    ZtFlow lone;
    ZtFlowFork bare(&lone, nullptr);
    ZtFlowRequestRate r;
    bare.taskRateInfo(r);
    EXPECT_FALSE(bare.ratesMatch);
    EXPECT_EQ(r.dataRate(), 0u);
    EXPECT_TRUE(log.entries().empty());
    EXPECT_FALSE(bare.start());
  }
}

TEST_F(FlowFork, FiveOutputsKeepFourAndCopiesAreDistinct) {
  ZtFlow in, o[5];
  ZtFlowFork fork(&in, &o[0], &o[1], &o[2], &o[3], &o[4], nullptr);
  EXPECT_EQ(fork.inputCount(), 1u);
  EXPECT_EQ(in.consumer(), &fork);
  EXPECT_EQ(fork.outputCount(), 4u);
  EXPECT_EQ(o[3].producer(), &fork);
  EXPECT_EQ(o[4].producer(), nullptr);

  // The handler, called as the loop would: one copy per output, each at
  // that output's own position, sharing the stored bytes.
  fork.flowPosOut(1, 500);
  ZtFlowDataPacket* p = zktest::makeDataPacket(9, 0, 64);
  p->incRef();  // the loop's reference
  p->pos(1234);
  ZtFlowPacket* table[4] = {p, nullptr, nullptr, nullptr};
  EXPECT_EQ(fork.taskHandleFlow(1, 2, table, &ZtFlowTask::flowEmitter), 0u);
  ZtFlowPacket* c0 = o[0].first();
  ZtFlowPacket* c1 = o[1].first();
  ASSERT_NE(c0, nullptr);
  ASSERT_NE(c1, nullptr);
  EXPECT_NE(c0, c1);
  EXPECT_NE(c0, static_cast<ZtFlowPacket*>(p));
  EXPECT_EQ(c0->pos(), 0u);
  EXPECT_EQ(c1->pos(), 500u);
  EXPECT_EQ(c0->size(), 64u);
  EXPECT_EQ(c1->size(), 64u);
  EXPECT_EQ(static_cast<ZtFlowDataPacket*>(c0)->data(), p->data());
  EXPECT_EQ(static_cast<ZtFlowDataPacket*>(c1)->data(), p->data());
  EXPECT_EQ(c0->refCount(), 1u);  // the flow's only
  EXPECT_EQ(fork.flowPosOut(0), 64u);
  EXPECT_EQ(fork.flowPosOut(1), 564u);
  EXPECT_TRUE(o[2].isEmpty());
  ZtFlowPacket::drop(p);
}

TEST_F(FlowFork, FeedsTwoConsumersEveryByte) {
  LogCapture quiet;
  ZtFlow in, out0, out1;
  Rate r;  // 100000 bytes a second, packets of 1000
  auto source = std::make_unique<SourceTask>(&in, r, 11, 0, false);
  auto fork = std::make_unique<ZtFlowFork>(&in, &out0, &out1, nullptr);
  auto sink0 = std::make_unique<SinkTask>(&out0, r);
  auto sink1 = std::make_unique<SinkTask>(&out1, r);
  ASSERT_TRUE(sink0->start());
  ASSERT_TRUE(sink1->start());
  ASSERT_TRUE(fork->start());
  EXPECT_TRUE(fork->ratesMatch);
  EXPECT_EQ(in.requestDataRate(), 100000u);  // the consumers' rate, passed up
  ASSERT_TRUE(source->start());

  const uint64_t want = zktest::scaled(300000, 4);
  ASSERT_TRUE(waitFor([&] { return source->made.load() >= want; }, 60));
  source->stop();
  ASSERT_TRUE(waitFor([&] { return fork->done() && sink0->done() && sink1->done(); }, 30));

  const uint64_t made = source->made.load();
  EXPECT_EQ(sink0->bytes[0].size(), made);
  EXPECT_EQ(sink1->bytes[0].size(), made);
  EXPECT_TRUE(zktest::isPattern(sink0->bytes[0], 11));
  EXPECT_TRUE(zktest::isPattern(sink1->bytes[0], 11));
  EXPECT_EQ(sink0->badMarkup.load() + sink1->badMarkup.load(), 0);
  EXPECT_EQ(fork->rateInfo().duration().raw(), 13107);
  EXPECT_EQ(fork->rateInfo().rate().raw(), 327685);
  EXPECT_EQ(fork->rateInfo().dataRate(), 100000u);
  fork.reset();
}

TEST_F(FlowFork, RefusesToStartWhenConsumersDisagree) {
  {
    LogCapture log;
    ZtFlow in, out0, out1;
    Rate fast, slow;
    slow.dataRate = 50000;
    auto sink0 = std::make_unique<SinkTask>(&out0, fast);
    auto sink1 = std::make_unique<SinkTask>(&out1, slow);
    auto fork = std::make_unique<ZtFlowFork>(&in, &out0, &out1, nullptr);
    ASSERT_TRUE(sink0->start());
    ASSERT_TRUE(sink1->start());
    EXPECT_FALSE(fork->start());
    EXPECT_FALSE(fork->started());
    EXPECT_TRUE(fork->done());
    EXPECT_EQ(log.count("flow fork output task rates do not match"), 1u);
    // The refused fork ran and was stopped: its consumers saw the end.
    ASSERT_TRUE(waitFor([&] { return sink0->done() && sink1->done(); }));
    EXPECT_EQ(sink0->stops.load() + sink1->stops.load(), 2);
  }
  {
    LogCapture log;
    ZtFlow in, out0, out1;
    Rate r;
    auto sink0 = std::make_unique<SinkTask>(&out0, r);
    auto sink1 = std::make_unique<SinkTask>(&out1, r);  // never started
    auto fork = std::make_unique<ZtFlowFork>(&in, &out0, &out1, nullptr);
    ASSERT_TRUE(sink0->start());
    EXPECT_FALSE(fork->start());
    EXPECT_EQ(log.count("flow fork output task not started"), 1u);
    ASSERT_TRUE(waitFor([&] { return sink0->done(); }));
    fork.reset();
  }
}

}  // namespace
