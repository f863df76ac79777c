// SPDX-License-Identifier: Apache-2.0
// Tutorial: a paced source forked to a fast and a slow consumer.
//
//                                 ┌─► fast sink (keeps up)
//   48 kHz stereo source (paced) ─┤
//                                 └─► slow sink (half real time)
//
// A paced source keeps its output about one cycle ahead of the clock, as a
// capture or playback device would. Connected to two consumers, it gets a
// fork from the graph, which keeps pace with the first consumer. The second
// cannot hold the source back: what lies more than about a second ahead of
// where it reads is dropped, and the graph counts those bytes. Every
// frame carries its own number, so each sink checks what it got: the fast
// one every frame in order; the slow one frames in order with gaps, whose
// sum is what the graph says it lost.
//
// It runs on the simulated clock (see examples/virtual_clock.cpp): three
// seconds of audio in a fraction of one, and the same loss at every run.
// Without the SimulatedClock line it runs in real time.
#include <algorithm>
#include <cstdio>
#include <zkflow.h>

namespace {

const zkflow::Format kFormat = zkflow::Format::int16(2, 48000);

// What a sink found: frames, the frame it expects next, frames skipped, and
// whether any frame went backwards or was repeated.
struct Seen { uint64_t frames = 0, next = 0, skipped = 0; bool disorder = false; };

// Frame n carries n in its two samples, 15 bits each.
auto checker(Seen& seen) {
  return [&seen](zkflow::Context&, zkflow::Span<const int16_t> in) {
    for (std::size_t i = 0; i < in.size(); i += 2) {
      const uint64_t n = static_cast<uint64_t>(in[i]) | static_cast<uint64_t>(in[i + 1]) << 15;
      seen.disorder = seen.disorder || n < seen.next;
      seen.skipped += n > seen.next ? n - seen.next : 0;
      seen.next = n + 1, ++seen.frames;
    }
  };
}

}  // namespace

int main() {
  zkflow::SimulatedClock simulated;
  const uint64_t total = kFormat.frames(3.0);
  Seen fast, slow;
  zkflow::Graph g;
  zkflow::Stage* src = g.source<int16_t>("source", kFormat, [total](zkflow::Context& ctx, zkflow::Span<int16_t> out) {
    const uint64_t first = ctx.frame(), n = std::min<uint64_t>(out.size() / 2, total - first);
    for (uint64_t f = first; f < first + n; ++f)
      out[2 * (f - first)] = static_cast<int16_t>(f & 0x7FFF), out[2 * (f - first) + 1] = static_cast<int16_t>(f >> 15);
    if (first + n == total) ctx.end();
    return 2 * n;
  });
  src->paced(true);
  zkflow::Stage* fastSink = g.sink<int16_t>("fast", checker(fast));
  auto slowCheck = checker(slow);
  zkflow::Stage* slowSink = g.sink<int16_t>("slow", [&slowCheck](zkflow::Context& ctx, zkflow::Span<const int16_t> in) {
    slowCheck(ctx, in);
    // Half real time: each call takes twice as long as its samples last.
    zkflow::spend(2 * kFormat.seconds(in.size() / 2));
  });
  if (g.connect(src, fastSink) != zkflow::Error::None || g.connect(src, slowSink) != zkflow::Error::None ||
      g.run() != zkflow::Error::None)
    return std::fprintf(stderr, "paced_fork: the graph did not run\n"), 1;

  const uint64_t lost = g.lostBytes(slowSink) / kFormat.frameBytes();
  std::printf("paced_fork: %llu frames; fast got %llu, slow got %llu and lost %llu (%llu skipped)\n",
              static_cast<unsigned long long>(total), static_cast<unsigned long long>(fast.frames),
              static_cast<unsigned long long>(slow.frames), static_cast<unsigned long long>(lost),
              static_cast<unsigned long long>(slow.skipped + total - slow.next));
  const bool ok = fast.frames == total && fast.skipped == 0 && !fast.disorder && !slow.disorder && lost > 0 &&
                  slow.frames + lost == total && slow.skipped + (total - slow.next) == lost;
  std::printf("paced_fork: %s\n", ok ? "the fast sink got every frame, the slow one lost only what was counted" : "FAILED");
  return ok ? 0 : 1;
}
