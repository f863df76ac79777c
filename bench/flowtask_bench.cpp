// SPDX-License-Identifier: Apache-2.0
// Flow task graphs: packets and bytes per second through chains of 2 and 4
// flow tasks and through a fork to 2 consumers, for 256-byte and 4-KiB
// packets, none clock regulated, each beside the same graph built from
// threads and mutex queues (peers/mutex_pipeline.h) in this binary:
//   BM_FlowChain/<stages>/<size>  vs  BM_MutexChain/<stages>/<size>
//   BM_FlowFork2/<size>           vs  BM_MutexFork2/<size>
// the same graphs at 256 bytes with back-pressure at 1024 packets against
// moodycamel, TBB's flow graph and gst-launch-1.0 (see "against peers"
// below), and the pacing of a clock-regulated source at 192,000 bytes/s:
//   BM_PacedSource192k  counters: cycles, dropouts, wake-up lateness p50/p99/max
//   in microseconds (when a cycle's work began, against when pacing planned
//   it: T before its data falls due), the first 10 cycles left out. Runs
//   ZKFLOW_PACING_SECONDS seconds (default 1; scripts/bench-compare --full
//   runs 10).
//   BM_PacedBareSleep   the same counters for a bare clock_nanosleep loop.
//   BM_PacedSources64Pool  the counters of 64 such sources at once on the
//   worker pool.
// Chains of 2 to 64 stages, 16 pipelines at once and the fork on either
// executor (a thread per task or the worker pool) against TBB, and the
// resident memory of 1000 idle tasks: see "scale" and "memory" below.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "zkflow/host/clock.h"
#include "zkflow/host/executor.h"
#include "zkflow/host/log.h"
#include "zkflow/host/zsys.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowfork.h"
#include "zkflow/flow/flowtask.h"
#include "zkflow/flow/packet.h"
#include "zkflow/metrics.h"
#include "zkflow/trace.h"
#include "peers/bare_sleep.h"
#include "peers/gst_launch.h"
#include "peers/mutex_pipeline.h"
#include "peers/rwqueue_handoff.h"
#include "peers/tbb_graph.h"

