#include "kernel/flow/latency.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "common/testutil.h"
#include "host/clock.h"
#include "host/time.h"

namespace {

using Utils::Time;
using S = ZtLatencyStats::Strategy;

constexpr S kStrategies[] = {ZtLatencyStats::Max,          ZtLatencyStats::Average,
                             ZtLatencyStats::Percentile90, ZtLatencyStats::Percentile95,
                             ZtLatencyStats::Percentile99, ZtLatencyStats::FourSigma};

Time raw(int64_t r) { return Time::fromRaw(r); }

// The figure `stats` gives under strategy `s`, without touching `stats`.
int64_t latencyUnder(ZtLatencyStats stats, S s) {
  stats.strategy(s);
  return stats.latency().raw();
}

ZtLatencyStats statsOf(const std::vector<int64_t>& samples) {
  ZtLatencyStats st;
  for (int64_t x : samples) st.addSample(raw(x));
  return st;
}

// ---------------------------------------------------------------------------
// Fixed figures

// Samples of 0 s and 1 s, to the raw unit under every strategy.
TEST(LatencyStatsTest, WorkedExample) {
  ZtLatencyStats st = statsOf({0, 65536});
  EXPECT_EQ(st.count(), 2u);
  EXPECT_EQ(st.sum.raw(), 65536);
  EXPECT_EQ(st.sumOfSquares.raw(), 65536);
  EXPECT_EQ(st.average().raw(), 32768);
  EXPECT_EQ(st.stdDeviation().raw(), 32768);
  EXPECT_EQ(st.latencyMin().raw(), 0);
  EXPECT_EQ(st.latencyMax().raw(), 65536);

  const int64_t expected[] = {65536, 32768, 74760, 86664, 108996, 163840};
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    // Setting the strategy keeps the figures: the same object, switched in
    // place, gives every value in turn.
    st.strategy(kStrategies[i]);
    EXPECT_EQ(st.strategy(), kStrategies[i]);
    EXPECT_EQ(st.latency().raw(), expected[i]);
  }
  EXPECT_EQ(st.count(), 2u);
}

TEST(LatencyStatsTest, EmptyIsZeroUnderEveryStrategy) {
  ZtLatencyStats st;
  EXPECT_EQ(st.strategy(), ZtLatencyStats::Max);
  EXPECT_EQ(st.count(), 0u);
  EXPECT_EQ(st.average().raw(), 0);
  EXPECT_EQ(st.stdDeviation().raw(), 0);
  EXPECT_EQ(st.latencyMax().raw(), 0);
  EXPECT_EQ(st.latencyMin().raw(), 0);
  for (S s : kStrategies) EXPECT_EQ(latencyUnder(st, s), 0) << s;
}

TEST(LatencyStatsTest, OneSampleGivesItselfUnderEveryStrategy) {
  for (int64_t x : {int64_t{12345}, int64_t{-7}, int64_t{3 * 65536 + 1}, int64_t{1} << 30}) {
    SCOPED_TRACE(x);
    ZtLatencyStats st = statsOf({x});
    EXPECT_EQ(st.latencyMax().raw(), x);
    EXPECT_EQ(st.latencyMin().raw(), x);
    EXPECT_EQ(st.average().raw(), x);
    EXPECT_EQ(st.stdDeviation().raw(), 0);
    for (S s : kStrategies) EXPECT_EQ(latencyUnder(st, s), x) << s;
  }
}

TEST(LatencyStatsTest, StrategyOutsideOneToFiveMeansMax) {
  ZtLatencyStats st = statsOf({0, 65536, 1000});
  for (int32_t v : {0, 6, 7, 100, -1, std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max()}) {
    EXPECT_EQ(latencyUnder(st, static_cast<S>(v)), 65536) << v;
  }
}

TEST(LatencyStatsTest, ResetClearsFiguresAndStrategy) {
  ZtLatencyStats st = statsOf({5, -9, 70000});
  st.strategy(ZtLatencyStats::Percentile95);
  st.reset();
  EXPECT_EQ(st.strategy(), ZtLatencyStats::Max);
  EXPECT_EQ(st.count(), 0u);
  EXPECT_EQ(st.sum.raw(), 0);
  EXPECT_EQ(st.sumOfSquares.raw(), 0);
  EXPECT_EQ(st.latencyMax().raw(), 0);
  EXPECT_EQ(st.latencyMin().raw(), 0);
  // The next sample is again the first: it sets both extremes.
  st.addSample(raw(40));
  EXPECT_EQ(st.latencyMax().raw(), 40);
  EXPECT_EQ(st.latencyMin().raw(), 40);
}

