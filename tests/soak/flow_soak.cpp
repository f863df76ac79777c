// Soak test of flow graphs: random pipelines built, run, flushed, sought and
// stopped at their source, over and over.
//
// Each pipeline is a tree: one source, chains of pass-through, splitting and
// re-chunking tasks, forks to 2-4 branches, and sinks of random speed. The
// source's byte at stream position s is a function of (pipeline seed, s), so
// every sink checks every byte. Positions keep in step down the tree (every
// task places its output where its input was; a Flush marker takes one
// position on every flow), so a sink maps a packet's position to the stream
// through the segments the source records: a new one starts after a flush
// and where a seek moved the source's input. A sink may legitimately miss
// only what a re-chunking task above it still held when its input ended;
// the task counts that.
//
// Every task of a pipeline asks for the same rate and duration, and no
// packet is larger than the chunk that gives (`cap`), so that a work step
// takes whole packets (a consuming read lets go of the rest of a cut one). A
// flow that keeps packets after a read is trimmed by its producer to twice
// durationMax (four durations) ahead of its consumer, more than a sleeping
// producer buffers. A fork's sleep test looks at its first output only, so
// the others always let reads remove packets.
//
// Usage: flow_soak [--pipelines N] (and the options of --help)
#include <algorithm>
#include <memory>

#include "kernel/flow/flow.h"
#include "kernel/flow/flowfork.h"
#include "kernel/flow/flowtask.h"
#include "kernel/flow/packet.h"
#include "soakutil.h"

namespace {

using soak::tick;

enum { Pipelines, Bytes, Lost, Duplicated, Reordered, Leaked, NotDone, Hangs, BadSeeks, FlushMismatch, StartFailed,
       OtherLogs, Flushes, Seeks, Stops, Dropouts, kCounts };
const char* const kNames[kCounts] = {
    "pipelines", "bytes",    "!lost",           "!duplicated",    "!reordered", "!leaked_blocks",
    "!not_done", "!hangs",   "!bad_seeks",      "!flush_mismatch", "!start_failed", "!other_logs",
    "flushes",   "seeks",    "stops",           "dropouts"};
using Outcome = soak::Counts<uint64_t, kCounts>;
soak::Counts<std::atomic<uint64_t>, kCounts> totals;

// ---------------------------------------------------------------- the stream

uint32_t streamWord(uint64_t seed, uint32_t w) {
  uint64_t z = seed ^ (static_cast<uint64_t>(w) * 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 31)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 29)) * 0x94D049BB133111EBull;
  return static_cast<uint32_t>(z >> 17);
}

// The n stream bytes from position s: byte k of word w is position 4w + k.
// Positions wrap at 2^32 like flow positions do, and the stream with them.
void fillStream(uint64_t seed, uint32_t s, uint8_t* dst, size_t n) {
  for (size_t i = 0; i < n;) {
    const uint32_t p = s + static_cast<uint32_t>(i);
    const uint32_t w = streamWord(seed, p >> 2);
    for (unsigned k = p & 3; k < 4 && i < n; ++k) dst[i++] = static_cast<uint8_t>(w >> (8 * k));
  }
}

// ---------------------------------------------------------------- a pipeline

// Source output positions [out, out + len) carry stream positions
// [stream, stream + len).
struct Segment {
  uint32_t out, stream, len;
};

struct Pipeline {
  uint64_t seed = 0;
  unsigned int dataRate = 0;
  int64_t duration = 0;  // raw Utils::Time
  unsigned int granularity = 4;
  unsigned int cap = 0;  // largest packet anywhere in the pipeline
  std::string graph;

  std::mutex mu;  // guards segments and pendingSeeks
  std::vector<Segment> segments;
  std::vector<uint32_t> pendingSeeks;
  std::atomic<uint64_t> badSeeks{0};

  // Appended to by the source; a sink looks up the segments of its packet
  // under the lock.
  void addData(uint32_t out, uint32_t stream, uint32_t len) {
    std::lock_guard<std::mutex> hold(mu);
    Segment* last = segments.empty() ? nullptr : &segments.back();
    if (last && last->out + last->len == out && last->stream + last->len == stream)
      last->len += len;
    else
      segments.push_back({out, stream, len});
  }
  uint64_t dataBytes() {
    std::lock_guard<std::mutex> hold(mu);
    uint64_t n = 0;
    for (const Segment& s : segments) n += s.len;
    return n;
  }
};

