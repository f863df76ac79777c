// SPDX-License-Identifier: Apache-2.0
// The item that the flow-graph peers move: a heap buffer of `size` bytes,
// allocated and filled by the source for every item and freed by the last
// sink that reads it (with malloc's heap; the library's side allocates its
// stored packets through its own allocator). `readers` counts the sinks
// still to read it, for a fork.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

namespace peers {

struct Payload {
  Payload(unsigned int size, uint64_t seq, int readers)
      : bytes(new uint8_t[size]), size(size), readers(readers) {
    std::memset(bytes, static_cast<int>(seq), size);
  }
  ~Payload() { delete[] bytes; }
  Payload(const Payload&) = delete;
  Payload& operator=(const Payload&) = delete;

  // A sink's read: the bytes it saw. True when this was the last reader,
  // which then deletes the payload.
  bool read(uint64_t& seen) {
    seen += size + (bytes[0] & 0);
    return readers.fetch_sub(1, std::memory_order_acq_rel) == 1;
  }

  uint8_t* bytes;
  unsigned int size;
  std::atomic<int> readers;
};

}  // namespace peers
