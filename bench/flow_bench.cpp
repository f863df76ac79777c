// SPDX-License-Identifier: Apache-2.0
// The flow data plane's speed, each figure beside a baseline built from the
// standard library doing the same job in the same binary:
//
//  - BM_ListStream / BM_MapStream: streaming append + consuming read on one
//    list with a steady backlog, ns per packet. The baseline keeps the same
//    packets in a std::map ordered by position: insert with a hint at the
//    end, read and erase at the beginning.
//  - BM_FlowThroughput / BM_QueueThroughput: packets per second from a
//    producer thread to a consumer thread, for 64-byte and 4-KiB packets,
//    with back-pressure at 64 packets ahead (woken again at 32). The
//    baseline is a mutex + condition variable bounded queue.
//
// Both sides make and drop the same packets (a data packet over a shared
// stored packet, and the reader's copy), so the ratio is the container and
// hand-over cost.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "zkflow/host/lock.h"
#include "zkflow/flow/flow.h"

namespace {

constexpr unsigned int kBacklog = 64;

ZtFlowDataPacket* makePacket(const ZtProtector<ZtPacket>& stored, unsigned int size) {
  auto* p = new ZtFlowDataPacket(stored);
  p->dSize(size);
  return p;
}

// ------------------------------------------------------------ one list

void BM_ListStream(benchmark::State& state) {
  ZtProtector<ZtPacket> stored(new ZtPacket(4096));
  ZtFlowBase list;
  list.readRemovesPacket(true);
  unsigned int writePos = 0;
  unsigned int readPos = 0;
  for (unsigned int i = 0; i < kBacklog; ++i) list.append(makePacket(stored, 64), &writePos);
  for (auto _ : state) {
    list.append(makePacket(stored, 64), &writePos);
    ZtFlowPacket* r = list.read(readPos);
    readPos += r->size();
    ZtFlowPacket::drop(r);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_MapStream(benchmark::State& state) {
  ZtProtector<ZtPacket> stored(new ZtPacket(4096));
  std::map<unsigned int, ZtFlowPacket*> list;
  unsigned int writePos = 0;
  unsigned int readPos = 0;
  auto append = [&] {
    ZtFlowDataPacket* p = makePacket(stored, 64);
    p->pos(writePos);
    p->incRef();
    list.emplace_hint(list.end(), writePos, p);
    writePos += 64;
  };
  for (unsigned int i = 0; i < kBacklog; ++i) append();
  for (auto _ : state) {
    append();
    auto it = list.begin();  // streaming: the packet at readPos is the first
    ZtFlowPacket* held = it->second;
    unsigned int at = readPos;
    ZtFlowPacket* r = held->readAt(at);
    list.erase(it);
    ZtFlowPacket::drop(held);
    readPos += r->size();
    ZtFlowPacket::drop(r);
  }
  for (auto& e : list) ZtFlowPacket::drop(e.second);
  state.SetItemsProcessed(state.iterations());
}

// ------------------------------------------------- between two threads

struct Producer {
  ZtFlow* flow;
  unsigned int bound;
  unsigned int buffered() const {
    const unsigned int r = flow->requestPos();
    unsigned int gap;
    return flow->nextGap(r, gap, true) - r;
  }
  static bool sleepTest(void* u) {
    auto* p = static_cast<Producer*>(u);
    return p->buffered() > p->bound;
  }
  static bool wakeTest(void* u) {
    auto* p = static_cast<Producer*>(u);
    return p->buffered() <= p->bound / 2;
  }
};

void BM_FlowThroughput(benchmark::State& state) {
  const auto size = static_cast<unsigned int>(state.range(0));
  ZtProtector<ZtPacket> stored(new ZtPacket(size));
  ZtFlow flow;
  Producer unit{&flow, kBacklog * size};
  int consumerTag = 0;
  flow.producer(reinterpret_cast<ZtFlowUnit*>(&unit));
  flow.consumer(reinterpret_cast<ZtFlowUnit*>(&consumerTag));
  flow.sleepProducerTestFn(&Producer::sleepTest);
  flow.wakeProducerTestFn(&Producer::wakeTest);
  flow.readRemovesPacket(true);
  const auto packets = static_cast<long>(state.max_iterations);
  std::thread producer([&] {
    unsigned int running = 0;
    for (long i = 0; i < packets; ++i) flow.append(makePacket(stored, size), &running);
  });
  unsigned int at = 0;
  for (auto _ : state) {
    ZtFlowPacket* r;
    do {
      r = flow.read(at);  // waits at the consumer's gate when empty
    } while (!r);
    at += r->size();
    ZtFlowPacket::drop(r);
  }
  producer.join();
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}

void BM_QueueThroughput(benchmark::State& state) {
  const auto size = static_cast<unsigned int>(state.range(0));
  ZtProtector<ZtPacket> stored(new ZtPacket(size));
  std::mutex mu;
  std::condition_variable notEmpty;
  std::condition_variable roomAgain;
  std::deque<ZtFlowPacket*> queue;
  bool producerWaits = false;
  const auto packets = static_cast<long>(state.max_iterations);
  std::thread producer([&] {
    unsigned int running = 0;
    for (long i = 0; i < packets; ++i) {
      ZtFlowDataPacket* p = makePacket(stored, size);
      p->pos(running);
      p->incRef();
      running += size;
      std::unique_lock<std::mutex> hold(mu);
      const bool wasEmpty = queue.empty();
      queue.push_back(p);
      if (wasEmpty) notEmpty.notify_one();
      if (queue.size() > kBacklog) {
        producerWaits = true;
        roomAgain.wait(hold, [&] { return queue.size() <= kBacklog / 2; });
        producerWaits = false;
      }
    }
  });
  unsigned int at = 0;
  for (auto _ : state) {
    ZtFlowPacket* held;
    {
      std::unique_lock<std::mutex> hold(mu);
      notEmpty.wait(hold, [&] { return !queue.empty(); });
      held = queue.front();
      queue.pop_front();
      if (producerWaits && queue.size() <= kBacklog / 2) roomAgain.notify_one();
    }
    ZtFlowPacket* r = held->readAt(at);  // the reader's copy, as a flow gives
    ZtFlowPacket::drop(held);
    at += r->size();
    ZtFlowPacket::drop(r);
  }
  producer.join();
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}

}  // namespace

BENCHMARK(BM_ListStream);
BENCHMARK(BM_MapStream);
BENCHMARK(BM_FlowThroughput)->Arg(64)->Arg(4096)->UseRealTime();
BENCHMARK(BM_QueueThroughput)->Arg(64)->Arg(4096)->UseRealTime();
