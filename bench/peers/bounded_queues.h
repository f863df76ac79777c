// SPDX-License-Identifier: Apache-2.0
// Peer queues for the queue task benchmark: a multi-producer, one-consumer
// queue of pointers with blocking push and pop, bounded at `capacity` items
// (0 = unbounded), from each library that scripts/peers installs.
//
//  - TbbBoundedQueue: tbb::concurrent_bounded_queue, whose own capacity makes
//    push() block.
//  - MoodycamelBoundedQueue: moodycamel::BlockingConcurrentQueue, which has
//    no blocking bound of its own; a LightweightSemaphore counting the free
//    places (the library's own semaphore, as its documentation suggests)
//    gives it one. Unbounded, the semaphore is left out.
#pragma once

#include <cstddef>

#ifdef ZKFLOW_HAVE_TBB
#include <tbb/concurrent_queue.h>
#endif
#ifdef ZKFLOW_HAVE_CONCURRENTQUEUE
#include <concurrentqueue/blockingconcurrentqueue.h>
#endif

namespace peers {

#ifdef ZKFLOW_HAVE_TBB
template <class T>
class TbbBoundedQueue {
 public:
  explicit TbbBoundedQueue(std::size_t capacity) {
    if (capacity) q_.set_capacity(static_cast<std::ptrdiff_t>(capacity));
  }
  void push(T* p) { q_.push(p); }
  T* pop() {
    T* p = nullptr;
    q_.pop(p);
    return p;
  }

 private:
  tbb::concurrent_bounded_queue<T*> q_;
};
#endif

#ifdef ZKFLOW_HAVE_CONCURRENTQUEUE
template <class T>
class MoodycamelBoundedQueue {
 public:
  explicit MoodycamelBoundedQueue(std::size_t capacity)
      : bounded_(capacity != 0), slots_(static_cast<moodycamel::LightweightSemaphore::ssize_t>(capacity)) {}
  void push(T* p) {
    if (bounded_) slots_.wait();
    q_.enqueue(p);
  }
  T* pop() {
    T* p = nullptr;
    q_.wait_dequeue(p);
    if (bounded_) slots_.signal();
    return p;
  }

 private:
  bool bounded_;
  moodycamel::LightweightSemaphore slots_;
  moodycamel::BlockingConcurrentQueue<T*> q_;
};
#endif

}  // namespace peers