namespace {

// A task that handles one packet of `size` bytes per work step: data rate
// size x 100 at 0.01 s per cycle; the producer sleeps with `ahead` packets
// (0.01 s each; 10 unless said otherwise) ahead of its consumer and wakes at
// one.
struct BenchTask : ZtFlowTask {
  explicit BenchTask(unsigned int size, unsigned int ahead = 10)
      : dataRate(size * 100), durationMax(Utils::Time::fromRaw(655 * static_cast<int64_t>(ahead) + 4)) {}
  ~BenchTask() override { stop(); }
  void taskRateInfo(ZtFlowRequestRate& r) override {
    r.dataRate(dataRate);
    r.duration(Utils::Time::fromRaw(655));
    r.durationMin(Utils::Time::fromRaw(655));
    r.durationMax(durationMax);
  }
  unsigned int dataRate;
  Utils::Time durationMax;
};

struct BenchSource : BenchTask {
  BenchSource(unsigned int size, uint64_t packets, unsigned int ahead)
      : BenchTask(size, ahead), size(size), packets(packets) {
    virtualInput(true);
  }
  ~BenchSource() override { stop(); }
  const char* taskName() const override { return "BenchSource"; }
  unsigned int taskHandleFlow(unsigned int, unsigned int outCount, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override {
    // The chunk is the size rounded to the granularity; use the size alone.
    const unsigned int m = size;
    in[0]->clipSize(m);
    ZtProtector<ZtPacket> stored(new ZtPacket(m));
    std::memset(stored->data(), static_cast<int>(sent), m);
    for (unsigned int j = 0; j < outCount; ++j) {
      ZtFlowDataPacket* p = new ZtFlowDataPacket(stored);
      p->dSize(m);
      emit(this, j, p);
    }
    if (++sent >= packets) shutdown(true);
    return 0;
  }
  const unsigned int size;
  const uint64_t packets;
  uint64_t sent = 0;
};

struct BenchPass : BenchTask {
  using BenchTask::BenchTask;
  ~BenchPass() override { stop(); }
  const char* taskName() const override { return "BenchPass"; }
  unsigned int taskHandleFlow(unsigned int, unsigned int outCount, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override {
    in[0]->pos(0);
    for (unsigned int j = 0; j < outCount; ++j) {
      unsigned int at = 0;
      ZtFlowPacket* copy = in[0]->readAt(at);
      emit(this, j, copy);
      ZtFlowPacket::drop(copy);
    }
    return 0;
  }
};

struct BenchSink : BenchTask {
  using BenchTask::BenchTask;
  ~BenchSink() override { stop(); }
  const char* taskName() const override { return "BenchSink"; }
  unsigned int taskHandleFlow(unsigned int, unsigned int, ZtFlowPacket** in,
                              ZtFlowEmitFn) override {
    const auto* d = static_cast<const ZtFlowDataPacket*>(in[0]);
    bytes += d->size() + (static_cast<const uint8_t*>(d->data())[0] & 0);
    return 0;
  }
  void taskStop() override {
    ended.store(true, std::memory_order_release);
    ended.notify_all();
  }
  uint64_t bytes = 0;
  std::atomic<bool> ended{false};
};

// source -> (stages - 2) pass-throughs -> sink, or source -> fork -> forkTo
// sinks, each producer sleeping `ahead` packets ahead of its consumer, every
// task on `executor`. finish() waits for the sinks and returns the bytes
// they saw.
class FlowGraph {
 public:
  FlowGraph(unsigned int stages, unsigned int forkTo, uint64_t packets, unsigned int size,
            unsigned int ahead, zkflow::Executor executor) {
    const unsigned int flowCount = forkTo ? 1 + forkTo : stages - 1;
    for (unsigned int k = 0; k < flowCount; ++k) {
      flows.push_back(std::make_unique<ZtFlow>());
      flows.back()->readRemovesPacket(true);
    }
    source = std::make_unique<BenchSource>(size, packets, ahead);
    source->addOutput(flows[0].get());
    if (forkTo) {
      auto fork = std::make_unique<ZtFlowFork>(flows[0].get(), nullptr);
      for (unsigned int k = 1; k <= forkTo; ++k) {
        fork->addOutput(flows[k].get());
        // Every sink sees every packet, as with the peers: the fork waits
        // for each consumer (output 0 always holds it back).
        fork->outputPolicy(k - 1, ZtFlowTask::OutputPolicy::Block);
        sinks.push_back(std::make_unique<BenchSink>(size));
        sinks.back()->addInput(flows[k].get());
      }
      middle.push_back(std::move(fork));
    } else {
      for (unsigned int k = 1; k + 1 < stages; ++k) {
        auto pass = std::make_unique<BenchPass>(size, ahead);
        pass->addInput(flows[k - 1].get());
        pass->addOutput(flows[k].get());
        middle.push_back(std::move(pass));
      }
      sinks.push_back(std::make_unique<BenchSink>(size));
      sinks.back()->addInput(flows.back().get());
    }
    source->executor(executor);
    for (auto& s : sinks) s->executor(executor);
    for (auto& m : middle) m->executor(executor);
  }

  void start() {
    for (auto& s : sinks) s->start();
    for (auto& m : middle) m->start();
    source->start();
  }

  uint64_t finish() {
    uint64_t total = 0;
    for (auto& s : sinks) {
      s->ended.wait(false, std::memory_order_acquire);
      // Yield, not spin: a spinning main thread would take a core from the
      // tasks on a two-core machine.
      while (!s->done()) ZIF_Yield();
      total += s->bytes;
    }
    sinks.clear();
    middle.clear();
    source.reset();
    return total;
  }

 private:
  std::vector<std::unique_ptr<ZtFlow>> flows;
  std::vector<std::unique_ptr<BenchSink>> sinks;
  std::vector<std::unique_ptr<ZtFlowTask>> middle;
  std::unique_ptr<BenchSource> source;
};

uint64_t runFlowGraph(unsigned int stages, unsigned int forkTo, uint64_t packets,
                      unsigned int size, unsigned int ahead = 10,
                      zkflow::Executor executor = zkflow::Executor::Thread) {
  FlowGraph g(stages, forkTo, packets, size, ahead, executor);
  g.start();
  return g.finish();
}

const uint64_t kPackets = 20000;

void setCounters(benchmark::State& state, uint64_t packets, unsigned int size) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * packets));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packets * size));
}

