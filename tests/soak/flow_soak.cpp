// Soak test of flow graphs: random pipelines built, run, flushed, sought and
// stopped at their source, over and over.
//
// Each pipeline is a tree: one source, chains of pass-through, splitting and
// re-chunking tasks, forks to 2-4 branches, and sinks of random speed. The
// source's byte at stream position s is a function of (pipeline seed, s), so
// every sink can check every byte it gets. Positions keep in step down the
// tree (every task places its output where its input was, and a Flush marker
// takes one position on every flow), so a sink maps the position of a packet
// to the stream through the segments that the source records: a new segment
// starts after a flush (one position with no data) and where a seek moved the
// source's input position.
//
// What a sink may legitimately miss: the bytes a re-chunking task still held
// when its input ended (it sends what it holds on a flush, but nothing runs
// between the end of its input and the end of its output). Those are counted
// by the task itself and taken off what the sinks below it expect.
//
// Sizing that keeps every byte legitimately deliverable:
//  - every task of a pipeline asks for the same data rate and duration, and
//    no packet is larger than the chunk that rate gives (`cap`), so that a
//    consumer's work step always takes a whole packet (a consuming read lets
//    go of the rest of a cut packet);
//  - a flow that keeps packets after a read (no readRemovesPacket) is trimmed
//    by its producer to twice durationMax of data ahead of its consumer; with
//    durationMax four durations and packets of at most one, a sleeping
//    producer never buffers that much. The outputs of a fork other than the
//    first are not looked at by its sleep test, so they always let reads
//    remove packets and are never trimmed.
//
// Usage: flow_soak [--pipelines N] [--seconds S] [--seed X] [--bytes-limit N]
//                  [--only SEED] [--hang-seconds S] [--scale F] [--verbose]
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
#include "kernel/flow/flow.h"
#include "kernel/flow/flowfork.h"
#include "kernel/flow/flowtask.h"
#include "kernel/flow/packet.h"
#include "soakutil.h"

namespace {

// ---------------------------------------------------------------- the stream

uint32_t streamWord(uint64_t seed, uint32_t w) {
  uint64_t z = seed ^ (static_cast<uint64_t>(w) * 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 31)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 29)) * 0x94D049BB133111EBull;
  return static_cast<uint32_t>(z >> 17);
}

// The n stream bytes from position s; positions wrap at 2^32 like flow
// positions do, and the stream wraps with them.
void fillStream(uint64_t seed, uint32_t s, uint8_t* dst, size_t n) {
  size_t i = 0;
  while (i < n && ((s + i) & 3) != 0) {
    const uint32_t p = s + static_cast<uint32_t>(i);
    dst[i++] = static_cast<uint8_t>(streamWord(seed, p >> 2) >> ((p & 3) * 8));
  }
  for (; i + 4 <= n; i += 4) {
    const uint32_t w = streamWord(seed, (s + static_cast<uint32_t>(i)) >> 2);
    std::memcpy(dst + i, &w, 4);  // little-endian: byte k of the word is position 4w + k
  }
  for (; i < n; ++i) {
    const uint32_t p = s + static_cast<uint32_t>(i);
    dst[i] = static_cast<uint8_t>(streamWord(seed, p >> 2) >> ((p & 3) * 8));
  }
}

// ---------------------------------------------------------------- run totals

struct Totals {
  std::atomic<uint64_t> pipelines{0}, bytes{0}, lost{0}, duplicated{0}, reordered{0};
  std::atomic<uint64_t> leaked{0}, notDone{0}, hangs{0}, badSeeks{0}, flushMismatch{0};
  std::atomic<uint64_t> startFailed{0}, flushes{0}, seeks{0}, stops{0}, dropouts{0};
  std::atomic<uint64_t> otherLogs{0};
  uint64_t seed = 0;

