// SPDX-License-Identifier: Apache-2.0
// The ZKflow demo: a real audio pipeline.
//
//   tone source ──► gain ──► fork ─┬─► WAV writer
//   (48 kHz, 16-bit stereo,        └─► level meter ──(messages)──► main thread
//    clock regulated)
//
// The source makes 192,000 bytes of stored packets per second, paced against
// the clock. The gain task scales every sample. The fork gives each of its two
// consumers its own copy of every packet: the writer appends the bytes to a
// WAV file, the meter measures peak and RMS level and posts a typed message a
// few times a second to a buffered receiver that the main thread polls. The
// main thread draws one live status line; after the run time it stops the
// source, the pipeline winds down through end-of-flow markers, and the demo
// prints every task's latency statistics.
//
//   demo [--seconds N] [--out FILE.wav] [--dot FILE.dot] [--gain G]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <string>
#include <unistd.h>

#include <zkflow.h>

namespace {

constexpr unsigned kSampleRate = 48000;
constexpr unsigned kChannels = 2;
constexpr unsigned kFrameBytes = kChannels * 2;             // 16-bit stereo
constexpr unsigned kDataRate = kSampleRate * kFrameBytes;   // 192,000 bytes/s
constexpr int kLevelMessage = 1;

// The sample value of channel `ch` at frame `n`: a 440 Hz tone on the left and
// a 660 Hz tone on the right, each swelling and fading at its own slow pace so
// that the meter has something to show. A pure function of the frame number,
// so the WAV can be checked against it afterwards.
int16_t toneSample(uint64_t n, unsigned ch) {
  const double t = static_cast<double>(n) / kSampleRate;
  const double freq = ch == 0 ? 440.0 : 660.0;
  const double swell = ch == 0 ? 0.25 : 0.4;
  const double env = 0.55 + 0.45 * std::sin(2 * M_PI * swell * t);
  return static_cast<int16_t>(std::lround(20000.0 * env * std::sin(2 * M_PI * freq * t)));
}

int16_t applyGain(int16_t s, int gainQ8) {
  long v = (static_cast<long>(s) * gainQ8) / 256;
  if (v > 32767) v = 32767;
  if (v < -32768) v = -32768;
  return static_cast<int16_t>(v);
}

// Makes a data packet that shows all `bytes` bytes of a fresh stored packet.
// Its position is 0: emitted packets are placed relative to the output's
// running position. Its times are those of the stream positions
// `streamPos`.. it covers, so downstream tasks can tell when it is due.
ZtFlowDataPacket* makeDataPacket(ZtPacket* stored, unsigned streamPos, unsigned bytes) {
  ZtProtector<ZtPacket> hold(stored);  // the data packet takes its own count
  auto* p = new ZtFlowDataPacket(hold);
  p->pos(0);
  p->dStart(0);
  p->dSize(bytes);
  const unsigned pos = streamPos;
  p->startTime(Utils::Time::fromRaw(static_cast<int64_t>(pos) * 65536 / kDataRate));
  p->endTime(Utils::Time::fromRaw(static_cast<int64_t>(pos + bytes) * 65536 / kDataRate));
  return p;
}

// ------------------------------------------------------------------ source

// A source: no inputs, a virtual input that tells it how many positions each
// work step must produce, and a clock to keep pace with.
struct ToneSource : ZtFlowTask {
  uint64_t framesMade = 0;

  ToneSource() {
    virtualInput(true);
    clockRegulated(true);
    granularity(kFrameBytes);  // never split a frame
  }
  // A task is stopped before its derived part goes: the loop calls our hooks.
  ~ToneSource() override { stop(); }

  const char* taskName() const override { return "tone"; }

  void taskRateInfo(ZtFlowRequestRate& r) override {
    r.duration(Utils::Time(0.02));    // 20 ms of sound per cycle at first
    r.durationMin(Utils::Time(0.01));
    r.durationMax(Utils::Time(0.25));
    r.dataRate(kDataRate);
  }

