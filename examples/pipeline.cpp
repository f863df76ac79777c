// SPDX-License-Identifier: Apache-2.0
// Tutorial: the smallest flow pipeline.
//
//   counter source ──(flow)──► checking sink
//
// A source task has no real inputs: it runs in virtual-input mode, and every
// work step the loop offers it one virtual packet whose size says how many
// positions to make. It fills a stored packet with a byte pattern and emits
// it. The sink reads the flow and checks that every byte arrived once, in
// order, at the position it was made for.
//
// The source is not clock regulated: it runs as fast as its consumer lets it
// (back-pressure makes it wait once its consumer has durationMax of data
// ahead). Main lets it run until a few megabytes went through, stops the
// pipeline at its source, and waits (bounded) for the end-of-flow marker to
// wind the sink down.
#include <atomic>
#include <cstdint>
#include <cstdio>

#include <zkflow.h>

namespace {

constexpr unsigned kDataRate = 4000000;    // positions (bytes) per second asked for
constexpr uint64_t kEnough = 4000000;      // bytes to pass before main stops the source

// The byte at stream position `i`. Not periodic over a small span, so a lost,
// repeated or misplaced packet shows up as a wrong byte.
unsigned char pattern(uint64_t i) {
  return static_cast<unsigned char>((i * 2654435761u) >> 24);
}

// Both tasks ask for the same shape of work: 10 ms of data per cycle, never
// more than 50 ms buffered ahead of the consumer.
void rate(ZtFlowRequestRate& r) {
  r.duration(Utils::Time(0.01));
  r.durationMin(Utils::Time(0.005));
  r.durationMax(Utils::Time(0.05));
  r.dataRate(kDataRate);
}

struct CounterSource : ZtFlowTask {
  std::atomic<uint64_t> made{0};  // main watches it while the loop runs

  CounterSource() { virtualInput(true); }
  // The loop calls our hooks: stop it before our part of the object goes.
  ~CounterSource() override { stop(); }

  const char* taskName() const override { return "counter"; }
  void taskRateInfo(ZtFlowRequestRate& r) override { rate(r); }

  unsigned taskHandleFlow(unsigned, unsigned outCount, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    const unsigned bytes = in[0]->size();  // what the virtual input asks for
    if (bytes == 0 || outCount == 0) return 0;
    const uint64_t first = made.load(std::memory_order_relaxed);
    auto* stored = new ZtPacket(bytes);
    auto* data = reinterpret_cast<unsigned char*>(stored->data());
    for (unsigned k = 0; k < bytes; ++k) data[k] = pattern(first + k);

    // A data packet is a window onto a stored packet. Position 0: emitted
    // packets are placed relative to the output's running position.
    ZtProtector<ZtPacket> hold(stored);
    auto* p = new ZtFlowDataPacket(hold);
    p->pos(0);
    p->dStart(0);
    p->dSize(bytes);
    emit(this, 0, p);  // the flow owns the packet from here on
    made.store(first + bytes, std::memory_order_relaxed);
    return 0;          // the emit has advanced the output
  }
};

struct CheckingSink : ZtFlowTask {
  // The loop's own while it runs; main reads them after done().
  uint64_t received = 0;
  uint64_t wrongBytes = 0;
  uint64_t misplaced = 0;

  ~CheckingSink() override { stop(); }

  const char* taskName() const override { return "sink"; }
  void taskRateInfo(ZtFlowRequestRate& r) override { rate(r); }

  unsigned taskHandleFlow(unsigned inCount, unsigned, ZtFlowPacket** in, ZtFlowEmitFn) override {
    if (inCount == 0 || !in[0]) return 0;
    auto* p = static_cast<ZtFlowDataPacket*>(in[0]);
    if (!p->valid()) return 0;
    // The loop may hand us part of a packet and the rest next time; either
    // way the piece starts where the last one ended.
    if (p->pos() != static_cast<unsigned>(received)) ++misplaced;
    const auto* data = static_cast<const unsigned char*>(p->data());
    for (unsigned k = 0; k < p->size(); ++k)
      if (data[k] != pattern(received + k)) ++wrongBytes;
    received += p->size();
    return 0;
  }
};

bool waitFor(const ZtFlowTask& t, double seconds) {
  const Utils::Time deadline = ZtClock::timeNow() + Utils::Time(seconds);
  while (!t.done() && ZtClock::timeNow() < deadline) ZIF_Sleep(0.005);
  return t.done();
}

}  // namespace

int main() {
  // The flow first: it must outlive the tasks attached to it. Its reads
  // leave packets in place (no readRemovesPacket): the sink may take part
  // of a packet in one cycle and the rest in the next, and the source trims
  // what the sink has passed.
  ZtFlow flow;
  CounterSource source;
  CheckingSink sink;
  source.addOutput(&flow);
  sink.addInput(&flow);

  // Consumer first, so that its request is on the flow when the producer
  // starts measuring how far ahead it is.
  if (!sink.start() || !source.start()) {
    std::fprintf(stderr, "pipeline: a task did not start\n");
    return 1;
  }

  const Utils::Time deadline = ZtClock::timeNow() + Utils::Time(20.0);
  while (source.made.load() < kEnough && ZtClock::timeNow() < deadline) ZIF_Sleep(0.005);

  // Stop at the source: its loop ends and sends EndOfFlow, which the sink
  // reads after the last data and ends on. Stopping the sink first could
  // leave the source blocked in an emit that nobody reads.
  source.stop();
  if (!waitFor(sink, 10.0)) {
    std::fprintf(stderr, "pipeline: the sink did not wind down\n");
    return 1;
  }

  const uint64_t made = source.made.load();
  std::printf("pipeline: %llu bytes made, %llu received, %llu wrong, %llu misplaced\n",
              static_cast<unsigned long long>(made), static_cast<unsigned long long>(sink.received),
              static_cast<unsigned long long>(sink.wrongBytes),
              static_cast<unsigned long long>(sink.misplaced));
  const bool ok = made >= kEnough && sink.received == made && sink.wrongBytes == 0 && sink.misplaced == 0;
  std::printf("pipeline: %s\n", ok ? "every byte arrived once and in order" : "FAILED");
  return ok ? 0 : 1;
}
