// SPDX-License-Identifier: Apache-2.0
// Messaging: the cost of one send to 1 and to 8 direct registrations, and of a
// buffered send followed by the poll that delivers it.
//
// Peer: a sigc++ 3 signal emit with 1 and 8 slots (peers/sigc_signal.h).
// Baselines, in the same binary so that a ratio comes from one run: the same
// callbacks called from a plain array of {callback, closure, type} with the
// same type test (the floor of any registration list), and for buffering a
// std::deque of counted pointers pushed and popped around the same call.
#include <benchmark/benchmark.h>

#include <deque>
#include <vector>

#include "zkflow/flow/message.h"
#include "peers/sigc_signal.h"

namespace {

int countCall(void* closure, const zk::P<ZtMessage>& m) {
  *static_cast<long*>(closure) += m->type();
  return 0;
}

void BM_DirectSend(benchmark::State& state) {
  const int receivers = static_cast<int>(state.range(0));
  long sum = 0;
  ZtMsgSender sender;
  std::vector<ZtMsgReceiver> rs(receivers);
  for (auto& r : rs) sender.addReceiver(r, &countCall, &sum, 0, true);
  zk::P<ZtMessage> m(new ZtMessage(1));
  for (auto _ : state) sender.send(m);
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DirectSend)->Arg(1)->Arg(8);

void BM_Baseline_DirectCalls(benchmark::State& state) {
  struct Entry {
    ZtMsgCallbackRec::Callback callback;
    void* closure;
    int type;
  };
  const int receivers = static_cast<int>(state.range(0));
  long sum = 0;
  std::vector<Entry> entries(receivers, Entry{&countCall, &sum, 0});
  zk::P<ZtMessage> m(new ZtMessage(1));
  for (auto _ : state) {
    zk::P<ZtMessage> held = m;  // send() holds the message for its walk, too
    const int type = held->type();
    for (const Entry& e : entries)
      if (e.type == 0 || type == 0 || e.type == type) e.callback(e.closure, held);
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_DirectCalls)->Arg(1)->Arg(8);

void BM_BufferedSendPoll(benchmark::State& state) {
  long sum = 0;
  ZtMsgSender sender;
  ZtMsgReceiver r;
  sender.addReceiver(r, &countCall, &sum, 0, false);
  zk::P<ZtMessage> m(new ZtMessage(1));
  for (auto _ : state) {
    sender.send(m);
    r.poll();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BufferedSendPoll);

#ifdef ZKFLOW_HAVE_SIGCXX
// The peer: a sigc++ 3 signal with 1 or 8 slots, emitted with the same
// counted message, each slot calling the same callback with its closure.
void BM_SigcEmit(benchmark::State& state) {
  long sum = 0;
  peers::SigcFanOut<const zk::P<ZtMessage>&> signal(static_cast<int>(state.range(0)), &countCall, &sum);
  zk::P<ZtMessage> m(new ZtMessage(1));
  for (auto _ : state) {
    signal.emit(m);
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SigcEmit)->Arg(1)->Arg(8);
#endif

void BM_Baseline_DequeSendPoll(benchmark::State& state) {
  long sum = 0;
  std::deque<zk::P<ZtMessage>> queue;
  zk::P<ZtMessage> m(new ZtMessage(1));
  for (auto _ : state) {
    queue.push_back(m);
    while (!queue.empty()) {
      zk::P<ZtMessage> held = std::move(queue.front());
      queue.pop_front();
      countCall(&sum, held);
    }
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_DequeSendPoll);

}  // namespace
