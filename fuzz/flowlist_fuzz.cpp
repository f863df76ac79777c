// SPDX-License-Identifier: Apache-2.0
// The flow packet list against a model of which positions hold which bytes.
//
// The input is a sequence of steps on one ZtFlowBase of data packets (over
// stored packets) and plain packets: add (anywhere, ahead of the first
// packet too), append at a running position that a seek may move, read
// with and without readRemovesPacket, remove, locate, nextGap both ways,
// deleteOutsideRange, reset, restart, copies and assignment.
//
// The model is a sorted map from position to held segment: where the segment
// came from (which packet, how far into its window) and how long it is. First
// come wins: a packet that begins inside held data adds one segment per hole
// that it reaches. Every step's results that do not depend on the list's
// search cursor must match it exactly: size(), read() of a held position
// (the bytes it shows), locate() of a held position, nextGap() both ways,
// deleteOutsideRange(). Where the cursor may decide (a position just past
// the end of a packet counts as found when the search comes from behind;
// remove() takes whatever the cursor is on), the result must be one the
// model allows, and the model follows it. After every step the list's nodes,
// walked without moving the cursor, must be exactly the model's segments in
// order, each packet held once with one reference (the list's), and the
// list's search bookkeeping must agree with its nodes.
//
// Two modes, chosen by the first byte. In the strict mode every packet has a
// size and none begins in a hole and reaches into held data (a packet that
// would is cut at the held data, as a producer at the running end never meets
// that case): there the model above holds exactly. The free mode lets packets
// be empty and overlap that way too; it only checks that the list stays
// well formed (ring, size(), bookkeeping, one reference per packet) and that
// nothing leaks.
//
// Positions are a base plus an offset in a small window; the base may put the
// window across 2^31 or 2^32, where positions compare by difference.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

#include "fuzz/fuzz.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowpacket.h"
#include "zkflow/flow/packet.h"

namespace {

constexpr uint32_t kWindow = 1u << 12;
constexpr size_t kMaxSources = 600;
constexpr unsigned kMaxNodes = 100000;  // a longer ring is a broken one

// A packet as a node holds it, or as read() returns it.
struct View {
  uint32_t pos;
  uint32_t size;
  const ZtPacket* stored;  // null for a plain packet
  uint32_t dStart;
  uint32_t markup;
  uint32_t refs;
  const ZtFlowPacket* packet;
};

View viewOf(const ZtFlowPacket* p) {
  View v{p->pos(), p->size(), nullptr, 0, static_cast<uint32_t>(p->markupCode()), p->refCount(), p};
  if (const auto* d = dynamic_cast<const ZtFlowDataPacket*>(p)) {
    v.stored = d->packet();
    v.dStart = d->dStart();
  }
  return v;
}

// A list whose nodes can be looked at without moving its cursor.
struct Probe : ZtFlowBase {
  Probe() = default;
  Probe(const ZtFlowBase& o) : ZtFlowBase(o) {}

  std::vector<View> nodes(int step) const {
    std::vector<View> out;
    const Node* n = head;
    if (!n) return out;
    unsigned zero = 0, breaks = 0;
    do {
      ZKFLOW_FUZZ_CHECK(n->next->prev == n && n->prev->next == n, "step %d: node links broken", step);
      out.push_back(viewOf(n->packet));
      ZKFLOW_FUZZ_CHECK(n->pos == n->packet->pos() && n->end == n->packet->pos() + n->packet->size(),
                   "step %d: a node's edges are not its packet's", step);
      if (n->packet->size() == 0) ++zero;
      if (n->next != head && n->next->packet->pos() != n->packet->pos() + n->packet->size()) ++breaks;
      n = n->next;
      ZKFLOW_FUZZ_CHECK(out.size() < kMaxNodes, "step %d: the ring does not close", step);
    } while (n != head);
    ZKFLOW_FUZZ_CHECK(zero == zeroSized_, "step %d: %u empty packets, bookkeeping says %u", step, zero, zeroSized_);
    ZKFLOW_FUZZ_CHECK(breaks == breaks_, "step %d: %u breaks, bookkeeping says %u", step, breaks, breaks_);
    for (const View& v : out)
      ZKFLOW_FUZZ_CHECK(zk::FlowPos::atOrBefore(v.pos + v.size, endBound_), "step %d: a packet ends past the bound", step);
    bool cursorFound = cursor == nullptr;
    const Node* m = head;
    do {
      cursorFound |= m == cursor;
      m = m->next;
    } while (m != head);
    ZKFLOW_FUZZ_CHECK(cursorFound, "step %d: the cursor is on no node of the list", step);
    return out;
  }
};

// Where the bytes of a segment come from: the packet made for source `src`,
// `off` bytes into its window.
struct Seg {
  uint32_t len;
  int src;
  uint32_t off;
};

struct Source {
  ZtProtector<ZtPacket> stored;  // null for a plain packet
  uint32_t dStart;
};

struct Fuzz {
  zkfuzz::Input in;
  bool strict;
  uint32_t base;
  Probe list;
  std::map<uint32_t, Seg> segs;  // by offset from base
  std::vector<Source> sources;
  uint32_t run = 0;  // running position of append, from base
  int step = 0;