  unsigned taskHandleFlow(unsigned, unsigned outCount, ZtFlowPacket** in,
                          ZtFlowEmitFn emit) override {
    const unsigned bytes = in[0]->size() - in[0]->size() % kFrameBytes;
    if (bytes == 0 || outCount == 0) return 0;
    auto* stored = new ZtPacket(bytes);
    auto* samples = reinterpret_cast<int16_t*>(stored->data());
    for (unsigned f = 0; f < bytes / kFrameBytes; ++f, ++framesMade)
      for (unsigned ch = 0; ch < kChannels; ++ch) samples[f * kChannels + ch] = toneSample(framesMade, ch);
    emit(this, 0, makeDataPacket(stored, flowPosOut(0), bytes));
    // Tell the loop how much of the virtual input was used.
    in[0]->clipSize(bytes);
    return 0;
  }
};

// -------------------------------------------------------------------- gain

struct Gain : ZtFlowTask {
  int gainQ8;
  explicit Gain(int q8) : gainQ8(q8) {}
  ~Gain() override { stop(); }

  const char* taskName() const override { return "gain"; }

  void taskRateInfo(ZtFlowRequestRate& r) override {
    r.duration(Utils::Time(0.02));
    r.durationMin(Utils::Time(0.01));
    r.durationMax(Utils::Time(0.25));
    r.dataRate(kDataRate);
  }

  unsigned taskHandleFlow(unsigned inCount, unsigned outCount, ZtFlowPacket** in,
                          ZtFlowEmitFn emit) override {
    if (inCount == 0 || !in[0] || outCount == 0) return 0;
    auto* src = static_cast<ZtFlowDataPacket*>(in[0]);
    const unsigned bytes = src->size();
    if (!src->valid() || bytes == 0) return 0;
    auto* stored = new ZtPacket(bytes);
    const auto* from = static_cast<const int16_t*>(src->data());
    auto* to = reinterpret_cast<int16_t*>(stored->data());
    for (unsigned i = 0; i < bytes / 2; ++i) to[i] = applyGain(from[i], gainQ8);
    emit(this, 0, makeDataPacket(stored, flowPosOut(0), bytes));
    return 0;
  }
};

// ---------------------------------------------------------------- consumers

// Consumers of the fork ask for the same data rate, or the fork refuses.
void consumerRate(ZtFlowRequestRate& r) {
  r.duration(Utils::Time(0.05));
  r.durationMin(Utils::Time(0.02));
  r.durationMax(Utils::Time(0.5));
  r.dataRate(kDataRate);
}

// Appends every byte it reads to a WAV file. The header is written first with
// a zero length and patched when the flow ends.
struct WavWriter : ZtFlowTask {
  std::FILE* file = nullptr;
  std::atomic<uint64_t> bytesWritten{0};
  bool ioError = false;

  explicit WavWriter(const char* path) { file = std::fopen(path, "wb"); }
  ~WavWriter() override { stop(); }

  const char* taskName() const override { return "wav writer"; }
  void taskRateInfo(ZtFlowRequestRate& r) override { consumerRate(r); }

  static void put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
  }
  static void put16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
  }
  void writeHeader(uint32_t dataBytes) {
    unsigned char h[44];
    std::memcpy(h, "RIFF", 4);
    put32(h + 4, 36 + dataBytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32(h + 16, 16);                   // fmt chunk size
    put16(h + 20, 1);                    // PCM
    put16(h + 22, kChannels);
    put32(h + 24, kSampleRate);
    put32(h + 28, kDataRate);            // bytes per second
    put16(h + 32, kFrameBytes);          // block align
    put16(h + 34, 16);                   // bits per sample
    std::memcpy(h + 36, "data", 4);
    put32(h + 40, dataBytes);
    std::fseek(file, 0, SEEK_SET);
    if (std::fwrite(h, 1, sizeof h, file) != sizeof h) ioError = true;
    std::fseek(file, 0, SEEK_END);
  }

  void taskInit() override {
    if (file) writeHeader(0);
  }
  unsigned taskHandleFlow(unsigned inCount, unsigned, ZtFlowPacket** in, ZtFlowEmitFn) override {
    if (inCount == 0 || !in[0] || !file) return 0;
    auto* p = static_cast<ZtFlowDataPacket*>(in[0]);
    if (!p->valid() || p->size() == 0) return 0;
    if (std::fwrite(p->data(), 1, p->size(), file) != p->size()) ioError = true;
    bytesWritten.fetch_add(p->size(), std::memory_order_relaxed);
    return 0;
  }
  // Runs on the task's own thread when its input has ended.
  void taskStop() override {
    if (!file) return;
    writeHeader(static_cast<uint32_t>(bytesWritten.load()));
    if (std::fclose(file) != 0) ioError = true;
    file = nullptr;
  }
};

