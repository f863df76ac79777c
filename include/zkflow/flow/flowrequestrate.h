// SPDX-License-Identifier: Apache-2.0
// ZtFlowRequestRate: the pace at which a flow task wants its input.
//
// How long a piece of work the task handles at a time (`duration`), how many
// pieces per second (`rate`, a fixed-point number held in a Utils::Time: 5
// per second is Time(5)), within which bounds (`durationMin`,
// `durationMax`), and at what data rate (`dataRate`, positions per second).
// A flow task fills one through its taskRateInfo hook, publishes duration,
// rate and data rate on its input flows, and renews duration and rate from
// its measured latency. The record only holds the values; it computes
// nothing.
//
// Thread safety: a plain value; its owner serialises access.
#pragma once

#include <cstdint>

#include "zkflow/host/export.h"
#include "zkflow/host/time.h"

struct ZKFLOW_EXPORT ZtFlowRequestRate {
  // Every field 0.
  ZtFlowRequestRate() { init(); }
  ZtFlowRequestRate(const ZtFlowRequestRate& o) = default;
  ZtFlowRequestRate& operator=(const ZtFlowRequestRate& o) = default;

  Utils::Time duration() const { return duration_; }
  void duration(Utils::Time t) { duration_ = t; }
  Utils::Time rate() const { return rate_; }
  void rate(Utils::Time t) { rate_ = t; }
  Utils::Time durationMin() const { return durationMin_; }
  void durationMin(Utils::Time t) { durationMin_ = t; }
  Utils::Time durationMax() const { return durationMax_; }
  void durationMax(Utils::Time t) { durationMax_ = t; }
  unsigned int dataRate() const { return dataRate_; }
  void dataRate(unsigned int r) { dataRate_ = r; }

 protected:
  void init();

  Utils::Time duration_;
  Utils::Time rate_;
  Utils::Time durationMin_;
  Utils::Time durationMax_;
  unsigned int dataRate_;
};
