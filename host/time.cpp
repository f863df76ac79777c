// SPDX-License-Identifier: Apache-2.0
#include "zkflow/host/time.h"

#include <cmath>
#include <limits>

namespace Utils {

Time::Time(double seconds) : t(0) {
  if (std::isnan(seconds)) return;
  const double raw = seconds * 65536.0;
  // Out-of-range conversions are undefined in C++; saturate instead.
  if (raw >= 9223372036854775807.0) {
    t = std::numeric_limits<int64_t>::max();
  } else if (raw <= -9223372036854775808.0) {
    t = std::numeric_limits<int64_t>::min();
  } else {
    t = static_cast<int64_t>(raw);  // truncates toward zero
  }
}

Time::Time(uint64_t ticks, uint64_t frequency) : t(0) {
  if (frequency == 0) return;
  const uint64_t whole = ticks / frequency;
  const uint64_t rest = ticks % frequency;
  // rest < frequency, so rest << 16 overflows only for frequencies above
  // 2^48 Hz; use 128 bits to stay exact anyway.
  const unsigned __int128 frac = (static_cast<unsigned __int128>(rest) << 16) / frequency;
  t = static_cast<int64_t>((whole << 16) + static_cast<uint64_t>(frac));
}

}  // namespace Utils