void BM_FlowChain(benchmark::State& state) {
  const auto stages = static_cast<unsigned int>(state.range(0));
  const auto size = static_cast<unsigned int>(state.range(1));
  for (auto _ : state) {
    const uint64_t seen = runFlowGraph(stages, 0, kPackets, size);
    if (seen != kPackets * size) state.SkipWithError("bytes lost");
  }
  setCounters(state, kPackets, size);
}
BENCHMARK(BM_FlowChain)->ArgsProduct({{2, 4}, {256, 4096}})->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_MutexChain(benchmark::State& state) {
  const auto stages = static_cast<unsigned int>(state.range(0));
  const auto size = static_cast<unsigned int>(state.range(1));
  for (auto _ : state) {
    const uint64_t seen = peers::runMutexGraph(stages, 0, kPackets, size, 10);
    if (seen != kPackets * size) state.SkipWithError("bytes lost");
  }
  setCounters(state, kPackets, size);
}
BENCHMARK(BM_MutexChain)->ArgsProduct({{2, 4}, {256, 4096}})->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_FlowFork2(benchmark::State& state) {
  const auto size = static_cast<unsigned int>(state.range(0));
  for (auto _ : state) {
    const uint64_t seen = runFlowGraph(0, 2, kPackets, size);
    if (seen != 2 * kPackets * size) state.SkipWithError("bytes lost");
  }
  setCounters(state, kPackets, size);
}
BENCHMARK(BM_FlowFork2)->Arg(256)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_MutexFork2(benchmark::State& state) {
  const auto size = static_cast<unsigned int>(state.range(0));
  for (auto _ : state) {
    const uint64_t seen = peers::runMutexGraph(0, 2, kPackets, size, 10);
    if (seen != 2 * kPackets * size) state.SkipWithError("bytes lost");
  }
  setCounters(state, kPackets, size);
}
BENCHMARK(BM_MutexFork2)->Arg(256)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);

// ------------------------------------------------------- against peers
//
// 256-byte packets with back-pressure at 1024 packets, as the peers bound
// their queues at 1024 items. Each peer makes, fills and frees one heap
// buffer per packet (peers/payload.h):
//   BM_Handoff    source -> sink, two flow tasks
//     BM_Handoff_MoodycamelRWQ  BlockingReaderWriterQueue between two threads
//     BM_Handoff_TbbGraph       input_node -> limiter -> 2 serial function_nodes
//   BM_Pipeline4  source -> pass -> pass -> sink
//     BM_Pipeline4_TbbGraph     input_node -> limiter -> 4 serial function_nodes
//     BM_Pipeline4_GstLaunch    gst-launch-1.0: fakesrc ! queue ! identity !
//                               queue ! identity ! queue ! fakesink
//   BM_Fork2      source -> fork -> 2 sinks
//     BM_Fork2_TbbBroadcast     input_node -> limiter -> broadcast_node -> 2 sinks
//     BM_Fork2_GstTee           gst-launch-1.0: fakesrc ! tee, 2 x (queue ! fakesink)
// Rates are packets per second (for a fork, packets the source made).

constexpr unsigned int kPeerSize = 256;
constexpr unsigned int kPeerBound = 1024;

void BM_Handoff(benchmark::State& state) {
  for (auto _ : state) {
    if (runFlowGraph(2, 0, kPackets, kPeerSize, kPeerBound) != kPackets * kPeerSize)
      state.SkipWithError("bytes lost");
  }
  setCounters(state, kPackets, kPeerSize);
}
BENCHMARK(BM_Handoff)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Pipeline4(benchmark::State& state) {
  for (auto _ : state) {
    if (runFlowGraph(4, 0, kPackets, kPeerSize, kPeerBound) != kPackets * kPeerSize)
      state.SkipWithError("bytes lost");
  }
  setCounters(state, kPackets, kPeerSize);
}
BENCHMARK(BM_Pipeline4)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Fork2(benchmark::State& state) {
  for (auto _ : state) {
    if (runFlowGraph(0, 2, kPackets, kPeerSize, kPeerBound) != 2 * kPackets * kPeerSize)
      state.SkipWithError("bytes lost");
  }
  setCounters(state, kPackets, kPeerSize);
}
BENCHMARK(BM_Fork2)->UseRealTime()->Unit(benchmark::kMillisecond);

// The cost of watching (zkflow/metrics.h, zkflow/trace.h), on the same three
// graphs, each beside the row above in this binary (which runs unwatched,
// the default):
//   BM_<graph>_Metrics  stage metrics on
//   BM_<graph>_Traced   a trace recording, metrics off
enum class Watch { Metrics, Traced };