  Fuzz(const uint8_t* data, size_t size) : in(data, size) {
    const uint8_t mode = in.u8();
    strict = (mode & 1) == 0;
    switch ((mode >> 1) & 3) {
      case 0: base = 0; break;
      case 1: base = 0u - kWindow / 2; break;            // across 2^32
      case 2: base = (1u << 31) - kWindow / 2; break;    // across 2^31
      default: base = in.u32(); break;
    }
  }

  uint32_t abs(uint32_t rel) const { return base + rel; }
  uint32_t rel(uint32_t pos) const { return pos - base; }

  // The segment that holds rel, or end().
  std::map<uint32_t, Seg>::const_iterator holding(uint32_t r) const {
    auto it = segs.upper_bound(r);
    if (it == segs.begin()) return segs.end();
    --it;
    return r < it->first + it->second.len ? it : segs.end();
  }
  // The segment that ends exactly at rel (and so does not hold it), or end().
  std::map<uint32_t, Seg>::const_iterator endingAt(uint32_t r) const {
    auto it = segs.lower_bound(r);
    if (it == segs.begin()) return segs.end();
    --it;
    return it->first + it->second.len == r ? it : segs.end();
  }
  uint32_t nextStart(uint32_t r) const {
    auto it = segs.upper_bound(r);
    return it == segs.end() ? UINT32_MAX : it->first;
  }

  uint32_t pickPos() {
    // Mostly anywhere in the window; sometimes at an edge of a held segment,
    // or just ahead of the first one (data arriving out of order).
    const uint8_t how = in.u8();
    if (!segs.empty() && how >= 0xF0 && segs.begin()->first > 0)
      return segs.begin()->first - 1 - in.u8() % std::min<uint32_t>(segs.begin()->first, 16);
    if (!segs.empty() && (how & 3) == 0) {
      auto it = std::next(segs.begin(), static_cast<long>(in.below(static_cast<unsigned>(segs.size()))));
      const uint32_t edge = (how & 4) ? it->first + it->second.len : it->first;
      const uint8_t nudge = in.u8() % 3;  // one before, at, one after
      return nudge == 0 ? (edge == 0 ? 0 : edge - 1) : edge + nudge - 1;
    }
    return in.u16() % kWindow;
  }
  uint32_t pickSize() {
    const uint8_t how = in.u8();
    if (!strict && how % 8 == 0) return 0;
    if (how % 16 == 1) return 1 + in.u16() % 1024;
    return 1 + in.u8() % 64;
  }

  // A fresh packet for a new source: data (at rel, len bytes) or plain.
  ZtFlowPacket* make(uint32_t r, uint32_t len, bool plain) {
    const int src = static_cast<int>(sources.size());
    const uint32_t markup = static_cast<uint32_t>(src) + 1;
    if (plain) {
      auto* p = new ZtFlowPacket;
      p->pos(abs(r));
      p->markupCode(static_cast<ZtFlowPacket::MarkupCode>(markup));
      sources.push_back({ZtProtector<ZtPacket>(), 0});
      return p;
    }
    const uint32_t dStart = in.u8() % 8;
    ZtProtector<ZtPacket> stored(new ZtPacket(dStart + len + 1));
    auto* p = new ZtFlowDataPacket(stored);
    p->pos(abs(r));
    p->dStart(dStart);
    p->dSize(len);
    p->startTime(Utils::Time::fromRaw(static_cast<int64_t>(r) << 10));
    p->endTime(Utils::Time::fromRaw(static_cast<int64_t>(r + len) << 10));
    p->markupCode(static_cast<ZtFlowPacket::MarkupCode>(markup));
    sources.push_back({stored, dStart});
    return p;
  }

