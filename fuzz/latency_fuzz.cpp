// SPDX-License-Identifier: Apache-2.0
// Latency statistics against a model kept in 128-bit integers.
//
// The input is a sequence of steps: samples (small, large, extreme), samples
// given as start and stop stamps, strategy changes (out-of-range values
// included), resets, copies and assignments. After every step each figure of
// the statistics is compared with the model: the sums are kept exactly in
// 128 bits and cut to the 64 bits the statistics wrap at, and each fixed-point
// truncation is worked out from the exact product or quotient. The standard
// deviation is also held against an exact integer square root.
#include <cmath>
#include <cstdint>

#include "fuzz/fuzz.h"
#include "zkflow/flow/latency.h"

namespace {

using i128 = __int128;
using u128 = unsigned __int128;

int64_t low64(i128 v) { return static_cast<int64_t>(static_cast<uint64_t>(static_cast<u128>(v))); }

// The fixed-point product: the exact product's low 64 bits, shifted right by
// 16 with the sign kept.
int64_t fixMul(int64_t a, int64_t b) { return low64(static_cast<i128>(a) * b) >> 16; }

// The fixed-point quotient of a value by a whole count n > 0: the dividend's
// low 64 bits after a shift by 16, over n shifted by 16, toward zero.
int64_t fixDivCount(int64_t a, uint32_t n) {
  const int64_t num = low64(static_cast<i128>(a) * 65536);
  const int64_t den = static_cast<int64_t>(n) << 16;
  return num / den;
}

// floor(sqrt(v)) for v >= 0.
u128 isqrt(u128 v) {
  if (v < 2) return v;
  u128 r = static_cast<u128>(std::sqrt(static_cast<double>(v)));
  while (r * r > v) --r;
  while ((r + 1) * (r + 1) <= v) ++r;
  return r;
}

struct Model {
  uint32_t count = 0;
  i128 sum = 0;           // exact
  i128 sumOfSquares = 0;  // exact sum of the truncated squares
  int64_t max = 0;
  int64_t min = 0;
  int32_t strategy = 0;

  void add(int64_t x) {
    if (count == 0) {
      max = min = x;
    } else if (x > max) {
      max = x;
    } else if (x < min) {
      min = x;
    }
    ++count;
    sum += x;
    sumOfSquares += fixMul(x, x);
  }

  int64_t average() const { return count == 0 ? 0 : fixDivCount(low64(sum), count); }

  // n times the variance, in raw units, as the statistics figure it.
  int64_t spread() const {
    const int64_t s = low64(sum);
    const int64_t m = fixDivCount(fixMul(s, s), count);
    return static_cast<int64_t>(static_cast<uint64_t>(low64(sumOfSquares)) - static_cast<uint64_t>(m));
  }

  int64_t deviation() const {
    if (count == 0) return 0;
    const int64_t d = spread();
    // Truncated squares can leave a tiny negative spread: no deviation.
    if (d <= 0) return 0;
    const double v = static_cast<double>(d) * 1.52587890625e-05 / static_cast<double>(count);
    return static_cast<int64_t>(std::sqrt(v) * 65536.0);
  }

