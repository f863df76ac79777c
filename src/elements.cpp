// SPDX-License-Identifier: Apache-2.0
#include "zkflow/elements.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>

#include "zkflow/host/log.h"

namespace zkflow {
namespace {

const char kFile[] = "src/elements";

Stage* refuse(const std::string& what, const char* why) {
  Utils::Log::theLog()->print(Utils::MsgFault, "zkflow", -3, kFile, __LINE__, "%s: %s", what.c_str(), why);
  return nullptr;
}

bool audio(const Format& f) { return f.sample == SampleType::Int16 || f.sample == SampleType::Float32; }

// An open file, closed with the stage that owns it.
struct File {
  std::FILE* f = nullptr;
  File() = default;
  File(const File&) = delete;
  ~File() {
    if (f) std::fclose(f);
  }
};

// Reads `bytes` of whole frames from where the file stands.
class FileSource final : public Stage {
 public:
  FileSource(const char* name, Format f, std::FILE* file, uint64_t bytes)
      : Stage(name, Kind::Source, Format{}, f), left_(bytes - bytes % f.frameBytes()) {
    file_.f = file;
  }

 private:
  void work(Context& ctx, Span<const unsigned char>) override {
    const std::size_t want = static_cast<std::size_t>(
        std::min<uint64_t>(ctx.framesWanted() * outputFormat().frameBytes(), left_));
    const Span<unsigned char> b = ctx.outputBytes(want);
    const std::size_t got = b.empty() ? 0 : std::fread(b.data(), 1, b.size(), file_.f);
    ctx.keepBytes(got);
    left_ -= got;
    if (got < b.size()) {
      if (std::ferror(file_.f)) ctx.fail("read error");
      ctx.end();  // the file was shorter than it said, or is a raw file
    }
    if (left_ < outputFormat().frameBytes()) ctx.end();
  }
  File file_;
  uint64_t left_;
};

// Writes what it reads; a WAV writer puts a header first and fills in its
// lengths at the end.
class FileSink final : public Stage {
 public:
  FileSink(std::FILE* file, bool wav)
      : Stage(wav ? "wav writer" : "raw writer", Kind::Sink, Format{}, Format{}), wav_(wav) {
    file_.f = file;
  }

 private:
  void begin(Context& ctx) override {
    if (wav_ && (!audio(inputFormat()) || inputFormat().channels > 0xFFFF)) return ctx.fail("WAV holds int16 or float32, at most 65535 channels");
    if (wav_) header(ctx);
  }
  void work(Context& ctx, Span<const unsigned char> in) override {
    // A WAV file's lengths are 32-bit: stop at the last whole frame that fits.
    if (wav_ && written_ + in.size() > 0xFFFFFFFFull - 36) return ctx.fail("WAV file full (4 GB)");
    if (std::fwrite(in.data(), 1, in.size(), file_.f) != in.size()) return ctx.fail("write error");
    written_ += in.size();
  }
  void finish(Context& ctx) override {
    if (wav_ && !failed()) header(ctx);
    if (std::fclose(file_.f) != 0 && !failed()) ctx.fail("write error at close");
    file_.f = nullptr;
  }
  void header(Context& ctx) {
    const auto h = wavHeader(inputFormat(), static_cast<uint32_t>(written_));
    if (std::fseek(file_.f, 0, SEEK_SET) != 0 || std::fwrite(h.data(), 1, h.size(), file_.f) != h.size() ||
        std::fseek(file_.f, 0, SEEK_END) != 0)
      ctx.fail("write error (header)");
  }
  File file_;
  const bool wav_;
  uint64_t written_ = 0;
};

class Tone final : public Stage {
 public:
  Tone(Format f, double hz, double amplitude, uint64_t frames)
      : Stage("tone", Kind::Source, Format{}, f), step_(2 * M_PI * hz / f.rate), amp_(amplitude), frames_(frames) {}

 private:
  void work(Context& ctx, Span<const unsigned char>) override {
    const unsigned ch = outputFormat().channels;
    uint64_t n = ctx.framesWanted();
    if (frames_ != 0) n = std::min(n, frames_ - ctx.frame());
    if (outputFormat().sample == SampleType::Int16) fill(ctx, ctx.output<int16_t>(n * ch), ch, 32767.0);
    else fill(ctx, ctx.output<float>(n * ch), ch, 1.0);
    if (frames_ != 0 && ctx.frame() + n >= frames_) ctx.end();
  }
  template <class T>
  void fill(Context& ctx, Span<T> out, unsigned ch, double scale) {
    const uint64_t first = ctx.frame();
    for (std::size_t i = 0; i < out.size(); i += ch) {
      const double v = scale * amp_ * std::sin(step_ * static_cast<double>(first + i / ch));
      for (unsigned c = 0; c < ch; ++c) out[i + c] = std::is_same<T, float>::value ? static_cast<T>(v) : static_cast<T>(std::lround(v));
    }
  }
  const double step_, amp_;
  const uint64_t frames_;
};

class Gain final : public Stage {
 public:
  explicit Gain(double factor) : Stage("gain", Kind::Transform, Format{}, Format{}), factor_(factor) {}

