// SPDX-License-Identifier: Apache-2.0
#include "zkflow/format.h"

#include <cstdio>

namespace zkflow {

unsigned Format::sampleBytes() const {
  switch (sample) {
    case SampleType::Uint8: return 1;
    case SampleType::Int16: return 2;
    case SampleType::Float32: return 4;
    case SampleType::Any: break;
  }
  return 0;
}

uint32_t Format::bytesPerSecond() const {
  const uint64_t b = static_cast<uint64_t>(frameBytes()) * rate;
  return b > UINT32_MAX ? 0 : static_cast<uint32_t>(b);
}

uint64_t Format::frames(double secs) const {
  const double f = secs * rate;
  // Negative, not-a-number and absurd durations are no frames at all.
  return f >= 1 && f < 1e18 ? static_cast<uint64_t>(f) : 0;
}

double Format::seconds(uint64_t n) const { return rate ? static_cast<double>(n) / rate : 0.0; }

bool Format::accepts(const Format& o) const {
  return o.complete() && (sample == SampleType::Any || sample == o.sample) &&
         (channels == 0 || channels == o.channels) && (rate == 0 || rate == o.rate);
}

std::string Format::text() const {
  static const char* const kNames[] = {"any", "uint8", "int16", "float32"};
  const unsigned t = static_cast<unsigned>(sample);
  char b[96];
  std::snprintf(b, sizeof b, "%s %s ch %s Hz", t < 4 ? kNames[t] : "?",
                channels ? std::to_string(channels).c_str() : "any",
                rate ? std::to_string(rate).c_str() : "any");
  return b;
}

}  // namespace zkflow
