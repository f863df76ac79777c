// SPDX-License-Identifier: Apache-2.0
// A flow against a plain list: the writes a flow may keep in its stage must
// look, to every later call and to the writer, as if they had reached the
// list at once.
//
// The input is a sequence of steps done twice, on a ZtFlow and on a
// ZtFlowBase, each with a packet of its own (twins: same position, same
// size). The flow gets its producer's writes and appends, which may wait in
// the stage; the list gets add() and append() straight away. Both also get
// other calls that add (the flow's add(), which is not its producer's),
// reads with and without readRemovesPacket, remove, locate, nextGap both
// ways, size, first, deleteOutsideRange, reset, restart, copies and walks
// with apply, all of which must answer alike, cursor included. The flow is
// asked as itself or as the ZtFlowBase a task's outputs() table hands out,
// and a walk's callback removes packets and asks size() and first() of the
// flow it walks. A twin the step still holds is compared right after the
// write returns: a packet the writer holds is clipped by then, or never.
// Positions are a base plus a small window, the base sometimes just below
// 2^31 or 2^32.
#include <cstdint>
#include <utility>
#include <vector>

#include "fuzz/fuzz.h"
#include "zkflow/flow/flow.h"
#include "zkflow/flow/flowpacket.h"

namespace {

using Twin = std::pair<ZtFlowPacket*, ZtFlowPacket*>;  // (flow's, list's)

// A walk with apply over a list L (the flow as itself or as a ZtFlowBase, or
// the plain list): what the callback saw of each packet and of its owner,
// removing the packets whose bit is set in `picks`.
template <class L>
struct Walk {
  L* owner;
  unsigned int picks;
  std::vector<unsigned int> seen;
  static void fn(ZtFlowPacket* p, void* closure) {
    auto* w = static_cast<Walk*>(closure);
    const ZtFlowPacket* head = w->owner->first();
    w->seen.insert(w->seen.end(), {p->pos(), p->size(), w->owner->size(), head ? head->pos() : ~0u});
    if ((w->picks >> (w->seen.size() / 4 % 8) & 1) != 0) ZtFlowPacket::drop(w->owner->remove());
  }
};

struct Fuzz {
  zkfuzz::Input in;
  int step = 0;
  unsigned int base;
  ZtFlow flow;
  ZtFlowBase list;
  unsigned int flowAt, listAt;  // running positions of the appends
  std::vector<Twin> held;       // twins with a reference of ours

  Fuzz(const uint8_t* data, size_t size) : in(data, size) {
    static const unsigned int kBases[] = {0, 0x7fffffc0u, 0xffffffc0u, 1000};
    base = kBases[in.u8() % 4];
    flowAt = listAt = base;
  }
  ~Fuzz() {
    for (Twin& t : held) dropTwin(t);
  }

  static void dropTwin(Twin& t) {
    ZtFlowPacket::drop(t.first);
    ZtFlowPacket::drop(t.second);
  }
  unsigned int pos() { return base + in.u8() % 96; }
  // At a position in the window, or (`relative`) a few positions past the
  // running position of the appends.
  Twin makeTwin(bool relative) {
    const unsigned int at = relative ? in.u8() % 8 : pos();
    const unsigned int size = in.u8() % 12;                    // 0: a marker
    Twin t{new ZtFlowDataPacket, new ZtFlowDataPacket};
    for (ZtFlowPacket* p : {t.first, t.second}) {
      p->pos(at);
      static_cast<ZtFlowDataPacket*>(p)->dSize(size);
    }
    return t;
  }
  void sameSpan(const ZtFlowPacket* a, const ZtFlowPacket* b, const char* what) {
    ZKFLOW_FUZZ_CHECK((a == nullptr) == (b == nullptr), "step %d: %s: %p against %p", step, what,
                 static_cast<const void*>(a), static_cast<const void*>(b));
    if (a) {
      ZKFLOW_FUZZ_CHECK(a->pos() == b->pos() && a->size() == b->size(), "step %d: %s: %u+%u against %u+%u", step,
                   what, a->pos(), a->size(), b->pos(), b->size());
    }
  }

  // The producer's calls on the flow, add or append on the list. A fresh
  // twin belongs to them; the list's is deleted when it keeps nothing, as
  // the flow does with its own.
  void write() {
    const unsigned int how = in.u8() % 5;
    Twin t = makeTwin(how >= 2);
    const bool hold = in.flag();
    if (hold) {
      t.first->incRef();
      t.second->incRef();
    }
    if (how < 2) {
      how == 0 ? flow.write(t.first) : flow.writeNonBlocking(t.first);
      list.add(t.second);
    } else {
      // Now and then the running position goes back into the window, as a
      // seek would move it.
      if (in.u8() % 8 == 0) flowAt = listAt = pos();
      if (how == 2) flow.append(t.first, &flowAt);
      if (how == 3) flow.appendNonBlocking(t.first, &flowAt);
      if (how == 4) flow.appendAlwaysBlocking(t.first, &flowAt);
      list.append(t.second, &listAt);
      ZKFLOW_FUZZ_CHECK(flowAt == listAt, "step %d: append moved to %u against %u", step, flowAt, listAt);
    }
    if (hold) {
      sameSpan(t.first, t.second, "held packet after the write");
      held.push_back(t);
    } else if (t.second->refCount() == 0) {
      delete t.second;
    }
  }

