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
#include <memory>

#include "host/zsys.h"
#include "kernel/flow/message.h"
#include "kernel/flow/queuetask.h"
#include "soakutil.h"

namespace {

using Queue = ZtQueueTask::Queue;
using soak::tick;

constexpr int kSeqBits = 24;
constexpr uint32_t kSeqMask = (1u << kSeqBits) - 1;
constexpr uint64_t kBytesPerItem = 64;  // for --bytes-limit and the summary

enum { Rounds, Items, Messages, Bytes, Lost, Duplicated, Reordered, Leaked, NotDone, Hangs, Logs, Controls,
       Registrations, kCounts };
const char* const kNames[kCounts] = {"rounds", "items", "messages", "bytes", "!lost", "!duplicated",
                                     "!reordered", "!leaked_blocks", "!not_done", "!hangs", "!logs", "controls",
                                     "registrations"};
using Outcome = soak::Counts<uint64_t, kCounts>;
soak::Counts<std::atomic<uint64_t>, kCounts> totals;

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
    if (seq < next[p]) {
      ++duplicated;  // came again, or late
    } else if (seq > next[p]) {
      lost += seq - next[p];  // skipped, for now
      ++reordered;
    }
    next[p] = std::max(next[p], seq + 1);
    ++got;
  }
  std::vector<uint32_t> next;
  uint64_t got = 0, lost = 0, duplicated = 0, reordered = 0;
};

// Forwards every item to its output queue (coop false), or takes items and
// checks them, on its own thread or among its host's tasks (a collector).
struct Worker : ZtQueueTask {
  Worker(bool coop, int producers, bool collects) : ZtQueueTask(coop), check(producers), collects(collects) {}
  ~Worker() override { stop(); }
  void taskHandlePacket(AP<ZtQueuePacket>& p, Queue* out) override {
    if (!p) return;  // the wake-up of a stop
    if (!collects) {
      if (out && !out->push(p)) ++pushFailed;
    } else {
      check.see(p->tag);
      taken.store(check.got, std::memory_order_release);
    }
    tick();
  }
  const char* taskName() override {
    return !collects ? "soak forwarder" : coop() ? "soak collector (coop)" : "soak collector";
  }
  Checker check;  // the body's; read after the owner has stopped the task
  const bool collects;
  std::atomic<uint64_t> taken{0}, pushFailed{0};
};

// Suspends, resumes or stops a task (lifting a suspension); `restart`
// starts it again after a stop.
void disturb(Worker& w, uint64_t what, bool& suspended, bool restart) {
  if (what == 0 && !suspended) w.suspend();
  if (what == 1 && suspended) w.resume();
  if (what <= 1) suspended = what == 0;
  if (what == 2) {
    w.stop();
    suspended = false;
    if (restart) w.start();
  }
}

