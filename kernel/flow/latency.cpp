// SPDX-License-Identifier: Apache-2.0
#include "zkflow/flow/latency.h"

#include <cmath>

#include "zkflow/host/clock.h"

namespace {

// The deviation multipliers are made from their decimal constants by the
// Time(double) conversion, which truncates: 1.2815 s is 83984 raw units, not
// 83984.384. Rounding them instead would move every percentile figure.
Utils::Time deviationMultiplier(ZtLatencyStats::Strategy s) {
  switch (s) {
    case ZtLatencyStats::Percentile90: return Utils::Time(1.2815);
    case ZtLatencyStats::Percentile95: return Utils::Time(1.6448);
    case ZtLatencyStats::Percentile99: return Utils::Time(2.3263);
    case ZtLatencyStats::FourSigma: return Utils::Time(4.0);
    default: return Utils::Time();
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// ZtLatencySample

ZtLatencySample::ZtLatencySample() { init(); }

ZtLatencySample::ZtLatencySample(unsigned int target) {
  // Zero everything first so that stopTime reads as 0, not as garbage, until
  // stop() is called.
  init();
  start(target);
}

ZtLatencySample& ZtLatencySample::operator=(const ZtLatencySample& o) {
  startTime = o.startTime;
  stopTime = o.stopTime;
  target_ = o.target_;
  return *this;
}

void ZtLatencySample::init() {
  startTime = Utils::Time();
  stopTime = Utils::Time();
  target_ = 0;
}

void ZtLatencySample::start(unsigned int target) {
  target_ = target;
  startTime = ZtClock::timeNow();
}

void ZtLatencySample::start(unsigned int target, Utils::Time offset) {
  target_ = target;
  startTime = ZtClock::timeNow() + offset;
}

void ZtLatencySample::stop() { stopTime = ZtClock::timeNow(); }

Utils::Time ZtLatencySample::duration() const { return stopTime - startTime; }

// ---------------------------------------------------------------------------
// ZtLatencyStats

ZtLatencyStats::ZtLatencyStats() { init(); }

ZtLatencyStats& ZtLatencyStats::operator=(const ZtLatencyStats& o) {
  count_ = o.count_;
  sum = o.sum;
  sumOfSquares = o.sumOfSquares;
  latencyMax_ = o.latencyMax_;
  latencyMin_ = o.latencyMin_;
  strategy_ = o.strategy_;
  return *this;
}

void ZtLatencyStats::init() {
  count_ = 0;
  sum = Utils::Time();
  sumOfSquares = Utils::Time();
  latencyMax_ = Utils::Time();
  latencyMin_ = Utils::Time();
  strategy_ = Max;
}

void ZtLatencyStats::reset() { init(); }

void ZtLatencyStats::add(const ZtLatencySample& s) { addSample(s.stopTime - s.startTime); }

void ZtLatencyStats::addSample(Utils::Time x) {
  if (count_ == 0) {
    latencyMax_ = x;
    latencyMin_ = x;
  } else if (x > latencyMax_) {
    // A new maximum cannot also be a new minimum once a sample is in.
    latencyMax_ = x;
  } else if (x < latencyMin_) {
    latencyMin_ = x;
  }
  ++count_;
  // Time's + and * work on unsigned bits, so a wrap here is silent and
  // defined rather than signed overflow.
  sum += x;
  sumOfSquares += x * x;
}

Utils::Time ZtLatencyStats::average() const {
  if (count_ == 0) return Utils::Time();
  // The fixed-point quotient, not sum / count: the two part ways once |sum|
  // reaches 2^47, and the figures must not depend on which one was used.
  return sum / Utils::Time(count_);
}

Utils::Time ZtLatencyStats::stdDeviation() const {
  if (count_ == 0) return Utils::Time();
  const Utils::Time n(count_);
  const Utils::Time m = (sum * sum) / n;  // (sum x)^2 / n
  const Utils::Time d = sumOfSquares - m;  // n * variance
  // Every square in sumOfSquares was truncated while (sum x)^2 was truncated
  // once, so for samples that barely differ d can fall below 0. Treat that
  // as no spread at all instead of taking the root of a negative number
  // (which would be a NaN, and converting a NaN to an integer is undefined).
  if (d.raw() <= 0) return Utils::Time();
  // The root is taken in double, in this order: raw units to seconds, then
  // divided by n, root, back to raw units truncated toward zero. d < 2^63
  // bounds the result below 2^39.5 raw units, so the final conversion always
  // fits.
  double v = static_cast<double>(d.raw()) * 1.52587890625e-05;
  v /= static_cast<double>(count_);
  const double r = std::sqrt(v);
  return Utils::Time::fromRaw(static_cast<int64_t>(r * 65536.0));
}

Utils::Time ZtLatencyStats::latency() const {
  switch (strategy_) {
    case Average:
      return average();
    case Percentile90:
    case Percentile95:
    case Percentile99:
    case FourSigma:
      return average() + stdDeviation() * deviationMultiplier(strategy_);
    default:
      // Max, and any value cast in from outside the enumeration.
      return latencyMax_;
  }
}
