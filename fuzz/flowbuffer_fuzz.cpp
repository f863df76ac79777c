// SPDX-License-Identifier: Apache-2.0
// The flow buffer against a byte-string model.
//
// The input is a sequence of steps on one ZtFlowBuffer: data packets of
// random sizes appended after those held (with or without a hole between,
// empty ones too, windows that reach past their stored packet, packets
// without a stored packet), packets placed ahead of the first one or late
// into a hole between two held ones, copies of
// held packets (first come wins: they add nothing), reads of random sizes
// (more than there is, too), resets and copies of the whole buffer.
//
// The model is the list of packets still held, each as the bytes it shows
// (stored bytes, zeros where the window has none), and how far into the first
// one reading has got. Every read must return exactly the model's next bytes
// and leave the rest of the destination untouched; size() must match after
// every step; a packet placed ahead of a partly read first packet must be
// refused; and after the whole sequence the allocator must be back where it
// started.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "fuzz/fuzz.h"
#include "zkflow/flow/flowbuffer.h"
#include "zkflow/flow/flowpacket.h"
#include "zkflow/flow/packet.h"

namespace {

constexpr unsigned char kUntouched = 0xAB;

struct MPacket {
  uint32_t pos;  // from the base
  std::string bytes;
};

struct Fuzz {
  zkfuzz::Input in;
  uint32_t base;
  ZtFlowBuffer buf;
  std::deque<MPacket> held;  // packets with bytes, in position order
  uint32_t readOffset = 0;   // bytes of held.front() already read
  uint32_t end = 0;          // where the next appended packet may start
  bool emptyPackets = false; // an empty packet was added since the last reset
  int step = 0;

  Fuzz(const uint8_t* data, size_t size) : in(data, size) {
    switch (in.u8() % 4) {
      case 0: base = 0; break;
      case 1: base = 0u - 100; break;
      case 2: base = (1u << 31) - 100; break;
      default: base = in.u32(); break;
    }
  }

  size_t modelSize() const {
    size_t n = 0;
    for (const MPacket& p : held) n += p.bytes.size();
    return n - readOffset;
  }

  // A fresh data packet at rel showing `len` bytes; `shown` gets the bytes a
  // reader sees.
  ZtFlowDataPacket* make(uint32_t rel, uint32_t len, std::string& shown) {
    const uint8_t how = in.u8();
    const uint8_t seed = in.u8();
    const uint32_t dStart = how % 5;
    ZtFlowDataPacket* p;
    shown.assign(len, '\0');
    if (how % 16 == 15) {
      p = new ZtFlowDataPacket;  // no stored packet: reads as zeros
    } else {
      // Sometimes the stored packet is shorter than the window.
      const uint32_t storedSize = (how & 0x20) ? dStart + len / 2 : dStart + len + (how >> 6);
      ZtProtector<ZtPacket> stored(new ZtPacket(storedSize));
      char* bytes = stored->data();
      for (uint32_t i = 0; i < storedSize; ++i) bytes[i] = static_cast<char>(seed + i * 7 + (i >> 8));
      for (uint32_t i = 0; i < len && dStart + i < storedSize; ++i) shown[i] = bytes[dStart + i];
      p = new ZtFlowDataPacket(stored);
      p->dStart(dStart);
    }
    p->pos(base + rel);
    p->dSize(len);
    return p;
  }

  uint32_t pickSize() {
    const uint8_t how = in.u8();
    if (how % 8 == 0) return 0;
    if (how % 16 == 1) return in.u16() % 5000;
    return 1 + in.u8();
  }

  void append() {
    const uint32_t rel = end + (in.flag() ? in.u8() % 4 : 0);
    const uint32_t len = pickSize();
    std::string shown;
    ZtFlowDataPacket* p = make(rel, len, shown);
    buf.add(p);  // fresh: the buffer owns it from here
    end = rel + len;
    if (len == 0) {
      emptyPackets = true;
      return;
    }
    held.push_back({rel, shown});
  }

  void ahead() {
    if (held.empty()) return;
    const uint8_t how = in.u8();
    if (how >= 0x80) return fill(how);
    // An empty packet inside the first one splits it in the list: reading can
    // stop exactly at the split, where the buffer counts nothing read of its
    // first packet and takes a packet ahead, while the model would refuse it.
    if (emptyPackets && readOffset > 0) return;
    const MPacket& head = held.front();
    const uint32_t back = 1 + how % 16;
    const uint32_t rel = head.pos - back;
    uint32_t len = pickSize();
    if (len == 0) return;
    // Not into the first packet: before reading begins it simply goes first.
    len = std::min(len, back);
    std::string shown;
    ZtFlowDataPacket* p = make(rel, len, shown);
    buf.add(p);
    // Once reading has begun its data lies behind the stream: refused.
    if (readOffset == 0) held.push_front({rel, shown});
  }

