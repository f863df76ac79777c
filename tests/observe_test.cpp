// SPDX-License-Identifier: Apache-2.0
// Stage metrics and the trace timeline, on one small graph whose every
// figure is known in advance: a source makes 20 packets of 10 ms of data, a
// pass-through takes 12 ms over each (slower than real time), a fork hands
// them to two sinks.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/flowtasks.h"
#include "common/testutil.h"
#include "zkflow/flow/flowfork.h"
#include "zkflow/flow/queuetask.h"
#include "zkflow/host/zsys.h"
#include "zkflow/metrics.h"
#include "zkflow/trace.h"

namespace {

constexpr unsigned kPackets = 20;
constexpr unsigned kPacket = 1000;  // 10 ms at the tasks' 100,000 B/s
constexpr double kSlow = 0.012;

// Passes each packet on, kSlow seconds late (the first one 4 times that).
struct SlowPass : zktest::CountingTask {
  SlowPass(ZtFlow* in, ZtFlow* out, const zktest::Rate& r) : CountingTask(r) {
    addInput(in);
    addOutput(out);
  }
  ~SlowPass() override { stop(); }
  const char* taskName() const override { return "SlowPass"; }
  unsigned int taskHandleFlow(unsigned int n, unsigned int, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    ZIF_Sleep(calls++ ? kSlow : 4 * kSlow);
    if (n == 0 || !in[0]) return 0;
    in[0]->pos(0);
    unsigned int at = 0;
    ZtFlowPacket* copy = in[0]->readAt(at);
    emit(this, 0, copy);
    ZtFlowPacket::drop(copy);
    return 0;
  }
};

struct Worker : ZtQueueTask {
  Worker() : ZtQueueTask(false) {}
  ~Worker() override { stop(); }
  void taskHandlePacket(zk::AP<ZtQueuePacket>& p, Queue*) override { handled += p ? 1 : 0; }
  const char* taskName() override { return "Worker"; }
  std::atomic<int> handled{0};
};

// Runs the graph to its end (and, beside it, a queue task through 3 packets);
// the snapshot is taken once every task is done. `seconds`: how long it ran.
zkflow::GraphMetrics runGraph(double* seconds = nullptr) {
  const Utils::Time began = ZtClock::timeNow();
  ZtFlow a, b, c, d;
  zktest::Rate rate;
  zktest::SourceTask src(&a, rate, 1, kPackets * kPacket, false);
  SlowPass slow(&a, &b, rate);
  zktest::SinkTask left(&c, rate), right(&d, rate);
  ZtFlowFork fork(&b, &c, &d, static_cast<ZtFlow*>(nullptr));
  Worker worker;
  ZtQueueTask::Queue q;
  worker.in(&q);
  EXPECT_TRUE(left.start() && right.start() && fork.start() && slow.start() && src.start() && worker.start());
  for (int k = 0; k < 3; ++k) {
    zk::AP<ZtQueuePacket> p(new ZtQueuePacket);
    q.push(p);
  }
  EXPECT_TRUE(zktest::waitFor([&] { return left.done() && right.done() && worker.handled == 3; }));
  worker.stop();
  if (seconds) *seconds = (ZtClock::timeNow() - began).seconds();
  ZtFlowUnit* all[] = {&src, &slow, &fork, &left, &right};
  return zkflow::graphMetrics(all, 5);
}

class ObserveTest : public zktest::LiveTest {};

TEST_F(ObserveTest, SnapshotAgreesWithWhatEachStageDid) {
  ASSERT_FALSE(zkflow::metricsEnabled());
  zkflow::enableMetrics(true);
  double seconds = 0;
  const zkflow::GraphMetrics m = runGraph(&seconds);
  zkflow::enableMetrics(false);
  struct Row {
    const char* name;
    bool source, slow, sink;
    // A packet's worth each (the fork's 0.2 s, a sink's its whole run), and
    // for a consumer one more that meets the end of its input.
    uint64_t cycles;
  };
  const Row rows[] = {{"TestSource", true, false, false, kPackets},
                      {"SlowPass", false, true, false, kPackets + 1},
                      {"ZtFlowFork", false, false, false, 2},
                      {"TestSink", false, false, true, 1}};
  ASSERT_EQ(m.stages.size(), 5u);
  for (const zkflow::StageMetrics& s : m.stages) {
    SCOPED_TRACE(s.name);
    const Row* row = nullptr;
    for (const Row& r : rows)
      if (s.name == r.name) row = &r;
    ASSERT_TRUE(row && s.task && s.measured);
    EXPECT_EQ(s.dataRate, 100000u);
    EXPECT_EQ(s.steps, kPackets);
    EXPECT_EQ(s.bytes, kPackets * kPacket);
    EXPECT_EQ(s.stepTime.count, s.steps);
    EXPECT_LE(s.stepTime.p99, s.stepTime.max);
    // Busy time and waits share the run between them (the sinks wait about
    // 12 ms for each packet); a preempted step is busy all the same.
    EXPECT_GT(s.stepTime.mean, 0.0);
    EXPECT_LE(s.stepTime.mean * static_cast<double>(s.steps) + s.inputWaitSeconds + s.outputWaitSeconds, seconds);
    if (row->slow) EXPECT_GE(s.stepTime.mean, kSlow);
    if (row->sink) EXPECT_GT(s.inputWaitSeconds, kPackets * kSlow / 2);
    // Each packet's data is made by the source and is at least 12 ms old by
    // the end of the slow step and every step after it.
    EXPECT_EQ(s.latency.count, row->source ? 0u : kPackets);
    if (!row->source) EXPECT_GE(s.latency.mean, kSlow);
    // The slow stage takes longer than its data lasts (a fast one may too,
    // when it is preempted).
    if (row->slow) EXPECT_EQ(s.slowSteps, s.steps);
    if (row->slow) EXPECT_LT(s.stepTime.p99, s.stepTime.max);  // the long first step is past the 99th percentile
    EXPECT_EQ(s.cycles, row->cycles);
    EXPECT_EQ(s.cycleTime.count, s.cycles);
    // Inputs that have ended keep what was seen on them.
    ASSERT_EQ(s.inputs.size(), row->source ? 0u : 1u);
    if (row->source) continue;
    EXPECT_DOUBLE_EQ(s.inputs[0].mostSeconds, s.inputs[0].mostBytes / 1e5);
    // The source runs up to its durationMax (5,000 bytes) ahead of the slow stage.
    if (row->slow) EXPECT_GE(s.inputs[0].mostBytes, kPacket);
  }
  const std::string json = zkflow::toJson(m);
  EXPECT_NE(json.find("\"name\":\"SlowPass\",\"task\":true,\"measured\":true"), std::string::npos) << json;
  EXPECT_NE(json.find("\"slow_steps\":20"), std::string::npos);
}

// Steps over one JSON value; false at the first thing that is not JSON.
bool skipValue(const char*& p) {
  const auto ws = [&] { while (std::isspace(static_cast<unsigned char>(*p))) ++p; };
  ws();
  if (*p == '{' || *p == '[') {
    const char close = *p++ == '{' ? '}' : ']';
    for (ws(); *p != close; ws()) {
      if (close == '}' && !(*p == '"' && skipValue(p) && (ws(), *p++ == ':'))) return false;
      if (!skipValue(p)) return false;
      ws();
      if (*p == ',') ++p, ws();
      else if (*p != close) return false;
    }
    return ++p, true;
  }
  if (*p == '"') {
    for (++p; *p && *p != '"'; ++p) p += *p == '\\';
    return *p++ == '"';
  }
  for (const char* word : {"true", "false", "null"})
    if (std::strncmp(p, word, std::strlen(word)) == 0) return p += std::strlen(word), true;
  char* end;
  std::strtod(p, &end);
  return end != p && (p = end, true);
}

// The raw text of a member of the one-line event `e` ("" when missing).
std::string member(const std::string& e, const std::string& key) {
  const size_t at = e.find("\"" + key + "\":");
  if (at == std::string::npos) return "";
  const char* from = e.c_str() + at + key.size() + 3;
  const char* to = from;
  return skipValue(to) ? std::string(from, to) : "";
}

TEST_F(ObserveTest, TraceParsesAndHoldsEachTasksEvents) {
  zkflow::startTrace();
  runGraph();
  zkflow::stopTrace();
  const std::string text = zkflow::traceJson();
  zkflow::clearTrace();
  const char* p = text.c_str();
  ASSERT_TRUE(skipValue(p) && std::strspn(p, " \n") == std::strlen(p)) << text.substr(0, 2000);

  // The writer puts one event on a line: count them by task and name.
  std::map<std::string, std::map<std::string, int>> seen;
  std::map<std::string, std::string> rowName, taskRow;  // tid -> thread name, task -> tid of its steps
  std::istringstream lines(text);
  for (std::string e; std::getline(lines, e);) {
    if (e.rfind("{\"name\":", 0) != 0) continue;
    const std::string name = member(e, "name"), ph = member(e, "ph"), tid = member(e, "tid");
    if (name == "\"thread_name\"") rowName[tid] = member(member(e, "args"), "name");
    if (ph == "\"M\"") continue;
    EXPECT_TRUE(ph == "\"i\"" || (ph == "\"X\"" && std::atof(member(e, "dur").c_str()) >= 0)) << e;
    const std::string task = member(e, "task");
    seen[task][name]++;
    if (name == "\"step\"") taskRow[task] = tid;
  }
  for (const std::string task : {"\"TestSource\"", "\"SlowPass\"", "\"ZtFlowFork\"", "\"TestSink\""}) {
    SCOPED_TRACE(task);
    const int copies = task == "\"TestSink\"" ? 2 : 1;
    auto& n = seen[task];
    EXPECT_EQ(n["\"step\""], copies * static_cast<int>(kPackets));
    EXPECT_EQ(n["\"end of flow sent\""], copies);
    EXPECT_EQ(rowName[taskRow[task]], task);  // a loop's thread is named after its task
    if (task == "\"TestSource\"") continue;
    EXPECT_EQ(n["\"end of flow\""], copies);
    EXPECT_GT(n["\"wait: input empty\""], 0);
  }
  EXPECT_GT(seen["\"TestSource\""]["\"wait: output full\""], 0);
  EXPECT_EQ(seen["\"SlowPass\""]["\"cycle\""], static_cast<int>(kPackets) + 1);
  EXPECT_EQ(seen["\"Worker\""]["\"handle\""], 4);  // 3 packets and the stop's wake-up
  zkflow::startTrace(1), runGraph(), zkflow::stopTrace();  // room for one event a thread: the rest are counted
  EXPECT_EQ(zkflow::traceJson().find("\"dropped_events\":0}"), std::string::npos);
  zkflow::clearTrace();
}

}  // namespace
