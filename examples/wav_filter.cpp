// SPDX-License-Identifier: Apache-2.0
// Tutorial: a WAV file through a low-pass filter and a gain.
//
//   wav reader ──► low-pass (a lambda) ──► gain ──► wav writer
//
// A first graph writes the input (a second of 440 Hz plus 9 kHz, float stereo at 44.1 kHz); the second
// filters it with a lambda transform that reads a typed view of its input and writes into a buffer its
// context gives it. Its state (a value per channel) lives in its captures: a stage runs one call at a
// time, so it needs no lock. A raw reader reads the output back (its last read comes up short), and
// plain loops check it sample by sample.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>
#include <zkflow.h>

namespace {

const zkflow::Format kFormat = zkflow::Format::float32(2, 44100);
constexpr float kAlpha = 0.1f;  // the one-pole low-pass: y += alpha * (x - y)
constexpr double kGain = 0.5;

float input(uint64_t frame, unsigned ch) {
  const double t = static_cast<double>(frame) / kFormat.rate;
  return static_cast<float>(0.4 * std::sin(2 * M_PI * 440 * t) + (ch ? 0.3 : 0.2) * std::sin(2 * M_PI * 9000 * t));
}

auto lowPass() {  // channels are interleaved: sample i is of channel i % channels
  return [y = std::vector<float>(kFormat.channels)](zkflow::Context& ctx, zkflow::Span<const float> in) mutable {
    const zkflow::Span<float> out = ctx.output<float>(in.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = y[i % y.size()] += kAlpha * (in[i] - y[i % y.size()]);
  };
}

}  // namespace

int main() {
  const unsigned long long frames = kFormat.frames(1.0);
  {
    zkflow::Graph make;
    zkflow::Stage* src = make.source<float>("input", kFormat, [frames](zkflow::Context& ctx, zkflow::Span<float> out) {
      const uint64_t n = std::min<uint64_t>(out.size() / 2, frames - ctx.frame());
      for (std::size_t i = 0; i < n * 2; ++i) out[i] = input(ctx.frame() + i / 2, i % 2);
      if (ctx.frame() + n == frames) ctx.end();
      return n * 2;
    });
    if (make.connect(src, zkflow::writeWav(make, "wav_filter-in.wav")) != zkflow::Error::None || make.run() != zkflow::Error::None)
      return std::fprintf(stderr, "wav_filter: could not write the input\n"), 1;
  }
  zkflow::Graph g;  // the graph owns every stage; nothing to stop or delete
  zkflow::Stage* reader = zkflow::readWav(g, "wav_filter-in.wav");
  zkflow::Stage* filter = g.transform<float>("low-pass", lowPass());
  zkflow::Stage* gain = zkflow::gain(g, kGain);
  zkflow::Stage* writer = zkflow::writeWav(g, "wav_filter-out.wav");
  for (auto [from, to] : {std::pair{reader, filter}, {filter, gain}, {gain, writer}})
    if (zkflow::Error e = g.connect(from, to); e != zkflow::Error::None)
      return std::fprintf(stderr, "wav_filter: %s\n", zkflow::errorText(e)), 1;
  if (g.run() != zkflow::Error::None) return std::fprintf(stderr, "wav_filter: the graph failed\n"), 1;

  std::vector<unsigned char> bytes;
  zkflow::Graph back;
  zkflow::Stage* keep = back.sink<int16_t>("keep", [&bytes](zkflow::Context&, zkflow::Span<const int16_t> in) {
    bytes.insert(bytes.end(), reinterpret_cast<const unsigned char*>(in.begin()), reinterpret_cast<const unsigned char*>(in.end()));
  });
  if (back.connect(zkflow::readRaw(back, "wav_filter-out.wav", zkflow::Format::int16(1, 48000)), keep) != zkflow::Error::None ||
      back.run() != zkflow::Error::None)
    return std::fprintf(stderr, "wav_filter: could not read the output back\n"), 1;
  zkflow::WavInfo info;
  if (zkflow::parseWav(bytes.data(), bytes.size(), bytes.size(), info) != zkflow::WavError::None || info.format != kFormat ||
      info.dataBytes != frames * kFormat.frameBytes() || bytes.size() != info.dataOffset + info.dataBytes)
    return std::fprintf(stderr, "wav_filter: the output is not a second of %s\n", kFormat.text().c_str()), 1;
  const auto* out = reinterpret_cast<const float*>(bytes.data() + info.dataOffset);
  float y[2] = {0, 0};  // the filter again, and the gain, against which no sample may differ
  unsigned long long wrong = 0;
  for (uint64_t i = 0; i < frames * 2; ++i)
    wrong += out[i] != static_cast<float>((y[i % 2] += kAlpha * (input(i / 2, i % 2) - y[i % 2])) * kGain);
  std::remove("wav_filter-in.wav"), std::remove("wav_filter-out.wav");
  std::printf("wav_filter: %llu frames filtered, %llu samples wrong\n", frames, wrong);
  return wrong == 0 ? 0 : 1;
}
