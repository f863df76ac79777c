// SPDX-License-Identifier: Apache-2.0
// Packets per second through a multithreaded queue into a pre-emptive queue
// task, from one and from two producer threads, with an unbounded queue and
// with a bounded one (capacity 1024).
//
// Baselines, in the same binary: the same workload through a std::deque
// guarded by a std::mutex with two condition variables (not empty, not full),
// through tbb::concurrent_bounded_queue and through moodycamel's
// BlockingConcurrentQueue (bounded by a semaphore; peers/bounded_queues.h),
// each drained by a std::thread. All sides allocate each packet through the
// library's allocator and delete it in the consumer, so the ratio compares
// the queues and the consumer loops alone.
//
// One iteration pushes kBatch packets split over the producers and ends when
// the consumer has handled the last of them.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "zkflow/host/zsys.h"
#include "zkflow/flow/queuetask.h"
#include "peers/bounded_queues.h"

namespace {

using Queue = ZtQueueTask::Queue;

constexpr int kBatch = 20000;

// Counts what it takes; the loop deletes each packet after the turn.
struct CountingTask : ZtQueueTask {
  CountingTask() : ZtQueueTask(false) {}
  ~CountingTask() override { stop(); }
  void taskHandlePacket(zk::AP<ZtQueuePacket>& p, Queue*) override {
    if (p) handled.fetch_add(1, std::memory_order_release);
  }
  const char* taskName() override { return "bench"; }
  std::atomic<long> handled{0};
};

void waitUntil(const std::atomic<long>& n, long target) {
  while (n.load(std::memory_order_acquire) < target) ZIF_Yield();
}

void BM_QueueTask(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  const unsigned capacity = static_cast<unsigned>(state.range(1));
  Queue in(capacity);
  CountingTask task;
  task.in(&in);
  if (!task.start()) {
    state.SkipWithError("task did not start");
    return;
  }
  long target = 0;
  for (auto _ : state) {
    target += kBatch;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
      threads.emplace_back([&in, n = kBatch / producers] {
        for (int i = 0; i < n; ++i) {
          zk::AP<ZtQueuePacket> pk(new ZtQueuePacket);
          in.push(pk);
        }
      });
    }
    for (auto& t : threads) t.join();
    waitUntil(task.handled, target);
  }
  task.stop();
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["maxWait_us"] = in.maxWaitTime.load().seconds() * 1e6;
  state.counters["maxLatency_us"] = in.maxLatency.load().seconds() * 1e6;
}

// The baseline: a mutex, two condition variables and a deque.
struct MutexQueue {
  explicit MutexQueue(size_t capacity) : capacity(capacity) {}
  void push(ZtQueuePacket* p) {
    std::unique_lock<std::mutex> hold(mu);
    notFull.wait(hold, [&] { return capacity == 0 || items.size() < capacity; });
    items.push_back(p);
    hold.unlock();
    notEmpty.notify_one();
  }
  ZtQueuePacket* pop() {
    std::unique_lock<std::mutex> hold(mu);
    notEmpty.wait(hold, [&] { return !items.empty(); });
    ZtQueuePacket* p = items.front();
    items.pop_front();
    hold.unlock();
    notFull.notify_one();
    return p;
  }
  std::mutex mu;
  std::condition_variable notEmpty, notFull;
  std::deque<ZtQueuePacket*> items;
  size_t capacity;
};

// The same workload through a queue Q of packet pointers (push and pop both
// block), drained by a std::thread that deletes each packet; a null pointer
// ends the consumer.
template <class Q>
void runPeer(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  Q q(static_cast<size_t>(state.range(1)));
  std::atomic<long> handled{0};
  std::thread consumer([&] {
    while (ZtQueuePacket* p = q.pop()) {
      delete p;
      handled.fetch_add(1, std::memory_order_release);
    }
  });
  long target = 0;
  for (auto _ : state) {
    target += kBatch;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
      threads.emplace_back([&q, n = kBatch / producers] {
        for (int i = 0; i < n; ++i) q.push(new ZtQueuePacket);
      });
    }
    for (auto& t : threads) t.join();
    waitUntil(handled, target);
  }
  q.push(nullptr);
  consumer.join();
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_MutexQueueBaseline(benchmark::State& state) { runPeer<MutexQueue>(state); }
#ifdef ZKFLOW_HAVE_TBB
void BM_TbbBoundedQueue(benchmark::State& state) {
  runPeer<peers::TbbBoundedQueue<ZtQueuePacket>>(state);
}
#endif
#ifdef ZKFLOW_HAVE_CONCURRENTQUEUE
void BM_MoodycamelQueue(benchmark::State& state) {
  runPeer<peers::MoodycamelBoundedQueue<ZtQueuePacket>>(state);
}
#endif

// Arguments: producers, capacity (0 = unbounded).
void Args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"producers", "capacity"});
  for (int producers : {1, 2})
    for (int capacity : {0, 1024}) b->Args({producers, capacity});
  b->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_QueueTask)->Apply(Args);
BENCHMARK(BM_MutexQueueBaseline)->Apply(Args);
#ifdef ZKFLOW_HAVE_TBB
BENCHMARK(BM_TbbBoundedQueue)->Apply(Args);
#endif
#ifdef ZKFLOW_HAVE_CONCURRENTQUEUE
BENCHMARK(BM_MoodycamelQueue)->Apply(Args);
#endif

}  // namespace
