// Utils::Time: fixed-point arithmetic on 1/65536 s, with exactly the stated
// truncations. Expected values are worked out by hand from the raw integers,
// so a change of rounding (floor vs toward zero, 128-bit vs low-64 products)
// shows up as a wrong raw value.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>

#include "host/clock.h"
#include "host/time.h"

namespace {

using Utils::Time;

constexpr int64_t kOne = 65536;  // raw value of one second
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

Time raw(int64_t r) { return Time::fromRaw(r); }

TEST(TimeTest, FromWholeNumbersShiftsBySixteen) {
  EXPECT_EQ(Time(3).raw(), 3 * kOne);
  EXPECT_EQ(Time(-2).raw(), -2 * kOne);
  EXPECT_EQ(Time(0).raw(), 0);
  EXPECT_EQ(Time(7u).raw(), 7 * kOne);
  EXPECT_EQ(Time(static_cast<int64_t>(-5)).raw(), -5 * kOne);
  EXPECT_EQ(Time(static_cast<uint64_t>(1) << 20).raw(), int64_t{1} << 36);
  EXPECT_EQ(Time().raw(), 0);
  // Low 64 bits of the shift: 2^47 seconds is the sign bit.
  EXPECT_EQ(Time(int64_t{1} << 47).raw(), kMin);
}

TEST(TimeTest, FromDoublesTruncatesTowardZero) {
  EXPECT_EQ(Time(1.5).raw(), 98304);
  EXPECT_EQ(Time(-1.5).raw(), -98304);
  // 0.3 * 65536 = 19660.8: toward zero on both sides, not floor.
  EXPECT_EQ(Time(0.3).raw(), 19660);
  EXPECT_EQ(Time(-0.3).raw(), -19660);
  // Less than one raw unit is 0, also when negative.
  EXPECT_EQ(Time(1e-5).raw(), 0);
  EXPECT_EQ(Time(-1e-5).raw(), 0);
  EXPECT_EQ(Time(0.5f).raw(), 32768);
  EXPECT_EQ(Time(-0.25f).raw(), -16384);
  // Outside the range: saturated, never undefined; NaN is 0.
  EXPECT_EQ(Time(1e300).raw(), kMax);
  EXPECT_EQ(Time(-1e300).raw(), kMin);
  EXPECT_EQ(Time(std::nan("")).raw(), 0);
}

TEST(TimeTest, WholePartKeepsTheSign) {
  EXPECT_EQ(Time(2.75).whole(), 2);
  // An arithmetic shift: the whole part of a negative time rounds down.
  EXPECT_EQ(Time(-1.5).whole(), -2);
  EXPECT_EQ(raw(-1).whole(), -1);
  EXPECT_EQ(Time(-3).whole(), -3);
  EXPECT_EQ(raw(kOne - 1).whole(), 0);
  EXPECT_EQ(raw(kMin).whole(), kMin >> 16);
}

TEST(TimeTest, SecondsIsRawTimesOneOver65536) {
  EXPECT_DOUBLE_EQ(raw(1).seconds(), 1.52587890625e-05);
  EXPECT_DOUBLE_EQ(raw(-98304).seconds(), -1.5);
  EXPECT_DOUBLE_EQ(Time(10).seconds(), 10.0);
  EXPECT_DOUBLE_EQ(Time().seconds(), 0.0);
}

TEST(TimeTest, SumDifferenceAndComparisonsAreSignedAndWrap) {
  EXPECT_EQ((Time(1.5) + Time(2)).raw(), 98304 + 2 * kOne);
  EXPECT_EQ((Time(1) - Time(3)).raw(), -2 * kOne);
  EXPECT_EQ((-Time(2)).raw(), -2 * kOne);
  // Wrapping, not undefined behaviour.
  EXPECT_EQ((raw(kMax) + raw(1)).raw(), kMin);
  EXPECT_EQ((raw(kMin) - raw(1)).raw(), kMax);
  EXPECT_EQ((-raw(kMin)).raw(), kMin);
  EXPECT_LT(raw(-1), raw(0));
  EXPECT_GT(raw(1), raw(-kOne));
  EXPECT_LE(Time(1), Time(1));
  EXPECT_GE(Time(1), Time(1));
  EXPECT_NE(Time(1), Time(2));
  Time t = Time(1);
  t += Time(2);
  t -= Time(0.5);
  EXPECT_EQ(t.raw(), 5 * kOne / 2);
}

TEST(TimeTest, ProductsShiftTheLow64BitsWithSignKept) {
  EXPECT_EQ((Time(2) * Time(3)).raw(), 6 * kOne);
  EXPECT_EQ((Time(1.5) * Time(1.5)).raw(), 147456);  // 2.25
  EXPECT_EQ((Time(-1.5) * Time(1.5)).raw(), -147456);
  EXPECT_EQ((Time(-2) * Time(-3)).raw(), 6 * kOne);
  // Below one raw unit: positive products truncate to 0 ...
  EXPECT_EQ((raw(1) * raw(1)).raw(), 0);
  // ... negative ones round down (arithmetic shift), not toward zero.
  EXPECT_EQ((raw(-1) * raw(1)).raw(), -1);
  EXPECT_EQ((raw(-3) * Time(0.5)).raw(), -2);  // -1.5 raw units
  EXPECT_EQ((raw(3) * Time(0.5)).raw(), 1);
  // Only the low 64 bits of the integer product count: 2^32 * 2^32 is 2^64,
  // which is 0; 2^47 * 2^16 is 2^63, the sign bit, shifted with the sign.
  EXPECT_EQ((raw(int64_t{1} << 32) * raw(int64_t{1} << 32)).raw(), 0);
  EXPECT_EQ((raw(int64_t{1} << 47) * raw(kOne)).raw(), -(int64_t{1} << 47));
  Time t = Time(3);
  t *= Time(0.5);
  EXPECT_EQ(t.raw(), 98304);
}

TEST(TimeTest, QuotientsTruncateTowardZero) {
  EXPECT_EQ((Time(6) / Time(3)).raw(), 2 * kOne);
  EXPECT_EQ((Time(3) / Time(2)).raw(), 98304);
  // 2^32 / 196608 = 21845.33...
  EXPECT_EQ((Time(1) / Time(3)).raw(), 21845);
  // Toward zero for every sign combination (floor would give -21846).
  EXPECT_EQ((Time(-1) / Time(3)).raw(), -21845);
  EXPECT_EQ((Time(1) / Time(-3)).raw(), -21845);
  EXPECT_EQ((Time(-1) / Time(-3)).raw(), 21845);
  EXPECT_EQ((raw(-1) / Time(2)).raw(), 0);  // -0.5 raw units
  EXPECT_EQ((raw(5) / raw(-1)).raw(), -5 * kOne);
  // The dividend keeps the low 64 bits of its shift: 2^48 << 16 is 0, and
  // 2^47 << 16 is the sign bit.
  EXPECT_EQ((raw(int64_t{1} << 48) / raw(1)).raw(), 0);
  EXPECT_EQ((raw(int64_t{1} << 47) / raw(kOne)).raw(), -(int64_t{1} << 47));
  // The one quotient that traps in hardware wraps here instead.
  EXPECT_EQ((raw(-(int64_t{1} << 47)) / raw(-1)).raw(), kMin);
  Time t = Time(1);
  t /= Time(4);
  EXPECT_EQ(t.raw(), kOne / 4);
}

TEST(TimeTest, DivisionByZeroGivesZero) {
  EXPECT_EQ((Time(5) / Time()).raw(), 0);
  EXPECT_EQ((Time(-5) / Time(0)).raw(), 0);
  EXPECT_EQ((Time() / Time()).raw(), 0);
  Time t = Time(1);
  t /= Time();
  EXPECT_EQ(t.raw(), 0);
}

TEST(TimeTest, FromTicksAtAFrequency) {
  EXPECT_EQ(Time(uint64_t{3}, uint64_t{2}).raw(), 98304);  // 1.5 s
  EXPECT_EQ(Time(uint64_t{1}, uint64_t{3}).raw(), 21845);  // truncated
  EXPECT_EQ(Time(uint64_t{5500000000}, uint64_t{1000000000}).raw(), 360448);  // 5.5 s
  EXPECT_EQ(Time(uint64_t{0}, uint64_t{1000}).raw(), 0);
  EXPECT_EQ(Time(uint64_t{12345}, uint64_t{0}).raw(), 0);  // no frequency
  // One nanosecond tick at 1 GHz is below a raw unit.
  EXPECT_EQ(Time(uint64_t{1}, uint64_t{1000000000}).raw(), 0);
  // Fractions at frequencies past 2^48 Hz still come out exact.
  EXPECT_EQ(Time(uint64_t{1} << 60, uint64_t{1} << 61).raw(), kOne / 2);
  // A large count: a year of nanoseconds plus a quarter second.
  const uint64_t year = 365ull * 24 * 3600;
  EXPECT_EQ(Time(year * 1000000000ull + 250000000ull, uint64_t{1000000000}).raw(),
            static_cast<int64_t>(year) * kOne + kOne / 4);
}

// ZtClock reads the monotonic clock that steady_clock reads too, so a reading
// taken between two of steady_clock's must fall between them, to within the
// 1/65536 s that the truncation may cost.
TEST(ClockTest, AgreesWithTheMonotonicClockAndNeverStepsBack) {
  using namespace std::chrono;
  for (int i = 0; i < 1000; ++i) {
    const auto before = duration<double>(steady_clock::now().time_since_epoch()).count();
    const Time now = ZtClock::timeNow();
    const auto after = duration<double>(steady_clock::now().time_since_epoch()).count();
    ASSERT_GE(now.seconds(), before - 1.0 / 65536) << "reading " << i;
    ASSERT_LE(now.seconds(), after) << "reading " << i;
  }
  Time last = ZtClock::timeNow();
  for (int i = 0; i < 100000; ++i) {
    const Time t = ZtClock::timeNow();
    ASSERT_GE(t, last);
    last = t;
  }
}

}  // namespace
