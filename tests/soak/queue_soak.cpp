// Soak test of queue tasks and messaging across threads, round after round.
//
// Queue half: producer threads push numbered items (producer and sequence
// number in the tag), blocking or not, into a queue, bounded or not. A
// pre-emptive task forwards them into an unbounded queue, from which a
// cooperative or pre-emptive task takes and checks them. This thread keeps
// pausing the first queue and suspending, resuming, stopping and restarting
// the forwarder; the collector's owner thread does the same to it. Each
// producer's items must arrive in order, each once, none missing.
//
// Messaging half: the owner's lock guards every messaging object. Sender
// threads send numbered messages of random types; direct receivers get them
// inside send(), buffered ones when their threads poll; this thread adds and
// removes registrations meanwhile. A registration must get, once and in
// order, every message of a matching type its sender sent while it was
// registered (a buffered one: queued before its removal), and no other. A
// buffered receiver has one registration at a time, since a poll hands every
// message to every local record of the receiver.
//
// Usage: queue_soak [--rounds N] (and the options of --help); --bytes-limit
// counts 64 bytes per item or message handed over.
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
constexpr uint64_t kBytesPerItem = 64;

enum { Rounds, Items, Messages, Bytes, Lost, Duplicated, Reordered, Leaked, NotDone, Hangs, Logs, Controls,
       Registrations, kCounts };
const char* const kNames[kCounts] = {"rounds", "items", "messages", "bytes", "!lost", "!duplicated",
                                     "!reordered", "!leaked_blocks", "!not_done", "!hangs", "!logs", "controls",
                                     "registrations"};
using Outcome = soak::Counts<uint64_t, kCounts>;
soak::Counts<std::atomic<uint64_t>, kCounts> totals;

// Forwards every item (a forwarder), or takes items and checks that each
// producer's come in order, once (a collector).
struct Worker : ZtQueueTask {
  Worker(bool coop, int producers) : ZtQueueTask(coop), next(static_cast<size_t>(producers), 0) {}
  ~Worker() override { stop(); }
  void taskHandlePacket(AP<ZtQueuePacket>& p, Queue* out) override {
    if (!p) return;  // the wake-up of a stop
    if (out && !out->push(p)) ++pushFailed;
    if (!out) see(static_cast<size_t>(p->tag >> kSeqBits), p->tag & ((1u << kSeqBits) - 1));
    tick();
  }
  void see(size_t p, uint32_t seq) {
    if (p >= next.size()) return void(++o[Reordered]);
    o[seq < next[p] ? Duplicated : Lost] += seq < next[p] ? 1 : seq - next[p];  // late, or skipped for now
    o[Reordered] += seq > next[p];
    next[p] = std::max(next[p], seq + 1);
    taken.store(++o[Items], std::memory_order_release);
  }
  const char* taskName() override { return next.empty() ? "soak forwarder" : "soak collector"; }
  // Suspends, resumes or stops (lifting a suspension); `restart` starts again.
  void disturb(uint64_t what, bool restart) {
    if (what == 0 && !suspended) suspend();
    if (what == 1 && suspended) resume();
    if (what <= 1) suspended = what == 0;
    if (what == 2) {
      stop();
      suspended = false;
      if (restart) start();
    }
  }
  std::vector<uint32_t> next;  // the body's, read after the owner has stopped the task
  Outcome o;
  bool suspended = false;  // the owner's
  std::atomic<uint64_t> taken{0}, pushFailed{0};
};