  // The flow as the ZtFlowBase a task's outputs() table hands out.
  ZtFlowBase& asBase() { return flow; }

  // Someone other than the producer adds; the caller keeps what is not kept.
  void foreignAdd() {
    Twin t = makeTwin(false);
    t.first->incRef();
    t.second->incRef();
    in.flag() ? flow.add(t.first) : asBase().add(t.first);
    list.add(t.second);
    sameSpan(t.first, t.second, "packet after add");
    dropTwin(t);
  }

  void read() {
    if (in.u8() % 4 == 0) {
      const bool on = in.flag();
      flow.readRemovesPacket(on);
      list.readRemovesPacket(on);
    }
    unsigned int a = pos(), b = a;
    ZtFlowPacket* r1 = flow.read(a);
    ZtFlowPacket* r2 = list.read(b);
    sameSpan(r1, r2, "read");
    ZtFlowPacket::drop(r1);
    ZtFlowPacket::drop(r2);
  }

  void look() { in.flag() ? lookAt(flow) : lookAt(asBase()); }
  template <class View>
  void lookAt(View& v) {
    unsigned int gap1 = 0, gap2 = 0;
    const unsigned int p = pos();
    const bool forward = in.flag();
    const unsigned int e1 = v.nextGap(p, gap1, forward);
    const unsigned int e2 = list.nextGap(p, gap2, forward);
    ZKFLOW_FUZZ_CHECK(e1 == e2 && gap1 == gap2, "step %d: nextGap(%u, %d) %u/%u against %u/%u", step, p, forward, e1,
                 gap1, e2, gap2);
    ZKFLOW_FUZZ_CHECK(v.size() == list.size() && v.isEmpty() == list.isEmpty(), "step %d: size %u against %u",
                 step, v.size(), list.size());
    sameSpan(v.first(), list.first(), "first");
    const unsigned int q = pos();
    ZKFLOW_FUZZ_CHECK(v.locate(q) == list.locate(q), "step %d: locate(%u)", step, q);
  }

  void remove() {
    if (in.flag()) {
      const unsigned int picks = in.u8();
      in.flag() ? walk(flow, picks) : walk(asBase(), picks);
      return;
    }
    ZtFlowPacket* r1 = in.flag() ? flow.remove() : asBase().remove();
    ZtFlowPacket* r2 = list.remove();
    sameSpan(r1, r2, "remove");
    ZtFlowPacket::drop(r1);
    ZtFlowPacket::drop(r2);
  }
  template <class View>
  void walk(View& v, unsigned int picks) {
    Walk<View> w1{&v, picks, {}};
    Walk<ZtFlowBase> w2{&list, picks, {}};
    v.apply(&Walk<View>::fn, &w1);
    list.apply(&Walk<ZtFlowBase>::fn, &w2);
    ZKFLOW_FUZZ_CHECK(w1.seen == w2.seen, "step %d: a walk saw %zu values against %zu", step, w1.seen.size(),
                 w2.seen.size());
  }

  void stepOnce() {
    switch (in.u8() % 12) {
      case 0: case 1: case 2: case 3: write(); break;
      case 4: foreignAdd(); break;
      case 5: case 6: read(); break;
      case 7: look(); break;
      case 8: remove(); break;
      case 9: {
        const unsigned int from = pos(), to = from + in.u8() % 32;
        flow.deleteOutsideRange(from, to);
        list.deleteOutsideRange(from, to);
        break;
      }
      case 10:
        if (in.u8() % 8 == 0) {
          flow.reset();
          list.reset();
        } else {
          flow.restart();
          list.restart();
        }
        break;
      default:
        if (!held.empty() && in.flag()) {
          dropTwin(held.back());
          held.pop_back();
        } else if (in.flag()) {
          const ZtFlow copy(flow);
          ZKFLOW_FUZZ_CHECK(copy.size() == list.size(), "step %d: copy holds %u against %u", step, copy.size(),
                       list.size());
        } else {
          const ZtFlowBase copy(asBase());
          ZKFLOW_FUZZ_CHECK(copy.size() == list.size(), "step %d: base copy holds %u against %u", step, copy.size(),
                       list.size());
        }
        break;
    }
  }
};

}  // namespace

namespace zkfuzz {

int flowstageOne(const uint8_t* data, size_t size) { return runSteps<Fuzz>(data, size, 4096); }

}  // namespace zkfuzz

ZKFLOW_FUZZ_ENTRY(flowstageOne)
