// SPDX-License-Identifier: Apache-2.0
// The system layer's costs: a cooperative switch, a cooperative event
// handoff, a cooperative task's whole life, and a Lock handed between two
// threads. Each beside its baseline in the same binary:
//   BM_CoopYieldRoundTrip  vs BM_UcontextRoundTrip (swapcontext)
//   BM_LockHandoff         vs BM_SemaphoreHandoff (std::binary_semaphore)
#include <benchmark/benchmark.h>

#include <atomic>
#include <semaphore>
#include <thread>

#include "zkflow/host/lock.h"
#include "zkflow/host/zsys.h"
#include "peers/ucontext_pingpong.h"

namespace {

constexpr uint32_t kNoId = 0xFFFFFFFFu;

struct Pong {
  bool stop = false;
  static unsigned long yielder(void* p) {
    auto* s = static_cast<Pong*>(p);
    while (!s->stop) ZIF_YieldCoop();
    return 0;
  }
};

// Root and one task: each iteration switches to the task and back.
void BM_CoopYieldRoundTrip(benchmark::State& state) {
  ZIF_HostTasksCoop(0);
  Pong pong;
  uint32_t id = kNoId;
  if (ZIF_CreateTaskCoop(&Pong::yielder, &pong, &id) != 0) {
    state.SkipWithError("task creation failed");
    return;
  }
  for (auto _ : state) ZIF_YieldCoop();
  pong.stop = true;
  ZIF_WaitTaskCoop(id);
}
BENCHMARK(BM_CoopYieldRoundTrip);

void BM_UcontextRoundTrip(benchmark::State& state) {
  peers::UcontextPingPong pp;
  for (auto _ : state) pp.roundTrip();
}
BENCHMARK(BM_UcontextRoundTrip);

// Two tasks answering each other through auto-reset events: one round trip
// is two sets and two waits.
struct EventPair {
  uint32_t ping = kNoId;
  uint32_t pong = kNoId;
  bool stop = false;
  static unsigned long answerer(void* p) {
    auto* e = static_cast<EventPair*>(p);
    for (;;) {
      ZIF_WaitEventCoop(e->ping);
      if (e->stop) return 0;
      ZIF_SetEventCoop(e->pong);
    }
  }
};

void BM_CoopEventRoundTrip(benchmark::State& state) {
  ZIF_HostTasksCoop(0);
  EventPair e;
  e.ping = ZIF_CreateEventCoop(1, 0);
  e.pong = ZIF_CreateEventCoop(1, 0);
  uint32_t id = kNoId;
  ZIF_CreateTaskCoop(&EventPair::answerer, &e, &id);
  for (auto _ : state) {
    ZIF_SetEventCoop(e.ping);
    ZIF_WaitEventCoop(e.pong);
  }
  e.stop = true;
  ZIF_SetEventCoop(e.ping);
  ZIF_WaitTaskCoop(id);
  ZIF_DestroyEventCoop(e.ping);
  ZIF_DestroyEventCoop(e.pong);
}
BENCHMARK(BM_CoopEventRoundTrip);

// Create a task, let it run to its end, reclaim its stack.
void BM_CoopTaskLifetime(benchmark::State& state) {
  ZIF_HostTasksCoop(0);
  auto nothing = [](void*) -> unsigned long { return 0; };
  for (auto _ : state) {
    uint32_t id = kNoId;
    ZIF_CreateTaskCoop(nothing, nullptr, &id);
    ZIF_WaitTaskCoop(id);
  }
}
BENCHMARK(BM_CoopTaskLifetime);

// Two threads pass one turn back and forth through two gates, as a flow's
// producer and consumer do: one round trip is two releases that each wake a
// sleeping thread.
template <class Gate>
void handoff(benchmark::State& state) {
  Gate ping, pong;
  std::atomic<bool> stop{false};
  std::thread other([&] {
    for (;;) {
      ping.take();
      if (stop.load(std::memory_order_acquire)) return;
      pong.give();
    }
  });
  for (auto _ : state) {
    ping.give();
    pong.take();
  }
  stop.store(true, std::memory_order_release);
  ping.give();
  other.join();
}

// A Lock used as a gate: closed at first.
struct LockGate {
  zk::Lock lock{new zk::LockRep("gate")};
  LockGate() { lock.lock(); }
  void take() { lock.lock(); }
  void give() { lock.unlock(); }
};

struct SemaphoreGate {
  std::binary_semaphore sem{0};
  void take() { sem.acquire(); }
  void give() { sem.release(); }
};

void BM_LockHandoff(benchmark::State& state) { handoff<LockGate>(state); }
BENCHMARK(BM_LockHandoff)->UseRealTime();

void BM_SemaphoreHandoff(benchmark::State& state) { handoff<SemaphoreGate>(state); }
BENCHMARK(BM_SemaphoreHandoff)->UseRealTime();

}  // namespace