 private:
  void begin(Context& ctx) override {
    if (!audio(inputFormat())) ctx.fail("gain takes int16 or float32");
  }
  void work(Context& ctx, Span<const unsigned char> in) override {
    if (inputFormat().sample == SampleType::Float32) {
      const Span<float> out = ctx.output<float>(in.size() / 4);
      const auto* s = reinterpret_cast<const float*>(in.data());
      for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(s[i] * factor_);
      return;
    }
    const Span<int16_t> out = ctx.output<int16_t>(in.size() / 2);
    const auto* s = reinterpret_cast<const int16_t*>(in.data());
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = static_cast<int16_t>(std::clamp(std::lround(s[i] * factor_), -32768L, 32767L));
  }
  const double factor_;
};

class Meter final : public Stage {
 public:
  Meter(Mailbox<Level>::Sender to, double seconds)
      : Stage("level meter", Kind::Sink, Format{}, Format{}), to_(std::move(to)), seconds_(seconds) {}

 private:
  void begin(Context& ctx) override {
    if (!audio(inputFormat())) return ctx.fail("the level meter takes int16 or float32");
    const uint64_t f = inputFormat().frames(seconds_);
    every_ = f ? f : 1;
    level_.channels = std::min(inputFormat().channels, Level::kMaxChannels);
  }
  void work(Context& ctx, Span<const unsigned char> in) override {
    const unsigned ch = inputFormat().channels;
    const bool i16 = inputFormat().sample == SampleType::Int16;
    const std::size_t n = in.size() / inputFormat().sampleBytes();
    for (std::size_t i = 0; i < n; i += ch) {
      for (unsigned c = 0; c < level_.channels; ++c) {
        const float v = i16 ? reinterpret_cast<const int16_t*>(in.data())[i + c] / 32768.0f
                            : reinterpret_cast<const float*>(in.data())[i + c];
        level_.peak[c] = std::max(level_.peak[c], std::fabs(v));
        sums_[c] += static_cast<double>(v) * v;
      }
      if (++frames_ == every_) post(ctx.frame() + i / ch + 1);
    }
  }
  void finish(Context& ctx) override {
    if (frames_ != 0) post(ctx.frame());
  }
  void post(uint64_t frame) {
    for (unsigned c = 0; c < level_.channels; ++c) level_.rms[c] = static_cast<float>(std::sqrt(sums_[c] / frames_));
    level_.frame = frame;
    to_.post(level_);
    level_ = Level{};
    level_.channels = std::min(inputFormat().channels, Level::kMaxChannels);
    std::fill(std::begin(sums_), std::end(sums_), 0.0);
    frames_ = 0;
  }
  const Mailbox<Level>::Sender to_;
  const double seconds_;
  uint64_t every_ = 1, frames_ = 0;
  Level level_;
  double sums_[Level::kMaxChannels] = {};
};

class NullSink final : public Stage {
 public:
  NullSink() : Stage("null sink", Kind::Sink, Format{}, Format{}) {}

 private:
  void work(Context&, Span<const unsigned char>) override {}
};

Stage* make(Graph& g, Stage* s) { return g.add(std::unique_ptr<Stage>(s)); }

Stage* writer(Graph& g, const std::string& path, bool wav) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return refuse(path, "cannot create");
  auto* s = new FileSink(f, wav);
  if (!s) std::fclose(f);  // otherwise the stage owns it
  return make(g, s);
}

}  // namespace

Stage* readWav(Graph& g, const std::string& path) {
  File file;
  file.f = std::fopen(path.c_str(), "rb");
  if (!file.f) return refuse(path, "cannot open");
  // The header and the chunks before the data, within the first 64 KiB.
  unsigned char head[65536];
  const std::size_t n = std::fread(head, 1, sizeof head, file.f);
  uint64_t size = 0;
  if (std::fseek(file.f, 0, SEEK_END) == 0) size = static_cast<uint64_t>(std::ftell(file.f));
  WavInfo info;
  const WavError e = parseWav(head, n, size, info);
  if (e != WavError::None) return refuse(path, wavErrorText(e));
  if (std::fseek(file.f, static_cast<long>(info.dataOffset), SEEK_SET) != 0) return refuse(path, "cannot seek");
  auto* s = new FileSource("wav reader", info.format, file.f, info.dataBytes);
  if (s) file.f = nullptr;  // the stage owns it now
  return make(g, s);
}

Stage* readRaw(Graph& g, const std::string& path, Format format) {
  if (!format.complete()) return refuse(path, "an incomplete format");
  File file;
  file.f = std::fopen(path.c_str(), "rb");
  if (!file.f) return refuse(path, "cannot open");
  auto* s = new FileSource("raw reader", format, file.f, UINT64_MAX);
  if (s) file.f = nullptr;
  return make(g, s);
}

Stage* writeWav(Graph& g, const std::string& path) { return writer(g, path, true); }
Stage* writeRaw(Graph& g, const std::string& path) { return writer(g, path, false); }

Stage* tone(Graph& g, Format format, double hz, double amplitude, uint64_t frames) {
  if (!audio(format) || !format.complete()) return refuse("tone", "needs a complete int16 or float32 format");
  return make(g, new Tone(format, hz, amplitude, frames));
}

Stage* gain(Graph& g, double factor) { return make(g, new Gain(factor)); }

Stage* levelMeter(Graph& g, Mailbox<Level>::Sender to, double seconds) {
  return make(g, new Meter(std::move(to), seconds));
}

Stage* nullSink(Graph& g) { return make(g, new NullSink); }

}  // namespace zkflow