  int64_t latency() const {
    int64_t mult;
    switch (strategy) {
      case 1: return average();
      case 2: mult = 83984; break;
      case 3: mult = 107793; break;
      case 4: mult = 152456; break;
      case 5: mult = 262144; break;
      default: return max;
    }
    return static_cast<int64_t>(static_cast<uint64_t>(average()) +
                                static_cast<uint64_t>(fixMul(deviation(), mult)));
  }
};

void compare(const ZtLatencyStats& s, const Model& m, int step) {
  ZKFLOW_FUZZ_CHECK(s.count() == m.count, "step %d: count %u, model %u", step, s.count(), m.count);
  ZKFLOW_FUZZ_CHECK(s.sum.raw() == low64(m.sum), "step %d: sum", step);
  ZKFLOW_FUZZ_CHECK(s.sumOfSquares.raw() == low64(m.sumOfSquares), "step %d: sum of squares", step);
  ZKFLOW_FUZZ_CHECK(s.latencyMax().raw() == m.max, "step %d: max %lld, model %lld", step,
               static_cast<long long>(s.latencyMax().raw()), static_cast<long long>(m.max));
  ZKFLOW_FUZZ_CHECK(s.latencyMin().raw() == m.min, "step %d: min %lld, model %lld", step,
               static_cast<long long>(s.latencyMin().raw()), static_cast<long long>(m.min));
  ZKFLOW_FUZZ_CHECK(static_cast<int32_t>(const_cast<ZtLatencyStats&>(s).strategy()) == m.strategy,
               "step %d: strategy", step);
  const int64_t avg = s.average().raw();
  ZKFLOW_FUZZ_CHECK(avg == m.average(), "step %d: average %lld, model %lld", step, static_cast<long long>(avg),
               static_cast<long long>(m.average()));
  // While the sum is below 2^47 the fixed-point mean is the plain one.
  if (m.count > 0 && m.sum > -(static_cast<i128>(1) << 47) && m.sum < (static_cast<i128>(1) << 47))
    ZKFLOW_FUZZ_CHECK(avg == static_cast<int64_t>(m.sum / m.count), "step %d: average is not sum / count", step);
  const int64_t dev = s.stdDeviation().raw();
  ZKFLOW_FUZZ_CHECK(dev == m.deviation(), "step %d: deviation %lld, model %lld", step, static_cast<long long>(dev),
               static_cast<long long>(m.deviation()));
  ZKFLOW_FUZZ_CHECK(dev >= 0, "step %d: negative deviation", step);
  if (m.count > 0 && m.spread() > 0) {
    // The double steps may lose a unit or so against the exact root of
    // spread * 65536 / n; more means the formula went wrong.
    const u128 exact = isqrt((static_cast<u128>(m.spread()) << 16) / m.count);
    const u128 got = static_cast<u128>(dev);
    const u128 slack = 2 + exact / (static_cast<u128>(1) << 40);
    ZKFLOW_FUZZ_CHECK(got + slack >= exact && got <= exact + slack, "step %d: deviation %lld, exact root %lld", step,
                 static_cast<long long>(dev), static_cast<long long>(exact));
  }
  ZKFLOW_FUZZ_CHECK(s.latency().raw() == m.latency(), "step %d: latency %lld, model %lld (strategy %d)", step,
               static_cast<long long>(s.latency().raw()), static_cast<long long>(m.latency()), m.strategy);
}

// A sample value: mostly realistic sizes, sometimes the edges of the range.
int64_t sampleValue(zkfuzz::Input& in) {
  switch (in.u8() % 8) {
    case 0: return static_cast<int16_t>(in.u16());
    case 1: return in.u16();
    case 2: return in.u32();  // up to 18 hours
    case 3: return static_cast<int32_t>(in.u32());
    case 4: return static_cast<int64_t>(in.u64());
    case 5: {
      static const int64_t edges[] = {0,         1,         -1,        65536,     -65536,
                                      INT64_MAX, INT64_MIN, 3037000499, -3037000499, INT64_MAX >> 16};
      return edges[in.u8() % (sizeof edges / sizeof edges[0])];
    }
    case 6: return static_cast<int64_t>(in.u8()) << (in.u8() % 56);
    default: return in.u8();
  }
}

}  // namespace

namespace zkfuzz {

int latencyOne(const uint8_t* data, size_t size) {
  Input in(data, size);
  ZtLatencyStats s;
  Model m;
  compare(s, m, 0);
  for (int step = 1; in.more() && step < 4096; ++step) {
    switch (in.u8() % 8) {
      case 0:
      case 1:
      case 2: {
        const int64_t x = sampleValue(in);
        s.addSample(Utils::Time::fromRaw(x));
        m.add(x);
        break;
      }
      case 3: {
        // The same through a sample's stamps: the duration wraps as the
        // statistics' sums do.
        ZtLatencySample sample;
        sample.startTime = Utils::Time::fromRaw(sampleValue(in));
        sample.stopTime = Utils::Time::fromRaw(sampleValue(in));
        sample.target(in.u32());
        const int64_t d = static_cast<int64_t>(static_cast<uint64_t>(sample.stopTime.raw()) -
                                               static_cast<uint64_t>(sample.startTime.raw()));
        ZKFLOW_FUZZ_CHECK(sample.duration().raw() == d, "step %d: sample duration", step);
        ZtLatencySample copy;
        copy = sample;
        s.add(copy);
        m.add(d);
        break;
      }
      case 4: {
        // Any 32-bit value may be stored; only 1 to 5 are not Max.
        const int32_t v = (in.u8() & 1) ? static_cast<int32_t>(in.u8() % 7) : static_cast<int32_t>(in.u32());
        s.strategy(static_cast<ZtLatencyStats::Strategy>(v));
        m.strategy = v;
        break;
      }
      case 5:
        if (in.u8() % 4 == 0) {
          s.reset();
          m = Model();
        }
        break;
      case 6: {
        // A copy and an assigned object read the same; the original goes on.
        ZtLatencyStats copy(s);
        compare(copy, m, step);
        ZtLatencyStats assigned;
        assigned.addSample(Utils::Time::fromRaw(12345));
        assigned = s;
        compare(assigned, m, step);
        break;
      }
      default: {
        // A run of one value: exercises the spread that truncation can make
        // negative, and growth of the sums.
        const int64_t x = sampleValue(in);
        const unsigned n = 1 + in.u8();
        for (unsigned i = 0; i < n; ++i) {
          s.addSample(Utils::Time::fromRaw(x));
          m.add(x);
        }
        break;
      }
    }
    compare(s, m, step);
  }
  return 0;
}

}  // namespace zkfuzz

ZKFLOW_FUZZ_ENTRY(latencyOne)
