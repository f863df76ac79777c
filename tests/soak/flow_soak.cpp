// SPDX-License-Identifier: Apache-2.0
// Soak test of flow graphs: random pipelines built, run, flushed, sought and
// stopped at their source, over and over.
//
// A pipeline is a tree: a source, chains of pass-through, splitting and
// re-chunking tasks, forks to 2-4 branches, sinks of random speed. Every
// flow carries the stream: the data byte at position x is a function of the
// pipeline's seed and x (a marker takes one position, and a task's output
// positions advance by what it emits), so every sink checks every byte. A
// sink may miss only what a re-chunking task above it held when its input
// ended. The source checks that its input position moves only where a step
// or a seek takes it. No packet is larger than the chunk of the one request
// every task states (`cap`), so that a step takes whole packets.
//
// Usage: flow_soak [--pipelines N] (and the options of --help)
#include <algorithm>
#include <deque>

#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowfork.h"
#include "zkflow/flow/flowtask.h"
#include "zkflow/flow/packet.h"
#include "soakutil.h"
#include "tests/common/flowtasks.h"

namespace {


enum { Bytes, Pipelines, Flushes, Seeks, Stops, Dropouts, Lost, Extra, BadData, NotDone, BadSeeks, FlushMismatch,
       OtherLogs };

struct SoakTask;
struct Pipeline {
  struct Node {  // a task, or a fork (task null), and its parent's index
    ZtFlowTask* unit;
    SoakTask* task;
    int parent;
  };
  std::vector<Node> nodes;  // nodes[0] is the source
  std::deque<ZtFlow> flows;
  uint64_t seed = 0;
  unsigned int dataRate = 0, granularity = 1, cap = 0;  // cap: the largest packet anywhere
  int64_t duration = 0;                                 // raw Utils::Time
  std::string graph = "src>";
  // The stream's byte at flow position x: positions wrap at 2^32, and the stream with them.
  uint8_t byteAt(uint32_t x) const { return zktest::patternByte(static_cast<uint32_t>(seed), x); }

  ~Pipeline() {
    for (size_t i = nodes.size(); i-- > 0;) delete nodes[i].unit;  // a unit clears its pointer in its flows
  }
  ZtFlow* newFlow(bool removes) {
    flows.emplace_back().readRemovesPacket(removes);
    return &flows.back();
  }
  int add(ZtFlowTask* unit, SoakTask* task, int parent) {
    nodes.push_back({unit, task, parent});
    return static_cast<int>(nodes.size()) - 1;
  }
};

// Every task of a pipeline states the same request and counts its hooks.
struct SoakTask : zktest::CountingTask {
  SoakTask(Pipeline* p, const char* kind, ZtFlow* in, ZtFlow* out)
      : CountingTask({p->dataRate, p->duration, p->duration, p->duration * 4}), pl(p), kind(kind) {
    granularity(p->granularity);
    if (in) addInput(in);
    if (out) addOutput(out);
  }
  ~SoakTask() override { stop(); }
  const char* taskName() const override { return kind; }

  // The data packet of a step; a marker must never reach a handler, nor a
  // data packet without its bytes.
  ZtFlowDataPacket* content(unsigned int inCount, ZtFlowPacket** in) {
    auto* d = static_cast<ZtFlowDataPacket*>(inCount ? in[0] : nullptr);
    if (!d) return nullptr;
    const auto c = d->markupCode();
    if (c != ZtFlowPacket::Flush && c != ZtFlowPacket::EndOfFlow && (d->data() || !d->size())) return d;
    soak::add(BadData);
    return nullptr;
  }
  void emitOver(ZtFlowEmitFn emit, const ZtProtector<ZtPacket>& stored, unsigned int n) {
    auto* p = new ZtFlowDataPacket(stored);
    p->dSize(n);
    p->endTime(Utils::Time::fromRaw(n));
    emit(this, 0, p);
  }