// A thousand samples of 300 raw units: each square truncates to 1, the
// squared sum does not, and the variance term is -373. No NaN, no trap: the
// deviation is 0 and the percentiles fall back to the mean.
TEST(LatencyStatsTest, NegativeVarianceGivesZeroDeviation) {
  ZtLatencyStats st;
  for (int i = 0; i < 1000; ++i) st.addSample(raw(300));
  EXPECT_EQ(st.sumOfSquares.raw(), 1000);
  const Time m = (st.sum * st.sum) / Time(st.count());
  EXPECT_EQ(m.raw(), 1373);
  EXPECT_EQ((st.sumOfSquares - m).raw(), -373);
  EXPECT_EQ(st.stdDeviation().raw(), 0);
  for (S s : kStrategies) EXPECT_EQ(latencyUnder(st, s), 300) << s;
}

TEST(LatencyStatsTest, AverageIsTheFixedPointQuotient) {
  // Truncated toward zero, not floored: -3 / 2 is -1.
  EXPECT_EQ(statsOf({-1, -2}).average().raw(), -1);
  EXPECT_EQ(statsOf({1, 2}).average().raw(), 1);
  // Just below 2^47 the quotient is still the plain mean.
  const int64_t big = (int64_t{1} << 47) - 1;
  EXPECT_EQ(statsOf({big}).average().raw(), big);
  // At 2^47 the shifted dividend reaches the sign bit: the figure wraps to
  // -2^47 rather than being computed some other (wider) way.
  EXPECT_EQ(statsOf({int64_t{1} << 47}).average().raw(), -(int64_t{1} << 47));
}

TEST(LatencyStatsTest, SumsWrapSilently) {
  const int64_t maxRaw = std::numeric_limits<int64_t>::max();
  ZtLatencyStats st = statsOf({maxRaw, maxRaw});
  EXPECT_EQ(st.sum.raw(), -2);
  // 2^32 squared is 2^64, whose low 64 bits are 0: the square is kept to
  // 64 bits before the shift, never widened.
  EXPECT_EQ(statsOf({int64_t{1} << 32}).sumOfSquares.raw(), 0);
  // (2^31.5 ~ 3037000500)^2 just passes 2^63: the low bits read negative.
  EXPECT_LT(statsOf({3037000500}).sumOfSquares.raw(), 0);
}

// Past the stated limits the figures are meaningless, but every operation
// must stay defined (the sanitizer builds trap on signed overflow and on
// out-of-range float conversions) and the deviation is never negative.
TEST(LatencyStatsTest, ExtremeSamplesStayDefined) {
  const int64_t lo = std::numeric_limits<int64_t>::min();
  const int64_t hi = std::numeric_limits<int64_t>::max();
  const std::vector<std::vector<int64_t>> sets = {
      {lo}, {hi}, {lo, hi}, {hi, hi, hi}, {lo, lo}, {-1, lo, 0},
      {int64_t{1} << 40, -(int64_t{1} << 40)}, {3037000499, 3037000499, 1}};
  for (const auto& set : sets) {
    ZtLatencyStats st = statsOf(set);
    EXPECT_GE(st.stdDeviation().raw(), 0);
    for (S s : kStrategies) (void)latencyUnder(st, s);
  }
}

// ---------------------------------------------------------------------------
// Randomised check against a 128-bit model

struct Model {
  __int128 s = 0, q = 0;
  int64_t mx = 0, mn = 0;
  unsigned n = 0;
  void add(int64_t x) {
    if (n == 0 || x > mx) mx = x;
    if (n == 0 || x < mn) mn = x;
    ++n;
    s += x;
    q += (static_cast<__int128>(x) * x) >> 16;
  }
};

