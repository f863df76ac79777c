// Flow tasks for tests: a source that makes data packets over stored packets
// with known bytes, a pass-through and a sink that keeps what it receives.
// Each counts the hooks the loop calls, so that tests can check what ran.
//
// Threads: the counters are atomics, safe to poll from the test thread. The
// byte records (SinkTask::bytes) belong to the task's loop; read them once
// the task is done (done() is an acquire load of the loop's last store) or
// stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "host/clock.h"
#include "host/time.h"
#include "kernel/flow/flow.h"
#include "kernel/flow/flowtask.h"
#include "kernel/flow/packet.h"

namespace zktest {

// Byte k of the stream with the given seed. The k >> 8 term makes a stream
// that is shifted by a multiple of 256 differ too.
inline uint8_t patternByte(uint32_t seed, uint64_t k) {
  return static_cast<uint8_t>(k * 131 + (k >> 8) * 7 + seed * 29);
}

// A fresh data packet (no reference yet) showing n bytes of the pattern from
// content index `first`, over a stored packet of its own.
inline ZtFlowDataPacket* makeDataPacket(uint32_t seed, uint64_t first, unsigned int n) {
  ZtProtector<ZtPacket> stored(new ZtPacket(n));
  std::vector<uint8_t> bytes(n);
  for (unsigned int k = 0; k < n; ++k) bytes[k] = patternByte(seed, first + k);
  stored->writeAt(0, bytes.data(), n);
  ZtFlowDataPacket* p = new ZtFlowDataPacket(stored);
  p->dStart(0);
  p->dSize(n);
  p->pos(0);
  p->startTime(Utils::Time::fromRaw(0));
  p->endTime(Utils::Time::fromRaw(n));
  return p;
}

// Back-to-back data on `f` ahead of where its consumer last read.
inline unsigned int bufferedOn(ZtFlow* f) {
  const unsigned int r = f->requestPos();
  unsigned int gap = 0;
  return f->nextGap(r, gap, true) - r;
}

// The request a test task states. Times are raw Utils::Time values.
struct Rate {
  unsigned int dataRate = 100000;
  int64_t duration = 655;      // 0.01 s
  int64_t durationMin = 655;
  int64_t durationMax = 3276;  // 0.05 s
};

// What every test task counts.
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
    const auto code = p->markupCode();
    if (code == ZtFlowPacket::Flush || code == ZtFlowPacket::EndOfFlow) badMarkup.fetch_add(1);
  }

  Rate rate;
  std::atomic<int> inits{0};
  std::atomic<int> stops{0};
  std::atomic<int> flushes{0};
  std::atomic<int> badMarkup{0};
  std::atomic<long> calls{0};
};

// A virtual-input source. Each work step it makes one data packet per output
// as large as the virtual input (up to `limit` bytes in all, 0 for no limit)
// and, when the limit is reached, ends its own loop. With `emitData` false it
// emits nothing and returns the step's size instead, so that a task without
// a consumer still advances its output position (pacing tests).
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
    calls.fetch_add(1);
    if (inCount != 1 || !in[0] || in[0]->markupCode() != ZtFlowPacket::VirtualInput) {
      badMarkup.fetch_add(1);
      return 0;
    }
    if (firstSize.load() == 0) firstSize.store(in[0]->size());
    const long call = calls.load();
    if (call <= 4) callTime[call - 1].store(ZtClock::timeNow().raw());
    lastInPos.store(in[0]->pos());
    if (flushWanted.exchange(false)) flush(emit);
    const uint64_t done = made.load();
    unsigned int m = in[0]->size();
    if (limit != 0 && done + m > limit) m = static_cast<unsigned int>(limit - done);
    if (m < in[0]->size()) in[0]->clipSize(m);  // say how much was used
    if (emitData && m != 0) {
      // What output 0 will hold once this packet is on it: the peak, which
      // the emit itself may wait out before it returns.
      if (outCount != 0) {
        const unsigned int b = bufferedOn(output(0)) + m;
        if (b > maxBuffered.load()) maxBuffered.store(b);
      }
      for (unsigned int j = 0; j < outCount; ++j) emit(this, j, makeDataPacket(seed, done, m));
    }
    made.store(done + m);
    if (limit != 0 && done + m >= limit) shutdown(true);
    return emitData ? 0 : m;
  }

  const uint32_t seed;
  const uint64_t limit;
  bool emitData = true;
  std::atomic<bool> flushWanted{false};
  std::atomic<uint64_t> made{0};
  std::atomic<unsigned int> firstSize{0};
  std::atomic<unsigned int> lastInPos{0};
  std::atomic<unsigned int> maxBuffered{0};
  std::atomic<int64_t> callTime[4] = {};  // clock at the first four calls
};

// Copies its one input to its one output.
struct PassTask : CountingTask {
  PassTask(ZtFlow* in, ZtFlow* out, const Rate& r) : CountingTask(r) {
    addInput(in);
    addOutput(out);
  }
  ~PassTask() override { stop(); }

  const char* taskName() const override { return "TestPass"; }

  unsigned int taskHandleFlow(unsigned int inCount, unsigned int outCount, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override {
    calls.fetch_add(1);
    if (inCount == 0 || !in[0]) return 0;
    checkMarkup(in[0]);
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

// Keeps the bytes that arrive on each input. When given an output, it
// advances it by what it consumed without emitting anything, so that it can
// be clock regulated (pacing runs on output 0).
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
    calls.fetch_add(1);
    unsigned int common = 0;
    unsigned int used = 0;
    for (unsigned int k = 0; k < inCount && k < kMaxFlows; ++k) {
      ZtFlowPacket* p = in[k];
      if (!p) continue;  // a hole: that input has ended
      checkMarkup(p);
      const unsigned int n = p->size();
      if (common == 0) common = n;
      if (n != common) uneven.fetch_add(1);
      const auto* d = static_cast<const ZtFlowDataPacket*>(p);
      const auto* bytesIn = static_cast<const uint8_t*>(d->data());
      if (!bytesIn) {
        badMarkup.fetch_add(1);
        continue;
      }
      bytes[k].insert(bytes[k].end(), bytesIn, bytesIn + n);
      received[k].fetch_add(n);
      used = n;
    }
    return outCount ? used : 0;
  }

  std::vector<uint8_t> bytes[kMaxFlows];
  std::atomic<uint64_t> received[kMaxFlows] = {};
  std::atomic<int> uneven{0};
};

// Whether `bytes` is exactly the first bytes.size() bytes of the stream.
inline bool isPattern(const std::vector<uint8_t>& bytes, uint32_t seed) {
  for (uint64_t k = 0; k < bytes.size(); ++k)
    if (bytes[k] != patternByte(seed, k)) return false;
  return true;
}

}  // namespace zktest