void runQueues(uint64_t seed, const soak::Args& args, Outcome& o, std::string& what) {
  soak::Rng rng(seed);
  const int producers = static_cast<int>(rng.range(2, 4));
  const auto perProducer = static_cast<uint32_t>(std::min<double>(
      (1u << kSeqBits) - 1, std::max(1.0, static_cast<double>(rng.range(2000, 30000)) * args.scale)));
  const unsigned int capacity = rng.chance(0.3) ? 0 : static_cast<unsigned int>(rng.range(1, 64));
  const bool coop = rng.chance(0.6);
  const uint64_t total = static_cast<uint64_t>(producers) * perProducer;
  what = "queues: " + std::to_string(producers) + " producers x " + std::to_string(perProducer) + ", capacity " +
         std::to_string(capacity) + (coop ? ", cooperative" : ", pre-emptive") + " collector";

  Queue q1(capacity), q2;  // a cooperative take leaves count alone: q2 unbounded
  Worker fwd(false, 0);
  auto col = std::make_unique<Worker>(coop, producers);
  fwd.in(&q1);
  fwd.out(&q2);
  col->in(&q2);
  if (!fwd.start()) ++o[NotDone];

  // The collector's owner starts it (a cooperative one runs among this
  // thread's tasks), keeps disturbing it, and stops it once all is taken.
  std::atomic<bool> ownerDone{false}, giveUp{false};  // giveUp: items went missing
  std::atomic<uint64_t> ownerOps{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&, r = soak::Rng(rng.next())]() mutable {
    col->start();
    while (col->taken.load(std::memory_order_acquire) < total && !giveUp.load()) {
      if (coop) ZIF_PollTasks();
      const uint64_t op = r.below(coop ? 64 : 512);
      ownerOps.fetch_add(op <= 2);
      col->disturb(op, true);
      if (op > 2 && col->suspended && r.below(8) == 0) col->disturb(1, false);
      if (op > 2 && !coop) ZIF_Yield();
    }
    col->disturb(1, false);
    col->stop();
    ownerDone.store(true);
  });
  std::atomic<int> producing{producers};
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p, r = soak::Rng(rng.next())]() mutable {
      for (uint32_t i = 0; i < perProducer; ++i) {
        AP<ZtQueuePacket> item(new ZtQueuePacket);
        item->tag = (static_cast<uint32_t>(p) << kSeqBits) | i;
        if (!(r.chance(0.3) && q1.tryPush(item)) && !q1.push(item)) std::fprintf(stderr, "queue_soak: push failed\n");
        tick();
        if (r.below(256) == 0) std::this_thread::yield();  // vary the interleaving
      }
      producing.fetch_sub(1);
    });
  }
  // This thread owns the forwarder. A stop on a paused queue would give up
  // on the parked body (the unit tests show that): unpause first.
  while (producing.load() > 0 || q1.size() > 0) {
    const uint64_t op = rng.below(7);
    if (op == 2 || op == 5) q1.unpause();
    if (op == 6) q1.pause();
    fwd.disturb(op, false);
    if ((op == 3 || op == 4) && !fwd.running()) fwd.start();
    ++o[Controls];
    // Load: let the others run between disturbances. Nothing is ordered by
    // it. No tick: a control is not progress, and must not hide a stall.
    std::this_thread::sleep_for(std::chrono::microseconds(rng.range(10, 300)));
  }
  q1.unpause();
  fwd.disturb(1, false);
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
  for (auto& t : threads) t.join();
  fwd.stop();
  o[NotDone] += fwd.running() || col->running();
  o[Controls] += ownerOps.load();
  o.add(col->o);
  for (uint32_t next : col->next) o[Lost] += perProducer - std::min(perProducer, next);
  if (o[Items] != total || fwd.pushFailed.load() != 0)
    std::fprintf(stderr, "queue_soak: %" PRIu64 " of %" PRIu64 " items taken (%s)\n", o[Items], total, what.c_str());
}

// ---------------------------------------------------------------- messaging

struct SoakMsg : ZtMessage {
  SoakMsg(int sender, uint32_t seq) : ZtMessage(typeOf(sender, seq)), from(sender), seq(seq) {}
  static int typeOf(int sender, uint32_t seq) {
    return 1 + static_cast<int>(soak::mixSeed(static_cast<uint64_t>(sender) + 77, seq) % 3);
  }
  int from;
  uint32_t seq;
};

bool matches(int regType, int msgType) { return regType == 0 || regType == msgType; }

struct Registration {
  int sender, receiver, type;
  bool direct;
  uint32_t from, to = UINT32_MAX;   // sequence numbers sent while registered
  ZtMsgCallbackRec* rec = nullptr;  // while registered
  uint64_t delivered = 0, wrong = 0, duplicated = 0;
  int64_t last = -1;

  static int callback(void* closure, const P<ZtMessage>& m) {
    auto* r = static_cast<Registration*>(closure);
    const auto* msg = static_cast<const SoakMsg*>(m.ptr);
    if (!msg || msg->from != r->sender || msg->seq < r->from || msg->seq >= r->to || !matches(r->type, msg->type()))
      ++r->wrong;  // a message this registration should never see
    else if (static_cast<int64_t>(msg->seq) <= r->last)
      ++r->duplicated;
    else
      ++r->delivered, r->last = msg->seq;
    tick();
    return 0;
  }
};

