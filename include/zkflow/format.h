// SPDX-License-Identifier: Apache-2.0
// zkflow::Format: what a flow of a graph carries.
//
// A format names the sample type, the number of interleaved channels and the
// frame rate (frames per second; a frame is one sample of every channel).
// Bytes per frame and per second follow from them, and durations are stated
// in frames: frames(0.5) is half a second of this format.
//
// A stage states the format it produces and the one it takes. In the format
// a stage takes, a zero field is a wildcard (SampleType::Any, 0 channels, rate
// 0): a WAV writer takes any format, a gain any sample type it knows. The
// graph checks, when two stages are connected, that the taker accepts what
// the producer gives (Graph::connect returns Error::FormatMismatch if not).
//
// Thread safety: a value type.
#pragma once

#include <cstdint>
#include <string>

#include "zkflow/host/export.h"

namespace zkflow {

enum class SampleType : uint8_t {
  Any = 0,  // only in what a stage takes: any sample type
  Uint8,    // raw bytes
  Int16,    // signed 16-bit PCM
  Float32,  // 32-bit IEEE float, full scale -1..1
};

// The SampleType of a C++ type; Any for types the layer does not name.
template <class T> constexpr SampleType sampleTypeOf() { return SampleType::Any; }
template <> constexpr SampleType sampleTypeOf<uint8_t>() { return SampleType::Uint8; }
template <> constexpr SampleType sampleTypeOf<int16_t>() { return SampleType::Int16; }
template <> constexpr SampleType sampleTypeOf<float>() { return SampleType::Float32; }

struct ZKFLOW_EXPORT Format {
  SampleType sample = SampleType::Any;
  unsigned channels = 0;
  unsigned rate = 0;  // frames per second

  static Format int16(unsigned channels, unsigned rate) { return {SampleType::Int16, channels, rate}; }
  static Format float32(unsigned channels, unsigned rate) { return {SampleType::Float32, channels, rate}; }
  // A stream of bytes at `bytesPerSecond`.
  static Format bytes(unsigned bytesPerSecond) { return {SampleType::Uint8, 1, bytesPerSecond}; }

  // Bytes of one sample (0 for Any).
  unsigned sampleBytes() const;
  unsigned frameBytes() const { return sampleBytes() * channels; }
  // 0 when the format is not complete, or when it would not fit 32 bits.
  uint32_t bytesPerSecond() const;
  // Every field set, and at most 4 GB a second.
  bool complete() const { return bytesPerSecond() != 0; }

  // Whole frames in `seconds` (truncated); seconds in `frames`.
  uint64_t frames(double seconds) const;
  double seconds(uint64_t frames) const;

  // Whether a stage that takes this format accepts `offered`: every field
  // that is set here equals the offered one, and `offered` is complete.
  bool accepts(const Format& offered) const;
  bool operator==(const Format& o) const { return sample == o.sample && channels == o.channels && rate == o.rate; }
  bool operator!=(const Format& o) const { return !(*this == o); }

  // "int16 2 ch 48000 Hz"; "any" for wildcards.
  std::string text() const;
};

}  // namespace zkflow
