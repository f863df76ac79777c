// SPDX-License-Identifier: Apache-2.0
#include "zkflow/host/store.h"

#include <cxxabi.h>

#include <typeinfo>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

const ZtOIDRefBase& emptyRef() {
  static const ZtOIDRefBase* r = new ZtOIDRefBase;  // never destroyed
  return *r;
}

struct Entry {
  ZtStreamable* (*create)();
  unsigned int size;
  unsigned int refs;  // a class registered twice stays until both let go
};

struct Registry {
  std::mutex mu;
  std::map<std::string, Entry> classes;
};

// Never destroyed: registrars of other libraries may be released after ours.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

std::atomic<uint32_t> gNextOid{1};

}  // namespace

zk::String zk::normalizeName(const char* typeName) {
  if (!typeName) return zk::String();
  int status = 0;
  char* demangled = abi::__cxa_demangle(typeName, nullptr, nullptr, &status);
  std::string name = (status == 0 && demangled) ? demangled : typeName;
  std::free(demangled);
  for (const char* prefix : {"struct ", "class "}) {
    const std::size_t n = std::strlen(prefix);
    if (name.compare(0, n, prefix) == 0) name.erase(0, n);
  }
  return zk::String(name.c_str());
}

ZtStreamable::~ZtStreamable() = default;
const ZtOIDRefBase& ZtStreamable::knownMeta() const { return emptyRef(); }
const ZtOIDRefBase& ZtStreamable::meta() const { return emptyRef(); }
zk::String ZtStreamable::className() const { return zk::normalizeName(typeid(*this).name()); }

ZtStorableBase::ZtStorableBase() : oid_(gNextOid.fetch_add(1, std::memory_order_relaxed)) {}
ZtStorableBase::ZtStorableBase(ZtRegBlank*) : prototype_(true) {}
ZtStorableBase::ZtStorableBase(const ZtStorableBase& o)
    : ZtStreamable(o), zk::Countable(), oid_(gNextOid.fetch_add(1, std::memory_order_relaxed)) {}
ZtStorableBase& ZtStorableBase::operator=(const ZtStorableBase& o) {
  // Identity, count and modified state stay the target's own.
  ZtStreamable::operator=(o);
  return *this;
}
ZtStorableBase::~ZtStorableBase() = default;
const ZtOIDRefBase& ZtStorableBase::meta() const { return emptyRef(); }

unsigned int ZtStorableBase::destroy() {
  if (refCount() != 0) return 0;
  delete this;
  return 1;
}

ZtOIDRefBase::ZtOIDRefBase(ZtStorableBase* t) : target(t) {
  if (target) target->incRef();
}
ZtOIDRefBase::ZtOIDRefBase(const ZtOIDRefBase& o) : target(o.target) {
  if (target) target->incRef();
}
ZtOIDRefBase& ZtOIDRefBase::operator=(const ZtOIDRefBase& o) {
  // Read the new target before releasing: `o` may be this very reference.
  ZtStorableBase* t = o.target;
  if (t) t->incRef();
  release();
  target = t;
  return *this;
}
ZtOIDRefBase::~ZtOIDRefBase() { release(); }

void ZtOIDRefBase::release() {
  if (!target) return;
  // "Above 2, count down in place" is one compare-and-swap: with a separate
  // test and decrement, three holders letting go at once could all see 3 and
  // count the object down to 0 without anyone dropping it.
  uint32_t c = target->count.load(std::memory_order_relaxed);
  while (c > 2) {
    if (target->count.compare_exchange_weak(c, c - 1, std::memory_order_acq_rel,
                                            std::memory_order_relaxed)) {
      target = nullptr;
      return;
    }
  }
  purgeAux();
}

void ZtOIDRefBase::purgeAux() {
  ZtStorableBase* t = target;
  target = nullptr;
  if (t && t->decRef() == 0) delete t;
}

ZtProtectorBase::ZtProtectorBase(ZtStorableBase* o) : obj(o) {
  if (obj) obj->incRef();
}
ZtProtectorBase::ZtProtectorBase(const ZtProtectorBase& o) : obj(o.obj) {
  if (obj) obj->incRef();
}
ZtProtectorBase& ZtProtectorBase::operator=(const ZtProtectorBase& o) {
  // Read the new object before purging: `o` may be this very protector.
  ZtStorableBase* n = o.obj;
  if (n) n->incRef();
  purge();
  obj = n;
  return *this;
}
ZtProtectorBase::~ZtProtectorBase() { purge(); }

void ZtProtectorBase::purge() {
  ZtStorableBase* o = obj;
  if (!o) return;
  // decRef is one atomic step; the holder that takes the count to 0 gives the
  // object up.
  if (o->decRef() == 0) {
    purgeAux();
  } else {
    obj = nullptr;
  }
}

void ZtProtectorBase::purgeAux() {
  ZtStorableBase* o = obj;
  obj = nullptr;
  delete o;
}

zk::StreamableRegistrar::StreamableRegistrar(const zk::String& name, ZtStreamable* (*create)(),
                                         void* prototype, unsigned int size) {
  std::strncpy(name_, name.c_str(), sizeof name_ - 1);
  name_[sizeof name_ - 1] = '\0';
  if (!prototype || name_[0] == '\0') return;  // nothing to register
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.mu);
  auto [it, fresh] = r.classes.try_emplace(name_, Entry{create, size, 0});
  if (!fresh) {
    it->second.create = create;
    it->second.size = size;
  }
  ++it->second.refs;
  live_ = true;
}

zk::StreamableRegistrar::~StreamableRegistrar() { release(); }

void zk::StreamableRegistrar::release() {
  if (!live_) return;
  live_ = false;
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.mu);
  auto it = r.classes.find(name_);
  if (it != r.classes.end() && --it->second.refs == 0) r.classes.erase(it);
}

bool zk::StreamableRegistrar::registered(const char* name) {
  if (!name) return false;
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.mu);
  return r.classes.count(name) != 0;
}

unsigned int zk::StreamableRegistrar::registeredSize(const char* name) {
  if (!name) return 0;
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.mu);
  auto it = r.classes.find(name);
  return it == r.classes.end() ? 0 : it->second.size;
}

unsigned int zk::StreamableRegistrar::registeredCount() {
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.mu);
  return static_cast<unsigned int>(r.classes.size());
}

ZtStreamable* zk::StreamableRegistrar::create(const char* name) {
  if (!name) return nullptr;
  ZtStreamable* (*fn)() = nullptr;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.mu);
    auto it = r.classes.find(name);
    if (it != r.classes.end()) fn = it->second.create;
  }
  return fn ? fn() : nullptr;
}