// The chunk a task of this rate and duration works in, before rounding to
// the granularity: the loop's own arithmetic (rate + 0.5 as a time, times
// the duration, whole positions).
unsigned int chunkOf(unsigned int dataRate, int64_t duration) {
  const int64_t a = static_cast<int64_t>(dataRate) * 65536 + 32768;
  return static_cast<unsigned int>(((a * duration) >> 16) >> 16);
}

// Every task of a pipeline asks for the same request, and counts its hooks.
struct SoakTask : ZtFlowTask {
  SoakTask(Pipeline* p, const char* kind, ZtFlow* in, ZtFlow* out) : pl(p), kind(kind) {
    granularity(p->granularity);
    if (in) addInput(in);
    if (out) addOutput(out);
  }
  ~SoakTask() override { stop(); }
  void taskRateInfo(ZtFlowRequestRate& r) override {
    r.dataRate(pl->dataRate);
    r.duration(Utils::Time::fromRaw(pl->duration));
    r.durationMin(Utils::Time::fromRaw(pl->duration));
    r.durationMax(Utils::Time::fromRaw(pl->duration * 4));
  }
  const char* taskName() const override { return kind; }
  void taskInit() override { inits.fetch_add(1); }
  void taskStop() override { stops.fetch_add(1); }

  // The data packet of a step; a marker must never reach a handler, nor a
  // data packet without its bytes.
  ZtFlowDataPacket* content(unsigned int inCount, ZtFlowPacket** in, bool needBytes) {
    ZtFlowPacket* p = inCount ? in[0] : nullptr;
    if (!p) return nullptr;
    const auto c = p->markupCode();
    auto* d = static_cast<ZtFlowDataPacket*>(p);
    if (c == ZtFlowPacket::Flush || c == ZtFlowPacket::EndOfFlow || (needBytes && !d->data() && d->size())) {
      badMarkup.fetch_add(1);
      return nullptr;
    }
    return d;
  }
  void emitOver(ZtFlowEmitFn emit, const ZtProtector<ZtPacket>& stored, unsigned int n) {
    auto* p = new ZtFlowDataPacket(stored);
    p->dStart(0);
    p->dSize(n);
    p->pos(0);
    p->startTime(Utils::Time::fromRaw(0));
    p->endTime(Utils::Time::fromRaw(n));
    emit(this, 0, p);
  }

  Pipeline* pl;
  const char* kind;
  std::atomic<int> inits{0}, stops{0}, badMarkup{0};
  std::atomic<uint64_t> heldAtEnd{0};  // bytes taken in but never sent on (re-chunking only)
};

// The source: a virtual-input task that emits the stream at its input
// position, in packets of random size up to the cap, and records where each
// run of stream positions landed on its output.
struct Source : SoakTask {
  Source(Pipeline* p, ZtFlow* out, uint64_t limit, bool regulated, bool varied)
      : SoakTask(p, "src", nullptr, out), limit(limit), varied(varied), rng(p->seed ^ 0x50) {
    virtualInput(true);
    clockRegulated(regulated);
  }
  ~Source() override { stop(); }

  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    if (inCount != 1 || !in[0] || in[0]->markupCode() != ZtFlowPacket::VirtualInput) {
      badMarkup.fetch_add(1);
      return 0;
    }
    if (flushWanted.exchange(false)) {
      flush(emit);
      flushesSent.fetch_add(1);
    }
    const uint32_t pos = in[0]->pos();
    if (haveNext && pos != nextStream) checkSeek(pos);
    unsigned int m = std::min(in[0]->size(), pl->cap);
    if (varied && m > 1) m = 1 + static_cast<unsigned int>(rng.below(m));
    const uint64_t done = made.load(std::memory_order_relaxed);
    if (limit != 0 && done + m > limit) m = static_cast<unsigned int>(limit - done);
    if (m < in[0]->size()) in[0]->clipSize(m);  // say how much was used
    if (m != 0) {
      ZtProtector<ZtPacket> stored(new ZtPacket(m));
      fillStream(pl->seed, pos, reinterpret_cast<uint8_t*>(stored->data()), m);
      pl->addData(flowPosOut(0), pos, m);  // before the emit, so a sink that gets the packet finds it
      emitOver(emit, stored, m);
    }
    haveNext = true;
    nextStream = pos + m;
    lastStep = m;
    made.store(done + m, std::memory_order_relaxed);
    tick();
    if (limit != 0 && done + m >= limit) shutdown(true);
    return 0;
  }

  // A seek lands either before the loop takes the input position for a step
  // (the step starts at the target) or during a step, when the loop's
  // advance is added to it (target + that step's size). Anything else is a
  // fault.
  void checkSeek(uint32_t pos) {
    std::lock_guard<std::mutex> hold(pl->mu);
    auto& pending = pl->pendingSeeks;
    for (size_t k = 0; k < pending.size(); ++k) {
      if (pending[k] == pos || pending[k] + lastStep == pos) {
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(k) + 1);
        return;
      }
    }
    pl->badSeeks.fetch_add(1);
    std::fprintf(stderr, "flow_soak: source input moved to %u, expected %u or a sought position\n", pos,
                 nextStream);
  }

  // Host side: ask the loop to flush at its next step; seek.
  void requestFlush() { flushWanted.store(true); }
  bool requestSeek(uint32_t to) {
    {
      std::lock_guard<std::mutex> hold(pl->mu);
      pl->pendingSeeks.push_back(to);
      if (pl->pendingSeeks.size() > 16) pl->pendingSeeks.erase(pl->pendingSeeks.begin());
    }
    return seek(to);
  }

  const uint64_t limit;
  const bool varied;
  soak::Rng rng;  // the loop's
  bool haveNext = false;
  uint32_t nextStream = 0;
  unsigned int lastStep = 0;
  std::atomic<bool> flushWanted{false};
  std::atomic<uint64_t> made{0}, flushesSent{0};
};

