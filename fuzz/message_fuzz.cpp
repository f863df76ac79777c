// SPDX-License-Identifier: Apache-2.0
// Messaging against a model of who receives what, in which order.
//
// Three sender slots and three receiver slots; the input is a sequence of
// steps on them: direct and buffered registrations, both removeReceiver
// forms, sends, polls, relocations between senders and between receivers,
// empty(), assignments, copies, the owner taking a local record out through
// links(), and destruction (a destroyed object is replaced by a new one in
// its slot). Some callbacks send a further message from inside the delivery,
// within a small budget per step.
//
// The model keeps, per registration, its sender, receiver, type and kind;
// per sender its records in order; per receiver its link records (as sender
// slots), its local records in order (live, or retired with the newest
// queued message they still take) and its pending queue. Every callback logs
// (registration, message, who the message says sent it); after every step
// the log must equal the model's, and each sender's records, each receiver's
// links, pending count and hasServer() must match it. Messages alive must be
// exactly those still pending somewhere, and after the whole sequence the
// allocator's live count must be back where it started.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "fuzz/fuzz.h"
#include "zkflow/flow/message.h"

namespace {

constexpr int kSenders = 3;
constexpr int kReceivers = 3;
constexpr int kMaxRegs = 32;
// Nested sends allowed per step; a buffered callback that sends into its own
// receiver would otherwise keep a poll going for ever.
constexpr int kNestBudget = 4;
// Who a message says sent it: a sender slot, or kLinks + a receiver slot for
// a receiver's links (the sender of polled messages).
constexpr int kLinks = 100;
constexpr int kUnknown = -1;

struct Event {
  int reg;
  uint32_t msg;
  int from;
  bool operator==(const Event& o) const { return reg == o.reg && msg == o.msg && from == o.from; }
};

// The closure of every registration.
struct Ctx {
  int reg;
  int nestSender;  // -1: the callback sends nothing
  int nestType;
};

int gAliveMessages = 0;

struct FuzzMessage : ZtMessage {
  FuzzMessage(int type, uint32_t id) : ZtMessage(type) {
    tag = id;
    ++gAliveMessages;
  }
  ~FuzzMessage() override { --gAliveMessages; }
};

bool typeMatch(int recordType, int type) { return recordType == 0 || type == 0 || recordType == type; }

// ------------------------------------------------------------------ model

struct MReg {
  int s, r, type;
  bool direct;
  bool alive = true;
  bool hasLocal = false;  // a buffered one's live local record still exists
  Ctx* ctx = nullptr;
  ZtMsgCallbackRec* rec = nullptr;  // valid while alive
};

struct MLocal {
  int reg;
  int type;
  uint64_t retireAfter;  // 0: live
};

struct MPending {
  uint32_t msg;
  int type;
  uint64_t seq;
};

struct MReceiver {
  std::vector<int> links;  // sender slots named by the link records, in order
  std::vector<MLocal> locals;
  std::deque<MPending> pending;
  uint64_t seq = 0;
};

struct Model {
  std::vector<MReg> regs;
  std::vector<int> senders[kSenders];  // registration ids, in record order
  MReceiver receivers[kReceivers];
  std::vector<Event> log;
  uint32_t nextMsg = 1;
  int budget = 0;

  void eraseFirstLink(MReceiver& r, int s) {
    auto it = std::find(r.links.begin(), r.links.end(), s);
    ZKFLOW_FUZZ_CHECK(it != r.links.end(), "model: no link record to sender %d", s);
    r.links.erase(it);
  }

  size_t liveLocalOf(const MReceiver& r, int reg) const {
    for (size_t i = 0; i < r.locals.size(); ++i)
      if (r.locals[i].reg == reg && r.locals[i].retireAfter == 0) return i;
    ZKFLOW_FUZZ_CHECK(false, "model: registration %d has no live local record", reg);
    return 0;
  }

