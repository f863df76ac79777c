// SPDX-License-Identifier: Apache-2.0
// What the zkflow layer costs over hand-written flow tasks: the same
// pipeline, source -> gain -> sink on 16-bit stereo at a 48 kHz data rate,
// not paced, once as three lambda stages of a zkflow::Graph and once as three
// ZtFlowTask subclasses with the same request rates, granularity and packets.
// Each iteration builds, runs and tears down the pipeline for 60 s of audio;
// frames per second:
//   BM_LambdaStages  vs  BM_TaskSubclasses
#include <benchmark/benchmark.h>

#include <atomic>
#include <algorithm>
#include <cstring>

#include "zkflow/host/zsys.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowtask.h"
#include "zkflow/flow/packet.h"
#include "zkflow/graph.h"

namespace {

const zkflow::Format kFormat = zkflow::Format::int16(2, 48000);
const uint64_t kFrames = 60 * 48000;

int16_t sample(uint64_t i) { return static_cast<int16_t>(i * 7); }

uint64_t runLambdas() {
  zkflow::Graph g;
  uint64_t sum = 0;
  zkflow::Stage* src = g.source<int16_t>("source", kFormat, [](zkflow::Context& ctx, zkflow::Span<int16_t> out) {
    const uint64_t first = ctx.frame() * 2, n = std::min<uint64_t>(out.size(), kFrames * 2 - first);
    for (uint64_t i = 0; i < n; ++i) out[i] = sample(first + i);
    if (first + n == kFrames * 2) ctx.end();
    return n;
  });
  zkflow::Stage* gain = g.transform<int16_t>("gain", [](zkflow::Context& ctx, zkflow::Span<const int16_t> in) {
    const zkflow::Span<int16_t> out = ctx.output<int16_t>(in.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<int16_t>(in[i] / 2);
  });
  zkflow::Stage* sink = g.sink<int16_t>("sink", [&sum](zkflow::Context&, zkflow::Span<const int16_t> in) {
    for (int16_t s : in) sum += static_cast<uint16_t>(s);
  });
  g.connect(src, gain);
  g.connect(gain, sink);
  g.run();
  return sum;
}

// The hand-written pipeline: what a user of the kernel alone writes.
struct Task : ZtFlowTask {
  explicit Task(bool source) {
    virtualInput(source);
    granularity(4);
  }
  void taskRateInfo(ZtFlowRequestRate& r) override {
    r.duration(Utils::Time(0.02));
    r.durationMin(Utils::Time(0.01));
    r.durationMax(Utils::Time(0.25));
    r.dataRate(kFormat.bytesPerSecond());
  }
  // A new stored packet of `bytes`, and the data packet that shows it, with
  // the times of its stream position.
  ZtFlowDataPacket* packet(unsigned bytes, int16_t*& samples) {
    auto* stored = new ZtPacket(bytes);
    samples = reinterpret_cast<int16_t*>(stored->data());
    ZtProtector<ZtPacket> hold(stored);
    auto* p = new ZtFlowDataPacket(hold);
    p->dSize(bytes);
    p->startTime(Utils::Time::fromRaw(static_cast<int64_t>(out) * 65536 / kFormat.bytesPerSecond()));
    p->endTime(Utils::Time::fromRaw(static_cast<int64_t>(out + bytes) * 65536 / kFormat.bytesPerSecond()));
    out += bytes;
    return p;
  }
  uint64_t out = 0;
};

struct Source : Task {
  Source() : Task(true) {}
  ~Source() override { stop(); }
  const char* taskName() const override { return "source"; }
  unsigned taskHandleFlow(unsigned, unsigned, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    const uint64_t first = out / 2, n = std::min<uint64_t>(in[0]->size() / 2, kFrames * 2 - first);
    int16_t* s;
    ZtFlowDataPacket* p = packet(static_cast<unsigned>(n * 2), s);
    for (uint64_t i = 0; i < n; ++i) s[i] = sample(first + i);
    emit(this, 0, p);
    in[0]->clipSize(static_cast<unsigned>(n * 2));
    if (first + n == kFrames * 2) shutdown(true);
    return 0;
  }
};

struct Gain : Task {
  Gain() : Task(false) {}
  ~Gain() override { stop(); }
  const char* taskName() const override { return "gain"; }
  unsigned taskHandleFlow(unsigned, unsigned, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    const auto* d = static_cast<const ZtFlowDataPacket*>(in[0]);
    const auto* from = static_cast<const int16_t*>(d->data());
    const unsigned n = d->size() / 2;
    int16_t* s;
    ZtFlowDataPacket* p = packet(n * 2, s);
    for (unsigned i = 0; i < n; ++i) s[i] = static_cast<int16_t>(from[i] / 2);
    emit(this, 0, p);
    return 0;
  }
};

struct Sink : Task {
  Sink() : Task(false) {}
  ~Sink() override { stop(); }
  const char* taskName() const override { return "sink"; }
  unsigned taskHandleFlow(unsigned, unsigned, ZtFlowPacket** in, ZtFlowEmitFn) override {
    const auto* d = static_cast<const ZtFlowDataPacket*>(in[0]);
    const auto* s = static_cast<const int16_t*>(d->data());
    const unsigned n = d->size() / 2;
    for (unsigned i = 0; i < n; ++i) sum += static_cast<uint16_t>(s[i]);
    return 0;
  }
  void taskStop() override {
    ended.store(true, std::memory_order_release);
    ended.notify_all();
  }
  uint64_t sum = 0;
  std::atomic<bool> ended{false};
};

uint64_t runSubclasses() {
  ZtFlow a, b;
  Source src;
  Gain gain;
  Sink sink;
  src.addOutput(&a);
  gain.addInput(&a);
  gain.addOutput(&b);
  sink.addInput(&b);
  sink.start();
  gain.start();
  src.start();
  sink.ended.wait(false, std::memory_order_acquire);
  while (!sink.done()) ZIF_Yield();
  return sink.sum;
}

void BM_LambdaStages(benchmark::State& state) {
  const uint64_t want = runSubclasses();
  for (auto _ : state)
    if (runLambdas() != want) state.SkipWithError("the two pipelines differ");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFrames));
}
BENCHMARK(BM_LambdaStages)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_TaskSubclasses(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(runSubclasses());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFrames));
}
BENCHMARK(BM_TaskSubclasses)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