// Cuts each packet into 1 to `maxPieces` pieces that show the same stored
// bytes; with one piece, a pass-through copy.
struct Split : SoakTask {
  Split(Pipeline* p, ZtFlow* in, ZtFlow* out, unsigned int maxPieces)
      : SoakTask(p, maxPieces > 1 ? "split" : "pass", in, out), maxPieces(maxPieces), rng(p->seed ^ 0x5b) {}
  ~Split() override { stop(); }
  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    ZtFlowPacket* p = content(inCount, in, false);
    if (!p) return 0;
    p->pos(0);
    const unsigned int n = p->size();
    unsigned int pieces = 1 + static_cast<unsigned int>(rng.below(maxPieces));
    for (unsigned int at = 0; at < n;) {
      unsigned int len = n - at;
      if (--pieces > 0 && len > 1) len = 1 + static_cast<unsigned int>(rng.below(len));
      unsigned int from = at;
      ZtFlowPacket* piece = p->readAt(from);
      piece->clipSize(len);
      piece->pos(0);
      emit(this, 0, piece);
      ZtFlowPacket::drop(piece);
      at += len;
    }
    return 0;
  }
  const unsigned int maxPieces;
  soak::Rng rng;
};

// Re-chunks the stream into packets of `size` bytes copied into new stored
// packets: merges small packets, cuts large ones. A flush sends what it
// holds first; what it holds when its input ends is counted, not sent.
struct Rechunk : SoakTask {
  Rechunk(Pipeline* p, ZtFlow* in, ZtFlow* out, unsigned int size) : SoakTask(p, "rechunk", in, out), size(size) {}
  ~Rechunk() override { stop(); }
  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in, ZtFlowEmitFn emit) override {
    ZtFlowDataPacket* d = content(inCount, in, true);
    if (!d) return 0;
    const auto* bytes = static_cast<const uint8_t*>(d->data());
    held.insert(held.end(), bytes, bytes + d->size());
    while (held.size() - start >= size) sendHeld(emit, size);
    if (start > (1u << 20) && start * 2 > held.size()) {
      held.erase(held.begin(), held.begin() + static_cast<long>(start));
      start = 0;
    }
    return 0;
  }
  void taskFlush(ZtFlowEmitFn emit) override {
    if (held.size() > start) sendHeld(emit, static_cast<unsigned int>(held.size() - start));
  }
  void taskStop() override {
    heldAtEnd.store(held.size() - start);
    SoakTask::taskStop();
  }
  void sendHeld(ZtFlowEmitFn emit, unsigned int n) {
    ZtProtector<ZtPacket> stored(new ZtPacket(n));
    std::memcpy(stored->data(), held.data() + start, n);
    start += n;
    emitOver(emit, stored, n);
  }
  const unsigned int size;
  std::vector<uint8_t> held;
  size_t start = 0;
};

