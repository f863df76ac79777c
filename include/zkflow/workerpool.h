// SPDX-License-Identifier: Apache-2.0
// zkflow::WorkerPool<Job, Result>: N workers that take jobs from one shared
// input; each job is done exactly once, by one worker, and its result is
// posted to the pool's results mailbox with the name of the worker that did
// it ("worker 0", "worker 1", ...).
//
//   zkflow::WorkerPool<int, long> pool(4, [](int& n) { return long(n) * n; },
//                                      zkflow::ResultOrder::Submission);
//   for (int i = 0; i < 100; ++i) pool.submit(i);
//   pool.close();
//   while (auto r = pool.results().wait(1.0)) use(r->message, r->from);
//
// Results come in order of completion (as each worker finishes) or of
// submission (a result waits until those of the jobs submitted before it
// have been posted).
//
// Thread safety: submit() and close() from any thread; results() is a
// Mailbox with one reader. The work function runs on the workers' threads,
// several at once: it must be safe to call concurrently. Whatever a thread
// did before submit() is visible to the worker that takes the job, and what
// the worker did is visible to the reader that gets its result.
//
// Ownership and end: the pool owns its jobs until done and its threads. The
// destructor closes the input and waits for every job submitted to be done
// (a job that never returns keeps it waiting), then joins the workers.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zkflow/mailbox.h"

namespace zkflow {

enum class ResultOrder { Completion, Submission };

template <class Job, class Result>
class WorkerPool {
 public:
  using Work = std::function<Result(Job&)>;

  // `workers` threads (at least 1) running `work`; results go to a mailbox
  // without a limit, so a worker never waits for the reader.
  WorkerPool(unsigned workers, Work work, ResultOrder order = ResultOrder::Completion)
      : work_(std::move(work)), order_(order), results_(0) {
    for (unsigned i = 0; i < (workers ? workers : 1); ++i)
      threads_.emplace_back([this, i] { serve(results_.sender("worker " + std::to_string(i))); });
  }
  ~WorkerPool() {
    close();
    for (std::thread& t : threads_) t.join();
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues a job; false once the pool is closed.
  bool submit(Job job) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (closed_) return false;
    jobs_.emplace_back(submitted_++, std::move(job));
    jobReady_.notify_one();
    return true;
  }
  // No more jobs: the workers end once the input is empty.
  void close() {
    std::lock_guard<std::mutex> hold(mutex_);
    closed_ = true;
    jobReady_.notify_all();
  }
  Mailbox<Result>& results() { return results_; }

 private:
  void serve(const typename Mailbox<Result>::Sender& me) {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      jobReady_.wait(hold, [this] { return closed_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // closed and drained
      std::pair<uint64_t, Job> job = std::move(jobs_.front());
      jobs_.pop_front();
      hold.unlock();
      Result r = work_(job.second);
      hold.lock();
      if (order_ == ResultOrder::Completion) {
        me.post(std::move(r));
        continue;
      }
      // Post this result and those it held back, in submission order. Under
      // the lock, so that two workers never post out of turn.
      waiting_.emplace(job.first, std::make_pair(std::move(r), me));
      for (auto it = waiting_.find(posted_); it != waiting_.end(); it = waiting_.find(++posted_)) {
        it->second.second.post(std::move(it->second.first));
        waiting_.erase(it);
      }
    }
  }

  const Work work_;
  const ResultOrder order_;
  Mailbox<Result> results_;
  std::vector<std::thread> threads_;

  // State below is guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable jobReady_;
  std::deque<std::pair<uint64_t, Job>> jobs_;
  bool closed_ = false;
  uint64_t submitted_ = 0;
  uint64_t posted_ = 0;  // results in submission order posted so far
  std::map<uint64_t, std::pair<Result, typename Mailbox<Result>::Sender>> waiting_;
};

}  // namespace zkflow
