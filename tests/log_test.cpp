// SPDX-License-Identifier: Apache-2.0
// Utils::Log: what a sink receives, the exact default line on standard
// error, and sinks fed and replaced while threads log.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>

#include "common/testutil.h"
#include "zkflow/host/log.h"

namespace {

Utils::Log* theLog() { return Utils::Log::theLog(); }

TEST(LogTest, SinkFieldsAndTheDefaultLine) {
  {
    zktest::LogCapture capture;
    theLog()->print(Utils::MsgWarning, "flow", -1, "flowtask.cpp", 321, "Flow Dropout %lf", 0.25);
    const auto e = capture.entries();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].messageClass, 2);
    EXPECT_EQ(e[0].category, "flow");
    EXPECT_EQ(e[0].level, -1);
    EXPECT_EQ(e[0].file, "flowtask.cpp");
    EXPECT_EQ(e[0].line, 321u);
    EXPECT_EQ(e[0].text, "Flow Dropout 0.250000");
  }  // the capture's end sets a null sink: back to the default line
  testing::internal::CaptureStderr();
  theLog()->print(Utils::MsgFault, "flow", -3, "queuetask.cpp", 88, "%s waiting", "worker");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[flow] class 0 level -3 queuetask.cpp:88: worker waiting\n");
}

TEST(LogTest, NullTextsAndLongMessages) {
  zktest::LogCapture capture;
  theLog()->print(Utils::MsgNotice, nullptr, 0, nullptr, 0, nullptr);
  theLog()->print(Utils::MsgNotice, "flow", 0, "f", 1, "%s", std::string(10000, 'z').c_str());
  const auto e = capture.entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].category + e[0].file + e[0].text, "");
  EXPECT_EQ(e[1].text, std::string(4095, 'z'));
}

// Every message of two threads arrives whole with its own fields; once sink()
// returns, the old sink is never called again (its closure could be freed).
TEST(LogTest, ThreadsLogWhileTheSinkIsReplaced) {
  const int perThread = static_cast<int>(zktest::scaled(2000));
  {
    zktest::LogCapture capture;
    ASSERT_TRUE(zktest::runTogether(2, [perThread](int id) {
      for (int i = 0; i < perThread; ++i) theLog()->print(Utils::MsgNotice, "flow", id, "f", i, "t%d m%d", id, i);
    }));
    std::set<std::string> texts;
    for (const auto& e : capture.entries()) {
      EXPECT_EQ(e.text, "t" + std::to_string(e.level) + " m" + std::to_string(e.line));
      texts.insert(e.text);
    }
    EXPECT_EQ(texts.size(), static_cast<size_t>(2 * perThread));
  }
  std::atomic<long> calls[2] = {0, 0};
  auto count = [](void* c, const Utils::LogRecord&) { static_cast<std::atomic<long>*>(c)->fetch_add(1); };
  std::atomic<bool> stop{false};
  theLog()->sink(count, &calls[0]);
  zktest::BoundedThread logger([&] {
    while (!stop) theLog()->print(Utils::MsgNotice, "flow", 0, "f", 1, "tick");
  });
  EXPECT_TRUE(zktest::waitFor([&] { return calls[0] > 10; }));
  theLog()->sink(count, &calls[1]);
  const long settled = calls[0];
  EXPECT_TRUE(zktest::waitFor([&] { return calls[1] > 10; }));
  stop = true;
  ASSERT_TRUE(logger.join());
  theLog()->sink(nullptr, nullptr);
  EXPECT_EQ(calls[0].load(), settled);
}

}  // namespace