// Checks every byte against the stream; fast, yielding or napping.
struct Sink : SoakTask {
  enum Speed { Fast, Yield, Nap };
  Sink(Pipeline* p, ZtFlow* in, Speed s, uint64_t seed)
      : SoakTask(p, s == Fast ? "sink" : s == Yield ? "sink-y" : "sink-n", in, nullptr), speed(s), rng(seed) {}
  ~Sink() override { stop(); }

  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in, ZtFlowEmitFn) override {
    ZtFlowDataPacket* d = content(inCount, in, true);
    if (!d) return 0;
    check(d->pos(), static_cast<const uint8_t*>(d->data()), d->size());
    received.fetch_add(d->size(), std::memory_order_relaxed);
    totals[Bytes].fetch_add(d->size(), std::memory_order_relaxed);
    tick();
    // Load of the task's own, not synchronisation: a slow consumer.
    if (speed == Yield) {
      std::this_thread::yield();
    } else if (speed == Nap && rng.below(napEvery) == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(20 + rng.below(200)));
    }
    return 0;
  }
  void taskFlush(ZtFlowEmitFn) override { flushesSeen.fetch_add(1); }

  // The packet at flow position x must be the stream bytes that the source
  // put at output position x; it may span segments joined by a seek.
  void check(uint32_t x, const uint8_t* bytes, unsigned int n) {
    for (unsigned int done = 0; done < n;) {
      const uint32_t at = x + done;
      Segment seg{};
      bool found = false;
      {
        std::lock_guard<std::mutex> hold(pl->mu);
        const auto& segs = pl->segments;
        if (cursor >= segs.size()) cursor = segs.empty() ? 0 : segs.size() - 1;
        for (size_t tries = 0; tries < segs.size() && !found; ++tries) {
          found = at - segs[cursor].out < segs[cursor].len;
          if (found) seg = segs[cursor];
          else cursor = (cursor + 1) % segs.size();
        }
      }
      if (!found) {
        // Data where the source put none: a marker's position or beyond the end.
        reordered.fetch_add(n - done);
        note("data at a position the source never wrote", at);
        return;
      }
      const unsigned int len = std::min<unsigned int>(n - done, seg.len - (at - seg.out));
      const uint32_t s = seg.stream + (at - seg.out);
      if (!same(s + static_cast<uint32_t>(shift), bytes + done, len)) {
        if (shift != 0 && same(s, bytes + done, len))
          shift = 0;  // back in step after an earlier fault
        else
          classify(s + static_cast<uint32_t>(shift), bytes + done, len);
      }
      done += len;
    }
  }
  bool same(uint32_t s, const uint8_t* bytes, unsigned int len) {
    scratch.resize(len);
    fillStream(pl->seed, s, scratch.data(), len);
    return std::memcmp(scratch.data(), bytes, len) == 0;
  }

  // Where in the stream near s did these bytes come from? Earlier: they came
  // again (duplicated); later: the bytes in between never came (lost);
  // nowhere near: out of place (counted as reordered).
  void classify(uint32_t s, const uint8_t* bytes, unsigned int len) {
    constexpr uint32_t kWindow = 1u << 20;
    std::vector<uint8_t> around(2 * kWindow + len);
    fillStream(pl->seed, s - kWindow, around.data(), around.size());
    const auto* hit = static_cast<const uint8_t*>(memmem(around.data(), around.size(), bytes, std::min(len, 32u)));
    int64_t d = 0;
    if (hit && static_cast<size_t>(hit - around.data()) + len <= around.size() && std::memcmp(hit, bytes, len) == 0)
      d = (hit - around.data()) - static_cast<int64_t>(kWindow);
    // Later packets are compared in the new step, so that one fault counts
    // once instead of in every packet after it.
    shift += d;
    if (d < 0) duplicated.fetch_add(static_cast<uint64_t>(-d));
    if (d > 0) lost.fetch_add(static_cast<uint64_t>(d));
    if (d == 0) reordered.fetch_add(len);
    note(d < 0 ? "bytes that came before (duplicated)" : d > 0 ? "bytes skipped (lost)" : "bytes out of place", s);
  }
  void note(const char* what, uint32_t at) {
    if (notes++ < 3) std::fprintf(stderr, "flow_soak: %s %s at stream/flow position %u\n", kind, what, at);
  }

  const Speed speed;
  soak::Rng rng;
  uint64_t napEvery = 1;
  size_t cursor = 0;
  int64_t shift = 0;  // stream offset of what arrives, after a fault
  std::vector<uint8_t> scratch;
  int notes = 0;
  std::atomic<uint64_t> received{0}, flushesSeen{0}, lost{0}, duplicated{0}, reordered{0};
};

