// The smallest ZKflow program: the library is loaded, its stored packet
// classes are registered with the store, and a stored packet is made,
// written and read back through the library's allocator.
#include <cstdio>
#include <cstring>

#include <zkflow.h>

int main() {
  std::printf("ZKflow loaded; registered classes: ZtPacket %s, ZtQueuePacket %s\n",
              StreamableRegistrar::registered("ZtPacket") ? "yes" : "no",
              StreamableRegistrar::registered("ZtQueuePacket") ? "yes" : "no");

  ZtProtector<ZtPacket> packet(new ZtPacket(16));
  const char text[] = "hello, flow";
  packet->writeAt(0, text, sizeof text);
  char back[sizeof text] = {};
  packet->readAt(0, back, sizeof back);
  std::printf("stored packet of %u bytes reads back \"%s\"\n", packet->size(), back);
  packet.purge();

  std::printf("live blocks after release: %lld\n",
              static_cast<long long>(Utils::Allocator::defaultAllocator()->liveBlocks()));
  return std::strcmp(text, back) == 0 ? 0 : 1;
}
