// SPDX-License-Identifier: Apache-2.0
// Utils::Time: fixed-point arithmetic on 1/65536 s with exactly its stated
// truncations. Expected raw values are worked out by hand, so a change of
// rounding (floor vs toward zero, 128-bit vs low-64 products) shows up.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "zkflow/host/time.h"

namespace {

using Utils::Time;

constexpr int64_t kOne = 65536;  // raw value of one second
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kBit47 = int64_t{1} << 47;

Time raw(int64_t r) { return Time::fromRaw(r); }
Time ticks(uint64_t n, uint64_t freq) { return Time(n, freq); }

struct Case {
  const char* what;
  int64_t got, want;
};

TEST(TimeTest, TruncationsToTheLastRawUnit) {
  const uint64_t year = 365ull * 24 * 3600;
  const Case cases[] = {
      {"2^47 s wraps to the sign bit", Time(kBit47).raw(), kMin},
      {"double toward zero", Time(0.3).raw(), 19660},  // 19660.8
      {"negative double toward zero", Time(-0.3).raw(), -19660},
      {"below a raw unit", Time(-1e-5).raw(), 0},
      {"float", Time(-0.25f).raw(), -16384},
      {"saturated high", Time(1e300).raw(), kMax},
      {"saturated low", Time(-1e300).raw(), kMin},
      {"NaN", Time(std::nan("")).raw(), 0},
      {"whole rounds down", Time(-1.5).whole(), -2},
      {"whole below one", raw(kOne - 1).whole(), 0},
      {"sum wraps", (raw(kMax) + raw(1)).raw(), kMin},
      {"difference wraps", (raw(kMin) - raw(1)).raw(), kMax},
      {"negation wraps", (-raw(kMin)).raw(), kMin},
      {"tiny positive product", (raw(1) * raw(1)).raw(), 0},
      {"tiny negative product rounds down", (raw(-1) * raw(1)).raw(), -1},
      {"-1.5 raw units", (raw(-3) * Time(0.5)).raw(), -2},
      {"+1.5 raw units", (raw(3) * Time(0.5)).raw(), 1},
      {"low 64 bits: 2^64 is 0", (raw(int64_t{1} << 32) * raw(int64_t{1} << 32)).raw(), 0},
      {"low 64 bits: sign bit", (raw(kBit47) * raw(kOne)).raw(), -kBit47},
      {"quotient", (Time(1) / Time(3)).raw(), 21845},
      {"quotient toward zero", (Time(-1) / Time(3)).raw(), -21845},
      {"negative divisor", (Time(1) / Time(-3)).raw(), -21845},
      {"-0.5 raw units", (raw(-1) / Time(2)).raw(), 0},
      {"dividend shift keeps low bits", (raw(int64_t{1} << 48) / raw(1)).raw(), 0},
      {"dividend shift to sign bit", (raw(kBit47) / raw(kOne)).raw(), -kBit47},
      {"the trapping quotient wraps", (raw(-kBit47) / raw(-1)).raw(), kMin},
      {"division by zero", (Time(-5) / Time()).raw(), 0},
      {"ticks truncated", ticks(1, 3).raw(), 21845},
      {"no frequency", ticks(12345, 0).raw(), 0},
      {"past 2^48 Hz", ticks(uint64_t{1} << 60, uint64_t{1} << 61).raw(), kOne / 2},
      {"a year of ns and a quarter", ticks(year * 1000000000ull + 250000000ull, 1000000000).raw(),
       static_cast<int64_t>(year) * kOne + kOne / 4},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_DOUBLE_EQ(raw(-98304).seconds(), -1.5);
  Time t = Time(3);
  t *= Time(0.5);
  t /= Time(0.25);
  t -= Time(1);
  t += raw(1);
  EXPECT_EQ(t.raw(), 5 * kOne + 1);
  EXPECT_LT(raw(-1), raw(0));
}

}  // namespace