// The tree: each node is a task or a fork, with the index of its parent.
struct Built {
  struct Node {
    ZtFlowTask* unit;
    SoakTask* task;  // null for a fork
    int parent;
  };
  std::vector<std::unique_ptr<ZtFlow>> flows;
  std::vector<Node> nodes;  // nodes[0] is the source
  ZtFlow* newFlow(bool removes) {
    flows.push_back(std::make_unique<ZtFlow>());
    flows.back()->readRemovesPacket(removes);
    return flows.back().get();
  }
  int add(ZtFlowTask* unit, SoakTask* task, int parent) {
    nodes.push_back({unit, task, parent});
    return static_cast<int>(nodes.size()) - 1;
  }
  ~Built() {
    for (size_t i = nodes.size(); i-- > 0;) delete nodes[i].unit;  // a unit clears its pointer in its flows
  }
};

// A chain of 0-3 stages from `in`, then a fork (while the budget lasts) or
// a sink.
void grow(Pipeline& pl, Built& b, soak::Rng& rng, ZtFlow* in, int parent, int depth, int& budget) {
  for (int k = 0, stages = rng.pick(4); k < stages && budget > 2; ++k, --budget) {
    ZtFlow* out = b.newFlow(rng.chance(0.5));
    const unsigned int kind = static_cast<unsigned int>(rng.below(3));
    const unsigned int size = kind == 2 ? static_cast<unsigned int>(rng.range(1, pl.cap)) : 0;
    SoakTask* t = kind < 2 ? static_cast<SoakTask*>(new Split(&pl, in, out, kind ? 4 : 1))
                           : new Rechunk(&pl, in, out, size);
    pl.graph += t->kind + (size ? "(" + std::to_string(size) + ")>" : std::string(">"));
    parent = b.add(t, t, parent);
    in = out;
  }
  if (depth < 2 && budget >= 4 && rng.chance(depth == 0 ? 0.6 : 0.3)) {
    const int branches = static_cast<int>(rng.range(2, std::min(4, budget - 1)));
    ZtFlow* outs[4] = {nullptr, nullptr, nullptr, nullptr};
    for (int j = 0; j < branches; ++j) outs[j] = b.newFlow(j == 0 ? rng.chance(0.5) : true);
    const int me = b.add(new ZtFlowFork(in, outs[0], outs[1], outs[2], outs[3], static_cast<ZtFlow*>(nullptr)),
                         nullptr, parent);
    budget -= 1 + branches;  // room for one sink per branch
    pl.graph += "fork[";
    for (int j = 0; j < branches; ++j) {
      ++budget;
      pl.graph += j ? "," : "";
      grow(pl, b, rng, outs[j], me, depth + 1, budget);
    }
    pl.graph += "]";
    return;
  }
  const auto speed = static_cast<Sink::Speed>(rng.below(4) == 0 ? 0 : rng.below(3));
  auto* sink = new Sink(&pl, in, speed, rng.next());
  sink->napEvery = pl.cap >= 65536 ? 1 : 1 + rng.below(32);
  b.add(sink, sink, parent);
  pl.graph += sink->kind;
  --budget;
}

std::string summary() { return totals.line(kNames); }
std::string summaryLine();  // with the seed; see `program`