// The message the meter posts: peak and RMS of each channel over the last
// tenth of a second, in full-scale units 0..1.
struct LevelMessage : ZtMessage {
  double peak[kChannels] = {};
  double rms[kChannels] = {};
  LevelMessage() : ZtMessage(kLevelMessage) {}
};

// Measures the level of what it reads and sends a LevelMessage ten times a
// second. The main thread's receiver is buffered: sending only queues the
// message, and the main thread's poll delivers it on the main thread. Sender
// and receiver are used on two threads, so both sides hold the owner's lock
// (`messagingLock`) around send and poll: messaging itself takes no locks.
struct LevelMeter : ZtFlowTask {
  ZtMsgSender sender;
  zk::Lock messagingLock;
  double peak[kChannels] = {};
  double sumSquares[kChannels] = {};
  unsigned frames = 0;
  unsigned carry = 0;           // bytes of a frame split across packets
  unsigned char partial[kFrameBytes] = {};

  explicit LevelMeter(const zk::Lock& lock) : messagingLock(lock) {}
  ~LevelMeter() override { stop(); }

  const char* taskName() const override { return "level meter"; }
  void taskRateInfo(ZtFlowRequestRate& r) override { consumerRate(r); }

  void frame(const int16_t* s) {
    for (unsigned ch = 0; ch < kChannels; ++ch) {
      const double v = s[ch] / 32768.0;
      peak[ch] = std::max(peak[ch], std::fabs(v));
      sumSquares[ch] += v * v;
    }
    if (++frames == kSampleRate / 10) post();
  }

  void post() {
    auto* m = new LevelMessage;
    for (unsigned ch = 0; ch < kChannels; ++ch) {
      m->peak[ch] = peak[ch];
      m->rms[ch] = std::sqrt(sumSquares[ch] / frames);
      peak[ch] = sumSquares[ch] = 0;
    }
    frames = 0;
    zk::P<ZtMessage> hold(m);
    messagingLock.lock();
    sender.send(hold);
    messagingLock.unlock();
  }

  unsigned taskHandleFlow(unsigned inCount, unsigned, ZtFlowPacket** in, ZtFlowEmitFn) override {
    if (inCount == 0 || !in[0]) return 0;
    auto* p = static_cast<ZtFlowDataPacket*>(in[0]);
    if (!p->valid()) return 0;
    const auto* bytes = static_cast<const unsigned char*>(p->data());
    unsigned n = p->size();
    // Packets are cut by the flows, not by frames: keep a frame that
    // straddles two packets until its second half arrives.
    while (n > 0) {
      if (carry > 0 || n < kFrameBytes) {
        const unsigned take = std::min(n, kFrameBytes - carry);
        std::memcpy(partial + carry, bytes, take);
        carry += take;
        bytes += take;
        n -= take;
        if (carry == kFrameBytes) {
          int16_t s[kChannels];
          std::memcpy(s, partial, sizeof s);
          frame(s);
          carry = 0;
        }
        continue;
      }
      int16_t s[kChannels];
      std::memcpy(s, bytes, sizeof s);
      frame(s);
      bytes += kFrameBytes;
      n -= kFrameBytes;
    }
    return 0;
  }
};

// ---------------------------------------------------------------- the host

struct Options {
  double seconds = 5.0;
  std::string out = "zkflow-demo.wav";
  std::string dot;
  double gain = 0.8;
};

// False when the demo should not run; `help` tells whether that was asked for.
bool parse(int argc, char** argv, Options& o, bool& help) {
  help = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    help = help || a == "--help" || a == "-h";
    const bool hasValue = i + 1 < argc;
    if (a == "--seconds" && hasValue) {
      o.seconds = std::atof(argv[++i]);
    } else if (a == "--out" && hasValue) {
      o.out = argv[++i];
    } else if (a == "--dot" && hasValue) {
      o.dot = argv[++i];
    } else if (a == "--gain" && hasValue) {
      o.gain = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: demo [--seconds N] [--out FILE.wav] [--dot FILE.dot] [--gain G]\n"
                   "  --seconds N   how long the source runs (default 5, at most 60)\n"
                   "  --out FILE    the WAV file to write (default zkflow-demo.wav)\n"
                   "  --dot FILE    write a Graphviz picture of the running graph halfway\n"
                   "  --gain G      gain applied to the tone, 0..2 (default 0.8)\n");
      return false;
    }
  }
  if (!(o.seconds > 0 && o.seconds <= 60) || !(o.gain >= 0 && o.gain <= 2)) {
    std::fprintf(stderr, "demo: --seconds must be in (0, 60] and --gain in [0, 2]\n");
    return false;
  }
  return true;
}