  // The model's add: first come wins, one segment per hole reached.
  void modelAdd(uint32_t r, uint32_t len, int src) {
    if (holding(r) == segs.end()) {
      // Begins in a hole; the strict mode made it fit.
      segs[r] = Seg{len, src, 0};
      return;
    }
    uint32_t at = r;
    const uint32_t end = r + len;
    while (at < end) {
      auto h = holding(at);
      if (h != segs.end()) {
        at = h->first + h->second.len;
        continue;
      }
      const uint32_t stop = std::min(end, nextStart(at));
      segs[at] = Seg{stop - at, src, at - r};
      at = stop;
    }
  }

  // add() or append() of a new packet at rel (strict: cut where it would
  // reach from a hole into held data).
  void addPacket(bool viaAppend) {
    const bool plain = in.u8() % 8 == 0;
    uint32_t r;
    uint32_t d = 0;
    if (viaAppend) {
      if (run >= kWindow) run = in.u16() % kWindow;
      d = in.u8();
      if (d >= 0xF0) run = pickPos();  // a seek: the stream goes on elsewhere
      d %= 4;
      r = run + d;
    } else {
      r = pickPos();
    }
    uint32_t len = plain ? 1 : pickSize();
    if (strict && holding(r) == segs.end()) len = std::min(len, nextStart(r) - r);
    if (strict && len == 0) return;
    if (sources.size() >= kMaxSources) return;
    const int src = static_cast<int>(sources.size());
    ZtFlowPacket* p = make(viaAppend ? d : r, len, plain);
    // A reference of ours across the call: the list takes its own to what it
    // keeps, and ours frees a packet it keeps none of.
    p->incRef();
    if (viaAppend) {
      uint32_t pos = abs(run);
      p->pos(d);  // relative to the running position
      list.append(p, &pos);
      ZKFLOW_FUZZ_CHECK(pos == abs(r + len), "step %d: append left the running position at %u, not %u", step, rel(pos),
                   r + len);
      run = r + len;
    } else {
      list.add(p);
    }
    ZtFlowPacket::drop(p);
    if (strict) modelAdd(r, len, src);
  }

  // What a node or a read copy holding rel onward must look like.
  void expectCopy(const View& v, uint32_t r, const Seg& s, uint32_t segStart, const char* what) {
    const Source& src = sources[static_cast<size_t>(s.src)];
    ZKFLOW_FUZZ_CHECK(v.markup == static_cast<uint32_t>(s.src) + 1, "step %d: %s comes from the wrong packet", step, what);
    if (src.stored.isNull()) {
      ZKFLOW_FUZZ_CHECK(v.stored == nullptr && v.size == 1 && v.pos == abs(segStart), "step %d: %s: plain packet", step,
                   what);
      return;
    }
    ZKFLOW_FUZZ_CHECK(v.stored == src.stored.get(), "step %d: %s shows another stored packet", step, what);
    const uint32_t segEnd = segStart + s.len;
    ZKFLOW_FUZZ_CHECK(v.size == segEnd - r, "step %d: %s at %u has size %u, model %u", step, what, r, v.size, segEnd - r);
    ZKFLOW_FUZZ_CHECK(v.dStart == src.dStart + s.off + (r - segStart), "step %d: %s at %u shows the wrong bytes", step,
                 what, r);
    if (v.size > 0) ZKFLOW_FUZZ_CHECK(v.pos == abs(r), "step %d: %s at %u has pos %u", step, what, r, rel(v.pos));
  }