void runMessages(uint64_t seed, const soak::Args& args, Outcome& o, std::string& what) {
  soak::Rng rng(seed);
  const int senders = static_cast<int>(rng.range(2, 3)), directs = static_cast<int>(rng.range(1, 3));
  const int buffereds = static_cast<int>(rng.range(1, 3));
  const auto perSender = static_cast<uint32_t>(std::max(1.0, static_cast<double>(rng.range(2000, 20000)) * args.scale));
  what = "messages: " + std::to_string(senders) + " senders x " + std::to_string(perSender) + ", " +
         std::to_string(directs) + " direct and " + std::to_string(buffereds) + " buffered receivers";

  std::mutex owner;  // the owner's lock: every messaging object is used under it
  std::vector<std::unique_ptr<ZtMsgSender>> tx;
  std::vector<std::unique_ptr<ZtMsgReceiver>> rx;  // directs first, then buffered ones
  for (int s = 0; s < senders; ++s) tx.push_back(std::make_unique<ZtMsgSender>());
  for (int r = 0; r < directs + buffereds; ++r) rx.push_back(std::make_unique<ZtMsgReceiver>());
  std::vector<uint32_t> sent(static_cast<size_t>(senders), 0);     // under `owner`
  std::vector<std::unique_ptr<Registration>> regs;                  // under `owner`
  std::vector<Registration*> bufferedReg(rx.size(), nullptr);      // the one of each buffered receiver
  auto add = [&](int s, int r, int type) {
    regs.push_back(std::make_unique<Registration>(Registration{s, r, type, r < directs, sent[s]}));
    Registration* reg = regs.back().get();
    reg->rec = tx[s]->addReceiver(*rx[r], &Registration::callback, reg, type, reg->direct);
    if (!reg->direct) bufferedReg[r] = reg;
    ++o[Registrations];
  };
  {
    // Some registrations from the first message on.
    std::lock_guard<std::mutex> hold(owner);
    for (int r = 0; r < directs + buffereds; ++r) add(rng.pick(senders), r, r < directs ? 0 : rng.pick(4));
  }
  std::atomic<int> sending{senders};
  std::atomic<bool> polling{true};
  std::vector<std::thread> threads;
  for (int s = 0; s < senders; ++s) {
    threads.emplace_back([&, s, r = soak::Rng(rng.next())]() mutable {
      for (uint32_t i = 0; i < perSender; ++i) {
        P<ZtMessage> m(new SoakMsg(s, i));
        {
          std::lock_guard<std::mutex> hold(owner);
          sent[s] = i + 1;
          tx[s]->send(m);
        }
        tick();
        if (r.below(4) == 0) std::this_thread::yield();
      }
      sending.fetch_sub(1);
    });
  }
  for (int k = directs; k < directs + buffereds; ++k) {
    threads.emplace_back([&, me = rx[k].get()] {
      for (; polling.load(); std::this_thread::yield()) {
        std::lock_guard<std::mutex> hold(owner);
        me->poll();
      }
    });
  }

  // This thread registers and removes while the others send and poll.
  while (sending.load() > 0) {
    {
      std::lock_guard<std::mutex> hold(owner);
      std::vector<Registration*> active;
      for (auto& reg : regs)
        if (reg->rec) active.push_back(reg.get());
      if (active.size() < 10 && rng.chance(0.55)) {
        const int s = rng.pick(senders), type = rng.pick(4);
        const int r = rng.chance(0.5) ? rng.pick(directs) : directs + rng.pick(buffereds);
        // A buffered receiver takes a registration only once the last one's
        // messages are all delivered (see the top).
        if (r < directs || (!bufferedReg[r] && rx[r]->pendingCount() == 0)) add(s, r, type);
      } else if (!active.empty()) {
        Registration& reg = *active[rng.below(active.size())];
        reg.to = sent[reg.sender];
        reg.wrong += !tx[reg.sender]->removeReceiver(reg.rec);
        reg.rec = nullptr;
        if (!reg.direct) bufferedReg[reg.receiver] = nullptr;
      }
      ++o[Controls];
    }
    // Give the senders and pollers the lock between changes; nothing is
    // ordered by it.
    for (uint64_t y = rng.below(8); y > 0; --y) std::this_thread::yield();
  }
  for (int s = 0; s < senders; ++s) threads[s].join();
  polling.store(false);
  for (auto& t : threads)
    if (t.joinable()) t.join();

  std::lock_guard<std::mutex> hold(owner);
  for (auto& r : rx) r->poll();  // what is still queued
  for (auto& reg : regs) {
    uint64_t want = 0;
    const uint32_t end = std::min(reg->to, sent[reg->sender]);
    for (uint32_t i = reg->from; i < end; ++i) want += matches(reg->type, SoakMsg::typeOf(reg->sender, i));
    o[Messages] += reg->delivered;
    o[Duplicated] += reg->duplicated;
    o[Reordered] += reg->wrong;
    o[Lost] += want - std::min(want, reg->delivered);
    if (reg->delivered != want || reg->wrong || reg->duplicated)
      std::fprintf(stderr, "queue_soak: %s registration (sender %d, type %d, seq %u..%u) got %" PRIu64 " of %" PRIu64
                   ", %" PRIu64 " again, %" PRIu64 " wrong\n", reg->direct ? "direct" : "buffered", reg->sender,
                   reg->type, reg->from, end, reg->delivered, want, reg->duplicated, reg->wrong);
  }
  rx.clear();  // receivers first: each takes its registrations out of the senders
  tx.clear();
}

soak::Program program{
    "queue_soak", "rounds", 20,
    // No message is expected: a stop that gave up ("waiting for too long")
    // means a body that did not end within 10 s of being told to.
    [](const Utils::LogRecord& r) {
      totals[Logs].fetch_add(1);
      std::fprintf(stderr, "queue_soak: log: %s\n", r.text);
    },
    [] { return totals.line(kNames); }, [] { return totals.faults(kNames); }, [] { totals[Hangs].fetch_add(1); },
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