// What the main thread shows, updated by the level messages it polls.
struct Display {
  double peak[kChannels] = {};
  double rms[kChannels] = {};
  unsigned messages = 0;
};

int onLevel(void* closure, const zk::P<ZtMessage>& m) {
  auto* d = static_cast<Display*>(closure);
  auto* level = static_cast<const LevelMessage*>(m.get());
  for (unsigned ch = 0; ch < kChannels; ++ch) {
    d->peak[ch] = level->peak[ch];
    d->rms[ch] = level->rms[ch];
  }
  ++d->messages;
  return 0;
}

std::string bar(double level, double peak) {
  const int width = 20;
  const int filled = static_cast<int>(std::lround(std::min(level, 1.0) * width));
  const int peakAt = static_cast<int>(std::lround(std::min(peak, 1.0) * width)) - 1;
  std::string s(width, ' ');
  for (int i = 0; i < filled; ++i) s[i] = '#';
  if (peakAt >= 0 && peakAt < width) s[peakAt] = '|';
  return s;
}

// Counts the dropout reports the library logs, and keeps them off the
// terminal, where they would tear the status line.
struct DropoutCounter {
  std::atomic<unsigned> count{0};
  static void sink(void* self, const Utils::LogRecord& r) {
    if (std::strstr(r.text, "Flow Dropout")) {
      static_cast<DropoutCounter*>(self)->count.fetch_add(1, std::memory_order_relaxed);
    } else {
      std::fprintf(stderr, "\n[%s] %s\n", r.category, r.text);
    }
  }
};

void printLatencyTable(ZtFlowTask* const* tasks, unsigned n) {
  std::printf("\n%-12s %8s %10s %10s %10s %10s %9s\n", "task", "samples", "mean ms", "dev ms",
              "max ms", "4sigma ms", "dropouts");
  for (unsigned i = 0; i < n; ++i) {
    ZtLatencyStats stats = tasks[i]->latency();  // the loop has ended: safe to read
    const auto ms = [](Utils::Time t) { return t.seconds() * 1000.0; };
    ZtLatencyStats four = stats;
    four.strategy(ZtLatencyStats::FourSigma);
    std::printf("%-12s %8u %10.2f %10.2f %10.2f %10.2f %9u\n", tasks[i]->name(), stats.count(),
                ms(stats.average()), ms(stats.stdDeviation()), ms(stats.latencyMax()),
                ms(four.latency()), tasks[i]->dropouts());
  }
}