void runWatched(benchmark::State& state, unsigned int stages, unsigned int forkTo, Watch w) {
  const uint64_t want = (forkTo ? forkTo : 1) * kPackets * kPeerSize;
  for (auto _ : state) {
    if (w == Watch::Metrics) zkflow::enableMetrics(true);
    if (w == Watch::Traced) zkflow::startTrace();
    const uint64_t seen = runFlowGraph(stages, forkTo, kPackets, kPeerSize, kPeerBound);
    zkflow::enableMetrics(false);
    zkflow::stopTrace();
    if (seen != want) state.SkipWithError("bytes lost");
  }
  zkflow::clearTrace();
  setCounters(state, kPackets, kPeerSize);
}

void BM_Handoff_Metrics(benchmark::State& state) { runWatched(state, 2, 0, Watch::Metrics); }
void BM_Handoff_Traced(benchmark::State& state) { runWatched(state, 2, 0, Watch::Traced); }
void BM_Pipeline4_Metrics(benchmark::State& state) { runWatched(state, 4, 0, Watch::Metrics); }
void BM_Pipeline4_Traced(benchmark::State& state) { runWatched(state, 4, 0, Watch::Traced); }
void BM_Fork2_Metrics(benchmark::State& state) { runWatched(state, 0, 2, Watch::Metrics); }
void BM_Fork2_Traced(benchmark::State& state) { runWatched(state, 0, 2, Watch::Traced); }
BENCHMARK(BM_Handoff_Metrics)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Handoff_Traced)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pipeline4_Metrics)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pipeline4_Traced)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fork2_Metrics)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fork2_Traced)->UseRealTime()->Unit(benchmark::kMillisecond);

#ifdef ZKFLOW_HAVE_READERWRITERQUEUE
void BM_Handoff_MoodycamelRWQ(benchmark::State& state) {
  for (auto _ : state) {
    if (peers::runRWQueueHandoff(kPackets, kPeerSize, kPeerBound) != kPackets * kPeerSize)
      state.SkipWithError("bytes lost");
  }
  setCounters(state, kPackets, kPeerSize);
}
BENCHMARK(BM_Handoff_MoodycamelRWQ)->UseRealTime()->Unit(benchmark::kMillisecond);
#endif

#ifdef ZKFLOW_HAVE_TBB
void BM_Handoff_TbbGraph(benchmark::State& state) {
  for (auto _ : state) {
    if (peers::runTbbChain(2, kPackets, kPeerSize, kPeerBound) != kPackets * kPeerSize)
      state.SkipWithError("bytes lost");
  }
  setCounters(state, kPackets, kPeerSize);
}
BENCHMARK(BM_Handoff_TbbGraph)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Pipeline4_TbbGraph(benchmark::State& state) {
  for (auto _ : state) {
    if (peers::runTbbChain(4, kPackets, kPeerSize, kPeerBound) != kPackets * kPeerSize)
      state.SkipWithError("bytes lost");
  }
  setCounters(state, kPackets, kPeerSize);
}
BENCHMARK(BM_Pipeline4_TbbGraph)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Fork2_TbbBroadcast(benchmark::State& state) {
  for (auto _ : state) {
    if (peers::runTbbBroadcast(kPackets, kPeerSize, kPeerBound) != 2 * kPackets * kPeerSize)
      state.SkipWithError("bytes lost");
  }
  setCounters(state, kPackets, kPeerSize);
}
BENCHMARK(BM_Fork2_TbbBroadcast)->UseRealTime()->Unit(benchmark::kMillisecond);
#endif

// ------------------------------------------------------ scale: the pool
//
// The same 256-byte packets and bound, on longer chains and many graphs,
// with every task on a thread of its own (executor 0) or on the worker pool
// (executor 1):
//   BM_Chain/<stages>/<executor>   source -> stages - 2 passes -> sink
//     BM_Chain_Tbb/<stages>        input_node -> limiter -> `stages` serial
//                                  function_nodes
//   BM_Pipelines16/<executor>      16 independent 4-stage chains at once
//     BM_Pipelines16_Tbb           16 TBB 4-node chains at once, each graph
//                                  run from a thread of its own
//   BM_Fork2/<executor>            as BM_Fork2 above, on either executor
// Rates are packets per second through one chain (through all 16 for the
// pipelines). scripts/bench-plot.py turns the BM_Chain rows of
// scripts/bench-compare's runs into bench/chains.png: the cost of a packet
// per stage against the chain's length.

