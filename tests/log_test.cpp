// Utils::Log: what a sink receives, the default line on standard error, and
// sinks fed and replaced while several threads log.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>

#include "common/testutil.h"
#include "host/log.h"

namespace {

using zktest::BoundedThread;
using zktest::LogCapture;

Utils::Log* theLog() { return Utils::Log::theLog(); }

TEST(LogTest, SinkReceivesEveryField) {
  LogCapture capture;
  theLog()->print(Utils::MsgWarning, "flow", -1, "flowtask.cpp", 321, "Flow Dropout %lf", 0.25);
  theLog()->print(Utils::MsgFault, "flow", -3, "flowfork.cpp", 7,
                  "flow fork output task not started");
  const auto entries = capture.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].messageClass, 2);
  EXPECT_EQ(entries[0].category, "flow");
  EXPECT_EQ(entries[0].level, -1);
  EXPECT_EQ(entries[0].file, "flowtask.cpp");
  EXPECT_EQ(entries[0].line, 321u);
  EXPECT_EQ(entries[0].text, "Flow Dropout 0.250000");
  EXPECT_EQ(entries[1].messageClass, 0);
  EXPECT_EQ(entries[1].level, -3);
  EXPECT_EQ(entries[1].file, "flowfork.cpp");
  EXPECT_EQ(entries[1].line, 7u);
  EXPECT_EQ(entries[1].text, "flow fork output task not started");
  EXPECT_EQ(theLog(), Utils::Log::theLog());  // one process log
}

TEST(LogTest, NullTextsAndLongMessages) {
  LogCapture capture;
  theLog()->print(Utils::MsgNotice, nullptr, 0, nullptr, 0, nullptr);
  const std::string longText(10000, 'z');
  theLog()->print(Utils::MsgNotice, "flow", 0, "f", 1, "%s", longText.c_str());
  const auto entries = capture.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].category, "");
  EXPECT_EQ(entries[0].file, "");
  EXPECT_EQ(entries[0].text, "");
  EXPECT_EQ(entries[1].text, std::string(4095, 'z'));
}

TEST(LogTest, NullSinkRestoresTheDefaultLine) {
  {
    LogCapture capture;
    theLog()->print(Utils::MsgWarning, "flow", -1, "queuetask.cpp", 88, "%s waiting for too long",
                    "worker");
    EXPECT_EQ(capture.count("worker waiting for too long"), 1u);
    // The capture's destructor sets a null sink.
  }
  testing::internal::CaptureStderr();
  theLog()->print(Utils::MsgWarning, "flow", -1, "queuetask.cpp", 88, "%s waiting for too long",
                  "worker");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("worker waiting for too long"), std::string::npos) << err;
  EXPECT_NE(err.find("flow"), std::string::npos) << err;
  EXPECT_NE(err.find("queuetask.cpp:88"), std::string::npos) << err;
  EXPECT_EQ(err.back(), '\n');
  EXPECT_EQ(err.find('\n'), err.size() - 1);  // one line
}

TEST(LogTest, ManyThreadsLogIntoOneSink) {
  const int perThread = static_cast<int>(zktest::scaled(2000));
  LogCapture capture;
  ASSERT_TRUE(zktest::runTogether(2, [perThread](int id) {
    for (int i = 0; i < perThread; ++i)
      Utils::Log::theLog()->print(Utils::MsgNotice, "flow", id, "log_test.cpp", i, "t%d m%d", id, i);
  }));
  const auto entries = capture.entries();
  ASSERT_EQ(entries.size(), static_cast<size_t>(2 * perThread));
  // Every message arrived whole and with its own fields.
  std::set<std::string> texts;
  for (const auto& e : entries) {
    EXPECT_EQ(e.text, "t" + std::to_string(e.level) + " m" + std::to_string(e.line));
    texts.insert(e.text);
  }
  EXPECT_EQ(texts.size(), entries.size());
}

struct CountingSink {
  std::atomic<long> calls{0};
  static void fn(void* self, const Utils::LogRecord&) {
    static_cast<CountingSink*>(self)->calls.fetch_add(1);
  }
};

// Once sink() returns, the old sink is never called again, so its closure
// could be freed: its count must not move while the new sink keeps receiving.
TEST(LogTest, ReplacingTheSinkWhileAnotherThreadLogs) {
  CountingSink first;
  CountingSink second;
  std::atomic<bool> stop{false};
  theLog()->sink(&CountingSink::fn, &first);
  BoundedThread logger([&] {
    while (!stop.load()) theLog()->print(Utils::MsgNotice, "flow", 0, "f", 1, "tick");
  });
  EXPECT_TRUE(zktest::waitFor([&] { return first.calls.load() > 10; }));
  theLog()->sink(&CountingSink::fn, &second);
  const long settled = first.calls.load();
  EXPECT_TRUE(zktest::waitFor([&] { return second.calls.load() > 10; }));
  stop = true;
  ASSERT_TRUE(logger.join());
  theLog()->sink(nullptr, nullptr);
  EXPECT_EQ(first.calls.load(), settled);
}

}  // namespace