void runQueues(uint64_t seed, const soak::Args& args, Outcome& o, std::string& what) {
  soak::Rng rng(seed);
  const int producers = static_cast<int>(rng.range(2, 4));
  const uint32_t perProducer = static_cast<uint32_t>(
      std::min<double>(kSeqMask, std::max(1.0, static_cast<double>(rng.range(2000, 30000)) * args.scale)));
  const unsigned int capacity = rng.chance(0.3) ? 0 : static_cast<unsigned int>(rng.range(1, 64));
  const bool coop = rng.chance(0.6);
  const uint64_t total = static_cast<uint64_t>(producers) * perProducer;
  what = "queues: " + std::to_string(producers) + " producers x " + std::to_string(perProducer) + ", capacity " +
         std::to_string(capacity) + (coop ? ", cooperative" : ", pre-emptive") + " collector";

  Queue q1(capacity), q2;  // a cooperative take leaves count alone: q2 unbounded
  Worker fwd(false, 0, false);
  fwd.in(&q1);
  fwd.out(&q2);
  auto col = std::make_unique<Worker>(coop, producers, true);
  col->in(&q2);
  if (!fwd.start()) {
    ++o[NotDone];
    std::fprintf(stderr, "queue_soak: the forwarder did not start\n");
  }

  // The collector's owner: starts it (a cooperative one runs among this
  // thread's tasks), keeps disturbing it, and stops it once all is taken.
  std::atomic<bool> ownerDone{false}, giveUp{false};  // giveUp: items went missing
  std::atomic<uint64_t> ownerOps{0};
  std::thread owner([&, oseed = rng.next()] {
    soak::Rng r(oseed);
    bool suspended = false;
    col->start();
    while (col->taken.load(std::memory_order_acquire) < total && !giveUp.load()) {
      if (coop) ZIF_PollTasks();
      const uint64_t op = r.below(coop ? 64 : 512);
      ownerOps.fetch_add(op <= 2);
      disturb(*col, op, suspended, true);
      if (op > 2 && suspended && r.below(8) == 0) disturb(*col, 1, suspended, false);
      if (op > 2 && !coop) ZIF_Yield();
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
        if (!(r.chance(0.3) && q1.tryPush(item)) && !q1.push(item))
          std::fprintf(stderr, "queue_soak: push failed\n");
        tick();
        if (r.below(256) == 0) std::this_thread::yield();  // vary the interleaving
      }
      producing.fetch_sub(1);
    });
  }

  // The forwarder's owner is this thread.
  bool suspended = false;
  while (producing.load() > 0 || q1.size() > 0) {
    const uint64_t op = rng.below(5);
    disturb(fwd, op, suspended, false);
    if (op > 2 && !fwd.running()) fwd.start();
    ++o[Controls];
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
  auto still = soak::Clock::now();
  soak::waitUntil([&] {
    if (col->taken.load() != seen) {
      seen = col->taken.load();
      still = soak::Clock::now();
    } else if (q1.size() == 0 && soak::secondsSince(still) > std::min(10.0, args.hangSeconds / 2)) {
      giveUp.store(true);
    }
    return ownerDone.load();
  });
  owner.join();
  fwd.stop();
  if (fwd.running() || col->running()) ++o[NotDone];
  o[Controls] += ownerOps.load();
  const Checker& c = col->check;
  o[Items] = c.got;
  o[Duplicated] += c.duplicated;
  o[Reordered] += c.reordered;
  o[Lost] += c.lost;
  for (uint32_t next : c.next) o[Lost] += perProducer - std::min(perProducer, next);
  if (c.got != total || fwd.pushFailed.load() != 0)
    std::fprintf(stderr, "queue_soak: %" PRIu64 " of %" PRIu64 " items taken (%s)\n", c.got, total, what.c_str());
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
  const uint32_t perSender =
      static_cast<uint32_t>(std::max(1.0, static_cast<double>(rng.range(2000, 20000)) * args.scale));
  what = "messages: " + std::to_string(senders) + " senders x " + std::to_string(perSender) + ", " +
         std::to_string(directs) + " direct and " + std::to_string(buffereds) + " buffered receivers";

  std::mutex owner;  // the owner's lock: every messaging object is used under it
  std::vector<std::unique_ptr<ZtMsgSender>> tx;
  std::vector<std::unique_ptr<ZtMsgReceiver>> rx;  // directs first, then buffered ones
  for (int s = 0; s < senders; ++s) tx.push_back(std::make_unique<ZtMsgSender>());
  for (int r = 0; r < directs + buffereds; ++r) rx.push_back(std::make_unique<ZtMsgReceiver>());
  std::vector<uint32_t> sent(static_cast<size_t>(senders), 0);  // under `owner`
  std::vector<std::unique_ptr<Registration>> regs;               // under `owner`
  std::vector<int> bufferedReg(static_cast<size_t>(buffereds), -1);

  auto add = [&](int s, int r, int type) {
    regs.push_back(std::make_unique<Registration>());
    Registration& reg = *regs.back();
    reg.sender = s;
    reg.receiver = r;
    reg.type = type;
    reg.direct = r < directs;
    reg.from = sent[static_cast<size_t>(s)];
    reg.rec = tx[static_cast<size_t>(s)]->addReceiver(*rx[static_cast<size_t>(r)], &Registration::callback, &reg,
                                                      type, reg.direct);
    if (!reg.direct) bufferedReg[static_cast<size_t>(r - directs)] = static_cast<int>(regs.size()) - 1;
    ++o[Registrations];
  };
  auto remove = [&](Registration& reg) {
    reg.to = sent[static_cast<size_t>(reg.sender)];
    if (!tx[static_cast<size_t>(reg.sender)]->removeReceiver(reg.rec)) ++reg.wrong;
    reg.rec = nullptr;
    if (!reg.direct) bufferedReg[static_cast<size_t>(reg.receiver - directs)] = -1;
  };

  {
    // Some registrations from the first message on.
    std::lock_guard<std::mutex> hold(owner);
    for (int r = 0; r < directs; ++r) add(rng.pick(senders), r, 0);
    for (int k = 0; k < buffereds; ++k) add(rng.pick(senders), directs + k, rng.pick(4));
  }
  std::atomic<int> sending{senders};
  std::atomic<bool> polling{true};
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
  for (int k = 0; k < buffereds; ++k) {
    threads.emplace_back([&, me = rx[static_cast<size_t>(directs + k)].get()] {
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
      std::vector<Registration*> active;
      for (auto& reg : regs)
        if (reg->rec) active.push_back(reg.get());
      if (active.size() < 10 && rng.chance(0.55)) {
        const int s = rng.pick(senders), type = rng.pick(4);
        const int k = rng.chance(0.5) ? -1 : rng.pick(buffereds);
        // A buffered receiver takes one registration at a time, and only
        // once the last one's messages are all delivered (see the top).
        if (k < 0)
          add(s, rng.pick(directs), type);
        else if (bufferedReg[static_cast<size_t>(k)] < 0 && rx[static_cast<size_t>(directs + k)]->pendingCount() == 0)
          add(s, directs + k, type);
      } else if (!active.empty()) {
        remove(*active[rng.below(active.size())]);
      }
      ++o[Controls];
    }
    tick();
    // Give the senders and pollers the lock between changes; nothing is
    // ordered by it.
    for (uint64_t y = rng.below(8); y > 0; --y) std::this_thread::yield();
  }
  for (int s = 0; s < senders; ++s) threads[static_cast<size_t>(s)].join();
  polling.store(false);
  for (size_t t = static_cast<size_t>(senders); t < threads.size(); ++t) threads[t].join();

  std::lock_guard<std::mutex> hold(owner);
  for (auto& r : rx) r->poll();  // what is still queued
  for (auto& reg : regs) {
    uint64_t want = 0;
    const uint32_t end = std::min(reg->to, sent[static_cast<size_t>(reg->sender)]);
    for (uint32_t i = reg->from; i < end; ++i) want += matches(reg->type, typeOf(reg->sender, i));
    o[Messages] += reg->delivered;
    o[Duplicated] += reg->duplicated;
    o[Reordered] += reg->wrong;
    o[Lost] += want - std::min(want, reg->delivered);
    if (reg->delivered != want || reg->wrong || reg->duplicated)
      std::fprintf(stderr,
                   "queue_soak: %s registration (sender %d, type %d, seq %u..%u) got %" PRIu64 " of %" PRIu64
                   ", %" PRIu64 " again, %" PRIu64 " wrong\n",
                   reg->direct ? "direct" : "buffered", reg->sender, reg->type, reg->from, end, reg->delivered, want,
                   reg->duplicated, reg->wrong);
  }
  // Receivers first: each takes its registrations out of the senders.
  rx.clear();
  tx.clear();
}

soak::Program program{
    "queue_soak",
    "rounds",
    20,
    // No message is expected: a stop that gave up ("waiting for too long")
    // means a body that did not end within 10 s of being told to.
    [](const Utils::LogRecord& r) {
      totals[Logs].fetch_add(1);
      std::fprintf(stderr, "queue_soak: log: %s\n", r.text);
    },
    [] { return totals.line(kNames); },
    [] { return totals.faults(kNames); },
    [] { totals[Hangs].fetch_add(1); },
    [](long index, uint64_t rseed, const soak::Args& args) {
      for (int half = 0; half < 2; ++half) {
        const int64_t live0 = soak::liveBlocks();
        Outcome h;
        std::string what;
        char ctx[96];
        std::snprintf(ctx, sizeof ctx, "round %ld seed 0x%" PRIx64 " %s", index, rseed, half ? "messages" : "queues");
        soak::watchdog()->context(ctx);
        (half ? runMessages : runQueues)(soak::mixSeed(rseed, half + 1), args, h, what);
        h[Leaked] = soak::leakedSince(live0);
        h[Bytes] = (h[Items] + h[Messages]) * kBytesPerItem;
        const bool ok = h.faults(kNames) == 0;
        if (!ok || args.verbose)
          std::fprintf(ok ? stdout : stderr, "queue_soak: %s %s:%s\n", ctx, what.c_str(), h.line(kNames).c_str());
        totals.add(h);
      }
      totals[Rounds] += 1;
      return true;
    },
    [](const soak::Args& a) { return a.bytesLimit && totals.get(Bytes) >= a.bytesLimit; },
};

}  // namespace

int main(int argc, char** argv) { return program.main(argc, argv); }