Outcome runPipeline(long index, uint64_t pseed, const soak::Args& args, soak::Clock::time_point runDeadline,
                    bool& timeUp) {
  Outcome o;
  soak::Rng rng(pseed);
  Pipeline pl;
  pl.seed = pseed;
  const bool large = rng.chance(0.3);
  static const int64_t kDurations[] = {655, 1310, 3276};  // 0.01, 0.02, 0.05 s
  pl.duration = kDurations[rng.below(3)];
  const uint64_t wantCap = large ? rng.range(256 << 10, 2 << 20) : rng.range(64, 16 << 10);
  pl.dataRate = static_cast<unsigned int>(wantCap * 65536 / static_cast<uint64_t>(pl.duration));
  pl.granularity = 1u << rng.below(4);
  pl.cap = std::max(1u, chunkOf(pl.dataRate, pl.duration));
  const bool regulated = !large && rng.chance(0.2);
  uint64_t limit = large ? rng.range(8u << 20, 48u << 20) : rng.range(64u << 10, 8u << 20);
  if (regulated) limit = std::min<uint64_t>(limit, pl.dataRate / 2 + 1);  // about half a second paced
  limit = std::max<uint64_t>(1, static_cast<uint64_t>(static_cast<double>(limit) * args.scale));
  const auto pastDeadline = [&] { return soak::Clock::now() > runDeadline; };

  const int64_t live0 = soak::liveBlocks();
  {
    Built b;
    ZtFlow* first = b.newFlow(rng.chance(0.5));
    auto* src = new Source(&pl, first, limit, regulated, rng.chance(0.5));
    b.add(src, src, -1);
    pl.graph = "src>";
    int budget = 14;
    grow(pl, b, rng, first, 0, 0, budget);

    char ctx[512];
    std::snprintf(ctx, sizeof ctx, "pipeline %ld seed 0x%" PRIx64 " (%s, cap %u, rate %u, %s)", index, pseed,
                  pl.graph.c_str(), pl.cap, pl.dataRate, regulated ? "paced" : "free");
    soak::watchdog()->context(ctx);
    if (args.verbose) std::printf("%s limit %" PRIu64 "\n", ctx, limit);

    // Consumers first: a fork checks the rates its consumers publish.
    bool started = true;
    for (size_t i = b.nodes.size(); started && i-- > 0;) {
      started = b.nodes[i].unit->start();
      if (!started) std::fprintf(stderr, "flow_soak: %s did not start in %s\n", b.nodes[i].unit->name(), ctx);
    }
    o[StartFailed] = !started;

    // Random moments, measured in source bytes: flush, seek, stop. Then let
    // the source reach its limit, unless the run's time is up.
    if (started) {
      std::vector<uint64_t> at(rng.below(7));
      for (uint64_t& when : at) when = rng.below(limit);
      std::sort(at.begin(), at.end());
      for (uint64_t when : at) {
        soak::waitUntil([&] { return src->made.load() >= when || src->done() || pastDeadline(); });
        if (src->done() || (timeUp = pastDeadline())) break;
        const uint64_t what = rng.below(10);
        if (what < 4) {
          src->requestFlush();
        } else if (what < 8) {
          const uint64_t how = rng.below(3);
          const uint32_t to = how == 0   ? static_cast<uint32_t>(rng.next())
                              : how == 1 ? ~0u - static_cast<uint32_t>(rng.below(pl.cap * 2u + 2))  // across the wrap
                                         : static_cast<uint32_t>(rng.below(1u << 20));  // back or ahead a little
          o[Seeks] += src->requestSeek(to);
        } else {
          src->stop();
          ++o[Stops];
          break;
        }
      }
      soak::waitUntil([&] { return src->done() || pastDeadline(); });
      if (!src->done()) {
        timeUp = true;
        src->stop();
        ++o[Stops];
      }
    }
    // Whatever happened, stop the source: the end-of-flow markers wind the
    // rest down. When a start failed, stop what did start, from the top, so
    // that each sends its end-of-flow markers on.
    for (size_t i = 0; i < (started ? 1 : b.nodes.size()); ++i) b.nodes[i].unit->stop();
    const auto allDone = [&] {
      for (const auto& n : b.nodes)
        if (!n.unit->done() && n.unit->started()) return false;
      return true;
    };
    tick();
    // Sinks may still be draining what forks buffered for them: wait while
    // bytes keep arriving, and call the rest not done once they stop.
    bool finished = false;
    for (uint64_t seen = ~0ull; !finished && totals.get(Bytes) != seen;) {
      seen = totals.get(Bytes);
      finished = soak::waitUntil(allDone, args.hangSeconds);
    }
    if (!finished) {
      for (const auto& n : b.nodes) o[NotDone] += !n.unit->done();
      totals[NotDone] += o[NotDone];
      std::fprintf(stderr, "flow_soak: %" PRIu64 " tasks not done in %s\n", o[NotDone], ctx);
      // Their loops still run on these objects: they cannot be freed. Report
      // and end the run here.
      std::printf("%s\n", summaryLine().c_str());
      std::fflush(stdout);
      std::_Exit(1);
    }
    tick();

    // Every byte each sink should have: all the source's data, less what
    // re-chunking tasks above it held at the end; every flush; each task's
    // hooks once.
    const uint64_t data = pl.dataBytes(), flushesSent = src->flushesSent.load();
    for (const auto& n : b.nodes) {
      SoakTask* st = n.task;
      o[Reordered] += st ? st->badMarkup.load() : 0;
      if (!started) continue;
      o[NotDone] += !n.unit->done();
      if (st && (st->inits.load() != 1 || st->stops.load() != 1)) {
        ++o[NotDone];
        std::fprintf(stderr, "flow_soak: %s ran taskInit %d and taskStop %d times in %s\n", st->kind,
                     st->inits.load(), st->stops.load(), ctx);
      }
      auto* sink = dynamic_cast<Sink*>(st);
      if (!sink) continue;
      uint64_t held = 0;
      for (int up = n.parent; up >= 0; up = b.nodes[static_cast<size_t>(up)].parent)
        if (SoakTask* t = b.nodes[static_cast<size_t>(up)].task) held += t->heldAtEnd.load();
      const uint64_t want = data - std::min(data, held), got = sink->received.load();
      const uint64_t lost = sink->lost.load(), dup = sink->duplicated.load(), bad = sink->reordered.load();
      const uint64_t missing = got < want && lost + bad == 0 ? want - got : 0;
      const uint64_t extra = got > want && dup + bad == 0 ? got - want : 0;
      o[Bytes] += got;
      o[Lost] += lost + missing;
      o[Duplicated] += dup + extra;
      o[Reordered] += bad;
      if (missing + extra != 0)
        std::fprintf(stderr, "flow_soak: a sink got %" PRIu64 " of %" PRIu64 " bytes in %s\n", got, want, ctx);
      if (sink->flushesSeen.load() != flushesSent) {
        ++o[FlushMismatch];
        std::fprintf(stderr, "flow_soak: a sink saw %" PRIu64 " flushes of %" PRIu64 " in %s\n",
                     sink->flushesSeen.load(), flushesSent, ctx);
      }
    }
    o[BadSeeks] = pl.badSeeks.load();
    o[Flushes] = flushesSent;
  }
  o[Leaked] = soak::leakedSince(live0);
  const bool ok = o.faults(kNames) == 0;
  if (!ok || args.verbose)
    std::fprintf(ok ? stdout : stderr, "flow_soak: pipeline %ld seed 0x%" PRIx64 " %s:%s\n", index, pseed,
                 pl.graph.c_str(), o.line(kNames).c_str());
  return o;
}