  void checkNodes() {
    const std::vector<View> nodes = list.nodes(step);
    uint64_t total = 0;
    for (const View& v : nodes) {
      total += v.size;
      ZKFLOW_FUZZ_CHECK(v.refs == 1, "step %d: a held packet has %u references", step, v.refs);
    }
    ZKFLOW_FUZZ_CHECK(list.size() == static_cast<uint32_t>(total), "step %d: size() %u, nodes hold %llu", step,
                 list.size(), static_cast<unsigned long long>(total));
    ZKFLOW_FUZZ_CHECK(list.isEmpty() == nodes.empty(), "step %d: isEmpty", step);
    ZKFLOW_FUZZ_CHECK(list.first() == (nodes.empty() ? nullptr : nodes.front().packet), "step %d: first()", step);
    if (!strict) return;
    ZKFLOW_FUZZ_CHECK(nodes.size() == segs.size(), "step %d: %zu nodes, model %zu segments", step, nodes.size(),
                 segs.size());
    size_t i = 0;
    for (const auto& [start, s] : segs) expectCopy(nodes[i++], start, s, start, "node");
  }

  void read() {
    const uint32_t r = pickPos();
    const bool removes = in.flag();
    list.readRemovesPacket(removes);
    unsigned int pos = abs(r);
    ZtFlowPacket* q = list.read(pos);
    ZKFLOW_FUZZ_CHECK(pos == abs(r), "step %d: read wrote its position", step);
    if (q) ZKFLOW_FUZZ_CHECK(q->refCount() == 1, "step %d: a read copy has %u references", step, q->refCount());
    if (strict) {
      auto h = holding(r);
      auto e = endingAt(r);
      if (h != segs.end()) {
        ZKFLOW_FUZZ_CHECK(q != nullptr, "step %d: read(%u) found nothing in held data", step, r);
        expectCopy(viewOf(q), r, h->second, h->first, "read copy");
        if (removes) segs.erase(h);
      } else if (q) {
        // Only a packet that ends exactly here may be found, as an empty copy.
        ZKFLOW_FUZZ_CHECK(e != segs.end(), "step %d: read(%u) found data in a hole", step, r);
        const View v = viewOf(q);
        if (sources[static_cast<size_t>(e->second.src)].stored.isNull())
          expectCopy(v, e->first, e->second, e->first, "empty read copy");
        else
          expectCopy(v, r, e->second, e->first, "empty read copy");
        if (removes) segs.erase(e);
      }
    }
    ZtFlowPacket::drop(q);
  }

  void locate() {
    const uint32_t r = pickPos();
    const bool found = list.locate(abs(r));
    if (!strict) return;
    if (holding(r) != segs.end())
      ZKFLOW_FUZZ_CHECK(found, "step %d: locate(%u) missed held data", step, r);
    else if (endingAt(r) == segs.end())
      ZKFLOW_FUZZ_CHECK(!found, "step %d: locate(%u) found a hole", step, r);
  }

  void remove() {
    ZtFlowPacket* q = list.remove();
    if (!strict) {
      ZtFlowPacket::drop(q);
      return;
    }
    ZKFLOW_FUZZ_CHECK((q == nullptr) == segs.empty(), "step %d: remove() on a list of %zu segments", step, segs.size());
    if (!q) return;
    // Whichever packet the cursor was on; it must be one segment whole.
    auto it = segs.find(rel(q->pos()));
    ZKFLOW_FUZZ_CHECK(it != segs.end(), "step %d: remove() gave a packet at %u, where no segment starts", step,
                 rel(q->pos()));
    ZKFLOW_FUZZ_CHECK(q->refCount() == 1, "step %d: a removed packet has %u references", step, q->refCount());
    expectCopy(viewOf(q), it->first, it->second, it->first, "removed packet");
    segs.erase(it);
    ZtFlowPacket::drop(q);
  }

