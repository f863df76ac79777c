// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the tests: threads whose join has a deadline, a check
// that the allocator's live counts come back, a log capture, and a bounded
// wait for a condition.
#pragma once

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zkflow/host/allocator.h"
#include "zkflow/host/log.h"
#include "zkflow/testing.h"

namespace zktest {

// True under ThreadSanitizer or AddressSanitizer: tests shrink their work.
bool sanitized();
// `n`, or n / div (at least 1) in a sanitizer build.
long scaled(long n, long div = 10);
// The processor seconds a clock has counted (this thread's by default).
double cpuSeconds(clockid_t clock = CLOCK_THREAD_CPUTIME_ID);

// A thread whose join gives up after a deadline. A test whose thread does not
// finish fails instead of hanging; the thread is then left detached (the
// process is about to fail anyway) rather than joined forever.
class BoundedThread {
 public:
  explicit BoundedThread(std::function<void()> fn);
  ~BoundedThread();
  // True when the thread finished within `seconds`.
  bool join(double seconds = 30.0);

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::thread thread_;
};

// Polls `cond` until it holds or `seconds` pass; returns whether it held.
// For observing state another thread publishes, not for ordering: the code
// under test must still synchronise itself.
bool waitFor(const std::function<bool()>& cond, double seconds = 10.0);

// Records the allocator's live blocks at construction; expectBack() fails the
// test when they differ (waiting a bounded time for threads that are winding
// down to free what they hold).
class LiveCount {
 public:
  LiveCount();
  int64_t start() const { return blocks_; }
  int64_t now() const;
  void expectBack(double seconds = 5.0) const;

 private:
  int64_t blocks_;
};

// A fixture for tests that make library objects: the test fails when the
// allocator's live blocks at its end differ from its start. TearDown runs
// after the test body's locals are gone, so the body needs no scope of its
// own; `live` stays at hand for checks in the middle of a test.
class LiveTest : public ::testing::Test {
 protected:
  void TearDown() override { live.expectBack(); }
  LiveCount live;
};

// The same for a parameterised test.
template <class T>
class LiveParamTest : public LiveTest, public ::testing::WithParamInterface<T> {};

// Captures every log message while it lives.
class LogCapture {
 public:
  struct Entry {
    int messageClass;
    std::string category;
    int level;
    std::string file;
    unsigned line;
    std::string text;
  };
  LogCapture();
  ~LogCapture();
  std::vector<Entry> entries() const;
  // How many captured messages contain `text`.
  size_t count(const std::string& text) const;

 private:
  static void sink(void* self, const Utils::LogRecord& r);
  mutable std::mutex mu_;
  std::vector<Entry> entries_;
};

}  // namespace zktest