  Pipeline* pl;
  const char* kind;
  std::atomic<uint64_t> heldAtEnd{0};  // bytes taken in but never sent on (re-chunking only)
};

// A virtual-input task that emits the stream in packets up to the cap.
struct Source : SoakTask {
  Source(Pipeline* p, ZtFlow* out, uint64_t limit, bool regulated, bool varied)
      : SoakTask(p, "src", nullptr, out), limit(limit), varied(varied), rng{p->seed ^ 0x50} {
    virtualInput(true);
    clockRegulated(regulated);
  }
  ~Source() override { stop(); }

  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    if (inCount != 1 || !in[0] || in[0]->markupCode() != ZtFlowPacket::VirtualInput) return soak::add(BadData), 0;
    if (flushWanted.exchange(false)) {
      flush(emit);
      flushesSent.fetch_add(1);
    }
    const uint32_t pos = in[0]->pos();
    if (haveNext && pos != nextStream) checkSeek(pos);
    unsigned int m = std::min(in[0]->size(), pl->cap);
    if (varied && m > 1) m = 1 + static_cast<unsigned int>(rng.below(m));
    const uint64_t done = made.load();
    if (done + m > limit) m = static_cast<unsigned int>(limit - done);
    if (m < in[0]->size()) in[0]->clipSize(m);  // say how much was used
    if (m != 0) {
      ZtProtector<ZtPacket> stored(new ZtPacket(m));
      for (unsigned int i = 0; i < m; ++i) stored->data()[i] = static_cast<char>(pl->byteAt(flowPosOut(0) + i));
      emitOver(emit, stored, m);
    }
    haveNext = true;
    nextStream = pos + m;
    lastStep = m;
    made.store(done + m);
    soak::tick();
    if (done + m >= limit) shutdown(true);
    return 0;
  }

  // A seek lands before the loop takes the input position for a step (at the
  // target) or during a step (the target plus that step's advance).
  void checkSeek(uint32_t pos) {
    std::lock_guard<std::mutex> hold(mu);
    for (size_t k = 0; k < pending.size(); ++k) {
      if (pending[k] == pos || pending[k] + lastStep == pos)
        return void(pending.erase(pending.begin(), pending.begin() + static_cast<long>(k) + 1));
    }
    soak::add(BadSeeks);
    std::fprintf(stderr, "flow_soak: source input moved to %u, expected %u or a sought position\n", pos, nextStream);
  }
  bool requestSeek(uint32_t to) {
    {
      std::lock_guard<std::mutex> hold(mu);
      pending.push_back(to);
      if (pending.size() > 16) pending.erase(pending.begin());
    }
    return seek(to);
  }

  const uint64_t limit;
  const bool varied;
  soak::Rng rng;  // the loop's, as are the three below
  bool haveNext = false;
  uint32_t nextStream = 0;
  unsigned int lastStep = 0;
  std::mutex mu;  // guards pending: the seeks asked for and not yet seen
  std::vector<uint32_t> pending;
  std::atomic<bool> flushWanted{false};
  std::atomic<uint64_t> made{0}, flushesSent{0};
};