  int add(int s, int r, int type, bool direct, Ctx* ctx) {
    const int id = static_cast<int>(regs.size());
    MReg g{s, r, type, direct};
    g.ctx = ctx;
    g.hasLocal = !direct;
    regs.push_back(g);
    receivers[r].links.push_back(s);
    if (!direct) receivers[r].locals.push_back({id, type, 0});
    senders[s].push_back(id);
    return id;
  }

  // Ends a registration at the sender's side: both halves go; a buffered
  // one's local record retires instead while messages are pending.
  void end(int id) {
    MReg& g = regs[id];
    auto& list = senders[g.s];
    list.erase(std::find(list.begin(), list.end(), id));
    MReceiver& r = receivers[g.r];
    eraseFirstLink(r, g.s);
    if (g.hasLocal) {
      const size_t i = liveLocalOf(r, id);
      if (!r.pending.empty())
        r.locals[i].retireAfter = r.seq;
      else
        r.locals.erase(r.locals.begin() + static_cast<long>(i));
      g.hasLocal = false;
    }
    g.alive = false;
  }

  bool removeRecord(int s, int id) {
    if (regs[id].s != s) return false;
    end(id);
    return true;
  }

  bool removeReceiver(int s, int r, int type) {
    for (int id : senders[s])
      if (regs[id].r == r && typeMatch(regs[id].type, type)) {
        end(id);
        return true;
      }
    return false;
  }

  void callback(int id, uint32_t msg, int from);

  void send(int s, uint32_t msg, int type) {
    const std::vector<int> order = senders[s];
    for (int id : order) {
      const MReg& g = regs[id];
      if (!typeMatch(g.type, type)) continue;
      if (g.direct) {
        callback(id, msg, s);
      } else {
        MReceiver& r = receivers[g.r];
        r.pending.push_back({msg, type, ++r.seq});
      }
    }
  }

  void dropRetired(MReceiver& r) {
    const uint64_t oldest = r.pending.empty() ? UINT64_MAX : r.pending.front().seq;
    r.locals.erase(std::remove_if(r.locals.begin(), r.locals.end(),
                                  [&](const MLocal& l) { return l.retireAfter != 0 && l.retireAfter < oldest; }),
                   r.locals.end());
  }

  void poll(int ri) {
    MReceiver& r = receivers[ri];
    while (!r.pending.empty()) {
      const MPending e = r.pending.front();
      r.pending.pop_front();
      const std::vector<MLocal> order = r.locals;
      for (const MLocal& l : order)
        if (typeMatch(l.type, e.type) && (l.retireAfter == 0 || e.seq <= l.retireAfter))
          callback(l.reg, e.msg, kLinks + ri);
    }
    dropRetired(r);
  }

  void relocateSenders(int a, int b, int type) {
    if (a == b) return;
    std::vector<int> stay;
    for (int id : senders[b]) {
      MReg& g = regs[id];
      if (!typeMatch(g.type, type)) {
        stay.push_back(id);
        continue;
      }
      senders[a].push_back(id);
      g.s = a;
      auto& links = receivers[g.r].links;
      *std::find(links.begin(), links.end(), b) = a;
    }
    senders[b] = stay;
  }

  void relocateReceivers(int r1, int r2, int type) {
    if (r1 == r2) return;
    MReceiver& to = receivers[r1];
    MReceiver& from = receivers[r2];
    const size_t movedFrom = to.locals.size();
    std::vector<int> links = from.links;
    from.links.clear();
    for (int s : links) {
      // The sender's first matching registration of r2 moves with this link.
      int moved = -1;
      for (int id : senders[s])
        if (regs[id].r == r2 && typeMatch(regs[id].type, type)) {
          moved = id;
          break;
        }
      if (moved < 0) {
        from.links.push_back(s);
        continue;
      }
      MReg& g = regs[moved];
      g.r = r1;
      to.links.push_back(s);
      if (g.hasLocal) {
        const size_t i = liveLocalOf(from, moved);
        to.locals.push_back(from.locals[i]);
        from.locals.erase(from.locals.begin() + static_cast<long>(i));
      }
    }
    // A pending message goes along when a moved local record takes it, and
    // stays when one left behind takes it too.
    std::deque<MPending> keep;
    for (const MPending& e : from.pending) {
      bool here = false, there = false;
      for (size_t i = movedFrom; i < to.locals.size(); ++i) here |= typeMatch(to.locals[i].type, e.type);
      for (const MLocal& l : from.locals)
        there |= typeMatch(l.type, e.type) && (l.retireAfter == 0 || e.seq <= l.retireAfter);
      if (here) to.pending.push_back({e.msg, e.type, ++to.seq});
      if (!here || there) keep.push_back(e);
    }
    from.pending = keep;
    dropRetired(from);
  }

