// Two threads stream data packets of varied sizes over stored packets with
// known bytes through one flow, with back-pressure from the producer's sleep
// and wake tests. Every byte must arrive once and in order, and everything
// must be freed at the end. A lost kick shows up as a hang (the bounded
// joins fail), a torn list as wrong bytes or a sanitizer report.
//
// ZKFLOW_STRESS_PACKETS in the environment sets the packet count for longer
// runs (default: a million, a twentieth under sanitizers).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "common/testutil.h"
#include "kernel/flow/flow.h"

namespace {

constexpr unsigned int kChunk = 8192;     // bytes per stored packet
constexpr unsigned int kMaxPacket = 700;  // largest data packet
constexpr unsigned int kBound = 16384;    // producer sleeps above this
// The stream starts 8 MiB below 2^32, so every run crosses the wrap.
constexpr unsigned int kStart = ~0u - (8u << 20) + 1;

long packetCount(long normal) {
  if (const char* s = std::getenv("ZKFLOW_STRESS_PACKETS")) {
    const long n = std::atol(s);
    if (n > 0) return n;
  }
  return zktest::scaled(normal, 20);
}

// The byte of the stream at position x.
unsigned char streamByte(uint32_t x) { return static_cast<unsigned char>((x * 2654435761u) >> 24); }

// The small unit the flow asks: data buffered ahead of the consumer's
// request, as a flow task measures it.
struct ProducerUnit {
  ZtFlow* flow = nullptr;
  std::atomic<unsigned int> peak{0};
  std::atomic<long> sleeps{0};

  unsigned int buffered() const {
    const unsigned int r = flow->requestPos();
    unsigned int gap;
    return flow->nextGap(r, gap, true) - r;
  }
  static bool sleepTest(void* u) {
    auto* self = static_cast<ProducerUnit*>(u);
    const unsigned int b = self->buffered();
    if (b > self->peak.load(std::memory_order_relaxed)) self->peak.store(b, std::memory_order_relaxed);
    if (b <= kBound) return false;
    self->sleeps.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  static bool wakeTest(void* u) { return static_cast<ProducerUnit*>(u)->buffered() <= kBound / 2; }
};

struct ConsumerUnit {};

// Heap-held so that a run that hangs can be abandoned without destroying
// the flow under its threads.
struct Rig {
  ZtFlow flow;
  ProducerUnit producer;
  ConsumerUnit consumer;
  std::atomic<bool> consumerDone{false};
  // Written by the consumer, read after its join.
  long packetsSeen = 0;
  unsigned long long bytesSeen = 0;
  long badBytes = 0;
  long badPositions = 0;
  // Written by the producer, read after its join.
  unsigned long long bytesSent = 0;
};

void produce(Rig* rig, long packets, bool trim) {
  uint32_t rng = 12345;
  unsigned int running = kStart;
  ZtProtector<ZtPacket> stored;
  unsigned int used = kChunk;
  for (long k = 0; k < packets; ++k) {
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    const unsigned int size = 1 + rng % kMaxPacket;
    if (used + size > kChunk) {
      // A new stored packet whose byte i is the stream's byte running + i.
      stored = ZtProtector<ZtPacket>(new ZtPacket(kChunk));
      char bytes[kChunk];
      for (unsigned int i = 0; i < kChunk; ++i) bytes[i] = static_cast<char>(streamByte(running + i));
      stored->writeAt(0, bytes, kChunk);
      used = 0;
    }
    if (trim) {
      // As a flow task trims its outputs: keep what the consumer may still
      // ask for, well beyond what the sleep test lets it buffer.
      const unsigned int r = rig->flow.requestPos();
      rig->flow.deleteOutsideRange(r, r + 4 * kBound);
    }
    auto* p = new ZtFlowDataPacket(stored);
    p->dStart(used);
    p->dSize(size);
    p->startTime(Utils::Time::fromRaw(running));
    p->endTime(Utils::Time::fromRaw(running + size));
    rig->flow.append(p, &running);  // may wait at the producer's gate
    used += size;
  }
  rig->bytesSent = running - kStart;
  auto* end = new ZtFlowDataPacket;
  end->markupCode(ZtFlowPacket::EndOfFlow);
  end->dSize(1);
  rig->flow.append(end, &running);
}

void consume(Rig* rig) {
  unsigned int at = kStart;
  for (;;) {
    ZtFlowPacket* r = rig->flow.read(at);  // waits at its gate when empty
    if (!r) continue;                      // woken without data
    if (r->markupCode() == ZtFlowPacket::EndOfFlow) {
      ZtFlowPacket::drop(r);
      break;
    }
    auto* d = static_cast<ZtFlowDataPacket*>(r);
    if (d->pos() != at) ++rig->badPositions;
    const auto* bytes = static_cast<const unsigned char*>(d->data());
    for (unsigned int i = 0; i < d->size(); ++i) {
      if (bytes[i] != streamByte(at + i)) ++rig->badBytes;
    }
    at += d->size();
    rig->bytesSeen += d->size();
    ++rig->packetsSeen;
    ZtFlowPacket::drop(r);
    // Now and then let the producer run ahead into its bound.
    if ((rig->packetsSeen & 63) == 0) std::this_thread::yield();
  }
  rig->consumerDone = true;
}

void runStream(long packets, bool trim, bool kicker) {
  zktest::LiveCount live;
  auto* rig = new Rig;
  rig->producer.flow = &rig->flow;
  rig->flow.producer(reinterpret_cast<ZtFlowUnit*>(&rig->producer));
  rig->flow.consumer(reinterpret_cast<ZtFlowUnit*>(&rig->consumer));
  rig->flow.sleepProducerTestFn(&ProducerUnit::sleepTest);
  rig->flow.wakeProducerTestFn(&ProducerUnit::wakeTest);
  rig->flow.readRemovesPacket(!trim);
  rig->flow.requestTime(kStart);

  bool finished;
  {
    zktest::BoundedThread consumer([rig] { consume(rig); });
    zktest::BoundedThread producer([rig, packets, trim] { produce(rig, packets, trim); });
    if (kicker) {
      // A controlling thread's forced kicks: spurious wake-ups that must
      // neither lose data nor unlock a gate twice.
      zktest::waitFor([rig] {
        rig->flow.kick();
        return rig->consumerDone.load();
      }, 300);
    }
    const bool producerDone = producer.join(300);
    const bool consumerDone = consumer.join(300);
    finished = producerDone && consumerDone;
  }
  if (!finished) {
    // Abandon the rig: its threads may still be inside the flow.
    ADD_FAILURE() << "the stream hung: a kick was lost or a gate never opened";
    return;
  }
  EXPECT_EQ(rig->packetsSeen, packets);
  EXPECT_EQ(rig->bytesSeen, rig->bytesSent);
  EXPECT_EQ(rig->badPositions, 0);
  EXPECT_EQ(rig->badBytes, 0);
  EXPECT_GT(rig->producer.sleeps.load(), 0) << "back-pressure never engaged";
  EXPECT_LE(rig->producer.peak.load(), 2 * kBound);
  std::printf("packets %ld, bytes %llu, producer slept %ld times, peak buffered %u\n", rig->packetsSeen,
              rig->bytesSeen, rig->producer.sleeps.load(), rig->producer.peak.load());
  delete rig;
  live.expectBack();
}

TEST(FlowStress, ConsumingReadsWithBackPressure) { runStream(packetCount(1000000), false, false); }

TEST(FlowStress, TrimmedLikeAFlowTaskWithForcedKicks) {
  runStream(packetCount(300000), true, true);
}

}  // namespace
