// SPDX-License-Identifier: Apache-2.0
// Peer for the two-task hand-over: moodycamel's single-producer,
// single-consumer BlockingReaderWriterQueue between two threads, bounded at
// `capacity` items by a semaphore of free places (the queue's own
// spsc_sema::LightweightSemaphore: the queue has no blocking bound of its
// own, and with its places allocated up front try_enqueue never fails while
// the semaphore holds the producer back).
#pragma once

#ifdef ZKFLOW_HAVE_READERWRITERQUEUE
#include <readerwriterqueue/readerwriterqueue.h>

#include <cstdint>
#include <thread>

#include "peers/payload.h"

namespace peers {

// Returns the bytes the consumer saw.
inline uint64_t runRWQueueHandoff(uint64_t packets, unsigned int size, unsigned int capacity) {
  moodycamel::BlockingReaderWriterQueue<Payload*> q(capacity);
  moodycamel::spsc_sema::LightweightSemaphore slots(capacity);
  uint64_t seen = 0;
  std::thread consumer([&] {
    for (uint64_t i = 0; i < packets; ++i) {
      Payload* p = nullptr;
      q.wait_dequeue(p);
      slots.signal();
      if (p->read(seen)) delete p;
    }
  });
  for (uint64_t i = 0; i < packets; ++i) {
    Payload* p = new Payload(size, i, 1);
    while (!slots.wait()) {
    }
    q.try_enqueue(p);
  }
  consumer.join();
  return seen;
}

}  // namespace peers
#endif
