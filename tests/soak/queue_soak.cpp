// Soak test of queue tasks and messaging across threads, round after round.
//
// Queue half: several producer threads push numbered items (producer and
// sequence number in the tag) into a queue, bounded or not. A pre-emptive
// queue task forwards them into a second, unbounded queue, from which a
// cooperative or a pre-emptive queue task takes them and checks them. The
// main thread keeps suspending, resuming, stopping and restarting the first
// task; the thread that owns the second does the same to it. A queue with a
// single consumer hands items out in the order they were pushed, so each
// producer's items must arrive in order, each once, none missing.
//
// Messaging half: the owner's lock guards every sender, receiver and
// registration (messaging takes no locks of its own). Sender threads send
// numbered messages of random types; direct receivers get them inside
// send(), buffered ones when their owner threads poll; the main thread adds
// and removes registrations meanwhile. A registration must get, once and in
// order, every message of a matching type that its sender sent while it was
// registered, and no other (a buffered one also those queued before its
// removal). Each buffered receiver has at most one registration at a time,
// since a poll hands every message to every local record of the receiver.
//
// Usage: queue_soak [--rounds N] [--seconds S] [--seed X] [--bytes-limit N]
//                   [--only SEED] [--hang-seconds S] [--scale F] [--verbose]
// (--bytes-limit counts 64 bytes per item or message handed over.)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/log.h"
#include "host/zsys.h"
#include "kernel/flow/message.h"
#include "kernel/flow/queuetask.h"
#include "soakutil.h"