  void emptySender(int s) {
    const std::vector<int> ids = senders[s];
    for (int id : ids) end(id);
  }

  // What destruction (and assignment) does to a receiver: deliver, then
  // every registration ends, every record of its links goes.
  void clearReceiver(int ri) {
    poll(ri);
    for (size_t id = 0; id < regs.size(); ++id) {
      MReg& g = regs[id];
      if (!g.alive || g.r != ri) continue;
      auto& list = senders[g.s];
      list.erase(std::find(list.begin(), list.end(), static_cast<int>(id)));
      g.alive = false;
      g.hasLocal = false;
    }
    receivers[ri].links.clear();
    receivers[ri].locals.clear();
  }

  void assignSenders(int a, int b) {
    if (a == b) return;
    emptySender(a);
    relocateSenders(a, b, 0);
  }

  void assignReceivers(int r1, int r2) {
    if (r1 == r2) return;
    clearReceiver(r1);
    relocateReceivers(r1, r2, 0);
  }

  bool ownerRemove(int ri, int type) {
    MReceiver& r = receivers[ri];
    for (size_t i = 0; i < r.locals.size(); ++i) {
      if (!typeMatch(r.locals[i].type, type)) continue;
      if (r.locals[i].retireAfter == 0) regs[r.locals[i].reg].hasLocal = false;
      r.locals.erase(r.locals.begin() + static_cast<long>(i));
      return true;
    }
    return false;
  }

  bool hasServer(int ri) const {
    for (const MReg& g : regs)
      if (g.alive && g.r == ri) return true;
    return false;
  }

  size_t pendingMessages() const {
    std::vector<uint32_t> ids;
    for (const MReceiver& r : receivers)
      for (const MPending& e : r.pending) ids.push_back(e.msg);
    std::sort(ids.begin(), ids.end());
    return static_cast<size_t>(std::unique(ids.begin(), ids.end()) - ids.begin());
  }
};

void Model::callback(int id, uint32_t msg, int from) {
  log.push_back({id, msg, from});
  const Ctx* c = regs[id].ctx;
  if (c->nestSender < 0 || budget == 0) return;
  --budget;
  const uint32_t nested = nextMsg++;
  send(c->nestSender, nested, c->nestType);
}

// ------------------------------------------------------------------ world

struct World {
  ZtMsgSender* snd[kSenders];
  ZtMsgReceiver* rcv[kReceivers];
  std::vector<std::unique_ptr<Ctx>> ctxs;
  std::vector<Event> log;
  uint32_t nextMsg = 1;
  int budget = 0;

