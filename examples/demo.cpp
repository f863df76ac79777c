// SPDX-License-Identifier: Apache-2.0
// The ZKflow demo: a real audio pipeline on a zkflow::Graph.
//
//   tone source ──► gain ──┬─► WAV writer
//   (48 kHz, 16-bit stereo, └─► level meter ──(mailbox)──► main thread
//    paced by the clock)
//
// The source is a lambda making 192,000 bytes a second, paced by the clock;
// gain, WAV writer and meter are built-in stages (the graph forks the gain's
// output). The meter posts levels to a mailbox read for the status line. At
// the end main stops the graph from the source, prints every task's latency
// and checks the WAV sample by sample. --virtual-clock runs on the simulated
// clock (zkflow/host/simtime.h): the same samples, as fast as stages compute.
//
//   demo [--seconds N] [--out FILE.wav] [--dot FILE.dot] [--gain G] [--trace FILE.json] [--virtual-clock]
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>
#include <zkflow.h>

namespace {

constexpr unsigned kRate = 48000, kChannels = 2;
const zkflow::Format kFormat = zkflow::Format::int16(kChannels, kRate);

// 440 Hz on the left and 660 Hz on the right, each swelling and fading at its
// own pace: a pure function of the frame, so the WAV can be checked against it.
int16_t toneSample(uint64_t n, unsigned ch) {
  const double t = static_cast<double>(n) / kRate;
  const double env = 0.55 + 0.45 * std::sin(2 * M_PI * (ch == 0 ? 0.25 : 0.4) * t);
  return static_cast<int16_t>(std::lround(20000.0 * env * std::sin(2 * M_PI * (ch == 0 ? 440.0 : 660.0) * t)));
}
// What zkflow::gain makes of a sample.
int16_t gained(int16_t s, double g) { return static_cast<int16_t>(std::clamp(std::lround(s * g), -32768L, 32767L)); }

struct Options { double seconds = 5.0, gain = 0.8; std::string out = "zkflow-demo.wav", dot, trace; bool virt = false; };

bool parse(int argc, char** argv, Options& o, bool& help) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    help = help || a == "--help" || a == "-h";
    if (a == "--seconds" && more) o.seconds = std::atof(argv[++i]);
    else if (a == "--out" && more) o.out = argv[++i];
    else if (a == "--dot" && more) o.dot = argv[++i];
    else if (a == "--gain" && more) o.gain = std::atof(argv[++i]);
    else if (a == "--trace" && more) o.trace = argv[++i];
    else if (a == "--virtual-clock") o.virt = true;
    else return std::fprintf(stderr, "usage: demo [--seconds N] [--out FILE.wav] [--dot FILE.dot] [--gain G] "
                             "[--trace FILE.json] [--virtual-clock]\n"
                             "  --seconds N      how long the source runs (default 5; at most 60, 3600 on the virtual clock)\n"
                             "  --out FILE       the WAV file to write (default zkflow-demo.wav)\n  --dot FILE       write a "
                             "Graphviz picture of the running graph halfway\n  --gain G         gain applied to the tone, "
                             "0..2 (default 0.8)\n  --trace FILE     write the run's trace timeline (Chrome trace-event "
                             "JSON)\n  --virtual-clock  run on the simulated clock, as fast as the stages compute\n"), false;
  }
  if (o.seconds > 0 && o.seconds <= (o.virt ? 3600 : 60) && o.gain >= 0 && o.gain <= 2) return true;
  return std::fprintf(stderr, "demo: --seconds must be in (0, 60] (3600 on the virtual clock), --gain in [0, 2]\n"), false;
}
std::string bar(double level, double peak) {
  std::string s(std::lround(std::min(level, 1.0) * 20), '#');
  s.resize(20, ' ');
  if (const long at = std::lround(std::min(peak, 1.0) * 20) - 1; at >= 0) s[at] = '|';
  return s;
}
// Dropout reports would tear the status line: the tasks count them anyway.
void logSink(void*, const Utils::LogRecord& r) {
  if (!std::strstr(r.text, "Flow Dropout")) std::fprintf(stderr, "\n[%s] %s\n", r.category, r.text);
}
std::vector<ZtFlowUnit*> units(const zkflow::Graph& g) { const auto t = g.tasks(); return {t.begin(), t.end()}; }
unsigned dropouts(const std::vector<ZtFlowTask*>& tasks) {
  return std::accumulate(tasks.begin(), tasks.end(), 0u, [](unsigned n, ZtFlowTask* t) { return n + t->dropouts(); });
}
void printLatencyTable(const std::vector<ZtFlowTask*>& tasks) {
  std::printf("\n\n%-12s %8s %10s %10s %10s %10s %9s\n", "task", "samples", "mean ms", "dev ms", "max ms",
              "4sigma ms", "dropouts");
  const auto ms = [](Utils::Time t) { return t.seconds() * 1000.0; };
  for (ZtFlowTask* t : tasks) {
    ZtLatencyStats four = t->latency();  // the loops have ended: safe to read
    four.strategy(ZtLatencyStats::FourSigma);
    std::printf("%-12s %8u %10.2f %10.2f %10.2f %10.2f %9u\n", t->name(), four.count(), ms(four.average()),
                ms(four.stdDeviation()), ms(four.latencyMax()), ms(four.latency()), t->dropouts());
  }
}
// The file must hold exactly the samples made, after the gain, in order.
bool verifyWav(const std::string& path, uint64_t frames, double gain) {
  std::vector<unsigned char> bytes(44 + frames * kFormat.frameBytes() + 1);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  const std::size_t n = f ? std::fread(bytes.data(), 1, bytes.size(), f) : 0;
  if (f) std::fclose(f);
  zkflow::WavInfo info;
  if (zkflow::parseWav(bytes.data(), n, n, info) != zkflow::WavError::None || info.format != kFormat ||
      info.dataBytes != frames * kFormat.frameBytes() || info.dataOffset + info.dataBytes != n)
    return false;
  const auto* s = reinterpret_cast<const int16_t*>(bytes.data() + info.dataOffset);
  for (uint64_t i = 0; i < frames * kChannels; ++i)
    if (s[i] != gained(toneSample(i / kChannels, i % kChannels), gain)) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (bool help = false; !parse(argc, argv, opt, help)) return help ? 0 : 2;
  Utils::Log::theLog()->sink(&logSink, nullptr);
  zkflow::enableMetrics(true);  // for the table at the end and the --dot picture
  if (opt.virt) zkflow::simulatedTime(true);  // before the graph's tasks start: they count in it
  if (!opt.trace.empty()) zkflow::startTrace();
  zkflow::Mailbox<zkflow::Level> levels(16, zkflow::WhenFull::DropOldest);
  zkflow::Graph g;
  std::atomic<uint64_t> made{0};
  zkflow::Stage* tone = g.source<int16_t>("tone", kFormat, [&made](zkflow::Context& ctx, zkflow::Span<int16_t> out) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = toneSample(ctx.frame() + i / kChannels, i % kChannels);
    made.store(ctx.frame() + out.size() / kChannels, std::memory_order_relaxed);
    return out.size();
  });
  tone->paced(true);
  zkflow::Stage *gain = zkflow::gain(g, opt.gain), *wav = zkflow::writeWav(g, opt.out);
  zkflow::Stage* meter = zkflow::levelMeter(g, levels.sender("meter"));
  if (!wav) return std::fprintf(stderr, "demo: cannot write %s\n", opt.out.c_str()), 1;
  if (g.connect(tone, gain) != zkflow::Error::None || g.connect(gain, wav) != zkflow::Error::None ||
      g.connect(gain, meter) != zkflow::Error::None || g.start() != zkflow::Error::None)
    return std::fprintf(stderr, "demo: the graph did not start\n"), 1;
  std::printf("ZKflow demo: 48 kHz 16-bit stereo tone -> gain %.2f -> fork -> %s + level meter\n", opt.gain, opt.out.c_str());
  const bool live = isatty(STDOUT_FILENO);
  const Utils::Time start = ZtClock::timeNow();
  zkflow::Level shown;
  unsigned messages = 0;
  bool dotDue = !opt.dot.empty();
  for (double elapsed = 0, lastLine = -1;; elapsed = (ZtClock::timeNow() - start).seconds()) {
    ZIF_Sleep(0.1);  // on the clock in force (a wait on the mailbox would hold simulated time still)
    while (auto l = levels.poll()) shown = l->message, ++messages;
    if (dotDue && elapsed >= opt.seconds / 2) {
      const std::vector<ZtFlowUnit*> u = units(g);
      if (dotDue = false; !zkflow::writeGraphDot(opt.dot.c_str(), u.data(), u.size()))
        std::fprintf(stderr, "\ndemo: cannot write %s\n", opt.dot.c_str());
    }
    if (live || elapsed - lastLine >= (opt.virt ? 10.0 : 1.0) || elapsed >= opt.seconds) {
      lastLine = elapsed;
      std::printf("%s%5.1f s  L [%s] R [%s]  %10llu bytes  %u dropouts%s", live ? "\r" : "", elapsed,
                  bar(shown.rms[0], shown.peak[0]).c_str(), bar(shown.rms[1], shown.peak[1]).c_str(),
                  static_cast<unsigned long long>(shown.frame * kFormat.frameBytes()), dropouts(g.tasks()),
                  live ? "" : "\n");
      std::fflush(stdout);
    }
    if (elapsed >= opt.seconds) break;
  }
  // From the source: what it made still reaches the file and the meter.
  for (const zkflow::Straggler& s : g.stop(10))
    return std::fprintf(stderr, "\ndemo: %s did not wind down (%s)\n", s.name.c_str(), s.waitingAt.c_str()), 1;
  while (auto l = levels.poll()) shown = l->message, ++messages;
  if (zkflow::stopTrace(); !opt.trace.empty() && !zkflow::writeTrace(opt.trace.c_str()))
    std::fprintf(stderr, "demo: cannot write %s\n", opt.trace.c_str());
  printLatencyTable(g.tasks());
  const std::vector<ZtFlowUnit*> us = units(g);
  std::printf("\n%s", zkflow::metricsTable(zkflow::graphMetrics(us.data(), us.size())).c_str());
  const uint64_t frames = made.load();
  const bool exact = !wav->failed() && verifyWav(opt.out, frames, opt.gain);
  std::printf("\n%llu frames made, %llu bytes written to %s, %u level messages, %u dropouts\n", static_cast<unsigned long long>(frames),
              static_cast<unsigned long long>(frames * kFormat.frameBytes()), opt.out.c_str(), messages, dropouts(g.tasks()));
  std::printf("WAV check: %s\n", exact ? "every sample made is in the file, in order" : "MISMATCH");
  if (!opt.dot.empty()) std::printf("graph written to %s (render: dot -Tpng %s -o graph.png)\n", opt.dot.c_str(), opt.dot.c_str());
  return exact ? 0 : 1;
}