  template <typename Outcome>
  void add(const Outcome& o) {
    pipelines += 1;
    lost += o.lost;
    duplicated += o.duplicated;
    reordered += o.reordered + o.badMarkup;
    notDone += o.notDone;
    flushMismatch += o.flushMismatch;
    badSeeks += o.badSeeks;
    startFailed += o.startFailed;
    leaked += o.leaked;
  }
  uint64_t faults() const {
    return lost + duplicated + reordered + leaked + notDone + hangs + badSeeks + flushMismatch +
           startFailed + otherLogs;
  }
  std::string line() const {
    char b[512];
    std::snprintf(b, sizeof b,
                  "flow_soak: pipelines=%" PRIu64 " bytes=%" PRIu64 " lost=%" PRIu64
                  " duplicated=%" PRIu64 " reordered=%" PRIu64 " leaked_blocks=%" PRIu64
                  " not_done=%" PRIu64 " hangs=%" PRIu64 " bad_seeks=%" PRIu64
                  " flush_mismatch=%" PRIu64 " start_failed=%" PRIu64 " other_logs=%" PRIu64
                  " flushes=%" PRIu64 " seeks=%" PRIu64 " stops=%" PRIu64 " dropouts=%" PRIu64
                  " seed=0x%" PRIx64,
                  pipelines.load(), bytes.load(), lost.load(), duplicated.load(), reordered.load(),
                  leaked.load(), notDone.load(), hangs.load(), badSeeks.load(), flushMismatch.load(),
                  startFailed.load(), otherLogs.load(), flushes.load(), seeks.load(), stops.load(),
                  dropouts.load(), seed);
    return b;
  }
};

Totals totals;
soak::Watchdog* watchdog = nullptr;

