// Soak test of a pre-emptive queue task under a controller that keeps
// pausing and unpausing its input queue, suspending and resuming it, and
// stopping and restarting it (stops on a paused queue give up and leave the
// body parked), while two producers push into a small bounded queue with
// blocking and non-blocking pushes. Every packet must reach the output queue
// exactly once and in its producer's order.
//
// Size: the first argument that is a number scales the packets per producer
// (default 20000; shrunk under the sanitizers).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/testutil.h"
#include "host/zsys.h"
#include "kernel/flow/queuetask.h"

namespace {

using Queue = ZtQueueTask::Queue;

// A packet's producer and sequence number travel in its tag.
constexpr int kSeqBits = 24;

AP<ZtQueuePacket> packet(int producer, long seq) {
  AP<ZtQueuePacket> p(new ZtQueuePacket);
  p->tag = (static_cast<uint32_t>(producer) << kSeqBits) | static_cast<uint32_t>(seq);
  return p;
}

struct Forwarder : ZtQueueTask {
  Forwarder() : ZtQueueTask(false) { waitLimit = Utils::Time(0.05); }
  ~Forwarder() override { stop(); }
  void taskHandlePacket(AP<ZtQueuePacket>& p, Queue* out) override {
    if (p && out) out->push(p);
  }
  const char* taskName() override { return "stress forwarder"; }
};

long packetsPerProducer() {
  long n = 20000;
  for (const std::string& a : ::testing::internal::GetArgvs()) {
    if (!a.empty() && a[0] >= '0' && a[0] <= '9') n = std::atol(a.c_str());
  }
  n = zktest::scaled(n, 10);
  return n < (1L << kSeqBits) ? n : (1L << kSeqBits) - 1;
}

}  // namespace

TEST(QueueTaskStress, ControlStormKeepsEveryPacket) {
  const long perProducer = packetsPerProducer();
  constexpr int kProducers = 2;
  zktest::LiveCount live;
  zktest::LogCapture log;  // the give-ups are expected; keep them off stderr
  {
    Queue in(8), out;
    Forwarder task;
    task.in(&in);
    task.out(&out);
    ASSERT_TRUE(task.start());

    std::atomic<int> producing{kProducers};
    std::vector<std::unique_ptr<zktest::BoundedThread>> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.push_back(std::make_unique<zktest::BoundedThread>([&, p] {
        for (long i = 0; i < perProducer; ++i) {
          AP<ZtQueuePacket> pk = packet(p, i);
          if (i % 3 == 0) {
            // A refused tryPush leaves the packet with us; push it then.
            if (!in.tryPush(pk)) ASSERT_TRUE(in.push(pk));
          } else {
            ASSERT_TRUE(in.push(pk));
          }
          ASSERT_TRUE(pk.isNull());
        }
        producing.fetch_sub(1);
      }));
    }

    std::mt19937 rng(12345);
    bool suspended = false;
    long ops = 0;
    while (producing.load() > 0) {
      ++ops;
      switch (rng() % 6) {
        case 0:
          in.pause();
          break;
        case 1:
          in.unpause();
          break;
        case 2:
          if (!suspended) task.suspend();
          suspended = true;
          break;
        case 3:
          if (suspended) task.resume();
          suspended = false;
          break;
        case 4:
          task.stop();  // lifts a suspension; gives up on a paused queue
          suspended = false;
          break;
        default:
          // A body that a stop gave up on still runs until the queue is
          // unpaused; only then can the task start again.
          in.unpause();
          ASSERT_TRUE(zktest::waitFor([&] { return task.start(); }, 30));
          break;
      }
      ZIF_Yield();
    }
    for (auto& t : producers) ASSERT_TRUE(t->join(120));

    in.unpause();
    if (suspended) task.resume();
    ASSERT_TRUE(zktest::waitFor([&] { return task.start(); }, 30));
    const unsigned total = static_cast<unsigned>(kProducers * perProducer);
    ASSERT_TRUE(zktest::waitFor([&] { return out.size() == total; }, 60))
        << out.size() << " of " << total << " after " << ops << " control operations";
    task.stop();
    RecordProperty("control_operations", static_cast<int>(ops));
    RecordProperty("stops_given_up", static_cast<int>(log.count("waiting for too long")));
    std::printf("%ld control operations, %zu stops given up\n", ops,
                log.count("waiting for too long"));

    std::vector<int> next(kProducers, 0);
    AP<ZtQueuePacket> p;
    while (out.unlinkHead(p, true)) {
      const int producer = static_cast<int>(p->tag >> kSeqBits);
      const int seq = static_cast<int>(p->tag & ((1u << kSeqBits) - 1));
      ASSERT_LT(producer, kProducers);
      ASSERT_EQ(seq, next[producer]) << "producer " << producer;
      ++next[producer];
    }
    for (int i = 0; i < kProducers; ++i) EXPECT_EQ(next[i], perProducer);
  }
  live.expectBack();
}
