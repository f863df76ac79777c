// SPDX-License-Identifier: Apache-2.0
// Stage metrics and the trace timeline, on one small graph whose every
// figure is known in advance: a source makes 20 packets of 10 ms of data, a
// pass-through takes 12 ms over each (slower than real time), a fork hands
// them to two sinks.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <map>
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

struct SlowPass : zktest::PassTask {
  using PassTask::PassTask;
  ~SlowPass() override { stop(); }
  const char* taskName() const override { return "SlowPass"; }
  unsigned int taskHandleFlow(unsigned int n, unsigned int o, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    ZIF_Sleep(kSlow);
    return PassTask::taskHandleFlow(n, o, in, emit);
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
// the snapshot is taken once every task is done.
zkflow::GraphMetrics runGraph() {
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
  ZtFlowUnit* all[] = {&src, &slow, &fork, &left, &right};
  return zkflow::graphMetrics(all, 5);
}

class ObserveTest : public zktest::LiveTest {};

TEST_F(ObserveTest, SnapshotAgreesWithWhatEachStageDid) {
  ASSERT_TRUE(zkflow::metricsEnabled());
  const zkflow::GraphMetrics m = runGraph();
  struct Row {
    const char* name;
    bool source;
    bool slow;
    bool sink;
    uint64_t cycles;  // a packet's worth each; the fork's is 0.2 s, a sink's its whole run
  };
  const Row rows[] = {{"TestSource", true, false, false, kPackets},
                      {"SlowPass", false, true, false, kPackets},
                      {"ZtFlowFork", false, false, false, 1},
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
    // Busy time leaves waits out: the sinks wait about 12 ms for each packet.
    EXPECT_GT(s.stepTime.mean, 0.0);
    if (row->slow) EXPECT_GE(s.stepTime.mean, kSlow);
    if (!row->slow) EXPECT_LT(s.stepTime.mean, kSlow / 2);
    if (row->sink) EXPECT_GT(s.inputWaitSeconds, kPackets * kSlow / 2);
    // Each packet's data is made by the source and is at least 12 ms old by
    // the end of the slow step and every step after it.
    EXPECT_EQ(s.latency.count, row->source ? 0u : kPackets);
    if (!row->source) EXPECT_GE(s.latency.mean, kSlow);
    // Only the slow stage takes longer than its data lasts; a fast one may
    // be preempted now and then.
    if (row->slow) EXPECT_EQ(s.overruns, s.steps);
    if (!row->slow) EXPECT_LE(s.overruns, kPackets / 4);
    EXPECT_EQ(s.cycles, row->cycles);
    EXPECT_EQ(s.cycleTime.count, s.cycles);
    // Inputs that have ended keep what was seen on them.
    ASSERT_EQ(s.inputs.size(), row->source ? 0u : 1u);
    if (row->source) continue;
    EXPECT_DOUBLE_EQ(s.inputs[0].mostSeconds, s.inputs[0].mostBytes / 1e5);
    // The source runs up to its durationMax (5,000 bytes) ahead of the slow stage.
    if (row->slow) EXPECT_GE(s.inputs[0].mostBytes, 2 * kPacket);
  }
  const std::string json = zkflow::toJson(m);
  EXPECT_NE(json.find("\"name\":\"SlowPass\",\"task\":true,\"measured\":true"), std::string::npos) << json;
  EXPECT_NE(json.find("\"overruns\":20"), std::string::npos);
}

// Just enough JSON to read a trace: objects become maps of their members'
// text (nested values kept as text), arrays lists of their elements' text.
struct Json {
  const char* p;
  bool ok = true;
  void ws() {
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  }
  std::string value() {
    ws();
    const char* from = p;
    if (*p == '{' || *p == '[') {
      const char close = *p == '{' ? '}' : ']';
      ++p;
      for (ws(); *p != close && ok; ws()) {
        if (close == '}') {
          ok = *p == '"';
          value();
          ws();
          ok = ok && *p++ == ':';
        }
        value();
        ws();
        if (*p == ',') ++p;
        else ok = ok && *p == close;
      }
      ++p;
    } else if (*p == '"') {
      for (++p; *p && *p != '"'; ++p)
        if (*p == '\\') ++p;
      ok = ok && *p++ == '"';
    } else {
      char* end;
      std::strtod(p, &end);
      if (end == p) ok = ok && (!std::string(p, 4).compare("true") || !std::string(p, 5).compare("false"));
      p = end != p ? end : p + (*p == 't' ? 4 : 5);
    }
    return std::string(from, p);
  }
  static std::map<std::string, std::string> object(const std::string& text) {
    std::map<std::string, std::string> m;
    Json j{text.c_str() + 1};
    for (j.ws(); *j.p == '"'; j.ws()) {
      const std::string key = j.value();
      j.ws();
      ++j.p;
      m[key.substr(1, key.size() - 2)] = j.value();
      j.ws();
      if (*j.p == ',') ++j.p;
    }
    return m;
  }
  static std::vector<std::string> array(const std::string& text) {
    std::vector<std::string> v;
    Json j{text.c_str() + 1};
    for (j.ws(); *j.p && *j.p != ']'; j.ws()) {
      v.push_back(j.value());
      j.ws();
      if (*j.p == ',') ++j.p;
    }
    return v;
  }
};

TEST_F(ObserveTest, TraceParsesAndHoldsEachTasksEvents) {
  zkflow::startTrace();
  runGraph();
  zkflow::stopTrace();
  const std::string text = zkflow::traceJson();
  zkflow::clearTrace();
  Json parser{text.c_str()};
  parser.value();
  parser.ws();
  ASSERT_TRUE(parser.ok && *parser.p == 0) << text.substr(0, 2000);

  // Events by task and name; thread rows by name.
  std::map<std::string, std::map<std::string, int>> seen;
  std::map<std::string, std::string> rowOf;  // tid -> thread name
  std::map<std::string, std::string> taskRow;
  for (const std::string& e : Json::array(Json::object(text)["traceEvents"])) {
    auto ev = Json::object(e);
    auto args = Json::object(ev["args"]);
    if (ev["ph"] == "\"M\"") {
      if (ev["name"] == "\"thread_name\"") rowOf[ev["tid"]] = args["name"];
      continue;
    }
    const std::string task = args["task"];
    seen[task][ev["name"]]++;
    if (ev["name"] == "\"step\"") taskRow[task] = ev["tid"];
    EXPECT_TRUE(ev["ph"] == "\"X\"" ? std::atof(ev["dur"].c_str()) >= 0 : ev["ph"] == "\"i\"") << e;
  }
  for (const char* task : {"\"TestSource\"", "\"SlowPass\"", "\"ZtFlowFork\"", "\"TestSink\""}) {
    SCOPED_TRACE(task);
    const int copies = std::string(task) == "\"TestSink\"" ? 2 : 1;
    auto& n = seen[task];
    EXPECT_EQ(n["\"step\""], copies * static_cast<int>(kPackets));
    EXPECT_EQ(n["\"end of flow sent\""], copies);
    EXPECT_EQ(rowOf[taskRow[task]], task);  // a loop's thread is named after its task
    if (std::string(task) == "\"TestSource\"") continue;
    EXPECT_EQ(n["\"end of flow\""], copies);
    EXPECT_GT(n["\"wait: input empty\""], 0);
  }
  EXPECT_GT(seen["\"TestSource\""]["\"wait: output full\""], 0);
  EXPECT_EQ(seen["\"SlowPass\""]["\"cycle\""], static_cast<int>(kPackets));
  EXPECT_EQ(seen["\"Worker\""]["\"handle\""], 4);  // 3 packets and the stop's wake-up
}

}  // namespace