zkflow::Executor executorArg(const benchmark::State& state, int index) {
  return state.range(index) ? zkflow::Executor::Pool : zkflow::Executor::Thread;
}

// Fewer packets on long thread-per-task chains, which move them slowly: a
// run then stays under a second.
uint64_t chainPackets(unsigned int stages) { return stages >= 32 ? kPackets / 2 : kPackets; }

void BM_Chain(benchmark::State& state) {
  const auto stages = static_cast<unsigned int>(state.range(0));
  const uint64_t packets = chainPackets(stages);
  for (auto _ : state) {
    if (runFlowGraph(stages, 0, packets, kPeerSize, kPeerBound, executorArg(state, 1)) != packets * kPeerSize)
      state.SkipWithError("bytes lost");
  }
  setCounters(state, packets, kPeerSize);
}
BENCHMARK(BM_Chain)->ArgsProduct({{2, 4, 8, 16, 32, 64}, {0, 1}})->UseRealTime()->Unit(benchmark::kMillisecond);

constexpr unsigned int kGraphs = 16;

void BM_Pipelines16(benchmark::State& state) {
  const uint64_t packets = kPackets / 4;
  for (auto _ : state) {
    std::vector<std::unique_ptr<FlowGraph>> graphs;
    for (unsigned int g = 0; g < kGraphs; ++g)
      graphs.push_back(std::make_unique<FlowGraph>(4, 0, packets, kPeerSize, kPeerBound, executorArg(state, 0)));
    for (auto& g : graphs) g->start();
    uint64_t seen = 0;
    for (auto& g : graphs) seen += g->finish();
    if (seen != kGraphs * packets * kPeerSize) state.SkipWithError("bytes lost");
  }
  setCounters(state, kGraphs * packets, kPeerSize);
}
BENCHMARK(BM_Pipelines16)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Fork2On(benchmark::State& state) {
  for (auto _ : state) {
    if (runFlowGraph(0, 2, kPackets, kPeerSize, kPeerBound, executorArg(state, 0)) != 2 * kPackets * kPeerSize)
      state.SkipWithError("bytes lost");
  }
  setCounters(state, kPackets, kPeerSize);
}
BENCHMARK(BM_Fork2On)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

#ifdef ZKFLOW_HAVE_TBB
void BM_Chain_Tbb(benchmark::State& state) {
  const auto stages = static_cast<unsigned int>(state.range(0));
  const uint64_t packets = chainPackets(stages);
  for (auto _ : state) {
    if (peers::runTbbChain(stages, packets, kPeerSize, kPeerBound) != packets * kPeerSize)
      state.SkipWithError("bytes lost");
  }
  setCounters(state, packets, kPeerSize);
}
BENCHMARK(BM_Chain_Tbb)->Arg(2)->Arg(4)->Arg(8)->Arg(16)->Arg(32)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Pipelines16_Tbb(benchmark::State& state) {
  const uint64_t packets = kPackets / 4;
  for (auto _ : state) {
    std::atomic<uint64_t> seen{0};
    std::vector<std::thread> runs;
    for (unsigned int g = 0; g < kGraphs; ++g)
      runs.emplace_back([&] { seen += peers::runTbbChain(4, packets, kPeerSize, kPeerBound); });
    for (auto& t : runs) t.join();
    if (seen.load() != kGraphs * packets * kPeerSize) state.SkipWithError("bytes lost");
  }
  setCounters(state, kGraphs * packets, kPeerSize);
}
BENCHMARK(BM_Pipelines16_Tbb)->UseRealTime()->Unit(benchmark::kMillisecond);
#endif

#ifdef ZKFLOW_GST_LAUNCH
// Times a gst-launch-1.0 run of `buffers` buffers and takes off the start-up
// of a one-buffer run made just before; the manual time is what is left.
void runGst(benchmark::State& state, const std::vector<std::string>& pipeline) {
  constexpr uint64_t kBuffers = 100000;
  double startup = 0;
  for (auto _ : state) {
    startup = peers::runGstLaunch(pipeline, 1);
    const double t = peers::runGstLaunch(pipeline, kBuffers);
    if (startup < 0 || t < 0) {
      state.SkipWithError("gst-launch-1.0 failed");
      return;
    }
    state.SetIterationTime(t > startup ? t - startup : t);
  }
  state.counters["startup_ms"] = startup * 1e3;
  setCounters(state, kBuffers, kPeerSize);
}

