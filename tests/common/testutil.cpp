// SPDX-License-Identifier: Apache-2.0
#include "common/testutil.h"
#include "zkflow/host/simtime.h"
#include "zkflow/host/zsys.h"

#include <condition_variable>

namespace zktest {

bool sanitized() {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

long scaled(long n, long div) {
  if (!sanitized()) return n;
  long r = n / div;
  return r < 1 ? 1 : r;
}

double cpuSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct BoundedThread::State {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
};

BoundedThread::BoundedThread(std::function<void()> fn) : state_(std::make_shared<State>()) {
  thread_ = std::thread([s = state_, fn = std::move(fn)] {
    fn();
    std::lock_guard<std::mutex> hold(s->mu);
    s->done = true;
    s->cv.notify_all();
  });
}

BoundedThread::~BoundedThread() {
  if (thread_.joinable()) {
    if (!join()) ADD_FAILURE() << "thread did not finish; left detached";
  }
}

bool BoundedThread::join(double seconds) {
  if (!thread_.joinable()) return true;
  std::unique_lock<std::mutex> hold(state_->mu);
  const bool ok = state_->cv.wait_for(hold, std::chrono::duration<double>(seconds),
                                      [&] { return state_->done; });
  hold.unlock();
  if (ok) {
    thread_.join();
  } else {
    thread_.detach();
  }
  return ok;
}

bool waitFor(const std::function<bool()>& cond, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    // On the simulated clock a spin would hold time still; a nap lets it move.
    if (zkflow::simulatedTime()) {
      ZIF_Sleep(0.01);
    } else {
      std::this_thread::yield();
    }
  }
  return true;
}

LiveCount::LiveCount() : blocks_(Utils::Allocator::defaultAllocator()->liveBlocks()) {}

int64_t LiveCount::now() const { return Utils::Allocator::defaultAllocator()->liveBlocks(); }

void LiveCount::expectBack(double seconds) const {
  waitFor([&] { return now() == blocks_; }, seconds);
  EXPECT_EQ(now(), blocks_) << "allocator live blocks differ from the start of the test";
}

LogCapture::LogCapture() { Utils::Log::theLog()->sink(&LogCapture::sink, this); }

LogCapture::~LogCapture() { Utils::Log::theLog()->sink(nullptr, nullptr); }

void LogCapture::sink(void* self, const Utils::LogRecord& r) {
  auto* c = static_cast<LogCapture*>(self);
  std::lock_guard<std::mutex> hold(c->mu_);
  c->entries_.push_back({r.messageClass, r.category, r.level, r.file, r.line, r.text});
}

std::vector<LogCapture::Entry> LogCapture::entries() const {
  std::lock_guard<std::mutex> hold(mu_);
  return entries_;
}

size_t LogCapture::count(const std::string& text) const {
  std::lock_guard<std::mutex> hold(mu_);
  size_t n = 0;
  for (const auto& e : entries_)
    if (e.text.find(text) != std::string::npos) ++n;
  return n;
}

}  // namespace zktest
