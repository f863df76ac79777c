// SPDX-License-Identifier: Apache-2.0
// Latency samples and their running statistics.
//
// A ZtLatencySample times one piece of work between a start stamp and a stop
// stamp read from the shared clock (ZtClock::timeNow). A ZtLatencyStats folds
// any number of such durations into a count, a sum, a sum of squares, a
// maximum and a minimum, and turns them into one "latency" figure according to
// its Strategy: the worst case, the mean, or the mean plus a fixed multiple of
// the standard deviation.
//
// Thread safety: neither class locks anything. Distinct objects may be used
// from any threads at once; one object must be serialised by its owner (a flow
// task serialises its own statistics on its loop thread). Readings of the
// clock taken on different threads may be subtracted, so a sample may be
// started on one thread and stopped on another, provided the hand-over between
// the two threads is itself synchronised.
//
// Ownership: both are plain values that own nothing, allocate nothing and may
// be copied freely; copies are field by field. They carry ZKFLOW_HEAP_OBJECT so
// that a host that makes one with `new` goes through the library's allocator.
//
// Fixed point: every figure is a Utils::Time (1/65536 s, signed 64-bit) and
// is computed with that type's own truncations, so results are exact to the
// raw unit and the same on every build. The sums wrap silently on 64-bit
// overflow; the figures hold while the samples and their sum stay within the
// limits noted on each operation below, and become meaningless (but never
// undefined, never a trap) past them, until reset().
//
// Field names: a field keeps its plain name unless an accessor of the same
// name exists, in which case the field carries a trailing underscore (count_
// behind count()).
#pragma once

#include <cstdint>

#include "zkflow/host/allocator.h"
#include "zkflow/host/export.h"
#include "zkflow/host/time.h"

// One timed piece of work.
//
// Thread safety: a plain value; see the top of this file.
struct ZKFLOW_EXPORT ZtLatencySample {
  ZKFLOW_HEAP_OBJECT

  // Clock time at which the work started, possibly shifted by the offset
  // given to start().
  Utils::Time startTime;
  // Clock time at which the work ended.
  Utils::Time stopTime;
  // The target position of the timed work. Stored for the caller, never
  // interpreted here.
  unsigned int target_;

  // Every field 0.
  ZtLatencySample();
  // Sets the target and stamps startTime with the clock. stopTime stays 0
  // until stop(): a value read before stop() is defined, just not useful.
  // Explicit, so that a bare number can never turn into a sample stamped
  // behind the caller's back (for instance in ZtLatencyStats::add(5)).
  explicit ZtLatencySample(unsigned int target);
  ZtLatencySample(const ZtLatencySample&) = default;
  ZtLatencySample& operator=(const ZtLatencySample& o);

  unsigned int target() const { return target_; }
  void target(unsigned int t) { target_ = t; }

  // Sets the target; startTime = now.
  void start(unsigned int target);
  // Sets the target; startTime = now + offset, so the duration measured at
  // stop() is reduced by `offset` (and may come out negative).
  void start(unsigned int target, Utils::Time offset);
  // stopTime = now.
  void stop();
  // stopTime - startTime (wrapping 64-bit difference); may be negative.
  Utils::Time duration() const;

 private:
  ZKFLOW_INTERNAL void init();
};

// Running statistics over latency durations.
//
// Thread safety: a plain value; the owner serialises addSample()/add() with
// every other call. Concurrent addSample() calls on one object are a data
// race.
//
// Cost: addSample() is a few integer operations. latency() under the
// deviation strategies recomputes the mean and one square root on every call;
// nothing is cached, so reading it never sees a stale figure.
struct ZKFLOW_EXPORT ZtLatencyStats {
  ZKFLOW_HEAP_OBJECT

  // How latency() is figured. A 32-bit enumeration; any stored value other
  // than 1 to 5 (0 included) means Max, so a value cast in from outside is
  // always safe.
  enum Strategy : int32_t {
    Max = 0,           // latencyMax()
    Average = 1,       // average()
    Percentile90 = 2,  // average() + 1.2815 x stdDeviation()
    Percentile95 = 3,  // average() + 1.6448 x stdDeviation()
    Percentile99 = 4,  // average() + 2.3263 x stdDeviation()
    FourSigma = 5      // average() + 4 x stdDeviation()
  };

  // Samples added since construction or the last reset(). Wraps after 2^32
  // samples; the next sample is then taken as the first.
  unsigned int count_;
  // Sum of all samples (wraps on 64-bit overflow).
  Utils::Time sum;
  // Sum of the fixed-point squares x * x (each the exact square shifted right
  // by 16 and truncated; wraps on 64-bit overflow).
  Utils::Time sumOfSquares;
  // Largest and smallest sample added; 0 while count_ is 0.
  Utils::Time latencyMax_;
  Utils::Time latencyMin_;
  Strategy strategy_;

  // Empty, strategy Max.
  ZtLatencyStats();
  ZtLatencyStats(const ZtLatencyStats&) = default;
  ZtLatencyStats& operator=(const ZtLatencyStats& o);

  Strategy strategy() { return strategy_; }
  // Keeps the accumulated figures; only the reading of them changes.
  void strategy(Strategy s) { strategy_ = s; }

  Utils::Time latencyMax() const { return latencyMax_; }
  Utils::Time latencyMin() const { return latencyMin_; }
  unsigned int count() const { return count_; }

  // Back to the state after construction, strategy included (Max).
  void reset();

  // addSample(s.stopTime - s.startTime).
  void add(const ZtLatencySample& s);
  // Folds in one duration. Any value is accepted, negative ones included
  // (a stop stamped before its start); a negative one may become the minimum.
  // Each square is exact while |x| < 2^31.5 raw units (about 46,341 s).
  void addSample(Utils::Time x);

  // sum / Time(count) with the fixed-point quotient; 0 when empty. Equals
  // sum / count truncated toward zero while |sum| < 2^47 raw units (2^31 s);
  // past that the shifted dividend loses its high bits.
  Utils::Time average() const;
  // Population standard deviation (divisor n, not n - 1), in seconds as a
  // Time; 0 when empty. Holds while |sum| < 2^31.5 raw units (46,341 s of
  // accumulated latency), since the whole sum is squared.
  //
  // The truncated squares make the variance term come out slightly negative
  // when the samples barely differ (a thousand samples of 300 raw units give
  // -373). There is no deviation to speak of then: the result is 0, never a
  // NaN, and latency() falls back to the mean.
  Utils::Time stdDeviation() const;
  // The figure the strategy asks for; see Strategy.
  Utils::Time latency() const;

 protected:
  ZKFLOW_INTERNAL void init();
};
