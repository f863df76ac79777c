// SPDX-License-Identifier: Apache-2.0
// Utils::Time: a signed 64-bit count of 1/65536 second (16 fractional bits).
//
// The arithmetic is fixed-point and its truncations are part of the contract:
// several results of the flow library (clipping, latency figures, pacing) are
// stated to the last raw unit and depend on exactly these rules.
//
//   a + b, a - b    plain 64-bit arithmetic on the raw values (wrapping)
//   a * b           low 64 bits of the integer product, shifted right by 16
//                   with the sign kept
//   a / b           dividend shifted left by 16 (low 64 bits kept), divided as
//                   signed 64-bit integers, truncated toward zero; a divisor of
//                   0 gives 0 instead of a trap
//   Time(n)         whole number n shifted left by 16
//   Time(double s)  s * 65536 truncated toward zero (saturating outside the
//                   64-bit range; NaN gives 0)
//   whole()         raw value shifted right by 16 with the sign kept
//   seconds()       raw value times 1/65536
//
// Thread safety: a value type; distinct objects may be used from any thread.
#pragma once

#include <cstdint>

#include "zkflow/host/export.h"

namespace Utils {

struct ZKFLOW_EXPORT Time {
  int64_t t;

  constexpr Time() : t(0) {}
  // From whole numbers of seconds.
  constexpr Time(int n) : t(static_cast<int64_t>(static_cast<uint64_t>(static_cast<int64_t>(n)) << 16)) {}
  constexpr Time(unsigned int n) : t(static_cast<int64_t>(static_cast<uint64_t>(n) << 16)) {}
  constexpr Time(long n) : t(static_cast<int64_t>(static_cast<uint64_t>(static_cast<int64_t>(n)) << 16)) {}
  constexpr Time(unsigned long n) : t(static_cast<int64_t>(static_cast<uint64_t>(n) << 16)) {}
  constexpr Time(long long n) : t(static_cast<int64_t>(static_cast<uint64_t>(n) << 16)) {}
  constexpr Time(unsigned long long n) : t(static_cast<int64_t>(static_cast<uint64_t>(n) << 16)) {}
  // From a floating count of seconds, truncated toward zero.
  Time(double seconds);
  Time(float seconds) : Time(static_cast<double>(seconds)) {}
  // A tick count at a tick frequency (ticks per second). A frequency of 0
  // gives 0. Exact for any count whose result fits: whole seconds and the
  // remainder are converted apart, so nothing overflows on the way.
  Time(uint64_t ticks, uint64_t frequency);

  // The raw 64-bit value and back.
  static constexpr Time fromRaw(int64_t raw) { Time r; r.t = raw; return r; }
  constexpr int64_t raw() const { return t; }

  // Whole seconds (sign kept) and seconds as a floating value.
  constexpr int64_t whole() const { return t >> 16; }
  constexpr double seconds() const { return static_cast<double>(t) * (1.0 / 65536.0); }

  constexpr Time operator+(Time o) const { return fromRaw(static_cast<int64_t>(static_cast<uint64_t>(t) + static_cast<uint64_t>(o.t))); }
  constexpr Time operator-(Time o) const { return fromRaw(static_cast<int64_t>(static_cast<uint64_t>(t) - static_cast<uint64_t>(o.t))); }
  constexpr Time operator-() const { return fromRaw(static_cast<int64_t>(0 - static_cast<uint64_t>(t))); }
  constexpr Time operator*(Time o) const {
    // Low 64 bits of the product, then an arithmetic shift.
    return fromRaw(static_cast<int64_t>(static_cast<uint64_t>(t) * static_cast<uint64_t>(o.t)) >> 16);
  }
  constexpr Time operator/(Time o) const {
    if (o.t == 0) return Time();
    int64_t num = static_cast<int64_t>(static_cast<uint64_t>(t) << 16);
    // INT64_MIN / -1 is the one quotient that traps; its true value wraps.
    if (o.t == -1) return fromRaw(static_cast<int64_t>(0 - static_cast<uint64_t>(num)));
    return fromRaw(num / o.t);
  }
  Time& operator+=(Time o) { return *this = *this + o; }
  Time& operator-=(Time o) { return *this = *this - o; }
  Time& operator*=(Time o) { return *this = *this * o; }
  Time& operator/=(Time o) { return *this = *this / o; }

  constexpr bool operator==(const Time& o) const { return t == o.t; }
  constexpr bool operator!=(const Time& o) const { return t != o.t; }
  constexpr bool operator<(const Time& o) const { return t < o.t; }
  constexpr bool operator<=(const Time& o) const { return t <= o.t; }
  constexpr bool operator>(const Time& o) const { return t > o.t; }
  constexpr bool operator>=(const Time& o) const { return t >= o.t; }
};

}  // namespace Utils
