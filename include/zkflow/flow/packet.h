// SPDX-License-Identifier: Apache-2.0
// Stored and queue packets.
//
// ZtPacket        a stored byte packet: a growable block of bytes with an
//                 expiry time, kept by the store like any storable object.
//                 Flow data packets show windows onto its bytes.
// ZtQueuePacket   the polymorphic base of everything that travels on a queue
//                 between queue tasks (messages derive from it). Queues own
//                 their packets through AP<ZtQueuePacket>.
// ZtQueueDataPacket
//                 a queue packet naming a piece of a stored clip: a store
//                 reference to the clip, a range in it and a time range.
// ZtClip          the stored clip such a packet refers to: a name and a
//                 length. The library only holds references to clips.
//
// Thread safety: none of these classes locks anything. A ZtPacket is used by
// one thread at a time (its owner); only its reference count, which protectors
// on both threads of a flow change, is atomic (Countable). A queue packet
// belongs to exactly one owner at a time and passes between threads only
// through a queue, whose hand-over orders the accesses.
//
// Ownership: a ZtPacket owns its byte block, allocated through
// Utils::Allocator. A ZtPacket held by ZtProtector<ZtPacket> is deleted when
// the last protector lets go. Queue packets are deleted by their last AP.
#pragma once

#include <cstdint>

#include "zkflow/host/export.h"
#include "zkflow/host/store.h"
#include "zkflow/host/string.h"
#include "zkflow/host/time.h"

struct ZKFLOW_EXPORT ZtPacket : ZtStorable<ZtPacket> {
  using RegMan = zk::StreamableRegistrar;
  // Registers ZtPacket with the store while the library is loaded.
  static RegMan reg_;

  ZtPacket();
  // Registration-time constructor: the registration prototype.
  explicit ZtPacket(ZtRegBlank* blank);
  // A packet of n bytes whose content is undefined until written.
  explicit ZtPacket(unsigned int n);
  // A copy owns a copy of the bytes; it is a new stored object (count 0).
  ZtPacket(const ZtPacket& o);
  // Replaces the target's bytes with a copy of the source's; the target's
  // identity and count stay its own. An allocation failure leaves the target
  // empty (size 0) rather than half-copied.
  ZtPacket& operator=(const ZtPacket& o);
  ~ZtPacket() override;

  unsigned int size() const { return size_; }
  // The block; the caller may read and write up to size() bytes.
  char* data() { return data_; }
  const char* data() const { return data_; }

  // Frees the block and allocates a new one of n bytes with undefined
  // content. Keeps nothing and does not mark the packet modified. When the
  // allocation fails the packet is left empty (size 0).
  void size(unsigned int n);
  // resize(n): grows or shrinks, keeping the first min(n, size()) bytes and
  // zero-filling the rest; marks the packet modified unless n == size().
  void truncate(unsigned int n) { resize(n); }

  // Copy `count` bytes in or out at `offset`, clamped at the end of the
  // block; return the number copied. writeAt marks the packet modified, also
  // when it wrote nothing. An offset beyond the end, or a null buffer, copies
  // nothing and returns 0 (the arithmetic of the clamp would otherwise wrap).
  unsigned int writeAt(unsigned int offset, const void* src, unsigned int count);
  unsigned int readAt(unsigned int offset, void* dst, unsigned int count) const;

  Utils::Time expireTime() const { return expireTime_; }
  // Does not mark the packet modified.
  void expireTime(Utils::Time t) { expireTime_ = t; }

  zk::String className() const override;
  static zk::String thisClassName();

 protected:
  ZKFLOW_INTERNAL void init();
  void resize(unsigned int n);

 private:
  unsigned int size_;
  char* data_;
  Utils::Time expireTime_;
};

struct ZKFLOW_EXPORT ZtQueuePacket {
  ZKFLOW_HEAP_OBJECT
  using RegMan = zk::StreamableRegistrar;
  // Registers ZtQueuePacket with the store while the library is loaded.
  static RegMan reg_;

  ZtQueuePacket() = default;
  explicit ZtQueuePacket(ZtRegBlank*) {}
  ZtQueuePacket(const ZtQueuePacket& o) : tag(o.tag) {}
  ZtQueuePacket& operator=(const ZtQueuePacket& o) {
    tag = o.tag;
    return *this;
  }
  virtual ~ZtQueuePacket();

  virtual zk::String className() const;
  static zk::String thisClassName();

  // The one data member the queue packet carries. Nothing in the library
  // reads or sets it apart from the copy operations; we give it to derived
  // classes as a free tag (a sequence number, a kind), zero in a new packet.
  uint32_t tag = 0;
};

// A stored clip: whatever a queue data packet refers to. The library calls
// nothing of it; it is a storable object with a name and a length so that
// references to it can be made and tested.
struct ZKFLOW_EXPORT ZtClip : ZtStorable<ZtClip> {
  ZtClip() = default;
  explicit ZtClip(const char* clipName, unsigned int clipLength = 0)
      : name(clipName), length(clipLength) {}

  zk::String name;
  unsigned int length = 0;
};

struct ZKFLOW_EXPORT ZtQueueDataPacket : ZtQueuePacket {
  ZtQueueDataPacket();
  ZtQueueDataPacket(const ZtQueueDataPacket& o);
  ZtQueueDataPacket& operator=(const ZtQueueDataPacket& o);
  // Releases the clip reference.
  ~ZtQueueDataPacket() override;

  const ZtOIDRef<ZtClip>& clip() const { return clip_; }
  void clip(const ZtOIDRef<ZtClip>& c) { clip_ = c; }
  unsigned int start() const { return start_; }
  void start(unsigned int s) { start_ = s; }
  unsigned int size() const { return size_; }
  void size(unsigned int s) { size_ = s; }
  Utils::Time startTime() const { return startTime_; }
  void startTime(Utils::Time t) { startTime_ = t; }
  Utils::Time duration() const { return duration_; }
  void duration(Utils::Time t) { duration_ = t; }

 protected:
  ZKFLOW_INTERNAL void init();

 private:
  ZtOIDRef<ZtClip> clip_;
  unsigned int start_;
  unsigned int size_;
  Utils::Time startTime_;
  Utils::Time duration_;
};

#if defined(ZKFLOW_STATIC)
// A static link takes from the library only the objects a program refers to,
// and nothing refers to the two registrations above, which run at load: this
// reference, made by every file that includes this header, brings them in, so
// that the classes are registered at load as with the shared library.
namespace {
[[gnu::used]] const void* const zkflowKeepRegistrations[] = {&ZtPacket::reg_, &ZtQueuePacket::reg_};
}  // namespace
#endif
