// Two threads stream data packets of varied sizes over stored packets with
// known bytes through one flow, the producer held back by its sleep and wake
// tests. Every byte must arrive once and in order, and everything must be
// freed. A lost kick shows as a hang (the bounded joins fail), a torn list as
// wrong bytes or a sanitizer report. ZKFLOW_STRESS_PACKETS sets the packet
// count for longer runs (default: a million, a twentieth under sanitizers).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "common/testutil.h"
#include "kernel/flow/flow.h"

namespace {

constexpr unsigned int kChunk = 8192;     // bytes per stored packet
constexpr unsigned int kBound = 16384;    // the producer sleeps above this
constexpr unsigned int kStart = ~0u - (8u << 20) + 1;  // every run crosses 2^32

long packetCount(long normal) {
  const char* s = std::getenv("ZKFLOW_STRESS_PACKETS");
  return s && std::atol(s) > 0 ? std::atol(s) : zktest::scaled(normal, 20);
}

unsigned char streamByte(uint32_t x) { return static_cast<unsigned char>((x * 2654435761u) >> 24); }

// Heap-held, so that a run that hangs can be abandoned without destroying the
// flow under its threads. The producer's tests measure what lies ahead of the
// consumer's request, as a flow task does.
struct Rig {
  ZtFlow flow;
  std::atomic<unsigned int> peak{0};
  std::atomic<long> sleeps{0};
  std::atomic<bool> consumerDone{false};
  long packetsSeen = 0, bad = 0;  // the consumer's, read after its join
  unsigned long long bytesSeen = 0, bytesSent = 0;

  unsigned int buffered() {
    const unsigned int r = flow.requestPos();
    unsigned int gap;
    return flow.nextGap(r, gap, true) - r;
  }
  static bool sleepTest(void* u) {
    auto* rig = static_cast<Rig*>(u);
    const unsigned int b = rig->buffered();
    if (b > rig->peak.load()) rig->peak.store(b);
    return b > kBound && ++rig->sleeps;
  }
  static bool wakeTest(void* u) { return static_cast<Rig*>(u)->buffered() <= kBound / 2; }
};

void produce(Rig* rig, long packets, bool trim) {
  uint32_t rng = 12345;
  unsigned int running = kStart, used = kChunk;
  ZtProtector<ZtPacket> stored;
  for (long k = 0; k < packets; ++k) {
    rng ^= rng << 13, rng ^= rng >> 17, rng ^= rng << 5;
    const unsigned int size = 1 + rng % 700;
    if (used + size > kChunk) {
      stored = ZtProtector<ZtPacket>(new ZtPacket(kChunk));
      for (unsigned int i = 0; i < kChunk; ++i) stored->data()[i] = static_cast<char>(streamByte(running + i));
      used = 0;
    }
    if (trim) {  // as a flow task trims its outputs, well beyond the bound
      const unsigned int r = rig->flow.requestPos();
      rig->flow.deleteOutsideRange(r, r + 4 * kBound);
    }
    auto* p = new ZtFlowDataPacket(stored);
    p->dStart(used);
    p->dSize(size);
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
  for (unsigned int at = kStart;;) {
    ZtFlowPacket* r = rig->flow.read(at);  // waits at its gate when empty
    if (!r) continue;                      // woken without data
    const bool end = r->markupCode() == ZtFlowPacket::EndOfFlow;
    auto* d = static_cast<ZtFlowDataPacket*>(r);
    const auto* bytes = static_cast<const unsigned char*>(d->data());
    if (!end && d->pos() != at) ++rig->bad;
    for (unsigned int i = 0; !end && i < d->size(); ++i) rig->bad += bytes[i] != streamByte(at + i);
    const unsigned int n = d->size();
    ZtFlowPacket::drop(r);
    if (end) break;
    at += n;
    rig->bytesSeen += n;
    ++rig->packetsSeen;
    if ((rig->packetsSeen & 63) == 0) std::this_thread::yield();  // let the producer run ahead
  }
  rig->consumerDone = true;
}

// `kicker`: a controlling thread's forced kicks, spurious wake-ups that must
// neither lose data nor open a gate twice.
void runStream(long packets, bool trim, bool kicker) {
  zktest::LiveCount live;
  auto* rig = new Rig;
  rig->flow.producer(reinterpret_cast<ZtFlowUnit*>(rig));
  rig->flow.consumer(reinterpret_cast<ZtFlowUnit*>(&rig->consumerDone));
  rig->flow.sleepProducerTestFn(&Rig::sleepTest);
  rig->flow.wakeProducerTestFn(&Rig::wakeTest);
  rig->flow.readRemovesPacket(!trim);
  rig->flow.requestTime(kStart);
  bool finished;
  {
    zktest::BoundedThread consumer([rig] { consume(rig); });
    zktest::BoundedThread producer([rig, packets, trim] { produce(rig, packets, trim); });
    if (kicker) zktest::waitFor([rig] { return rig->flow.kick(), rig->consumerDone.load(); }, 300);
    const bool producerDone = producer.join(300);
    finished = consumer.join(300) && producerDone;
  }
  // A hung rig is abandoned: its threads may still be inside the flow.
  ASSERT_TRUE(finished) << "the stream hung: a kick was lost or a gate never opened";
  EXPECT_EQ(rig->packetsSeen, packets);
  EXPECT_EQ(rig->bytesSeen, rig->bytesSent);
  EXPECT_EQ(rig->bad, 0);
  EXPECT_GT(rig->sleeps.load(), 0) << "back-pressure never engaged";
  EXPECT_LE(rig->peak.load(), 2 * kBound);
  delete rig;
  live.expectBack();
}

TEST(FlowStress, ConsumingReadsWithBackPressure) { runStream(packetCount(1000000), false, false); }
TEST(FlowStress, TrimmedLikeAFlowTaskWithForcedKicks) { runStream(packetCount(300000), true, true); }

}  // namespace
