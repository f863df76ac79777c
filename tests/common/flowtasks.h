// SPDX-License-Identifier: Apache-2.0
// Flow tasks for tests: a source that makes data packets over stored packets
// with known bytes and a sink that keeps what it receives,
// each counting the hooks the loop calls. The counters are atomics, safe to
// poll from the test thread; a sink's byte records belong to its loop: read
// them once the task is done (an acquire load of its last store) or stopped.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "testutil.h"
#include "zkflow/host/clock.h"
#include "zkflow/host/time.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowtask.h"
#include "zkflow/flow/packet.h"

namespace zktest {

// Byte k of the stream with the given seed; the k >> 8 term makes a stream
// shifted by a multiple of 256 differ too.
inline uint8_t patternByte(uint32_t seed, uint64_t k) {
  return static_cast<uint8_t>(k * 131 + (k >> 8) * 7 + seed * 29);
}

// A fresh data packet at position 0 showing n bytes of the pattern from index
// `first`, over a stored packet of its own.
inline ZtFlowDataPacket* makeDataPacket(uint32_t seed, uint64_t first, unsigned int n) {
  ZtProtector<ZtPacket> stored(new ZtPacket(n));
  for (unsigned int k = 0; k < n; ++k) stored->data()[k] = static_cast<char>(patternByte(seed, first + k));
  ZtFlowDataPacket* p = new ZtFlowDataPacket(stored);
  p->dSize(n);
  p->endTime(Utils::Time::fromRaw(n));
  return p;
}

// Back-to-back data on `f` ahead of where its consumer last read.
inline unsigned int bufferedOn(ZtFlow* f) {
  const unsigned int r = f->requestPos();
  unsigned int gap = 0;
  return f->nextGap(r, gap, true) - r;
}

// The request a test task states; times are raw Utils::Time values.
struct Rate {
  unsigned int dataRate = 100000;
  int64_t duration = 655;  // 0.01 s
  int64_t durationMin = 655;
  int64_t durationMax = 3276;  // 0.05 s
};

struct CountingTask : ZtFlowTask {
  explicit CountingTask(const Rate& r) : rate(r) {}
  ~CountingTask() override { stop(); }
  void taskRateInfo(ZtFlowRequestRate& r) override {
    r.dataRate(rate.dataRate);
    r.duration(Utils::Time::fromRaw(rate.duration));
    r.durationMin(Utils::Time::fromRaw(rate.durationMin));
    r.durationMax(Utils::Time::fromRaw(rate.durationMax));
  }
  void taskInit() override { inits.fetch_add(1); }
  void taskStop() override { stops.fetch_add(1); }
  void taskFlush(ZtFlowEmitFn) override { flushes.fetch_add(1); }
  // Markers must never reach a handler.
  void checkMarkup(const ZtFlowPacket* p) {
    if (p->markupCode() == ZtFlowPacket::Flush || p->markupCode() == ZtFlowPacket::EndOfFlow) badMarkup++;
  }
  Rate rate;
  std::atomic<int> inits{0}, stops{0}, flushes{0}, badMarkup{0};
  std::atomic<long> calls{0};
};

// A virtual-input source. Each step it emits one data packet per output as
// large as the virtual input (up to `limit` bytes in all, 0 for none) and ends
// its loop at the limit. With `emitData` false it emits nothing and returns
// the step's size, so that it advances its output all the same (pacing tests).
struct SourceTask : CountingTask {
  SourceTask(ZtFlow* out, const Rate& r, uint32_t seed, uint64_t limit, bool regulated)
      : CountingTask(r), seed(seed), limit(limit) {
    virtualInput(true);
    clockRegulated(regulated);
    if (out) addOutput(out);
  }
  ~SourceTask() override { stop(); }
  const char* taskName() const override { return "TestSource"; }
  unsigned int taskHandleFlow(unsigned int inCount, unsigned int outCount, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override {
    ++calls;
    if (inCount != 1 || !in[0] || in[0]->markupCode() != ZtFlowPacket::VirtualInput) return badMarkup++, 0;
    if (firstSize.load() == 0) firstSize.store(in[0]->size());
    lastInPos.store(in[0]->pos());
    const uint64_t done = made.load();
    unsigned int m = in[0]->size();
    if (limit != 0 && done + m > limit) m = static_cast<unsigned int>(limit - done);
    in[0]->clipSize(m);  // say how much was used
    if (emitData && m != 0) {
      for (unsigned int j = 0; j < outCount; ++j) emit(this, j, makeDataPacket(seed, done, m));
    }
    made.store(done + m);
    if (limit != 0 && done + m >= limit) shutdown(true);
    return emitData ? 0 : m;
  }
  const uint32_t seed;
  const uint64_t limit;
  bool emitData = true;
  std::atomic<uint64_t> made{0};
  std::atomic<unsigned int> firstSize{0}, lastInPos{0};
};

// Keeps the bytes that arrive on each input. Given an output, it advances it
// by what it consumed without emitting, so that it can be clock regulated.
struct SinkTask : CountingTask {
  SinkTask(ZtFlow* in, const Rate& r, ZtFlow* pacedOut = nullptr) : CountingTask(r) {
    if (in) addInput(in);
    if (pacedOut) {
      addOutput(pacedOut);
      clockRegulated(true);
    }
  }
  ~SinkTask() override { stop(); }
  const char* taskName() const override { return "TestSink"; }
  unsigned int taskHandleFlow(unsigned int inCount, unsigned int outCount, ZtFlowPacket** in,
                              ZtFlowEmitFn) override {
    calls++;
    unsigned int common = 0;
    for (unsigned int k = 0; k < inCount && k < kMaxFlows; ++k) {
      if (!in[k]) continue;  // a hole: that input has ended
      checkMarkup(in[k]);
      const unsigned int n = in[k]->size();
      if (common == 0) common = n;
      if (n != common) uneven++;
      const auto* b = static_cast<const uint8_t*>(static_cast<const ZtFlowDataPacket*>(in[k])->data());
      if (!b) return badMarkup++, 0;
      bytes[k].insert(bytes[k].end(), b, b + n);
      received[k].fetch_add(n);
    }
    return outCount ? common : 0;
  }
  std::vector<uint8_t> bytes[kMaxFlows];
  std::atomic<uint64_t> received[kMaxFlows] = {};
  std::atomic<int> uneven{0};
};

// A one-shot latch for stalling a hook. hold() gives up after 30 s, so that a
// test that forgets to open it fails instead of hanging.
struct Latch {
  std::atomic<bool> entered{false}, open{false};
  void hold() {
    entered = true;
    zktest::waitFor([this] { return open.load(); }, 30);
  }
};

// A sink whose handler holds at `stall` on its third call.
struct StallSink : SinkTask {
  StallSink(ZtFlow* in, const Rate& r, Latch* stall = nullptr) : SinkTask(in, r), stall(stall) {}
  ~StallSink() override { stop(); }
  unsigned int taskHandleFlow(unsigned int n, unsigned int o, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    if (stall && calls.load() == 2) stall->hold();
    return SinkTask::taskHandleFlow(n, o, in, emit);
  }
  Latch* stall;
};

// Whether `bytes` is exactly the first bytes.size() bytes of the stream.
inline bool isPattern(const std::vector<uint8_t>& bytes, uint32_t seed) {
  uint64_t k = 0;
  return std::all_of(bytes.begin(), bytes.end(), [&](uint8_t b) { return b == patternByte(seed, k++); });
}

}  // namespace zktest