  int whoSent(const ZtMsgSender* s) const {
    for (int i = 0; i < kSenders; ++i)
      if (s == snd[i]) return i;
    for (int i = 0; i < kReceivers; ++i)
      if (s == &rcv[i]->links()) return kLinks + i;
    return kUnknown;
  }
};

World* gWorld = nullptr;

int onMessage(void* closure, const zk::P<ZtMessage>& m) {
  const Ctx* c = static_cast<const Ctx*>(closure);
  World& w = *gWorld;
  w.log.push_back({c->reg, m->tag, w.whoSent(m->sender())});
  if (c->nestSender >= 0 && w.budget > 0) {
    --w.budget;
    zk::P<ZtMessage> nested(new FuzzMessage(c->nestType, w.nextMsg++));
    w.snd[c->nestSender]->send(nested);
  }
  return c->reg;
}

int pickType(zkfuzz::Input& in) {
  static const int types[] = {0, 1, 2, 3, -1};
  return types[in.u8() % 5];
}

// Both logs only grow, so each step checks the deliveries it added; checking
// the whole log every step made a run quadratic in its length.
void compare(const World& w, const Model& m, int step, size_t& logChecked) {
  ZKFLOW_FUZZ_CHECK(w.log.size() == m.log.size(), "step %d: %zu deliveries, model %zu", step, w.log.size(), m.log.size());
  for (size_t i = logChecked; i < w.log.size(); ++i)
    ZKFLOW_FUZZ_CHECK(w.log[i] == m.log[i], "step %d: delivery %zu is (reg %d, msg %u, from %d), model (%d, %u, %d)", step,
                 i, w.log[i].reg, w.log[i].msg, w.log[i].from, m.log[i].reg, m.log[i].msg, m.log[i].from);
  logChecked = w.log.size();
  for (int s = 0; s < kSenders; ++s) {
    const zk::DList& recs = w.snd[s]->records;
    const std::vector<int>& ids = m.senders[s];
    ZKFLOW_FUZZ_CHECK(w.snd[s]->receiverCount() == ids.size(), "step %d: sender %d has %u records, model %zu", step, s,
                 w.snd[s]->receiverCount(), ids.size());
    size_t k = 0;
    for (zk::DListRec* r = recs.first(); r; r = recs.next(r), ++k) {
      const auto* rec = static_cast<const ZtMsgCallbackRec*>(r);
      const MReg& g = m.regs[ids[k]];
      ZKFLOW_FUZZ_CHECK(rec == g.rec, "step %d: sender %d record %zu is not registration %d", step, s, k, ids[k]);
      ZKFLOW_FUZZ_CHECK(rec->receiver() == w.rcv[g.r], "step %d: registration %d names the wrong receiver", step, ids[k]);
      ZKFLOW_FUZZ_CHECK(rec->msgType() == g.type, "step %d: registration %d type", step, ids[k]);
      const void* closure = g.direct ? static_cast<const void*>(g.ctx) : static_cast<const void*>(w.rcv[g.r]);
      ZKFLOW_FUZZ_CHECK(rec->closure() == closure, "step %d: registration %d closure", step, ids[k]);
    }
  }
  for (int ri = 0; ri < kReceivers; ++ri) {
    ZtMsgReceiver* r = w.rcv[ri];
    const MReceiver& mr = m.receivers[ri];
    std::vector<int> links;
    std::vector<std::pair<int, int>> locals;
    size_t selfLinks = 0;
    const zk::DList& recs = r->links().records;
    for (zk::DListRec* x = recs.first(); x; x = recs.next(x)) {
      const auto* rec = static_cast<const ZtMsgCallbackRec*>(x);
      if (rec->receiver() == &r->links()) {
        ++selfLinks;
      } else if (rec->receiver() == r) {
        locals.emplace_back(static_cast<const Ctx*>(rec->closure())->reg, rec->msgType());
      } else {
        const int s = w.whoSent(dynamic_cast<const ZtMsgSender*>(rec->receiver()));
        ZKFLOW_FUZZ_CHECK(s >= 0 && s < kSenders, "step %d: receiver %d holds a record naming no sender", step, ri);
        links.push_back(s);
      }
    }
    ZKFLOW_FUZZ_CHECK(links == mr.links, "step %d: receiver %d link records differ from the model", step, ri);
    ZKFLOW_FUZZ_CHECK(locals.size() == mr.locals.size(), "step %d: receiver %d has %zu local records, model %zu", step, ri,
                 locals.size(), mr.locals.size());
    for (size_t i = 0; i < locals.size(); ++i)
      ZKFLOW_FUZZ_CHECK(locals[i].first == mr.locals[i].reg && locals[i].second == mr.locals[i].type,
                   "step %d: receiver %d local record %zu is (%d, %d), model (%d, %d)", step, ri, i, locals[i].first,
                   locals[i].second, mr.locals[i].reg, mr.locals[i].type);
    ZKFLOW_FUZZ_CHECK(selfLinks == locals.size(), "step %d: receiver %d has %zu self links for %zu local records", step, ri,
                 selfLinks, locals.size());
    ZKFLOW_FUZZ_CHECK(r->pendingCount() == mr.pending.size(), "step %d: receiver %d has %u pending, model %zu", step, ri,
                 r->pendingCount(), mr.pending.size());
    ZKFLOW_FUZZ_CHECK(r->hasServer() == m.hasServer(ri), "step %d: receiver %d hasServer %d, model %d", step, ri,
                 r->hasServer(), m.hasServer(ri));
  }
  ZKFLOW_FUZZ_CHECK(static_cast<size_t>(gAliveMessages) == m.pendingMessages(),
               "step %d: %d messages alive, %zu pending in the model", step, gAliveMessages, m.pendingMessages());
}

}  // namespace