// A middle stage. With `size` 0 it cuts each packet into 1 to `pieces`
// pieces that show the same stored bytes (one piece: a pass-through copy).
// Otherwise it re-chunks the stream into packets of `size` bytes copied into
// new stored packets, merging small ones and cutting large ones; a flush
// sends what it holds first; what it holds when its input ends is counted.
struct Stage : SoakTask {
  Stage(Pipeline* p, ZtFlow* in, ZtFlow* out, unsigned int pieces, unsigned int size)
      : SoakTask(p, size ? "rechunk" : pieces > 1 ? "split" : "pass", in, out), pieces(pieces), size(size),
        rng{p->seed ^ 0x5b} {}
  ~Stage() override { stop(); }
  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    ZtFlowDataPacket* d = content(inCount, in);
    const unsigned int n = d ? d->size() : 0;
    if (d && size) {
      held.insert(held.end(), static_cast<const uint8_t*>(d->data()), static_cast<const uint8_t*>(d->data()) + n);
      size_t at = 0;
      for (; held.size() - at >= size; at += size) send(emit, held.data() + at, size);
      held.erase(held.begin(), held.begin() + static_cast<long>(at));
      return 0;
    }
    if (d) d->pos(0);
    for (unsigned int at = 0, left = 1 + static_cast<unsigned int>(rng.below(pieces)); at < n;) {
      unsigned int len = n - at, from = at;
      if (--left > 0 && len > 1) len = 1 + static_cast<unsigned int>(rng.below(len));
      ZtFlowPacket* piece = d->readAt(from);
      piece->clipSize(len);
      piece->pos(0);
      emit(this, 0, piece);
      ZtFlowPacket::drop(piece);
      at += len;
    }
    return 0;
  }
  void taskFlush(ZtFlowEmitFn emit) override {
    if (!held.empty()) send(emit, held.data(), static_cast<unsigned int>(held.size()));
    held.clear();
  }
  void taskStop() override {
    heldAtEnd.store(held.size());
    CountingTask::taskStop();
  }
  void send(ZtFlowEmitFn emit, const uint8_t* from, unsigned int n) {
    ZtProtector<ZtPacket> stored(new ZtPacket(n));
    std::memcpy(stored->data(), from, n);
    emitOver(emit, stored, n);
  }
  const unsigned int pieces, size;
  soak::Rng rng;
  std::vector<uint8_t> held;
};

// Checks every byte against the stream, and that positions only go forward;
// fast, yielding or napping.
struct Sink : SoakTask {
  Sink(Pipeline* p, ZtFlow* in, int speed, uint64_t seed) : SoakTask(p, "sink", in, nullptr), speed(speed), rng{seed} {}
  ~Sink() override { stop(); }

  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in, ZtFlowEmitFn) override {
    ZtFlowDataPacket* d = content(inCount, in);
    if (!d) return 0;
    if (received.load() != 0 && static_cast<int32_t>(d->pos() - next) < 0) bad(d->size(), "data again", d->pos());
    next = d->pos() + d->size();
    const auto* bytes = static_cast<const uint8_t*>(d->data());
    for (unsigned int i = 0; i < d->size(); ++i)
      if (bytes[i] != pl->byteAt(d->pos() + i)) return bad(d->size(), "wrong bytes", d->pos() + i), 0;
    received.fetch_add(d->size());
    soak::add(Bytes, d->size());
    soak::tick();
    // Load of the task's own, not synchronisation: a slow consumer.
    if (speed == 1) std::this_thread::yield();
    if (speed == 2 && rng.below(pl->cap >= 65536 ? 1 : 16) == 0)
      std::this_thread::sleep_for(std::chrono::microseconds(20 + rng.below(200)));
    return 0;
  }

  void bad(unsigned int n, const char* what, uint32_t at) {
    soak::add(BadData, n);
    if (notes++ < 3) std::fprintf(stderr, "flow_soak: %s at flow position %u\n", what, at);
  }

  const int speed;  // 0 fast, 1 yielding, 2 napping
  soak::Rng rng;
  uint32_t next = 0;
  int notes = 0;
  std::atomic<uint64_t> received{0};
};

