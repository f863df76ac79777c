// SPDX-License-Identifier: Apache-2.0
// Soak test of queue tasks and messaging across threads, round after round.
//
// Queues: producer threads push numbered items into a queue, bounded or not;
// a pre-emptive task forwards them to a cooperative or pre-emptive collector.
// This thread keeps pausing the first queue and suspending, resuming,
// stopping and restarting the forwarder; the collector's owner thread does
// the same to it. Each producer's items must arrive in order, each once.
//
// Messaging, under the owner's lock: sender threads send numbered messages of
// random types while this thread polls the buffered receivers and adds and
// removes registrations. A registration must get, once and in order, every
// message of its type sent while it was registered (a buffered one: queued
// before its removal), and no other. A buffered receiver has one
// registration at a time: a poll hands every message to all its records.
//
// Usage: queue_soak [--rounds N] (and the options of --help)
#include <algorithm>
#include <memory>

#include "zkflow/host/zsys.h"
#include "zkflow/flow/message.h"
#include "zkflow/flow/queuetask.h"
#include "soakutil.h"

namespace {

using Queue = ZtQueueTask::Queue;

constexpr int kSeqBits = 28;  // a tag: producer, sequence number

enum { Bytes, Rounds, Items, Messages, Controls, Lost, Duplicated, Wrong, NotDone, Logs };

// Forwards every item (a forwarder), or takes items and checks that each
// producer's come in order, once (a collector).
struct Worker : ZtQueueTask {
  Worker(bool coop, int producers) : ZtQueueTask(coop), next(static_cast<size_t>(producers), 0) {}
  ~Worker() override { stop(); }
  void taskHandlePacket(zk::AP<ZtQueuePacket>& p, Queue* out) override {
    if (!p) return;  // the wake-up of a stop
    if (out) {
      if (!out->push(p)) soak::add(Lost);
    } else {
      const auto from = static_cast<size_t>(p->tag >> kSeqBits);
      const uint32_t seq = p->tag & ((1u << kSeqBits) - 1), want = from < next.size() ? next[from] : ~0u;
      soak::add(seq < want ? Duplicated : Wrong, seq != want);  // one skipped over: out of order, or lost
      if (want != ~0u) next[from] = std::max(want, seq + 1);
      taken.fetch_add(1, std::memory_order_release);
    }
    soak::tick();
  }
  const char* taskName() override { return next.empty() ? "soak forwarder" : "soak collector"; }
  // 0 suspends, 1 resumes, 2 stops (lifting a suspension) and with `restart` starts again.
  void disturb(uint64_t what, bool restart) {
    if (what == 0 && !suspended) suspend();
    if (what == 1 && suspended) resume();
    if (what == 2) stop();
    if (what == 2 && restart) start();
    if (what <= 2) suspended = what == 0;
  }
  std::vector<uint32_t> next;  // the body's, read after the owner has stopped the task
  bool suspended = false;      // the owner's
  std::atomic<uint64_t> taken{0};
};

void runQueues(soak::Rng rng) {
  const int producers = static_cast<int>(rng.range(2, 4));
  const auto perProducer = static_cast<uint32_t>(soak::scaled(rng.range(2000, 30000)));
  const unsigned int capacity = rng.chance(0.3) ? 0 : static_cast<unsigned int>(rng.range(1, 64));
  const bool coop = rng.chance(0.6);
  const uint64_t total = static_cast<uint64_t>(producers) * perProducer;
  Queue q1(capacity), q2;  // a cooperative take leaves count alone: q2 unbounded
  Worker fwd(false, 0);
  auto col = std::make_unique<Worker>(coop, producers);
  fwd.in(&q1);
  fwd.out(&q2);
  col->in(&q2);
  soak::add(NotDone, !fwd.start());

  // The collector's owner starts it (a cooperative one runs among this
  // thread's tasks), keeps disturbing it, and stops it once all is taken.
  std::vector<std::thread> threads;
  threads.emplace_back([&, r = soak::Rng{rng.next()}]() mutable {
    col->start();
    while (col->taken.load(std::memory_order_acquire) < total) {  // a lost item: a hang
      if (coop) ZIF_PollTasks();
      const uint64_t op = r.below(coop ? 64 : 512);
      soak::add(Controls, op <= 2);
      col->disturb(op, true);
      if (op > 2 && col->suspended && r.below(8) == 0) col->disturb(1, false);
      if (op > 2 && !coop) ZIF_Yield();
    }
    col->disturb(1, false);
    col->stop();
  });
  std::atomic<int> producing{producers};
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p, r = soak::Rng{rng.next()}]() mutable {
      for (uint32_t i = 0; i < perProducer; ++i) {
        zk::AP<ZtQueuePacket> item(new ZtQueuePacket);
        item->tag = (static_cast<uint32_t>(p) << kSeqBits) | i;
        if (!(r.chance(0.3) && q1.tryPush(item)) && !q1.push(item)) soak::add(Lost);
        soak::tick();
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
    soak::add(Controls);
    // Load: let the others run between disturbances. Nothing is ordered by
    // it. No tick: a control is not progress, and must not hide a stall.
    std::this_thread::sleep_for(std::chrono::microseconds(rng.range(10, 300)));
  }
  q1.unpause();
  fwd.disturb(1, false);
  if (!fwd.running()) fwd.start();
  for (auto& t : threads) t.join();
  fwd.stop();
  soak::add(NotDone, fwd.running() || col->running());
  soak::add(Items, col->taken.load());
  soak::add(Bytes, col->taken.load() * 64);  // nominal, for --bytes-limit
  for (uint32_t next : col->next) soak::add(Lost, perProducer - std::min(perProducer, next));
}

struct SoakMsg : ZtMessage {
  SoakMsg(int sender, uint32_t seq) : ZtMessage(typeOf(sender, seq)), from(sender), seq(seq) {}
  static int typeOf(int sender, uint32_t seq) { return 1 + static_cast<int>(soak::mix(sender + 77u, seq) % 3); }
  int from;
  uint32_t seq;
};

bool matches(int regType, int msgType) { return regType == 0 || regType == msgType; }

struct Registration {
  int sender, receiver, type;
  bool direct;
  uint32_t from, to = UINT32_MAX;   // sequence numbers sent while registered
  ZtMsgCallbackRec* rec = nullptr;  // while registered
  uint64_t delivered = 0, wrong = 0;
  int64_t last = -1;

