// SPDX-License-Identifier: Apache-2.0
// Tutorial: testing a paced graph on the simulated clock.
//
//   48 kHz mono source (paced) ──► checking sink
//
// With zkflow::SimulatedClock in scope (zkflow/host/simtime.h) the clock,
// the pacing sleeps and every timed wait follow a virtual time that stands
// still while a stage computes and jumps to the next deadline once every
// stage waits. An hour of a paced 48 kHz source then runs in the seconds its
// stages need, and nothing is ever late unless a stage says it takes time,
// with zkflow::spend(): a test provokes lateness exactly where it wants and
// counts the dropouts it expects, the same on every run.
//
// Here the source takes 0.09 s over the call that makes minute 30. A paced
// source makes each 20 ms chunk 20 ms before it falls due, so that call
// ends 0.05 s late: one dropout. The source then plans with the slow cycle
// it measured, in longer chunks, and catches up at once. Late is not lost:
// the sink still gets every frame, in order.
#include <chrono>
#include <cstdio>

#include <zkflow.h>

int main() {
  const zkflow::Format format = zkflow::Format::int16(1, 48000);
  const uint64_t total = format.frames(3600.0), hiccup = format.frames(1800.0);
  const auto realStart = std::chrono::steady_clock::now();
  zkflow::SimulatedClock simulated;  // before the graph starts: its stages count in virtual time
  const Utils::Time virtualStart = ZtClock::timeNow();

  zkflow::Graph g;
  zkflow::Stage* src = g.source<int16_t>("source", format, [&](zkflow::Context& ctx, zkflow::Span<int16_t> out) {
    const uint64_t first = ctx.frame(), n = std::min<uint64_t>(out.size(), total - first);
    int16_t* const samples = out.data();
    for (uint64_t f = first; f < first + n; ++f) samples[f - first] = static_cast<int16_t>(f & 0x7FFF);
    if (first <= hiccup && hiccup < first + n) zkflow::spend(0.09);  // 90 ms of virtual time, here only
    if (first + n == total) ctx.end();
    return n;
  });
  src->paced(true);
  uint64_t next = 0;
  bool inOrder = true;
  zkflow::Stage* sink = g.sink<int16_t>("sink", [&](zkflow::Context&, zkflow::Span<const int16_t> in) {
    uint64_t n = next;
    bool same = true;
    for (const int16_t s : in) same &= s == static_cast<int16_t>(n++ & 0x7FFF);
    next = n, inOrder = inOrder && same;
  });
  if (g.connect(src, sink) != zkflow::Error::None || g.run() != zkflow::Error::None)
    return std::fprintf(stderr, "virtual_clock: the graph did not run\n"), 1;

  const double virtualSeconds = (ZtClock::timeNow() - virtualStart).seconds();
  const double realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
  std::printf("virtual_clock: %.1f s of audio in %.1f s of virtual time and %.2f s of real time, %u dropouts\n",
              format.seconds(next), virtualSeconds, realSeconds, src->dropouts());
  const bool ok = next == total && inOrder && src->dropouts() == 1 && virtualSeconds > 3590 && virtualSeconds < 3610;
  std::printf("virtual_clock: %s\n", ok ? "every frame in order, the one dropout of the hiccup" : "FAILED");
  return ok ? 0 : 1;
}
