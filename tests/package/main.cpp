// SPDX-License-Identifier: Apache-2.0
// Checks an installed ZKflow from the outside: the library loads, its static
// initialisers registered the stored and queue packet classes with the store,
// and the installed headers agree with the installed library on the layout of
// what they declare.
#include <zkflow.h>

#include <cstdio>

int main() {
  int failures = 0;
  auto check = [&failures](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "zkflow_consumer: %s\n", what);
      ++failures;
    }
  };
  check(zk::StreamableRegistrar::registered("ZtPacket"), "ZtPacket is not registered");
  check(zk::StreamableRegistrar::registered("ZtQueuePacket"), "ZtQueuePacket is not registered");
  check(zk::StreamableRegistrar::registeredSize("ZtPacket") == sizeof(ZtPacket),
        "ZtPacket registered with another size than the headers give");
  check(zk::StreamableRegistrar::registeredSize("ZtQueuePacket") == sizeof(ZtQueuePacket),
        "ZtQueuePacket registered with another size than the headers give");

  // A round trip through the library's code and its allocator.
  const int64_t before = Utils::Allocator::defaultAllocator()->liveBlocks();
  {
    ZtPacket p(4u);
    check(p.writeAt(0, "zkfl", 4) == 4 && p.modified(), "writeAt on an installed ZtPacket");
    check(p.className() == "ZtPacket", "ZtPacket::className");
  }
  check(Utils::Allocator::defaultAllocator()->liveBlocks() == before, "blocks left live");

  if (failures == 0) std::printf("zkflow_consumer: ok\n");
  return failures == 0 ? 0 : 1;
}