  static int callback(void* closure, const zk::P<ZtMessage>& m) {
    auto* r = static_cast<Registration*>(closure);
    const auto* msg = static_cast<const SoakMsg*>(m.ptr);
    if (!msg || msg->from != r->sender || msg->seq < r->from || msg->seq >= r->to || !matches(r->type, msg->type()) ||
        static_cast<int64_t>(msg->seq) <= r->last)
      ++r->wrong;  // a message this registration should never see, or again
    else
      ++r->delivered, r->last = msg->seq;
    soak::tick();
    return 0;
  }
};

void runMessages(soak::Rng rng) {
  const int senders = static_cast<int>(rng.range(2, 3)), directs = static_cast<int>(rng.range(1, 3));
  const int buffereds = static_cast<int>(rng.range(1, 3));
  const auto perSender = static_cast<uint32_t>(soak::scaled(rng.range(2000, 20000)));
  std::mutex owner;  // the owner's lock: every messaging object is used under it
  std::vector<ZtMsgSender> tx(static_cast<size_t>(senders));
  std::vector<ZtMsgReceiver> rx(static_cast<size_t>(directs + buffereds));  // directs first, then buffered ones
  std::vector<uint32_t> sent(static_cast<size_t>(senders), 0);  // under `owner`
  std::vector<std::unique_ptr<Registration>> regs;               // under `owner`
  std::vector<Registration*> bufferedReg(rx.size(), nullptr);   // the one of each buffered receiver
  auto add = [&](int s, int r, int type) {
    regs.push_back(std::make_unique<Registration>(Registration{s, r, type, r < directs, sent[s]}));
    Registration* reg = regs.back().get();
    reg->rec = tx[s].addReceiver(rx[r], &Registration::callback, reg, type, reg->direct);
    if (!reg->direct) bufferedReg[r] = reg;
  };
  std::atomic<int> sending{senders};
  std::vector<std::thread> threads;
  for (int s = 0; s < senders; ++s) {
    threads.emplace_back([&, s, r = soak::Rng{rng.next()}]() mutable {
      for (uint32_t i = 0; i < perSender; ++i) {
        zk::P<ZtMessage> m(new SoakMsg(s, i));
        {
          std::lock_guard<std::mutex> hold(owner);
          sent[s] = i + 1;
          tx[s].send(m);
        }
        soak::tick();
        if (r.below(4) == 0) std::this_thread::yield();
      }
      sending.fetch_sub(1);
    });
  }
  // This thread polls, registers and removes while the others send.
  while (sending.load() > 0) {
    {
      std::lock_guard<std::mutex> hold(owner);
      if (rng.chance(0.5)) rx[static_cast<size_t>(directs + rng.pick(buffereds))].poll();
      std::vector<Registration*> active;
      for (auto& reg : regs)
        if (reg->rec) active.push_back(reg.get());
      if (active.size() < 10 && rng.chance(0.55)) {
        const int s = rng.pick(senders), type = rng.pick(4);
        const int r = rng.chance(0.5) ? rng.pick(directs) : directs + rng.pick(buffereds);
        // A buffered receiver takes a registration only once the last one's
        // messages are all delivered (see the top).
        if (r < directs || (!bufferedReg[r] && rx[r].pendingCount() == 0)) add(s, r, type);
      } else if (!active.empty()) {
        Registration& reg = *active[rng.below(active.size())];
        reg.to = sent[reg.sender];
        reg.wrong += !tx[reg.sender].removeReceiver(reg.rec);
        reg.rec = nullptr;
        if (!reg.direct) bufferedReg[reg.receiver] = nullptr;
      }
      soak::add(Controls);
    }
    // Give the senders the lock between changes; nothing is
    // ordered by it.
    for (uint64_t y = rng.below(8); y > 0; --y) std::this_thread::yield();
  }
  for (auto& t : threads) t.join();

  std::lock_guard<std::mutex> hold(owner);
  for (auto& r : rx) r.poll();  // what is still queued
  for (auto& reg : regs) {
    uint64_t want = 0;
    const uint32_t end = std::min(reg->to, sent[reg->sender]);
    for (uint32_t i = reg->from; i < end; ++i) want += matches(reg->type, SoakMsg::typeOf(reg->sender, i));
    soak::add(Messages, reg->delivered);
    soak::add(Bytes, reg->delivered * 64);
    soak::add(Wrong, reg->wrong);
    soak::add(Lost, want - std::min(want, reg->delivered));
    if (reg->delivered != want || reg->wrong)
      std::fprintf(stderr, "queue_soak: a registration got %" PRIu64 " of %" PRIu64 " messages and %" PRIu64 " wrong\n",
                   reg->delivered, want, reg->wrong);
  }
  rx.clear();  // receivers first: each takes its registrations out of the senders
  tx.clear();
}

void runRound(long index, uint64_t rseed) {
  for (int half = 0; half < 2; ++half) {
    char ctx[96];
    std::snprintf(ctx, sizeof ctx, "round %ld seed 0x%" PRIx64 " %s", index, rseed, half ? "messages" : "queues");
    soak::context(ctx);
    (half ? runMessages : runQueues)(soak::Rng{soak::mix(rseed, half + 1)});
  }
}

// No message is expected: a stop that gave up ("waiting for too long") means
// a body that did not end within 10 s of being told to.
void onLog(void*, const Utils::LogRecord& r) {
  soak::add(Logs);
  std::fprintf(stderr, "queue_soak: log: %s\n", r.text);
}

}  // namespace

int main(int argc, char** argv) {
  soak::state.count = 20;
  return soak::main(argc, argv, "rounds",
                    {"bytes", "rounds", "items", "messages", "controls", "!lost", "!duplicated", "!wrong", "!not_done",
                     "!logs"},
                    &onLog, &runRound);
}