// Within the exact range (|x| < 2^20 raw, a few hundred samples) every
// truncation is known, so the stats must match the model to the raw unit;
// the deviation must also be the true population deviation up to the
// truncations (which catches n - 1 for n, or a wrong order of operations).
TEST(LatencyStatsTest, MatchesWideIntegerModel) {
  std::mt19937_64 rng(20240611);
  const int rounds = static_cast<int>(zktest::scaled(400, 4));
  for (int round = 0; round < rounds; ++round) {
    const int n = 1 + static_cast<int>(rng() % 300);
    // Spread from nearly equal samples (negative variance territory) to wide.
    const int64_t base = static_cast<int64_t>(rng() % (1u << 20)) - (1 << 19);
    const int64_t spread = int64_t{1} << (rng() % 20);
    ZtLatencyStats st;
    Model m;
    std::vector<int64_t> xs;
    for (int i = 0; i < n; ++i) {
      const int64_t x = base + static_cast<int64_t>(rng() % spread);
      xs.push_back(x);
      st.addSample(raw(x));
      m.add(x);
    }
    SCOPED_TRACE(round);
    ASSERT_EQ(st.count(), m.n);
    ASSERT_EQ(st.sum.raw(), static_cast<int64_t>(m.s));
    ASSERT_EQ(st.sumOfSquares.raw(), static_cast<int64_t>(m.q));
    ASSERT_EQ(st.latencyMax().raw(), m.mx);
    ASSERT_EQ(st.latencyMin().raw(), m.mn);

    const int64_t avg = static_cast<int64_t>(m.s / n);  // truncates toward zero
    ASSERT_EQ(st.average().raw(), avg);

    const __int128 p = (m.s * m.s) >> 16;
    const __int128 d = m.q - p / n;
    int64_t dev = 0;
    if (d > 0) {
      dev = static_cast<int64_t>(
          std::sqrt(static_cast<double>(d) * (1.0 / 65536.0) / n) * 65536.0);
    }
    ASSERT_EQ(st.stdDeviation().raw(), dev);

    // Against the true deviation in raw units: d * 65536 misses
    // sum(x^2) - S^2/n by at most (n + 1) * 65536, and dev is truncated.
    long double mean = 0, var = 0;
    for (int64_t x : xs) mean += x;
    mean /= n;
    for (int64_t x : xs) var += (x - mean) * (x - mean);
    var /= n;
    const long double dd = static_cast<long double>(dev);
    ASSERT_LE(std::fabs(dd * dd - var), 65536.0L * (n + 1) / n + 2 * dd + 1)
        << "dev " << dev << " true " << std::sqrt(var);

    const int64_t mult[] = {83984, 107793, 152456, 262144};
    ASSERT_EQ(latencyUnder(st, ZtLatencyStats::Max), m.mx);
    ASSERT_EQ(latencyUnder(st, ZtLatencyStats::Average), avg);
    for (int k = 0; k < 4; ++k) {
      ASSERT_EQ(latencyUnder(st, static_cast<S>(2 + k)), avg + ((dev * mult[k]) >> 16)) << k;
    }
  }
}

// ---------------------------------------------------------------------------
// Copies

TEST(LatencyStatsTest, HeapObjectsGoThroughTheAllocator) {
  zktest::LiveCount live;
  auto* st = new ZtLatencyStats;
  auto* sm = new ZtLatencySample[3];
  ASSERT_NE(st, nullptr);
  ASSERT_NE(sm, nullptr);
  EXPECT_EQ(live.now(), live.start() + 2);
  EXPECT_EQ(st->count(), 0u);
  EXPECT_EQ(sm[2].target(), 0u);
  delete st;
  delete[] sm;
  live.expectBack();
}

// ---------------------------------------------------------------------------
// Samples on the shared clock

TEST(LatencySampleTest, StampsFromTheClock) {
  const Time before = ZtClock::timeNow();
  ZtLatencySample s(17);
  const Time mid = ZtClock::timeNow();
  EXPECT_EQ(s.target(), 17u);
  EXPECT_GE(s.startTime, before);
  EXPECT_LE(s.startTime, mid);
  EXPECT_EQ(s.stopTime.raw(), 0);  // not stopped yet: defined, not garbage
  s.stop();
  const Time after = ZtClock::timeNow();
  EXPECT_GE(s.stopTime, mid);
  EXPECT_LE(s.stopTime, after);
  EXPECT_GE(s.duration().raw(), 0);
  EXPECT_LE(s.duration(), after - before);

  // Reuse: start again moves the start forward and takes the new target.
  s.start(18);
  EXPECT_EQ(s.target(), 18u);
  EXPECT_GE(s.startTime, after);
}

TEST(LatencySampleTest, OffsetReducesTheDurationAndMayMakeItNegative) {
  const Time offset(1000);
  const Time before = ZtClock::timeNow();
  ZtLatencySample s;
  s.start(3, offset);
  s.stop();
  const Time after = ZtClock::timeNow();
  EXPECT_EQ(s.target(), 3u);
  EXPECT_GE(s.duration(), -offset);
  EXPECT_LE(s.duration(), (after - before) - offset);

  // Fed to stats, it counts like any other and becomes the minimum.
  ZtLatencyStats st;
  st.addSample(raw(10));
  st.add(s);
  EXPECT_EQ(st.count(), 2u);
  EXPECT_EQ(st.latencyMin(), s.duration());
  EXPECT_EQ(st.sum, raw(10) + s.duration());
}

// The clock is shared: a sample started on one thread and stopped on another
// (handed over through a synchronised join) never runs backwards.
TEST(LatencySampleTest, StartAndStopOnDifferentThreads) {
  for (int i = 0; i < 20; ++i) {
    ZtLatencySample s;
    s.start(static_cast<unsigned>(i));
    zktest::BoundedThread t([&s] { s.stop(); });
    ASSERT_TRUE(t.join());
    EXPECT_GE(s.duration().raw(), 0);
  }
}

}  // namespace