namespace {

using Queue = ZtQueueTask::Queue;

constexpr int kSeqBits = 24;
constexpr uint32_t kSeqMask = (1u << kSeqBits) - 1;
constexpr uint64_t kBytesPerItem = 64;  // for --bytes-limit and the summary

struct Totals {
  std::atomic<uint64_t> rounds{0}, items{0}, messages{0}, lost{0}, duplicated{0}, reordered{0};
  std::atomic<uint64_t> leaked{0}, notDone{0}, hangs{0}, logs{0}, controls{0}, registrations{0};
  uint64_t seed = 0;
  template <typename Outcome>
  void add(const Outcome& o) {
    o.addTo(*this);
  }
  uint64_t faults() const { return lost + duplicated + reordered + leaked + notDone + hangs + logs; }
  std::string line() const {
    char b[512];
    std::snprintf(b, sizeof b,
                  "queue_soak: rounds=%" PRIu64 " items=%" PRIu64 " messages=%" PRIu64 " bytes=%" PRIu64
                  " lost=%" PRIu64 " duplicated=%" PRIu64 " reordered=%" PRIu64 " leaked_blocks=%" PRIu64
                  " not_done=%" PRIu64 " hangs=%" PRIu64 " logs=%" PRIu64 " controls=%" PRIu64
                  " registrations=%" PRIu64 " seed=0x%" PRIx64,
                  rounds.load(), items.load(), messages.load(), (items.load() + messages.load()) * kBytesPerItem,
                  lost.load(), duplicated.load(), reordered.load(), leaked.load(), notDone.load(), hangs.load(),
                  logs.load(), controls.load(), registrations.load(), seed);
    return b;
  }
};

Totals totals;
soak::Watchdog* watchdog = nullptr;

void tick() {
  if (watchdog) watchdog->tick();
}

// No message is expected: a stop that gave up ("waiting for too long") means
// a body that did not end within 10 s of being told to.
void logSink(void*, const Utils::LogRecord& r) {
  totals.logs.fetch_add(1, std::memory_order_relaxed);
  std::fprintf(stderr, "queue_soak: log: %s\n", r.text);
}

// Per producer, the next sequence number expected; counts what is off.
struct Checker {
  explicit Checker(int producers) : next(static_cast<size_t>(producers), 0) {}
  void see(uint32_t tag) {
    const size_t p = tag >> kSeqBits;
    const uint32_t seq = tag & kSeqMask;
    if (p >= next.size()) {
      ++reordered;
      return;
    }
    if (seq == next[p]) {
      ++next[p];
    } else if (seq < next[p]) {
      ++duplicated;  // came again, or late
    } else {
      lost += seq - next[p];  // skipped, for now
      ++reordered;
      next[p] = seq + 1;
    }
    ++got;
  }
  std::vector<uint32_t> next;
  uint64_t got = 0, lost = 0, duplicated = 0, reordered = 0;
};

// Forwards every item to its output queue.
struct Forwarder : ZtQueueTask {
  Forwarder() : ZtQueueTask(false) {}
  ~Forwarder() override { stop(); }
  void taskHandlePacket(AP<ZtQueuePacket>& p, Queue* out) override {
    if (p && out) {
      if (!out->push(p)) ++pushFailed;
      tick();
    }
  }
  const char* taskName() override { return "soak forwarder"; }
  std::atomic<uint64_t> pushFailed{0};
};

// Takes items and checks them, on its own thread or among its host's tasks.
struct Collector : ZtQueueTask {
  Collector(bool coop, int producers) : ZtQueueTask(coop), check(producers) {}
  ~Collector() override { stop(); }
  void taskHandlePacket(AP<ZtQueuePacket>& p, Queue*) override {
    if (!p) return;  // the wake-up of a stop
    check.see(p->tag);
    taken.store(check.got, std::memory_order_release);
    tick();
  }
  const char* taskName() override { return coop() ? "soak collector (coop)" : "soak collector"; }
  Checker check;  // the body's; read after the owner has stopped the task
  std::atomic<uint64_t> taken{0};
};

struct Outcome {
  uint64_t count = 0, lost = 0, duplicated = 0, reordered = 0, notDone = 0, leaked = 0, controls = 0;
  bool ok() const { return lost + duplicated + reordered + notDone + leaked == 0; }
  template <typename Sum>
  void addTo(Sum& t) const {
    t.lost += lost;
    t.duplicated += duplicated;
    t.reordered += reordered;
    t.notDone += notDone;
    t.leaked += leaked;
    t.controls += controls;
  }
  void add(const Outcome& h) { h.addTo(*this); }
};

using Clock = std::chrono::steady_clock;

void runQueues(uint64_t seed, const soak::Args& args, Outcome& o, std::string& what) {
  soak::Rng rng(seed);
  const int producers = static_cast<int>(rng.range(2, 4));
  const uint32_t perProducer = static_cast<uint32_t>(
      std::min<double>(kSeqMask, std::max(1.0, static_cast<double>(rng.range(2000, 30000)) * args.scale)));
  const unsigned int capacity = rng.chance(0.3) ? 0 : static_cast<unsigned int>(rng.range(1, 64));
  const bool coop = rng.chance(0.6);
  const uint64_t total = static_cast<uint64_t>(producers) * perProducer;
  char b[160];
  std::snprintf(b, sizeof b, "queues: %d producers x %u, capacity %u, %s collector", producers, perProducer,
                capacity, coop ? "cooperative" : "pre-emptive");
  what = b;

  Queue q1(capacity), q2;  // a cooperative take leaves count alone: q2 unbounded
  Forwarder fwd;
  fwd.in(&q1);
  fwd.out(&q2);
  auto* col = new Collector(coop, producers);
  col->in(&q2);
  if (!fwd.start()) {
    ++o.notDone;
    std::fprintf(stderr, "queue_soak: the forwarder did not start\n");
  }

  // The collector's owner: starts it (a cooperative one runs among this
  // thread's tasks), keeps disturbing it, and stops it once all is taken.
  std::atomic<bool> ownerDone{false};
  std::atomic<bool> giveUp{false};  // items went missing: stop waiting for them
  std::atomic<uint64_t> ownerOps{0};
  std::thread owner([&, oseed = rng.next()] {
    soak::Rng r(oseed);
    bool suspended = false;
    col->start();
    while (col->taken.load(std::memory_order_acquire) < total && !giveUp.load()) {
      if (coop) ZIF_PollTasks();
      switch (r.below(coop ? 64 : 512)) {
        case 0:
          if (!suspended) col->suspend();
          suspended = true;
          ownerOps.fetch_add(1);
          break;
        case 1:
          if (suspended) col->resume();
          suspended = false;
          ownerOps.fetch_add(1);
          break;
        case 2:
          col->stop();  // lifts a suspension
          suspended = false;
          col->start();
          ownerOps.fetch_add(1);
          break;
        default:
          if (suspended && r.below(8) == 0) {
            col->resume();
            suspended = false;
          }
          if (!coop) ZIF_Yield();
          break;
      }
    }
    if (suspended) col->resume();
    col->stop();
    ownerDone.store(true);
  });

  std::vector<std::thread> ps;
  std::atomic<int> producing{producers};
  for (int p = 0; p < producers; ++p) {
    ps.emplace_back([&, p, pseed = rng.next()] {
      soak::Rng r(pseed);
      for (uint32_t i = 0; i < perProducer; ++i) {
        AP<ZtQueuePacket> item(new ZtQueuePacket);
        item->tag = (static_cast<uint32_t>(p) << kSeqBits) | i;
        bool pushed = r.chance(0.3) ? q1.tryPush(item) : false;
        if (!pushed) pushed = q1.push(item);
        if (!pushed) std::fprintf(stderr, "queue_soak: push failed\n");
        tick();
        if (r.below(256) == 0) std::this_thread::yield();  // vary the interleaving
      }
      producing.fetch_sub(1);
    });
  }

  // The forwarder's owner is this thread.
  bool suspended = false;
  while (producing.load() > 0 || q1.size() > 0) {
    switch (rng.below(5)) {
      case 0:
        if (!suspended) fwd.suspend();
        suspended = true;
        break;
      case 1:
        if (suspended) fwd.resume();
        suspended = false;
        break;
      case 2:
        fwd.stop();
        suspended = false;
        break;
      default:
        if (!fwd.running()) fwd.start();
        break;
    }
    ++o.controls;
    // Load: let the others run between disturbances. Nothing is ordered by it.
    std::this_thread::sleep_for(std::chrono::microseconds(rng.range(10, 300)));
    tick();
  }
  for (auto& t : ps) t.join();  // each producer's last push went in: q1 took it
  if (suspended) fwd.resume();
  if (!fwd.running()) fwd.start();
  // Everything is in q1 or beyond. If the collector stops getting items
  // while nothing is left before it, some went missing: count them instead
  // of waiting for the watchdog.
  uint64_t seen = col->taken.load();
  auto still = Clock::now();
  while (!ownerDone.load()) {
    std::this_thread::sleep_for(std::chrono::microseconds(500));  // polling a state, not ordering
    const uint64_t now = col->taken.load();
    if (now != seen) {
      seen = now;
      still = Clock::now();
    } else if (q1.size() == 0 && soak::secondsSince(still) > std::min(10.0, args.hangSeconds / 2)) {
      giveUp.store(true);
    }
  }
  owner.join();
  fwd.stop();
  if (fwd.running() || col->running()) ++o.notDone;
  o.controls += ownerOps.load();
  const Checker& c = col->check;
  o.count = c.got;
  o.duplicated += c.duplicated;
  o.reordered += c.reordered;
  for (int p = 0; p < producers; ++p) o.lost += perProducer - std::min(perProducer, c.next[static_cast<size_t>(p)]);
  o.lost += c.lost;
  if (c.got != total || fwd.pushFailed.load() != 0) {
    std::fprintf(stderr, "queue_soak: %" PRIu64 " of %" PRIu64 " items taken (%s)\n", c.got, total, b);
  }
  delete col;
}

// ---------------------------------------------------------------- messaging

struct SoakMsg : ZtMessage {
  SoakMsg(int type, int sender, uint32_t seq) : ZtMessage(type), from(sender), seq(seq) {}
  int from;
  uint32_t seq;
};

int typeOf(int sender, uint32_t seq) {
  return 1 + static_cast<int>(soak::mixSeed(static_cast<uint64_t>(sender) + 77, seq) % 3);
}
bool matches(int regType, int msgType) { return regType == 0 || regType == msgType; }

struct Registration {
  int sender = 0, receiver = 0, type = 0;
  bool direct = true;
  uint32_t from = 0, to = UINT32_MAX;  // sequence numbers sent while registered
  ZtMsgCallbackRec* rec = nullptr;     // while registered
  uint64_t delivered = 0, wrong = 0, duplicated = 0;
  int64_t last = -1;