  void nextGap() {
    const uint32_t r = pickPos();
    const bool forward = in.u8() % 4 != 0;
    unsigned int gap = 12345;
    const uint32_t got = rel(list.nextGap(abs(r), gap, forward));
    if (!strict) return;
    uint32_t want, wantGap;
    auto h = holding(r);
    if (forward) {
      if (h != segs.end()) {
        // The end of the run that holds r, and the hole after it.
        auto it = h;
        uint32_t end = it->first + it->second.len;
        for (++it; it != segs.end() && it->first == end; ++it) end = it->first + it->second.len;
        want = end;
        wantGap = it == segs.end() ? 0 : it->first - end;
      } else {
        // In a hole between two segments: its rest; before the first or past
        // the last: nothing known.
        const bool below = segs.lower_bound(r) != segs.begin();
        const uint32_t next = nextStart(r);
        want = r;
        wantGap = below && next != UINT32_MAX ? next - r : 0;
      }
      ZKFLOW_FUZZ_CHECK(got == want && gap == wantGap, "step %d: nextGap(%u) gave %u gap %u, model %u gap %u", step, r,
                   got, gap, want, wantGap);
      return;
    }
    // Backward: from a held position, the far edge of the hole below its run
    // (or the start of the first packet); from a hole, r and the distance
    // back to the packet below.
    auto back = [&](std::map<uint32_t, Seg>::const_iterator it, uint32_t& w, uint32_t& wg) {
      while (it != segs.begin()) {
        auto prev = std::prev(it);
        const uint32_t prevEnd = prev->first + prev->second.len;
        if (prevEnd != it->first) {
          w = prevEnd;
          wg = it->first - prevEnd;
          return;
        }
        it = prev;
      }
      w = it->first;
      wg = 0;
    };
    if (h != segs.end()) {
      back(h, want, wantGap);
      ZKFLOW_FUZZ_CHECK(got == want && gap == wantGap, "step %d: backward nextGap(%u) gave %u gap %u, model %u gap %u",
                   step, r, got, gap, want, wantGap);
      return;
    }
    want = r;
    wantGap = 0;
    auto below = segs.lower_bound(r);
    if (below != segs.begin()) {
      --below;
      wantGap = r - (below->first + below->second.len);
    }
    bool ok = got == want && gap == wantGap;
    // A packet that ends exactly at r may count as holding it.
    auto e = endingAt(r);
    if (!ok && e != segs.end()) {
      back(e, want, wantGap);
      ok = got == want && gap == wantGap;
    }
    ZKFLOW_FUZZ_CHECK(ok, "step %d: backward nextGap(%u) in a hole gave %u gap %u", step, r, got, gap);
  }

  void deleteOutsideRange() {
    const uint32_t from = pickPos();
    const uint32_t to = in.flag() ? pickPos() : from + in.u8();
    list.deleteOutsideRange(abs(from), abs(to));
    if (!strict) return;
    for (auto it = segs.begin(); it != segs.end();) {
      // Kept when it begins at or before `to` and ends after `from`.
      if (it->first <= to && it->first + it->second.len > from)
        ++it;
      else
        it = segs.erase(it);
    }
  }

  void copies() {
    // A copy holds the same packets through its own nodes; reading it with
    // readRemovesPacket leaves the original whole.
    Probe copy(list);
    const std::vector<View> a = list.nodes(step);
    const std::vector<View> b = copy.nodes(step);
    ZKFLOW_FUZZ_CHECK(a.size() == b.size() && copy.size() == list.size(), "step %d: the copy differs", step);
    for (size_t i = 0; i < a.size(); ++i)
      ZKFLOW_FUZZ_CHECK(a[i].packet == b[i].packet && b[i].refs == 2, "step %d: copy node %zu", step, i);
    copy.readRemovesPacket(true);
    unsigned int pos = abs(pickPos());
    ZtFlowPacket::drop(copy.read(pos));
    copy.reset();
    if (in.flag()) {
      // Assignment over a list that holds packets of its own.
      Probe other;
      other.add(make(0, 3, false));
      sources.pop_back();
      other = list;
      ZKFLOW_FUZZ_CHECK(other.size() == list.size(), "step %d: the assigned list differs", step);
    }
  }

  void stepOnce() {
    switch (in.u8() % 16) {
      case 0: case 1: case 2: case 3: addPacket(false); break;
      case 4: case 5: addPacket(true); break;
      case 6: case 7: case 8: read(); break;
      case 9: locate(); break;
      case 10: remove(); break;
      case 11: case 12: nextGap(); break;
      case 13: deleteOutsideRange(); break;
      case 14:
        if (in.u8() % 8 == 0) {
          list.reset();
          segs.clear();
          ZKFLOW_FUZZ_CHECK(list.size() == 0 && list.isEmpty(), "step %d: reset", step);
        } else {
          list.restart();
        }
        break;
      default: copies(); break;
    }
    checkNodes();
  }
};

}  // namespace

namespace zkfuzz {

int flowlistOne(const uint8_t* data, size_t size) { return runSteps<Fuzz>(data, size, 4096); }

}  // namespace zkfuzz

ZKFLOW_FUZZ_ENTRY(flowlistOne)
