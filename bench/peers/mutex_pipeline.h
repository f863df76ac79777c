// SPDX-License-Identifier: Apache-2.0
// Baseline for the flow task pipeline benchmarks: the same graphs built from
// plain threads and bounded queues (a std::mutex and two
// std::condition_variable each). The source makes a counted heap buffer per
// packet and fills it, pass stages hand it on, a fork hands the same buffer
// to each of its queues, sinks read and release it: the work a flow graph of
// data packets over stored packets does, without positions, markers, pacing
// or request rates.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace peers {

using Buffer = std::shared_ptr<const std::vector<uint8_t>>;

class BoundedQueue {
 public:
  explicit BoundedQueue(size_t capacity) : capacity_(capacity) {}

  // An empty buffer marks the end of the stream.
  void push(Buffer item) {
    std::unique_lock<std::mutex> hold(mu_);
    notFull_.wait(hold, [&] { return items_.size() < capacity_; });
    items_.push_back(std::move(item));
    notEmpty_.notify_one();
  }
  Buffer pop() {
    std::unique_lock<std::mutex> hold(mu_);
    notEmpty_.wait(hold, [&] { return !items_.empty(); });
    Buffer item = std::move(items_.front());
    items_.pop_front();
    notFull_.notify_one();
    return item;
  }

 private:
  const size_t capacity_;
  std::mutex mu_;
  std::condition_variable notFull_;
  std::condition_variable notEmpty_;
  std::deque<Buffer> items_;
};

// Runs `packets` packets of `size` bytes through a chain of `stages` stages
// (source and sink included, at least 2), or, with `forkTo` above 0, through
// source -> fork -> `forkTo` sinks. Returns the bytes the sinks saw.
inline uint64_t runMutexGraph(unsigned int stages, unsigned int forkTo, uint64_t packets,
                              unsigned int size, size_t capacity) {
  const unsigned int queueCount = forkTo ? 1 + forkTo : stages - 1;
  std::vector<std::unique_ptr<BoundedQueue>> q;
  for (unsigned int k = 0; k < queueCount; ++k) q.push_back(std::make_unique<BoundedQueue>(capacity));
  std::vector<uint64_t> seen(forkTo ? forkTo : 1, 0);
  std::vector<std::thread> threads;
  auto sink = [&](BoundedQueue* from, uint64_t* count) {
    while (Buffer b = from->pop()) *count += b->size() + ((*b)[0] & 0);
  };
  threads.emplace_back([&] {
    for (uint64_t n = 0; n < packets; ++n) {
      auto b = std::make_shared<std::vector<uint8_t>>(size);
      std::memset(b->data(), static_cast<int>(n), size);
      q[0]->push(std::move(b));
    }
    q[0]->push(nullptr);
  });
  if (forkTo) {
    threads.emplace_back([&] {
      for (;;) {
        Buffer b = q[0]->pop();
        for (unsigned int k = 1; k <= forkTo; ++k) q[k]->push(b);
        if (!b) return;
      }
    });
    for (unsigned int k = 1; k <= forkTo; ++k) threads.emplace_back(sink, q[k].get(), &seen[k - 1]);
  } else {
    for (unsigned int k = 1; k < queueCount; ++k) {
      threads.emplace_back([&, k] {
        for (;;) {
          Buffer b = q[k - 1]->pop();
          q[k]->push(b);
          if (!b) return;
        }
      });
    }
    threads.emplace_back(sink, q.back().get(), &seen[0]);
  }
  for (auto& t : threads) t.join();
  uint64_t total = 0;
  for (uint64_t s : seen) total += s;
  return total;
}

}  // namespace peers
