// SPDX-License-Identifier: Apache-2.0
// Checks an installed ZKflow from the outside: a program with names of its
// own that are common elsewhere (String, Lock, P, ...) includes <zkflow.h>
// without a clash; the headers' version is the library's; the library loads
// and its static initialisers registered the stored and queue packet classes
// with the store (also from a static archive); the installed headers agree
// with the installed library on the layout of what they declare.

// The program's own names, declared before the library's headers.
struct String {};
struct Lock {};
struct LockRep {};
struct Countable {};
struct DList {};
struct DListRec {};
template <class T> struct P {};
template <class T> struct AP {};
template <class T> struct MTQueue {};
static int normalizeName(int x) { return x; }

#include <zkflow.h>

#include <cstdio>
#include <cstring>

int main() {
  int failures = 0;
  auto check = [&failures](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "zkflow_consumer: %s\n", what);
      ++failures;
    }
  };
  check(std::strcmp(zkflow::version(), ZKFLOW_VERSION) == 0 &&
            zkflow::versionNumber() == ZKFLOW_VERSION_NUMBER,
        "the library's version is not the headers'");
  check(zk::StreamableRegistrar::registered("ZtPacket"), "ZtPacket is not registered");
  check(zk::StreamableRegistrar::registered("ZtQueuePacket"), "ZtQueuePacket is not registered");
  check(zk::StreamableRegistrar::registeredSize("ZtPacket") == sizeof(ZtPacket),
        "ZtPacket registered with another size than the headers give");
  check(zk::StreamableRegistrar::registeredSize("ZtQueuePacket") == sizeof(ZtQueuePacket),
        "ZtQueuePacket registered with another size than the headers give");

  // A round trip through the library's code, its allocator and a queue.
  const int64_t before = Utils::Allocator::defaultAllocator()->liveBlocks();
  {
    ZtPacket p(4u);
    check(p.writeAt(0, "zkfl", 4) == 4 && p.modified(), "writeAt on an installed ZtPacket");
    check(p.className() == "ZtPacket", "ZtPacket::className");
    zk::MTQueue<zk::AP<ZtQueuePacket>> queue(2);
    zk::AP<ZtQueuePacket> item(new ZtQueuePacket);
    queue.push(item);
    check(item.get() == nullptr && queue.size() == 1, "MTQueue push");
  }
  check(Utils::Allocator::defaultAllocator()->liveBlocks() == before, "blocks left live");

  // The program's own names are still its own.
  String s;
  Lock l;
  P<int> pi;
  AP<int> api;
  MTQueue<int> q;
  (void)s, (void)l, (void)pi, (void)api, (void)q;
  check(normalizeName(3) == 3, "the program's normalizeName");

  if (failures == 0) std::printf("zkflow_consumer (C++%ld): ok\n", __cplusplus / 100 % 100);
  return failures == 0 ? 0 : 1;
}