namespace zkfuzz {

int messageOne(const uint8_t* data, size_t size) {
  const int64_t liveAtStart = liveBlocks();
  const int aliveAtStart = gAliveMessages;
  Input in(data, size);
  World w;
  Model m;
  gWorld = &w;
  for (auto& s : w.snd) s = new ZtMsgSender;
  for (auto& r : w.rcv) r = new ZtMsgReceiver;
  size_t logChecked = 0;

  for (int step = 1; in.more() && step < 2048; ++step) {
    w.budget = m.budget = kNestBudget;
    const unsigned op = in.u8() % 16;
    const int s = static_cast<int>(in.u8() % kSenders);
    const int r = static_cast<int>(in.u8() % kReceivers);
    switch (op) {
      case 0:
      case 1: {
        const bool direct = in.flag();
        const int type = pickType(in);
        const uint8_t nest = in.u8();
        if (m.regs.size() >= kMaxRegs * 4) break;
        size_t alive = 0;
        for (const MReg& g : m.regs) alive += g.alive;
        if (alive >= kMaxRegs) break;
        auto ctx = std::make_unique<Ctx>();
        ctx->reg = static_cast<int>(m.regs.size());
        ctx->nestSender = (nest & 0xc0) == 0xc0 ? static_cast<int>(nest % kSenders) : -1;
        ctx->nestType = pickType(in);
        ZtMsgCallbackRec* rec = w.snd[s]->addReceiver(*w.rcv[r], &onMessage, ctx.get(), type, direct);
        ZKFLOW_FUZZ_CHECK(rec != nullptr, "step %d: addReceiver failed", step);
        const int id = m.add(s, r, type, direct, ctx.get());
        m.regs[id].rec = rec;
        w.ctxs.push_back(std::move(ctx));
        break;
      }
      case 2: {
        // A live record of any sender, or null.
        std::vector<int> alive;
        for (size_t id = 0; id < m.regs.size(); ++id)
          if (m.regs[id].alive) alive.push_back(static_cast<int>(id));
        const unsigned pick = in.u8();
        if (alive.empty() || pick == 255) {
          ZKFLOW_FUZZ_CHECK(!w.snd[s]->removeReceiver(static_cast<ZtMsgCallbackRec*>(nullptr)),
                       "step %d: removing a null record", step);
          break;
        }
        const int id = alive[pick % alive.size()];
        const bool got = w.snd[s]->removeReceiver(m.regs[id].rec);
        const bool want = m.removeRecord(s, id);
        ZKFLOW_FUZZ_CHECK(got == want, "step %d: removeReceiver(record) gave %d, model %d", step, got, want);
        break;
      }
      case 3: {
        const int type = pickType(in);
        const bool got = w.snd[s]->removeReceiver(*w.rcv[r], type);
        const bool want = m.removeReceiver(s, r, type);
        ZKFLOW_FUZZ_CHECK(got == want, "step %d: removeReceiver(receiver, %d) gave %d, model %d", step, type, got, want);
        break;
      }
      case 4:
      case 5:
      case 6: {
        const int type = pickType(in);
        {
          zk::P<ZtMessage> msg(new FuzzMessage(type, w.nextMsg++));
          w.snd[s]->send(msg);
          ZKFLOW_FUZZ_CHECK(msg->sender() == w.snd[s], "step %d: message not stamped with its sender", step);
        }
        m.send(s, m.nextMsg++, type);
        break;
      }
      case 7:
        w.rcv[r]->poll();
        m.poll(r);
        break;
      case 8: {
        const int b = static_cast<int>(in.u8() % kSenders);
        const int type = pickType(in);
        w.snd[s]->relocate(*w.snd[b], type);
        m.relocateSenders(s, b, type);
        break;
      }
      case 9: {
        const int r2 = static_cast<int>(in.u8() % kReceivers);
        const int type = pickType(in);
        w.rcv[r]->relocate(*w.rcv[r2], type);
        m.relocateReceivers(r, r2, type);
        break;
      }
      case 10:
        delete w.snd[s];
        w.snd[s] = new ZtMsgSender;
        m.emptySender(s);
        break;
      case 11:
        // The model polls first, as the destructor does; its deliveries are
        // compared below.
        m.clearReceiver(r);
        delete w.rcv[r];
        w.rcv[r] = new ZtMsgReceiver;
        break;
      case 12:
        w.snd[s]->empty();
        m.emptySender(s);
        break;
      case 13: {
        const int b = static_cast<int>(in.u8() % kSenders);
        *w.snd[s] = *w.snd[b];
        m.assignSenders(s, b);
        break;
      }
      case 14: {
        const int r2 = static_cast<int>(in.u8() % kReceivers);
        if (in.flag()) {
          *w.rcv[r] = *w.rcv[r2];
          m.assignReceivers(r, r2);
        } else {
          // Copies start empty and leave the original alone.
          ZtMsgSender sc(*w.snd[s]);
          ZtMsgReceiver rc(*w.rcv[r2]);
          ZKFLOW_FUZZ_CHECK(sc.receiverCount() == 0 && !rc.hasServer() && rc.pendingCount() == 0,
                       "step %d: a copy is not empty", step);
        }
        break;
      }
      default: {
        const int type = pickType(in);
        // The owner takes a local record (and a self link) out by hand.
        const bool got = w.rcv[r]->links().removeReceiver(*w.rcv[r], type);
        const bool want = m.ownerRemove(r, type);
        ZKFLOW_FUZZ_CHECK(got == want, "step %d: links().removeReceiver gave %d, model %d", step, got, want);
        break;
      }
    }
    compare(w, m, step, logChecked);
  }

  // Receivers first: their destruction delivers what is pending.
  for (int r = 0; r < kReceivers; ++r) {
    w.budget = m.budget = kNestBudget;
    m.clearReceiver(r);
    delete w.rcv[r];
    w.rcv[r] = new ZtMsgReceiver;
    compare(w, m, -1, logChecked);
  }
  for (auto& r : w.rcv) delete r;
  for (auto& s : w.snd) delete s;
  gWorld = nullptr;
  ZKFLOW_FUZZ_CHECK(gAliveMessages == aliveAtStart, "%d messages outlived their holders", gAliveMessages - aliveAtStart);
  ZKFLOW_FUZZ_CHECK(liveBlocks() == liveAtStart, "%lld blocks leaked", static_cast<long long>(liveBlocks() - liveAtStart));
  return 0;
}

}  // namespace zkfuzz

ZKFLOW_FUZZ_ENTRY(messageOne)