// A chain of 0-3 stages from `in`, then a fork (while the budget lasts) or
// a sink.
void grow(Pipeline& pl, soak::Rng& rng, ZtFlow* in, int parent, int depth, int& budget) {
  for (int k = 0, stages = rng.pick(4); k < stages && budget > 2; ++k, --budget) {
    ZtFlow* out = pl.newFlow(rng.chance(0.5));
    const uint64_t kind = rng.below(3);
    const auto size = static_cast<unsigned int>(kind == 2 ? rng.range(1, pl.cap) : 0);
    auto* t = new Stage(&pl, in, out, kind ? 4 : 1, size);
    pl.graph += t->kind + (size ? "(" + std::to_string(size) + ")>" : std::string(">"));
    parent = pl.add(t, t, parent);
    in = out;
  }
  if (depth < 2 && budget >= 4 && rng.chance(depth == 0 ? 0.6 : 0.3)) {
    const int branches = static_cast<int>(rng.range(2, std::min(4, budget - 1)));
    ZtFlow* outs[4] = {nullptr, nullptr, nullptr, nullptr};
    // Every branch must see every byte: the fork holds back for each (Block).
    for (int j = 0; j < branches; ++j) outs[j] = pl.newFlow(rng.chance(0.5));
    auto* fork = new ZtFlowFork(in, outs[0], outs[1], outs[2], outs[3], static_cast<ZtFlow*>(nullptr));
    for (unsigned int j = 1; j < 4; ++j) fork->outputPolicy(j, ZtFlowTask::OutputPolicy::Block);
    const int me = pl.add(fork, nullptr, parent);
    budget -= 1 + branches;  // room for one sink per branch
    pl.graph += "fork[";
    for (int j = 0; j < branches; ++j) {
      pl.graph += j ? "," : "";
      grow(pl, rng, outs[j], me, depth + 1, ++budget);
    }
    pl.graph += "]";
    return;
  }
  auto* sink = new Sink(&pl, in, rng.below(4) == 0 ? 0 : rng.pick(3), rng.next());
  pl.add(sink, sink, parent);
  pl.graph += "sink" + std::string(sink->speed == 0 ? "" : sink->speed == 1 ? "-y" : "-n");
  --budget;
}