  // A packet arriving late, into a hole between two held packets: it is read
  // between them.
  void fill(uint8_t how) {
    const size_t i = how % held.size();
    if (i + 1 >= held.size()) return;
    const uint32_t from = held[i].pos + static_cast<uint32_t>(held[i].bytes.size());
    if (from >= held[i + 1].pos) return;
    std::string shown;
    ZtFlowDataPacket* p = make(from, held[i + 1].pos - from, shown);
    buf.add(p);
    held.insert(held.begin() + static_cast<long>(i) + 1, {from, shown});
  }

  void duplicate() {
    // An empty packet at a packet's start can hide it from the search that
    // would find the copy inside held data; keep the two apart.
    if (held.empty() || emptyPackets) return;
    const MPacket& h = held[in.below(static_cast<unsigned>(held.size()))];
    std::string shown;
    ZtFlowDataPacket* p = make(h.pos, static_cast<uint32_t>(h.bytes.size()), shown);
    p->incRef();  // ours: the packet must still be whole afterwards
    buf.add(p);
    ZKFLOW_FUZZ_CHECK(p->refCount() == 1, "step %d: a packet wholly inside held data was taken", step);
    ZtFlowPacket::drop(p);
  }

  void read() {
    const size_t size = modelSize();
    uint32_t count;
    switch (in.u8() % 6) {
      case 0: count = static_cast<uint32_t>(size); break;
      case 1: count = static_cast<uint32_t>(size) + 1 + in.u8(); break;  // more than there is
      case 2: count = in.u16(); break;
      default: count = in.u8(); break;
    }
    std::vector<unsigned char> out(static_cast<size_t>(count) + 16, kUntouched);
    buf.read(out.data(), count);
    // The model's next bytes, consumed.
    const size_t n = std::min<size_t>(count, size);
    std::string want;
    size_t left = n;
    while (left > 0) {
      MPacket& f = held.front();
      const size_t take = std::min<size_t>(f.bytes.size() - readOffset, left);
      want.append(f.bytes, readOffset, take);
      readOffset += static_cast<uint32_t>(take);
      left -= take;
      if (readOffset == f.bytes.size()) {
        held.pop_front();
        readOffset = 0;
      }
    }
    ZKFLOW_FUZZ_CHECK(std::memcmp(out.data(), want.data(), n) == 0, "step %d: read(%u) gave the wrong bytes", step, count);
    for (size_t i = n; i < out.size(); ++i)
      ZKFLOW_FUZZ_CHECK(out[i] == kUntouched, "step %d: read(%u) wrote past the %zu bytes there were", step, count, n);
  }

  void copy() {
    ZtFlowBuffer c(buf);
    ZKFLOW_FUZZ_CHECK(c.size() == buf.size(), "step %d: the copy's size", step);
    std::vector<unsigned char> out(c.size() + 1, kUntouched);
    c.read(out.data(), c.size());
    ZKFLOW_FUZZ_CHECK(c.size() == 0, "step %d: the copy read to its end still holds %u", step, c.size());
    size_t i = 0;
    bool first = true;
    for (const MPacket& p : held) {
      const size_t from = first ? readOffset : 0;
      first = false;
      ZKFLOW_FUZZ_CHECK(std::memcmp(out.data() + i, p.bytes.data() + from, p.bytes.size() - from) == 0,
                   "step %d: the copy reads other bytes", step);
      i += p.bytes.size() - from;
    }
    if (in.flag()) {
      ZtFlowBuffer other;
      std::string shown;
      other.add(make(0, 5, shown));
      other = buf;
      ZKFLOW_FUZZ_CHECK(other.size() == buf.size(), "step %d: the assigned buffer's size", step);
    }
  }

  void stepOnce() {
    switch (in.u8() % 16) {
      case 0: case 1: case 2: case 3: case 4: append(); break;
      case 5: ahead(); break;
      case 6: duplicate(); break;
      case 7: case 8: case 9: case 10: case 11: read(); break;
      case 12: {
        // Nothing happens for a count of 0 or a null destination.
        unsigned char c = kUntouched;
        buf.read(&c, 0);
        buf.read(nullptr, 5);
        buf.add(nullptr);
        ZKFLOW_FUZZ_CHECK(c == kUntouched, "step %d: read of 0 bytes wrote", step);
        break;
      }
      case 13:
        if (in.u8() % 4 == 0) {
          buf.reset();
          held.clear();
          readOffset = 0;
          emptyPackets = false;
        }
        break;
      default: copy(); break;
    }
    ZKFLOW_FUZZ_CHECK(buf.size() == modelSize(), "step %d: size() %u, model %zu", step, buf.size(), modelSize());
  }
};

}  // namespace

namespace zkfuzz {

int flowbufferOne(const uint8_t* data, size_t size) { return runSteps<Fuzz>(data, size, 4096); }

}  // namespace zkfuzz

ZKFLOW_FUZZ_ENTRY(flowbufferOne)
