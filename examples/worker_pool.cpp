// SPDX-License-Identifier: Apache-2.0
// Tutorial: a worker pool fed by several threads, results through a mailbox.
//
//   producer 0 ─┐                ┌─► worker 0 ─┐
//   producer 1 ─┼─► one input ───┼─► worker 1 ─┼─► results mailbox ──► main
//   producer 2 ─┘                └─► worker 2 ─┘
//
// zkflow::WorkerPool takes jobs from any thread into one shared input; each
// job is done exactly once, by whichever worker is free, and its result is
// posted to the pool's mailbox with the name of that worker. Results come in
// order of completion, or of submission when asked: the second pool below
// checks that order. Nothing here is stopped or joined by hand: the pools'
// destructors do it, after every submitted job is done.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <zkflow.h>

namespace {

constexpr int kProducers = 3, kJobsEach = 2000, kWorkers = 3;

struct Done {
  int job;
  long square;
};

// Every fourth job takes longer, so that jobs end out of submission order.
Done work(int& job) {
  if (job % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
  return {job, static_cast<long>(job) * job};
}

}  // namespace

int main() {
  int failures = 0;
  {
    zkflow::WorkerPool<int, Done> pool(kWorkers, work);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
      producers.emplace_back([&pool, p] {
        for (int i = 0; i < kJobsEach; ++i) pool.submit(p * kJobsEach + i);
      });
    for (std::thread& t : producers) t.join();
    pool.close();  // no more jobs: the results end with the last one

    std::vector<int> seen(kProducers * kJobsEach, 0);
    std::vector<int> perWorker(kWorkers, 0);
    for (int n = 0; n < kProducers * kJobsEach; ++n) {
      auto r = pool.results().wait(10.0);  // bounded: a lost job fails, it does not hang
      if (!r) break;
      failures += r->message.square != static_cast<long>(r->message.job) * r->message.job;
      ++seen.at(r->message.job);
      ++perWorker.at(std::stoi(r->from.substr(r->from.find(' ') + 1)));
    }
    for (int s : seen) failures += s != 1;
    std::printf("worker_pool: %d jobs from %d threads; workers did", kProducers * kJobsEach, kProducers);
    for (int w : perWorker) std::printf(" %d", w);
    std::printf("; %d jobs missing, repeated or wrong\n", failures);
  }
  {
    zkflow::WorkerPool<int, Done> ordered(kWorkers, work, zkflow::ResultOrder::Submission);
    for (int i = 0; i < kJobsEach; ++i) ordered.submit(i);
    int next = 0;
    while (auto r = ordered.results().wait(next < kJobsEach ? 10.0 : 0.0)) failures += r->message.job != next++;
    failures += next != kJobsEach;
    std::printf("worker_pool: %d results in order of submission, %d out of place\n", next, failures);
  }
  std::printf("worker_pool: %s\n", failures == 0 ? "every job done exactly once" : "FAILED");
  return failures == 0 ? 0 : 1;
}
