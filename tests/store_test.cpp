// SPDX-License-Identifier: Apache-2.0
// The store side: class names, the registry and its registrars, and the
// counted holders (ZtProtector, ZtOIDRef) of which the last drops the object.
#include <gtest/gtest.h>

#include <atomic>
#include <typeinfo>

#include "common/testutil.h"
#include "zkflow/host/store.h"
#include "zkflow/flow/packet.h"

namespace {

std::atomic<int> gDeaths{0};

struct Tracked : ZtStorable<Tracked> {
  ~Tracked() override { ++gDeaths; }
};
struct Thing : ZtStreamable {
  int payload = 42;
};
ZtStreamable* makeThing() { return new Thing; }

class StoreTest : public zktest::LiveTest {
 protected:
  void SetUp() override { gDeaths = 0; }
};

TEST_F(StoreTest, NamesAndTheRegistry) {
  EXPECT_EQ(zk::StreamableRegistrar::registeredSize(ZtPacket::thisClassName().c_str()),
            sizeof(ZtPacket));
  EXPECT_EQ(zk::StreamableRegistrar::registeredSize("ZtQueuePacket"), sizeof(ZtQueuePacket));
  EXPECT_FALSE(zk::StreamableRegistrar::registered("ZtQueueDataPacket"));  // subclasses are not
  EXPECT_FALSE(zk::StreamableRegistrar::registered(nullptr));
  EXPECT_EQ(zk::StreamableRegistrar::create("ZtPacket"), nullptr);  // no creation function
  EXPECT_EQ(zk::normalizeName(typeid(ZtPacket).name()), "ZtPacket");
  EXPECT_EQ(zk::normalizeName(typeid(Thing).name()), "(anonymous namespace)::Thing");
  for (const char* n : {"struct ZtPacket", "class ZtPacket"})
    EXPECT_EQ(zk::normalizeName(n), "ZtPacket");
  EXPECT_EQ(zk::normalizeName(nullptr), "");

  const unsigned before = zk::StreamableRegistrar::registeredCount();
  int proto = 0;
  auto* first = new zk::StreamableRegistrar(zk::String("HostTestThing"), makeThing, &proto, 24);
  {
    zk::StreamableRegistrar second(zk::String("HostTestThing"), makeThing, &proto, 24);
    zk::StreamableRegistrar noPrototype(zk::String("HostTestNone"), nullptr, nullptr, 8);
    zk::StreamableRegistrar noName(zk::String(), nullptr, &proto, 8);
    EXPECT_EQ(zk::StreamableRegistrar::registeredSize("HostTestThing"), 24u);
    EXPECT_EQ(zk::StreamableRegistrar::registeredCount(), before + 1);
    ZtStreamable* made = zk::StreamableRegistrar::create("HostTestThing");
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(static_cast<Thing*>(made)->payload, 42);
    delete made;
    first->release();
    first->release();  // once only
    EXPECT_TRUE(zk::StreamableRegistrar::registered("HostTestThing"));  // `second` holds it
  }
  EXPECT_FALSE(zk::StreamableRegistrar::registered("HostTestThing"));
  delete first;  // released already: nothing to undo
  EXPECT_EQ(zk::StreamableRegistrar::registeredCount(), before);
}

// References count down in place while more than two hold the object;
// whichever holder, protector or reference, lets go last drops it.
TEST_F(StoreTest, LastHolderDropsTheObject) {
  auto* obj = new Tracked;
  ZtOIDRef<Tracked> a(obj), b, c(a);
  b = a;
  b = b;
  ZtProtector<Tracked> p(obj), q(p);
  q = q;
  EXPECT_EQ(obj->refCount(), 5u);
  EXPECT_EQ(obj->destroy(), 0u);  // refused while held
  p.purge();
  q.purge();
  a.release();
  b.release();
  EXPECT_EQ(gDeaths.load(), 0);
  c.release();
  EXPECT_EQ(gDeaths.load(), 1);
  Tracked copy;
  copy.incRef();
  EXPECT_EQ(Tracked(copy).refCount(), 0u);  // a copy is a new object
  EXPECT_NE(Tracked(copy).oid(), copy.oid());
  copy.decRef();
  EXPECT_EQ((new Tracked)->destroy(), 1u);
}

TEST_F(StoreTest, LastHolderOnEitherThreadDeletesOnce) {
  const int objects = static_cast<int>(zktest::scaled(50, 5));
  for (int n = 0; n < objects; ++n) {
    auto* obj = new Tracked;
    ZtProtector<Tracked>* prot[2] = {new ZtProtector<Tracked>(obj), new ZtProtector<Tracked>(obj)};
    ZtOIDRef<Tracked>* ref[2] = {new ZtOIDRef<Tracked>(obj), new ZtOIDRef<Tracked>(obj)};
    ASSERT_TRUE(zktest::runTogether(2, [&](int id) {
      for (int i = 0; i < 400; ++i) {
        ZtProtector<Tracked> pc(*prot[id]);
        ZtOIDRef<Tracked> rc;
        rc = *ref[id];
      }
      delete prot[id];
      delete ref[id];
    }));
    ASSERT_EQ(gDeaths.load(), n + 1);
  }
}

}  // namespace
