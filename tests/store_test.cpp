// The store side: class names, the class registry and its registrars, and
// the counted references (ZtProtector, ZtOIDRef) that keep a stored object
// alive and let the store drop it when the last one lets go.
#include <gtest/gtest.h>

#include <atomic>
#include <typeinfo>

#include "common/testutil.h"
#include "host/store.h"
#include "host/time.h"
#include "kernel/flow/packet.h"

namespace {


// A stored object that reports its destruction.
struct Tracked : ZtStorable<Tracked> {
  explicit Tracked(std::atomic<int>* deaths) : deaths(deaths) {}
  ~Tracked() override { deaths->fetch_add(1); }
  std::atomic<int>* deaths;
};

namespace names {
struct Inner {};
}  // namespace names

class StoreTest : public zktest::LiveTest {};

TEST_F(StoreTest, LoadRegisteredThePacketClasses) {
  EXPECT_TRUE(StreamableRegistrar::registered("ZtPacket"));
  EXPECT_TRUE(StreamableRegistrar::registered("ZtQueuePacket"));
  EXPECT_EQ(StreamableRegistrar::registeredSize("ZtPacket"), sizeof(ZtPacket));
  EXPECT_EQ(StreamableRegistrar::registeredSize("ZtQueuePacket"), sizeof(ZtQueuePacket));
  EXPECT_GE(StreamableRegistrar::registeredCount(), 2u);
  // The names under which they registered are the ones the classes report.
  EXPECT_TRUE(StreamableRegistrar::registered(ZtPacket::thisClassName()));
  EXPECT_TRUE(StreamableRegistrar::registered(ZtQueuePacket::thisClassName()));
  // Neither was given a creation function.
  EXPECT_EQ(StreamableRegistrar::create("ZtPacket"), nullptr);
  // Subclasses are not registered.
  EXPECT_FALSE(StreamableRegistrar::registered("ZtQueueDataPacket"));
  EXPECT_FALSE(StreamableRegistrar::registered("ZtMessage"));
  EXPECT_FALSE(StreamableRegistrar::registered(nullptr));
  EXPECT_EQ(StreamableRegistrar::registeredSize("NoSuchClass"), 0u);
  EXPECT_EQ(StreamableRegistrar::create(nullptr), nullptr);
  EXPECT_EQ(StreamableRegistrar::create("NoSuchClass"), nullptr);
}

TEST_F(StoreTest, NormalizeName) {
  EXPECT_EQ(normalizeName(typeid(ZtPacket).name()), "ZtPacket");
  EXPECT_EQ(normalizeName(typeid(ZtQueuePacket).name()), "ZtQueuePacket");
  EXPECT_EQ(normalizeName(typeid(Utils::Time).name()), "Utils::Time");
  EXPECT_EQ(normalizeName(typeid(names::Inner).name()), "(anonymous namespace)::names::Inner");
  // Names in the other compiler's style lose their keyword.
  EXPECT_EQ(normalizeName("struct ZtPacket"), "ZtPacket");
  EXPECT_EQ(normalizeName("class ZtPacket"), "ZtPacket");
  EXPECT_EQ(normalizeName("ZtPacket"), "ZtPacket");
  EXPECT_EQ(normalizeName(nullptr), "");
  EXPECT_TRUE(normalizeName("").isEmpty());
}

struct Thing : ZtStreamable {
  int payload = 42;
};
ZtStreamable* makeThing() { return new Thing; }

TEST_F(StoreTest, RegistrarRegistersUntilReleased) {
  const unsigned before = StreamableRegistrar::registeredCount();
  int prototype = 0;
  {
    StreamableRegistrar reg(String("HostTestThing"), &makeThing, &prototype, 24);
    EXPECT_TRUE(StreamableRegistrar::registered("HostTestThing"));
    EXPECT_EQ(StreamableRegistrar::registeredSize("HostTestThing"), 24u);
    EXPECT_EQ(StreamableRegistrar::registeredCount(), before + 1);

    ZtStreamable* made = StreamableRegistrar::create("HostTestThing");
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(static_cast<Thing*>(made)->payload, 42);
    delete made;

    reg.release();
    EXPECT_FALSE(StreamableRegistrar::registered("HostTestThing"));
    EXPECT_EQ(StreamableRegistrar::registeredCount(), before);
    reg.release();  // once only
  }
  // The destructor of a released registrar releases nothing more.
  EXPECT_EQ(StreamableRegistrar::registeredCount(), before);
  EXPECT_TRUE(StreamableRegistrar::registered("ZtPacket"));
}

TEST_F(StoreTest, RegisteredTwiceStaysUntilBothRelease) {
  int prototype = 0;
  auto* first = new StreamableRegistrar(String("HostTestTwice"), nullptr, &prototype, 8);
  {
    StreamableRegistrar second(String("HostTestTwice"), nullptr, &prototype, 8);
    first->release();
    EXPECT_TRUE(StreamableRegistrar::registered("HostTestTwice"));
  }
  // The second one's destructor released the last registration.
  EXPECT_FALSE(StreamableRegistrar::registered("HostTestTwice"));
  delete first;  // already released: nothing to undo
  EXPECT_FALSE(StreamableRegistrar::registered("HostTestTwice"));
}

TEST_F(StoreTest, RegistrarWithoutPrototypeOrNameRegistersNothing) {
  const unsigned before = StreamableRegistrar::registeredCount();
  int prototype = 0;
  StreamableRegistrar noPrototype(String("HostTestNone"), nullptr, nullptr, 8);
  StreamableRegistrar noName(String(), nullptr, &prototype, 8);
  EXPECT_FALSE(StreamableRegistrar::registered("HostTestNone"));
  EXPECT_EQ(StreamableRegistrar::registeredCount(), before);
  noPrototype.release();
  noName.release();
  EXPECT_EQ(StreamableRegistrar::registeredCount(), before);
}

TEST_F(StoreTest, StorableBaseDefaults) {
  std::atomic<int> deaths{0};
  {
    Tracked t(&deaths);
    EXPECT_TRUE(t.storable());
    EXPECT_FALSE(t.modified());
    t.modified(true);
    EXPECT_TRUE(t.modified());
    EXPECT_NE(t.oid(), 0u);
    EXPECT_TRUE(t.meta().isNull());
    EXPECT_TRUE(t.knownMeta().isNull());
    EXPECT_EQ(t.className(), normalizeName(typeid(Tracked).name()));

    // A copy is a new object: its own identifier, count 0, not modified.
    t.incRef();
    Tracked copy(t);
    EXPECT_NE(copy.oid(), t.oid());
    EXPECT_EQ(copy.refCount(), 0u);
    EXPECT_FALSE(copy.modified());
    t.decRef();
  }
  EXPECT_EQ(deaths.load(), 2);
}

TEST_F(StoreTest, ProtectorsKeepTheObjectUntilTheLastLetsGo) {
  std::atomic<int> deaths{0};
  {
    Tracked* obj = new Tracked(&deaths);
    ZtProtector<Tracked> a(obj);
    EXPECT_EQ(obj->refCount(), 1u);
    ZtProtector<Tracked> b(a);
    ZtProtector<Tracked> c;
    EXPECT_TRUE(c.isNull());
    c = b;
    EXPECT_EQ(obj->refCount(), 3u);
    EXPECT_EQ(c.get(), obj);
    ZtProtector<Tracked>& self = c;
    c = self;
    EXPECT_EQ(c.get(), obj);
    EXPECT_EQ(obj->refCount(), 3u);
    a.purge();
    EXPECT_TRUE(a.isNull());
    b.purge();
    EXPECT_EQ(deaths.load(), 0);
    EXPECT_EQ(obj->refCount(), 1u);
    c.purge();
    EXPECT_EQ(deaths.load(), 1);
    c.purge();  // empty: nothing
  }
  EXPECT_EQ(deaths.load(), 1);
}

TEST_F(StoreTest, OIDRefsReleaseInPlaceAndTheLastDropsTheObject) {
  std::atomic<int> deaths{0};
  {
    Tracked* obj = new Tracked(&deaths);
    ZtOIDRef<Tracked> a(obj);
    ZtOIDRef<Tracked> b;
    b = a;
    ZtOIDRef<Tracked> c(b);
    ZtOIDRef<Tracked> d;
    d = c;
    EXPECT_EQ(obj->refCount(), 4u);
    ZtOIDRef<Tracked>& self = d;
    d = self;
    EXPECT_EQ(d.get(), obj);
    EXPECT_EQ(obj->refCount(), 4u);
    d.release();  // above 2: counted down in place
    EXPECT_TRUE(d.isNull());
    EXPECT_EQ(obj->refCount(), 3u);
    c.release();
    EXPECT_EQ(obj->refCount(), 2u);
    b.release();  // the store's path from here on
    EXPECT_EQ(obj->refCount(), 1u);
    EXPECT_EQ(deaths.load(), 0);
    // Reassigning drops the old target when it held the last count.
    a = ZtOIDRef<Tracked>();
    EXPECT_TRUE(a.isNull());
    EXPECT_EQ(deaths.load(), 1);
  }
}

TEST_F(StoreTest, ProtectorsAndRefsMix) {
  std::atomic<int> deaths{0};
  Tracked* obj = new Tracked(&deaths);
  auto* ref = new ZtOIDRef<Tracked>(obj);
  auto* prot = new ZtProtector<Tracked>(obj);
  EXPECT_EQ(obj->refCount(), 2u);
  // destroy() refuses while anything holds the object.
  EXPECT_EQ(obj->destroy(), 0u);
  delete prot;
  EXPECT_EQ(deaths.load(), 0);
  delete ref;  // the last holder is a reference: it drops the object
  EXPECT_EQ(deaths.load(), 1);

  Tracked* loose = new Tracked(&deaths);
  EXPECT_EQ(loose->destroy(), 1u);
  EXPECT_EQ(deaths.load(), 2);
}

// Two threads take and let go of protectors and references to one object;
// whichever lets go last deletes it, exactly once.
TEST_F(StoreTest, LastHolderOnEitherThreadDeletesOnce) {
  const long rounds = zktest::scaled(20000);
  const int objects = static_cast<int>(zktest::scaled(50, 5));
  std::atomic<int> deaths{0};
  for (int n = 0; n < objects; ++n) {
    Tracked* obj = new Tracked(&deaths);
    ZtProtector<Tracked>* prot[2] = {new ZtProtector<Tracked>(obj), new ZtProtector<Tracked>(obj)};
    ZtOIDRef<Tracked>* ref[2] = {new ZtOIDRef<Tracked>(obj), new ZtOIDRef<Tracked>(obj)};
    ASSERT_TRUE(zktest::runTogether(2, [&](int id) {
      for (long i = 0; i < rounds / 50 + 1; ++i) {
        ZtProtector<Tracked> pc(*prot[id]);
        ZtOIDRef<Tracked> rc;
        rc = *ref[id];
        rc.release();
      }
      delete prot[id];
      delete ref[id];
    }));
    ASSERT_EQ(deaths.load(), n + 1);
  }
}

}  // namespace