  static int callback(void* closure, const P<ZtMessage>& m) {
    auto* r = static_cast<Registration*>(closure);
    const auto* msg = static_cast<const SoakMsg*>(m.ptr);
    if (!msg || msg->from != r->sender || msg->seq < r->from || msg->seq >= r->to ||
        !matches(r->type, msg->type())) {
      ++r->wrong;  // a message this registration should never see
    } else if (static_cast<int64_t>(msg->seq) <= r->last) {
      ++r->duplicated;
    } else {
      r->last = msg->seq;
      ++r->delivered;
    }
    tick();
    return 0;
  }
};

void runMessages(uint64_t seed, const soak::Args& args, Outcome& o, std::string& what) {
  soak::Rng rng(seed);
  const int senders = static_cast<int>(rng.range(2, 3));
  const int directs = static_cast<int>(rng.range(1, 3));
  const int buffereds = static_cast<int>(rng.range(1, 3));
  const uint32_t perSender = static_cast<uint32_t>(
      std::max(1.0, static_cast<double>(rng.range(2000, 20000)) * args.scale));
  char b[160];
  std::snprintf(b, sizeof b, "messages: %d senders x %u, %d direct and %d buffered receivers", senders, perSender,
                directs, buffereds);
  what = b;

  std::mutex owner;  // the owner's lock: every messaging object is used under it
  std::vector<std::unique_ptr<ZtMsgSender>> tx;
  std::vector<std::unique_ptr<ZtMsgReceiver>> rx;  // directs first, then buffered ones
  for (int s = 0; s < senders; ++s) tx.push_back(std::make_unique<ZtMsgSender>());
  for (int r = 0; r < directs + buffereds; ++r) rx.push_back(std::make_unique<ZtMsgReceiver>());
  std::vector<uint32_t> sent(static_cast<size_t>(senders), 0);  // under `owner`
  std::vector<std::unique_ptr<Registration>> regs;               // under `owner`
  std::vector<int> bufferedReg(static_cast<size_t>(buffereds), -1);

  auto add = [&](int s, int r, int type) {
    auto reg = std::make_unique<Registration>();
    reg->sender = s;
    reg->receiver = r;
    reg->type = type;
    reg->direct = r < directs;
    reg->from = sent[static_cast<size_t>(s)];
    reg->rec = tx[static_cast<size_t>(s)]->addReceiver(*rx[static_cast<size_t>(r)], &Registration::callback,
                                                       reg.get(), type, reg->direct);
    regs.push_back(std::move(reg));
    totals.registrations.fetch_add(1);
    return static_cast<int>(regs.size()) - 1;
  };
  auto remove = [&](int i) {
    Registration& reg = *regs[static_cast<size_t>(i)];
    reg.to = sent[static_cast<size_t>(reg.sender)];
    if (!tx[static_cast<size_t>(reg.sender)]->removeReceiver(reg.rec)) ++reg.wrong;
    reg.rec = nullptr;
    if (!reg.direct) bufferedReg[static_cast<size_t>(reg.receiver - directs)] = -1;
  };

  {
    // Some registrations from the first message on.
    std::lock_guard<std::mutex> hold(owner);
    for (int r = 0; r < directs; ++r) add(static_cast<int>(rng.below(static_cast<uint64_t>(senders))), r, 0);
    for (int k = 0; k < buffereds; ++k)
      bufferedReg[static_cast<size_t>(k)] =
          add(static_cast<int>(rng.below(static_cast<uint64_t>(senders))), directs + k, static_cast<int>(rng.below(4)));
  }
  std::atomic<int> sending{senders};
  std::vector<std::thread> threads;
  for (int s = 0; s < senders; ++s) {
    threads.emplace_back([&, s, sseed = rng.next()] {
      soak::Rng r(sseed);
      for (uint32_t i = 0; i < perSender; ++i) {
        P<ZtMessage> m(new SoakMsg(typeOf(s, i), s, i));
        {
          std::lock_guard<std::mutex> hold(owner);
          sent[static_cast<size_t>(s)] = i + 1;
          tx[static_cast<size_t>(s)]->send(m);
        }
        tick();
        if (r.below(4) == 0) std::this_thread::yield();
      }
      sending.fetch_sub(1);
    });
  }
  std::atomic<bool> polling{true};
  for (int k = 0; k < buffereds; ++k) {
    threads.emplace_back([&, k] {
      ZtMsgReceiver* me = rx[static_cast<size_t>(directs + k)].get();
      while (polling.load()) {
        {
          std::lock_guard<std::mutex> hold(owner);
          me->poll();
        }
        std::this_thread::yield();
      }
    });
  }

  // The main thread registers and removes while the others send and poll.
  while (sending.load() > 0) {
    {
      std::lock_guard<std::mutex> hold(owner);
      std::vector<int> active;
      for (size_t i = 0; i < regs.size(); ++i)
        if (regs[i]->rec) active.push_back(static_cast<int>(i));
      if (active.size() < 10 && rng.chance(0.55)) {
        const int s = static_cast<int>(rng.below(static_cast<uint64_t>(senders)));
        const int type = static_cast<int>(rng.below(4));
        if (rng.chance(0.5)) {
          add(s, static_cast<int>(rng.below(static_cast<uint64_t>(directs))), type);
        } else {
          const int k = static_cast<int>(rng.below(static_cast<uint64_t>(buffereds)));
          ZtMsgReceiver& r = *rx[static_cast<size_t>(directs + k)];
          // One registration at a time, and only once the last one's
          // messages are all delivered (see the top of this file).
          if (bufferedReg[static_cast<size_t>(k)] < 0 && r.pendingCount() == 0)
            bufferedReg[static_cast<size_t>(k)] = add(s, directs + k, type);
        }
      } else if (!active.empty()) {
        remove(active[rng.below(active.size())]);
      }
      ++o.controls;
    }
    tick();
    // Give the senders and pollers the lock between changes; nothing is
    // ordered by it.
    for (uint64_t y = rng.below(8); y > 0; --y) std::this_thread::yield();
  }
  for (int s = 0; s < senders; ++s) threads[static_cast<size_t>(s)].join();
  polling.store(false);
  for (size_t t = static_cast<size_t>(senders); t < threads.size(); ++t) threads[t].join();
  {
    std::lock_guard<std::mutex> hold(owner);
    for (auto& r : rx) r->poll();  // what is still queued
    for (auto& reg : regs) {
      uint64_t want = 0;
      const uint32_t end = std::min(reg->to, sent[static_cast<size_t>(reg->sender)]);
      for (uint32_t i = reg->from; i < end; ++i) want += matches(reg->type, typeOf(reg->sender, i)) ? 1 : 0;
      o.count += reg->delivered;
      o.duplicated += reg->duplicated;
      o.reordered += reg->wrong;
      if (reg->delivered < want) o.lost += want - reg->delivered;
      if (reg->delivered != want || reg->wrong || reg->duplicated) {
        std::fprintf(stderr,
                     "queue_soak: %s registration (sender %d, type %d, seq %u..%u) got %" PRIu64
                     " of %" PRIu64 ", %" PRIu64 " again, %" PRIu64 " wrong\n",
                     reg->direct ? "direct" : "buffered", reg->sender, reg->type, reg->from, end, reg->delivered,
                     want, reg->duplicated, reg->wrong);
      }
    }
    // Receivers first: each takes its registrations out of the senders.
    rx.clear();
    tx.clear();
  }
}

Outcome runRound(long index, uint64_t rseed, const soak::Args& args) {
  Outcome o;
  std::string what;
  for (int half = 0; half < 2; ++half) {
    const int64_t live0 = soak::liveBlocks();
    Outcome h;
    char ctx[320];
    std::snprintf(ctx, sizeof ctx, "round %ld seed 0x%" PRIx64 " %s", index, rseed, half ? "messages" : "queues");
    watchdog->context(ctx);
    if (half == 0)
      runQueues(soak::mixSeed(rseed, 1), args, h, what);
    else
      runMessages(soak::mixSeed(rseed, 2), args, h, what);
    h.leaked = static_cast<uint64_t>(std::max<int64_t>(0, soak::leakedSince(live0)));
    if (!h.ok() || args.verbose) {
      std::fprintf(h.ok() ? stdout : stderr,
                   "queue_soak: round %ld seed 0x%" PRIx64 " %s: %" PRIu64 " handed over, lost %" PRIu64
                   " duplicated %" PRIu64 " reordered %" PRIu64 " not_done %" PRIu64 " leaked %" PRIu64
                   " controls %" PRIu64 "\n",
                   index, rseed, what.c_str(), h.count, h.lost, h.duplicated, h.reordered, h.notDone, h.leaked,
                   h.controls);
    }
    (half == 0 ? totals.items : totals.messages) += h.count;
    o.add(h);
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  soak::Args args;
  args.count = 20;
  if (!soak::begin(argc, argv, "queue_soak", "rounds", args)) return 2;
  totals.seed = args.seed;
  Utils::Log::theLog()->sink(&logSink, nullptr);
  const auto t0 = Clock::now();
  soak::drive(
      args, watchdog,
      [] {
        totals.hangs.fetch_add(1);
        return totals.line();
      },
      [&](long i, uint64_t rseed) {
        totals.rounds += 1;
        totals.add(runRound(i, rseed, args));
        return true;
      },
      [&] { return args.bytesLimit && (totals.items.load() + totals.messages.load()) * kBytesPerItem >= args.bytesLimit; });
  Utils::Log::theLog()->sink(nullptr, nullptr);
  std::printf("%s wall=%.1fs\n", totals.line().c_str(), soak::secondsSince(t0));
  return totals.faults() == 0 ? 0 : 1;
}