// Dropouts are expected under load (a paced source that falls behind); any
// other message of the library is a fault (a fork that refused its rates).
void logSink(void*, const Utils::LogRecord& r) {
  if (std::strstr(r.text, "Flow Dropout")) {
    totals.dropouts.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  totals.otherLogs.fetch_add(1, std::memory_order_relaxed);
  std::fprintf(stderr, "flow_soak: log: %s\n", r.text);
}

// ---------------------------------------------------------------- a pipeline

// Source output positions [out, out + len) carry stream positions
// [stream, stream + len).
struct Segment {
  uint32_t out;
  uint32_t stream;
  uint32_t len;
};

struct Pipeline {
  uint64_t seed = 0;
  unsigned int dataRate = 0;
  int64_t duration = 0;  // raw Utils::Time
  unsigned int granularity = 4;
  unsigned int cap = 0;  // largest packet anywhere in the pipeline

  std::mutex mu;  // guards segments and pendingSeeks
  std::vector<Segment> segments;
  std::vector<uint32_t> pendingSeeks;

  std::atomic<uint64_t> badSeeks{0};
  std::string graph;

  // The segment list as the sinks see it: appended to by the source; a sink
  // looks up the segments of its packet under the lock.
  void addData(uint32_t out, uint32_t stream, uint32_t len) {
    std::lock_guard<std::mutex> hold(mu);
    if (!segments.empty()) {
      Segment& last = segments.back();
      if (last.out + last.len == out && last.stream + last.len == stream) {
        last.len += len;
        return;
      }
    }
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

// Every task of a pipeline asks for the same request.
struct SoakTask : ZtFlowTask {
  SoakTask(Pipeline* p, const char* kind) : pl(p), kind(kind) { granularity(p->granularity); }
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

  // A marker must never reach a handler.
  bool content(const ZtFlowPacket* p) {
    if (!p) return false;
    const auto c = p->markupCode();
    if (c == ZtFlowPacket::Flush || c == ZtFlowPacket::EndOfFlow) {
      badMarkup.fetch_add(1);
      return false;
    }
    return true;
  }

  Pipeline* pl;
  const char* kind;
  std::atomic<int> inits{0}, stops{0}, badMarkup{0};
  // Bytes taken in but never sent on when the input ended (re-chunking only).
  std::atomic<uint64_t> heldAtEnd{0};
};

ZtFlowDataPacket* packetOver(const ZtProtector<ZtPacket>& stored, unsigned int start, unsigned int n) {
  auto* p = new ZtFlowDataPacket(stored);
  p->dStart(start);
  p->dSize(n);
  p->pos(0);
  p->startTime(Utils::Time::fromRaw(0));
  p->endTime(Utils::Time::fromRaw(n));
  return p;
}

// The source: a virtual-input task that emits the stream at its input
// position, in packets of random size up to the cap, and records where each
// run of stream positions landed on its output.
struct Source : SoakTask {
  Source(Pipeline* p, ZtFlow* out, uint64_t limit, bool regulated, bool varied)
      : SoakTask(p, "src"), limit(limit), varied(varied), rng(p->seed ^ 0x50) {
    virtualInput(true);
    clockRegulated(regulated);
    addOutput(out);
  }
  ~Source() override { stop(); }

  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override {
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
      // Recorded before the emit, so a sink that gets the packet finds it.
      pl->addData(flowPosOut(0), pos, m);
      emit(this, 0, packetOver(stored, 0, m));
    }
    haveNext = true;
    nextStream = pos + m;
    lastStep = m;
    made.store(done + m, std::memory_order_relaxed);
    if (watchdog) watchdog->tick();
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
    std::fprintf(stderr, "flow_soak: source input moved to %u, expected %u or a sought position\n",
                 pos, nextStream);
  }

  // Host side: ask the loop to flush at its next step.
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
  std::atomic<uint64_t> made{0};
  std::atomic<uint64_t> flushesSent{0};
};

// Copies each packet on.
struct Pass : SoakTask {
  Pass(Pipeline* p, ZtFlow* in, ZtFlow* out) : SoakTask(p, "pass") {
    addInput(in);
    addOutput(out);
  }
  ~Pass() override { stop(); }
  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override {
    if (inCount == 0 || !content(in[0])) return 0;
    in[0]->pos(0);
    unsigned int at = 0;
    ZtFlowPacket* copy = in[0]->readAt(at);
    emit(this, 0, copy);
    ZtFlowPacket::drop(copy);
    return 0;
  }
};

// Cuts each packet into 1-4 pieces that show the same stored bytes.
struct Split : SoakTask {
  Split(Pipeline* p, ZtFlow* in, ZtFlow* out) : SoakTask(p, "split"), rng(p->seed ^ 0x5b) {
    addInput(in);
    addOutput(out);
  }
  ~Split() override { stop(); }
  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override {
    if (inCount == 0 || !content(in[0])) return 0;
    ZtFlowPacket* p = in[0];
    p->pos(0);
    const unsigned int n = p->size();
    unsigned int at = 0;
    unsigned int pieces = 1 + static_cast<unsigned int>(rng.below(4));
    while (at < n) {
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
  soak::Rng rng;
};

// Re-chunks the stream into packets of `size` bytes copied into new stored
// packets: merges small packets, cuts large ones. A flush sends what it
// holds first; what it holds when its input ends is counted, not sent.
struct Rechunk : SoakTask {
  Rechunk(Pipeline* p, ZtFlow* in, ZtFlow* out, unsigned int size)
      : SoakTask(p, "rechunk"), size(size) {
    addInput(in);
    addOutput(out);
  }
  ~Rechunk() override { stop(); }
  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in,
                              ZtFlowEmitFn emit) override {
    if (inCount == 0 || !content(in[0])) return 0;
    auto* d = static_cast<ZtFlowDataPacket*>(in[0]);
    const auto* bytes = static_cast<const uint8_t*>(d->data());
    if (!bytes) {
      badMarkup.fetch_add(1);
      return 0;
    }
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
    emit(this, 0, packetOver(stored, 0, n));
  }
  const unsigned int size;
  std::vector<uint8_t> held;
  size_t start = 0;
};

// Checks every byte against the stream; fast, yielding or napping.
struct Sink : SoakTask {
  enum Speed { Fast, Yield, Nap };
  Sink(Pipeline* p, ZtFlow* in, Speed s, uint64_t seed)
      : SoakTask(p, s == Fast ? "sink" : s == Yield ? "sink-y" : "sink-n"), speed(s), rng(seed) {
    addInput(in);
  }
  ~Sink() override { stop(); }

  unsigned int taskHandleFlow(unsigned int inCount, unsigned int, ZtFlowPacket** in,
                              ZtFlowEmitFn) override {
    if (inCount == 0 || !content(in[0])) return 0;
    auto* d = static_cast<ZtFlowDataPacket*>(in[0]);
    const auto* bytes = static_cast<const uint8_t*>(d->data());
    const unsigned int n = d->size();
    if (!bytes && n != 0) {
      badMarkup.fetch_add(1);
      return 0;
    }
    check(d->pos(), bytes, n);
    received.fetch_add(n, std::memory_order_relaxed);
    totals.bytes.fetch_add(n, std::memory_order_relaxed);
    if (watchdog) watchdog->tick();
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
    unsigned int done = 0;
    while (done < n) {
      Segment seg{};
      bool found = false;
      {
        std::lock_guard<std::mutex> hold(pl->mu);
        const auto& segs = pl->segments;
        const uint32_t at = x + done;
        if (cursor >= segs.size()) cursor = segs.empty() ? 0 : segs.size() - 1;
        for (size_t tries = 0; tries < segs.size(); ++tries) {
          const Segment& s = segs[cursor];
          if (at - s.out < s.len) {
            seg = s;
            found = true;
            break;
          }
          cursor = (cursor + 1) % segs.size();
        }
      }
      if (!found) {
        // Data where the source put none: a marker's position or beyond the end.
        reordered.fetch_add(n - done);
        note("data at a position the source never wrote", x + done);
        return;
      }
      const uint32_t off = x + done - seg.out;
      const unsigned int len = std::min<unsigned int>(n - done, seg.len - off);
      const uint32_t s = seg.stream + off;
      scratch.resize(len);
      fillStream(pl->seed, s + static_cast<uint32_t>(shift), scratch.data(), len);
      if (std::memcmp(scratch.data(), bytes + done, len) != 0) {
        if (shift != 0) {
          // Back in step after an earlier fault?
          fillStream(pl->seed, s, scratch.data(), len);
          if (std::memcmp(scratch.data(), bytes + done, len) == 0) {
            shift = 0;
            done += len;
            continue;
          }
        }
        classify(s + static_cast<uint32_t>(shift), bytes + done, len);
      }
      done += len;
    }
  }

  // Where in the stream near s did these bytes come from? Earlier: they came
  // again (duplicated); later: the bytes in between never came (lost);
  // nowhere near: out of place (counted as reordered).
  void classify(uint32_t s, const uint8_t* bytes, unsigned int len) {
    constexpr uint32_t kWindow = 1u << 20;
    const unsigned int probe = std::min(len, 32u);
    std::vector<uint8_t> around(2 * kWindow + len);
    fillStream(pl->seed, s - kWindow, around.data(), around.size());
    const auto* hit = static_cast<const uint8_t*>(memmem(around.data(), around.size(), bytes, probe));
    int64_t d = 0;
    if (hit && static_cast<size_t>(hit - around.data()) + len <= around.size() &&
        std::memcmp(hit, bytes, len) == 0) {
      d = (hit - around.data()) - static_cast<int64_t>(kWindow);
    }
    // Later packets are compared in the new step, so that one fault counts
    // once instead of in every packet after it.
    shift += d;
    if (d < 0) {
      duplicated.fetch_add(static_cast<uint64_t>(-d));
      note("bytes that came before (duplicated)", s);
    } else if (d > 0) {
      lost.fetch_add(static_cast<uint64_t>(d));
      note("bytes skipped (lost)", s);
    } else {
      reordered.fetch_add(len);
      note("bytes out of place", s);
    }
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
  std::atomic<uint64_t> received{0}, flushesSeen{0};
  std::atomic<uint64_t> lost{0}, duplicated{0}, reordered{0};
};

// One node of the tree, and the flow it reads.
struct Node {
  SoakTask* task = nullptr;     // null for a fork
  ZtFlowFork* fork = nullptr;
  int parent = -1;
};

struct Built {
  std::vector<ZtFlow*> flows;
  std::vector<Node> nodes;  // nodes[0] is the source
  Source* source() const { return static_cast<Source*>(nodes[0].task); }
  ZtFlowTask* taskAt(size_t i) const {
    return nodes[i].task ? static_cast<ZtFlowTask*>(nodes[i].task) : nodes[i].fork;
  }
};

ZtFlow* newFlow(Built& b, bool removes) {
  auto* f = new ZtFlow;
  f->readRemovesPacket(removes);
  b.flows.push_back(f);
  return f;
}

// A chain of 0-3 stages from `in`, then a fork (while the budget lasts) or
// a sink. Returns nothing: the nodes go into b.
void grow(Pipeline& pl, Built& b, soak::Rng& rng, ZtFlow* in, int parent, int depth, int& budget) {
  const int stages = static_cast<int>(rng.below(4));
  for (int k = 0; k < stages && budget > 2; ++k) {
    ZtFlow* out = newFlow(b, rng.chance(0.5));
    SoakTask* t = nullptr;
    switch (rng.below(3)) {
      case 0:
        t = new Pass(&pl, in, out);
        pl.graph += "pass>";
        break;
      case 1:
        t = new Split(&pl, in, out);
        pl.graph += "split>";
        break;
      default: {
        const unsigned int size = static_cast<unsigned int>(rng.range(1, pl.cap));
        t = new Rechunk(&pl, in, out, size);
        pl.graph += "rechunk(" + std::to_string(size) + ")>";
        break;
      }
    }
    b.nodes.push_back({t, nullptr, parent});
    parent = static_cast<int>(b.nodes.size()) - 1;
    in = out;
    --budget;
  }
  if (depth < 2 && budget >= 4 && rng.chance(depth == 0 ? 0.6 : 0.3)) {
    const int branches = static_cast<int>(rng.range(2, std::min(4, budget - 1)));
    ZtFlow* outs[4] = {nullptr, nullptr, nullptr, nullptr};
    for (int j = 0; j < branches; ++j) outs[j] = newFlow(b, j == 0 ? rng.chance(0.5) : true);
    auto* fork = new ZtFlowFork(in, outs[0], outs[1], outs[2], outs[3], static_cast<ZtFlow*>(nullptr));
    b.nodes.push_back({nullptr, fork, parent});
    const int me = static_cast<int>(b.nodes.size()) - 1;
    --budget;
    budget -= branches;  // room for one sink per branch
    pl.graph += "fork[";
    for (int j = 0; j < branches; ++j) {
      ++budget;
      if (j) pl.graph += ",";
      grow(pl, b, rng, outs[j], me, depth + 1, budget);
    }
    pl.graph += "]";
    return;
  }
  const auto speed = static_cast<Sink::Speed>(rng.below(4) == 0 ? 0 : rng.below(3));
  auto* sink = new Sink(&pl, in, speed, rng.next());
  sink->napEvery = pl.cap >= 65536 ? 1 : 1 + rng.below(32);
  b.nodes.push_back({sink, nullptr, parent});
  pl.graph += sink->kind;
  --budget;
}

struct Outcome {
  uint64_t bytes = 0, lost = 0, duplicated = 0, reordered = 0, notDone = 0, flushMismatch = 0;
  uint64_t badSeeks = 0, startFailed = 0, leaked = 0, badMarkup = 0;
  bool ok() const {
    return lost + duplicated + reordered + notDone + flushMismatch + badSeeks + startFailed + leaked +
               badMarkup ==
           0;
  }
};

// Waits, observing, until cond holds; false when `deadline` passed first.
// The watchdog turns a stall into a failure long before a sane deadline.
template <typename Cond>
bool waitUntil(Cond cond, std::chrono::steady_clock::time_point deadline) {
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // polling a state, not ordering
  }
  return true;
}

Outcome runPipeline(long index, uint64_t pseed, const soak::Args& args,
                    std::chrono::steady_clock::time_point runDeadline, bool& timeUp) {
  Outcome o;
  soak::Rng rng(pseed);
  Pipeline pl;
  pl.seed = pseed;
  const bool large = rng.chance(0.3);
  static const int64_t kDurations[] = {655, 1310, 3276};  // 0.01, 0.02, 0.05 s
  pl.duration = kDurations[rng.below(3)];
  const unsigned int wantCap =
      large ? static_cast<unsigned int>(rng.range(256 << 10, 2 << 20)) : static_cast<unsigned int>(rng.range(64, 16 << 10));
  pl.dataRate = static_cast<unsigned int>((static_cast<uint64_t>(wantCap) * 65536) / static_cast<uint64_t>(pl.duration));
  pl.granularity = 1u << rng.below(4);
  pl.cap = std::max(1u, chunkOf(pl.dataRate, pl.duration));
  const bool regulated = !large && rng.chance(0.2);
  uint64_t limit = large ? rng.range(8u << 20, 48u << 20) : rng.range(64u << 10, 8u << 20);
  if (regulated) limit = std::min<uint64_t>(limit, pl.dataRate / 2 + 1);  // about half a second paced
  limit = std::max<uint64_t>(1, static_cast<uint64_t>(static_cast<double>(limit) * args.scale));

  const int64_t live0 = soak::liveBlocks();
  {
    Built b;
    ZtFlow* first = newFlow(b, rng.chance(0.5));
    auto* src = new Source(&pl, first, limit, regulated, rng.chance(0.5));
    b.nodes.push_back({src, nullptr, -1});
    pl.graph = "src>";
    int budget = 14;
    grow(pl, b, rng, first, 0, 0, budget);

    char ctx[512];
    std::snprintf(ctx, sizeof ctx, "pipeline %ld seed 0x%" PRIx64 " (%s, cap %u, rate %u, %s)", index, pseed,
                  pl.graph.c_str(), pl.cap, pl.dataRate, regulated ? "paced" : "free");
    watchdog->context(ctx);
    if (args.verbose) std::printf("%s limit %" PRIu64 "\n", ctx, limit);

    // Consumers first: a fork checks the rates its consumers publish.
    bool started = true;
    for (size_t i = b.nodes.size(); i-- > 0;) {
      if (!b.taskAt(i)->start()) {
        started = false;
        ++o.startFailed;
        std::fprintf(stderr, "flow_soak: %s did not start in %s\n", b.taskAt(i)->name(), ctx);
        break;
      }
    }

    // Random moments, measured in source bytes: flush, seek, stop.
    uint64_t seeks = 0, stops = 0;
    if (started) {
      const int events = static_cast<int>(rng.below(7));
      std::vector<uint64_t> at;
      for (int e = 0; e < events; ++e) at.push_back(rng.below(limit));
      std::sort(at.begin(), at.end());
      for (uint64_t when : at) {
        waitUntil([&] { return src->made.load() >= when || src->done() ||
                               std::chrono::steady_clock::now() > runDeadline; },
                  std::chrono::steady_clock::time_point::max());
        if (src->done()) break;
        if (std::chrono::steady_clock::now() > runDeadline) {
          timeUp = true;
          break;
        }
        const uint64_t what = rng.below(10);
        if (what < 4) {
          src->requestFlush();
        } else if (what < 8) {
          uint32_t to;
          switch (rng.below(3)) {
            case 0: to = static_cast<uint32_t>(rng.next()); break;
            case 1: to = ~0u - static_cast<uint32_t>(rng.below(pl.cap * 2u + 2)); break;  // across the wrap
            default: to = static_cast<uint32_t>(rng.below(1u << 20)); break;  // back or ahead a little
          }
          if (src->requestSeek(to)) ++seeks;
        } else {
          src->stop();
          ++stops;
          break;
        }
      }
      // The rest: let the source reach its limit, unless the run's time is up.
      waitUntil([&] { return src->done() || std::chrono::steady_clock::now() > runDeadline; },
                std::chrono::steady_clock::time_point::max());
      if (!src->done()) {
        timeUp = true;
        src->stop();
        ++stops;
      }
    }
    // Whatever happened, stop the source: the end-of-flow markers wind the
    // rest down. When a start failed, stop what did start, from the top, so
    // that each sends its end-of-flow markers on. A task that is not done
    // long after is a fault.
    if (started) {
      src->stop();
    } else {
      for (size_t i = 0; i < b.nodes.size(); ++i) b.taskAt(i)->stop();
    }
    const auto allDone = [&] {
      for (size_t i = 0; i < b.nodes.size(); ++i)
        if (!b.taskAt(i)->done() && b.taskAt(i)->started()) return false;
      return true;
    };
    watchdog->tick();
    // Sinks may still be draining what forks buffered for them: wait while
    // bytes keep arriving, and call the rest not done once they stop.
    bool finished = false;
    for (uint64_t seen = ~0ull; !finished;) {
      const uint64_t now = totals.bytes.load();
      if (now == seen) break;
      seen = now;
      finished = waitUntil(allDone, std::chrono::steady_clock::now() +
                                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                            std::chrono::duration<double>(args.hangSeconds)));
    }
    if (!finished) {
      for (size_t i = 0; i < b.nodes.size(); ++i)
        if (!b.taskAt(i)->done()) ++o.notDone;
      totals.notDone += o.notDone;
      std::fprintf(stderr, "flow_soak: %" PRIu64 " tasks not done in %s\n", o.notDone, ctx);
      // Their loops still run on these objects: they cannot be freed. Report
      // and end the run here.
      std::printf("%s\n", totals.line().c_str());
      std::fflush(stdout);
      std::_Exit(1);
    }
    watchdog->tick();

    // Every byte each sink should have: all the source's data, less what
    // re-chunking tasks above it held at the end.
    const uint64_t data = pl.dataBytes();
    const uint64_t flushesSent = src->flushesSent.load();
    for (size_t i = 0; i < b.nodes.size(); ++i) {
      ZtFlowTask* t = b.taskAt(i);
      if (b.nodes[i].task) {
        SoakTask* st = b.nodes[i].task;
        o.badMarkup += st->badMarkup.load();
        if (started && (st->inits.load() != 1 || st->stops.load() != 1)) {
          ++o.notDone;
          std::fprintf(stderr, "flow_soak: %s ran taskInit %d and taskStop %d times in %s\n", st->kind,
                       st->inits.load(), st->stops.load(), ctx);
        }
      }
      if (started && !t->done()) ++o.notDone;
      auto* sink = dynamic_cast<Sink*>(b.nodes[i].task);
      if (!sink || !started) continue;
      uint64_t held = 0;
      for (int up = b.nodes[i].parent; up >= 0; up = b.nodes[static_cast<size_t>(up)].parent)
        if (b.nodes[static_cast<size_t>(up)].task) held += b.nodes[static_cast<size_t>(up)].task->heldAtEnd.load();
      const uint64_t want = data - std::min(data, held);
      const uint64_t got = sink->received.load();
      o.bytes += got;
      o.lost += sink->lost.load();
      o.duplicated += sink->duplicated.load();
      o.reordered += sink->reordered.load();
      if (got < want && sink->lost.load() + sink->reordered.load() == 0) {
        o.lost += want - got;
        std::fprintf(stderr, "flow_soak: a sink got %" PRIu64 " of %" PRIu64 " bytes in %s\n", got, want, ctx);
      } else if (got > want && sink->duplicated.load() + sink->reordered.load() == 0) {
        o.duplicated += got - want;
        std::fprintf(stderr, "flow_soak: a sink got %" PRIu64 " bytes, %" PRIu64 " sent, in %s\n", got, want, ctx);
      }
      if (sink->flushesSeen.load() != flushesSent) {
        ++o.flushMismatch;
        std::fprintf(stderr, "flow_soak: a sink saw %" PRIu64 " flushes of %" PRIu64 " in %s\n",
                     sink->flushesSeen.load(), flushesSent, ctx);
      }
    }
    o.badSeeks = pl.badSeeks.load();
    totals.flushes += flushesSent;
    totals.seeks += seeks;
    totals.stops += stops;

    // Tasks first: a unit clears its pointer in its flows as it goes.
    for (size_t i = b.nodes.size(); i-- > 0;) {
      if (b.nodes[i].task) delete b.nodes[i].task;
      else delete b.nodes[i].fork;
    }
    for (ZtFlow* f : b.flows) delete f;
    if (!o.ok() || args.verbose) {
      std::fprintf(o.ok() ? stdout : stderr,
                   "flow_soak: pipeline %ld seed 0x%" PRIx64 " %s: bytes %" PRIu64 " lost %" PRIu64
                   " duplicated %" PRIu64 " reordered %" PRIu64 " not_done %" PRIu64 " bad_markup %" PRIu64
                   "\n",
                   index, pseed, pl.graph.c_str(), o.bytes, o.lost, o.duplicated, o.reordered, o.notDone,
                   o.badMarkup);
    }
  }
  o.leaked = static_cast<uint64_t>(std::max<int64_t>(0, soak::leakedSince(live0)));
  if (o.leaked) {
    std::fprintf(stderr, "flow_soak: pipeline %ld seed 0x%" PRIx64 " leaked %" PRIu64 " blocks\n", index, pseed,
                 o.leaked);
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  soak::Args args;
  args.count = 50;
  if (!soak::begin(argc, argv, "flow_soak", "pipelines", args)) return 2;
  totals.seed = args.seed;
  Utils::Log::theLog()->sink(&logSink, nullptr);
  const auto t0 = std::chrono::steady_clock::now();
  const auto deadline = args.seconds > 0
                            ? t0 + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                       std::chrono::duration<double>(args.seconds))
                            : std::chrono::steady_clock::time_point::max();
  soak::drive(
      args, watchdog,
      [] {
        totals.hangs.fetch_add(1);
        return totals.line();
      },
      [&](long i, uint64_t pseed) {
        bool timeUp = false;
        totals.add(runPipeline(i, pseed, args, deadline, timeUp));
        return !timeUp;
      },
      [&] { return args.bytesLimit && totals.bytes.load() >= args.bytesLimit; });
  Utils::Log::theLog()->sink(nullptr, nullptr);
  const double wall = soak::secondsSince(t0);
  std::printf("%s wall=%.1fs rate=%.1fMB/s\n", totals.line().c_str(), wall,
              static_cast<double>(totals.bytes.load()) / (wall > 0 ? wall : 1) / 1e6);
  return totals.faults() == 0 ? 0 : 1;
}