// Reads the WAV back and compares every sample with what the source made
// after the gain: the file must hold exactly the samples produced.
bool verifyWav(const std::string& path, uint64_t frames, int gainQ8) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  unsigned char header[44];
  bool ok = std::fread(header, 1, sizeof header, f) == sizeof header;
  uint32_t dataBytes = 0;
  for (int i = 0; i < 4 && ok; ++i) dataBytes |= static_cast<uint32_t>(header[40 + i]) << (8 * i);
  ok = ok && dataBytes == frames * kFrameBytes;
  int16_t s[kChannels];
  for (uint64_t n = 0; ok && n < frames; ++n) {
    ok = std::fread(s, sizeof s, 1, f) == 1;
    for (unsigned ch = 0; ok && ch < kChannels; ++ch) ok = s[ch] == applyGain(toneSample(n, ch), gainQ8);
  }
  ok = ok && std::fgetc(f) == EOF;
  std::fclose(f);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  bool help = false;
  if (!parse(argc, argv, opt, help)) return help ? 0 : 2;
  const int gainQ8 = static_cast<int>(std::lround(opt.gain * 256));

  DropoutCounter dropouts;
  Utils::Log::theLog()->sink(&DropoutCounter::sink, &dropouts);
  zkflow::enableMetrics(true);  // for the table at the end and the --dot picture

  // Flows first: they must outlive the tasks attached to them.
  // Reads leave packets in place (a task may read part of a packet in one
  // cycle and the rest in the next); each producer trims what its consumer
  // has passed.
  ZtFlow toneToGain, gainToFork, forkToWav, forkToMeter;

  zk::Lock messagingLock(new zk::LockRep("demo messaging"));
  ToneSource tone;
  Gain gain(gainQ8);
  WavWriter wav(opt.out.c_str());
  LevelMeter meter(messagingLock);
  if (!wav.file) {
    std::fprintf(stderr, "demo: cannot write %s\n", opt.out.c_str());
    return 1;
  }
  tone.addOutput(&toneToGain);
  gain.addInput(&toneToGain);
  gain.addOutput(&gainToFork);
  wav.addInput(&forkToWav);
  meter.addInput(&forkToMeter);
  ZtFlowFork fork(&gainToFork, &forkToWav, &forkToMeter, static_cast<ZtFlow*>(nullptr));

  Display display;
  ZtMsgReceiver levels;
  meter.sender.addReceiver(levels, &onLevel, &display, kLevelMessage, /*direct=*/false);

  // Consumers before producers: the fork checks the data rates its consumers
  // have published on its outputs.
  ZtFlowTask* order[] = {&wav, &meter, &fork, &gain, &tone};
  for (ZtFlowTask* t : order) {
    if (!t->start()) {
      std::fprintf(stderr, "demo: %s did not start\n", t->name());
      return 1;
    }
  }

  std::printf("ZKflow demo: 48 kHz 16-bit stereo tone -> gain %.2f -> fork -> %s + level meter\n",
              opt.gain, opt.out.c_str());
  const bool live = isatty(STDOUT_FILENO);
  const Utils::Time start = ZtClock::timeNow();
  bool dotWritten = opt.dot.empty();
  double lastLine = -1;
  for (;;) {
    const double elapsed = (ZtClock::timeNow() - start).seconds();
    messagingLock.lock();
    levels.poll();
    messagingLock.unlock();
    if (!dotWritten && elapsed >= opt.seconds / 2) {
      ZtFlowTask* all[] = {&tone, &gain, &fork, &wav, &meter};
      dotWritten = true;
      if (!zkflow::writeGraphDot(opt.dot.c_str(), reinterpret_cast<ZtFlowUnit* const*>(all), 5))
        std::fprintf(stderr, "\ndemo: cannot write %s\n", opt.dot.c_str());
    }
    if (live || elapsed - lastLine >= 1.0 || elapsed >= opt.seconds) {
      lastLine = elapsed;
      std::printf("%s%5.1f s  L [%s] R [%s]  %10llu bytes  %u dropouts%s", live ? "\r" : "", elapsed,
                  bar(display.rms[0], display.peak[0]).c_str(),
                  bar(display.rms[1], display.peak[1]).c_str(),
                  static_cast<unsigned long long>(wav.bytesWritten.load()), dropouts.count.load(),
                  live ? "" : "\n");
      std::fflush(stdout);
    }
    if (elapsed >= opt.seconds) break;
    ZIF_Sleep(0.1);
  }

  // Stop at the source; the end-of-flow markers stop the rest in order.
  tone.stop();
  const Utils::Time deadline = ZtClock::timeNow() + Utils::Time(10);
  for (ZtFlowTask* t : std::initializer_list<ZtFlowTask*>{&gain, &fork, &wav, &meter}) {
    while (!t->done() && ZtClock::timeNow() < deadline) ZIF_Sleep(0.01);
    if (!t->done()) {
      std::fprintf(stderr, "\ndemo: %s did not wind down\n", t->name());
      return 1;
    }
  }
  messagingLock.lock();
  levels.poll();
  messagingLock.unlock();
  std::printf("\n");

  ZtFlowTask* table[] = {&tone, &gain, &fork, &wav, &meter};
  printLatencyTable(table, 5);
  std::printf("\n%s", zkflow::metricsTable(zkflow::graphMetrics(reinterpret_cast<ZtFlowUnit* const*>(table), 5)).c_str());

  const uint64_t frames = tone.framesMade;
  const bool exact = !wav.ioError && verifyWav(opt.out, frames, gainQ8);
  std::printf("\n%llu frames made, %llu bytes written to %s, %u level messages, %u dropouts\n",
              static_cast<unsigned long long>(frames),
              static_cast<unsigned long long>(wav.bytesWritten.load()), opt.out.c_str(),
              display.messages, dropouts.count.load());
  std::printf("WAV check: %s\n", exact ? "every sample made is in the file, in order" : "MISMATCH");
  if (!opt.dot.empty()) std::printf("graph written to %s (render: dot -Tpng %s -o graph.png)\n",
                                    opt.dot.c_str(), opt.dot.c_str());
  Utils::Log::theLog()->sink(nullptr, nullptr);
  return exact ? 0 : 1;
}