void BM_Pipeline4_GstLaunch(benchmark::State& state) { runGst(state, peers::gstPipeline4(kPeerSize)); }
BENCHMARK(BM_Pipeline4_GstLaunch)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_Fork2_GstTee(benchmark::State& state) { runGst(state, peers::gstTee2(kPeerSize)); }
BENCHMARK(BM_Fork2_GstTee)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
#endif

// ------------------------------------------------------------------ pacing

// A clock-regulated source at 192,000 bytes/s (a chunk of 1920 bytes every
// 0.01 s, one work step per cycle) that notes, at the start of each cycle's
// work, how far it is behind the moment pacing planned for it.
struct PacedSource : ZtFlowTask {
  PacedSource() {
    virtualInput(true);
    clockRegulated(true);
    wakeError.reserve(1 << 16);
  }
  ~PacedSource() override { stop(); }
  const char* taskName() const override { return "PacedSource"; }
  void taskRateInfo(ZtFlowRequestRate& r) override {
    r.dataRate(192000);
    r.duration(Utils::Time::fromRaw(655));
    r.durationMin(Utils::Time::fromRaw(655));
    r.durationMax(Utils::Time::fromRaw(6554));
  }
  unsigned int taskHandleFlow(unsigned int, unsigned int outCount, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override {
    // Data at the output position falls due at base + produced / rate; the
    // loop means to start T before that.
    const int32_t produced = static_cast<int32_t>(flowPosOut(0) - flowPosBase());
    const double due = baseClockTime().seconds() + produced / 192000.0;
    const double planned = due - rateInfo().duration().seconds();
    if (produced != 0 && wakeError.size() < wakeError.capacity())
      wakeError.push_back((ZtClock::timeNow().seconds() - planned) * 1e6);
    const unsigned int m = in[0]->size();
    ZtProtector<ZtPacket> stored(new ZtPacket(m));
    for (unsigned int j = 0; j < outCount; ++j) {
      ZtFlowDataPacket* p = new ZtFlowDataPacket(stored);
      p->dSize(m);
      emit(this, j, p);
    }
    return 0;
  }
  std::vector<double> wakeError;  // microseconds; the loop's own
};

struct DropoutCounter {
  static void sink(void* self, const Utils::LogRecord& r) {
    if (std::strncmp(r.text, "Flow Dropout", 12) == 0)
      static_cast<DropoutCounter*>(self)->count.fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<uint64_t> count{0};
};

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t k = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  return v[k];
}

// Cycles at the start of a paced run that the lateness figures leave out.
constexpr size_t kPacingWarmup = 10;

// `count` such sources, each with its sink, on `executor`; the counters
// over every source's cycles.
void runPacedSources(benchmark::State& state, unsigned int count, zkflow::Executor executor) {
  const char* env = std::getenv("ZKFLOW_PACING_SECONDS");
  const double seconds = env ? std::atof(env) : 1.0;
  DropoutCounter dropouts;
  Utils::Log::theLog()->sink(&DropoutCounter::sink, &dropouts);
  std::vector<double> errors;
  for (auto _ : state) {
    // The source's chunk follows its latency while the sink's stays at 1920
    // bytes, so the sink may cut a packet: the flow keeps packets until the
    // source trims them (a consuming read would lose the rest of a cut one).
    std::vector<std::unique_ptr<ZtFlow>> flows;
    std::vector<std::unique_ptr<PacedSource>> sources;
    std::vector<std::unique_ptr<BenchSink>> sinks;
    for (unsigned int k = 0; k < count; ++k) {
      flows.push_back(std::make_unique<ZtFlow>());
      sources.push_back(std::make_unique<PacedSource>());
      sources.back()->addOutput(flows.back().get());
      sources.back()->executor(executor);
      sinks.push_back(std::make_unique<BenchSink>(1920));
      sinks.back()->addInput(flows.back().get());
      sinks.back()->executor(executor);
    }
    for (auto& k : sinks) k->start();
    for (auto& k : sources) k->start();
    const Utils::Time end = ZtClock::timeNow() + Utils::Time(seconds);
    while (ZtClock::timeNow() < end) ZIF_Sleep(0.05);
    // Every source told first: each sees it at the end of its pacing sleep,
    // all at once rather than one stop() after another.
    for (auto& k : sources) k->shutdown(true);
    for (auto& k : sources) k->stop();
    for (auto& k : sinks) {
      k->ended.wait(false, std::memory_order_acquire);
      while (!k->done()) ZIF_Yield();
    }
    // The first cycles are left out on both sides: the loop's latency
    // estimate (and so the moment it plans for) is still settling there,
    // and one such cycle would be the p99 of a one-second run.
    for (auto& k : sources) {
      const size_t warm = std::min(k->wakeError.size(), kPacingWarmup);
      errors.insert(errors.end(), k->wakeError.begin() + static_cast<std::ptrdiff_t>(warm), k->wakeError.end());
    }
  }
  Utils::Log::theLog()->sink(nullptr, nullptr);
  state.counters["cycles"] = static_cast<double>(errors.size());
  state.counters["dropouts"] = static_cast<double>(dropouts.count.load());
  state.counters["late_p50_us"] = percentile(errors, 0.50);
  state.counters["late_p99_us"] = percentile(errors, 0.99);
  state.counters["late_max_us"] = percentile(errors, 1.0);
}

void BM_PacedSource192k(benchmark::State& state) { runPacedSources(state, 1, zkflow::defaultExecutor()); }
BENCHMARK(BM_PacedSource192k)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// 64 of them, with their sinks, on the worker pool: 128 tasks on (by
// default) two workers, the sources' sleeps timers of the pool.
void BM_PacedSources64Pool(benchmark::State& state) { runPacedSources(state, 64, zkflow::Executor::Pool); }
BENCHMARK(BM_PacedSources64Pool)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The floor for the source above: a bare clock_nanosleep loop with the same
// period (0.01 s) for as long, its lateness the time it woke after each
// absolute deadline.
void BM_PacedBareSleep(benchmark::State& state) {
  const char* env = std::getenv("ZKFLOW_PACING_SECONDS");
  const double seconds = env ? std::atof(env) : 1.0;
  std::vector<double> late;
  for (auto _ : state) {
    late = peers::runBareSleepLoop(seconds, 0.01);
    late.erase(late.begin(), late.begin() + static_cast<std::ptrdiff_t>(std::min(late.size(), kPacingWarmup)));
  }
  state.counters["cycles"] = static_cast<double>(late.size());
  state.counters["late_p50_us"] = percentile(late, 0.50);
  state.counters["late_p99_us"] = percentile(late, 0.99);
  state.counters["late_max_us"] = percentile(late, 1.0);
}
BENCHMARK(BM_PacedBareSleep)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// ------------------------------------------------------------------ memory
//
// What an idle task costs: the process's resident memory grows by this much
// for each of 1000 immortal tasks without inputs, made, started and left
// idle on their wait lock, task objects and stacks included, on either
// executor. Counter kib_per_task.
struct IdleTask : ZtFlowTask {
  IdleTask() { immortal(true); }
  ~IdleTask() override { stop(); }
  const char* taskName() const override { return "IdleTask"; }
  void taskRateInfo(ZtFlowRequestRate& r) override {
    r.dataRate(1000);
    r.duration(Utils::Time::fromRaw(655));
  }
  unsigned int taskHandleFlow(unsigned int, unsigned int, ZtFlowPacket**, ZtFlowEmitFn) override { return 0; }
};

uint64_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

void BM_IdleTasks1000(benchmark::State& state) {
  constexpr unsigned int kTasks = 1000;
  double perTask = 0;
  for (auto _ : state) {
    const uint64_t before = residentBytes();
    std::vector<std::unique_ptr<IdleTask>> tasks;
    for (unsigned int k = 0; k < kTasks; ++k) {
      tasks.push_back(std::make_unique<IdleTask>());
      tasks.back()->executor(executorArg(state, 0));
      if (!tasks.back()->start()) state.SkipWithError("start failed");
    }
    const uint64_t after = residentBytes();
    perTask = static_cast<double>(after > before ? after - before : 0) / kTasks / 1024.0;
    tasks.clear();
  }
  state.counters["kib_per_task"] = perTask;
}
BENCHMARK(BM_IdleTasks1000)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