// Builds the pipeline of this seed; flushes, seeks or stops its source at
// random moments; winds it down and checks what every task saw.
void runPipeline(long index, uint64_t pseed) {
  soak::Rng rng{pseed};
  Pipeline pl;
  pl.seed = pseed;
  const bool large = rng.chance(0.3);
  pl.duration = int64_t{655} << rng.below(3);  // 0.01, 0.02 or 0.04 s
  const uint64_t wantCap = large ? rng.range(256 << 10, 2 << 20) : rng.range(64, 16 << 10);
  pl.dataRate = static_cast<unsigned int>(wantCap * 65536 / static_cast<uint64_t>(pl.duration));
  pl.granularity = 1u << rng.below(4);
  // The loop's chunk: rate + 0.5 as a time, times the duration, whole positions.
  pl.cap = std::max(1u, static_cast<unsigned int>(((pl.dataRate * 65536ll + 32768) * pl.duration) >> 32));
  const bool regulated = !large && rng.chance(0.2);
  uint64_t limit = large ? rng.range(8u << 20, 48u << 20) : rng.range(64u << 10, 8u << 20);
  if (regulated) limit = std::min<uint64_t>(limit, pl.dataRate / 2 + 1);  // about half a second paced
  limit = soak::scaled(limit);

  ZtFlow* first = pl.newFlow(rng.chance(0.5));
  auto* src = new Source(&pl, first, limit, regulated, rng.chance(0.5));
  pl.add(src, src, -1);
  int budget = 14;
  grow(pl, rng, first, 0, 0, budget);
  char buf[96];
  std::snprintf(buf, sizeof buf, "pipeline %ld seed 0x%" PRIx64 " (cap %u, rate %u, %s): ", index, pseed, pl.cap,
                pl.dataRate, regulated ? "paced" : "free");
  soak::context(buf + pl.graph);

  // Consumers first: a fork checks the rates its consumers publish.
  bool started = true;
  for (size_t i = pl.nodes.size(); started && i-- > 0;) started = pl.nodes[i].unit->start();
  if (!started) soak::add(NotDone), std::fprintf(stderr, "flow_soak: a task did not start\n");

  // Random moments, measured in source bytes. Then let the source reach
  // its limit, unless the run's time is up.
  std::vector<uint64_t> at(started ? rng.below(7) : 0);
  for (uint64_t& when : at) when = rng.below(limit);
  std::sort(at.begin(), at.end());
  bool stopNow = false;
  for (uint64_t when : at) {
    soak::waitUntil([&] { return src->made.load() >= when || src->done() || soak::timeUp(); });
    if (src->done() || soak::timeUp()) break;
    const uint64_t what = rng.below(10), how = rng.below(3);
    if ((stopNow = what >= 8)) break;
    if (what < 4) src->flushWanted.store(true);
    const auto to = static_cast<uint32_t>(how == 0   ? rng.next()
                                          : how == 1 ? ~0u - rng.below(pl.cap * 2u + 2)  // across the wrap
                                                     : rng.below(1u << 20));             // back or ahead a little
    if (what >= 4) soak::add(Seeks, src->requestSeek(to));
  }
  if (!stopNow) soak::waitUntil([&] { return !started || src->done() || soak::timeUp(); });
  soak::add(Stops, started && !src->done());
  // The source's end-of-flow markers wind the rest down. When a start
  // failed, stop what did start, from the top.
  for (size_t i = 0; i < (started ? 1 : pl.nodes.size()); ++i) pl.nodes[i].unit->stop();
  // Sinks may still be draining what forks buffered for them; a task that
  // never ends is a hang.
  soak::tick();
  soak::waitUntil([&] {
    for (const auto& n : pl.nodes)
      if (!n.unit->done() && n.unit->started()) return false;
    return true;
  });
  soak::tick();

  // Each task ran its hooks once. Each sink got every flush and all the
  // source's data, less what re-chunking tasks above it held at the end.
  if (!started) return;
  const uint64_t data = src->made.load(), flushes = src->flushesSent.load();
  soak::add(Flushes, flushes);
  for (const Pipeline::Node& n : pl.nodes) {
    if (n.task && (n.task->inits.load() != 1 || n.task->stops.load() != 1))
      soak::add(NotDone), std::fprintf(stderr, "flow_soak: %s did not run its hooks once\n", n.unit->name());
    auto* sink = dynamic_cast<Sink*>(n.task);
    if (!sink) continue;
    uint64_t held = 0;
    for (int up = n.parent; up >= 0; up = pl.nodes[static_cast<size_t>(up)].parent)
      if (SoakTask* t = pl.nodes[static_cast<size_t>(up)].task) held += t->heldAtEnd.load();
    const uint64_t want = data - std::min(data, held), got = sink->received.load(), seen = sink->flushes.load();
    soak::add(got < want ? Lost : Extra, got < want ? want - got : got - want);
    soak::add(FlushMismatch, seen != flushes);
    if (got != want || seen != flushes)
      std::fprintf(stderr, "flow_soak: a sink got %" PRIu64 " of %" PRIu64 " bytes, %" PRIu64 " of %" PRIu64
                   " flushes\n", got, want, seen, flushes);
  }
}

// Dropouts are expected under load (a paced source that falls behind); any
// other message of the library is a fault (a fork that refused its rates).
void onLog(void*, const Utils::LogRecord& r) {
  const bool dropout = std::strstr(r.text, "Flow Dropout") != nullptr;
  soak::add(dropout ? Dropouts : OtherLogs);
  if (!dropout) std::fprintf(stderr, "flow_soak: log: %s\n", r.text);
}

}  // namespace

int main(int argc, char** argv) {
  soak::state.count = 50;
  return soak::main(argc, argv, "pipelines",
                    {"bytes", "pipelines", "flushes", "seeks", "stops", "dropouts", "!lost", "!extra", "!bad_data",
                     "!not_done", "!bad_seeks", "!flush_mismatch", "!other_logs"},
                    &onLog, &runPipeline);
}
