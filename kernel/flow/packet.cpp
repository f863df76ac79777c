// SPDX-License-Identifier: Apache-2.0
#include "zkflow/flow/packet.h"

#include <cstring>
#include <typeinfo>

namespace {

char* allocBytes(unsigned int n) {
  return static_cast<char*>(Utils::Allocator::theAllocator()->allocate(n));
}

void freeBytes(char* p) { Utils::Allocator::theAllocator()->release(p); }

// The registrar takes what it needs from the prototype while it is being
// built; the prototype and the name are temporaries of these functions.
// Returning the registrar as a prvalue builds it in place in the static
// member, so it is never copied.
zk::StreamableRegistrar registerPacket() {
  ZtPacket prototype(static_cast<ZtRegBlank*>(nullptr));
  const zk::String name = ZtPacket::thisClassName();
  return zk::StreamableRegistrar(name, nullptr, &prototype, sizeof(ZtPacket));
}

zk::StreamableRegistrar registerQueuePacket() {
  ZtQueuePacket prototype(static_cast<ZtRegBlank*>(nullptr));
  const zk::String name = ZtQueuePacket::thisClassName();
  return zk::StreamableRegistrar(name, nullptr, &prototype, sizeof(ZtQueuePacket));
}

}  // namespace

// Registered while the library is loaded; the static destructors release the
// registrations at unload, in reverse order.
ZtPacket::RegMan ZtPacket::reg_ = registerPacket();
ZtQueuePacket::RegMan ZtQueuePacket::reg_ = registerQueuePacket();

// ---------------------------------------------------------------- ZtPacket

ZtPacket::ZtPacket() { init(); }

ZtPacket::ZtPacket(ZtRegBlank* blank) : ZtStorable<ZtPacket>(blank) { init(); }

ZtPacket::ZtPacket(unsigned int n) {
  init();
  size(n);
}

ZtPacket::ZtPacket(const ZtPacket& o) : ZtStorable<ZtPacket>(o) {
  init();
  expireTime_ = o.expireTime_;
  if (o.size_ == 0) return;
  data_ = allocBytes(o.size_);
  if (!data_) return;  // out of memory: an empty copy
  std::memcpy(data_, o.data_, o.size_);
  size_ = o.size_;
}

ZtPacket& ZtPacket::operator=(const ZtPacket& o) {
  if (this == &o) return *this;
  ZtStorable<ZtPacket>::operator=(o);
  // Allocate before freeing, so that a failure does not lose the old block
  // for nothing; on failure the target ends up empty.
  char* block = o.size_ ? allocBytes(o.size_) : nullptr;
  if (block) std::memcpy(block, o.data_, o.size_);
  freeBytes(data_);
  data_ = block;
  size_ = block ? o.size_ : 0;
  expireTime_ = o.expireTime_;
  return *this;
}

ZtPacket::~ZtPacket() { freeBytes(data_); }

void ZtPacket::init() {
  size_ = 0;
  data_ = nullptr;
  expireTime_ = Utils::Time();
}

void ZtPacket::size(unsigned int n) {
  freeBytes(data_);
  data_ = allocBytes(n);
  size_ = data_ ? n : 0;
}

void ZtPacket::resize(unsigned int n) {
  if (n == size_) return;
  char* block = allocBytes(n);
  if (!block && n != 0) return;  // out of memory: keep what we have
  const unsigned int keep = n < size_ ? n : size_;
  if (keep) std::memcpy(block, data_, keep);
  if (n > keep) std::memset(block + keep, 0, n - keep);
  size_ = n;
  freeBytes(data_);
  data_ = block;
  modified(true);
}

unsigned int ZtPacket::writeAt(unsigned int offset, const void* src, unsigned int count) {
  unsigned int n = 0;
  if (src && offset <= size_) {
    n = count;
    // Unsigned clamp at the end; computed without overflow of offset + count.
    if (count > size_ - offset) n = size_ - offset;
    if (n) std::memcpy(data_ + offset, src, n);
  }
  modified(true);
  return n;
}

unsigned int ZtPacket::readAt(unsigned int offset, void* dst, unsigned int count) const {
  if (!dst || offset > size_) return 0;
  unsigned int n = count;
  if (count > size_ - offset) n = size_ - offset;
  if (n) std::memcpy(dst, data_ + offset, n);
  return n;
}

zk::String ZtPacket::className() const { return thisClassName(); }

zk::String ZtPacket::thisClassName() { return zk::normalizeName(typeid(ZtPacket).name()); }

// ----------------------------------------------------------- ZtQueuePacket

ZtQueuePacket::~ZtQueuePacket() = default;

zk::String ZtQueuePacket::className() const { return thisClassName(); }

zk::String ZtQueuePacket::thisClassName() { return zk::normalizeName(typeid(ZtQueuePacket).name()); }

// ------------------------------------------------------- ZtQueueDataPacket

ZtQueueDataPacket::ZtQueueDataPacket() { init(); }

ZtQueueDataPacket::ZtQueueDataPacket(const ZtQueueDataPacket& o)
    : ZtQueuePacket(o),
      clip_(o.clip_),
      start_(o.start_),
      size_(o.size_),
      startTime_(o.startTime_),
      duration_(o.duration_) {}

ZtQueueDataPacket& ZtQueueDataPacket::operator=(const ZtQueueDataPacket& o) {
  ZtQueuePacket::operator=(o);
  clip_ = o.clip_;
  start_ = o.start_;
  size_ = o.size_;
  startTime_ = o.startTime_;
  duration_ = o.duration_;
  return *this;
}

ZtQueueDataPacket::~ZtQueueDataPacket() { clip_.release(); }

void ZtQueueDataPacket::init() {
  start_ = 0;
  size_ = 0;
  startTime_ = Utils::Time();
  duration_ = Utils::Time();
}