soak::Clock::time_point deadline;

soak::Program program{
    "flow_soak",
    "pipelines",
    50,
    // Dropouts are expected under load (a paced source that falls behind);
    // any other message of the library is a fault (a fork that refused its
    // rates).
    [](const Utils::LogRecord& r) {
      const bool dropout = std::strstr(r.text, "Flow Dropout") != nullptr;
      totals[dropout ? Dropouts : OtherLogs].fetch_add(1, std::memory_order_relaxed);
      if (!dropout) std::fprintf(stderr, "flow_soak: log: %s\n", r.text);
    },
    &summary,
    [] { return totals.faults(kNames); },
    [] { totals[Hangs].fetch_add(1); },
    [](long i, uint64_t pseed, const soak::Args& args) {
      if (i == 0)
        deadline = args.seconds > 0 ? soak::Clock::now() + std::chrono::duration_cast<soak::Clock::duration>(
                                                               std::chrono::duration<double>(args.seconds))
                                    : soak::Clock::time_point::max();
      bool timeUp = false;
      Outcome o = runPipeline(i, pseed, args, deadline, timeUp);
      o[Bytes] = 0;  // the sinks count them into the totals as they come
      o[Pipelines] = 1;
      totals.add(o);
      return !timeUp;
    },
    [](const soak::Args& a) { return a.bytesLimit && totals.get(Bytes) >= a.bytesLimit; },
    [](double wall) {
      char b[48];
      std::snprintf(b, sizeof b, " rate=%.1fMB/s", static_cast<double>(totals.get(Bytes)) / (wall > 0 ? wall : 1) / 1e6);
      return std::string(b);
    },
};

std::string summaryLine() { return program.line(); }

}  // namespace

int main(int argc, char** argv) { return program.main(argc, argv); }
