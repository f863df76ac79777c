// SPDX-License-Identifier: Apache-2.0
// The persistence library's side: streamable and storable base classes,
// references to stored objects, class names and the class registrar.
//
// This store keeps no files. What the flow library needs of it is real:
//  - storable objects are counted (Countable) and given up by the store when
//    the last protector or reference lets go (purgeAux deletes them);
//  - classes register under their normalised names at library load, and a
//    host can ask the registry what is registered and with what prototype
//    size; a registrar forgets its class again when it is released (unload).
// pack() and unpack() stream nothing (DStream is only declared): no object of
// this library is saved anywhere.
//
// Thread safety: the registry may be queried from any thread. Counts of
// storable objects are atomic, so protectors and references to one object
// may be taken and released on different threads; everything else in a
// storable object is used by one thread at a time.
#pragma once

#include <cstdint>

#include "zkflow/host/allocator.h"
#include "zkflow/host/export.h"
#include "zkflow/host/lock.h"
#include "zkflow/host/string.h"

namespace zk {
struct DStream;  // the store's data stream; never called by this library
}  // namespace zk
struct ZtRegBlank;   // marks the registration-time constructors
struct ZtOIDRefBase;
struct ZtStorableBase;

// Normalised store name for a run-time type name (as typeid(T).name() gives
// it): demangled, without a leading "struct " or "class ". Null gives "".
namespace zk {
ZKFLOW_EXPORT String normalizeName(const char* typeName);
}  // namespace zk

struct ZKFLOW_EXPORT ZtStreamable {
  ZKFLOW_HEAP_OBJECT

  ZtStreamable() = default;
  ZtStreamable(const ZtStreamable&) = default;
  ZtStreamable& operator=(const ZtStreamable&) = default;

  virtual ~ZtStreamable();
  // Bytes written to / read from the stream: nothing is streamed here.
  virtual unsigned int pack(zk::DStream&) const { return 0; }
  virtual unsigned int unpack(zk::DStream&) { return 0; }
  // The reference to the object's class record: empty for plain streamables.
  virtual const ZtOIDRefBase& knownMeta() const;
  virtual const ZtOIDRefBase& meta() const;
  // A streamable keeps no modified state.
  virtual void modified(bool) {}
  virtual bool modified() const { return false; }
  virtual zk::String className() const;
  virtual void loaded() {}
  virtual void saving() {}
  virtual unsigned int loadSize() const { return 0; }
  virtual bool storable() const { return false; }
};

// A streamable that the store keeps by identifier, counted through Countable.
struct ZKFLOW_EXPORT ZtStorableBase : ZtStreamable, zk::Countable {
  ZtStorableBase();
  // Registration-time constructor: builds a prototype, which is never stored.
  explicit ZtStorableBase(ZtRegBlank*);
  // A copy is a new object: count 0, not modified, and an identifier of its
  // own (the next one, as for a new object).
  ZtStorableBase(const ZtStorableBase& o);
  ZtStorableBase& operator=(const ZtStorableBase& o);
  ~ZtStorableBase() override;

  const ZtOIDRefBase& meta() const override;
  void modified(bool m) override { modified_ = m; }
  bool modified() const override { return modified_; }
  unsigned int loadSize() const override { return 0; }
  bool storable() const override { return true; }

  // Deletes the object now; returns 1 when it was deleted, 0 when references
  // still hold it (it is then deleted when the last one lets go).
  virtual unsigned int destroy();
  // Takes the object out of the store's care: here, nothing to do.
  virtual void unplug() {}
  virtual bool swappable() const { return true; }
  virtual unsigned int brand() const { return 0; }

  // The object's identifier: every object made (copies included) gets the
  // next one, from 1; a registration prototype keeps 0.
  uint32_t oid() const { return oid_; }
  bool isPrototype() const { return prototype_; }

 private:
  uint32_t oid_ = 0;
  bool modified_ = false;
  bool prototype_ = false;
};

template <class T>
struct ZtStorable : ZtStorableBase {
  ZtStorable() = default;
  explicit ZtStorable(ZtRegBlank* b) : ZtStorableBase(b) {}
};

// A counted reference to a stored object. Assignment counts the new target.
// Releasing: when the target's count is above 2 the count is decremented and
// the reference emptied; otherwise purgeAux() lets the store drop the object
// (here: count down, and delete it when nothing holds it any more).
struct ZKFLOW_EXPORT ZtOIDRefBase {
  ZtStorableBase* target = nullptr;

  ZtOIDRefBase() = default;
  explicit ZtOIDRefBase(ZtStorableBase* t);
  ZtOIDRefBase(const ZtOIDRefBase& o);
  ZtOIDRefBase& operator=(const ZtOIDRefBase& o);
  ~ZtOIDRefBase();

  void release();
  void purgeAux();
  bool isNull() const { return target == nullptr; }
};

template <class T>
struct ZtOIDRef : ZtOIDRefBase {
  ZtOIDRef() = default;
  explicit ZtOIDRef(T* t) : ZtOIDRefBase(t) {}
  T* get() const { return static_cast<T*>(target); }
  T* operator->() const { return get(); }
};

// A counted pointer that keeps a stored object resident. Taking one adds one
// to the object's count; releasing one gives the object up (purgeAux) when it
// held the last count. The decrement and the test are one atomic step, so of
// two threads that let go of the same object at once exactly one sees the
// last count go: a test and a decrement made apart could let both miss it
// (a leak) or both see it (a double delete).
struct ZKFLOW_EXPORT ZtProtectorBase {
  ZtStorableBase* obj = nullptr;

  ZtProtectorBase() = default;
  explicit ZtProtectorBase(ZtStorableBase* o);
  ZtProtectorBase(const ZtProtectorBase& o);
  ZtProtectorBase& operator=(const ZtProtectorBase& o);
  ~ZtProtectorBase();

  // Releases this protector's count; it becomes empty.
  void purge();
  // Gives the object up: the store deletes it.
  void purgeAux();
  bool isNull() const { return obj == nullptr; }
};

template <class T>
struct ZtProtector : ZtProtectorBase {
  ZtProtector() = default;
  explicit ZtProtector(T* o) : ZtProtectorBase(o) {}
  T* get() const { return static_cast<T*>(obj); }
  T* operator->() const { return get(); }
  T& operator*() const { return *get(); }
  explicit operator bool() const { return obj != nullptr; }
};

namespace zk {

// Registers a class with the store for as long as the registrar lives.
// The prototype is used only during the constructor.
//
// Thread safety: registrars are made and released during static
// initialisation and destruction; the queries may run on any thread.
struct ZKFLOW_EXPORT StreamableRegistrar {
  StreamableRegistrar(const String& name, ZtStreamable* (*create)(), void* prototype,
                      unsigned int size);
  ~StreamableRegistrar();
  StreamableRegistrar(const StreamableRegistrar&) = delete;
  StreamableRegistrar& operator=(const StreamableRegistrar&) = delete;

  // Releases the registration (once; later calls do nothing).
  void release();

  // Whether a class of that name is registered.
  static bool registered(const char* name);
  // The prototype size it was registered with; 0 when not registered.
  static unsigned int registeredSize(const char* name);
  // How many classes are registered.
  static unsigned int registeredCount();
  // A new object of the class through its creation function; null when the
  // class is unknown or has none.
  static ZtStreamable* create(const char* name);

 private:
  char name_[128];
  bool live_ = false;
};

}  // namespace zk
